// The built console on one end of a pseudo-terminal pair, frames written to the
// other end: readings reach the day's data file, and SIGTERM closes the console
// as the operator would.

#include "common/files.h"
#include "common/text.h"
#include "station/decoder.h"
#include "tests/support/console_process.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace orvalla;

class TestE2eConsole : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    testsupport::PseudoTerminalPair m_pair;
    testsupport::ConsoleProcess m_console;
    int m_station = -1;

    const char *output() { return m_console.outputText(); }

    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }

    // The day's data file and its lines, whatever the day is.
    QList<QByteArray> dayFile(QString *name) const
    {
        const QStringList files
            = QDir(m_dir.path())
                  .entryList({ QStringLiteral("tarvelo_datos_\?\?_\?\?_\?\?\?\?.txt") }, QDir::Files);
        if (files.isEmpty())
            return {};
        *name = files.last();
        QByteArray bytes;
        if (!readFile(m_dir.filePath(*name), &bytes))
            return {};
        return splitLines(bytes);
    }

    static int readingRow(const QList<QByteArray> &lines)
    {
        for (int i = 0; i < lines.size(); ++i)
            if (lines.at(i).contains("temp="))
                return i;
        return -1;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QString error = m_pair.start(m_dir.path());
        QVERIFY2(error.isEmpty(), qPrintable(error));
        m_station = ::open(QFile::encodeName(m_pair.stationEnd()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY2(m_station >= 0, std::strerror(errno));
    }

    void cleanupTestCase()
    {
        m_console.kill();
        if (m_station >= 0)
            ::close(m_station);
        m_pair.stop();
    }

    void readingsReachTheDayFileAndSigtermSavesTheSettings()
    {
        QVERIFY2(QFile::exists(m_console.program()), qPrintable(m_console.program()));
        m_console.environment.insert(QStringLiteral("ORVALLA_SERIAL_PORT"), m_pair.consoleEnd());
        // The console's own line form is checked.
        m_console.environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
        QVERIFY(m_console.start(m_dir.path()));

        // 20.25 C, 68.7 %: raw values 6000 and 2100; the rest as a station sends it.
        const QByteArray frame = frameText({ 6000, 2100, 0xF020, 3315, 400, 2, 0x0A2D, 0, 0, 0, 0 });
        QString name;
        QList<QByteArray> lines;
        // The console opens the device some time after it starts: send until one arrives.
        for (int attempt = 0; attempt < 60 && readingRow(lines) < 0; ++attempt) {
            QVERIFY(::write(m_station, frame.constData(), size_t(frame.size())) == frame.size());
            QTest::qWait(1000);
            lines = dayFile(&name);
            QVERIFY2(m_console.running(), output());
        }
        const int row = readingRow(lines);
        QVERIFY2(row > 0, output());
        QCOMPARE(lines.size(), 1441);
        QCOMPARE(lines.at(0), QByteArray("datos"));
        // The reading sits in the row of its own minute.
        const QByteArray line = lines.at(row);
        const QRegularExpression stamp(
            QStringLiteral("^(\\d\\d)/(\\d\\d)/(\\d{4}) (\\d\\d):(\\d\\d):\\d\\d temp=20,2"));
        const QRegularExpressionMatch m = stamp.match(QString::fromLatin1(line));
        QVERIFY2(m.hasMatch(), line.constData());
        QCOMPARE(row, m.captured(4).toInt() * 60 + m.captured(5).toInt() + 1);
        QCOMPARE(name,
            QStringLiteral("tarvelo_datos_%1_%2_%3.txt").arg(m.captured(1), m.captured(2), m.captured(3)));
        QVERIFY(line.contains("hum= 68,7% "));
        // The today copy and the mail queue hold it too.
        QByteArray today;
        QVERIFY(readFile(path("tarvelo_datos_hoxe.txt"), &today));
        QVERIFY(splitLines(today).contains(line));
        QByteArray queue;
        QVERIFY(readFile(path("tarvelo_datos10_correo.txt"), &queue));
        QVERIFY(splitLines(queue).contains(line));

        // SIGTERM: the console closes as the operator's close does.
        QVERIFY(!QFile::exists(path("meteo.cfg")));
        QVERIFY(m_console.terminate());
        QCOMPARE(m_console.process().exitStatus(), QProcess::NormalExit);
        QVERIFY2(m_console.process().exitCode() == 0, output());
        QByteArray settings;
        QVERIFY(readFile(path("meteo.cfg"), &settings));
        const QList<QByteArray> settingLines = splitLines(settings);
        QCOMPARE(settingLines.size(), 37);
        QVERIFY(settings.endsWith("\r\n"));
        QCOMPARE(settingLines.at(0), QByteArray("Identificador do sistema = 'tarvelo'"));
        const QByteArray &said = m_console.output();
        QVERIFY2(said.contains("reading decoded"), said.constData());
        QVERIFY2(said.contains("daily data file written: "), said.constData());
        // Every log line begins with the local date and time to the millisecond.
        const QRegularExpression category(QStringLiteral("(^|\\s)orvalla\\.[a-z]+: "));
        const QRegularExpression stamped(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} orvalla\\.[a-z]+: "));
        int logLines = 0;
        for (const QByteArray &bytes : said.split('\n')) {
            const QString line = QString::fromUtf8(bytes);
            if (!category.match(line).hasMatch())
                continue;
            ++logLines;
            QVERIFY2(stamped.match(line).hasMatch(), bytes.constData());
        }
        QVERIFY(logLines > 3);
    }

    // A start and a stop on a machine without a camera print nothing from the
    // media back end: none of its pipelines exists before a camera is
    // initialised. The plugins as a fresh machine has them (GStreamer's core
    // elements only), then all that are installed; with and without the
    // automatic webcam shot.
    void startAndStopWithoutACameraPrintNoMediaWarning_data()
    {
        QTest::addColumn<bool>("coreOnly");
        QTest::addColumn<bool>("webcamAuto");
        QTest::newRow("core plugins") << true << false;
        QTest::newRow("core plugins, webcam shots") << true << true;
        QTest::newRow("installed plugins, webcam shots") << false << true;
    }

    void startAndStopWithoutACameraPrintNoMediaWarning()
    {
        QFETCH(bool, coreOnly);
        QFETCH(bool, webcamAuto);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString work = dir.filePath(QStringLiteral("work"));
        const QString runtime = dir.filePath(QStringLiteral("runtime")); // no camera service here
        const QString plugins = dir.filePath(QStringLiteral("plugins"));
        QVERIFY(QDir().mkpath(work) && QDir().mkpath(runtime) && QDir().mkpath(plugins));
        QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(replaceFile(work + QStringLiteral("/meteo.cfg"),
            webcamAuto ? "Modo simulado = 1\r\nEnvio imaxe webcam = 1\r\n" : "Modo simulado = 1\r\n"));

        testsupport::ConsoleProcess console;
        QProcessEnvironment &env = console.environment;
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
        env.insert(QStringLiteral("GST_REGISTRY_1_0"), dir.filePath(QStringLiteral("registry.bin")));
        if (coreOnly) {
            QString core;
            for (const QString &arch : QDir(QStringLiteral("/usr/lib")).entryList(QDir::Dirs)) {
                const QString candidate
                    = QStringLiteral("/usr/lib/%1/gstreamer-1.0/libgstcoreelements.so").arg(arch);
                if (QFile::exists(candidate))
                    core = candidate;
            }
            if (core.isEmpty())
                QSKIP("GStreamer's core elements are not installed");
            QVERIFY(QFile::link(core, plugins + QStringLiteral("/libgstcoreelements.so")));
            env.insert(QStringLiteral("GST_PLUGIN_SYSTEM_PATH_1_0"), plugins);
        }

        QVERIFY(console.start(work));
        console.waitForOutput("start-up done", 60000);
        QVERIFY2(console.output().contains("start-up done"), console.outputText());
        QTest::qWait(500); // the event loop runs: anything deferred happens now
        QVERIFY(console.terminate());
        const QByteArray &out = console.output();
        QCOMPARE(console.process().exitCode(), 0);
        for (const char *noise : { "GStreamer", "GLib", "CRITICAL", "gst_" })
            QVERIFY2(!out.contains(noise), out.constData());
        QCOMPARE(out.contains("no camera could be initialised"), webcamAuto);
    }
};

QTEST_GUILESS_MAIN(TestE2eConsole)
#include "test_e2e_console.moc"
