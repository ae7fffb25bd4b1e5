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

QByteArray resource(const QString &path)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    Q_ASSERT(opened);
    Q_UNUSED(opened)
    return file.readAll();
}

// Qt's channel library and ours, in one closure.
QString injectedScript()
{
    return QLatin1String("(function () {\n")
           + QString::fromUtf8(resource(QStringLiteral(":/qtwebchannel/qwebchannel.js")))
           + QLatin1String("\n")
           + QString::fromUtf8(resource(QStringLiteral(":/pelorin/pagechannel.js")))
           + QLatin1String("})();\n");
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
    Q_INIT_RESOURCE(pagechannel);
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
