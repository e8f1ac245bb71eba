#pragma once

#include "history/archive.h"

#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

#include <ctime>

namespace orvalla
{

enum class ChartQuantity { Temperatura, Humidade, Presion, Radiacion, Choiva, Vento };
enum class ChartSpan { Day, Week, Month, Year };

inline constexpr int kChartQuantityCount = 6;
inline constexpr int kChartSpanCount = 4;

// Screen names, in enum order: "temperatura" ... and "24 horas" ...
QString chartQuantityName(ChartQuantity q);
QString chartSpanName(ChartSpan s);
QString chartUnit(ChartQuantity q);

// What one chart shows. The last 24 hours are drawn reading by reading
// (points); longer spans as min, mean and max per hour (7 days) or per day
// (buckets); rain always as totals per hour (24 hours, 7 days) or per day.
struct ChartData {
    struct Point {
        std::time_t t;
        double value;
    };
    struct Bucket {
        std::time_t start, end;
        double min, mean, max; // rain: the total in max and mean, 0 in min
    };
    ChartQuantity quantity = ChartQuantity::Temperatura;
    ChartSpan span = ChartSpan::Day;
    QString station;
    std::time_t from = 0, to = 0;
    QList<Point> points;
    QList<Bucket> buckets;
    bool bars() const { return quantity == ChartQuantity::Choiva; }
    bool empty() const { return points.isEmpty() && buckets.isEmpty(); }
};

// The span ending at now, read from the archive.
ChartData loadChart(
    const ReadingArchive &archive, const QString &station, ChartQuantity q, ChartSpan s, std::time_t now);

// The chart as a picture: local time on the x axis with hour (day, month)
// ticks, the unit on the y axis, the station and the span in the title. Needs
// a QGuiApplication (fonts), no display.
QImage drawChart(const ChartData &data, QSize size);

// The x and y ranges drawChart uses, for checks: the data always lies inside.
struct ChartAxes {
    std::time_t from, to;
    double low, high, step;
};
ChartAxes chartAxes(const ChartData &data);

// The five web charts of the last 24 hours, in the web folder (folder text
// immediately followed by the name, as the page), each replaced whole.
inline constexpr const char *kWebChartNames[5] = { "grafica_temperatura.png", "grafica_humidade.png",
    "grafica_presion.png", "grafica_vento.png", "grafica_choiva.png" };
inline constexpr QSize kWebChartSize { 640, 320 };
bool writeWebCharts(const ReadingArchive &archive, const QString &station, const QString &folder,
    std::time_t now, QString *error = nullptr);

// The month's and the year's extremes below the chart, as screen texts.
struct PeriodExtremesTexts {
    QString temperatureMax, temperatureMaxAt, temperatureMin, temperatureMinAt, rain;
};
PeriodExtremesTexts periodExtremes(
    const ReadingArchive &archive, const QString &station, int year, int month /* 0: the whole year */);

// Local 'YYYY-MM-DD HH:MM:SS' and back.
QString instantText(std::time_t t);
std::time_t instantTime(const QString &instant);

} // namespace orvalla
