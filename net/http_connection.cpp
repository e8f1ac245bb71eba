#include "net/http_connection.h"

#include "common/log.h"
#include "net/http_server.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTcpSocket>

#include <sys/socket.h>

namespace orvalla
{

namespace
{

// Answer data is fed to the socket in pieces; at most this much waits in its
// write buffer at any time.
constexpr qint64 kChunk = 64 * 1024;
constexpr qint64 kHighWater = 256 * 1024;
// Requests pipelined behind the one being answered wait in the socket.
constexpr qint64 kReadBuffer = kHttpMaxRequestLine + kHttpMaxHeaderBlock + 4096;

const QByteArray kBoundary = "[orvalla-byteranges-7f3c9a1e5d2b8460]";

QByteArray errorBody(const QByteArray &title, const QByteArray &path, const QByteArray &what)
{
    return "<HTML><HEAD><TITLE>" + title + "</TITLE></HEAD><BODY><H1>" + title + "</H1>The requested URL "
        + htmlEscape(path) + " " + what + " on this server.<P></BODY></HTML>\r\n";
}

QByteArray contentRange(const HttpByteRange &r, qint64 size)
{
    return "bytes " + QByteArray::number(r.first) + '-' + QByteArray::number(r.last) + '/'
        + QByteArray::number(size);
}

} // namespace

HttpConnection::HttpConnection(QTcpSocket *socket, HttpServer *server)
    : QObject(server)
    , m_socket(socket)
    , m_server(server)
{
    m_socket->setParent(this);
    m_peer = m_socket->peerAddress().toString().toLatin1();
    m_socket->setReadBufferSize(kReadBuffer);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HttpConnection::onTimeout);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::onGone);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        qCDebug(lcNet) << "http client" << m_socket->peerAddress().toString() << m_socket->errorString();
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            onGone();
    });
    m_timer.start(m_server->idleTimeout());
    if (m_socket->bytesAvailable() > 0)
        onReadyRead();
}

HttpConnection::~HttpConnection() = default;

void HttpConnection::abort()
{
    m_done = true; // the server forgets this connection itself
    m_timer.stop();
    m_file.close();
    m_socket->abort();
}

void HttpConnection::onGone()
{
    if (m_done)
        return;
    m_done = true;
    if (m_busy)
        logAnswer(); // cut short: the bytes say how far it got
    m_timer.stop();
    m_file.close();
    m_out.clear();
    Q_EMIT finished(this);
}

void HttpConnection::onReadyRead()
{
    if (m_draining) {
        m_socket->readAll();
        return;
    }
    if (m_busy || m_closing || m_done)
        return; // pipelined requests wait until the current answer is out
    m_in += m_socket->readAll();
    processBuffer();
}

void HttpConnection::processBuffer()
{
    if (m_discard > 0) {
        const qint64 n = qMin<qint64>(m_discard, m_in.size());
        m_in.remove(0, n);
        m_discard -= n;
        if (m_discard > 0)
            return;
    }
    if (m_in.isEmpty())
        return;
    const HttpParseResult parsed = parseHttpRequest(m_in);
    if (parsed.status == HttpParseResult::Incomplete)
        return; // the idle timer keeps running: a request must complete in time
    m_timer.stop();
    if (parsed.status == HttpParseResult::BadRequest) {
        m_in.clear();
        m_keepAlive = false;
        m_badRequest = true;
        m_logRequest = parsed.method + " (" + parsed.error.toLatin1() + ')';
        queueSimple(parsed.version + " 400 Bad Request", "text/plain", "400 Bad Request",
            parsed.method != "HEAD", true);
        startAnswer();
        return;
    }
    m_in.remove(0, parsed.consumed);
    const HttpRequest &req = parsed.request;
    m_keepAlive = req.keepAlive && !req.chunkedBody;
    m_discard = req.bodyLength;
    const qint64 n = qMin<qint64>(m_discard, m_in.size());
    m_in.remove(0, n);
    m_discard -= n;
    answer(req);
}

QByteArray HttpConnection::connectionHeader() const
{
    return m_keepAlive ? "Connection: Keep-Alive\r\n" : "Connection: Close\r\n";
}

