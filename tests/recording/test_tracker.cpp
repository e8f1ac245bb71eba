#include "common/clock.h"
#include "common/files.h"
#include "common/text.h"
#include "recording/dailyreport.h"
#include "recording/maxmin.h"
#include "tests/support/builders.h"

#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <memory>

using namespace orvalla;
using testsupport::instant;

namespace
{

QByteArray contents(const QString &path)
{
    QByteArray bytes;
    if (!readFile(path, &bytes))
        return "<missing>";
    return bytes;
}

// The console as the tracker sees it: a clock ticking once a second, the
// current reading, and the tracker run as the clock tick runs it.
struct Console {
    explicit Console(const QString &folder)
        : report(folder)
        , tracker(&report, folder)
    {
        report.InitDailyGrid();
    }

    void startAt(int year, int month, int day, int hour, int minute, int second)
    {
        clock.setLocal(year, month, day, hour, minute, second);
    }
    void tickUntil(int hour, int minute, int second, int dayOffset = 0)
    {
        const LocalTime now = clock.localNow();
        const std::time_t end = fromLocalTime(now.year, now.month, now.day + dayOffset, hour, minute, second);
        while (clock.now() < end) {
            clock.advance(1);
            tracker.countTick();
            if (tracker.evaluationDue())
                evaluate();
        }
    }
    void evaluate()
    {
        QString error;
        QVERIFY2(tracker.UpdateDailyExtremes(reading, clock.localNow(), &error), qPrintable(error));
    }
    // A reading decoded now.
    void receive(float temperature, float humidity)
    {
        reading = testsupport::readingAt(clock.localNow());
        reading.temperature = temperature;
        reading.humidity = humidity;
    }
    void windowToday(int startMinute, int minutes)
    {
        const LocalTime t = clock.localNow();
        MaxMinState &s = tracker.state();
        s.window_day = t.day;
        s.window_month = t.month;
        s.window_year = t.year;
        s.start_offset = startMinute * 60;
        s.period = minutes * 60;
    }

    ManualClock clock;
    Reading reading;
    DailyReport report;
    DailyExtremes tracker;
};

int rowOf(int year, int month, int day)
{
    return toLocalTime(fromLocalTime(year, month, day, 12)).dayOfYear + 1;
}

} // namespace

