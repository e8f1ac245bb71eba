#pragma once

#include "common/clock.h"
#include "station/reading.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>
#include <type_traits>

namespace orvalla
{

class DailyReport;

// The daily-extremes record, stored byte for byte in maxmin.bin: twenty
// little-endian 4-byte fields, 80 bytes. Times of day and durations in
// seconds; instants in seconds since 1970 UTC.
struct MaxMinState {
    std::int32_t start_offset = 71700; // window start after local midnight
    std::int32_t period = 300; // window length
    std::int32_t window_day = 12;
    std::int32_t window_month = 6;
    std::int32_t window_year = 2005;
    std::int32_t min_readings = 24; // setting, shown only
    std::int32_t failure_limit = 3600; // setting, shown only
    std::int32_t failure_time = 0;
    std::int32_t reading_count = 0;
    float temp_min = 100.0f;
    float temp_max = -100.0f;
    float hum_min = 100.0f;
    float hum_max = 0.0f;
    std::int32_t active = 0;
    std::int32_t tick_divider = 0;
    std::int32_t last_reading_time = 0;
    // Note the order: maximum before minimum here.
    std::int32_t temp_max_time = 0;
    std::int32_t temp_min_time = 0;
    std::int32_t hum_max_time = 0;
    std::int32_t hum_min_time = 0;
};

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
static_assert(std::is_standard_layout_v<MaxMinState> && std::is_trivially_copyable_v<MaxMinState>);
static_assert(sizeof(MaxMinState) == 80);
static_assert(offsetof(MaxMinState, period) == 4);
static_assert(offsetof(MaxMinState, window_year) == 16);
static_assert(offsetof(MaxMinState, failure_limit) == 24);
static_assert(offsetof(MaxMinState, temp_min) == 36);
static_assert(offsetof(MaxMinState, hum_max) == 48);
static_assert(offsetof(MaxMinState, active) == 52);
static_assert(offsetof(MaxMinState, tick_divider) == 56);
static_assert(offsetof(MaxMinState, last_reading_time) == 60);
static_assert(offsetof(MaxMinState, temp_max_time) == 64);
static_assert(offsetof(MaxMinState, hum_min_time) == 76);

// The 80 bytes of the file.
QByteArray maxMinToBytes(const MaxMinState &state);
// Overwrites as many leading bytes of the record as given (at most 80).
void maxMinOverlay(MaxMinState &state, const QByteArray &bytes);

// Reads maxmin.bin over the record. A missing file leaves it as it is and is
// not an error; a file that exists but cannot be read is.
bool loadMaxMinState(const QString &folder, MaxMinState *state, QString *error = nullptr);
// Replaces maxmin.bin whole.
bool saveMaxMinState(const QString &folder, const MaxMinState &state, QString *error = nullptr);

// Window start S (local midnight of the window date plus start_offset) and end E.
std::time_t windowStart(const MaxMinState &state);
std::time_t windowEnd(const MaxMinState &state);

// The eighteen fields of the "Estadísticas" tab, as shown.
struct MaxMinTexts {
    QString ini, int_, fallo, ndatos; // Edit_maxmin_ini, _int, _fallo, _ndatos
    QString dataact, falloact, ndatosact; // Edit_maxmin_dataact, _falloact, _ndatosact
    QString tempmin, tempmax, hummin, hummax, activo; // Edit_maxmin_tempmin ... _activo
    QString ttempmin, ttempmax, thummin, thummax; // Edit_maxmin_ttempmin ... _thummax
    QString tini, tfin; // Edit_maxmin_tini, _tfin
};

// An extreme holds a measured value once a reading has set it: its time is
// then that reading's instant, 0 until then (the value is a starting value).
inline bool extremeHeld(std::int32_t extremeTime)
{
    return extremeTime != 0;
}

// The texts of the state; an extreme not held shows empty, value and time.
MaxMinTexts maxMinTexts(const MaxMinState &state);

// The daily extremes tracker. Holds the window's MaxMinState; the clock tick
// counts ticks into it and runs an evaluation about every ten seconds.
class DailyExtremes
{
public:
    // report may be null (no report is written then).
    explicit DailyExtremes(DailyReport *report, const QString &folder = {});

    MaxMinState &state() { return m_state; }
    const MaxMinState &state() const { return m_state; }

    // Start of every clock tick, before its guard: one more tick counted.
    void countTick();
    // End of a tick that ran: true (and ten ticks taken off) when an
    // evaluation is due.
    bool evaluationDue();

    // One evaluation with the current reading and the clock fields of this
    // tick; writes the daily report when a window closes and maxmin.bin
    // always. Returns false (with the reasons) if a file could not be written;
    // the state is updated all the same.
    bool UpdateDailyExtremes(const Reading &reading, const LocalTime &clock, QString *error = nullptr);

    // The screen texts of the current state.
    MaxMinTexts texts() const { return maxMinTexts(m_state); }

private:
    DailyReport *m_report;
    QString m_folder;
    MaxMinState m_state;
};

} // namespace orvalla
