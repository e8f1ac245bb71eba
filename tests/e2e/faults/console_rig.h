#pragma once

// The built console in a working folder of its own, on one end of a
// pseudo-terminal pair whose other end the station emulator feeds with a frame
// a second; helpers that read back and check the files the console writes.

#include "common/files.h"
#include "common/text.h"
#include "tests/support/console_process.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <functional>

namespace faults
{

using orvalla::readFile;
using orvalla::splitLines;

// The settings file the tests start from: every network switch off,
// simulated reception off, one interval record a minute.
inline QByteArray settingsFile()
{
    const char *const lines[] = {
        "Identificador do sistema = 'tarvelo'",
        "Envio correo auto = 0",
        "Envio correo (minuto diario) = 600 ",
        "Servidor de correo = 127.0.0.1",
        "Porto de correo = 9",
        "Clave de correo = ",
        "Usuario de correo = orvalla",
        "Dominio de correo = localhost",
        "Remitente de correo = orvalla@localhost",
        "Motivo de correo = información meteorolóxica",
        "Destinatarios de correo = meteo@localhost",
        "Envio ficheiros auto = 0",
        "Intervalo envio ficheiros (minutos) = 15 ",
        "Servidor de ftp = 127.0.0.1",
        "Usuario de ftp = orvalla",
        "Clave de ftp = ",
        "Porto de ftp = 9",
        "Ruta local de ficheiros de ftp = ",
        "Ruta remota de ficheiros de ftp = /",
        "Nome de ficheiro de ftp = Orvalla.htm",
        "Servidor http activo = 0",
        "Ruta de ficheiros http = ",
        "Nome de ficheiro fonte http = Orvalla.txt",
        "Nome de ficheiro destino http = Orvalla.htm",
        "Ruta de ficheiro excel = ",
        "Nome de ficheiro excel = datos.xls",
        "Excel activo = 0",
        "Modo simulado = 0",
        "Intervalo almacenamento datos (minutos) = 1",
        "Envio imaxe webcam = 0",
        "Inicio diario de lectura de maximas (minutos) = 1195",
        "Periodo diario de lectura maximas (minutos) = 5",
        "Intervalo de fallo de lectura maximas (minutos) = 60",
        "Numero minimo de datos de maximas = 24",
        "Calibracion de piranometro = 3.9200",
        "Tension de transmisor = 4.00",
        "Calibracion de barometro = 3.2717",
    };
    QByteArray bytes;
    for (const char *line : lines)
        bytes += orvalla::toCp1252(QString::fromUtf8(line)) + "\r\n";
    return bytes;
}

// A reading line: time stamp, then the nine values (the temperature first).
inline bool isReadingLine(const QByteArray &line)
{
    static const QRegularExpression re(
        QStringLiteral("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d temp=.* hum=.* pres=.* ic=.*mA $"));
    return re.match(QString::fromLatin1(line)).hasMatch();
}

inline bool isTimeStampLine(const QByteArray &line)
{
    static const QRegularExpression re(QStringLiteral("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d $"));
    return re.match(QString::fromLatin1(line)).hasMatch();
}

// "DD/MM/YYYY hh:mm:ss" as a number that orders like the time.
inline qint64 stampKey(const QByteArray &line)
{
    auto n = [&line](int at, int len) { return line.mid(at, len).toLongLong(); };
    return ((((n(6, 4) * 100 + n(3, 2)) * 100 + n(0, 2)) * 100 + n(11, 2)) * 100 + n(14, 2)) * 100 + n(17, 2);
}

// Every line of bytes ends in CR LF (the last one too) and holds no other CR or LF.
inline bool wholeCrLfLines(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return true;
    if (!bytes.endsWith("\r\n"))
        return false;
    return bytes.count('\n') == bytes.count("\r\n") && bytes.count('\r') == bytes.count("\r\n");
}

using orvalla::testsupport::dieWithParent;

class ConsoleRig
{
public:
    QString workDir; // the console's working folder
    QString portDir; // where the pseudo-terminal links live
    // Runs in the console's child process before exec.
    std::function<void()> childSetup;

    ~ConsoleRig() { stopAll(); }

    // socat and the station emulator, a frame a second. Empty when started, else why not.
    QString startPeers()
    {
        const QString error = m_pair.start(portDir);
        if (!error.isEmpty())
            return error;
        const QString emulator = QStringLiteral(ORVALLA_BINARY_DIR "/tools/orvalla-station");
        dieWithParent(m_station);
        m_station.setStandardOutputFile(QProcess::nullDevice());
        // Its per-frame lines would drown the test's own output.
        m_station.setStandardErrorFile(QProcess::nullDevice());
        m_station.start(emulator, { m_pair.stationEnd(), QStringLiteral("--interval"), QStringLiteral("1") });
        if (!m_station.waitForStarted())
            return emulator + QStringLiteral(" did not start");
        return {};
    }

    void startConsole()
    {
        QProcessEnvironment &env = m_console.environment;
        env.insert(QStringLiteral("ORVALLA_SERIAL_PORT"), m_pair.consoleEnd());
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        // Leak reports of a killed process are noise; the other tests check leaks.
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        m_console.childSetup = childSetup;
        m_console.start(workDir);
    }

    QProcess &console() { return m_console.process(); }
    bool consoleRunning() const { return m_console.running(); }
    qint64 consolePid() const { return m_console.pid(); }

    // What the console has said since it last started.
    const QByteArray &output() { return m_console.output(); }
    const char *outputText() { return m_console.outputText(); }

    // Waits until the console's output from `from` on holds needle; returns
    // the offset just past it, or -1.
    qsizetype waitForOutput(const QByteArray &needle, int timeoutMs, qsizetype from = 0)
    {
        return m_console.waitForOutput(needle, timeoutMs, from);
    }

    void killConsole() { m_console.kill(); }

    // SIGTERM, as the operator's close; false when it did not end in time.
    bool terminateConsole(int timeoutMs = 60000) { return m_console.terminate(timeoutMs); }

    void stopAll()
    {
        killConsole();
        if (m_station.state() != QProcess::NotRunning) {
            m_station.terminate();
            if (!m_station.waitForFinished(5000)) {
                m_station.kill();
                m_station.waitForFinished();
            }
        }
        m_pair.stop();
    }

    QString path(const QString &name) const { return workDir + u'/' + name; }

    QByteArray bytes(const QString &name) const
    {
        QByteArray b;
        return readFile(path(name), &b) ? b : QByteArray();
    }

    QStringList files(const QString &pattern) const
    {
        return QDir(workDir).entryList({ pattern }, QDir::Files, QDir::Name);
    }
    QStringList dayFiles() const { return files(QStringLiteral("tarvelo_datos_\?\?_\?\?_\?\?\?\?.txt")); }
    QStringList intervalFiles() const
    {
        return files(QStringLiteral("tarvelo_datos10_\?\?_\?\?_\?\?\?\?.txt"));
    }
    static QString queueName() { return QStringLiteral("tarvelo_datos10_correo.txt"); }

private:
    orvalla::testsupport::PseudoTerminalPair m_pair;
    QProcess m_station;
    orvalla::testsupport::ConsoleProcess m_console;
};

} // namespace faults
