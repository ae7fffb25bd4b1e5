#ifndef PELORINRUN_H
#define PELORINRUN_H

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include "devtoolspage.h"
#include "processutil.h"

// The built pelorin binary in an app directory of its own, on ports of its own; its page is
// read over the DevTools protocol (as root, Chromium needs QTWEBENGINE_DISABLE_SANDBOX=1).
class PelorinRun : public DevToolsPage
{
public:
    // pagePath (if any) becomes assets/index.html, companion CONNECT/CRYPTO with %PORT% for port
    // (a free one unless set).
    // Does not wait for the page; output goes to the test's unless process was set otherwise.
    bool launch(const QString &pagePath = QString(),
                const QString &companion = QString(),
                const QStringList &arguments = QStringList())
    {
        const QString dir = appDir.path();
        QDir(dir).mkdir("assets");
        if (!QFile::copy(QStringLiteral(PELORIN_BINARY), dir + "/pelorin")
            || (!pagePath.isEmpty() && !QFile::copy(pagePath, dir + "/assets/index.html")))
            return false;
        port = port ? port : freeLoopbackPort();
        QSettings config(dir + "/config.ini", QSettings::IniFormat);
        config.setValue("CONNECT/PORT", port);
        config.setValue("CONNECT/CRYPTO",
                        QString(companion).replace("%PORT%", QString::number(port)));
        config.sync();
        debugPort = freeLoopbackPort();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QTWEBENGINE_REMOTE_DEBUGGING", QString::number(debugPort));
        process.setProcessEnvironment(environment);
        if (process.processChannelMode() == QProcess::SeparateChannels) // left as it was made
            process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(dir + "/pelorin", arguments);
        return process.waitForStarted(10000);
    }

    // Waits for the page to define PEL_listener or PEL_receive (Pelorin holds requests till then).
    bool waitForPage()
    {
        const QString ready = "[typeof PEL_listener, typeof PEL_receive].includes('function')";
        return QTest::qWaitFor([&] { return openDebugger() && evaluate(ready).toBool(); }, 60000);
    }

    QByteArray post(const QByteArray &body)
    {
        return RawHttpClient::exchange(port,
                                       "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: "
                                               + QByteArray::number(body.size()) + "\r\n\r\n"
                                               + body);
    }

    bool terminate()
    {
        process.terminate();
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
               && process.exitCode() == 0;
    }

    QTemporaryDir appDir;
    QProcess process;
    quint16 port = 0;
};

#endif // PELORINRUN_H
