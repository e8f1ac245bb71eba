#include "common/clock.h"
#include "common/files.h"
#include "common/text.h"
#include "recording/datalog.h"
#include "recording/recordingfiles.h"
#include "tests/support/builders.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <utility>

using namespace orvalla;
using testsupport::clockAt;

namespace
{

Reading readingAt(int year, int month, int day, int hour, int minute, int second, float temperature = 12.5f)
{
    Reading r = testsupport::readingAt(year, month, day, hour, minute, second);
    r.temperature = temperature;
    return r;
}

// A reading line of the usual shape, with a degree sign to check the bytes.
QByteArray lineOf(const Reading &r)
{
    return formatC("%02d/%02d/%04d %02d:%02d:%02d ", r.day, r.month, r.year, r.hour, r.minute, r.second)
        + formatComma("temp=%4.1f\xBA"
                      "C ",
            double(r.temperature));
}

QByteArray contents(const QString &path)
{
    QByteArray bytes;
    if (!readFile(path, &bytes))
        return "<missing>";
    return bytes;
}

// The log lines of one area, gathered while it lives.
class AreaLog
{
public:
    explicit AreaLog(const char *category)
    {
        s_category = category;
        s_lines.clear();
        m_previous = qInstallMessageHandler(&AreaLog::handler);
    }
    ~AreaLog() { qInstallMessageHandler(m_previous); }
    AreaLog(const AreaLog &) = delete;
    AreaLog &operator=(const AreaLog &) = delete;

    QStringList take() { return std::exchange(s_lines, {}); }

private:
    static void handler(QtMsgType, const QMessageLogContext &context, const QString &text)
    {
        if (context.category && qstrcmp(context.category, s_category) == 0)
            s_lines.append(text);
    }

    static inline const char *s_category = nullptr;
    static inline QStringList s_lines;
    QtMessageHandler m_previous;
};

// Files larger than the limit cannot be written while it holds: the disk is "full".
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit small = m_saved;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }

private:
    rlimit m_saved {};
};

} // namespace

class TestDataLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    QString file(const QString &name) const { return m_dir->filePath(name); }

