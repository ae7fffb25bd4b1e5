#ifndef QHTTPCONNECTION_P_H
#define QHTTPCONNECTION_P_H

#include <QBasicTimer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QObject>

#include <memory>

#include "qhttprequest.h"
#include "qhttpresponse.h"

#include <http_parser.h>

class QAbstractSocket;
class QTcpSocket;

Q_DECLARE_LOGGING_CATEGORY(lcHttp)

// One accepted TCP connection. It owns its socket and the request/response pair of the request
// it is serving (both are its children), feeds the bytes it reads to http-parser, and serves one
// request at a time: bytes of a following request stay buffered until the current response has
// ended, so pipelined requests are answered in order. While more than maxUnsentBytes of output
// wait for the client, nothing more is parsed (and at most maxUnparsedBytes read); bytesWritten
// resumes it. A connection that makes no progress (no byte read, no byte of output drained) for
// the idle time is closed, and aborted when its output is stuck; only a complete request waiting
// for the application's answer is not the client's stall. The connection deletes itself (deleteLater) once its socket has
// disconnected, but never while http-parser is on its stack: then when the parser returns.
class QHttpConnection : public QObject
{
    Q_OBJECT

public:
    // Takes ownership of tcpSocket (on Unix, of its descriptor). idleTimeout is in milliseconds.
    QHttpConnection(QTcpSocket *tcpSocket, int idleTimeout, QObject *parent);
    ~QHttpConnection() override;

    // Whether http-parser is running on this connection's stack right now.
    bool isParsing() const { return parsing; }
    // Whether response is the current one and may still be written to.
    bool isOpen(const QHttpResponse *response) const;

    // Keeps total up to date with this connection's output that the network has not taken yet.
    void countUnsentIn(std::shared_ptr<qint64> total);

    // Parses bytes as if they had been read from the socket (also the fuzzer's way in).
    void feed(const char *bytes, int size);

    // Called by QHttpResponse.
    void addResponseHeader(const QString &field, const QString &value);
    void finishResponse(QHttpResponse *response, int status, const QByteArray &body);
    void writeResponsePart(QHttpResponse *response, int status, const QByteArray &data);
    qint64 unsentBytes() const;
    void abort();

signals:
    void newRequest(QHttpRequest *request, QHttpResponse *response);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    static int onMessageBegin(http_parser *parser);
    static int onUrl(http_parser *parser, const char *at, size_t length);
    static int onHeaderField(http_parser *parser, const char *at, size_t length);
    static int onHeaderValue(http_parser *parser, const char *at, size_t length);
    static int onHeadersComplete(http_parser *parser);
    static int onBody(http_parser *parser, const char *at, size_t length);
    static int onMessageComplete(http_parser *parser);
    static const http_parser_settings *parserSettings();

    void socketReadyRead();
    void outputDrained();
    bool outputFull() const;
    void readFromSocket();
    void parseBuffered();
    void resumeParsing();
    void queueResume();
    void commitHeader();
    void continueIfExpected();
    void fail(http_errno error);
    void appendHead(int status, qint64 contentLength);
    void writeOut();
    void writeOut(const QByteArray &bytes);
    void countUnsent();
    void closeAfterWrite();
    bool headRequest() const;
    void socketDisconnected();

    QAbstractSocket *socket;
    http_parser parser;
    // Bytes read but not yet parsed; readOffset is where parsing goes on.
    QByteArray readBuffer;
    int readOffset = 0;
    QByteArray headerField;
    QByteArray headerValue;
    bool lastWasValue = false;
    // Set once the header section is over: header fields after the body are chunked trailers,
    // which never change the request's headers.
    bool headersDone = false;
    // Status line, headers and body of the response being built; one socket write.
    QByteArray writeBuffer;
    // Header lines recorded by setHeader for the current response.
    QByteArray responseHeaders;
    bool responseHasContentLength = false;
    bool responseHasConnection = false;

    // The current pair, deleted only here: at the next request, or with the connection.
    QHttpRequest *request = nullptr;
    QHttpResponse *response = nullptr;

    // Where the current request and its response are.
    enum class Exchange {
        Idle,      // none open: no request yet, or the last one read whole and answered
        Reading,   // the request is being read; its response is open
        Answering, // read whole; nothing more is parsed until its response ends
        Skipping   // answered before it was read whole; the rest is read and dropped
    };
    Exchange exchange = Exchange::Idle;

    // What becomes of the connection after the current response.
    enum class Reuse {
        Keep,
        KeepAndSay, // an HTTP/1.0 client is told that the connection stays
        Close
    };
    Reuse reuse = Reuse::Keep;
    bool streaming = false; // the response's head has gone out, its body goes in parts

    enum class State {
        Open,
        OutputFull, // nothing more is parsed until the client takes its output
        Closing,    // nothing more is read; closes once its output has gone
        Gone        // the socket has disconnected; the connection deletes itself
    };
    State state = State::Open;
    bool parsing = false;
    bool resumeQueued = false;

    // shared: a connection may outlive its server
    std::shared_ptr<qint64> unsentTotal;
    qint64 unsentCounted = 0;

    int idleTimeout;
    QBasicTimer idleTimer;
    QElapsedTimer idleSince; // since the last progress
};

#endif // QHTTPCONNECTION_P_H
