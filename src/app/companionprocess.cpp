#include "companionprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#if defined(Q_OS_LINUX)
#include <sys/prctl.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

// Info: the companion's own output, on by default. Debug: tracing of its process group.
Q_LOGGING_CATEGORY(lcCompanion, "pelorin.companion", QtInfoMsg)

namespace {

#if defined(Q_OS_UNIX)
// Run by /bin/sh in the companion's group with the guard pipe as stdin. Nobody writes to the
// pipe, so read returns when Pelorin, the only holder of its write end, is gone. SIGTERM ends
// the guardian itself until then, so that Pelorin can end the group without it.
const char guardianScript[] = "exec >/dev/null 2>&1; read x; trap '' TERM; kill -TERM 0; "
                              "sleep 1; kill -KILL 0";
#endif

// Control characters could drive the terminal that shows the log, and a NUL would end the text.
QByteArray printable(QByteArray text)
{
    if (text.endsWith('\r'))
        text.chop(1);
    for (char &c : text) {
        if ((static_cast<uchar>(c) < 0x20 && c != '\t') || c == 0x7f)
            c = '?';
    }
    return text;
}

} // namespace

CompanionProcess::CompanionProcess(QObject *parent)
    : QProcess(parent)
{
    connect(this, &QProcess::errorOccurred, this, &CompanionProcess::reportError);
    connect(this,
            qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
            this,
            &CompanionProcess::reportFinished);
    useChildSetup();
    connect(this, &QProcess::started, this, &CompanionProcess::bindToPelorinLifetime);
    connect(this, &QProcess::started, this, [this] {
        running.start();
        failingToStart = false;
        emit statusChanged(QStringLiteral("running"), -1, restarts);
    });
    restartTimer.setSingleShot(true);
    connect(&restartTimer, &QTimer::timeout, this, &CompanionProcess::restart);
    connect(this, &QProcess::readyReadStandardOutput, this, [this] {
        forwardOutput(QProcess::StandardOutput);
    });
    connect(this, &QProcess::readyReadStandardError, this, [this] {
        forwardOutput(QProcess::StandardError);
    });
}

CompanionProcess::~CompanionProcess()
{
    // Ending the program is ours to do here, not worth a warning from us or from QProcess.
    blockSignals(true);
    // Until its exec the child may not lead its group yet.
    if (state() == QProcess::Starting)
        waitForStarted(1000);
    endGroup();
    if (state() != QProcess::NotRunning) {
        kill();
        waitForFinished();
    }
#if defined(Q_OS_UNIX)
    if (guardPipe[1] >= 0)
        ::close(guardPipe[1]);
#endif
}

CompanionProcess::RestartPolicy CompanionProcess::restartPolicyFromText(const QString &text,
                                                                        bool *ok)
{
    const QString policy = text.trimmed().toLower();
    *ok = true;
    if (policy == QLatin1String("on-failure"))
        return RestartPolicy::OnFailure;
    if (policy == QLatin1String("always"))
        return RestartPolicy::Always;
    *ok = policy.isEmpty() || policy == QLatin1String("never") || policy == QLatin1String("no");
    return RestartPolicy::Never;
}

int CompanionProcess::restartDelay(int previousMs, qint64 ranForMs)
{
    if (previousMs <= 0 || ranForMs >= maxRestartDelay)
        return 1000;
    return qMin(previousMs * 2, maxRestartDelay);
}

void CompanionProcess::startCommand(const QString &command)
{
    this->command = command;
    launch();
}

void CompanionProcess::restart()
{
    ++restarts;
    qCInfo(lcCompanion, "companion \"%s\" restart %d", qUtf8Printable(command), restarts);
    launch();
}

void CompanionProcess::releaseGuardian()
{
#if defined(Q_OS_UNIX)
    // The guardian then ends what is left of the last run's group.
    if (guardPipe[1] >= 0)
        ::close(guardPipe[1]);
    guardPipe[1] = -1;
#endif
}

