#include "net/http_connection.h"

#include "common/log.h"
#include "net/http_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvalla
{

namespace
{

// One read takes at most this much; more waits for the next turn of the loop.
constexpr qsizetype kReadChunk = 16 * 1024;
// A sendfile call hands at most this much, so one client never holds the loop long.
constexpr qint64 kFileChunk = 256 * 1024;
// What is reported as waiting when a socket takes no more of a file.
constexpr qint64 kFileWindow = 64 * 1024;

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

// The status line and headers of an answer, in the order they are added.
class AnswerHead
{
public:
    AnswerHead(const QByteArray &version, const char *status)
    {
        m_bytes.reserve(256);
        m_bytes += version;
        m_bytes += ' ';
        m_bytes += status;
        m_bytes += "\r\n";
    }
    AnswerHead &add(const char *name, const QByteArray &value)
    {
        m_bytes += name;
        m_bytes += ": ";
        m_bytes += value;
        m_bytes += "\r\n";
        return *this;
    }
    AnswerHead &add(const char *name, qint64 value) { return add(name, QByteArray::number(value)); }
    // Whole header lines, or nothing.
    AnswerHead &lines(const QByteArray &text)
    {
        m_bytes += text;
        return *this;
    }
    QByteArray done()
    {
        m_bytes += "\r\n";
        return std::move(m_bytes);
    }

private:
    QByteArray m_bytes;
};

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray peerOf(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return "-";
    return httpPeerName(reinterpret_cast<const sockaddr *>(&address));
}

} // namespace

QByteArray httpPeerName(const sockaddr *address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text, sizeof text);
    else
        return "local";
    return QByteArray(text);
}

HttpConnection::HttpConnection(int fd, HttpServer *server, const QByteArray &peer)
    : QObject(server)
    , m_fd(fd)
    , m_server(server)
    , m_peer(peer.isEmpty() ? peerOf(fd) : peer)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HttpConnection::onTimeout);
    connect(&m_readNotifier, &QSocketNotifier::activated, this, &HttpConnection::onReadable);
}

void HttpConnection::start()
{
    onReadable();
    m_started = true;
    if (m_state == State::Closed)
        return;
    watchInput(m_watchInput);
    if (!m_timer.isActive())
        setIdleLimit(m_server->idleTimeout());
}

void HttpConnection::watchInput(bool on)
{
    m_watchInput = on;
    if (!m_started)
        return;
    if (on && m_readNotifier.socket() != m_fd)
        m_readNotifier.setSocket(m_fd);
    m_readNotifier.setEnabled(on);
}

HttpConnection::~HttpConnection()
{
    release();
}

void HttpConnection::release()
{
    m_state = State::Closed;
    m_timer.stop();
    watchInput(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    if (m_fileFd >= 0)
        ::close(m_fileFd);
    m_fileFd = -1;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_out.clear();
}

void HttpConnection::abort()
{
    release(); // the server forgets this connection itself
}

void HttpConnection::close()
{
    if (m_state == State::Closed)
        return;
    if (m_state == State::Writing)
        logAnswer(); // cut short: the bytes say how far it got
    release();
    Q_EMIT finished(this);
}

void HttpConnection::onReadable()
{
    char buffer[kReadChunk];
    for (;;) {
        if (m_state == State::Closed)
            return;
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            // The client closed (or reset): what it asked before is still answered.
            m_input = Input::Ended;
            watchInput(false);
            if (m_state == State::Draining || n < 0)
                close();
            else if (m_state == State::Reading)
                processBuffer();
            return;
        }
        m_input = n == qsizetype(sizeof buffer) ? Input::Waiting : Input::Open;
        if (m_state == State::Draining) {
            if (m_input == Input::Waiting)
                continue;
            return;
        }
        m_in.append(buffer, n);
        processBuffer();
        return; // the notifier calls again while more is waiting
    }
}

