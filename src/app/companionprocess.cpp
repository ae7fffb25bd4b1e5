#include "companionprocess.h"

#include <QCoreApplication>
#include <QtDebug>

#if defined(Q_OS_LINUX)
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

CompanionProcess::CompanionProcess(QObject *parent)
    : QProcess(parent)
{
    connect(this, &QProcess::errorOccurred, this, &CompanionProcess::reportError);
    connect(this, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &CompanionProcess::reportFinished);
    connect(this, &QProcess::started, this, &CompanionProcess::bindToPelorinLifetime);
}

CompanionProcess::~CompanionProcess()
{
    // Ending the program is ours to do here, not worth a warning from us or from QProcess.
    blockSignals(true);
    if (state() != QProcess::NotRunning) {
        kill();
        waitForFinished();
    }
}

void CompanionProcess::startCommand(const QString &command)
{
    this->command = command;
    parentPid = QCoreApplication::applicationPid();
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    start(command, QIODevice::ReadWrite);
    QT_WARNING_POP
}

void CompanionProcess::setupChildProcess()
{
#if defined(Q_OS_LINUX)
    // Runs in the child between fork and exec: ask the kernel to end us with our parent,
    // and catch the case where the parent is already gone.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parentPid)
        ::_exit(127);
#endif
}

void CompanionProcess::bindToPelorinLifetime()
{
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
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE,
                                 static_cast<DWORD>(processId()));
    if (job && process)
        AssignProcessToJobObject(job, process);
    if (process)
        CloseHandle(process);
#endif
}

void CompanionProcess::reportError(QProcess::ProcessError error)
{
    // A crash is reported through finished(); only a failed start ends here for good.
    if (error == QProcess::FailedToStart)
        warn(QStringLiteral("failed to start: %1").arg(errorString()));
}

void CompanionProcess::reportFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (exitStatus == QProcess::CrashExit)
        warn(QStringLiteral("crashed: %1").arg(errorString()));
    else
        warn(QStringLiteral("exited with code %1").arg(exitCode));
}

void CompanionProcess::warn(const QString &what) const
{
    qWarning("companion \"%s\" %s", qUtf8Printable(command), qUtf8Printable(what));
}
