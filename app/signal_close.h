#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class QSocketNotifier;

namespace orvalla
{

// SIGTERM and SIGINT close the window as the operator's close does: the
// handler only writes the signal number into a socket pair; the event loop
// reads it and closes the window, so the shutdown runs on the GUI thread. The
// window may put its close off (a workbook call is running) and close later by
// itself: the application leaves its loops once the window has taken a close.
class SignalCloser : public QObject
{
    Q_OBJECT
public:
    explicit SignalCloser(QObject *parent = nullptr);
    ~SignalCloser() override;
    bool isInstalled() const { return m_notifier != nullptr; }
    // The window to close. A signal that came before it exists is remembered.
    void setWindow(QWidget *window);
    bool closeRequested() const { return m_requested; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void readSignal();

    QPointer<QWidget> m_window;
    QSocketNotifier *m_notifier = nullptr;
    bool m_requested = false;
};

} // namespace orvalla