void HttpConnection::processBuffer()
{
    if (m_processing)
        return; // a kept-alive answer finished inside the loop below
    m_processing = true;
    while (m_state == State::Reading) {
        if (m_discard > 0) {
            const qint64 n = qMin<qint64>(m_discard, m_in.size());
            m_in.remove(0, n);
            m_discard -= n;
            if (m_discard > 0)
                break;
        }
        if (m_in.isEmpty())
            break;
        const HttpParseResult parsed = parseHttpRequest(m_in);
        if (parsed.status == HttpParseResult::Incomplete)
            break; // the idle timer keeps running: a request must complete in time
        if (parsed.status == HttpParseResult::BadRequest) {
            m_in.clear();
            m_after = After::Drain;
            m_logRequest = parsed.method + " (" + parsed.error.toLatin1() + ')';
            queueSimple(parsed.version, "400 Bad Request", "text/plain", "400 Bad Request",
                parsed.method != "HEAD", true);
            startAnswer();
            break;
        }
        m_in.remove(0, parsed.consumed);
        const HttpRequest &req = parsed.request;
        m_after = req.keepAlive && !req.chunkedBody ? After::KeepAlive : After::Close;
        m_discard = req.bodyLength;
        const qint64 n = qMin<qint64>(m_discard, m_in.size());
        m_in.remove(0, n);
        m_discard -= n;
        answer(req);
    }
    m_processing = false;
    // Nothing more can come: a half request is dropped, a whole one was answered.
    if (m_state == State::Reading && m_input == Input::Ended)
        close();
}

QByteArray HttpConnection::connectionHeader() const
{
    return m_after == After::KeepAlive ? "Connection: Keep-Alive\r\n" : "Connection: Close\r\n";
}

void HttpConnection::queueSimple(const QByteArray &version, const char *status, const QByteArray &contentType,
    const QByteArray &body, bool sendBody, bool withConnection)
{
    setLogStatus(status);
    QByteArray bytes = AnswerHead(version, status)
                           .add("Content-Type", contentType)
                           .add("Content-Length", body.size())
                           .lines(withConnection ? connectionHeader() : QByteArray())
                           .done();
    if (sendBody)
        bytes += body;
    m_out.append({ bytes });
}

void HttpConnection::answer(const HttpRequest &req)
{
    const bool head = req.method == "HEAD";
    // Built in the buffer of the last one: no allocation per request.
    m_logRequest.resize(0);
    m_logRequest += req.method;
    m_logRequest += ' ';
    m_logRequest += req.path;
    m_logRequest += ' ';
    m_logRequest += req.version;
    if (req.method != "GET" && !head && req.method != "POST") {
        queueSimple(req.version, "501 Unimplemented", "text/plain", "501 Unimplemented", true, false);
        startAnswer();
        return;
    }
    HttpFiles::Opened file;
    if (req.method != "POST")
        file = m_server->files().open(req.path);
    // No answer to HEAD carries a body, error pages included: a kept-alive
    // client would read those bytes as the start of its next answer.
    if (file.kind == HttpDocument::Forbidden) {
        queueSimple(req.version, "403 Forbidden", "text/html",
            errorBody("403 Forbidden", req.path, "is Forbidden"), !head, false);
    } else if (file.kind == HttpDocument::NotFound || req.method == "POST") {
        queueSimple(req.version, "404 Not Found", "text/html",
            errorBody("404 Not Found", req.path, "was not found"), !head, false);
    } else {
        answerFile(req, file);
    }
    startAnswer();
}

