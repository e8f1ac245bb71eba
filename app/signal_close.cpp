#include "app/signal_close.h"

#include "common/log.h"

#include <QApplication>
#include <QMainWindow>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvalla
{

namespace
{

int g_pipe[2] = { -1, -1 };

extern "C" void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

SignalCloser::SignalCloser(QObject *parent)
    : QObject(parent)
{
    if (g_pipe[0] >= 0)
        return; // one per process
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
        qCWarning(lcApp, "cannot create the signal socket pair: %s", std::strerror(errno));
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalCloser::readSignal);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

SignalCloser::~SignalCloser()
{
    if (!m_notifier)
        return;
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void SignalCloser::readSignal()
{
    char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1) {
        qCInfo(lcApp, "signal %d received: closing the window", int(byte));
        m_requested = true;
        if (!m_window) {
            // Still being made: its start-up may be waiting for the office.
            for (QWidget *w : QApplication::topLevelWidgets()) {
                if (qobject_cast<QMainWindow *>(w))
                    setWindow(w);
            }
        }
        if (m_window)
            m_window->close();
        else
            QCoreApplication::exit(0);
    }
}

void SignalCloser::setWindow(QWidget *window)
{
    if (m_window == window)
        return;
    if (m_window)
        m_window->removeEventFilter(this);
    m_window = window;
    if (m_window)
        m_window->installEventFilter(this);
}

bool SignalCloser::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_requested || watched != m_window || event->type() != QEvent::Close)
        return false;
    // Handled here to learn whether the window took the close, its own
    // shutdown done: only then may every loop end, nested ones included (a
    // message box shown during start-up), which quit() would not do before
    // the main loop runs. A close the window puts off comes again later.
    watched->event(event);
    if (event->isAccepted())
        QCoreApplication::exit(0);
    return true;
}

} // namespace orvalla
