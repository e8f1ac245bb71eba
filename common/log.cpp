#include "common/log.h"

#include <QDateTime>

#include <cerrno>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcStation, "orvalla.station")
Q_LOGGING_CATEGORY(lcRecording, "orvalla.recording")
Q_LOGGING_CATEGORY(lcSettings, "orvalla.settings")
Q_LOGGING_CATEGORY(lcPublish, "orvalla.publish")
Q_LOGGING_CATEGORY(lcNet, "orvalla.net")
Q_LOGGING_CATEGORY(lcExcel, "orvalla.excel")
Q_LOGGING_CATEGORY(lcWebcam, "orvalla.webcam")
Q_LOGGING_CATEGORY(lcHistory, "orvalla.history")
Q_LOGGING_CATEGORY(lcApp, "orvalla.app")

namespace orvalla
{

void installLogFormat()
{
    // %{time format} is the local time of the message, as the operator's clock reads.
    qSetMessagePattern(
        QStringLiteral("%{time yyyy-MM-dd HH:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}"));
}

namespace
{

constexpr qsizetype kFlushBytes = 32 * 1024;

} // namespace

BufferedLog::BufferedLog(const QLoggingCategory &category, int flushMs)
    : m_category(category)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(flushMs);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { flush(); });
}

BufferedLog::~BufferedLog()
{
    flush();
}

void BufferedLog::append(std::initializer_list<QByteArrayView> pieces)
{
    if (!isEnabled())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 secs = now / 1000;
    if (secs != m_stampSecs) {
        // Formatting the local time is the dear part; it changes once a second.
        m_stampSecs = secs;
        m_stamp
            = QDateTime::fromSecsSinceEpoch(secs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.")).toLatin1();
    }
    const int ms = int(now % 1000);
    const char digits[3] = { char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10) };
    m_pending += m_stamp;
    m_pending.append(digits, 3);
    m_pending += ' ';
    m_pending += m_category.categoryName();
    m_pending += ": ";
    for (const QByteArrayView piece : pieces)
        m_pending += piece;
    m_pending += '\n';
    if (m_pending.size() >= kFlushBytes)
        flush();
    else if (!m_timer.isActive())
        m_timer.start();
}

void BufferedLog::flush()
{
    m_timer.stop();
    qsizetype done = 0;
    while (done < m_pending.size()) {
        const ssize_t n = ::write(m_fd, m_pending.constData() + done, size_t(m_pending.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break; // nowhere to write: the lines are dropped, as a lost terminal's would be
    }
    m_pending.resize(0); // keeps its capacity for the next lines
}

} // namespace orvalla
