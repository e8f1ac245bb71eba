#pragma once

#include "common/clock.h"
#include "station/reading.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace orvalla
{

// The console's own clock, as of the latest tick; month 1..12, four-digit year.
using ClockFields = LocalTime;

// Galician month name for 1..12; empty outside.
QString galicianMonthName(int month);

// Text of an interval record: the minute table's line of the current reading
// when that reading falls inside (start, now] of today, else a time stamp of the
// clock with nothing after it. minuteLine gives the table's line for a minute.
QByteArray intervalRecordText(const ClockFields &c, int logIntervalSeconds, const Reading &r,
    const std::function<QByteArray(int)> &minuteLine);

// Operator text of "envío correo (min)" / "intervalo ftp (min)" turned into a
// whole number of minutes; out-of-range values become 1440. Empty when the text
// is not a whole number (*error then holds the message for the operator).
std::optional<int> armMinutes(const QString &text, QString *error);

// What the tick needs from its owner. Each step of a later area is one hook,
// so those areas plug in here without touching the tick itself.
class ClockTickHooks
{
public:
    virtual ~ClockTickHooks() = default;

    // Inputs read when a step needs them.
    virtual bool mailAuto() const = 0;
    virtual bool ftpAuto() const = 0;
    virtual bool webcamAuto() const = 0;
    virtual bool receptionActive() const = 0;
    virtual std::int32_t mailTime() const = 0;
    virtual std::int32_t ftpInterval() const = 0;
    virtual std::int32_t logInterval() const = 0;
    virtual const Reading &currentReading() const = 0;
    // Column 1 of the minute table for minute k of the day (row k + 1).
    virtual QByteArray minuteTableLine(int minuteOfDay) const = 0;
    // The tracker's tick counter lives in its state record.
    virtual std::int32_t &tickDivider() = 0;

    // Steps.
    virtual void showClock(const ClockFields &c) = 0;
    virtual void setMailPendingBox(bool checked) = 0;
    virtual void appendIntervalRecord(const QByteArray &record) = 0;
    virtual void startWebcamShot() = 0;
    // The report mail, dated with the clock: body, queue cleared, subject,
    // abort, send. The same operation as the "enviar correo" button.
    virtual void sendReportMail(const ClockFields &c) = 0;
    virtual void showFtpRemaining(std::int32_t seconds) = 0;
    virtual void abortFtpIfConnected() = 0;
    virtual void updateHtmlPage() = 0;
    virtual void updateWorkbook() = 0;
    virtual void writeFeedFiles() = 0;
    virtual void startUploadBatch() = 0;
    virtual void pollLink() = 0;
    virtual void updateDailyExtremes() = 0;

    // A step threw: the tick carries on; the owner tells the operator.
    virtual void stepFailed(const QString &step, const QString &what) = 0;
};

// The one-second clock tick: the scheduler of all periodic work.
class ClockTick
{
public:
    ClockTick(const Clock &clock, ClockTickHooks &hooks);

    // Start-up: clock fields to now, flags cleared, countdown 0.
    void reset();
    // One tick (the timer's handler).
    void Timer_reloxoTimer();

    const ClockFields &clockFields() const { return m_clock; }
    bool minuteChanged() const { return m_minuteChanged; }
    void setMinuteChanged(bool on) { m_minuteChanged = on; }
    // Consumed by simulated reception.
    bool &minuteChangedFlag() { return m_minuteChanged; }
    bool mailPending() const { return m_mailPending; }
    void setMailPending(bool on) { m_mailPending = on; }
    std::int32_t ftpCountdown() const { return m_ftpCountdown; }
    void setFtpCountdown(std::int32_t v) { m_ftpCountdown = v; }
    int lastStorageMinute() const { return m_lastStorageMinute; }
    bool running() const { return m_guard; }

private:
    template <typename F> void step(const char *name, F &&f);
    void intervalRecord();
    void dailyMail();
    void publishingBatch();

    const Clock &m_time;
    ClockTickHooks &m_hooks;
    ClockFields m_clock;
    bool m_minuteChanged = false;
    bool m_mailPending = false;
    std::int32_t m_ftpCountdown = 0;
    int m_lastStorageMinute = 0;
    bool m_guard = false;
    bool m_badIntervalLogged = false;
};

} // namespace orvalla
