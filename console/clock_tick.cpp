#include "console/clock_tick.h"

#include <limits>

#include "common/log.h"
#include "common/text.h"

#include <exception>

namespace orvalla
{

QString galicianMonthName(int month)
{
    static const char *const names[12] = { "Xaneiro", "Febreiro", "Marzo", "Abril", "Maio", "Xuño", "Xullo",
        "Agosto", "Setembro", "Outubro", "Novembro", "Decembro" };
    if (month < 1 || month > 12)
        return QString();
    return QString::fromUtf8(names[month - 1]);
}

QByteArray intervalRecordText(const ClockFields &c, int logIntervalSeconds, const Reading &r,
    const std::function<QByteArray(int)> &minuteLine)
{
    const int now = c.hour * 60 + c.minute;
    const int start = now - logIntervalSeconds / 60;
    const int readingMinute = r.hour * 60 + r.minute;
    const long long readingDate = (long long)r.year * 10000 + (long long)r.month * 100 + r.day;
    const long long today = (long long)c.year * 10000 + (long long)c.month * 100 + c.day;
    if (start < readingMinute && readingMinute <= now && readingDate == today)
        return minuteLine(readingMinute);
    return formatC("%02d/%02d/%04d %02d:%02d:%02d ", c.day, c.month, c.year, c.hour, c.minute, c.second);
}

std::optional<int> armMinutes(const QString &text, QString *error)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok) {
        if (error)
            *error = QStringLiteral("'%1' is not a valid integer value").arg(text);
        return std::nullopt;
    }
    if (value < 0 || value > 1440)
        return 1440;
    return value;
}

ClockTick::ClockTick(const Clock &clock, ClockTickHooks &hooks)
    : m_time(clock)
    , m_hooks(hooks)
{
    reset();
}

void ClockTick::reset()
{
    const LocalTime t = m_time.localNow();
    m_clock = t;
    m_minuteChanged = false;
    m_mailPending = false;
    m_ftpCountdown = 0;
}

template <typename F> void ClockTick::step(const char *name, F &&f)
{
    // A failing step must not stop the later steps nor leave the guard set.
    try {
        f();
    } catch (const std::exception &e) {
        qCWarning(lcApp, "clock tick: step %s failed: %s", name, e.what());
        m_hooks.stepFailed(QString::fromLatin1(name), QString::fromLocal8Bit(e.what()));
    } catch (...) {
        qCWarning(lcApp, "clock tick: step %s failed", name);
        m_hooks.stepFailed(QString::fromLatin1(name), QString());
    }
}

void ClockTick::Timer_reloxoTimer()
{
    // Both counters may come from a damaged state file or run for decades:
    // they stop at their top instead of overflowing.
    if (m_ftpCountdown < std::numeric_limits<std::int32_t>::max())
        ++m_ftpCountdown;
    std::int32_t &divider = m_hooks.tickDivider();
    if (divider < std::numeric_limits<std::int32_t>::max())
        ++divider;
    if (m_guard)
        return;
    m_guard = true;
    struct Release {
        bool &flag;
        ~Release() { flag = false; }
    } release { m_guard };

    step("clock", [this] {
        const LocalTime t = m_time.localNow();
        if (t.minute != m_clock.minute)
            m_minuteChanged = true;
        if (t.day != m_clock.day)
            m_mailPending = true;
        m_clock = t;
        if (m_mailPending)
            m_hooks.setMailPendingBox(true);
    });
    step("clock display", [this] { m_hooks.showClock(m_clock); });
    step("interval record", [this] { intervalRecord(); });
    step("daily mail", [this] { dailyMail(); });
    step("publishing", [this] { publishingBatch(); });
    step("link poll", [this] {
        if (m_hooks.receptionActive())
            m_hooks.pollLink();
    });
    step("daily extremes", [this] {
        std::int32_t &divider = m_hooks.tickDivider();
        if (divider >= 10) {
            divider -= 10;
            m_hooks.updateDailyExtremes();
        }
    });
}

void ClockTick::intervalRecord()
{
    const std::int32_t interval = m_hooks.logInterval();
    if (interval <= 0) {
        // A zero or negative storage interval can only come from a hand-edited
        // settings file; storing nothing beats dividing by it.
        if (!m_badIntervalLogged)
            qCWarning(lcApp, "storage interval is %d s: no interval records are stored", int(interval));
        m_badIntervalLogged = true;
        return;
    }
    m_badIntervalLogged = false;
    if ((m_clock.minute * 60 + m_clock.second) % interval != 0)
        return;
    const QByteArray record = intervalRecordText(m_clock, interval, m_hooks.currentReading(),
        [this](int minute) { return m_hooks.minuteTableLine(minute); });
    m_hooks.appendIntervalRecord(record);
    m_lastStorageMinute = m_clock.hour * 60 + m_clock.minute;
    if (m_hooks.webcamAuto())
        m_hooks.startWebcamShot();
}

void ClockTick::dailyMail()
{
    if (!m_hooks.mailAuto())
        return;
    if (m_clock.hour * 3600 + m_clock.minute * 60 + m_clock.second < m_hooks.mailTime())
        return;
    if (!m_mailPending)
        return;
    m_mailPending = false;
    m_hooks.setMailPendingBox(false);
    qCInfo(lcApp, "daily mail: starting");
    m_hooks.sendReportMail(m_clock);
}

void ClockTick::publishingBatch()
{
    if (!m_hooks.ftpAuto())
        return;
    const std::int32_t interval = m_hooks.ftpInterval();
    m_hooks.showFtpRemaining(interval - m_ftpCountdown);
    if (m_ftpCountdown < interval)
        return;
    m_ftpCountdown -= interval;
    qCInfo(lcApp, "publishing batch: starting");
    m_hooks.abortFtpIfConnected();
    m_hooks.updateHtmlPage();
    m_hooks.updateWorkbook();
    m_hooks.writeFeedFiles();
    m_hooks.startUploadBatch();
}

} // namespace orvalla
