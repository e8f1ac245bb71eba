#include "common/clock.h"
#include "common/files.h"
#include "common/text.h"
#include "recording/dailyreport.h"
#include "recording/maxmin.h"
#include "tests/support/builders.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvalla;
using testsupport::instant;

namespace
{

// The window of 6 July 2006, from 00:00 for 24 hours.
MaxMinState july6()
{
    MaxMinState s;
    s.window_day = 6;
    s.window_month = 7;
    s.window_year = 2006;
    s.start_offset = 0;
    s.period = 86400;
    s.reading_count = 1437;
    s.failure_time = 237;
    s.temp_min = 9.5f;
    s.temp_min_time = instant(2006, 7, 6, 5, 42);
    s.temp_max = 24.8f;
    s.temp_max_time = instant(2006, 7, 6, 15, 10);
    s.hum_min = 45.2f;
    s.hum_min_time = instant(2006, 7, 6, 15, 31);
    s.hum_max = 97.0f;
    s.hum_max_time = instant(2006, 7, 6, 6, 1);
    return s;
}

const QByteArray kJuly6Row = "06/07/2006 00:00  |  24:00  |  1437  |  0003  |   9,5\xBA"
                             "C |  06/07 05:42  |  "
                             "24,8\xBA"
                             "C |  06/07 15:10  |  45,2%  |  06/07 15:31  |  97,0%  |  06/07 06:01  |  ";

QByteArray contents(const QString &path)
{
    QByteArray bytes;
    if (!readFile(path, &bytes))
        return "<missing>";
    return bytes;
}

} // namespace

