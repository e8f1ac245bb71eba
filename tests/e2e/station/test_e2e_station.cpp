// The station link against a real pseudo-terminal pair: the console side opens
// the slave end through the serial port layer, the station emulator (or the test
// itself) writes into the master end.

#include "common/text.h"
#include "station/decoder.h"
#include "station/link.h"
#include "tests/support/builders.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace orvalla;

namespace
{

const QString kEmulator = QStringLiteral(ORVALLA_BINARY_DIR "/tools/orvalla-station");

LocalTime tickTime()
{
    return testsupport::localTime(2026, 12, 7, 15, 0, 42);
}

} // namespace

class TestE2eStation : public QObject
{
    Q_OBJECT

private:
    int m_master = -1;
    int m_slave = -1;
    QByteArray m_slavePath;

    // The clock tick's link poll, once every 50 ms while the test waits.
    void startPolling(StationLink &link, QTimer &timer)
    {
        timer.setInterval(50);
        QObject::connect(&timer, &QTimer::timeout, &link, [&link] {
            bool minuteChanged = false;
            if (link.receptionActive())
                link.poll(tickTime(), false, minuteChanged);
        });
        timer.start();
    }

    void writeMaster(const QByteArray &bytes)
    {
        QCOMPARE(::write(m_master, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }

private Q_SLOTS:
    void init()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY); // inherited by the emulator
        QVERIFY2(m_master >= 0, strerror(errno));
        QCOMPARE(::grantpt(m_master), 0);
        QCOMPARE(::unlockpt(m_master), 0);
        m_slavePath = ::ptsname(m_master);
        // Held open so the pair never hangs up while the link closes and reopens.
        m_slave = ::open(m_slavePath.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY2(m_slave >= 0, strerror(errno));
        termios tio {};
        QCOMPARE(::tcgetattr(m_slave, &tio), 0);
        ::cfmakeraw(&tio);
        QCOMPARE(::tcsetattr(m_slave, TCSANOW, &tio), 0);
        qputenv("ORVALLA_SERIAL_PORT", m_slavePath);
    }

    void cleanup()
    {
        qunsetenv("ORVALLA_SERIAL_PORT");
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
        m_slave = m_master = -1;
    }

    void emulatorFrames_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("readings");

        QTest::newRow("plain") << QStringList {} << 2;
        QTest::newRow("line noise") << QStringList { "--noise" } << 2;
        QTest::newRow("split frames") << QStringList { "--split" } << 2;
        QTest::newRow("second frame with an unequal pair") << QStringList { "--bad-pair", "2" } << 1;
    }

