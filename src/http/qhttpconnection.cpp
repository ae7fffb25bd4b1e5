#include "qhttpconnection_p.h"

#include "qhttprequest.h"
#include "qhttpresponse.h"
#include "utf8text.h"

#include <QTcpSocket>
#include <QTimerEvent>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcHttp, "pelorin.http", QtWarningMsg)

namespace {

// Request line plus headers; anything longer is answered with 431.
constexpr quint32 maxHeaderBytes = 64 * 1024;
constexpr int initialBufferSize = 4096;
// Input read but not parsed yet above which nothing more is read.
constexpr int maxUnparsedBytes = 1024 * 1024;
constexpr int maxReadSize = 64 * 1024;
// Output the client has not taken yet above which nothing more is parsed.
constexpr qint64 maxUnsentBytes = 1024 * 1024;
// What a connection keeps of its output buffer between answers.
constexpr int maxKeptWriteBuffer = 16 * 1024;
constexpr int streamSendBuffer = 128 * 1024;

// Appends text as UTF-8; CR and LF become blanks so a value cannot end its header line early.
void appendText(QByteArray &out, const QString &text)
{
    const int start = out.size();
    out += text.toUtf8();
    for (int i = start; i < out.size(); ++i) {
        if (out.at(i) == '\r' || out.at(i) == '\n')
            out[i] = ' ';
    }
}

} // namespace

