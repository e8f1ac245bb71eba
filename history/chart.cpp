#include "history/chart.h"

#include "common/clock.h"
#include "common/files.h"
#include "common/log.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetrics>
#include <QMap>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvalla
{

namespace
{

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The reading column of a quantity and its place in the hourly summary.
ArchiveValue valueOf(ChartQuantity q)
{
    switch (q) {
    case ChartQuantity::Temperatura:
        return Temperatura;
    case ChartQuantity::Humidade:
        return Humidade;
    case ChartQuantity::Presion:
        return Presion;
    case ChartQuantity::Radiacion:
        return Radiacion;
    case ChartQuantity::Choiva:
        return Choiva;
    case ChartQuantity::Vento:
        return VentoVelocidade;
    }
    return Temperatura;
}

SummaryValue summaryOf(ChartQuantity q)
{
    switch (q) {
    case ChartQuantity::Humidade:
        return SumHumidade;
    case ChartQuantity::Presion:
        return SumPresion;
    case ChartQuantity::Radiacion:
        return SumRadiacion;
    case ChartQuantity::Vento:
        return SumVento;
    default:
        return SumTemperatura;
    }
}

QColor colourOf(ChartQuantity q)
{
    switch (q) {
    case ChartQuantity::Temperatura:
        return QColor(200, 50, 40);
    case ChartQuantity::Humidade:
        return QColor(30, 120, 160);
    case ChartQuantity::Presion:
        return QColor(100, 60, 150);
    case ChartQuantity::Radiacion:
        return QColor(220, 140, 0);
    case ChartQuantity::Choiva:
        return QColor(40, 90, 200);
    case ChartQuantity::Vento:
        return QColor(40, 140, 70);
    }
    return Qt::black;
}

int spanDays(ChartSpan s)
{
    switch (s) {
    case ChartSpan::Day:
        return 1;
    case ChartSpan::Week:
        return 7;
    case ChartSpan::Month:
        return 30;
    case ChartSpan::Year:
        return 365;
    }
    return 1;
}

QString spanTitle(ChartSpan s)
{
    switch (s) {
    case ChartSpan::Day:
        return QStringLiteral("últimas 24 horas");
    case ChartSpan::Week:
        return QStringLiteral("últimos 7 días");
    case ChartSpan::Month:
        return QStringLiteral("últimos 30 días");
    case ChartSpan::Year:
        return QStringLiteral("últimos 365 días");
    }
    return QString();
}

// Local midnight (or the start of the hour) at or before t.
std::time_t hourStart(std::time_t t)
{
    const LocalTime l = toLocalTime(t);
    return fromLocalTime(l.year, l.month, l.day, l.hour);
}

std::time_t dayStart(std::time_t t)
{
    const LocalTime l = toLocalTime(t);
    return fromLocalTime(l.year, l.month, l.day);
}

int decimalsFor(double step)
{
    return step >= 1 ? 0 : std::min(3, int(std::ceil(-std::log10(step) - 1e-9)));
}

} // namespace

QString chartQuantityName(ChartQuantity q)
{
    static const char *const names[kChartQuantityCount]
        = { "temperatura", "humidade", "presión", "radiación solar", "choiva", "vento" };
    return QString::fromUtf8(names[int(q)]);
}

QString chartSpanName(ChartSpan s)
{
    static const char *const names[kChartSpanCount] = { "24 horas", "7 días", "30 días", "365 días" };
    return QString::fromUtf8(names[int(s)]);
}

QString chartUnit(ChartQuantity q)
{
    static const char *const units[kChartQuantityCount] = { "°C", "%", "mbar", "W/m²", "mm", "km/h" };
    return QString::fromUtf8(units[int(q)]);
}

QString instantText(std::time_t t)
{
    const LocalTime l = toLocalTime(t);
    return QString::asprintf(
        "%04d-%02d-%02d %02d:%02d:%02d", l.year, l.month, l.day, l.hour, l.minute, l.second);
}

std::time_t instantTime(const QString &instant)
{
    auto field = [&](int at, int n) { return QStringView(instant).mid(at, n).toInt(); };
    return fromLocalTime(field(0, 4), field(5, 2), field(8, 2), field(11, 2), field(14, 2), field(17, 2));
}

ChartData loadChart(
    const ReadingArchive &archive, const QString &station, ChartQuantity q, ChartSpan s, std::time_t now)
{
    ChartData d;
    d.quantity = q;
    d.span = s;
    d.station = station;
    d.to = now;
    d.from = s == ChartSpan::Day ? now - 86400 : dayStart(now - std::time_t(spanDays(s) - 1) * 86400);
    const QString end = instantText(now + 1);
    if (s == ChartSpan::Day && q != ChartQuantity::Choiva) {
        const ArchiveValue column = valueOf(q);
        for (const ArchiveRow &row : archive.readings(station, instantText(d.from), end)) {
            if (std::isfinite(row.values[column]))
                d.points.append({ instantTime(row.instant), row.values[column] });
        }
        return d;
    }
    const QList<HourSummary> hours = archive.hours(station, instantText(hourStart(d.from)), end);
    const SummaryValue v = summaryOf(q);
    const bool rain = q == ChartQuantity::Choiva;
    if (s == ChartSpan::Day || s == ChartSpan::Week) {
        for (const HourSummary &h : hours) {
            const std::time_t start = instantTime(h.hour);
            if (rain)
                d.buckets.append({ start, start + 3600, 0, h.rain, h.rain });
            else if (std::isfinite(h.mean[v]))
                d.buckets.append({ start, start + 3600, h.min[v], h.mean[v], h.max[v] });
        }
        return d;
    }
    // Per day: the hours of each local day together.
    struct Day {
        double min = kNaN, max = kNaN, sum = 0, rain = 0;
        int n = 0;
    };
    QMap<QString, Day> days;
    for (const HourSummary &h : hours) {
        Day &day = days[h.hour.left(10)];
        day.rain += h.rain;
        if (!std::isfinite(h.mean[v]))
            continue;
        day.min = std::isfinite(day.min) ? std::min(day.min, h.min[v]) : h.min[v];
        day.max = std::isfinite(day.max) ? std::max(day.max, h.max[v]) : h.max[v];
        day.sum += h.mean[v] * h.count;
        day.n += h.count;
    }
    for (auto it = days.cbegin(); it != days.cend(); ++it) {
        const std::time_t start = instantTime(it.key() + QStringLiteral(" 00:00:00"));
        const LocalTime l = toLocalTime(start);
        const std::time_t next = fromLocalTime(l.year, l.month, l.day + 1);
        if (rain)
            d.buckets.append({ start, next, 0, it->rain, it->rain });
        else if (it->n > 0)
            d.buckets.append({ start, next, it->min, it->sum / it->n, it->max });
    }
    return d;
}

ChartAxes chartAxes(const ChartData &d)
{
    ChartAxes a { d.from, d.to, 0, 0, 1 };
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const ChartData::Point &p : d.points) {
        lo = std::min(lo, p.value);
        hi = std::max(hi, p.value);
    }
    for (const ChartData::Bucket &b : d.buckets) {
        lo = std::min(lo, b.min);
        hi = std::max(hi, b.max);
    }
    if (d.bars())
        lo = std::min(lo, 0.0);
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
        lo = 0;
        hi = 1;
    }
    if (hi - lo < 1e-9) {
        hi += d.bars() ? 1 : 0.5;
        lo -= d.bars() ? 0 : 0.5;
    }
    const double rough = (hi - lo) / 5;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double step = magnitude;
    for (double m : { 1.0, 2.0, 2.5, 5.0, 10.0 }) {
        step = m * magnitude;
        if (step >= rough)
            break;
    }
    a.step = step;
    a.low = std::floor(lo / step + 1e-9) * step;
    a.high = std::ceil(hi / step - 1e-9) * step;
    if (a.high <= a.low)
        a.high = a.low + step;
    return a;
}

