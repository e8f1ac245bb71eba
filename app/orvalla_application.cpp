#include "app/orvalla_application.h"

#include "app/message_sink.h"
#include "common/log.h"

#include <exception>

namespace orvalla
{

OrvallaApplication::OrvallaApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Orvalla"));
    setApplicationVersion(QStringLiteral(ORVALLA_VERSION));
}

bool OrvallaApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        reportException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        reportException(QString());
    }
    return false;
}

void OrvallaApplication::reportException(const QString &what)
{
    qCCritical(lcApp, "unhandled exception in an event handler: %s", qUtf8Printable(what));
    // The dialog runs its own event loop; a second failure meanwhile is only logged.
    if (m_reporting)
        return;
    m_reporting = true;
    const QString text = what.isEmpty() ? QStringLiteral("Exception of unknown type") : what;
    if (m_sink) {
        m_sink->error(text);
    } else {
        MessageBoxSink box;
        box.error(text);
    }
    m_reporting = false;
}

bool chooseOffscreenWithoutDisplay()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return false;
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return false;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qCInfo(lcApp, "no display found (DISPLAY and WAYLAND_DISPLAY unset): running offscreen");
    return true;
}

} // namespace orvalla