private Q_SLOTS:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
    }
    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void dailyFileHoldsEveryMinuteOfTheDay()
    {
        DataLog log(m_dir->path());
        log.setSystemId("tarvelo");
        QSignalSpy rows(&log, &DataLog::minuteRowRecorded);
        const LocalTime clock = clockAt(2026, 12, 7);
        const Reading first = readingAt(2026, 12, 7, 0, 0, 31, -3.25f);
        const Reading morning = readingAt(2026, 12, 7, 10, 15, 2, 9.5f);
        const Reading last = readingAt(2026, 12, 7, 23, 59, 59, 1.0f);
        for (const Reading &r : { first, morning, last }) {
            QString error;
            QVERIFY2(log.recordReading(lineOf(r), r, clock, &error), qPrintable(error));
        }

        QByteArray expected = "datos\r\n";
        for (int k = 0; k < 1440; ++k) {
            if (k == 0)
                expected += "07/12/2026 00:00:31 temp=-3,2\xBA"
                            "C \r\n";
            else if (k == 615)
                expected += "07/12/2026 10:15:02 temp= 9,5\xBA"
                            "C \r\n";
            else if (k == 1439)
                expected += "07/12/2026 23:59:59 temp= 1,0\xBA"
                            "C \r\n";
            else
                expected += formatC("07/12/2026 %02d:%02d:00 \r\n", k / 60, k % 60);
        }
        QCOMPARE(contents(file("tarvelo_datos_07_12_2026.txt")), expected);
        QCOMPARE(contents(file("tarvelo_datos_hoxe.txt")), expected);
        QCOMPARE(log.dataFileName(), QStringLiteral("tarvelo_datos_07_12_2026.txt"));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows.at(1).at(0).toInt(), 616);
        QCOMPARE(rows.at(2).at(0).toInt(), 1440);

        // The table the window shows, and the line the clock tick copies.
        MinuteTableModel *table = log.minuteTable();
        QCOMPARE(table->rowCount(), 1441);
        QCOMPARE(table->data(table->index(0, 0)).toString(), QStringLiteral("minuto"));
        QCOMPARE(table->data(table->index(0, 1)).toString(), QStringLiteral("datos"));
        QCOMPARE(table->data(table->index(616, 0)).toString(), QStringLiteral("616"));
        QCOMPARE(
            table->data(table->index(616, 1)).toString(), QStringLiteral("07/12/2026 10:15:02 temp= 9,5ºC "));
        QCOMPARE(log.minuteLine(615), lineOf(morning));
        QCOMPARE(log.minuteLine(616), QByteArray("07/12/2026 10:16:00 "));
    }

    void laterReadingOfAMinuteReplacesTheEarlier()
    {
        DataLog log(m_dir->path());
        const LocalTime clock = clockAt(2026, 12, 7);
        const Reading a = readingAt(2026, 12, 7, 10, 15, 2, 9.5f);
        const Reading b = readingAt(2026, 12, 7, 10, 15, 40, 9.75f);
        for (const Reading &r : { a, b }) {
            QVERIFY(log.appendMailQueue(lineOf(r)));
            QVERIFY(log.recordReading(lineOf(r), r, clock));
        }
        const QList<QByteArray> lines = splitLines(contents(file("tarvelo_datos_07_12_2026.txt")));
        QCOMPARE(lines.size(), 1441);
        QCOMPARE(lines[616], lineOf(b));
        // Both stay in the mail queue, oldest first.
        QCOMPARE(contents(file("tarvelo_datos10_correo.txt")), lineOf(a) + "\r\n" + lineOf(b) + "\r\n");
        QCOMPARE(log.mailQueue(), (QList<QByteArray> { lineOf(a), lineOf(b) }));
    }

    void restartGoesOnWithTheDayFile()
    {
        const LocalTime clock = clockAt(2026, 12, 7);
        const Reading morning = readingAt(2026, 12, 7, 8, 0, 0);
        const Reading noon = readingAt(2026, 12, 7, 12, 0, 0);
        {
            DataLog log(m_dir->path());
            QVERIFY(log.recordReading(lineOf(morning), morning, clock));
        }
        DataLog restarted(m_dir->path());
        restarted.resetMinuteTable(clock); // start-up
        QVERIFY(restarted.recordReading(lineOf(noon), noon, clock));
        const QList<QByteArray> lines = splitLines(contents(file("tarvelo_datos_07_12_2026.txt")));
        QCOMPARE(lines.size(), 1441);
        QCOMPARE(lines[8 * 60 + 1], lineOf(morning));
        QCOMPARE(lines[12 * 60 + 1], lineOf(noon));
    }

    void firstReadingAfterMidnightStartsTheNextDay()
    {
        DataLog log(m_dir->path());
        QSignalSpy names(&log, &DataLog::dataFileNameChanged);
        const Reading lastOfDay = readingAt(2026, 12, 31, 23, 59, 59);
        QVERIFY(log.recordReading(lineOf(lastOfDay), lastOfDay, clockAt(2026, 12, 31, 23, 59, 59)));
        const QByteArray oldDay = contents(file("tarvelo_datos_31_12_2026.txt"));
        QCOMPARE(splitLines(oldDay).value(1440), lineOf(lastOfDay));

        const Reading next = readingAt(2027, 1, 1, 0, 0, 4);
        QVERIFY(log.recordReading(lineOf(next), next, clockAt(2027, 1, 1, 0, 0, 4)));
        const QByteArray newDay = contents(file("tarvelo_datos_01_01_2027.txt"));
        const QList<QByteArray> lines = splitLines(newDay);
        QCOMPARE(lines.value(1), lineOf(next));
        QCOMPARE(lines.value(2), QByteArray("01/01/2027 00:01:00 "));
        QCOMPARE(contents(file("tarvelo_datos_hoxe.txt")), newDay);
        QCOMPARE(contents(file("tarvelo_datos_31_12_2026.txt")), oldDay);
        QCOMPARE(names.last().at(0).toString(), QStringLiteral("tarvelo_datos_01_01_2027.txt"));
    }

    void intervalRecordsAppendPerClockDay()
    {
        DataLog log(m_dir->path());
        log.setSystemId("orvalla");
        QVERIFY(log.appendIntervalRecord("07/12/2026 10:00:00 ", clockAt(2026, 12, 7, 10)));
        QVERIFY(log.appendIntervalRecord("07/12/2026 10:09:41 temp=1,0\xBA"
                                         "C ",
            clockAt(2026, 12, 7, 10, 10)));
        const QByteArray day = "07/12/2026 10:00:00 \r\n07/12/2026 10:09:41 temp=1,0\xBA"
                               "C \r\n";
        QCOMPARE(contents(file("orvalla_datos10_07_12_2026.txt")), day);
        QCOMPARE(contents(file("orvalla_datos10_hoxe.txt")), day);

        // The next clock day starts its own file.
        QVERIFY(log.appendIntervalRecord("b", clockAt(2026, 12, 8, 0)));
        QCOMPARE(contents(file("orvalla_datos10_08_12_2026.txt")), QByteArray("b\r\n"));
        QCOMPARE(contents(file("orvalla_datos10_hoxe.txt")), QByteArray("b\r\n"));
        QCOMPARE(contents(file("orvalla_datos10_07_12_2026.txt")), day);
    }

    void everyDataFileWriteIsOneLogLine()
    {
        DataLog log(m_dir->path());
        log.setSystemId("tarvelo");
        AreaLog lines("orvalla.recording");
        const Reading r = readingAt(2026, 12, 7, 10, 15, 2);
        QVERIFY(log.recordReading(lineOf(r), r, clockAt(2026, 12, 7)));
        QCOMPARE(
            lines.take(), QStringList { "daily data file written: " + file("tarvelo_datos_07_12_2026.txt") });
        QVERIFY(log.appendIntervalRecord("07/12/2026 10:20:00 ", clockAt(2026, 12, 7, 10, 20)));
        QCOMPARE(lines.take(),
            QStringList { "interval record written: " + file("tarvelo_datos10_07_12_2026.txt") });
        // A failed write is one warning instead.
        QVERIFY(QDir(m_dir->path()).mkdir("tarvelo_datos10_08_12_2026.txt"));
        QVERIFY(!log.appendIntervalRecord("08/12/2026 00:00:00 ", clockAt(2026, 12, 8, 0, 0)));
        const QStringList failed = lines.take();
        QCOMPARE(failed.size(), 1);
        QVERIFY2(failed.first().startsWith("interval data file not "), qPrintable(failed.first()));
    }

    void mailQueueClearsAndStartsAgain()
    {
        DataLog log(m_dir->path());
        QSignalSpy changed(&log, &DataLog::mailQueueChanged);
        const QString queue = file("tarvelo_datos10_correo.txt");
        QVERIFY(log.appendMailQueue("one"));
        QVERIFY(log.appendMailQueue("two"));
        QVERIFY(log.ClearMailQueue());
        QCOMPARE(contents(queue), QByteArray());
        QVERIFY(log.mailQueue().isEmpty());
        QVERIFY(log.appendMailQueue("three"));
        QCOMPARE(contents(queue), QByteArray("three\r\n"));
        QCOMPARE(changed.size(), 4);

        // Without a file the lines on screen start it again.
        QVERIFY(QFile::remove(queue));
        QVERIFY(log.appendMailQueue("four"));
        QCOMPARE(contents(queue), QByteArray("three\r\nfour\r\n"));
        QCOMPARE(log.mailQueueText(), QStringLiteral("three\nfour"));
        // A file changed on disk is the one that counts.
        QVERIFY(replaceFile(queue, "x\r\n"));
        QVERIFY(log.appendMailQueue("five"));
        QCOMPARE(contents(queue), QByteArray("x\r\nfive\r\n"));
    }

    void failedRewriteLeavesEveryFileIntact()
    {
        DataLog log(m_dir->path());
        const LocalTime clock = clockAt(2026, 12, 7);
        const Reading r = readingAt(2026, 12, 7, 9, 0, 0);
        QVERIFY(log.recordReading(lineOf(r), r, clock));
        QVERIFY(log.appendIntervalRecord(QByteArray(3000, 'i'), clock));
        QVERIFY(log.appendMailQueue(QByteArray(3000, 'm')));
        const QString day = file("tarvelo_datos_07_12_2026.txt");
        const QStringList names = QDir(m_dir->path()).entryList(QDir::Files);
        QMap<QString, QByteArray> before;
        for (const QString &name : names)
            before[name] = contents(file(name));

        const Reading later = readingAt(2026, 12, 7, 9, 1, 0);
        bool recorded = true, interval = true, queued = true;
        QString e1, e2, e3;
        {
            FileSizeLimit full(2048); // every file here is larger
            recorded = log.recordReading(lineOf(later), later, clock, &e1);
            interval = log.appendIntervalRecord("x", clock, &e2);
            queued = log.appendMailQueue("y", &e3);
        }
        QVERIFY(!recorded && !interval && !queued);
        QVERIFY(!e1.isEmpty() && !e2.isEmpty() && !e3.isEmpty());
        // Same files, same bytes, no temporary file left behind.
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), names);
        for (const QString &name : names)
            QCOMPARE(contents(file(name)), before[name]);

        // Once there is room again, the next reading goes through.
        QVERIFY(log.recordReading(lineOf(later), later, clock));
        QCOMPARE(splitLines(contents(day)).value(9 * 60 + 2), lineOf(later));
        QCOMPARE(splitLines(contents(day)).value(9 * 60 + 1), lineOf(r));
    }

    void readingsDuringAFullDiskReachTheFilesOnceThereIsRoom()
    {
        DataLog log(m_dir->path());
        const LocalTime clock = clockAt(2026, 12, 7);
        const Reading first = readingAt(2026, 12, 7, 9, 0, 0);
        QVERIFY(log.recordReading(lineOf(first), first, clock));
        QVERIFY(log.appendMailQueue(lineOf(first)));
        QVERIFY(log.appendIntervalRecord(lineOf(first), clock));

        const Reading during = readingAt(2026, 12, 7, 9, 1, 0);
        {
            FileSizeLimit full(40); // every file here is larger
            QVERIFY(!log.appendMailQueue(lineOf(during)));
            QVERIFY(!log.recordReading(lineOf(during), during, clock));
            QVERIFY(!log.appendIntervalRecord("09:01 record", clock));
        }
        const Reading after = readingAt(2026, 12, 7, 9, 2, 0);
        QVERIFY(log.appendMailQueue(lineOf(after)));
        QVERIFY(log.recordReading(lineOf(after), after, clock));
        QVERIFY(log.appendIntervalRecord("09:02 record", clock));

        const QList<QByteArray> day = splitLines(contents(file("tarvelo_datos_07_12_2026.txt")));
        QCOMPARE(day.size(), 1441);
        QCOMPARE(day.value(9 * 60 + 2), lineOf(during));
        QCOMPARE(day.value(9 * 60 + 3), lineOf(after));
        QCOMPARE(splitLines(contents(file("tarvelo_datos10_correo.txt"))),
            (QList<QByteArray> { lineOf(first), lineOf(during), lineOf(after) }));
        QCOMPARE(log.mailQueue().size(), 3);
        QCOMPARE(splitLines(contents(file("tarvelo_datos10_07_12_2026.txt"))),
            (QList<QByteArray> { lineOf(first), "09:01 record", "09:02 record" }));
    }

    void unreadableDayFileIsNotReplaced()
    {
        // A path that exists but cannot be read as a file.
        QVERIFY(QDir(m_dir->path()).mkdir("tarvelo_datos_07_12_2026.txt"));
        DataLog log(m_dir->path());
        const Reading r = readingAt(2026, 12, 7, 9, 0, 0);
        QString error;
        QVERIFY(!log.recordReading(lineOf(r), r, clockAt(2026, 12, 7), &error));
        QVERIFY(error.contains("tarvelo_datos_07_12_2026.txt"));
        QVERIFY(!QFileInfo::exists(file("tarvelo_datos_hoxe.txt")));
    }
};

QTEST_GUILESS_MAIN(TestDataLog)
#include "test_datalog.moc"