QImage drawChart(const ChartData &d, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(std::max(9, size.height() / 30));
    p.setFont(font);
    const QFontMetrics fm(font);
    const QRectF plot(
        fm.horizontalAdvance(QStringLiteral("000000")) + fm.height() + 6, fm.height() * 2 + 6, 0, 0);
    const QRectF area(plot.left(), plot.top(), size.width() - plot.left() - 14,
        size.height() - plot.top() - fm.height() * 2 - 10);
    const ChartAxes axes = chartAxes(d);
    const QColor colour = colourOf(d.quantity);
    auto x = [&](std::time_t t) {
        return area.left()
            + area.width() * double(t - axes.from) / double(std::max<std::time_t>(1, axes.to - axes.from));
    };
    auto y
        = [&](double v) { return area.bottom() - area.height() * (v - axes.low) / (axes.high - axes.low); };

    // Title: station, quantity and span.
    QFont bold = font;
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(Qt::black);
    QString quantity = chartQuantityName(d.quantity);
    quantity[0] = quantity[0].toUpper();
    p.drawText(QRectF(0, 2, size.width(), fm.height() + 4), Qt::AlignCenter,
        QStringLiteral("%1 · %2 · %3").arg(d.station, quantity, spanTitle(d.span)));
    p.setFont(font);

    p.fillRect(area, QColor(248, 248, 250));
    // Y grid and values, the unit beside the axis.
    const int decimals = decimalsFor(axes.step);
    for (double v = axes.low; v <= axes.high + axes.step / 2; v += axes.step) {
        const double yy = y(v);
        p.setPen(QPen(QColor(220, 220, 225), 1));
        p.drawLine(QPointF(area.left(), yy), QPointF(area.right(), yy));
        p.setPen(Qt::black);
        p.drawText(QRectF(0, yy - fm.height() / 2.0, area.left() - 4, fm.height()),
            Qt::AlignRight | Qt::AlignVCenter,
            QString::number(std::abs(v) < axes.step / 1e6 ? 0.0 : v, 'f', decimals));
    }
    p.save();
    p.translate(fm.height() * 0.8, area.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-area.height() / 2, -fm.height(), area.height(), fm.height() * 1.5), Qt::AlignCenter,
        chartUnit(d.quantity));
    p.restore();

    // X ticks in local time: hours for a day, days for a week or a month,
    // months for a year; labels where there is room.
    static const char *const months[12]
        = { "xan", "feb", "mar", "abr", "mai", "xuñ", "xul", "ago", "set", "out", "nov", "dec" };
    LocalTime l = toLocalTime(axes.from);
    std::time_t t = d.span == ChartSpan::Day ? fromLocalTime(l.year, l.month, l.day, l.hour + 1)
        : d.span == ChartSpan::Year          ? fromLocalTime(l.year, l.month + 1, 1)
                                    : fromLocalTime(l.year, l.month, l.day + (l.hour || l.minute ? 1 : 0));
    int index = 0;
    for (; t <= axes.to; ++index) {
        l = toLocalTime(t);
        const double xx = x(t);
        QString label;
        bool major = false;
        switch (d.span) {
        case ChartSpan::Day:
            major = l.hour % 3 == 0;
            if (major)
                label = QString::asprintf("%02d:00", l.hour);
            break;
        case ChartSpan::Week:
            major = true;
            label = QString::asprintf("%02d/%02d", l.day, l.month);
            break;
        case ChartSpan::Month:
            major = l.day % 5 == 1;
            if (major)
                label = QString::asprintf("%02d/%02d", l.day, l.month);
            break;
        case ChartSpan::Year:
            major = true;
            label = QString::fromUtf8(months[l.month - 1]);
            break;
        }
        p.setPen(QPen(major ? QColor(210, 210, 215) : QColor(235, 235, 238), 1));
        p.drawLine(QPointF(xx, area.top()), QPointF(xx, area.bottom()));
        p.setPen(Qt::black);
        p.drawLine(QPointF(xx, area.bottom()), QPointF(xx, area.bottom() + (major ? 5 : 3)));
        if (!label.isEmpty())
            p.drawText(
                QRectF(xx - 40, area.bottom() + 5, 80, fm.height()), Qt::AlignHCenter | Qt::AlignTop, label);
        if (d.span == ChartSpan::Day)
            t = fromLocalTime(l.year, l.month, l.day, l.hour + 1);
        else if (d.span == ChartSpan::Year)
            t = fromLocalTime(l.year, l.month + 1, 1);
        else
            t = fromLocalTime(l.year, l.month, l.day + 1);
    }
    p.drawText(QRectF(area.left(), size.height() - fm.height() - 3, area.width(), fm.height()),
        Qt::AlignCenter,
        d.span == ChartSpan::Day ? QStringLiteral("hora local") : QStringLiteral("data (hora local)"));

    p.setClipRect(area.adjusted(-1, -1, 1, 1));
    if (d.empty()) {
        p.setPen(Qt::gray);
        p.drawText(area, Qt::AlignCenter, QStringLiteral("Sen datos no arquivo"));
    } else if (d.bars()) {
        QColor fill = colour;
        fill.setAlpha(200);
        for (const ChartData::Bucket &b : d.buckets) {
            if (b.max <= 0)
                continue;
            const double left = x(b.start), right = x(b.end);
            const double inset = std::min(1.0, (right - left) / 4);
            p.fillRect(QRectF(QPointF(left + inset, y(b.max)), QPointF(right - inset, y(0))), fill);
        }
    } else if (!d.buckets.isEmpty()) {
        // The band from min to max, the mean through it; gaps stay gaps.
        QColor band = colour;
        band.setAlpha(60);
        auto flush = [&](qsizetype from, qsizetype to) {
            if (from >= to)
                return;
            QPainterPath area;
            QPolygonF mean;
            for (qsizetype i = from; i < to; ++i) {
                const ChartData::Bucket &b = d.buckets[i];
                const double mid = (x(b.start) + x(b.end)) / 2;
                if (i == from)
                    area.moveTo(mid, y(b.max));
                else
                    area.lineTo(mid, y(b.max));
                mean << QPointF(mid, y(b.mean));
            }
            for (qsizetype i = to - 1; i >= from; --i) {
                const ChartData::Bucket &b = d.buckets[i];
                area.lineTo((x(b.start) + x(b.end)) / 2, y(b.min));
            }
            area.closeSubpath();
            p.fillPath(area, band);
            p.setPen(QPen(colour, 1.5));
            if (mean.size() == 1)
                p.drawEllipse(mean.first(), 1.5, 1.5);
            else
                p.drawPolyline(mean);
        };
        qsizetype start = 0;
        for (qsizetype i = 1; i <= d.buckets.size(); ++i) {
            if (i == d.buckets.size() || d.buckets[i].start > d.buckets[i - 1].end + 60) {
                flush(start, i);
                start = i;
            }
        }
    } else {
        // Reading by reading; more than half an hour without one breaks the line.
        p.setPen(QPen(colour, 1.5));
        QPolygonF line;
        for (qsizetype i = 0; i < d.points.size(); ++i) {
            if (i > 0 && d.points[i].t - d.points[i - 1].t > 1800) {
                line.size() == 1 ? p.drawEllipse(line.first(), 1.5, 1.5) : p.drawPolyline(line);
                line.clear();
            }
            line << QPointF(x(d.points[i].t), y(d.points[i].value));
        }
        line.size() == 1 ? p.drawEllipse(line.first(), 1.5, 1.5) : p.drawPolyline(line);
    }
    p.setClipping(false);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(area);
    return image;
}