    void emulatorFrames()
    {
        QFETCH(QStringList, options);
        QFETCH(int, readings);

        StationLink link;
        QVERIFY(link.openDevice());
        QCOMPARE(link.device().location(), QString::fromLocal8Bit(m_slavePath));
        QSignalSpy decoded(&link, &StationLink::readingDecoded);
        qint64 rawBytes = 0;
        connect(&link, &StationLink::rawDataReceived, this,
            [&rawBytes](quint32 count, const QString &) { rawBytes += count; });
        QTimer timer;
        startPolling(link, timer);

        QProcess emulator;
        emulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        emulator.start(kEmulator,
            QStringList {
                "--fd", QString::number(m_master), "--count", "2", "--interval", "1", "--at", "15:00" }
                + options);
        QVERIFY2(emulator.waitForStarted(), qPrintable(emulator.errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(emulator.state(), QProcess::NotRunning, 20000);
        QCOMPARE(emulator.exitCode(), 0);
        const QByteArray report = emulator.readAllStandardOutput();
        const QRegularExpressionMatch m = QRegularExpression("sent 2 frames, (\\d+) bytes").match(report);
        QVERIFY2(m.hasMatch(), report.constData());

        // Every frame is decoded by the poll that reads its last byte.
        QTRY_COMPARE_WITH_TIMEOUT(rawBytes, m.captured(1).toLongLong(), 10000);
        QCOMPARE(decoded.count(), readings);

        for (const QList<QVariant> &args : std::as_const(decoded)) {
            const Reading r = args.at(0).value<Reading>();
            QCOMPARE(args.at(1).toByteArray(), readingLine(r));
            QCOMPARE(r.day, 7);
            QCOMPARE(r.second, 42);
            // The emulator's weather at 15:00 with the start-up calibration.
            QVERIFY2(std::fabs(r.temperature - 19.0f) < 0.02f, qPrintable(QString::number(r.temperature)));
            QVERIFY2(std::fabs(r.humidity - 55.0f) < 0.05f, qPrintable(QString::number(r.humidity)));
            QVERIFY2(r.pressure > 1005 && r.pressure < 1020, qPrintable(QString::number(r.pressure)));
            QVERIFY2(
                std::fabs(r.solar_radiation - 736.1f) < 3, qPrintable(QString::number(r.solar_radiation)));
            QVERIFY2(
                std::fabs(r.battery_voltage - 3.87f) < 0.02f, qPrintable(QString::number(r.battery_voltage)));
            QVERIFY2(
                std::fabs(r.charge_current - 216.5f) < 1.6f, qPrintable(QString::number(r.charge_current)));
            QVERIFY2(r.wind_direction > 175 && r.wind_direction < 180,
                qPrintable(QString::number(r.wind_direction)));
        }
    }

    void simulatedReceptionLeavesTheDeviceAlone()
    {
        StationLink link;
        QVERIFY(link.openDevice());
        QSignalSpy raw(&link, &StationLink::rawDataReceived);
        QSignalSpy decoded(&link, &StationLink::readingDecoded);
        const QByteArray frame = frameText({ 6000, 2100, 0x8040, 3315, 0, 0, 0x05FF, 0, 0, 0, 0 });
        writeMaster(frame);
        // Waiting either in the terminal or already in the port's buffer.
        const auto waiting = [&] {
            int queued = 0;
            ::ioctl(m_slave, FIONREAD, &queued);
            return queued + link.device().bytesWaiting();
        };
        QTRY_COMPARE(waiting(), frame.size());

        bool minuteChanged = true;
        for (int i = 0; i < 3; ++i)
            link.poll(tickTime(), true, minuteChanged);
        QCOMPARE(decoded.count(), 1); // the simulated one
        QCOMPARE(raw.count(), 0);
        QCOMPARE(link.readCount(), 0u);
        QCOMPARE(waiting(), frame.size());

        // One poll takes the whole complete frame and decodes it.
        link.poll(tickTime(), false, minuteChanged);
        QCOMPARE(link.readCount(), quint32(frame.size()));
        QCOMPARE(raw.count(), 1);
        QCOMPARE(raw.first().at(1).toString(), fromCp1252(frame));
        QCOMPARE(decoded.count(), 2);
        const Reading r = decoded.last().at(0).value<Reading>();
        QCOMPARE(r.temperature, 20.249998f);
        QCOMPARE(r.wind_direction, 510.0f);
        QCOMPARE(r.battery_voltage, 2.0f);
        QCOMPARE(r.pressure, float(3315 / 3.2717L));
    }

    void reopenWhileOpenAndClose()
    {
        StationLink link;
        QVERIFY(link.openDevice());
        QString error;
        QVERIFY2(link.openDevice(&error), qPrintable(error)); // the first handle is closed, not lost
        QVERIFY(link.receptionActive());
        QSignalSpy decoded(&link, &StationLink::readingDecoded);
        QTimer timer;
        startPolling(link, timer);
        writeMaster("#" + frameText({ 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 }));
        QTRY_COMPARE(decoded.count(), 1);

        link.closeDevice();
        QVERIFY(!link.receptionActive());
        QVERIFY(!link.deviceOpen());
        link.closeDevice();
        writeMaster(frameText({ 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 }));
        bool minuteChanged = false;
        link.poll(tickTime(), false, minuteChanged);
        QCOMPARE(link.readCount(), 0u);
        QCOMPARE(decoded.count(), 1);
    }

    // A failed open keeps the reception active flag: with "Recepción simulada"
    // ticked the readings go on, and the lost device is read no more.
    void failedReopenKeepsReception()
    {
        StationLink link;
        QVERIFY(link.openDevice());
        qputenv("ORVALLA_SERIAL_PORT", "/nonexistent/orvalla-tty");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("device open failed"));
        QVERIFY(!link.openDevice());
        QVERIFY(!link.deviceOpen());
        QVERIFY(link.receptionActive());

        QSignalSpy decoded(&link, &StationLink::readingDecoded);
        bool minuteChanged = true;
        link.poll(tickTime(), true, minuteChanged);
        QCOMPARE(decoded.count(), 1);
        writeMaster(frameText({ 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 }));
        link.poll(tickTime(), false, minuteChanged);
        QCOMPARE(link.readCount(), 0u);
        QCOMPARE(decoded.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestE2eStation)
#include "test_e2e_station.moc"
