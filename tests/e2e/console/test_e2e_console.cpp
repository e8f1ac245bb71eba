// The built console on one end of a pseudo-terminal pair, frames written to the
// other end: readings reach the day's data file, and SIGTERM closes the console
// as the operator would.

#include "common/files.h"
#include "common/text.h"
#include "station/decoder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
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
    QProcess m_socat;
    QProcess m_console;
    int m_station = -1;
    QByteArray m_output;

    const char *output()
    {
        m_output += m_console.readAll();
        return m_output.constData();
    }

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
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        QVERIFY2(!socat.isEmpty(), "socat is needed (scripts/deps.sh installs it)");
        m_socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_socat.start(socat,
            { QStringLiteral("pty,raw,echo=0,link=") + path("ttyStation"),
                QStringLiteral("pty,raw,echo=0,link=") + path("ttyConsole") });
        QVERIFY(m_socat.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(
            QFile::exists(path("ttyStation")) && QFile::exists(path("ttyConsole")), 10000);
        m_station = ::open(QFile::encodeName(path("ttyStation")).constData(), O_RDWR | O_NOCTTY);
        QVERIFY2(m_station >= 0, std::strerror(errno));
    }

    void cleanupTestCase()
    {
        if (m_console.state() != QProcess::NotRunning) {
            m_console.kill();
            m_console.waitForFinished();
        }
        if (m_station >= 0)
            ::close(m_station);
        m_socat.terminate();
        m_socat.waitForFinished();
    }

    void readingsReachTheDayFileAndSigtermSavesTheSettings()
    {
        const QString console = QStringLiteral(ORVALLA_BINARY_DIR "/app/orvalla");
        QVERIFY2(QFile::exists(console), qPrintable(console));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ORVALLA_SERIAL_PORT"), path("ttyConsole"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("QT_MESSAGE_PATTERN")); // the console's own line form is checked
        m_console.setProcessEnvironment(env);
        m_console.setWorkingDirectory(m_dir.path());
        m_console.setProcessChannelMode(QProcess::MergedChannels);
        m_console.start(console, {});
        QVERIFY(m_console.waitForStarted());

        // 20.25 C, 68.7 %: raw values 6000 and 2100; the rest as a station sends it.
        const QByteArray frame = frameText({ 6000, 2100, 0xF020, 3315, 400, 2, 0x0A2D, 0, 0, 0, 0 });
        QString name;
        QList<QByteArray> lines;
        // The console opens the device some time after it starts: send until one arrives.
        for (int attempt = 0; attempt < 60 && readingRow(lines) < 0; ++attempt) {
            QVERIFY(::write(m_station, frame.constData(), size_t(frame.size())) == frame.size());
            QTest::qWait(1000);
            lines = dayFile(&name);
            QVERIFY2(m_console.state() == QProcess::Running, output());
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
        m_console.terminate();
        QVERIFY(m_console.waitForFinished(30000));
        QCOMPARE(m_console.exitStatus(), QProcess::NormalExit);
        QVERIFY2(m_console.exitCode() == 0, output());
        QByteArray settings;
        QVERIFY(readFile(path("meteo.cfg"), &settings));
        const QList<QByteArray> settingLines = splitLines(settings);
        QCOMPARE(settingLines.size(), 37);
        QVERIFY(settings.endsWith("\r\n"));
        QCOMPARE(settingLines.at(0), QByteArray("Identificador do sistema = 'tarvelo'"));
        output();
        QVERIFY2(m_output.contains("reading decoded"), m_output.constData());
        QVERIFY2(m_output.contains("daily data file written: "), m_output.constData());
        // Every log line begins with the local date and time to the millisecond.
        const QRegularExpression category(QStringLiteral("(^|\\s)orvalla\\.[a-z]+: "));
        const QRegularExpression stamped(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} orvalla\\.[a-z]+: "));
        int logLines = 0;
        for (const QByteArray &bytes : m_output.split('\n')) {
            const QString line = QString::fromUtf8(bytes);
            if (!category.match(line).hasMatch())
                continue;
            ++logLines;
            QVERIFY2(stamped.match(line).hasMatch(), bytes.constData());
        }
        QVERIFY(logLines > 3);
    }
};

QTEST_GUILESS_MAIN(TestE2eConsole)
#include "test_e2e_console.moc"