bool writeWebCharts(const ReadingArchive &archive, const QString &station, const QString &folder,
    std::time_t now, QString *error)
{
    static constexpr ChartQuantity quantities[5] = { ChartQuantity::Temperatura, ChartQuantity::Humidade,
        ChartQuantity::Presion, ChartQuantity::Vento, ChartQuantity::Choiva };
    QStringList failures;
    for (int i = 0; i < 5; ++i) {
        const QImage image
            = drawChart(loadChart(archive, station, quantities[i], ChartSpan::Day, now), kWebChartSize);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        const QString path = folder + QLatin1String(kWebChartNames[i]);
        QString why;
        if (!image.save(&buffer, "PNG"))
            failures << path + QStringLiteral(": PNG not encoded");
        else if (!replaceFile(path, png, &why))
            failures << why;
    }
    if (!failures.isEmpty()) {
        qCWarning(lcHistory).noquote() << "web charts not written:" << failures.join(QStringLiteral("; "));
        if (error)
            *error = failures.join(QStringLiteral("; "));
        return false;
    }
    qCInfo(lcHistory).noquote() << "web charts written:" << (folder.isEmpty() ? QStringLiteral(".") : folder);
    return true;
}

PeriodExtremesTexts periodExtremes(const ReadingArchive &archive, const QString &station, int year, int month)
{
    const QString from = QString::asprintf("%04d-%02d-01 00:00:00", year, month ? month : 1);
    const QString to = month == 0 || month == 12
        ? QString::asprintf("%04d-01-01 00:00:00", year + 1)
        : QString::asprintf("%04d-%02d-01 00:00:00", year, month + 1);
    const ArchiveExtremes e = archive.extremes(station, from, to);
    PeriodExtremesTexts t;
    if (e.hours == 0)
        return t;
    auto when = [](const QString &instant) {
        // 'YYYY-MM-DD HH:MM:SS' as the console shows dates: dd/mm/yyyy hh:mm:ss.
        return instant.isEmpty()
            ? QString()
            : instant.mid(8, 2) + u'/' + instant.mid(5, 2) + u'/' + instant.left(4) + u' ' + instant.mid(11);
    };
    if (!e.temperatureMaxAt.isEmpty()) {
        t.temperatureMax = QString::number(e.temperatureMax, 'f', 1);
        t.temperatureMaxAt = when(e.temperatureMaxAt);
        t.temperatureMin = QString::number(e.temperatureMin, 'f', 1);
        t.temperatureMinAt = when(e.temperatureMinAt);
    }
    t.rain = QString::number(e.rain, 'f', 1);
    return t;
}

} // namespace orvalla
