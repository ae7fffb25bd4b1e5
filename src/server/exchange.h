#ifndef EXCHANGE_H
#define EXCHANGE_H

#include <QBasicTimer>
#include <QByteArray>
#include <QObject>
#include <QPointer>

#include "pagerequest.h"

class PelHttpServer;
class QHttpRequest;
class QHttpResponse;

// One GET or POST request to PelHttpServer, from its headers to its answer. It hands on each
// piece of data as it arrives (the server's dataProcessed), keeps the whole body within the
// server's bounds, and at the request's end answers it: with the fixed document, a refusal, or,
// for a caller that waits, the page's answer or 504 once waitSeconds have passed. Then it hands
// the request on whole (the server's requestReceived). It is a child of its request and goes
// with it; the connection keeps the request until its next one, or until it closes.
class Exchange : public QObject
{
    Q_OBJECT

public:
    Exchange(PelHttpServer *server,
             QHttpRequest *request,
             QHttpResponse *response,
             const PageRequest &page,
             int waitSeconds);
    ~Exchange() override;

    // The page's answer for a caller that waits for it; ignored at any other time.
    void answer(const QByteArray &json);
    void refuse(int status, const QString &code, const QString &message);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void receive(const QByteArray &chunk);
    void finish();
    void emitData(const QByteArray &data);
    void reply(int status, const QByteArray &body);

    enum class Stage { Receiving, Received, Answered };

    // a server being destroyed takes its connections, their requests and these with it
    QPointer<PelHttpServer> server;
    QHttpRequest *request;
    QHttpResponse *response; // goes after the request, and so after this
    // its body only until it is handed on, and only while the page may take it
    PageRequest page;
    QByteArray headers; // the headers document, made on first use
    bool dataSeen = false;
    qint64 bodyBytes = 0; // all that came, for the log
    int waitSeconds;
    QBasicTimer answerTimer;
    Stage stage = Stage::Receiving;
};

#endif // EXCHANGE_H
