#pragma once

// The Python peers (the demo's FTP and mail servers) as child processes: each
// prints "READY <address> <port>" once listening and ends on SIGTERM.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <memory>

namespace orvalla::testsupport
{

// A python3 that imports module: the system interpreter, which carries the
// Debian packages, before one found earlier on PATH. Empty if none does.
inline QString pythonWith(const QString &module)
{
    QStringList candidates { QStringLiteral("/usr/bin/python3") };
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (!onPath.isEmpty())
        candidates.append(onPath);
    for (const QString &python : candidates) {
        if (!QFile::exists(python))
            continue;
        QProcess probe;
        probe.start(python, { QStringLiteral("-c"), QStringLiteral("import ") + module });
        if (probe.waitForFinished(20000) && probe.exitStatus() == QProcess::NormalExit
            && probe.exitCode() == 0)
            return python;
    }
    return {};
}

class PythonPeer
{
public:
    enum class Peer { Ftp, Smtp };

    ~PythonPeer() { stop(); }

    // Starts the demo's server script for peer with its arguments. Empty when
    // it is listening, else why not.
    QString start(Peer peer, const QStringList &arguments)
    {
        stop();
        const bool ftp = peer == Peer::Ftp;
        const QString python = pythonWith(ftp ? QStringLiteral("pyftpdlib") : QStringLiteral("aiosmtpd"));
        if (python.isEmpty())
            return ftp ? QStringLiteral("no python3 with pyftpdlib (Debian package python3-pyftpdlib)")
                       : QStringLiteral("no python3 with aiosmtpd (Debian package python3-aiosmtpd)");
        const QString script = ftp ? QStringLiteral(ORVALLA_SOURCE_DIR "/scripts/demo/ftp_server.py")
                                   : QStringLiteral(ORVALLA_SOURCE_DIR "/scripts/demo/smtp_server.py");
        m_process = std::make_unique<QProcess>();
        // The FTP server logs every command: ORVALLA_PEER_LOG=<file> keeps
        // that for a failing test. The mail server only says what went wrong.
        const QString log = qEnvironmentVariable("ORVALLA_PEER_LOG");
        if (!log.isEmpty())
            m_process->setStandardErrorFile(log, QIODevice::Append);
        else if (ftp)
            m_process->setStandardErrorFile(QProcess::nullDevice());
        else
            m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->start(python, QStringList { script } + arguments);
        if (!m_process->waitForStarted(10000))
            return script + QStringLiteral(" did not start");
        const QDeadlineTimer deadline(60000);
        while (!m_process->canReadLine() && !deadline.hasExpired() && m_process->state() == QProcess::Running)
            m_process->waitForReadyRead(500);
        const QList<QByteArray> ready = m_process->readLine().trimmed().split(' ');
        if (ready.size() != 3 || ready.at(0) != "READY") {
            stop();
            return script + QStringLiteral(" did not report that it listens");
        }
        m_port = quint16(ready.at(2).toUInt());
        return {};
    }

    // SIGTERM, then a kill for one that does not end.
    void stop()
    {
        if (!m_process)
            return;
        if (m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(10000)) {
                m_process->kill();
                m_process->waitForFinished(5000);
            }
        }
        m_process.reset();
        m_port = 0;
    }

    quint16 port() const { return m_port; }

private:
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

} // namespace orvalla::testsupport
