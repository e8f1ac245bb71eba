#include "net/http_server.h"

#include "common/log.h"
#include "net/http_connection.h"

#include <QDir>
#include <QHostAddress>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvalla
{

namespace
{

// A port number, or a service name as in /etc/services; -1 when neither.
int portNumber(const QString &text)
{
    bool ok = false;
    const uint n = text.trimmed().toUInt(&ok);
    if (ok)
        return n <= 65535 ? int(n) : -1;
    const QByteArray name = text.trimmed().toLatin1();
    if (name.isEmpty())
        return -1;
    const servent *entry = ::getservbyname(name.constData(), "tcp");
    return entry ? int(ntohs(quint16(entry->s_port))) : -1;
}

// At most this many clients are taken per wake-up, so a flood of them does
// not keep the loop from its other work.
constexpr int kAcceptBatch = 64;

} // namespace

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
{
    setDocDir(QString());
    m_files.setDefaultDoc(QStringLiteral("index.html"));
    m_sweep.setSingleShot(true);
    connect(&m_sweep, &QTimer::timeout, this, &HttpServer::sweepFinished);
}

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::setDocDir(const QString &dir)
{
    QString d = dir;
    if (d.size() > 1 && d.endsWith(QLatin1Char('/')))
        d.chop(1);
    m_docDir = QDir(d).absolutePath();
    m_files.setFolder(m_docDir);
}

bool HttpServer::start()
{
    if (isListening())
        return true;
    const int port = portNumber(m_port);
    QHostAddress address;
    if (port < 0) {
        m_serverError = QAbstractSocket::UnsupportedSocketOperationError;
        m_error = QStringLiteral("invalid port \"%1\"").arg(m_port);
    } else if (!address.setAddress(m_addr)) {
        m_serverError = QAbstractSocket::UnsupportedSocketOperationError;
        m_error = QStringLiteral("invalid address \"%1\"").arg(m_addr);
    } else {
        sockaddr_storage where {};
        socklen_t length;
        if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&where);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(quint16(port));
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
            length = sizeof *in6;
        } else {
            auto *in4 = reinterpret_cast<sockaddr_in *>(&where);
            in4->sin_family = AF_INET;
            in4->sin_port = htons(quint16(port));
            in4->sin_addr.s_addr = htonl(address.toIPv4Address());
            length = sizeof *in4;
        }
        const int fd = ::socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
            && ::bind(fd, reinterpret_cast<sockaddr *>(&where), length) == 0 && ::listen(fd, m_backlog) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&where), &length) == 0) {
            // sendfile has no MSG_NOSIGNAL: a client gone mid-file would
            // otherwise end the whole console with SIGPIPE.
            struct sigaction current {
            };
            if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
                struct sigaction ignore {
                };
                ignore.sa_handler = SIG_IGN;
                ::sigaction(SIGPIPE, &ignore, nullptr);
            }
            m_listenFd = fd;
            m_serverPort
                = ntohs(where.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&where)->sin6_port
                                                    : reinterpret_cast<sockaddr_in *>(&where)->sin_port);
            m_listenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(m_listenNotifier, &QSocketNotifier::activated, this, &HttpServer::onNewConnection);
            // Looked up again at every switch-on: the folder may have been made or moved.
            m_files.setFolder(m_docDir);
            m_error.clear();
            m_serverError = QAbstractSocket::UnknownSocketError;
            qCInfo(lcNet).noquote() << "http server listening on" << m_addr << m_serverPort << "folder"
                                    << m_docDir << "default" << defaultDoc();
            Q_EMIT started(m_serverPort);
            return true;
        }
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        switch (error) {
        case EADDRINUSE:
            m_serverError = QAbstractSocket::AddressInUseError;
            break;
        case EACCES:
        case EPERM:
            m_serverError = QAbstractSocket::SocketAccessError;
            break;
        case EADDRNOTAVAIL:
            m_serverError = QAbstractSocket::SocketAddressNotAvailableError;
            break;
        default:
            m_serverError = QAbstractSocket::UnknownSocketError;
            break;
        }
        m_error = QString::fromLocal8Bit(std::strerror(error));
    }
    qCWarning(lcNet).noquote() << "http server cannot listen on" << m_addr << m_port << ":" << m_error;
    Q_EMIT startFailed(m_error);
    return false;
}

void HttpServer::closeListener()
{
    delete m_listenNotifier;
    m_listenNotifier = nullptr;
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
    m_serverPort = 0;
}

void HttpServer::stop()
{
    const bool wasListening = isListening();
    closeListener();
    const QList<HttpConnection *> connections = std::exchange(m_connections, {});
    for (HttpConnection *c : connections) {
        c->abort();
        c->deleteLater();
    }
    sweepFinished();
    m_requestLog.flush();
    if (wasListening) {
        qCInfo(lcNet) << "http server stopped";
        Q_EMIT stopped();
    }
}

void HttpServer::onNewConnection()
{
    for (int i = 0; i < kAcceptBatch && m_listenFd >= 0; ++i) {
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(
            m_listenFd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // Out of descriptors, say: the client waits in the backlog, and
            // the loop must not spin on it meanwhile.
            qCWarning(lcNet) << "http server cannot accept:" << std::strerror(errno);
            m_listenNotifier->setEnabled(false);
            QTimer::singleShot(100, m_listenNotifier, [n = m_listenNotifier] { n->setEnabled(true); });
            return;
        }
        if (m_maxClients > 0 && m_connections.size() >= m_maxClients) {
            ::close(fd);
            continue;
        }
        auto *connection
            = new HttpConnection(fd, this, httpPeerName(reinterpret_cast<const sockaddr *>(&peer)));
        m_connections.append(connection);
        connect(connection, &HttpConnection::finished, this, &HttpServer::onConnectionFinished);
        m_starting = connection;
        m_startingFinished = false;
        connection->start();
        m_starting = nullptr;
        // Answered and closed already, as most one-request clients are: done with here.
        if (m_startingFinished)
            delete connection;
    }
}

void HttpServer::onConnectionFinished(HttpConnection *connection)
{
    m_connections.removeOne(connection);
    if (connection == m_starting) {
        m_startingFinished = true;
        return;
    }
    // Still inside its own handler: deleted once back in the event loop.
    m_finished.append(connection);
    if (!m_sweep.isActive())
        m_sweep.start(0);
}

void HttpServer::sweepFinished()
{
    m_sweep.stop();
    qDeleteAll(std::exchange(m_finished, {}));
}

} // namespace orvalla
