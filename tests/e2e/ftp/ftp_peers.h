#pragma once

// Peers for the FTP tests, all on 127.0.0.1 at ports the system chooses:
// the Debian FTP server in a child process, and a scripted server whose
// replies a test sets line by line.

#include "tests/support/line_peer.h"
#include "tests/support/python_peer.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

namespace ftptest
{

// Bytes that an ASCII-type transfer or a line-end conversion would change.
inline QByteArray binaryBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(random.bounded(256));
    for (qsizetype i = 0; i + 1 < size; i += 97) {
        bytes[i] = '\r';
        bytes[i + 1] = '\n';
    }
    return bytes;
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The demo's FTP server script (pyftpdlib) on loopback.
class PyFtpServer
{
public:
    // Empty when it started, else why not.
    // options: further arguments of ftp_server.py (--masquerade, --tls ...).
    QString start(
        const QString &root, const QString &user, const QString &password, const QStringList &options = {})
    {
        return m_peer.start(
            orvalla::testsupport::PythonPeer::Peer::Ftp, QStringList { root, user, password } + options);
    }

    void stop() { m_peer.stop(); }
    quint16 port() const { return m_peer.port(); }

private:
    orvalla::testsupport::PythonPeer m_peer;
};

// An FTP server written line by line for one test. Every command is recorded
// in lines; the reply to a verb comes from replies[verb] or a plain default.
// STOR answers 150, connects to the client's PORT address, reads the file and
// answers 226 when the client closes the data connection.
class ScriptedFtpServer : public orvalla::testsupport::LinePeer
{
public:
    QHash<QByteArray, QByteArray> replies; // verb -> reply text, CR LF included
    QByteArray storFinal = "226 stored\r\n";
    int replyDelayMs = 0; // each reply this late
    qint64 dropDataAfter = -1; // close the data connection after this many bytes...
    QByteArray afterDrop; // ...and answer this
    qint64 readPerTick = 0; // read the data connection this slowly (bytes every 20 ms)
    QHostAddress dataFrom; // connect the data connection from this address

    QByteArray stored;

    ScriptedFtpServer() { greeting = "220 scripted server ready\r\n"; }

    QList<QByteArray> verbs() const
    {
        QList<QByteArray> result;
        for (const QByteArray &command : lines)
            result.append(verbOf(command));
        return result;
    }

private:
    static QByteArray verbOf(const QByteArray &command)
    {
        const qsizetype blank = command.indexOf(' ');
        return blank < 0 ? command : command.left(blank);
    }

    void accepted(QTcpSocket *) override
    {
        if (!greeting.isEmpty())
            reply(greeting);
    }

    void reply(const QByteArray &text)
    {
        QPointer<QTcpSocket> socket = peer();
        auto send = [socket, text] {
            if (socket)
                socket->write(text);
        };
        if (replyDelayMs > 0)
            QTimer::singleShot(replyDelayMs, this, send);
        else
            send();
    }

    void lineReceived(QTcpSocket *, const QByteArray &command) override { handle(command); }

    void handle(const QByteArray &command)
    {
        const QByteArray verb = verbOf(command);
        if (replies.contains(verb)) {
            reply(replies.value(verb));
            return;
        }
        if (verb == "USER")
            reply("331 password please\r\n");
        else if (verb == "PASS" || verb == "ACCT")
            reply("230 logged in\r\n");
        else if (verb == "CWD")
            reply("250 folder changed\r\n");
        else if (verb == "TYPE")
            reply("200 type set\r\n");
        else if (verb == "PORT")
            dataPort(command.mid(5));
        else if (verb == "STOR")
            store();
        else if (verb == "QUIT") {
            reply("221 bye\r\n");
            if (peer())
                peer()->disconnectFromHost();
        } else
            reply("502 not implemented\r\n");
    }

    void dataPort(const QByteArray &arguments)
    {
        const QList<QByteArray> parts = arguments.split(',');
        if (parts.size() != 6) {
            reply("501 bad PORT\r\n");
            return;
        }
        m_dataHost
            = QHostAddress(QString::fromLatin1(parts[0] + '.' + parts[1] + '.' + parts[2] + '.' + parts[3]));
        m_dataPort = quint16(parts[4].toUInt() * 256 + parts[5].toUInt());
        reply("200 PORT ok\r\n");
    }

    void store()
    {
        reply("150 opening data connection\r\n");
        auto *data = new QTcpSocket(this);
        if (!dataFrom.isNull())
            data->bind(dataFrom);
        if (readPerTick > 0) {
            data->setReadBufferSize(readPerTick);
            auto *timer = new QTimer(data);
            QObject::connect(timer, &QTimer::timeout, data, [this, data] { take(data, readPerTick); });
            timer->start(20);
        } else {
            QObject::connect(data, &QTcpSocket::readyRead, data, [this, data] { take(data, -1); });
        }
        QObject::connect(data, &QTcpSocket::disconnected, data, [this, data] {
            if (data->property("dropped").toBool())
                return;
            stored += data->readAll();
            reply(storFinal);
            data->deleteLater();
        });
        data->connectToHost(m_dataHost, m_dataPort);
    }

    void take(QTcpSocket *data, qint64 most)
    {
        if (data->property("dropped").toBool())
            return;
        stored += most < 0 ? data->readAll() : data->read(most);
        if (dropDataAfter >= 0 && stored.size() >= dropDataAfter) {
            data->setProperty("dropped", true);
            data->abort();
            data->deleteLater();
            reply(afterDrop);
        }
    }

    QHostAddress m_dataHost;
    quint16 m_dataPort = 0;
};

} // namespace ftptest