void HttpConnection::queueSimple(const QByteArray &statusLine, const QByteArray &contentType,
    const QByteArray &body, bool sendBody, bool withConnection)
{
    m_logStatus = statusLine.mid(statusLine.indexOf(' ') + 1, 3);
    QByteArray head = statusLine + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (withConnection)
        head += connectionHeader();
    head += "\r\n";
    m_out.append({ sendBody ? head + body : head, -1, 0 });
}

void HttpConnection::answer(const HttpRequest &req)
{
    const bool head = req.method == "HEAD";
    m_logRequest = req.method + ' ' + req.path + ' ' + req.version;
    if (req.method != "GET" && !head && req.method != "POST") {
        queueSimple(req.version + " 501 Unimplemented", "text/plain", "501 Unimplemented", true, false);
        startAnswer();
        return;
    }
    const HttpDocument doc
        = resolveHttpDocument(m_server->docDir(), m_server->defaultDoc(), req.path, m_server->privateFiles());
    // No answer to HEAD carries a body, error pages included: a kept-alive
    // client would read those bytes as the start of its next answer.
    if (doc.kind == HttpDocument::Forbidden) {
        queueSimple(req.version + " 403 Forbidden", "text/html",
            errorBody("403 Forbidden", req.path, "is Forbidden"), !head, false);
    } else if (doc.kind == HttpDocument::NotFound || req.method == "POST") {
        queueSimple(req.version + " 404 Not Found", "text/html",
            errorBody("404 Not Found", req.path, "was not found"), !head, false);
    } else {
        answerFile(req, doc.filePath);
    }
    startAnswer();
}

void HttpConnection::answerFile(const HttpRequest &req, const QString &path)
{
    const bool head = req.method == "HEAD";
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        qCInfo(lcNet) << "http cannot open" << path << m_file.errorString();
        queueSimple(req.version + " 404 Not Found", "text/html",
            errorBody("404 Not Found", req.path, "was not found"), !head, false);
        return;
    }
    const qint64 size = m_file.size();
    const QByteArray type = httpContentType(path);
    QByteArray modified;
    const QDateTime when = QFileInfo(path).lastModified();
    if (when.isValid())
        modified = "Last-Modified: " + httpDate(when.toSecsSinceEpoch()) + "\r\n";

    const HttpRangeRequest range
        = req.hasHeader("Range") ? parseHttpRange(req.header("Range"), size) : HttpRangeRequest {};
    if (range.kind == HttpRangeRequest::Unsatisfiable) {
        m_file.close();
        m_logStatus = "416";
        m_out.append({ req.version + " 416 Request range not satisfiable\r\nContent-Range: bytes */"
                + QByteArray::number(size) + "\r\nContent-Length: 0\r\n" + connectionHeader() + "\r\n",
            -1, 0 });
        return;
    }
    m_logStatus = range.kind == HttpRangeRequest::None ? "200" : "206";
    if (range.kind == HttpRangeRequest::None) {
        m_out.append({ req.version + " 200 OK\r\nContent-Type: " + type
                + "\r\nContent-Length: " + QByteArray::number(size) + "\r\nAccept-Ranges: bytes\r\n"
                + modified + connectionHeader() + "\r\n",
            -1, 0 });
        if (!head && size > 0)
            m_out.append({ {}, 0, size });
        return;
    }
    if (range.ranges.size() == 1) {
        const HttpByteRange r = range.ranges.first();
        m_out.append({ req.version + " 206 Partial Content\r\nContent-Type: " + type + "\r\nContent-Length: "
                + QByteArray::number(r.length()) + "\r\nContent-Range: " + contentRange(r, size)
                + "\r\nAccept-Ranges: bytes\r\n" + modified + connectionHeader() + "\r\n",
            -1, 0 });
        if (!head)
            m_out.append({ {}, r.first, r.length() });
        return;
    }
    QList<Segment> body;
    qint64 length = 0;
    for (const HttpByteRange &r : range.ranges) {
        const QByteArray partHead = "\r\n--" + kBoundary + "\r\nContent-Type: " + type
            + "\r\nContent-Range: " + contentRange(r, size) + "\r\n\r\n";
        body.append({ partHead, -1, 0 });
        body.append({ {}, r.first, r.length() });
        length += partHead.size() + r.length();
    }
    const QByteArray tail = "\r\n--" + kBoundary + "--\r\n";
    body.append({ tail, -1, 0 });
    length += tail.size();
    // The boundary holds brackets, so the parameter is quoted.
    m_out.append({ req.version + " 206 Partial Content\r\nContent-Type: multipart/byteranges; boundary=\""
            + kBoundary + "\"\r\nContent-Length: " + QByteArray::number(length)
            + "\r\nAccept-Ranges: bytes\r\n" + modified + connectionHeader() + "\r\n",
        -1, 0 });
    if (!head)
        m_out += body;
}

