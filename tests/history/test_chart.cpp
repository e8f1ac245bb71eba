// Charts from a real archive: what each span reads, axes that cover the data,
// the pictures, and the five web PNGs written whole.

#include "common/clock.h"
#include "common/files.h"
#include "history/chart.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace orvalla;

namespace
{

// Pixels that are neither the white background nor the plot's grey.
int inkPixels(const QImage &image)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::max({ c.red(), c.green(), c.blue() }) - std::min({ c.red(), c.green(), c.blue() }) > 40)
                ++n;
        }
    return n;
}

} // namespace

class TestChart : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ReadingArchive m_archive;
    std::time_t m_now = 0;
    double m_tMin = 1e9, m_tMax = -1e9;
    double m_rainLastDay = 0;

private Q_SLOTS:
    // Forty days of a reading every ten minutes; rain 0.5 mm an hour from 16:00
    // to 18:00 each day, the counter back at 0 at midnight.
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_archive.open(m_dir.filePath(QStringLiteral("tarvelo_arquivo.sqlite"))));
        m_now = fromLocalTime(2026, 12, 9, 12, 0, 0);
        QList<ArchiveRow> rows;
        for (std::time_t t = m_now - 40 * 86400; t <= m_now; t += 600) {
            const LocalTime l = toLocalTime(t);
            ArchiveRow r;
            r.instant = instantText(t);
            r.values.fill(1);
            const double hours = l.hour + l.minute / 60.0;
            r.values[Temperatura] = std::round((10 + 6 * std::sin((hours - 9) / 24 * 2 * M_PI)) * 10) / 10;
            r.values[Choiva] = std::clamp(hours - 16, 0.0, 2.0) * 0.5;
            r.values[Presion] = 1013;
            rows.append(r);
            if (t > m_now - 86400) {
                m_tMin = std::min(m_tMin, r.values[Temperatura]);
                m_tMax = std::max(m_tMax, r.values[Temperatura]);
            }
        }
        QString error;
        QVERIFY2(m_archive.store(QStringLiteral("tarvelo"), rows, &error), qPrintable(error));
    }

    void spans()
    {
        const ChartData day = loadChart(
            m_archive, QStringLiteral("tarvelo"), ChartQuantity::Temperatura, ChartSpan::Day, m_now);
        QCOMPARE(day.points.size(), 145); // both ends of the 24 hours
        QVERIFY(day.buckets.isEmpty());
        ChartAxes a = chartAxes(day);
        QVERIFY(a.low <= m_tMin && a.high >= m_tMax);
        QVERIFY(a.high - a.low <= 4 * (m_tMax - m_tMin));
        QCOMPARE(a.to - a.from, std::time_t(86400));
        for (const ChartData::Point &p : day.points)
            QVERIFY(p.t >= a.from && p.t <= a.to);

        const ChartData week = loadChart(
            m_archive, QStringLiteral("tarvelo"), ChartQuantity::Temperatura, ChartSpan::Week, m_now);
        QCOMPARE(week.buckets.size(), 6 * 24 + 13); // six whole days and today to 12:00
        for (const ChartData::Bucket &b : week.buckets)
            QVERIFY(b.min <= b.mean && b.mean <= b.max);

        const ChartData month = loadChart(
            m_archive, QStringLiteral("tarvelo"), ChartQuantity::Temperatura, ChartSpan::Month, m_now);
        QCOMPARE(month.buckets.size(), 30);
        const ChartData year = loadChart(
            m_archive, QStringLiteral("tarvelo"), ChartQuantity::Temperatura, ChartSpan::Year, m_now);
        QCOMPARE(year.buckets.size(), 41); // the archive's forty days and today
        a = chartAxes(year);
        for (const ChartData::Bucket &b : year.buckets)
            QVERIFY(a.low <= b.min && b.max <= a.high);

        // Rain: totals, 1 mm a day between 16:00 and 18:00.
        const ChartData rainDay
            = loadChart(m_archive, QStringLiteral("tarvelo"), ChartQuantity::Choiva, ChartSpan::Day, m_now);
        double total = 0;
        for (const ChartData::Bucket &b : rainDay.buckets)
            total += b.max;
        QCOMPARE(total, 1.0);
        const ChartData rainMonth
            = loadChart(m_archive, QStringLiteral("tarvelo"), ChartQuantity::Choiva, ChartSpan::Month, m_now);
        QCOMPARE(rainMonth.buckets.size(), 30);
        QCOMPARE(rainMonth.buckets.first().max, 1.0);
        QCOMPARE(rainMonth.buckets.last().max, 0.0); // today, before 16:00
        QCOMPARE(chartAxes(rainMonth).low, 0.0);

        const ChartData nothing
            = loadChart(m_archive, QStringLiteral("outra"), ChartQuantity::Humidade, ChartSpan::Day, m_now);
        QVERIFY(nothing.empty());
    }

    void pictures()
    {
        for (int s = 0; s < kChartSpanCount; ++s) {
            const ChartData d = loadChart(
                m_archive, QStringLiteral("tarvelo"), ChartQuantity::Temperatura, ChartSpan(s), m_now);
            const QImage image = drawChart(d, QSize(700, 300));
            QCOMPARE(image.size(), QSize(700, 300));
            QVERIFY2(inkPixels(image) > 100, qPrintable(chartSpanName(ChartSpan(s))));
        }
        const QImage empty = drawChart(
            loadChart(m_archive, QStringLiteral("outra"), ChartQuantity::Vento, ChartSpan::Day, m_now),
            QSize(400, 200));
        QCOMPARE(inkPixels(empty), 0);

        const PeriodExtremesTexts month = periodExtremes(m_archive, QStringLiteral("tarvelo"), 2026, 12);
        QCOMPARE(month.temperatureMax, QStringLiteral("16.0"));
        // The first time of the month that 16.0 was read.
        QCOMPARE(month.temperatureMaxAt, QStringLiteral("01/12/2026 14:40:00"));
        QCOMPARE(month.temperatureMin, QStringLiteral("4.0"));
        QCOMPARE(month.rain, QStringLiteral("8.0")); // 1 to 8 December
        const PeriodExtremesTexts year = periodExtremes(m_archive, QStringLiteral("tarvelo"), 2026, 0);
        QCOMPARE(year.rain, QStringLiteral("40.0")); // 30 October to 8 December
        QCOMPARE(periodExtremes(m_archive, QStringLiteral("tarvelo"), 2025, 0).rain, QString());
    }

    void webCharts()
    {
        const QString folder = m_dir.filePath(QStringLiteral("web/"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(replaceFile(folder + QStringLiteral("grafica_choiva.png"), QByteArray(100000, 'o')));
        QString error;
        QVERIFY2(
            writeWebCharts(m_archive, QStringLiteral("tarvelo"), folder, m_now, &error), qPrintable(error));
        for (const char *name : kWebChartNames) {
            QImage image;
            QVERIFY2(image.load(folder + QLatin1String(name), "PNG"), name);
            QCOMPARE(image.size(), kWebChartSize);
            QVERIFY2(inkPixels(image) > 200, name);
        }
        // Nothing but the five pictures: the old one was replaced, no temporary file stays.
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 5);
        QVERIFY(!writeWebCharts(
            m_archive, QStringLiteral("tarvelo"), m_dir.filePath(QStringLiteral("nowhere/")), m_now, &error));
        QVERIFY(error.contains(QStringLiteral("nowhere/grafica_temperatura.png")));
    }

    void chartSpeed()
    {
        QElapsedTimer timer;
        timer.start();
        drawChart(loadChart(m_archive, QStringLiteral("tarvelo"), ChartQuantity::Temperatura, ChartSpan::Year,
                      m_now),
            QSize(745, 330));
        // Far above the Release figure (bench/): only a gross slowdown fails here.
        QVERIFY(timer.elapsed() < 2000);
    }
};

QTEST_MAIN(TestChart)
#include "test_chart.moc"