class TestDailyReport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exampleReportAndRow()
    {
        const QList<QByteArray> v = DailyReport::reportValues(july6());
        const QByteArray expected = "-----------------------------------------------------------------\r\n"
                                    "----------------------INFORME DIARIO ----------------------------\r\n"
                                    "-----------------------------------------------------------------\r\n"
                                    "\r\n"
                                    "Per\xEDodo actual de medida (inicio):    06/07/2006 00:00  \r\n"
                                    "Per\xEDodo actual de medida (duraci\xF3n):  24:00  \r\n"
                                    "N\xFAmero de datos v\xE1lidos no per\xEDodo:   1437  \r\n"
                                    "M\xE1ximo tempo de fallo no per\xEDodo:     0003  \r\n"
                                    "Temperatura m\xEDnima:   9,5\xBA"
                                    "C   d\xED"
                                    "a e hora:  06/07 05:42  \r\n"
                                    "Temperatura m\xE1xima:  24,8\xBA"
                                    "C   d\xED"
                                    "a e hora:  06/07 15:10  \r\n"
                                    "Humidade m\xEDnima:     45,2%    d\xED"
                                    "a e hora:  06/07 15:31  \r\n"
                                    "Humidade m\xE1xima:     97,0%    d\xED"
                                    "a e hora:  06/07 06:01  \r\n"
                                    "\r\n"
                                    "-----------------------------------------------------------------\r\n";
        QCOMPARE(DailyReport::reportText(v), expected);
        QCOMPARE(DailyReport::reportRow(v), kJuly6Row);
        QCOMPARE(DailyReport::headerLine(),
            QByteArray(
                "Inicio medidas    |  tempo  |  datos |  fallo |  temp m\xEDn/data/hora     |  "
                "temp m\xE1x/data/hora     |  hum m\xEDn/data/hora      |  hum m\xE1x/data/hora      |  "));
    }

    void valueFormats_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("index");
        // field: 0 temp_min, 1 temp_max, 2 hum_min, 3 hum_max, 4 failure_time, 5 period
        QTest::newRow("negative temperature has no pad") << 0
                                                         << QByteArray("-3,2\xBA"
                                                                       "C ")
                                                         << 4;
        QTest::newRow("long number is not cut") << 1
                                                << QByteArray("-100,0\xBA"
                                                              "C ")
                                                << 6;
        QTest::newRow("small humidity padded") << 3 << QByteArray(" 0,0%  ") << 10;
        QTest::newRow("59 seconds of failure") << 4 << QByteArray("0000  ") << 3;
        QTest::newRow("one day and a half") << 5 << QByteArray("36:00  ") << 1;
    }

    void valueFormats()
    {
        QFETCH(int, field);
        QFETCH(QByteArray, expected);
        QFETCH(int, index);
        MaxMinState s;
        switch (field) {
        case 0:
            s.temp_min = -3.2f;
            break;
        case 1:
            s.temp_max = -100.0f;
            break;
        case 3:
            s.hum_max = 0.0f;
            break;
        case 4:
            s.failure_time = 59;
            break;
        case 5:
            s.period = 36 * 3600;
            break;
        }
        QCOMPARE(DailyReport::reportValues(s).value(index), expected);
    }

    void emptyWindowReportsStartValues()
    {
        const QList<QByteArray> v = DailyReport::reportValues(MaxMinState());
        QCOMPARE(v[2], QByteArray("0000  "));
        QCOMPARE(v[4],
            QByteArray("100,0\xBA"
                       "C "));
        QCOMPARE(v[6],
            QByteArray("-100,0\xBA"
                       "C "));
        QCOMPARE(v[8], QByteArray("100,0%  "));
        QCOMPARE(v[10], QByteArray(" 0,0%  "));
        // Instant 0 in local time (Madrid: one hour ahead of UTC in January).
        for (int i : { 5, 7, 9, 11 })
            QCOMPARE(v[i], QByteArray("01/01 01:00  "));
    }

    void historyKeepsOneLinePerDay()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        DailyReport report(dir.path());
        report.setSystemId("tarvelo");
        report.InitDailyGrid();
        QSignalSpy rows(&report, &DailyReport::currentRowChanged);
        const QString history = dir.filePath("tarvelo_datos_maxmin.txt");

        // First report: a fresh file, blank days empty.
        QString error;
        QVERIFY2(report.WriteDailyReport(186, july6(), &error), qPrintable(error));
        QList<QByteArray> lines = splitLines(contents(history));
        QCOMPARE(lines.size(), 367);
        QCOMPARE(lines[0], DailyReport::headerLine());
        QCOMPARE(lines[187], kJuly6Row);
        QCOMPARE(lines[1], QByteArray());
        QVERIFY(contents(history).endsWith("\r\n\r\n"));
        QCOMPARE(contents(dir.filePath("tarvelo_datos_maxmin_hoxe.txt")),
            DailyReport::reportText(DailyReport::reportValues(july6())));

        DailyGridModel *grid = report.grid();
        QCOMPARE(grid->rowCount(), 367);
        QCOMPARE(grid->columnCount(), 14);
        QCOMPARE(grid->data(grid->index(187, 0)).toString(), QStringLiteral("187"));
        QCOMPARE(grid->data(grid->index(187, 6)).toString(), QStringLiteral(" 9,5ºC "));
        QCOMPARE(grid->data(grid->index(0, 8)).toString(), QStringLiteral("temp máx"));
        QCOMPARE(grid->cell(187, 13), QByteArray("06/07 06:01  "));
        QCOMPARE(rows.last().at(0).toInt(), 187);

        // Next day, after a restart: blanks come back as one space, and a
        // leap-year 31 December lands in the last row.
        DailyReport restarted(dir.path());
        restarted.setSystemId("tarvelo");
        restarted.InitDailyGrid();
        MaxMinState other = july6();
        other.reading_count = 12;
        QVERIFY(restarted.WriteDailyReport(365, other));
        lines = splitLines(contents(history));
        QCOMPARE(lines.size(), 367);
        QCOMPARE(lines[187], kJuly6Row);
        QVERIFY(lines[366].contains("|  0012  |"));
        QCOMPARE(lines[1], QByteArray(" "));
        QCOMPARE(lines[365], QByteArray(" "));
        // Columns 2 to 13 hold only this run's reports.
        QCOMPARE(restarted.grid()->cell(187, 2), QByteArray());
        QCOMPARE(restarted.grid()->cell(187, 1), kJuly6Row);

        // A deleted history starts again with only the new day.
        QVERIFY(QFile::remove(history));
        QVERIFY(restarted.WriteDailyReport(0, july6()));
        lines = splitLines(contents(history));
        QCOMPARE(lines.size(), 367);
        QCOMPARE(lines[1], kJuly6Row);
        QCOMPARE(lines[187], QByteArray());
        QCOMPARE(lines[366], QByteArray());
    }

    void overlongHistoryIsCutToTheYear()
    {
        QTemporaryDir dir;
        QByteArray big;
        for (int i = 0; i < 400; ++i)
            big += "line " + QByteArray::number(i) + "\r\n";
        QVERIFY(replaceFile(dir.filePath("tarvelo_datos_maxmin.txt"), big));
        DailyReport report(dir.path());
        QVERIFY(report.WriteDailyReport(9, july6()));
        const QList<QByteArray> lines = splitLines(contents(dir.filePath("tarvelo_datos_maxmin.txt")));
        QCOMPARE(lines.size(), 367);
        QCOMPARE(lines[0], DailyReport::headerLine());
        QCOMPARE(lines[9], QByteArray("line 9"));
        QCOMPARE(lines[10], kJuly6Row);
        QCOMPARE(lines[366], QByteArray("line 366"));
    }

    void unreadableHistoryIsReportedAndKept()
    {
        QTemporaryDir dir;
        // A path that exists but cannot be read as a file.
        QVERIFY(QDir(dir.path()).mkdir("tarvelo_datos_maxmin.txt"));
        DailyReport report(dir.path());
        QString error;
        QVERIFY(!report.WriteDailyReport(186, july6(), &error));
        QVERIFY(error.contains("tarvelo_datos_maxmin.txt"));
        QVERIFY(QFileInfo(dir.filePath("tarvelo_datos_maxmin.txt")).isDir());
        // The rest of the report still ran.
        QCOMPARE(report.grid()->cell(187, 1), kJuly6Row);
        QCOMPARE(contents(dir.filePath("tarvelo_datos_maxmin_hoxe.txt")),
            DailyReport::reportText(DailyReport::reportValues(july6())));
    }
};

QTEST_GUILESS_MAIN(TestDailyReport)
#include "test_dailyreport.moc"