void HttpConnection::startAnswer()
{
    m_busy = true;
    m_timer.start(m_server->idleTimeout());
    // Hand the answer to the system at once, as far as it takes it: a client
    // that shut its sending side after the request is dropped by the socket
    // layer as soon as that end is read, and what still waits here is lost.
    m_flushing = true;
    pump();
    if (!m_done)
        m_socket->flush();
    m_flushing = false;
    if (m_done)
        return;
    if (!m_out.isEmpty())
        pump(); // the rest follows as the socket reports its progress
    else if (m_socket->bytesToWrite() == 0)
        finishAnswer();
}

void HttpConnection::pump()
{
    while (!m_out.isEmpty() && m_socket->bytesToWrite() < kHighWater) {
        Segment &seg = m_out.first();
        if (seg.offset < 0) {
            m_sent += m_socket->write(seg.bytes);
            m_out.removeFirst();
        } else {
            const qint64 n = qMin(kChunk, seg.length);
            QByteArray data;
            if (m_file.seek(seg.offset))
                data = m_file.read(n);
            if (data.size() != n) {
                // The file shrank or failed under us: the promised length cannot be kept.
                qCWarning(lcNet) << "http file read failed:" << m_file.fileName() << m_file.errorString();
                m_socket->abort();
                onGone();
                return;
            }
            m_sent += m_socket->write(data);
            seg.offset += n;
            seg.length -= n;
            if (seg.length == 0)
                m_out.removeFirst();
        }
        m_server->notePendingWrite(m_socket->bytesToWrite());
    }
}

void HttpConnection::onBytesWritten()
{
    if (!m_busy || m_done || m_flushing)
        return;
    m_timer.start(m_server->idleTimeout()); // the client is reading: not stalled
    pump();
    if (m_out.isEmpty() && m_socket->bytesToWrite() == 0)
        finishAnswer();
}

void HttpConnection::logAnswer()
{
    BufferedLog &log = m_server->requestLog();
    if (log.isEnabled())
        log.append(
            "http " + m_peer + ' ' + m_logRequest + ' ' + m_logStatus + ' ' + QByteArray::number(m_sent));
    m_sent = 0;
}

void HttpConnection::finishAnswer()
{
    logAnswer();
    m_busy = false;
    m_file.close();
    if (!m_keepAlive) {
        closeAfterAnswer();
        return;
    }
    m_timer.start(m_server->idleTimeout());
    onReadyRead();
}

void HttpConnection::closeAfterAnswer()
{
    m_closing = true;
    const bool unread = !m_in.isEmpty() || m_discard > 0 || m_socket->bytesAvailable() > 0;
    if (!unread && !m_badRequest) {
        m_timer.stop();
        m_socket->disconnectFromHost();
        return;
    }
    // Closing with unread input would reset the connection, and the client
    // could lose the answer before reading it. Stop sending instead and drop
    // whatever still comes until the client closes, for a short while.
    m_draining = true;
    m_in.clear();
    m_socket->readAll();
    ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
    m_timer.start(qMin(2000, m_server->idleTimeout()));
}

void HttpConnection::onTimeout()
{
    if (m_done)
        return;
    qCInfo(lcNet) << "http connection idle, closed:" << m_socket->peerAddress().toString();
    if (m_busy || m_closing || m_draining) {
        m_socket->abort();
    } else {
        m_closing = true;
        m_socket->disconnectFromHost();
    }
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        onGone();
}

} // namespace orvalla
