#include "app/orvalla.h"
#include "app/orvalla_application.h"
#include "app/signal_close.h"
#include "common/clock.h"
#include "common/log.h"

#include <QDir>

#include <clocale>
#include <exception>

int main(int argc, char **argv)
{
    orvalla::installLogFormat();
    const bool offscreen = orvalla::chooseOffscreenWithoutDisplay();
    orvalla::OrvallaApplication app(argc, argv);
    // Files get their numbers in the C format whatever the operator's locale.
    std::setlocale(LC_NUMERIC, "C");
    qCInfo(lcApp, "Orvalla %s starting in %s%s", ORVALLA_VERSION, qUtf8Printable(QDir::currentPath()),
        offscreen ? " (offscreen)" : "");
    try {
        orvalla::SignalCloser closer;
        orvalla::SystemClock clock;
        orvalla::TOrvalla window(clock);
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
