#include "app/message_sink.h"
#include "app/orvalla.h"
#include "app/orvalla_application.h"
#include "app/signal_close.h"
#include "common/clock.h"
#include "common/log.h"

#include <QDir>
#include <QGuiApplication>

#include <clocale>
#include <exception>
#include <memory>

int main(int argc, char **argv)
{
    orvalla::installLogFormat();
    const bool offscreen = orvalla::chooseOffscreenWithoutDisplay();
    orvalla::OrvallaApplication app(argc, argv);
    // Files get their numbers in the C format whatever the operator's locale.
    std::setlocale(LC_NUMERIC, "C");
    qCInfo(lcApp, "Orvalla %s starting in %s%s", ORVALLA_VERSION, qUtf8Printable(QDir::currentPath()),
        offscreen ? " (offscreen)" : "");
    // Offscreen also when asked for explicitly, as the service unit does.
    std::unique_ptr<orvalla::MessageSink> logSink;
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        logSink = std::make_unique<orvalla::LogMessageSink>();
        app.setMessageSink(logSink.get());
    }
    try {
        orvalla::SignalCloser closer;
        orvalla::SystemClock clock;
        orvalla::TOrvalla window(clock, logSink.get());
        closer.setWindow(&window);
        if (closer.closeRequested()) {
            // A signal came while start-up still ran.
            window.close();
            return 0;
        }
        window.show();
        const int rc = app.exec();
        qCInfo(lcApp, "Orvalla ends");
        return rc;
    } catch (const std::exception &e) {
        app.reportException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        app.reportException(QString());
    }
    return 1;
}
