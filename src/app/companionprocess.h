#ifndef COMPANIONPROCESS_H
#define COMPANIONPROCESS_H

#include <QProcess>

// The optional companion program, a child of the main window. It never outlives Pelorin:
// destroying it kills a program that still runs, and the operating system ends the program
// when Pelorin itself dies without cleaning up (parent-death signal on Linux, a kill-on-close
// job object on Windows). A failed start or an exit while Pelorin runs is reported on stderr.
class CompanionProcess : public QProcess
{
    Q_OBJECT

public:
    explicit CompanionProcess(QObject *parent);
    ~CompanionProcess() override;

    // Splits the command line at blanks, double quotes grouping a part that holds blanks.
    void startCommand(const QString &command);

protected:
    void setupChildProcess() override;

private:
    void reportError(QProcess::ProcessError error);
    void reportFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void bindToPelorinLifetime();
    void warn(const QString &what) const;

    QString command;
    qint64 parentPid = 0;
};

#endif // COMPANIONPROCESS_H
