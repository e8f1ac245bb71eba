// The reading archive: storing one reading, the reading path with and without
// it, importing a year of day files (and how long the event loop waits
// meanwhile), drawing the 365-day chart and the five web charts.
//
// usage: bench_history [rounds]   (default 300; TMPDIR decides the disk)

#include "bench/bench_util.h"
#include "common/clock.h"
#include "common/files.h"
#include "history/chart.h"
#include "history/history.h"
#include "recording/datalog.h"
#include "recording/recordingfiles.h"
#include "station/decoder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <clocale>
#include <cmath>
#include <cstdio>

using namespace orvalla;

namespace
{

QString ms(double nanoseconds)
{
    return QString::number(nanoseconds / 1e6, 'f', 3) + QStringLiteral(" ms");
}

// A reading of some weather at minute k of a day of the year.
Reading weatherAt(const LocalTime &clock, int dayOfYear)
{
    const double h = clock.hour + clock.minute / 60.0;
    Reading r;
    r.year = clock.year;
    r.month = clock.month;
    r.day = clock.day;
    r.hour = clock.hour;
    r.minute = clock.minute;
    r.second = clock.second;
    r.temperature = float(12 + 8 * std::sin((h - 9) / 24 * 2 * M_PI) + 6 * std::sin(dayOfYear / 58.0));
    r.humidity = float(75 - 20 * std::sin((h - 9) / 24 * 2 * M_PI));
    r.pressure = float(1013 + 5 * std::sin(dayOfYear / 4.0));
    r.solar_radiation = float(std::max(0.0, 800 * std::sin((h - 7) / 12 * M_PI)));
    r.rain = float(dayOfYear % 3 == 0 && h > 16 ? std::floor(std::min(h - 16, 2.0) * 3) : 0);
    r.wind_speed = float(std::round(5 + 4 * std::sin(h)));
    r.wind_direction = 220;
    r.battery_voltage = 3.8f;
    r.charge_current = 120;
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    // One log line per stored reading would measure the terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("orvalla.*.info=false"));
    const int rounds = argc > 1 ? qMax(10, atoi(argv[1])) : 300;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString folder = dir.path() + QLatin1Char('/');
    const QString id = QStringLiteral("tarvelo");

    // 1. The reading path at the end of a full day, without and with the archive.
    {
        const QString day = folder + QStringLiteral("day/");
        QDir().mkpath(day);
        DataLog log(day);
        log.setSystemId(id);
        ReadingHistory history(day);
        history.start(id);
        for (int k = 0; k < 1440; ++k) {
            const LocalTime clock = toLocalTime(fromLocalTime(2026, 3, 14, k / 60, k % 60, 30));
            const Reading r = weatherAt(clock, 73);
            const QByteArray line = readingLine(r);
            if (!log.recordReading(line, r, clock))
                return 1;
            history.recordReadingLine(line);
        }
        QList<double> without, with, store;
        QElapsedTimer timer;
        const LocalTime last = toLocalTime(fromLocalTime(2026, 3, 14, 23, 59, 30));
        const Reading reading = weatherAt(last, 73);
        for (int i = 0; i < rounds; ++i) {
            timer.start();
            QByteArray line = readingLine(reading);
            log.appendMailQueue(line);
            log.recordReading(line, reading, last);
            without.append(double(timer.nsecsElapsed()));
            log.ClearMailQueue();

            timer.start();
            line = readingLine(reading);
            log.appendMailQueue(line);
            log.recordReading(line, reading, last);
            QElapsedTimer own;
            own.start();
            history.recordReadingLine(line);
            store.append(double(own.nsecsElapsed()));
            with.append(double(timer.nsecsElapsed()));
            log.ClearMailQueue();
        }
        if (!history.available()) {
            std::fprintf(stderr, "archive failed: %s\n", qPrintable(history.statusText()));
            return 1;
        }
        const double w = bench::median(with), wo = bench::median(without), s = bench::median(store);
        std::fprintf(
            stderr, "%d rounds; p90 store %s\n", rounds, qPrintable(ms(bench::quantile(store, 0.9))));
        bench::result(QStringLiteral("archive: storing one reading, median %1").arg(ms(s)));
        bench::result(QStringLiteral("archive: reading path %1x without it (median %2 vs %3)")
                          .arg(QString::number(w / wo, 'f', 2), ms(w), ms(wo)));
    }

    // 2. A year of day files, 365 x 1441 lines, imported while a 10 ms timer
    // measures how long the event loop is kept away.
    const QString year = folder + QStringLiteral("year/");
    QDir().mkpath(year);
    std::time_t lastInstant = 0;
    // Distinct local instants: the hour skipped in spring gives the next hour's twice.
    QSet<QByteArray> instants;
    {
        QElapsedTimer make;
        make.start();
        for (int d = 0; d < 365; ++d) {
            const std::time_t midnight = fromLocalTime(2025, 12, 10 + d);
            const LocalTime date = toLocalTime(midnight);
            QList<QByteArray> lines { "datos" };
            for (int k = 0; k < 1440; ++k) {
                const LocalTime clock
                    = toLocalTime(fromLocalTime(date.year, date.month, date.day, k / 60, k % 60, 30));
                lines.append(readingLine(weatherAt(clock, d)));
                instants.insert(lines.last().left(19));
                lastInstant = fromLocalTime(date.year, date.month, date.day, k / 60, k % 60, 30);
            }
            if (!replaceFile(
                    pathIn(year, dailyDataFileName(id, date.day, date.month, date.year)), joinLines(lines)))
                return 1;
        }
        std::fprintf(stderr, "made 365 day files in %.1f s\n", double(make.elapsed()) / 1000);
    }
    ReadingHistory history(year);
    {
        QElapsedTimer gap, total;
        double longest = 0;
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longest = std::max(longest, double(gap.nsecsElapsed()));
            gap.start();
        });
        total.start();
        gap.start();
        ticker.start();
        history.start(id);
        while (history.importing())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double seconds = double(total.elapsed()) / 1000;
        const qint64 count = history.archive().readingCount(id);
        if (count != instants.size()) {
            std::fprintf(stderr, "imported %lld readings, not %lld\n", count, qlonglong(instants.size()));
            return 1;
        }
        bench::result(QStringLiteral("archive: importing 365 day files (%1 readings) in %2 s; the event loop "
                                     "waited at most %3")
                          .arg(count)
                          .arg(seconds, 0, 'f', 1)
                          .arg(ms(longest)));
    }

    // 3. Charts from that year.
    {
        QList<double> yearChart, web;
        QElapsedTimer timer;
        const QString webFolder = folder + QStringLiteral("web/");
        QDir().mkpath(webFolder);
        for (int i = 0; i < 10; ++i) {
            timer.start();
            drawChart(
                loadChart(history.archive(), id, ChartQuantity::Temperatura, ChartSpan::Year, lastInstant),
                QSize(743, 328));
            yearChart.append(double(timer.nsecsElapsed()));
            timer.start();
            if (!writeWebCharts(history.archive(), id, webFolder, lastInstant))
                return 1;
            web.append(double(timer.nsecsElapsed()));
        }
        bench::result(QStringLiteral("charts: 365-day chart read and drawn, median %1")
                          .arg(ms(bench::median(yearChart))));
        bench::result(QStringLiteral("charts: the five web PNGs, median %1").arg(ms(bench::median(web))));
    }
    return 0;
}
