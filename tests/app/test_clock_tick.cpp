#include "console/clock_tick.h"

#include "publish/mail_report.h"
#include "tests/support/builders.h"

#include <QtTest>

#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>

using namespace orvalla;
using testsupport::readingAt;

namespace
{

// Records what the tick asks of its owner.
struct FakeOwner final : ClockTickHooks {
    bool mail = false, ftp = false, webcam = false, reception = false;
    std::int32_t mail_time = 36000, ftp_interval = 900, log_interval = 600, divider = 0;
    Reading reading;
    QStringList calls;
    QList<QByteArray> records;
    QList<std::int32_t> remaining;
    int polls = 0, extremes = 0, mails = 0, batches = 0, webcamShots = 0;
    bool pendingBox = false;
    ClockFields mailClock {};
    std::function<void()> onPoll;
    std::function<void()> onRecord;

    bool mailAuto() const override { return mail; }
    bool ftpAuto() const override { return ftp; }
    bool webcamAuto() const override { return webcam; }
    bool receptionActive() const override { return reception; }
    std::int32_t mailTime() const override { return mail_time; }
    std::int32_t ftpInterval() const override { return ftp_interval; }
    std::int32_t logInterval() const override { return log_interval; }
    const Reading &currentReading() const override { return reading; }
    QByteArray minuteTableLine(int minute) const override
    {
        return "line of minute " + QByteArray::number(minute);
    }
    std::int32_t &tickDivider() override { return divider; }
    void showClock(const ClockFields &) override { }
    void setMailPendingBox(bool checked) override { pendingBox = checked; }
    void appendIntervalRecord(const QByteArray &record) override
    {
        if (onRecord)
            onRecord();
        records.append(record);
    }
    void startWebcamShot() override { ++webcamShots; }
    void sendReportMail(const ClockFields &c) override
    {
        calls << "mail";
        mailClock = c;
        ++mails;
    }
    void showFtpRemaining(std::int32_t s) override { remaining.append(s); }
    void abortFtpIfConnected() override { calls << "abortFtp"; }
    void updateHtmlPage() override { calls << "page"; }
    void updateWorkbook() override { calls << "workbook"; }
    void writeFeedFiles() override { calls << "feeds"; }
    void startUploadBatch() override
    {
        calls << "upload";
        ++batches;
    }
    void pollLink() override
    {
        ++polls;
        if (onPoll)
            onPoll();
    }
    void updateDailyExtremes() override { ++extremes; }
    void stepFailed(const QString &step, const QString &) override { calls << "failed:" + step; }
};

} // namespace

class TestClockTick : public QObject
{
    Q_OBJECT

    ManualClock clock;
    FakeOwner owner;
    std::optional<ClockTick> tick;

    // The tick starts on 7 December 2026 at the given time.
    void startAt(int hour, int minute, int second)
    {
        clock.setLocal(2026, 12, 7, hour, minute, second);
        tick->reset();
    }

private Q_SLOTS:
    void init()
    {
        clock = ManualClock();
        owner = FakeOwner();
        tick.emplace(clock, owner);
    }

    void recordsAtEveryStorageBoundaryOfADay_data()
    {
        QTest::addColumn<int>("minutes");
        QTest::addColumn<QList<int>>("minutesOfHour");
        QTest::newRow("10 min") << 10 << QList<int> { 0, 10, 20, 30, 40, 50 };
        // The count restarts every hour: 56 is followed by 0, not 3.
        QTest::newRow("7 min") << 7 << QList<int> { 0, 7, 14, 21, 28, 35, 42, 49, 56 };
        QTest::newRow("60 min") << 60 << QList<int> { 0 };
    }

    void recordsAtEveryStorageBoundaryOfADay()
    {
        QFETCH(int, minutes);
        QFETCH(QList<int>, minutesOfHour);
        startAt(0, 0, 0);
        owner.log_interval = minutes * 60;
        clock.advance(-1);
        tick->reset();
        QStringList stamps;
        owner.onRecord = [&] {
            const ClockFields &c = tick->clockFields();
            stamps << QString::asprintf("%02d:%02d:%02d", c.hour, c.minute, c.second);
        };
        for (int s = 0; s < 86400; ++s) {
            clock.advance(1);
            tick->Timer_reloxoTimer();
        }
        QStringList expected;
        for (int h = 0; h < 24; ++h)
            for (int m : minutesOfHour)
                expected << QString::asprintf("%02d:%02d:00", h, m);
        QCOMPARE(stamps, expected);
        QCOMPARE(tick->lastStorageMinute(), 23 * 60 + minutesOfHour.last());
    }

