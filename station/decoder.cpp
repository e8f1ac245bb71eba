#include "station/decoder.h"

#include "common/log.h"
#include "common/text.h"

#include <cmath>
#include <numbers>

namespace orvalla
{

namespace
{

using Extended = long double;

// The calibration constants are single-precision values: 6000 counts give
// 20.249998 degrees, not 20.25.
constexpr Extended kTemperatureStep = Extended(0.01f);
constexpr Extended kHumidityLinear = Extended(0.0405f);
constexpr Extended kHumidityQuadratic = Extended(0.0000028f);

QString pointText(const char *format, double value)
{
    return QString::fromLatin1(formatC(format, value));
}

} // namespace

Reading decodeReading(const FrameFields &fields, const Calibration &calibration, const LocalTime &clock)
{
    const std::int32_t raw0 = fields[0];
    const std::int32_t raw1 = fields[2];
    const std::int32_t raw2 = fields[4];
    const std::int32_t raw3 = fields[6];
    const std::int32_t raw4 = fields[8];
    const std::int32_t raw5 = fields[10];
    const std::int32_t raw6 = fields[12];
    const Extended vref = calibration.transmitter_vref;

    Reading r;
    r.temperature = float(Extended(raw0) * kTemperatureStep - 39.75L);
    // The square is taken in floating point: 0xFFFF squared does not fit 32 bits.
    const Extended humidity
        = -4.0L + kHumidityLinear * raw1 - kHumidityQuadratic * Extended(raw1) * Extended(raw1);
    r.humidity = humidity > 100.0L ? 100.0f : float(humidity);
    r.hour = clock.hour;
    r.minute = clock.minute;
    r.second = clock.second;
    r.day = clock.day;
    r.month = clock.month;
    r.year = clock.year;
    r.battery_voltage = float(Extended(raw2 >> 8) / 256 * vref);
    r.charge_current = float(Extended(raw2 & 255) / 256 * Extended(0.1) * 1000 * vref);
    if (calibration.barometer_cal == 0 || !std::isfinite(calibration.barometer_cal)) {
        qCWarning(lcStation) << "barometer calibration is" << calibration.barometer_cal
                             << "- pressure shown as 0 until it is set";
        r.pressure = 0;
    } else {
        r.pressure = float(Extended(raw3) / Extended(calibration.barometer_cal));
    }
    r.solar_radiation = float(Extended(raw4) / 4096 * 1000 * vref * Extended(calibration.pyranometer_cal));
    r.rain = float(raw5);
    r.wind_speed = float(raw6 >> 8);
    r.wind_direction = float((raw6 & 255) * 2);
    return r;
}

QByteArray readingLine(const Reading &r)
{
    QByteArray line
        = formatC("%02d/%02d/%04d %02d:%02d:%02d ", r.day, r.month, r.year, r.hour, r.minute, r.second);
    line += formatComma("temp=%4.1f\xBA"
                        "C ",
        double(r.temperature));
    line += formatComma("hum=%5.1f%% ", double(r.humidity));
    line += formatComma("pres=%6.1fmbar ", double(r.pressure));
    line += formatComma("rad=%6.1fWm2 ", double(r.solar_radiation));
    line += formatComma("vel=%3.0fkmh ", double(r.wind_speed));
    line += formatComma("dir=%3.0f\xBA ", double(r.wind_direction));
    line += formatComma("chv=%5.1fmm ", double(r.rain));
    line += formatComma("Vp=%4.2fV ", double(r.battery_voltage));
    line += formatComma("ic=%5.1fmA ", double(r.charge_current));
    return line;
}

QStringList readingScreenTexts(const Reading &r)
{
    return {
        pointText("%4.1f", double(r.temperature)),
        pointText("%4.1f", double(r.humidity)),
        QString::fromLatin1(formatC("%02d/%02d/%04d", r.day, r.month, r.year)),
        QString::fromLatin1(formatC("%02d:%02d:%02d", r.hour, r.minute, r.second)),
        pointText("%4.1f", double(r.pressure)),
        pointText("%4.1f", double(r.solar_radiation)),
        pointText("%4.1f", double(r.rain)),
        pointText("%4.1f", double(r.wind_speed)),
        pointText("%4.1f", double(r.wind_direction)),
        pointText("%4.1f", double(r.battery_voltage)),
        pointText("%5.1f", double(r.charge_current)),
    };
}

FrameFields simulatedFrame(int hour, int minute)
{
    FrameFields fields {};
    const float m = float(hour * 60 + minute);
    const double s = std::sin(double(m) * (1.0 / 1440) * 2 * std::numbers::pi);
    const float t = float(20 - 15 * s);
    fields[0] = std::int32_t((Extended(t) + 40) * 100);
    const float h = float(80 + 20 * s);
    fields[2] = std::int32_t((Extended(h) + 4) * 25);
    return fields;
}

QByteArray frameText(const RawValues &raw)
{
    QByteArray text("#%#%");
    text.reserve(kFrameLength);
    for (const std::int32_t value : raw) {
        const QByteArray field = formatC(" %04X", unsigned(value) & 0xFFFFu);
        text += field;
        text += field;
    }
    text += "\n\r";
    return text;
}

bool convertCalibration(const QString &calPirText, const QString &calBarText, const QString &vrefTxText,
    Calibration &calibration, QString *error, const QLocale &locale)
{
    // Digit grouping is no part of these numbers: "3.920" in a decimal-comma
    // locale is a mistake, not 3920.
    QLocale numbers = locale;
    numbers.setNumberOptions(numbers.numberOptions() | QLocale::RejectGroupSeparator);
    // The compiled-in texts ("3,92") carry a decimal comma; where the system
    // writes a point they are still read as the operator sees them.
    const bool pointSystem = numbers.decimalPoint() == QLatin1String(".");
    const auto toFloat = [&](const QString &text, bool *ok) {
        const float value = numbers.toFloat(text, ok);
        if (*ok || !pointSystem || !text.contains(QLatin1Char(',')))
            return value;
        return numbers.toFloat(QString(text).replace(QLatin1Char(','), QLatin1Char('.')), ok);
    };
    const auto convert = [&](const QString &text, float &out) {
        bool ok = false;
        const float value = toFloat(text, &ok);
        if (!ok || !std::isfinite(value)) {
            if (error)
                *error = QStringLiteral("'%1' non é un número válido").arg(text);
            return false;
        }
        out = value;
        return true;
    };

    if (!convert(calPirText, calibration.pyranometer_cal))
        return false;
    float barometer = 0;
    if (!convert(calBarText, barometer))
        return false;
    if (barometer == 0) {
        if (error)
            *error = QStringLiteral("A calibración do barómetro non pode ser 0");
        return false;
    }
    calibration.barometer_cal = barometer;
    return convert(vrefTxText, calibration.transmitter_vref);
}

} // namespace orvalla