class TestTracker : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString file(const QString &name) const { return m_dir->filePath(name); }
    QList<QByteArray> history() const { return splitLines(contents(file("tarvelo_datos_maxmin.txt"))); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void wholeDay()
    {
        Console c(m_dir->path());
        MaxMinState &s = c.tracker.state();
        s.start_offset = 10 * 3600;
        s.period = 3600;
        c.startAt(2026, 7, 6, 7, 59, 55);

        // The first evaluation finds the 2005 window long past: today's waits.
        c.tickUntil(8, 0, 5);
        QCOMPARE(s.window_day, 6);
        QCOMPARE(s.window_month, 7);
        QCOMPARE(s.window_year, 2026);
        c.clock.setLocal(2026, 7, 6, 9, 58, 55); // an idle morning changes nothing
        c.tickUntil(9, 59, 55);
        QCOMPARE(s.active, 0);

        c.tickUntil(10, 0, 5);
        QCOMPARE(s.active, 1);
        QCOMPARE(s.failure_time, 5);

        c.tickUntil(10, 5, 0);
        c.receive(20.0f, 50.0f);
        c.tickUntil(10, 20, 0);
        c.receive(25.0f, 40.0f);
        c.tickUntil(10, 50, 0);
        c.receive(25.0f, 60.0f); // same temperature: the maximum keeps its first time
        c.tickUntil(10, 59, 55);
        QCOMPARE(s.active, 1);
        QCOMPARE(s.reading_count, 3); // each seen at many evaluations, counted once
        QCOMPARE(s.failure_time, 29 * 60 + 55);
        QVERIFY(!QFile::exists(file("tarvelo_datos_maxmin.txt")));

        c.tickUntil(11, 0, 5);
        QCOMPARE(s.active, 0);
        QCOMPARE(s.temp_max_time, instant(2026, 7, 6, 10, 20));
        QCOMPARE(s.hum_max_time, instant(2026, 7, 6, 10, 50));
        const QByteArray row = "06/07/2026 10:00  |  01:00  |  0003  |  0029  |  20,0\xBA"
                               "C |  06/07 10:05  |  "
                               "25,0\xBA"
                               "C |  06/07 10:20  |  40,0%  |  06/07 10:20  |  60,0%  |  06/07 10:50  |  ";
        QCOMPARE(history().value(rowOf(2026, 7, 6)), row);
        QCOMPARE(c.report.grid()->cell(rowOf(2026, 7, 6), 1), row);
        QVERIFY(contents(file("tarvelo_datos_maxmin_hoxe.txt"))
                    .contains("Temperatura m\xE1xima:  25,0\xBA"
                              "C "));

        const MaxMinTexts t = c.tracker.texts();
        QCOMPARE(t.ini, QStringLiteral("10:00"));
        QCOMPARE(t.int_, QStringLiteral("01:00"));
        QCOMPARE(t.fallo, QStringLiteral("01:00"));
        QCOMPARE(t.ndatos, QStringLiteral("24"));
        QCOMPARE(t.dataact, QStringLiteral("06/07/2026"));
        QCOMPARE(t.falloact, QStringLiteral("00:29"));
        QCOMPARE(t.ndatosact, QStringLiteral("3"));
        QCOMPARE(t.tempmin, QStringLiteral("20.0ºC"));
        QCOMPARE(t.hummax, QStringLiteral("60.0%"));
        QCOMPARE(t.activo, QStringLiteral("0"));
        QCOMPARE(t.ttempmin, QStringLiteral("06/07/2026  10:05:00"));
        QCOMPARE(t.tini, QStringLiteral("06/07/2026  10:00:00"));
        QCOMPARE(t.tfin, QStringLiteral("06/07/2026  11:00:00"));
        QCOMPARE(t.tempmax, QStringLiteral("25.0ºC"));
        QCOMPARE(t.ttempmax, QStringLiteral("06/07/2026  10:20:00"));
        QCOMPARE(t.hummin, QStringLiteral("40.0%"));
        QCOMPARE(t.thummax, QStringLiteral("06/07/2026  10:50:00"));

        // The date moves to the next day only after midnight.
        c.tickUntil(11, 1, 0);
        c.clock.setLocal(2026, 7, 6, 23, 59, 0); // nor does an idle afternoon
        c.tickUntil(23, 59, 55);
        QCOMPARE(s.window_day, 6);
        c.tickUntil(0, 0, 5, 1);
        QCOMPARE(s.window_day, 7);
        QCOMPARE(contents(file("maxmin.bin")), maxMinToBytes(s));
    }

    void windowWithoutReadings()
    {
        Console c(m_dir->path());
        c.startAt(2026, 7, 6, 19, 49, 55);
        c.windowToday(19 * 60 + 55, 5);
        c.tickUntil(19, 54, 0);
        c.receive(15.0f, 70.0f); // before the window: never counted
        c.tickUntil(20, 0, 5);
        const MaxMinState &s = c.tracker.state();
        QCOMPARE(s.active, 0);
        QCOMPARE(s.reading_count, 0);
        QCOMPARE(s.failure_time, 295); // start to the last evaluation inside
        QCOMPARE(history().value(rowOf(2026, 7, 6)),
            QByteArray("06/07/2026 19:55  |  00:05  |  0000  |  0004  |  100,0\xBA"
                       "C |  01/01 01:00  |  "
                       "-100,0\xBA"
                       "C |  01/01 01:00  |  100,0%  |  01/01 01:00  |   0,0%  |  01/01 01:00  |  "));
        // On screen, starting values are no measurements: those fields stay empty.
        const MaxMinTexts t = c.tracker.texts();
        for (const QString &text :
            { t.tempmin, t.tempmax, t.hummin, t.hummax, t.ttempmin, t.ttempmax, t.thummin, t.thummax })
            QCOMPARE(text, QString());
        QCOMPARE(t.ndatosact, QStringLiteral("0"));
        QCOMPARE(t.falloact, QStringLiteral("00:04"));
        QCOMPARE(t.tini, QStringLiteral("06/07/2026  19:55:00"));
    }

    void lateStartOpensAtOnce()
    {
        Console c(m_dir->path());
        c.startAt(2026, 7, 6, 10, 30, 0);
        c.windowToday(600, 60);
        c.receive(-2.5f, 0.0f);
        c.evaluate();
        MaxMinState &s = c.tracker.state();
        QCOMPARE(s.active, 1);
        QCOMPARE(s.failure_time, 1800);
        // The reading is not looked at in the evaluation that opens the window.
        QCOMPARE(s.reading_count, 0);
        QCOMPARE(s.temp_min, 100.0f);
        c.clock.advance(10);
        c.evaluate();
        QCOMPARE(s.reading_count, 1);
        QCOMPARE(s.temp_min, -2.5f);
        // A humidity of 0 never exceeds the start maximum of 0.
        QCOMPARE(s.hum_max, 0.0f);
        QCOMPARE(s.hum_max_time, 0);
        QCOMPARE(s.hum_min, 0.0f);
        // Each extreme is shown once a reading set it, and only then.
        const MaxMinTexts t = c.tracker.texts();
        QCOMPARE(t.tempmin, QStringLiteral("-2.5ºC"));
        QCOMPARE(t.tempmax, QStringLiteral("-2.5ºC"));
        QCOMPARE(t.hummin, QStringLiteral(" 0.0%"));
        QCOMPARE(t.thummin, QStringLiteral("06/07/2026  10:30:00"));
        QCOMPARE(t.hummax, QString());
        QCOMPARE(t.thummax, QString());
    }

    void restartAfterTheEndReportsOnTheRestartDay()
    {
        {
            Console c(m_dir->path());
            c.startAt(2026, 7, 6, 9, 59, 55);
            c.windowToday(600, 60);
            c.tickUntil(10, 5, 0);
            c.receive(18.0f, 55.0f);
            c.tickUntil(10, 10, 0);
            QCOMPARE(c.tracker.state().active, 1);
        } // program stopped with the window open

        Console c(m_dir->path());
        QVERIFY(loadMaxMinState(m_dir->path(), &c.tracker.state()));
        QCOMPARE(c.tracker.state().active, 1);
        QCOMPARE(c.tracker.state().reading_count, 1);
        c.startAt(2026, 7, 7, 9, 0, 0);
        c.evaluate();
        QCOMPARE(c.tracker.state().active, 0);
        const QList<QByteArray> lines = history();
        QVERIFY(lines.value(rowOf(2026, 7, 7)).startsWith("06/07/2026 10:00  |  01:00  |  0001  |"));
        QCOMPARE(lines.value(rowOf(2026, 7, 6)), QByteArray());
        c.evaluate();
        QCOMPARE(c.tracker.state().window_day, 7);
    }

    void clockSetBackDropsTheWindow()
    {
        Console c(m_dir->path());
        c.startAt(2026, 7, 6, 10, 10, 0);
        c.windowToday(600, 60);
        c.evaluate();
        QCOMPARE(c.tracker.state().active, 1);
        c.clock.setLocal(2026, 7, 6, 9, 0, 0);
        c.evaluate();
        QCOMPARE(c.tracker.state().active, 0);
        QVERIFY(!QFile::exists(file("tarvelo_datos_maxmin.txt")));
        QVERIFY(!QFile::exists(file("tarvelo_datos_maxmin_hoxe.txt")));
        c.clock.setLocal(2026, 7, 6, 10, 30, 0);
        c.evaluate();
        QCOMPARE(c.tracker.state().active, 1);
        QCOMPARE(c.tracker.state().failure_time, 1800);
    }

    void damagedWindowDateMovesToToday_data()
    {
        QTest::addColumn<int>("day");
        QTest::addColumn<int>("month");
        QTest::addColumn<int>("year");

        constexpr int lowest = std::numeric_limits<std::int32_t>::min();
        QTest::newRow("lowest year") << 1 << 1 << lowest;
        QTest::newRow("year just above the lowest") << 1 << 1 << lowest + 1899;
        QTest::newRow("lowest month") << 1 << lowest << 2026;
        QTest::newRow("lowest day") << lowest << 1 << 2026;
    }

    // A maxmin.bin from a damaged disk may hold any window date: it is taken as
    // a date that cannot be converted, and the next evaluation moves it to today.
    void damagedWindowDateMovesToToday()
    {
        QFETCH(int, day);
        QFETCH(int, month);
        QFETCH(int, year);
        Console c(m_dir->path());
        MaxMinState &s = c.tracker.state();
        s.window_day = day;
        s.window_month = month;
        s.window_year = year;
        s.active = 1;
        c.startAt(2026, 7, 6, 12, 0, 0);
        c.evaluate();
        QVERIFY(!c.tracker.texts().tini.isEmpty());
        c.evaluate();
        QCOMPARE(s.active, 0);
        QCOMPARE(s.window_day, 6);
        QCOMPARE(s.window_month, 7);
        QCOMPARE(s.window_year, 2026);
    }

    void damagedCountStopsAtItsTop()
    {
        Console c(m_dir->path());
        c.startAt(2026, 7, 6, 12, 0, 0);
        c.windowToday(11 * 60, 120);
        MaxMinState &s = c.tracker.state();
        s.active = 1;
        s.reading_count = std::numeric_limits<std::int32_t>::max();
        c.receive(20.0f, 50.0f);
        c.evaluate();
        QCOMPARE(s.reading_count, std::numeric_limits<std::int32_t>::max());
        QCOMPARE(s.temp_max, 20.0f);
    }

    void tickDividerRunsEveryTenthTick()
    {
        DailyExtremes tracker(nullptr, m_dir->path());
        tracker.state().tick_divider = 7; // restored from the file
        int runs = 0;
        for (int i = 0; i < 25; ++i) {
            tracker.countTick();
            runs += tracker.evaluationDue();
        }
        QCOMPARE(runs, 3);
        QCOMPARE(tracker.state().tick_divider, 2);
    }

    void stateFileLayout()
    {
        const QByteArray bytes = maxMinToBytes(MaxMinState());
        QCOMPARE(bytes.size(), 80);
        QCOMPARE(bytes.left(8), QByteArray("\x14\x18\x01\x00\x2c\x01\x00\x00", 8));
        QCOMPARE(bytes.mid(36, 8), QByteArray("\x00\x00\xc8\x42\x00\x00\xc8\xc2", 8)); // 100.0, -100.0
        QCOMPARE(bytes.mid(16, 4), QByteArray("\xd5\x07\x00\x00", 4)); // 2005

        // A short file overwrites only the bytes it holds; a long one only 80.
        MaxMinState s;
        QVERIFY(replaceFile(file("maxmin.bin"), QByteArray("\x10\x0e\x00\x00\x3c\x00", 6)));
        QVERIFY(loadMaxMinState(m_dir->path(), &s));
        QCOMPARE(s.start_offset, 3600);
        QCOMPARE(s.period, 60); // low half 0x003c from the file, high half of 300 (0) kept
        QCOMPARE(s.window_year, 2005);
        MaxMinState other;
        other.temp_max = 31.5f;
        other.hum_min_time = 123456789;
        QVERIFY(replaceFile(file("maxmin.bin"), maxMinToBytes(other) + "junk"));
        QVERIFY(loadMaxMinState(m_dir->path(), &s));
        QCOMPARE(maxMinToBytes(s), maxMinToBytes(other));
        // No file: nothing changes and nothing fails.
        QVERIFY(QFile::remove(file("maxmin.bin")));
        MaxMinState untouched;
        QVERIFY(loadMaxMinState(m_dir->path(), &untouched));
        QCOMPARE(maxMinToBytes(untouched), maxMinToBytes(MaxMinState()));
    }
};

QTEST_GUILESS_MAIN(TestTracker)
#include "test_tracker.moc"