void CompanionProcess::launch()
{
    releaseGuardian();
    parentPid = QCoreApplication::applicationPid();
#if defined(Q_OS_UNIX)
    // Both ends close on exec: the guardian takes the read end over as its stdin, and no other
    // program Pelorin starts may hold the write end.
    if (::pipe(guardPipe) == 0) {
        ::fcntl(guardPipe[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(guardPipe[1], F_SETFD, FD_CLOEXEC);
    }
#endif
    QStringList arguments = splitCommand(command);
    const QString executable = arguments.isEmpty() ? QString() : arguments.takeFirst();
    start(executable, arguments, QIODevice::ReadWrite);
    groupId = processId();
    programName = printable(QFileInfo(program()).fileName().toUtf8());
#if defined(Q_OS_UNIX)
    if (guardPipe[0] >= 0)
        ::close(guardPipe[0]);
    guardPipe[0] = -1;
#endif
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void CompanionProcess::useChildSetup() {}

void CompanionProcess::setupChildProcess()
{
    setupChild();
}
#elif defined(Q_OS_UNIX)
// Qt 6 takes what to run in the child as a function instead of an override.
void CompanionProcess::useChildSetup()
{
    setChildProcessModifier([this] { setupChild(); });
}
#else
void CompanionProcess::useChildSetup() {}
#endif

void CompanionProcess::setupChild()
{
    // Runs in the child between fork and exec: async-signal-safe calls only.
#if defined(Q_OS_UNIX)
    ::setpgid(0, 0);
    // The guardian is a grandchild that its parent leaves at once, so the companion never
    // finds a child it did not start.
    if (guardPipe[0] >= 0) {
        const pid_t middle = ::fork();
        if (middle == 0) {
            if (::fork() == 0 && ::dup2(guardPipe[0], 0) == 0)
                ::execl("/bin/sh", "sh", "-c", guardianScript, static_cast<char *>(nullptr));
            ::_exit(0);
        }
        while (middle > 0 && ::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
#endif
#if defined(Q_OS_LINUX)
    // Ask the kernel to end us with our parent, and catch the case where it is already gone.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parentPid)
        ::_exit(127);
#endif
}

void CompanionProcess::bindToPelorinLifetime()
{
    qCDebug(lcCompanion, "started \"%s\", process %lld", qUtf8Printable(command), processId());
#if defined(Q_OS_WIN)
    // Every companion joins one job that is killed when Pelorin's last handle to it closes,
    // which the system does when Pelorin ends, however it ends.
    static HANDLE job = [] {
        HANDLE handle = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION info = {};
        info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(handle, JobObjectExtendedLimitInformation, &info, sizeof info);
        return handle;
    }();
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE,
                                 FALSE,
                                 static_cast<DWORD>(processId()));
    if (job && process)
        AssignProcessToJobObject(job, process);
    if (process)
        CloseHandle(process);
#endif
}

void CompanionProcess::endGroup()
{
#if defined(Q_OS_UNIX)
    // The guardian keeps the group, and so its id, alive until this point.
    const pid_t group = static_cast<pid_t>(groupId);
    if (group <= 0 || ::kill(-group, SIGTERM) != 0)
        return;
    qCDebug(lcCompanion, "ending process group %lld", groupId);
    QDeadlineTimer grace(1000);
    waitForFinished(static_cast<int>(grace.remainingTime()));
    while (::kill(-group, 0) == 0 && !grace.hasExpired())
        QThread::msleep(10);
    ::kill(-group, SIGKILL);
#endif
}

void CompanionProcess::forwardOutput(QProcess::ProcessChannel channel)
{
    const bool isOutput = channel == QProcess::StandardOutput;
    QByteArray &pending = isOutput ? pendingOutput : pendingError;
    pending += isOutput ? readAllStandardOutput() : readAllStandardError();
    // A line longer than maxLine goes on in pieces, so no more than that is ever held.
    int start = 0;
    for (;;) {
        const int end = pending.indexOf('\n', start);
        const int length = (end < 0 ? pending.size() : end) - start;
        if (length > maxLine) {
            forwardLine(pending.mid(start, maxLine));
            start += maxLine;
        } else if (end >= 0) {
            forwardLine(pending.mid(start, length));
            start = end + 1;
        } else {
            break;
        }
    }
    pending.remove(0, start);
}

void CompanionProcess::forwardLine(const QByteArray &line) const
{
    qCInfo(lcCompanion, "%s: %s", programName.constData(), printable(line).constData());
}

void CompanionProcess::reportError(QProcess::ProcessError error)
{
    // A crash is reported through finished(); only a failed start ends here.
    if (error != QProcess::FailedToStart)
        return;
    if (restartPolicy == RestartPolicy::Never) {
        warn(QStringLiteral("failed to start: %1").arg(errorString()));
        return;
    }
    delay = maxRestartDelay;
    if (!failingToStart)
        warn(QStringLiteral("failed to start: %1; trying again every %2 s")
                     .arg(errorString())
                     .arg(delay / 1000));
    failingToStart = true;
    emit statusChanged(QStringLiteral("failed"), -1, restarts);
    restartTimer.start(delay);
}

void CompanionProcess::reportFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    for (QByteArray *pending : {&pendingOutput, &pendingError}) {
        if (!pending->isEmpty())
            forwardLine(*pending);
        pending->clear();
    }
    const bool crashed = exitStatus == QProcess::CrashExit;
    if (crashed)
        warn(QStringLiteral("crashed: %1").arg(errorString()));
    else
        warn(QStringLiteral("exited with code %1").arg(exitCode));
    emit statusChanged(crashed ? QStringLiteral("crashed") : QStringLiteral("exited"),
                       crashed ? -1 : exitCode,
                       restarts);
    if (restartPolicy == RestartPolicy::Never
        || (restartPolicy == RestartPolicy::OnFailure && !crashed && exitCode == 0))
        return;
    delay = restartDelay(delay, running.elapsed());
    releaseGuardian();
    warn(QStringLiteral("restarting in %1 s").arg(delay / 1000));
    restartTimer.start(delay);
}

void CompanionProcess::warn(const QString &what) const
{
    qCWarning(lcCompanion, "companion \"%s\" %s", qUtf8Printable(command), qUtf8Printable(what));
}
