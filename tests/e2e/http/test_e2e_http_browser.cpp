#include "net/http_server.h"
#include "publish/html_page.h"
#include "publish/http_switch.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvalla;

// The page as a browser sees it: generated from a template, served by the
// switch's server, rendered by headless Chromium.
class TestE2eHttpBrowser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void renderedPageShowsTheReading()
    {
        const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        if (chromium.isEmpty())
            QSKIP("chromium is not installed (scripts/deps.sh installs it)");

        QTemporaryDir web;
        QTemporaryDir profile;
        const QString folder = web.path() + QLatin1Char('/');
        QFile templ(folder + "Orvalla.txt");
        QVERIFY(templ.open(QIODevice::WriteOnly));
        templ.write("<html><head><meta charset=\"windows-1252\"><title>Orvalla</title></head>\n"
                    "<body><p id=\"t\">##1##</p><p id=\"h\">##2##</p><p id=\"d\">##3##</p>\n"
                    "<p id=\"v\">##7##</p><p id=\"b\">##8##</p></body></html>\n");
        templ.close();

        Reading r;
        r.temperature = 12.3f;
        r.humidity = 65.3f;
        r.wind_speed = 5;
        r.wind_direction = 180;
        r.battery_voltage = 3.8f;
        r.charge_current = 12.4f;
        const ReadingScreenTexts screen { QStringLiteral("07/12/2026"), QStringLiteral("10:15:00") };
        QVERIFY(UpdateHtmlPage(
            { folder, QStringLiteral("Orvalla.txt"), QStringLiteral("Orvalla.htm") }, r, screen));

        HttpServer server;
        server.setAddr(QStringLiteral("127.0.0.1"));
        HttpSwitch sw(&server);
        sw.setPort(QStringLiteral("0"));
        QVERIFY(sw.SetHttpServerActive(true, folder, QStringLiteral("Orvalla.htm")));

        QProcess browser;
        browser.start(chromium,
            { "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--no-first-run", "--disable-sync",
                "--user-data-dir=" + profile.path(), "--dump-dom",
                QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()) });
        QSignalSpy finished(&browser, &QProcess::finished);
        QVERIFY(browser.waitForStarted(10000));
        if (!finished.wait(120000)) {
            browser.kill();
            browser.waitForFinished();
            QFAIL("chromium did not finish");
        }
        const QString dom = QString::fromUtf8(browser.readAllStandardOutput());
        QVERIFY2(dom.contains(QStringLiteral("<p id=\"t\">12,3</p>")), qPrintable(dom));
        QVERIFY(dom.contains(QStringLiteral("<p id=\"h\">65,3</p>")));
        QVERIFY(dom.contains(QStringLiteral("<p id=\"d\">07/12/2026  10:15:00</p>")));
        QVERIFY(dom.contains(QStringLiteral("<p id=\"v\"> 5,0 km/h, 180º</p>")));
        QVERIFY(dom.contains(QStringLiteral("<p id=\"b\"> 3,8 V,   12 mA</p>")));
    }
};

QTEST_GUILESS_MAIN(TestE2eHttpBrowser)
#include "test_e2e_http_browser.moc"
