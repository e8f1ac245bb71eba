#include "net/http_server.h"

#include "common/log.h"
#include "net/http_connection.h"

#include <QDir>
#include <QHostAddress>
#include <QTcpSocket>

#include <netdb.h>

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

} // namespace

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_listener, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
    setDocDir(QString());
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
}

bool HttpServer::start()
{
    if (m_listener.isListening())
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
        m_listener.setListenBacklogSize(m_backlog);
        if (m_listener.listen(address, quint16(port))) {
            m_error.clear();
            m_serverError = QAbstractSocket::UnknownSocketError;
            qCInfo(lcNet).noquote() << "http server listening on" << m_addr << m_listener.serverPort()
                                    << "folder" << m_docDir << "default" << m_defaultDoc;
            Q_EMIT started(m_listener.serverPort());
            return true;
        }
        m_serverError = m_listener.serverError();
        m_error = m_listener.errorString();
    }
    qCWarning(lcNet).noquote() << "http server cannot listen on" << m_addr << m_port << ":" << m_error;
    Q_EMIT startFailed(m_error);
    return false;
}

void HttpServer::stop()
{
    const bool wasListening = m_listener.isListening();
    m_listener.close();
    const QList<HttpConnection *> connections = std::exchange(m_connections, {});
    for (HttpConnection *c : connections) {
        c->abort();
        c->deleteLater();
    }
    if (wasListening) {
        qCInfo(lcNet) << "http server stopped";
        Q_EMIT stopped();
    }
}

void HttpServer::onNewConnection()
{
    while (m_listener.hasPendingConnections()) {
        QTcpSocket *socket = m_listener.nextPendingConnection();
        if (m_maxClients > 0 && m_connections.size() >= m_maxClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new HttpConnection(socket, this);
        m_connections.append(connection);
        connect(connection, &HttpConnection::finished, this, &HttpServer::onConnectionFinished);
    }
}

void HttpServer::onConnectionFinished(HttpConnection *connection)
{
    m_connections.removeOne(connection);
    connection->deleteLater();
}

} // namespace orvalla
