#include "pagechannel.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

Q_LOGGING_CATEGORY(lcChannel, "pelorin.page", QtWarningMsg)

namespace {

// Runs after Qt's qwebchannel.js, inside the same closure. `channel` is the object of this
// class as the page sees it.
const char setupScript[] = R"js(
var channel = null;
var waiting = []; // calls made before the channel is up
var parsed = document.readyState !== 'loading';
var parse = JSON.parse, stringify = JSON.stringify, resolve = Promise.resolve.bind(Promise);
function call(name, args) {
    if (channel)
        channel[name].apply(channel, args);
    else
        waiting.push([name, args]);
}
function reportReady() {
    if (channel && parsed)
        channel.documentReady(typeof PEL_listener === 'function',
                              typeof PEL_receive === 'function');
}
function messageOf(error) {
    return String(error instanceof Error ? error.message : error);
}
function send(value) {
    var json = stringify(value);
    if (typeof json !== 'string')
        throw new TypeError('pelorin.send: ' + typeof value + ' cannot be sent as JSON');
    call('publish', [json]);
}
// Called by Pelorin with one request as JSON text; answers it when its caller waits.
function receive(text, wantsAnswer) {
    var request = parse(text);
    var id = request.id;
    var result;
    try {
        result = PEL_receive(request);
    } catch (error) {
        if (!wantsAnswer)
            throw error;
        call('fail', [id, messageOf(error)]);
        return;
    }
    if (!wantsAnswer)
        return;
    resolve(result).then(function (value) {
        var json;
        try {
            json = stringify(value === undefined ? null : value);
        } catch (error) {
            call('fail', [id, messageOf(error)]);
            return;
        }
        call('answer', [id, typeof json === 'string' ? json : 'null']);
    }, function (error) {
        call('fail', [id, messageOf(error)]);
    });
}
var pelorin = new EventTarget();
Object.defineProperty(pelorin, 'send', {value: send, enumerable: true});
Object.defineProperty(pelorin, 'receive', {value: receive});
Object.defineProperty(window, 'pelorin', {value: Object.freeze(pelorin), enumerable: true});
new QWebChannel(qt.webChannelTransport, function (webChannel) {
    channel = webChannel.objects.pelorin;
    channel.companionChanged.connect(function (json) {
        pelorin.dispatchEvent(new CustomEvent('companion', {detail: parse(json)}));
    });
    waiting.splice(0).forEach(function (c) { channel[c[0]].apply(channel, c[1]); });
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

namespace {

// Whether text is one JSON value on one line, as JSON.stringify writes it.
bool isJsonLine(const QString &text, int maxSize)
{
    if (text.isEmpty() || text.size() > maxSize || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r')))
        return false;
    QJsonParseError error;
    const QJsonDocument wrapped = QJsonDocument::fromJson(QByteArray("[" + text.toUtf8() + "]"),
                                                          &error);
    return error.error == QJsonParseError::NoError && wrapped.array().size() == 1;
}

bool isRequestId(double id)
{
    return id >= 1 && id <= 9007199254740991.0 && id == double(quint64(id));
}

} // namespace

void PageChannel::publish(const QString &json)
{
    if (isJsonLine(json, maxEventSize))
        emit eventPublished(json.toUtf8());
    else
        qCWarning(lcChannel,
                  "pelorin.send: dropped an event that is not JSON text of at most "
                  "%d characters",
                  maxEventSize);
}

void PageChannel::answer(double id, const QString &json)
{
    if (!isRequestId(id))
        return;
    if (isJsonLine(json, maxAnswerSize))
        emit requestAnswered(quint64(id), json.toUtf8());
    else
        emit requestFailed(quint64(id),
                           QStringLiteral("the page's answer is not JSON text of at most %1 "
                                          "characters")
                                   .arg(maxAnswerSize));
}

void PageChannel::fail(double id, const QString &message)
{
    if (isRequestId(id))
        emit requestFailed(quint64(id), message.left(4096));
}

void PageChannel::documentReady(bool hasListener, bool hasReceiver)
{
    emit documentParsed(hasListener, hasReceiver);
}
