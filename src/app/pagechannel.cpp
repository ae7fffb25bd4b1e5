#include "pagechannel.h"

#include <QFile>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

namespace {

// Runs after Qt's qwebchannel.js, inside the same closure. `channel` is the object of this
// class as the page sees it.
const char setupScript[] = R"js(
var channel = null;
var parsed = document.readyState !== 'loading';
function reportReady() {
    if (channel && parsed)
        channel.documentReady(typeof PEL_listener === 'function',
                              typeof PEL_receive === 'function');
}
new QWebChannel(qt.webChannelTransport, function (webChannel) {
    channel = webChannel.objects.pelorin;
    reportReady();
});
if (!parsed) {
    document.addEventListener('DOMContentLoaded', function () {
        parsed = true;
        reportReady();
    });
}
)js";

QString injectedScript()
{
    QFile library(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    const bool opened = library.open(QIODevice::ReadOnly);
    Q_ASSERT(opened);
    Q_UNUSED(opened)
    return QLatin1String("(function () {\n") + QString::fromUtf8(library.readAll())
           + QLatin1String(setupScript) + QLatin1String("})();\n");
}

} // namespace

PageChannel *PageChannel::forPage(QWebEnginePage *page)
{
    auto *channel = page->findChild<PageChannel *>(QString(), Qt::FindDirectChildrenOnly);
    return channel ? channel : new PageChannel(page);
}

PageChannel::PageChannel(QWebEnginePage *page)
    : QObject(page)
{
    auto *webChannel = new QWebChannel(this);
    webChannel->registerObject(QStringLiteral("pelorin"), this);
    page->setWebChannel(webChannel);

    QWebEngineScript script;
    script.setName(QStringLiteral("pelorin-channel"));
    script.setSourceCode(injectedScript());
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    page->scripts().insert(script);
}

void PageChannel::documentReady(bool hasListener, bool hasReceiver)
{
    emit documentParsed(hasListener, hasReceiver);
}