QHttpConnection::QHttpConnection(QTcpSocket *tcpSocket, int idleTimeout, QObject *parent)
    : QObject(parent)
    , socket(tcpSocket)
    , idleTimeout(idleTimeout)
{
    Q_ASSERT(tcpSocket);
    Q_ASSERT(idleTimeout > 0);
    tcpSocket->setParent(this);
    tcpSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    tcpSocket->setReadBufferSize(maxUnparsedBytes);
#if defined(Q_OS_UNIX)
    // The connection moves to an unbuffered socket, whose read() is one read from the system:
    // a QTcpSocket asks for the size of what is waiting before every read and copies it
    // through a buffer of its own. What it has read already comes along.
    auto *unbuffered = new QAbstractSocket(QAbstractSocket::TcpSocket, this);
    // closed on exec, like every descriptor of ours, so no program we start inherits it
    const int descriptor = int(tcpSocket->socketDescriptor()) < 0
                                   ? -1
                                   : ::fcntl(int(tcpSocket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (descriptor >= 0 && unbuffered->setSocketDescriptor(descriptor)) {
        readBuffer = tcpSocket->readAll();
        delete tcpSocket;
        socket = unbuffered;
    } else {
        if (descriptor >= 0)
            ::close(descriptor);
        delete unbuffered;
    }
#endif

    http_parser_init(&parser, HTTP_REQUEST);
    parser.data = this;
    // reserve() keeps the memory across resize(0), so steady traffic allocates no buffers
    readBuffer.reserve(initialBufferSize);
    writeBuffer.reserve(initialBufferSize);
    responseHeaders.reserve(512);
    headerField.reserve(64);
    headerValue.reserve(256);

    // channelReadyRead, unlike readyRead, also comes while a receiver runs an event loop from
    // inside this connection's handler of it.
    connect(socket, &QIODevice::channelReadyRead, this, &QHttpConnection::socketReadyRead);
    connect(socket, &QIODevice::bytesWritten, this, &QHttpConnection::outputDrained);
    connect(socket, &QAbstractSocket::disconnected, this, &QHttpConnection::socketDisconnected);
    idleSince.start();
    idleTimer.start(idleTimeout, this);
    if (!readBuffer.isEmpty())
        queueResume();
}

QHttpConnection::~QHttpConnection()
{
    if (unsentTotal)
        *unsentTotal -= unsentCounted;
    // Released here rather than by ~QObject, while this object is still whole for their
    // destructors to call back into.
    delete request;
    delete response;
}

bool QHttpConnection::isOpen(const QHttpResponse *response) const
{
    return response == this->response
           && (exchange == Exchange::Reading || exchange == Exchange::Answering)
           && (state == State::Open || state == State::OutputFull);
}

bool QHttpConnection::headRequest() const
{
    return request && request->methodCode == HTTP_HEAD;
}

const http_parser_settings *QHttpConnection::parserSettings()
{
    static const http_parser_settings settings = [] {
        http_parser_set_max_header_size(maxHeaderBytes);
        http_parser_settings s;
        http_parser_settings_init(&s);
        s.on_message_begin = &QHttpConnection::onMessageBegin;
        s.on_url = &QHttpConnection::onUrl;
        s.on_header_field = &QHttpConnection::onHeaderField;
        s.on_header_value = &QHttpConnection::onHeaderValue;
        s.on_headers_complete = &QHttpConnection::onHeadersComplete;
        s.on_body = &QHttpConnection::onBody;
        s.on_message_complete = &QHttpConnection::onMessageComplete;
        return s;
    }();
    return &settings;
}

void QHttpConnection::socketReadyRead()
{
    idleSince.start();
    readFromSocket();
}

void QHttpConnection::countUnsentIn(std::shared_ptr<qint64> total)
{
    unsentTotal = std::move(total);
    countUnsent();
}

void QHttpConnection::countUnsent()
{
    if (!unsentTotal)
        return;
    const qint64 unsent = socket->bytesToWrite();
    *unsentTotal += unsent - unsentCounted;
    unsentCounted = unsent;
}

void QHttpConnection::outputDrained()
{
    idleSince.start();
    countUnsent();
    if (response && isOpen(response))
        emit response->drained();
    if (state == State::OutputFull && !outputFull()) {
        state = State::Open;
        // bytesWritten may come from inside a write of the application: go on from the loop
        queueResume();
    }
}

void QHttpConnection::queueResume()
{
    if (resumeQueued)
        return;
    resumeQueued = true;
    QMetaObject::invokeMethod(this, &QHttpConnection::resumeParsing, Qt::QueuedConnection);
}

bool QHttpConnection::outputFull() const
{
    return socket->bytesToWrite() > maxUnsentBytes;
}

void QHttpConnection::readFromSocket()
{
    // Read on while a request waits for its answer or its output (up to a bound), and while a
    // receiver runs an event loop from inside the parser, so that a client that goes away is
    // noticed.
    for (;;) {
        const int start = readBuffer.size();
        const int room = qMin(qMax(readBuffer.capacity() - start, initialBufferSize),
                              maxUnparsedBytes - start);
        if (state == State::Closing || state == State::Gone || room <= 0)
            break;
        readBuffer.resize(start + room);
        const qint64 got = socket->read(readBuffer.data() + start, room);
        readBuffer.resize(start + int(qMax<qint64>(got, 0)));
        if (got < 0) {
            // An unbuffered socket finds the peer's close here and says nothing: announce it
            // as a buffered one would, to whoever watches the socket (this connection too).
            emit socket->disconnected();
            return;
        }
        if (got < room)
            break;
        // more is waiting: bigger reads from now on
        readBuffer.reserve(qMin(2 * readBuffer.capacity(), maxReadSize));
        parseBuffered();
    }
    parseBuffered();
}

void QHttpConnection::feed(const char *bytes, int size)
{
    readBuffer.append(bytes, size);
    parseBuffered();
}

void QHttpConnection::parseBuffered()
{
    if (parsing)
        return;
    parsing = true;
    while ((state == State::Open || state == State::OutputFull) && readOffset < readBuffer.size()
           && exchange != Exchange::Answering) {
        if (outputFull()) {
            state = State::OutputFull;
            break;
        }
        // Shared, not copied: bytes read from an event loop that a receiver runs detach
        // readBuffer and leave these as they are.
        const QByteArray input = readBuffer;
        const size_t parsed = http_parser_execute(&parser,
                                                  parserSettings(),
                                                  input.constData() + readOffset,
                                                  size_t(input.size() - readOffset));
        readOffset += int(parsed);
        const http_errno error = HTTP_PARSER_ERRNO(&parser);
        if (error == HPE_PAUSED) {
            // onMessageComplete paused; the loop condition decides whether to go on
            http_parser_pause(&parser, 0);
        } else if (error != HPE_OK) {
            fail(error);
            break;
        }
        if (parser.upgrade) {
            // What follows is another protocol; the connection closes after the response.
            readOffset = readBuffer.size();
        }
    }
    const bool wasFull = readBuffer.size() >= maxUnparsedBytes;
    if (readOffset == readBuffer.size()) {
        readBuffer.resize(0);
        readOffset = 0;
    } else if (readOffset > 0) {
        readBuffer.remove(0, readOffset);
        readOffset = 0;
    }
    parsing = false;
    // reading stopped for want of room, and nothing else reads what the socket still holds
    if (wasFull && readBuffer.size() < maxUnparsedBytes)
        queueResume();
    // the socket went while the parser ran; now nothing of this object is on the stack above
    if (state == State::Gone)
        deleteLater();
}

void QHttpConnection::resumeParsing()
{
    resumeQueued = false;
    parseBuffered();
    readFromSocket();
}

int QHttpConnection::onMessageBegin(http_parser *parser)
{
    auto *self = static_cast<QHttpConnection *>(parser->data);
    // The previous pair is done with: its response has gone out (parsing waits for that) and
    // none of its signals is being emitted, since they are only emitted from this parser.
    delete self->request;
    delete self->response;
    self->response = nullptr;
    self->request = new QHttpRequest(self);
    self->request->peer = self->socket ? self->socket->peerPort() : 0;
    self->headerField.resize(0);
    self->headerValue.resize(0);
    self->lastWasValue = false;
    self->headersDone = false;
    self->exchange = Exchange::Reading;
    return 0;
}

int QHttpConnection::onUrl(http_parser *parser, const char *at, size_t length)
{
    auto *self = static_cast<QHttpConnection *>(parser->data);
    self->request->rawTarget.append(at, int(length));
    return 0;
}

int QHttpConnection::onHeaderField(http_parser *parser, const char *at, size_t length)
{
    auto *self = static_cast<QHttpConnection *>(parser->data);
    if (self->headersDone)
        return 0;
    if (self->lastWasValue)
        self->commitHeader();
    self->headerField.append(at, int(length));
    self->lastWasValue = false;
    return 0;
}

int QHttpConnection::onHeaderValue(http_parser *parser, const char *at, size_t length)
{
    auto *self = static_cast<QHttpConnection *>(parser->data);
    if (self->headersDone)
        return 0;
    self->headerValue.append(at, int(length));
    self->lastWasValue = true;
    return 0;
}

void QHttpConnection::commitHeader()
{
    if (!headerField.isEmpty()) {
        // Names are tokens, so ASCII: lower-cased in place, no case-folding copy of the text.
        for (char *c = headerField.data(), *end = c + headerField.size(); c != end; ++c) {
            if (*c >= 'A' && *c <= 'Z')
                *c = char(*c + ('a' - 'A'));
        }
        const QString name = textFromUtf8(headerField);
        // trimmed() shares the text unless there is white space at either end
        const QString value = textFromUtf8(headerValue).trimmed();
        QHash<QString, QString> &fields = request->fields;
        const auto it = fields.find(name);
        if (it == fields.end()) {
            fields.insert(name, value);
        } else {
            // a repeated header is one list, as HTTP allows
            it->append(QLatin1String(", "));
            it->append(value);
        }
    }
    headerField.resize(0);
    headerValue.resize(0);
}

int QHttpConnection::onHeadersComplete(http_parser *parser)
{
    auto *self = static_cast<QHttpConnection *>(parser->data);
    self->commitHeader();
    self->headersDone = true;
    QHttpRequest *request = self->request;
    request->methodCode = int(parser->method);
    const bool http10 = parser->http_major == 1 && parser->http_minor == 0;
    self->reuse = !http_should_keep_alive(parser) || parser->upgrade ? Reuse::Close
                  : http10                                           ? Reuse::KeepAndSay
                                                                     : Reuse::Keep;

    self->responseHeaders.resize(0);
    self->responseHasContentLength = false;
    self->responseHasConnection = false;
    self->streaming = false;
    self->response = new QHttpResponse(self);
    if (parser->http_major == 1 && parser->http_minor >= 1)
        self->continueIfExpected();
    emit self->newRequest(request, self->response);
    return 0;
}

// A client that sent "Expect: 100-continue" holds its body back until it hears this.
void QHttpConnection::continueIfExpected()
{
    const auto expect = request->fields.constFind(QStringLiteral("expect"));
    if (expect != request->fields.constEnd()
        && expect->compare(QLatin1String("100-continue"), Qt::CaseInsensitive) == 0) {
        writeBuffer.resize(0);
        writeBuffer += "HTTP/1.1 100 Continue\r\n\r\n";
        writeOut();
    }
}

int QHttpConnection::onBody(http_parser *parser, const char *at, size_t length)
{
    auto *self = static_cast<QHttpConnection *>(parser->data);
    emit self->request->data(QByteArray(at, int(length)));
    return 0;
}

int QHttpConnection::onMessageComplete(http_parser *parser)
{
    auto *self = static_cast<QHttpConnection *>(parser->data);
    // Stop here: the next request is parsed once this one has been answered.
    http_parser_pause(parser, 1);
    self->exchange = self->exchange == Exchange::Reading ? Exchange::Answering : Exchange::Idle;
    emit self->request->end();
    return 0;
}

void QHttpConnection::addResponseHeader(const QString &field, const QString &value)
{
    appendText(responseHeaders, field);
    responseHeaders.append(": ", 2);
    appendText(responseHeaders, value);
    responseHeaders.append("\r\n", 2);
    // neither name holds a letter that folds to ASCII from outside it: the comparison is exact
    if (field.compare(QLatin1String("content-length"), Qt::CaseInsensitive) == 0) {
        responseHasContentLength = true;
    } else if (field.compare(QLatin1String("connection"), Qt::CaseInsensitive) == 0) {
        responseHasConnection = true;
        if (value.contains(QLatin1String("close"), Qt::CaseInsensitive))
            reuse = Reuse::Close;
    }
}

void QHttpConnection::appendHead(int status, qint64 contentLength)
{
    writeBuffer += "HTTP/1.1 " + QByteArray::number(status) + ' '
                   + http_status_str(static_cast<http_status>(status)) + "\r\n";
    writeBuffer.append(responseHeaders);
    if (!responseHasContentLength && contentLength >= 0) {
        writeBuffer += "Content-Length: ";
        writeBuffer += QByteArray::number(contentLength);
        writeBuffer += "\r\n";
    }
    if (!responseHasConnection && reuse == Reuse::Close)
        writeBuffer += "Connection: close\r\n";
    else if (!responseHasConnection && reuse == Reuse::KeepAndSay)
        writeBuffer += "Connection: keep-alive\r\n";
    writeBuffer += "\r\n";
}

void QHttpConnection::writeResponsePart(QHttpResponse *response, int status, const QByteArray &data)
{
    if (!isOpen(response))
        return;
    if (streaming) {
        // the part as it is, shared rather than copied
        if (!headRequest())
            writeOut(data);
        return;
    }
    // A body of unknown length ends when the connection does. Such a stream may go to many
    // clients that do not read: the system's buffer for each is kept small, so that together
    // they cannot take the memory every connection of the machine needs.
    streaming = true;
    reuse = Reuse::Close;
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, streamSendBuffer);
    writeBuffer.resize(0);
    appendHead(status, -1);
    if (!headRequest())
        writeBuffer.append(data);
    writeOut();
}

qint64 QHttpConnection::unsentBytes() const
{
    return socket->bytesToWrite();
}

void QHttpConnection::abort()
{
    if (state != State::Gone)
        state = State::Closing;
    socket->abort();
}

void QHttpConnection::finishResponse(QHttpResponse *response, int status, const QByteArray &body)
{
    if (!isOpen(response))
        return;
    const bool wasRead = exchange == Exchange::Answering;
    exchange = wasRead ? Exchange::Idle : Exchange::Skipping;
    idleSince.start();

    writeBuffer.resize(0);
    if (!streaming)
        appendHead(status, body.size());
    // HEAD gets the headers of the full answer, Content-Length included, and no body
    if (!headRequest())
        writeBuffer.append(body);
    writeOut();

    if (reuse == Reuse::Close) {
        closeAfterWrite();
    } else if (wasRead && !parsing) {
        // Answered from outside the parser: go on with buffered bytes from the event loop,
        // not from inside the caller's end().
        queueResume();
    }
}

void QHttpConnection::fail(http_errno error)
{
    qCDebug(lcHttp, "bad request: %s (%s)", http_errno_name(error), http_errno_description(error));
    // A response that already went out for a request still being read is left as it is; an
    // open one takes nothing more.
    const bool answered = exchange == Exchange::Skipping;
    exchange = Exchange::Idle;
    if (!answered) {
        writeBuffer.resize(0);
        if (error == HPE_HEADER_OVERFLOW)
            writeBuffer += "HTTP/1.1 431 Request Header Fields Too Large\r\n";
        else
            writeBuffer += "HTTP/1.1 400 Bad Request\r\n";
        writeBuffer += "Content-Length: 0\r\nConnection: close\r\n\r\n";
        writeOut();
    }
    closeAfterWrite();
}

void QHttpConnection::writeOut()
{
    writeOut(writeBuffer);
    // the room a large answer took is not kept for the connection's next ones
    if (writeBuffer.capacity() > maxKeptWriteBuffer)
        writeBuffer = QByteArray();
}

void QHttpConnection::writeOut(const QByteArray &bytes)
{
    // A client that has gone gets nothing written. An unbuffered socket sends at once and keeps
    // only what the network did not take; flush() has a buffered one send now rather than on
    // the next turn of the event loop.
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (socket->write(bytes) < 0) {
        qCDebug(lcHttp, "write failed: %s", qPrintable(socket->errorString()));
        socket->abort();
        return;
    }
    socket->flush();
    countUnsent();
}

void QHttpConnection::closeAfterWrite()
{
    if (state != State::Gone)
        state = State::Closing;
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->disconnectFromHost();
}

void QHttpConnection::socketDisconnected()
{
    if (state == State::Gone)
        return;
    state = State::Gone;
    qCDebug(lcHttp, "connection closed");
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    idleTimer.stop();
    if (!parsing)
        deleteLater();
}

void QHttpConnection::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != idleTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    const qint64 idle = idleSince.elapsed();
    if (idle < idleTimeout) {
        idleTimer.start(int(idleTimeout - idle), this);
        return;
    }
    const bool stuck = socket->bytesToWrite() > 0;
    if (exchange == Exchange::Answering && !stuck) {
        // the application is still working on its answer, which is not the client's stall
        idleTimer.start(idleTimeout, this);
        return;
    }
    qCDebug(lcHttp,
            stuck ? "aborting a connection whose output does not drain" : "closing idle connection");
    idleTimer.stop();
    if (stuck)
        socket->abort();
    else
        closeAfterWrite();
}