    void recordTakesTheMinuteLineOnlyForAFreshReadingOfToday_data()
    {
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<Reading>("reading");
        QTest::addColumn<QByteArray>("record");
        const QByteArray stamp1020 = "07/12/2026 10:20:00 ";
        QTest::newRow("inside the interval")
            << 10 << 20 << readingAt(2026, 12, 7, 10, 15) << QByteArray("line of minute 615");
        QTest::newRow("at the record minute")
            << 10 << 20 << readingAt(2026, 12, 7, 10, 20) << QByteArray("line of minute 620");
        QTest::newRow("at the start minute") << 10 << 20 << readingAt(2026, 12, 7, 10, 10) << stamp1020;
        QTest::newRow("older") << 10 << 20 << readingAt(2026, 12, 7, 9, 59) << stamp1020;
        QTest::newRow("other day") << 10 << 20 << readingAt(2026, 12, 6, 10, 15) << stamp1020;
        QTest::newRow("no reading yet") << 10 << 20 << Reading() << stamp1020;
        QTest::newRow("midnight, minute 0")
            << 0 << 0 << readingAt(2026, 12, 7, 0, 0) << QByteArray("line of minute 0");
        QTest::newRow("midnight, yesterday's last minute")
            << 0 << 0 << readingAt(2026, 12, 6, 23, 55) << QByteArray("07/12/2026 00:00:00 ");
    }

