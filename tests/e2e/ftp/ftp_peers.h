#pragma once

// Peers for the FTP tests, all on 127.0.0.1 at ports the system chooses:
// the Debian FTP server in a child process, and a scripted server whose
// replies a test sets line by line.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>

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

// python3 -m pyftpdlib's library behind a small script that reports its port.
class PyFtpServer
{
public:
    ~PyFtpServer() { stop(); }

    // Empty when it started, else why not.
    // options: further arguments of ftp_server.py (--masquerade, --tls ...).
    QString start(
        const QString &root, const QString &user, const QString &password, const QStringList &options = {})
    {
        const QString script = QStringLiteral(ORVALLA_SOURCE_DIR "/tests/e2e/ftp/ftp_server.py");
        // The system interpreter carries the Debian package; a python3 found
        // earlier on PATH may not.
        QStringList candidates { QStringLiteral("/usr/bin/python3") };
        const QString onPath = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (!onPath.isEmpty())
            candidates.append(onPath);
        for (const QString &python : candidates) {
            if (!QFile::exists(python))
                continue;
            m_process = std::make_unique<QProcess>();
            // ORVALLA_FTP_PEER_LOG=<file> keeps the server's log for a failing test.
            const QString log = qEnvironmentVariable("ORVALLA_FTP_PEER_LOG");
            m_process->setStandardErrorFile(log.isEmpty() ? QProcess::nullDevice() : log, QIODevice::Append);
            m_process->start(python, QStringList { script, root, user, password } + options);
            if (!m_process->waitForStarted(10000))
                continue;
            QByteArray out;
            QElapsedTimer timer;
            timer.start();
            while (
                !out.contains('\n') && timer.elapsed() < 15000 && m_process->state() == QProcess::Running) {
                m_process->waitForReadyRead(500);
                out += m_process->readAllStandardOutput();
            }
            if (out.startsWith("PORT ")) {
                m_port = quint16(out.mid(5).trimmed().toUInt());
                return {};
            }
            stop();
        }
        return QStringLiteral("no python3 with pyftpdlib (Debian package python3-pyftpdlib)");
    }

    void stop()
    {
        if (m_process) {
            m_process->kill();
            m_process->waitForFinished(5000);
            m_process.reset();
        }
    }

    quint16 port() const { return m_port; }

private:
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

// An FTP server written line by line for one test. Every command is recorded;
// the reply to a verb comes from replies[verb] or a plain default. STOR
// answers 150, connects to the client's PORT address, reads the file and
// answers 226 when the client closes the data connection.
class ScriptedFtpServer
{
public:
    QByteArray greeting = "220 scripted server ready\r\n"; // empty: never says a word
    QHash<QByteArray, QByteArray> replies; // verb -> reply text, CR LF included
    QByteArray storFinal = "226 stored\r\n";
    int replyDelayMs = 0; // each reply this late
    qint64 dropDataAfter = -1; // close the data connection after this many bytes...
    QByteArray afterDrop; // ...and answer this
    qint64 readPerTick = 0; // read the data connection this slowly (bytes every 20 ms)
    QHostAddress dataFrom; // connect the data connection from this address

    QList<QByteArray> commands;
    QByteArray stored;

    ScriptedFtpServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_context, [this] { accept(); });
    }

    quint16 port() const { return m_server.serverPort(); }
    QList<QByteArray> verbs() const
    {
        QList<QByteArray> result;
        for (const QByteArray &command : commands)
            result.append(verbOf(command));
        return result;
    }

private:
    static QByteArray verbOf(const QByteArray &command)
    {
        const qsizetype blank = command.indexOf(' ');
        return blank < 0 ? command : command.left(blank);
    }

    void accept()
    {
        while (m_server.hasPendingConnections()) {
            QTcpSocket *socket = m_server.nextPendingConnection();
            m_control = socket;
            QObject::connect(
                socket, &QTcpSocket::readyRead, &m_context, [this, socket] { readCommands(socket); });
            if (!greeting.isEmpty())
                reply(greeting);
        }
    }

    void reply(const QByteArray &text)
    {
        QPointer<QTcpSocket> socket = m_control;
        auto send = [socket, text] {
            if (socket)
                socket->write(text);
        };
        if (replyDelayMs > 0)
            QTimer::singleShot(replyDelayMs, &m_context, send);
        else
            send();
    }

    void readCommands(QTcpSocket *socket)
    {
        m_pending += socket->readAll();
        qsizetype lf;
        while ((lf = m_pending.indexOf('\n')) >= 0) {
            QByteArray command = m_pending.left(lf);
            m_pending.remove(0, lf + 1);
            if (command.endsWith('\r'))
                command.chop(1);
            commands.append(command);
            handle(command);
        }
    }

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
            port(command.mid(5));
        else if (verb == "STOR")
            store();
        else if (verb == "QUIT") {
            reply("221 bye\r\n");
            if (m_control)
                m_control->disconnectFromHost();
        } else
            reply("502 not implemented\r\n");
    }

    void port(const QByteArray &arguments)
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
        auto *data = new QTcpSocket(&m_context);
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

    QObject m_context;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_control;
    QByteArray m_pending;
    QHostAddress m_dataHost;
    quint16 m_dataPort = 0;
};

} // namespace ftptest
