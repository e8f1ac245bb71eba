// The reading archive against the real SQLite of Qt SQL: what a reading line
// stores, replacement, the hourly summary, the import of day files the console
// wrote itself, and an archive that is locked by another program or damaged.

#include "common/clock.h"
#include "common/files.h"
#include "common/text.h"
#include "history/history.h"
#include "recording/datalog.h"
#include "recording/recordingfiles.h"
#include "station/decoder.h"
#include "tests/support/builders.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace orvalla;

namespace
{

Reading readingAt(int day, int hour, int minute, int second, float temperature, float rain = 0)
{
    Reading r = testsupport::typicalReading();
    r.day = day;
    r.hour = hour;
    r.minute = minute;
    r.second = second;
    r.temperature = temperature;
    r.rain = rain;
    return r;
}

LocalTime clockOf(const Reading &r)
{
    return testsupport::clockAt(r.year, r.month, r.day, r.hour, r.minute, r.second);
}

// A python3 process holding an exclusive lock on an SQLite file until stopped.
class LockHolder
{
public:
    explicit LockHolder(const QString &path)
    {
        m_process.start(QStringLiteral("python3"),
            { QStringLiteral("-c"),
                QStringLiteral("import sqlite3, sys\n"
                               "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                               "c.execute('BEGIN EXCLUSIVE')\n"
                               "print('locked', flush=True)\n"
                               "sys.stdin.read()\n"),
                path });
    }
    bool locked() { return m_process.waitForReadyRead(10000) && m_process.readAll().startsWith("locked"); }
    ~LockHolder()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }

private:
    QProcess m_process;
};

} // namespace

