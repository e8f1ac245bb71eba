#pragma once

// A small SMTP peer on loopback whose answers a test can change line by line.
// By default it behaves like a willing ESMTP server with AUTH LOGIN.

#include "tests/support/line_peer.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <optional>

class ScriptedSmtpServer : public orvalla::testsupport::LinePeer
{
public:
    // Reply to a command line instead of the default; "CLOSE" drops the connection.
    std::function<std::optional<QByteArray>(const QByteArray &line)> script;

    QList<QByteArray> commands; // command lines, in order (message lines excluded)
    QList<QByteArray> dataLines; // message lines as they came, still dot-stuffed

    ScriptedSmtpServer()
        : LinePeer(Ends::CrLf)
    {
        greeting = "220 scripted ESMTP ready\r\n";
    }

private:
    void accepted(QTcpSocket *s) override
    {
        m_inData = false;
        m_authStage = 0;
        LinePeer::accepted(s);
    }

    void lineReceived(QTcpSocket *s, const QByteArray &line) override
    {
        if (m_inData) {
            if (line == ".") {
                m_inData = false;
                answer(s, line, "250 queued\r\n");
            } else {
                dataLines.append(line);
            }
            return;
        }
        commands.append(line);
        answer(s, line, defaultReply(line));
    }

    void answer(QTcpSocket *s, const QByteArray &line, const QByteArray &fallback)
    {
        std::optional<QByteArray> r = script ? script(line) : std::nullopt;
        const QByteArray reply = r ? *r : fallback;
        if (reply == "CLOSE") {
            s->disconnectFromHost();
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

    bool m_inData = false;
    int m_authStage = 0;
};
