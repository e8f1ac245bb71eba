#pragma once

// A server on loopback, at a port the system chooses, that speaks a line
// protocol as a test scripts it: it greets each connection, records every line
// it gets and answers each one. The FTP, SMTP and misbehaving peers build on it.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace orvalla::testsupport
{

class LinePeer : public QObject
{
public:
    // How lines end: at LF with a CR before it dropped, or only at CR LF
    // (a bare LF then stays inside the line, as a strict peer keeps it).
    enum class Ends { Lf, CrLf };

    QByteArray greeting; // sent to each new connection; empty: never says a word
    QList<QByteArray> lines; // every line received, in order, without its end
    int connections = 0;

    explicit LinePeer(Ends ends = Ends::Lf)
        : m_ends(ends)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                ++connections;
                m_peer = s;
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                connect(s, &QTcpSocket::readyRead, this, [this, s] { read(s); });
                accepted(s);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return m_server.serverPort(); }

    // Bytes to the latest connection, if it is still there.
    void send(const QByteArray &bytes)
    {
        if (m_peer)
            m_peer->write(bytes);
    }

protected:
    // A new connection: greets it by default.
    virtual void accepted(QTcpSocket *s)
    {
        if (!greeting.isEmpty())
            s->write(greeting);
    }

    // One line as it came; the peer records it before.
    virtual void lineReceived(QTcpSocket *s, const QByteArray &line) = 0;

    // The latest connection, null once it is gone.
    QTcpSocket *peer() const { return m_peer; }

private:
    void read(QTcpSocket *s)
    {
        // Per connection: a new one must not inherit another's half line.
        QByteArray buffer = s->property("lineBuffer").toByteArray() + s->readAll();
        const QByteArray end = m_ends == Ends::CrLf ? QByteArray("\r\n") : QByteArray("\n");
        qsizetype at;
        while ((at = buffer.indexOf(end)) >= 0) {
            QByteArray line = buffer.left(at);
            buffer.remove(0, at + end.size());
            if (m_ends == Ends::Lf && line.endsWith('\r'))
                line.chop(1);
            lines.append(line);
            QPointer<QTcpSocket> alive(s);
            lineReceived(s, line);
            // The answer may have closed the connection or ended the peer's interest.
            if (!alive || alive->state() != QAbstractSocket::ConnectedState)
                return;
        }
        s->setProperty("lineBuffer", buffer);
    }

    Ends m_ends;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_peer;
};

} // namespace orvalla::testsupport
