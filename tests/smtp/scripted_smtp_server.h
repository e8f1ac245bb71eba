#pragma once

// A small SMTP peer on loopback whose answers a test can change line by line.
// By default it behaves like a willing ESMTP server with AUTH LOGIN.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <optional>

class ScriptedSmtpServer : public QObject
{
public:
    // Reply to a command line instead of the default; "CLOSE" drops the connection.
    std::function<std::optional<QByteArray>(const QByteArray &line)> script;
    QByteArray greeting = "220 scripted ESMTP ready\r\n";

    QList<QByteArray> commands; // command lines, in order (message lines excluded)
    QList<QByteArray> dataLines; // message lines as they came, still dot-stuffed
    int connections = 0;

    ScriptedSmtpServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                ++connections;
                m_peer = s;
                m_buffer.clear();
                m_inData = false;
                m_authStage = 0;
                connect(s, &QTcpSocket::readyRead, this, [this, s] { received(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                if (!greeting.isEmpty())
                    s->write(greeting);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return m_server.serverPort(); }
    void send(const QByteArray &bytes)
    {
        if (m_peer)
            m_peer->write(bytes);
    }

private:
    void received(QTcpSocket *s)
    {
        m_buffer += s->readAll();
        qsizetype end;
        while ((end = m_buffer.indexOf("\r\n")) >= 0) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 2);
            if (m_inData) {
                if (line == ".") {
                    m_inData = false;
                    answer(s, line, "250 queued\r\n");
                } else {
                    dataLines.append(line);
                }
                continue;
            }
            commands.append(line);
            answer(s, line, defaultReply(line));
            if (!m_peer)
                return;
        }
    }

    void answer(QTcpSocket *s, const QByteArray &line, const QByteArray &fallback)
    {
        std::optional<QByteArray> r = script ? script(line) : std::nullopt;
        const QByteArray reply = r ? *r : fallback;
        if (reply == "CLOSE") {
            s->disconnectFromHost();
            m_peer = nullptr;
            return;
        }
        if (line == "DATA" && reply.startsWith("354"))
            m_inData = true;
        s->write(reply);
        if (line == "QUIT" && reply.startsWith("221"))
            s->disconnectFromHost();
    }

    QByteArray defaultReply(const QByteArray &line)
    {
        if (m_authStage == 1) {
            m_authStage = 2;
            return "334 UGFzc3dvcmQ6\r\n";
        }
        if (m_authStage == 2) {
            m_authStage = 0;
            return "235 authenticated\r\n";
        }
        const QByteArray verb = line.left(4).toUpper();
        if (verb == "EHLO")
            return "250-scripted greets you\r\n250-8BITMIME\r\n250 AUTH LOGIN\r\n";
        if (verb == "HELO")
            return "250 scripted\r\n";
        if (line.toUpper() == "AUTH LOGIN") {
            m_authStage = 1;
            return "334 VXNlcm5hbWU6\r\n";
        }
        if (verb == "MAIL" || verb == "RCPT")
            return "250 ok\r\n";
        if (verb == "DATA")
            return "354 go ahead\r\n";
        if (verb == "QUIT")
            return "221 bye\r\n";
        return "502 unknown\r\n";
    }

    QTcpServer m_server;
    QPointer<QTcpSocket> m_peer;
    QByteArray m_buffer;
    bool m_inData = false;
    int m_authStage = 0;
};