void HttpConnection::answerFile(const HttpRequest &req, HttpFiles::Opened &file)
{
    const bool head = req.method == "HEAD";
    const qint64 size = file.size;
    m_fileFd = file.fd; // closed when the answer is out
    // A stretch of the file: from memory when it is there, else sent from the file.
    const auto body = [&file](qint64 offset, qint64 length) -> Segment {
        if (file.inMemory)
            return { file.bytes.mid(offset, length) };
        return { {}, offset, length };
    };

    const HttpRangeRequest range
        = req.hasHeader("Range") ? parseHttpRange(req.header("Range"), size) : HttpRangeRequest {};
    if (range.kind == HttpRangeRequest::Unsatisfiable) {
        setLogStatus("416");
        m_out.append({ AnswerHead(req.version, "416 Request range not satisfiable")
                           .add("Content-Range", "bytes */" + QByteArray::number(size))
                           .add("Content-Length", 0)
                           .lines(connectionHeader())
                           .done() });
        return;
    }
    if (range.kind == HttpRangeRequest::None) {
        setLogStatus("200");
        QByteArray bytes = AnswerHead(req.version, "200 OK")
                               .add("Content-Type", file.type)
                               .add("Content-Length", size)
                               .add("Accept-Ranges", "bytes")
                               .lines(file.lastModified + connectionHeader())
                               .done();
        // Head and a small body leave in one piece.
        if (!head && file.inMemory)
            bytes += file.bytes;
        m_out.append({ bytes });
        if (!head && !file.inMemory && size > 0)
            m_out.append(body(0, size));
        return;
    }
    setLogStatus("206");
    if (range.ranges.size() == 1) {
        const HttpByteRange r = range.ranges.first();
        m_out.append({ AnswerHead(req.version, "206 Partial Content")
                           .add("Content-Type", file.type)
                           .add("Content-Length", r.length())
                           .add("Content-Range", contentRange(r, size))
                           .add("Accept-Ranges", "bytes")
                           .lines(file.lastModified + connectionHeader())
                           .done() });
        if (!head)
            m_out.append(body(r.first, r.length()));
        return;
    }
    QList<Segment> parts;
    qint64 length = 0;
    for (const HttpByteRange &r : range.ranges) {
        const QByteArray partHead = "\r\n--" + kBoundary + "\r\nContent-Type: " + file.type
            + "\r\nContent-Range: " + contentRange(r, size) + "\r\n\r\n";
        parts.append({ partHead });
        parts.append(body(r.first, r.length()));
        length += partHead.size() + r.length();
    }
    const QByteArray tail = "\r\n--" + kBoundary + "--\r\n";
    parts.append({ tail });
    length += tail.size();
    // The boundary holds brackets, so the parameter is quoted.
    m_out.append({ AnswerHead(req.version, "206 Partial Content")
                       .add("Content-Type", "multipart/byteranges; boundary=\"" + kBoundary + '"')
                       .add("Content-Length", length)
                       .add("Accept-Ranges", "bytes")
                       .lines(file.lastModified + connectionHeader())
                       .done() });
    if (!head)
        m_out += parts;
}

void HttpConnection::startAnswer()
{
    m_state = State::Writing;
    m_sent = 0;
    m_outPos = 0;
    if (m_after == After::KeepAlive && !m_noDelay) {
        // Kept-alive answers must not wait for the client's acknowledgement of the last one.
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_noDelay = true;
    }
    switch (pump()) {
    case Pump::Done:
        finishAnswer();
        break;
    case Pump::Blocked:
        // The rest follows as the socket drains; requests behind it wait.
        watchInput(false);
        if (!m_writeNotifier) {
            m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
            connect(m_writeNotifier, &QSocketNotifier::activated, this, &HttpConnection::onWritable);
        }
        m_writeNotifier->setEnabled(true);
        setIdleLimit(m_server->idleTimeout());
        break;
    case Pump::Gone:
        break;
    }
}