class TestArchive : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString folder() const { return m_dir->path() + QLatin1Char('/'); }
    QString archivePath() const { return folder() + QStringLiteral("tarvelo_arquivo.sqlite"); }

    // The reading through the day files and then the archive, as the window does it.
    static void record(DataLog &log, ReadingHistory &history, const Reading &r)
    {
        const QByteArray line = readingLine(r);
        QVERIFY(log.recordReading(line, r, clockOf(r)));
        history.recordReadingLine(line);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void readingLines()
    {
        // The console's own line, with its widths, decimal commas and degree signs.
        Reading r = readingAt(7, 10, 15, 0, -0.5f, 12);
        const std::optional<ArchiveRow> row = parseReadingLine(readingLine(r));
        QVERIFY(row);
        QCOMPARE(row->instant, QStringLiteral("2026-12-07 10:15:00"));
        const double expected[ArchiveValueCount] = { -0.5, 65.3, 1013.2, 250.0, 12.0, 5, 180, 3.75, 12.5 };
        for (int c = 0; c < ArchiveValueCount; ++c)
            QCOMPARE(row->values[c], expected[c]);
        // Stored with the precision the line shows, not the float's.
        r.temperature = 12.34f;
        QCOMPARE(parseReadingLine(readingLine(r))->values[Temperatura], 12.3);

        QVERIFY(!parseReadingLine("datos"));
        QVERIFY(!parseReadingLine("07/12/2026 10:15:00 ")); // a minute without a reading
        QVERIFY(!parseReadingLine("32/12/2026 10:15:00 temp=12,3\xBA"
                                  "C "));
        QVERIFY(!parseReadingLine("07/12/2026 10:15 temp=12,3"));
        // A line of another shape keeps what it has.
        const auto partial = parseReadingLine("07/12/2026 10:15:00 temp=12,5\xBA"
                                              "C ");
        QVERIFY(partial);
        QCOMPARE(partial->values[Temperatura], 12.5);
        QVERIFY(std::isnan(partial->values[Presion]));
    }

    void storeReplaceAndSummaries()
    {
        ReadingArchive a;
        QString error;
        QVERIFY2(a.open(archivePath(), &error), qPrintable(error));
        auto row = [](const char *instant, double t, double rain) {
            ArchiveRow r;
            r.instant = QString::fromLatin1(instant);
            r.values.fill(1);
            r.values[Temperatura] = t;
            r.values[Choiva] = rain;
            return r;
        };
        QVERIFY(a.store(QStringLiteral("tarvelo"),
            { row("2026-12-07 10:05:00", 10, 0), row("2026-12-07 10:20:00", 14, 2),
                row("2026-12-07 10:40:00", 12, 3) }));
        QVERIFY(a.store(QStringLiteral("outra"), { row("2026-12-07 10:05:00", 30, 0) }));
        // Same station and instant: replaced, not doubled.
        QVERIFY(a.store(QStringLiteral("tarvelo"), { row("2026-12-07 10:20:00", 15, 2) }));
        QCOMPARE(a.readingCount(QStringLiteral("tarvelo")), 3);
        const QList<ArchiveRow> rows = a.readings(
            QStringLiteral("tarvelo"), QStringLiteral("2026-12-07"), QStringLiteral("2026-12-08"));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[1].values[Temperatura], 15.0);

        // The counter restarts at midnight-like falls: 3 -> 1 counts 1 mm.
        QVERIFY(a.store(QStringLiteral("tarvelo"),
            { row("2026-12-07 11:10:00", 8, 1), row("2026-12-07 11:50:00", 9, 4) }));
        const QList<HourSummary> hours
            = a.hours(QStringLiteral("tarvelo"), QStringLiteral("2026-12-07"), QStringLiteral("2026-12-08"));
        QCOMPARE(hours.size(), 2);
        QCOMPARE(hours[0].hour, QStringLiteral("2026-12-07 10:00:00"));
        QCOMPARE(hours[0].count, 3);
        QCOMPARE(hours[0].min[SumTemperatura], 10.0);
        QCOMPARE(hours[0].max[SumTemperatura], 15.0);
        QCOMPARE(hours[0].mean[SumTemperatura], 37.0 / 3);
        QCOMPARE(hours[0].temperatureMaxAt, QStringLiteral("2026-12-07 10:20:00"));
        QCOMPARE(hours[0].rain, 3.0);
        QCOMPARE(hours[1].rain, 4.0);
        // A late reading for 10:59 changes the rain of the next hour too.
        QVERIFY(a.store(QStringLiteral("tarvelo"), { row("2026-12-07 10:59:00", 11, 0) }));
        const QList<HourSummary> again
            = a.hours(QStringLiteral("tarvelo"), QStringLiteral("2026-12-07"), QStringLiteral("2026-12-08"));
        QCOMPARE(again[0].rain, 3.0);
        QCOMPARE(again[1].rain, 4.0 + 0);

        const ArchiveExtremes e = a.extremes(
            QStringLiteral("tarvelo"), QStringLiteral("2026-12-01"), QStringLiteral("2027-01-01"));
        QCOMPARE(e.temperatureMax, 15.0);
        QCOMPARE(e.temperatureMaxAt, QStringLiteral("2026-12-07 10:20:00"));
        QCOMPARE(e.temperatureMin, 8.0);
        QCOMPARE(e.temperatureMinAt, QStringLiteral("2026-12-07 11:10:00"));
        QCOMPARE(e.rain, 7.0);

        // The public schema, as operators' tools see it.
        a.close();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
            db.setDatabaseName(archivePath());
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("PRAGMA journal_mode")) && q.next());
            QCOMPARE(q.value(0).toString(), QStringLiteral("wal"));
            QVERIFY(
                q.exec(QStringLiteral("SELECT estacion, instante, temperatura, humidade, presion, radiacion, "
                                      "choiva, vento_velocidade, vento_direccion, tension_bateria, "
                                      "intensidade_carga FROM lecturas ORDER BY estacion, instante")));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toString(), QStringLiteral("outra"));
            QCOMPARE(q.value(2).toDouble(), 30.0);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
    }

    // Day files made by the console itself go in whole; a second start imports
    // only what changed; live readings and imported ones agree.
    void importOfDayFiles()
    {
        DataLog log(folder());
        ReadingHistory none;
        const Calibration cal;
        QList<QByteArray> lines;
        for (int day = 5; day <= 6; ++day) {
            for (int k = 0; k < 1440; k += 7) {
                const LocalTime clock = toLocalTime(fromLocalTime(2026, 12, day, k / 60, k % 60, 30));
                const Reading r = decodeReading(simulatedFrame(clock.hour, clock.minute), cal, clock);
                lines.append(readingLine(r));
                QVERIFY(log.recordReading(lines.last(), r, clock));
            }
        }
        ReadingHistory history(folder());
        QSignalSpy status(&history, &ReadingHistory::statusChanged);
        history.start(QStringLiteral("tarvelo"));
        QVERIFY(history.importing());
        QCOMPARE(status.last().at(0).toString(),
            QStringLiteral("Importando ficheiros de datos ao arquivo: 0 de 2"));
        // The import goes a file per event-loop turn.
        QCOMPARE(history.archive().readingCount(QStringLiteral("tarvelo")), 0);
        QTRY_VERIFY(!history.importing());
        QVERIFY(status.last().at(0).toString().contains(QStringLiteral("2 ficheiros de datos importados")));
        const QList<ArchiveRow> rows = history.archive().readings(
            QStringLiteral("tarvelo"), QStringLiteral("2026-12-05"), QStringLiteral("2026-12-07"));
        QCOMPARE(rows.size(), lines.size());
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const ArchiveRow expected = *parseReadingLine(lines[i]);
            QCOMPARE(rows[i].instant, expected.instant);
            QCOMPARE(rows[i].values, expected.values);
        }
        QCOMPARE(
            history.archive()
                .hours(QStringLiteral("tarvelo"), QStringLiteral("2026-12-05"), QStringLiteral("2026-12-07"))
                .size(),
            48);

        // Live: a reading of the 6th through the day file and the archive.
        const Reading late = readingAt(6, 23, 59, 59, 7.5f);
        record(log, history, late);
        QCOMPARE(history.archive().readingCount(QStringLiteral("tarvelo")), lines.size() + 1);

        // Restart: the 5th is known; the 6th changed since its import and goes in again, unchanged.
        ReadingHistory restarted(folder());
        restarted.start(QStringLiteral("tarvelo"));
        QTRY_VERIFY(!restarted.importing());
        QCOMPARE(restarted.statusText(),
            QStringLiteral("Arquivo de lecturas: 1 ficheiros de datos importados (%1 lecturas)")
                .arg(lines.size() / 2 + 1));
        QCOMPARE(restarted.archive().readingCount(QStringLiteral("tarvelo")), lines.size() + 1);
        ReadingHistory third(folder());
        third.start(QStringLiteral("tarvelo"));
        QVERIFY(!third.importing());
    }

    void lockedArchive()
    {
        DataLog log(folder());
        ReadingHistory history(folder());
        history.start(QStringLiteral("tarvelo"));
        QVERIFY(history.available());
        record(log, history, readingAt(7, 10, 0, 0, 10));
        QSignalSpy status(&history, &ReadingHistory::statusChanged);
        history.setRetryInterval(50);
        {
            LockHolder lock(archivePath());
            QVERIFY(lock.locked());
            QElapsedTimer timer;
            timer.start();
            record(log, history, readingAt(7, 10, 1, 0, 11));
            record(log, history, readingAt(7, 10, 2, 0, 12));
            // A lock never holds the reading path for long.
            QVERIFY(timer.elapsed() < 500);
            QVERIFY(!history.available());
            QCOMPARE(history.waitingCount(), 2);
            QCOMPARE(status.size(), 1);
            QVERIFY(status.first().at(0).toString().startsWith(
                QStringLiteral("Arquivo de lecturas tarvelo_arquivo.sqlite non dispoñible")));
            // The day file has them.
            QByteArray day;
            QVERIFY(readFile(folder() + QStringLiteral("tarvelo_datos_07_12_2026.txt"), &day));
            QVERIFY(day.contains("07/12/2026 10:02:00 temp=12,0"));
        }
        QTRY_VERIFY(history.available());
        QCOMPARE(history.waitingCount(), 0);
        QCOMPARE(history.archive().readingCount(QStringLiteral("tarvelo")), 3);
        QTRY_VERIFY(!history.importing());
        QVERIFY(status.at(1).at(0).toString().contains(QStringLiteral("dispoñible de novo")));
    }

    // Held by another program from the start, with a day file to import: one
    // line when it fails, however many tries, one when it works again.
    void lockedAtStartIsReportedOnce()
    {
        DataLog log(folder());
        {
            ReadingHistory first(folder());
            first.start(QStringLiteral("tarvelo"));
        }
        QVERIFY(log.recordReading(readingLine(readingAt(7, 9, 0, 0, 8)), readingAt(7, 9, 0, 0, 8),
            clockOf(readingAt(7, 9, 0, 0, 8))));
        ReadingHistory history(folder());
        history.setRetryInterval(20);
        QSignalSpy status(&history, &ReadingHistory::statusChanged);
        {
            LockHolder lock(archivePath());
            QVERIFY(lock.locked());
            history.start(QStringLiteral("tarvelo"));
            QTRY_VERIFY(!history.available());
            QTest::qWait(300); // some ten tries
            QVERIFY(!history.available());
            QCOMPARE(history.archive().readingCount(QStringLiteral("tarvelo")), 0);
        }
        QTRY_VERIFY(history.available());
        QTRY_VERIFY(!history.importing());
        QCOMPARE(history.archive().readingCount(QStringLiteral("tarvelo")), 1);
        QStringList failures, recoveries;
        for (const QList<QVariant> &s : status) {
            if (s.at(0).toString().contains(QStringLiteral("non dispoñible")))
                failures << s.at(0).toString();
            if (s.at(0).toString().contains(QStringLiteral("dispoñible de novo")))
                recoveries << s.at(0).toString();
        }
        QCOMPARE(failures.size(), 1);
        QCOMPARE(recoveries.size(), 1);
    }

    void damagedArchive()
    {
        // Not a database at all: the console goes on, says so, and catches up
        // from the day files once the operator has moved the file away.
        QVERIFY(replaceFile(archivePath(), QByteArray(4096, 'x')));
        DataLog log(folder());
        ReadingHistory history(folder());
        history.setRetryInterval(50);
        QSignalSpy status(&history, &ReadingHistory::statusChanged);
        history.start(QStringLiteral("tarvelo"));
        QVERIFY(!history.available());
        QVERIFY(status.last().at(0).toString().contains(QStringLiteral("non dispoñible")));
        for (int m = 0; m < 3; ++m)
            record(log, history, readingAt(7, 10, m, 0, 10 + m));
        QByteArray day;
        QVERIFY(readFile(folder() + QStringLiteral("tarvelo_datos_07_12_2026.txt"), &day));
        QCOMPARE(splitLines(day).size(), 1441);
        QVERIFY(day.contains("07/12/2026 10:02:00 temp=12,0"));
        QByteArray damaged;
        QVERIFY(readFile(archivePath(), &damaged));
        QCOMPARE(damaged, QByteArray(4096, 'x')); // never overwritten

        // Another start while it is damaged: only the day files have those readings.
        ReadingHistory second(folder());
        second.setRetryInterval(50);
        second.start(QStringLiteral("tarvelo"));
        QVERIFY(!second.available());
        QVERIFY(QFile::rename(archivePath(), archivePath() + QStringLiteral(".roto")));
        QTRY_VERIFY(second.available());
        QTRY_VERIFY(!second.importing());
        QCOMPARE(second.archive().readingCount(QStringLiteral("tarvelo")), 3);
    }
};

QTEST_GUILESS_MAIN(TestArchive)
#include "test_archive.moc"