    void recordTakesTheMinuteLineOnlyForAFreshReadingOfToday()
    {
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(Reading, reading);
        QFETCH(QByteArray, record);
        startAt(hour, minute, 0);
        owner.reading = reading;
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.records, QList<QByteArray> { record });
    }

    void noRecordsWithoutAPositiveStorageInterval_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::newRow("zero") << 0;
        QTest::newRow("negative") << -600;
    }

    void noRecordsWithoutAPositiveStorageInterval()
    {
        QFETCH(int, seconds);
        startAt(10, 0, 0);
        owner.log_interval = seconds;
        owner.reception = true;
        for (int i = 0; i < 120; ++i) {
            tick->Timer_reloxoTimer();
            clock.advance(1);
        }
        QVERIFY(owner.records.isEmpty());
        QCOMPARE(owner.polls, 120); // the later steps still run
    }

    void webcamShotFollowsARecordWhenChosen()
    {
        startAt(9, 59, 59);
        owner.webcam = true;
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.webcamShots, 0);
        clock.advance(1);
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.webcamShots, 1);
    }

    void dailyMailArmsAtMidnightAndGoesOnceAtTheMailTime()
    {
        startAt(23, 59, 58);
        owner.mail = true;
        owner.mail_time = 600 * 60;
        clock.advance(1);
        tick->Timer_reloxoTimer(); // 23:59:59: same day
        QVERIFY(!tick->mailPending());
        QVERIFY(!owner.pendingBox);
        clock.advance(1);
        tick->Timer_reloxoTimer(); // 00:00:00: new day
        QVERIFY(tick->mailPending());
        QVERIFY(owner.pendingBox);
        QCOMPARE(owner.mails, 0);
        // Up to 09:59:59 nothing goes; at 10:00:00 the mail starts, in order.
        while (clock.localNow().hour < 10) {
            clock.advance(1);
            tick->Timer_reloxoTimer();
            if (clock.localNow().hour < 10)
                QCOMPARE(owner.mails, 0);
        }
        QCOMPARE(owner.mails, 1);
        QCOMPARE(owner.calls, QStringList { "mail" });
        QCOMPARE(mailReportSubject(owner.mailClock),
            QString::fromUtf8("información meteorolóxica 08/12/2026  10:00:00"));
        QVERIFY(!tick->mailPending());
        QVERIFY(!owner.pendingBox);
        // The rest of the day sends nothing more.
        for (int i = 0; i < 3600; ++i) {
            clock.advance(1);
            tick->Timer_reloxoTimer();
        }
        QCOMPARE(owner.mails, 1);
    }

    void mailNeedsTheAutomaticSwitch()
    {
        startAt(23, 59, 59);
        owner.mail_time = 0;
        clock.advance(1);
        tick->Timer_reloxoTimer();
        QVERIFY(tick->mailPending());
        QCOMPARE(owner.mails, 0);
        owner.mail = true;
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.mails, 1);
    }

    void ftpCountdownShowsRemainingSecondsAndRunsTheBatch()
    {
        startAt(12, 0, 30);
        owner.ftp = true;
        tick->setFtpCountdown(0);
        for (int i = 0; i < 900; ++i) {
            clock.advance(1);
            tick->Timer_reloxoTimer();
        }
        QCOMPARE(owner.remaining.size(), 900);
        QCOMPARE(owner.remaining.first(), 899);
        QCOMPARE(owner.remaining.at(1), 898);
        QCOMPARE(owner.remaining.last(), 0);
        QCOMPARE(owner.batches, 1);
        QCOMPARE(owner.calls, (QStringList { "abortFtp", "page", "workbook", "feeds", "upload" }));
        QCOMPARE(tick->ftpCountdown(), 0);
        clock.advance(1);
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.remaining.last(), 899);
    }

    void ftpIntervalZeroRunsTheBatchEveryTick()
    {
        startAt(12, 0, 30);
        owner.ftp = true;
        owner.ftp_interval = 0;
        for (int i = 0; i < 5; ++i)
            tick->Timer_reloxoTimer();
        QCOMPARE(owner.batches, 5);
    }

    void countdownKeepsCountingWhileTheSwitchIsOff()
    {
        startAt(12, 0, 30);
        for (int i = 0; i < 1000; ++i)
            tick->Timer_reloxoTimer();
        QCOMPARE(tick->ftpCountdown(), 1000);
        QVERIFY(owner.remaining.isEmpty());
        QCOMPARE(owner.batches, 0);
    }

    void trackerRunsEveryTenthTick()
    {
        startAt(12, 0, 30);
        owner.divider = 7; // as restored from the state file
        tick->Timer_reloxoTimer();
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.extremes, 0);
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.extremes, 1);
        QCOMPARE(owner.divider, 0);
        for (int i = 0; i < 20; ++i)
            tick->Timer_reloxoTimer();
        QCOMPARE(owner.extremes, 3);
    }

    void aDamagedTickDividerDoesNotOverflow()
    {
        startAt(12, 0, 30);
        owner.divider = std::numeric_limits<std::int32_t>::max();
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.extremes, 1);
        QCOMPARE(owner.divider, std::numeric_limits<std::int32_t>::max() - 10);
    }

    void aTickStartedInsideAnotherOnlyAdvancesTheCounters()
    {
        startAt(12, 0, 0);
        owner.reception = true;
        int nested = 0;
        owner.onPoll = [&] {
            // A step that lets the event loop run: three ticks arrive meanwhile.
            if (nested++ == 0) {
                clock.advance(1);
                for (int i = 0; i < 3; ++i)
                    tick->Timer_reloxoTimer();
                QVERIFY(tick->running());
            }
        };
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.polls, 1);
        QCOMPARE(owner.records.size(), 1); // only the outer tick at 12:00:00
        QCOMPARE(tick->ftpCountdown(), 4);
        QCOMPARE(owner.divider, 4);
        QVERIFY(!tick->running());
        // The clock fields were not refreshed by the turned-away ticks.
        QCOMPARE(tick->clockFields().second, 0);
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.polls, 2);
        QCOMPARE(tick->clockFields().second, 1);
    }

    void aFailingStepIsContained()
    {
        startAt(12, 0, 0);
        owner.reception = true;
        owner.webcam = true;
        owner.onRecord = [] { throw std::runtime_error("disk full"); };
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.calls, QStringList { "failed:interval record" });
        QCOMPARE(owner.polls, 1);
        QVERIFY(!tick->running());
        // A record that was not stored is no storage time: no minute, no picture.
        QCOMPARE(tick->lastStorageMinute(), 0);
        QCOMPARE(owner.webcamShots, 0);
        owner.onRecord = nullptr;
        clock.setLocal(2026, 12, 7, 12, 10, 0);
        tick->Timer_reloxoTimer();
        QCOMPARE(owner.records.size(), 1);
        QCOMPARE(tick->lastStorageMinute(), 730);
        QCOMPARE(owner.webcamShots, 1);
    }

    void minuteChangedFlagFollowsTheClock()
    {
        startAt(12, 0, 58);
        clock.advance(1);
        tick->Timer_reloxoTimer();
        QVERIFY(!tick->minuteChanged());
        clock.advance(1);
        tick->Timer_reloxoTimer();
        QVERIFY(tick->minuteChanged());
        // Only its consumer clears it.
        clock.advance(1);
        tick->Timer_reloxoTimer();
        QVERIFY(tick->minuteChanged());
    }

    void armMinutesClampsAndRejects_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("minutes"); // -1: conversion error
        QTest::newRow("15") << "15" << 15;
        QTest::newRow("0") << "0" << 0;
        QTest::newRow("1440") << "1440" << 1440;
        QTest::newRow("2000") << "2000" << 1440;
        QTest::newRow("negative") << "-5" << 1440;
        QTest::newRow("blanks") << " 30 " << 30;
        QTest::newRow("letters") << "abc" << -1;
        QTest::newRow("decimal") << "1.5" << -1;
        QTest::newRow("empty") << "" << -1;
    }

    void armMinutesClampsAndRejects()
    {
        QFETCH(QString, text);
        QFETCH(int, minutes);
        QString error;
        const std::optional<int> got = armMinutes(text, &error);
        if (minutes < 0) {
            QVERIFY(!got);
            QCOMPARE(error, QStringLiteral("'%1' is not a valid integer value").arg(text));
        } else {
            QCOMPARE(got, std::optional<int>(minutes));
        }
    }

    void monthNames()
    {
        QCOMPARE(galicianMonthName(1), QStringLiteral("Xaneiro"));
        QCOMPARE(galicianMonthName(6), QString::fromUtf8("Xuño"));
        QCOMPARE(galicianMonthName(12), QStringLiteral("Decembro"));
        QCOMPARE(galicianMonthName(0), QString());
        QCOMPARE(galicianMonthName(13), QString());
    }
};

QTEST_GUILESS_MAIN(TestClockTick)
#include "test_clock_tick.moc"
