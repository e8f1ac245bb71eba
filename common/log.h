#pragma once

#include <initializer_list>

#include <QByteArray>
#include <QLoggingCategory>
#include <QTimer>

// One category per area; every significant event is one line on standard error.
Q_DECLARE_LOGGING_CATEGORY(lcStation)
Q_DECLARE_LOGGING_CATEGORY(lcRecording)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcPublish)
Q_DECLARE_LOGGING_CATEGORY(lcNet)
Q_DECLARE_LOGGING_CATEGORY(lcExcel)
Q_DECLARE_LOGGING_CATEGORY(lcWebcam)
Q_DECLARE_LOGGING_CATEGORY(lcHistory)
Q_DECLARE_LOGGING_CATEGORY(lcApp)

namespace orvalla
{

// The form of every log line: local date and time to the millisecond, the
// category, the text ("2026-12-07 10:14:30.125 orvalla.net: ..."). The
// console sets it first thing; QT_MESSAGE_PATTERN still overrides it.
void installLogFormat();

// Lines of one category that would otherwise cost a system call each under
// load (one per HTTP request). Each is stamped when noted, in the form above;
// they are written together at most flushMs later, or as soon as many wait.
class BufferedLog
{
public:
    explicit BufferedLog(const QLoggingCategory &category, int flushMs = 200);
    ~BufferedLog();
    BufferedLog(const BufferedLog &) = delete;
    BufferedLog &operator=(const BufferedLog &) = delete;

    bool isEnabled() const { return m_category.isInfoEnabled(); }
    void append(const QByteArray &text) { append({ QByteArrayView(text) }); }
    // One line from its pieces, without joining them first.
    void append(std::initializer_list<QByteArrayView> pieces);
    void flush();
    // Where the lines go: standard error unless set (tests).
    void setFd(int fd) { m_fd = fd; }

private:
    const QLoggingCategory &m_category;
    QByteArray m_pending;
    QTimer m_timer;
    int m_fd = 2;
    qint64 m_stampSecs = -1;
    QByteArray m_stamp; // "yyyy-MM-dd HH:mm:ss." of m_stampSecs, local time
};

} // namespace orvalla
