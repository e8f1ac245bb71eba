#pragma once

// The built console as a child process in a working folder of its own, with
// what it says gathered, and the pseudo-terminal pair a station talks through.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#include <csignal>
#include <functional>
#include <sys/prctl.h>

namespace orvalla::testsupport
{

// A test that dies (a time-out's abort) takes its helpers with it: an
// emulator would otherwise write for ever.
inline void dieWithParent(QProcess &process, const std::function<void()> &more = {})
{
    process.setChildProcessModifier([more] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (more)
            more();
    });
}

// socat's two linked pseudo-terminals, folder/ttyStation and folder/ttyConsole.
class PseudoTerminalPair
{
public:
    ~PseudoTerminalPair() { stop(); }

    // Empty when both ends exist, else why not.
    QString start(const QString &folder)
    {
        m_folder = folder;
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (socat.isEmpty())
            return QStringLiteral("socat is needed (scripts/deps.sh installs it)");
        m_socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        dieWithParent(m_socat);
        m_socat.start(socat,
            { QStringLiteral("pty,raw,echo=0,link=") + stationEnd(),
                QStringLiteral("pty,raw,echo=0,link=") + consoleEnd() });
        if (!m_socat.waitForStarted())
            return QStringLiteral("socat did not start");
        QElapsedTimer t;
        t.start();
        while (!(QFile::exists(stationEnd()) && QFile::exists(consoleEnd())) && t.elapsed() < 10000)
            QTest::qWait(50);
        if (!QFile::exists(stationEnd()) || !QFile::exists(consoleEnd()))
            return QStringLiteral("socat made no pseudo-terminal pair");
        return {};
    }

    void stop()
    {
        if (m_socat.state() == QProcess::NotRunning)
            return;
        m_socat.terminate();
        if (!m_socat.waitForFinished(5000)) {
            m_socat.kill();
            m_socat.waitForFinished();
        }
    }

    QString stationEnd() const { return m_folder + QStringLiteral("/ttyStation"); }
    QString consoleEnd() const { return m_folder + QStringLiteral("/ttyConsole"); }

private:
    QString m_folder;
    QProcess m_socat;
};

class ConsoleProcess
{
public:
    // The console's environment: this process's, drawn offscreen.
    QProcessEnvironment environment = offscreenEnvironment();
    // Runs in the console's child process before exec.
    std::function<void()> childSetup;

    ~ConsoleProcess() { kill(); }

    static QString program() { return QStringLiteral(ORVALLA_BINARY_DIR "/app/orvalla"); }

    // Starts the console in workDir; false if it did not start.
    bool start(const QString &workDir)
    {
        m_output.clear();
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(workDir);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        dieWithParent(m_process, childSetup);
        m_process.start(program(), {});
        return m_process.waitForStarted();
    }

    QProcess &process() { return m_process; }
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }

    // What the console has said since it last started.
    const QByteArray &output()
    {
        m_output += m_process.readAll();
        return m_output;
    }
    const char *outputText() { return output().constData(); }

    // Waits until the console's output from `from` on holds needle; returns
    // the offset just past it, or -1 on a time-out or the console's end.
    qsizetype waitForOutput(const QByteArray &needle, int timeoutMs, qsizetype from = 0)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            const qsizetype at = output().indexOf(needle, from);
            if (at >= 0)
                return at + needle.size();
            if (t.elapsed() > timeoutMs || !running())
                return -1;
            m_process.waitForReadyRead(50);
        }
    }

    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(30000);
        output();
    }

    // SIGTERM, as the operator's close; false when it did not end in time.
    bool terminate(int timeoutMs = 30000)
    {
        m_process.terminate();
        const bool ended = m_process.waitForFinished(timeoutMs);
        output();
        return ended;
    }

private:
    static QProcessEnvironment offscreenEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }

    QProcess m_process;
    QByteArray m_output;
};

} // namespace orvalla::testsupport