HttpConnection::Pump HttpConnection::pump()
{
    while (!m_out.isEmpty()) {
        Segment &seg = m_out.first();
        ssize_t n;
        if (seg.offset < 0) {
            // More to follow: the kernel may hold this back to fill whole packets.
            const int more = m_out.size() > 1 ? MSG_MORE : 0;
            n = ::send(m_fd, seg.bytes.constData() + m_outPos, size_t(seg.bytes.size() - m_outPos),
                MSG_NOSIGNAL | more);
            if (n > 0) {
                m_sent += n;
                m_outPos += n;
                if (m_outPos == seg.bytes.size()) {
                    m_out.removeFirst();
                    m_outPos = 0;
                }
                continue;
            }
        } else {
            off_t offset = seg.offset;
            n = ::sendfile(m_fd, m_fileFd, &offset, size_t(qMin(kFileChunk, seg.length)));
            if (n > 0) {
                m_sent += n;
                seg.offset += n;
                seg.length -= n;
                if (seg.length == 0)
                    m_out.removeFirst();
                continue;
            }
            if (n == 0) {
                // The file shrank under us: the promised length cannot be kept.
                qCWarning(lcNet) << "http file shrank while sent; connection dropped:" << m_logRequest;
                close();
                return Pump::Gone;
            }
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m_server->notePendingWrite(
                seg.offset < 0 ? seg.bytes.size() - m_outPos : qMin(kFileWindow, seg.length));
            return Pump::Blocked;
        }
        close(); // the client is gone
        return Pump::Gone;
    }
    return Pump::Done;
}

void HttpConnection::onWritable()
{
    if (m_state != State::Writing)
        return;
    setIdleLimit(m_server->idleTimeout()); // the client is reading: not stalled
    if (pump() == Pump::Done) {
        m_writeNotifier->setEnabled(false);
        finishAnswer();
    }
}

void HttpConnection::logAnswer()
{
    BufferedLog &log = m_server->requestLog();
    if (log.isEnabled()) {
        char sent[24];
        const auto end = std::to_chars(sent, sent + sizeof sent, m_sent).ptr;
        log.append({ "http ", m_peer, " ", m_logRequest, " ", QByteArrayView(m_logStatus, sizeof m_logStatus),
            " ", QByteArrayView(sent, end - sent) });
    }
    m_sent = 0;
}

void HttpConnection::finishAnswer()
{
    logAnswer();
    m_state = State::Reading;
    if (m_fileFd >= 0)
        ::close(m_fileFd);
    m_fileFd = -1;
    if (m_after != After::KeepAlive) {
        closeAfterAnswer();
        return;
    }
    setIdleLimit(m_server->idleTimeout());
    if (m_input != Input::Ended)
        watchInput(true);
    processBuffer();
}

void HttpConnection::closeAfterAnswer()
{
    const bool unread = !m_in.isEmpty() || m_discard > 0 || m_input == Input::Waiting;
    if (m_input == Input::Ended || (!unread && m_after != After::Drain)) {
        close();
        return;
    }
    // Closing with unread input would reset the connection, and the client
    // could lose the answer before reading it. Stop sending instead and drop
    // whatever still comes until the client closes, for a short while.
    m_state = State::Draining;
    m_in.clear();
    ::shutdown(m_fd, SHUT_WR);
    watchInput(true);
    setIdleLimit(qMin(2000, m_server->idleTimeout()));
}

void HttpConnection::setIdleLimit(int ms)
{
    m_idleDeadline = monotonicMs() + ms;
    // Moved only when it would fire too late: a busy kept-alive connection
    // does not re-arm its timer at every request.
    if (!m_timer.isActive() || m_timerDue > m_idleDeadline) {
        m_timer.start(ms);
        m_timerDue = m_idleDeadline;
    }
}

void HttpConnection::onTimeout()
{
    if (m_state == State::Closed)
        return;
    const qint64 now = monotonicMs();
    if (now < m_idleDeadline) {
        m_timer.start(int(m_idleDeadline - now));
        m_timerDue = m_idleDeadline;
        return;
    }
    qCInfo(lcNet) << "http connection idle, closed:" << m_peer;
    close();
}

} // namespace orvalla
