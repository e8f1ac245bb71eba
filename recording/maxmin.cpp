#include "recording/maxmin.h"

#include "common/files.h"
#include "common/log.h"
#include "common/text.h"
#include "recording/dailyreport.h"
#include "recording/recordingfiles.h"

#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>

namespace orvalla
{

namespace
{

using Words = std::array<quint32, 20>;
static_assert(sizeof(Words) == sizeof(MaxMinState));

QString hhmm(std::int32_t seconds)
{
    return QString::fromLatin1(formatC("%02d:%02d", seconds / 3600, seconds % 3600 / 60));
}

QString dateTime(std::time_t instant)
{
    const LocalTime t = toLocalTime(instant);
    return QString::fromLatin1(
        formatC("%02d/%02d/%04d  %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute, t.second));
}

} // namespace

QByteArray maxMinToBytes(const MaxMinState &state)
{
    Words words;
    std::memcpy(words.data(), &state, sizeof state);
    QByteArray bytes(sizeof state, Qt::Uninitialized);
    for (std::size_t i = 0; i < words.size(); ++i)
        qToLittleEndian(words[i], bytes.data() + 4 * i);
    return bytes;
}

void maxMinOverlay(MaxMinState &state, const QByteArray &bytes)
{
    QByteArray all = maxMinToBytes(state);
    std::memcpy(all.data(), bytes.constData(), std::min<std::size_t>(bytes.size(), all.size()));
    Words words;
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = qFromLittleEndian<quint32>(all.constData() + 4 * i);
    std::memcpy(static_cast<void *>(&state), words.data(), sizeof state);
}

bool loadMaxMinState(const QString &folder, MaxMinState *state, QString *error)
{
    const QString path = pathIn(folder, QString::fromLatin1(kMaxMinFileName));
    if (!QFileInfo::exists(path))
        return true;
    QByteArray bytes;
    QString why;
    if (!readFile(path, &bytes, &why, sizeof(MaxMinState))) {
        qCWarning(lcRecording).noquote() << "daily extremes state not loaded:" << why;
        if (error)
            *error = why;
        return false;
    }
    maxMinOverlay(*state, bytes);
    return true;
}

bool saveMaxMinState(const QString &folder, const MaxMinState &state, QString *error)
{
    QString why;
    if (!replaceFile(pathIn(folder, QString::fromLatin1(kMaxMinFileName)), maxMinToBytes(state), &why)) {
        qCWarning(lcRecording).noquote() << "daily extremes state not saved:" << why;
        if (error)
            *error = why;
        return false;
    }
    return true;
}

std::time_t windowStart(const MaxMinState &state)
{
    // A damaged maxmin.bin may hold any date. One whose year or month cannot
    // even be put into the C conversion counts as a failed conversion (-1);
    // the next evaluation then moves the window date to today.
    constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    if (state.window_year < lowest + 1900 || state.window_month == lowest)
        return std::time_t(-1) + state.start_offset;
    return fromLocalTime(state.window_year, state.window_month, state.window_day) + state.start_offset;
}

std::time_t windowEnd(const MaxMinState &state)
{
    return windowStart(state) + state.period;
}

MaxMinTexts maxMinTexts(const MaxMinState &s)
{
    MaxMinTexts t;
    t.ini = hhmm(s.start_offset);
    t.int_ = hhmm(s.period);
    t.fallo = hhmm(s.failure_limit);
    t.ndatos = QString::number(s.min_readings);
    t.dataact = QString::fromLatin1(formatC("%02d/%02d/%04d", s.window_day, s.window_month, s.window_year));
    t.falloact = hhmm(s.failure_time);
    t.ndatosact = QString::number(s.reading_count);
    const auto temperature = [](float value) {
        return fromCp1252(formatC("%4.1f\xBA"
                                  "C",
            double(value)));
    };
    const auto humidity = [](float value) { return QString::fromLatin1(formatC("%4.1f%%", double(value))); };
    // Until a reading sets an extreme, the record holds its starting value,
    // which is no measurement: that value and its time stay empty.
    if (extremeHeld(s.temp_min_time)) {
        t.tempmin = temperature(s.temp_min);
        t.ttempmin = dateTime(s.temp_min_time);
    }
    if (extremeHeld(s.temp_max_time)) {
        t.tempmax = temperature(s.temp_max);
        t.ttempmax = dateTime(s.temp_max_time);
    }
    if (extremeHeld(s.hum_min_time)) {
        t.hummin = humidity(s.hum_min);
        t.thummin = dateTime(s.hum_min_time);
    }
    if (extremeHeld(s.hum_max_time)) {
        t.hummax = humidity(s.hum_max);
        t.thummax = dateTime(s.hum_max_time);
    }
    t.activo = QString::number(s.active);
    t.tini = dateTime(windowStart(s));
    t.tfin = dateTime(windowEnd(s));
    return t;
}

DailyExtremes::DailyExtremes(DailyReport *report, const QString &folder)
    : m_report(report)
    , m_folder(folder)
{
}

void DailyExtremes::countTick()
{
    // A counter restored from a damaged file must not overflow.
    if (m_state.tick_divider < std::numeric_limits<std::int32_t>::max())
        ++m_state.tick_divider;
}

bool DailyExtremes::evaluationDue()
{
    if (m_state.tick_divider < 10)
        return false;
    m_state.tick_divider -= 10;
    return true;
}

bool DailyExtremes::UpdateDailyExtremes(const Reading &reading, const LocalTime &clock, QString *error)
{
    MaxMinState &s = m_state;
    const std::time_t S = windowStart(s);
    const std::time_t E = S + s.period;
    const std::time_t N
        = fromLocalTime(clock.year, clock.month, clock.day, clock.hour, clock.minute, clock.second);
    // All zero before the first reading: converts to an instant before any window.
    const std::time_t T = fromLocalTime(
        reading.year, reading.month, reading.day, reading.hour, reading.minute, reading.second);
    const int Y = toLocalTime(N).dayOfYear;

    QStringList problems;
    if (s.active == 0) {
        if (S <= N && N <= E) {
            s.failure_time = std::int32_t(N - S);
            s.reading_count = 0;
            s.temp_min = 100.0f;
            s.temp_max = -100.0f;
            s.hum_min = 100.0f;
            s.hum_max = 0.0f;
            s.temp_max_time = s.temp_min_time = s.hum_max_time = s.hum_min_time = 0;
            s.last_reading_time = 0;
            s.active = 1;
        } else if (N > E) {
            s.window_day = clock.day;
            s.window_month = clock.month;
            s.window_year = clock.year;
        }
    } else if (s.active == 1) {
        if (S <= N && N <= E) {
            if (T >= S) {
                if (N - T > s.failure_time)
                    s.failure_time = std::int32_t(N - T);
                if (T != s.last_reading_time) {
                    s.last_reading_time = std::int32_t(T);
                    // A count restored from a damaged file must not overflow.
                    if (s.reading_count < std::numeric_limits<std::int32_t>::max())
                        ++s.reading_count;
                }
                const float t = reading.temperature;
                const float h = reading.humidity;
                if (t > s.temp_max) {
                    s.temp_max = t;
                    s.temp_max_time = std::int32_t(T);
                }
                if (t < s.temp_min) {
                    s.temp_min = t;
                    s.temp_min_time = std::int32_t(T);
                }
                if (h > s.hum_max) {
                    s.hum_max = h;
                    s.hum_max_time = std::int32_t(T);
                }
                if (h < s.hum_min) {
                    s.hum_min = h;
                    s.hum_min_time = std::int32_t(T);
                }
            } else {
                const std::time_t R = s.last_reading_time >= S ? std::time_t(s.last_reading_time) : S;
                if (N - R > s.failure_time)
                    s.failure_time = std::int32_t(N - R);
            }
        }
        if (N < S) {
            s.active = 0; // clock set back, or the window moved: no report
        } else if (N > E) {
            s.active = 0;
            qCInfo(lcRecording) << "daily extremes window closed; report for day" << Y + 1;
            QString why;
            if (m_report && !m_report->WriteDailyReport(Y, s, &why))
                problems << why;
        }
    }

    QString why;
    if (!saveMaxMinState(m_folder, s, &why))
        problems << QStringLiteral("daily extremes state not saved: %1").arg(why);
    if (problems.isEmpty())
        return true;
    if (error)
        *error = problems.join(QStringLiteral("; "));
    return false;
}

} // namespace orvalla
