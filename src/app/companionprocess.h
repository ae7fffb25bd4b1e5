#ifndef COMPANIONPROCESS_H
#define COMPANIONPROCESS_H

#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

// The optional companion program, a child of the main window. Neither it nor anything it starts
// in its process group outlives Pelorin. On Unix the companion leads a process group of its own;
// destroying this object asks the whole group to end (SIGTERM), waits at most a second for it to
// go and then kills what is left. For a Pelorin that dies without cleaning up, a guardian shell
// in the group waits on a pipe that only Pelorin holds open and, once the pipe closes, does the
// same. A program that leaves the group (setsid, a double fork) is out of reach. On Windows a
// kill-on-close job object takes the companion and its children.
//
// The companion's stdout and stderr are read as they come and forwarded line by line as info
// messages of the pelorin.companion category, prefixed with the program's file name; a line
// longer than maxLine bytes goes on in pieces, so no more is ever held. A failed start or an
// exit while Pelorin runs is a warning.
//
// Supervised (a restart policy other than Never), an ended companion is started again after
// restartDelay(): its old process group is ended first, by its guardian. A companion that
// cannot start is tried again at the longest delay, with one warning until it starts. Every
// start and end is reported through statusChanged().
class CompanionProcess : public QProcess
{
    Q_OBJECT

public:
    explicit CompanionProcess(QObject *parent);
    ~CompanionProcess() override;

    enum class RestartPolicy { Never, OnFailure, Always };

    // Splits the command line at blanks, double quotes grouping a part that holds blanks.
    void startCommand(const QString &command);
    void setRestartPolicy(RestartPolicy policy) { restartPolicy = policy; }

    // "on-failure", "always", or empty for Never; ok is false for any other text.
    static RestartPolicy restartPolicyFromText(const QString &text, bool *ok);
    // The wait before the next start: 1 s after the first end, doubling up to maxRestartDelay,
    // and 1 s again after a run of at least maxRestartDelay. previousMs is 0 before any.
    static int restartDelay(int previousMs, qint64 ranForMs);

    static constexpr int maxLine = 64 * 1024;
    static constexpr int maxRestartDelay = 60 * 1000;

signals:
    // state is "running", "exited", "crashed" or "failed" (could not start); exitCode is -1
    // unless it exited; restarts counts the starts after the first.
    void statusChanged(const QString &state, int exitCode, int restarts);

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif

private:
    void useChildSetup();
    void setupChild();
    void launch();
    void restart();
    void releaseGuardian();
    void reportError(QProcess::ProcessError error);
    void reportFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void bindToPelorinLifetime();
    void endGroup();
    void forwardOutput(QProcess::ProcessChannel channel);
    void forwardLine(const QByteArray &line) const;
    void warn(const QString &what) const;

    QString command;
    QByteArray programName;
    QByteArray pendingOutput;
    QByteArray pendingError;
    qint64 parentPid = 0;
    qint64 groupId = 0;
    int guardPipe[2] = {-1, -1};
    RestartPolicy restartPolicy = RestartPolicy::Never;
    QTimer restartTimer;
    QElapsedTimer running;
    int delay = 0;
    int restarts = 0;
    bool failingToStart = false;
};

#endif // COMPANIONPROCESS_H
