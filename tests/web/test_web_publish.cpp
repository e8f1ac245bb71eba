#include "publish/feed_files.h"
#include "publish/html_page.h"
#include "tests/support/builders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvalla;

namespace
{

// 12.3 C, 65.3 %, 1013.2 mbar, 250 W/m2, no rain, 5 km/h from 180, 3.8 V,
// 12.4 mA, read on 7 December 2026 at 10:15:00.
Reading exampleReading()
{
    Reading r = testsupport::typicalReading();
    r.battery_voltage = 3.8f;
    r.charge_current = 12.4f;
    return r;
}

ReadingScreenTexts exampleScreen()
{
    return { QStringLiteral("07/12/2026"), QStringLiteral("10:15:00") };
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

const QByteArray kDashes = "*DHTM=---\n*DLTM=---\n*DHHM=---\n*DLHM=---\n*DHBR=---\n*DLBR=---\n*DGST=---\n";
const QByteArray kPeriodDashes = "*MHTM=---\n*MLTM=---\n*MHHM=---\n*MLHM=---\n*MHBR=---\n*MLBR=---\n"
                                 "*MGST=---\n*MPCP=---\n*YHTM=---\n*YLTM=---\n*YHHM=---\n*YLHM=---\n"
                                 "*YHBR=---\n*YLBR=---\n*YGST=---\n*YPCP=---\n*EOT*\n";

} // namespace

class TestWebPublish : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void markerValues_data()
    {
        QTest::addColumn<Reading>("reading");
        QTest::addColumn<ReadingScreenTexts>("screen");
        QTest::addColumn<QList<QByteArray>>("values");

        QTest::newRow("example") << exampleReading() << exampleScreen()
                                 << QList<QByteArray> { "12,3", "65,3", "07/12/2026  10:15:00", "1013,2",
                                        " 250,0", " 0,0", " 5,0 km/h, 180\xBA", " 3,8 V,   12 mA" };
        QTest::newRow("before first reading")
            << Reading {} << ReadingScreenTexts {}
            << QList<QByteArray> { " 0,0", " 0,0", "data  hora", "   0,0", "   0,0", " 0,0",
                   " 0,0 km/h,   0\xBA", " 0,0 V,    0 mA" };
        Reading odd;
        odd.pressure = 999.5f;
        odd.temperature = -0.5f;
        odd.wind_speed = 12;
        odd.wind_direction = 45;
        QTest::newRow("low pressure, frost, NE wind")
            << odd << ReadingScreenTexts {}
            << QList<QByteArray> { "-0,5", " 0,0", "data  hora", " 999,5", "   0,0", " 0,0",
                   "12,0 km/h,  45\xBA", " 0,0 V,    0 mA" };
    }

    void markerValues()
    {
        QFETCH(Reading, reading);
        QFETCH(ReadingScreenTexts, screen);
        QFETCH(QList<QByteArray>, values);
        for (int k = 1; k <= 8; ++k)
            QCOMPARE(htmlMarkerValue(k, reading, screen), values[k - 1]);
    }

    void templateFilling_data()
    {
        QTest::addColumn<QByteArray>("templ");
        QTest::addColumn<QByteArray>("page");

        QTest::newRow("no markers, LF")
            << QByteArray("<p>a</p>\n<p>b</p>\n") << QByteArray("<p>a</p>\r\n<p>b</p>\r\n");
        QTest::newRow("no markers, CR LF kept single")
            << QByteArray("a\r\nb\r\n") << QByteArray("a\r\nb\r\n");
        QTest::newRow("last line without end") << QByteArray("a\nb") << QByteArray("a\r\nb");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("marker twice")
            << QByteArray("T=##1## again ##1##\n") << QByteArray("T=12,3 again ##1##\r\n");
        QTest::newRow("any order")
            << QByteArray("##8##|##3##|##1##\r\n##7##|##2##|##6##|##5##|##4##")
            << QByteArray(
                   " 3,8 V,   12 mA|07/12/2026  10:15:00|12,3\r\n 5,0 km/h, 180\xBA|65,3| 0,0| 250,0|1013,2");
        QTest::newRow("broken markers untouched")
            << QByteArray("#1## ##9## ##1# ###2## ") << QByteArray("#1## ##9## ##1# #65,3 ");
        QTest::newRow("high bytes pass") << QByteArray("\xBA\xF3\n") << QByteArray("\xBA\xF3\r\n");
    }

    void templateFilling()
    {
        QFETCH(QByteArray, templ);
        QFETCH(QByteArray, page);
        QCOMPARE(fillHtmlTemplate(templ, exampleReading(), exampleScreen()), page);
    }

    void pageFileWrittenFromFolderPlusName()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.path() + QLatin1Char('/');
        QVERIFY(writeBytes(folder + "Orvalla.txt", "<b>##1##</b>\n<i>##3##</i>\n"));
        const HtmlPageTexts texts { folder, QStringLiteral("Orvalla.txt"), QStringLiteral("Orvalla.htm") };
        QString error;
        QVERIFY2(UpdateHtmlPage(texts, exampleReading(), exampleScreen(), &error), qPrintable(error));
        QCOMPARE(
            fileBytes(folder + "Orvalla.htm"), QByteArray("<b>12,3</b>\r\n<i>07/12/2026  10:15:00</i>\r\n"));

        // A new page name takes effect at once; the old page stays.
        const HtmlPageTexts renamed { folder, QStringLiteral("Orvalla.txt"), QStringLiteral("nova.htm") };
        QVERIFY(UpdateHtmlPage(renamed, Reading {}, ReadingScreenTexts {}));
        QCOMPARE(fileBytes(folder + "nova.htm"), QByteArray("<b> 0,0</b>\r\n<i>data  hora</i>\r\n"));
        QCOMPARE(
            fileBytes(folder + "Orvalla.htm"), QByteArray("<b>12,3</b>\r\n<i>07/12/2026  10:15:00</i>\r\n"));

        // An empty template makes an empty page (the file exists).
        QVERIFY(writeBytes(folder + "baleiro.txt", QByteArray()));
        QVERIFY(UpdateHtmlPage({ folder, QStringLiteral("baleiro.txt"), QStringLiteral("b.htm") },
            exampleReading(), exampleScreen()));
        QVERIFY(QFile::exists(folder + "b.htm"));
        QCOMPARE(fileBytes(folder + "b.htm"), QByteArray());
    }

    void failuresKeepThePreviousPage()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.path() + QLatin1Char('/');
        QVERIFY(writeBytes(folder + "Orvalla.htm", "old page"));
        QString error;
        QVERIFY(!UpdateHtmlPage({ folder, QStringLiteral("falta.txt"), QStringLiteral("Orvalla.htm") },
            exampleReading(), exampleScreen(), &error));
        QVERIFY(error.contains(QLatin1String("falta.txt")));
        QCOMPARE(fileBytes(folder + "Orvalla.htm"), QByteArray("old page"));

        // Page folder missing: reported, nothing created.
        QVERIFY(writeBytes(folder + "t.txt", "##1##"));
        QVERIFY(!UpdateHtmlPage({ folder, QStringLiteral("t.txt"), QStringLiteral("non/existe.htm") },
            exampleReading(), exampleScreen(), &error));
        QVERIFY(!error.isEmpty());

        // Nothing is inserted between folder and name.
        QVERIFY(UpdateHtmlPage({ tmp.path(), QStringLiteral("/t.txt"), QStringLiteral("/p.htm") },
            exampleReading(), exampleScreen()));
        QCOMPARE(fileBytes(folder + "p.htm"), QByteArray("12,3"));
    }

    void feedContents_data()
    {
        QTest::addColumn<Reading>("reading");
        QTest::addColumn<ReadingScreenTexts>("screen");
        QTest::addColumn<QByteArray>("awekas");
        QTest::addColumn<QByteArray>("summary");
        QTest::addColumn<QByteArray>("meteoclimatic");

        QTest::newRow("example")
            << exampleReading() << exampleScreen()
            << QByteArray("12.3\n65.3\n1013.2\n0.0\n5.0\n180\n10:15\n07.12.2026\n+0.0\n")
            << QByteArray("data: 07/12/2026\nhora: 10:15:00\ntemperatura: 12,3 \xBA"
                          "C\n"
                          "humidade: 65,3 %\npresi\xF3n: 1013,2 mbar\nradiaci\xF3n solar: 250,0 W/m2\n"
                          "choiva:  0,0 mm\nvelocidade vento:   5 km/h\ndirecci\xF3n vento: 180 \xBA\n"
                          "tensi\xF3n bater\xED"
                          "a:  3,8 V\nintensidade carga: 12,4 mA\n")
            << QByteArray("*VER=DATA2\n*COD=ESXYZ0000000000000X\n*UPD=07/12/26 10:15\n*SKY=\n*TMP=12.3\n"
                          "*WND=05.0\n*AZI=180\n*BAR=1013.2\n*HUM=65.3\n*SUN=0250.0\n")
                + kDashes + "*DPCP=00.0\n" + kPeriodDashes;

        QTest::newRow("zero reading")
            << Reading {} << ReadingScreenTexts {}
            << QByteArray("0.0\n0.0\n0000.0\n0.0\n0.0\n000\n00:00\n00.00.0000\n+0.0\n")
            << QByteArray("data: data\nhora: hora\ntemperatura:  0,0 \xBA"
                          "C\nhumidade:  0,0 %\n"
                          "presi\xF3n:    0,0 mbar\nradiaci\xF3n solar:  0,0 W/m2\nchoiva:  0,0 mm\n"
                          "velocidade vento:   0 km/h\ndirecci\xF3n vento: 000 \xBA\n"
                          "tensi\xF3n bater\xED"
                          "a:  0,0 V\nintensidade carga:  0,0 mA\n")
            << QByteArray("*VER=DATA2\n*COD=ESXYZ0000000000000X\n*UPD=00/00/00 00:00\n*SKY=\n*TMP=0.0\n"
                          "*WND=00.0\n*AZI=000\n*BAR=00.0\n*HUM=0.0\n*SUN=0000.0\n")
                + kDashes + "*DPCP=00.0\n" + kPeriodDashes;

        Reading cold;
        cold.temperature = -2.5f;
        cold.pressure = 999.5f;
        cold.wind_direction = 45;
        cold.year = 2026;
        QTest::newRow("cold, low pressure")
            << cold << ReadingScreenTexts {}
            << QByteArray("-2.5\n0.0\n0999.5\n0.0\n0.0\n045\n00:00\n00.00.2026\n+0.0\n")
            << QByteArray("data: data\nhora: hora\ntemperatura: -2,5 \xBA"
                          "C\nhumidade:  0,0 %\n"
                          "presi\xF3n:  999,5 mbar\nradiaci\xF3n solar:  0,0 W/m2\nchoiva:  0,0 mm\n"
                          "velocidade vento:   0 km/h\ndirecci\xF3n vento: 045 \xBA\n"
                          "tensi\xF3n bater\xED"
                          "a:  0,0 V\nintensidade carga:  0,0 mA\n")
            << QByteArray("*VER=DATA2\n*COD=ESXYZ0000000000000X\n*UPD=00/00/26 00:00\n*SKY=\n*TMP=-2.5\n"
                          "*WND=00.0\n*AZI=045\n*BAR=999.5\n*HUM=0.0\n*SUN=0000.0\n")
                + kDashes + "*DPCP=00.0\n" + kPeriodDashes;
    }

    void feedContents()
    {
        QFETCH(Reading, reading);
        QFETCH(ReadingScreenTexts, screen);
        QFETCH(QByteArray, awekas);
        QFETCH(QByteArray, summary);
        QFETCH(QByteArray, meteoclimatic);

        QTemporaryDir tmp;
        QString error;
        QVERIFY2(WriteFeedFiles(reading, screen, QStringLiteral("tarvelo"), tmp.path(), &error),
            qPrintable(error));
        QCOMPARE(fileBytes(tmp.filePath("awekas.txt")), awekas);
        QCOMPARE(fileBytes(tmp.filePath("tarvelo_medida.txt")), summary);
        const QByteArray mc = fileBytes(tmp.filePath("meteoclimatic.htm"));
        QCOMPARE(mc, meteoclimatic);
        QCOMPARE(mc.count('\n'), 35);
        QVERIFY(!(awekas + summary + mc).contains('\r'));
    }

    void feedFileThatCannotBeWrittenIsSkipped()
    {
        QTemporaryDir tmp;
        // A folder in the way of the summary: the other two files are still written.
        QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("tarvelo_medida.txt")));
        QString error;
        QVERIFY(!WriteFeedFiles(
            exampleReading(), exampleScreen(), QStringLiteral("tarvelo"), tmp.path(), &error));
        QVERIFY2(error.contains(QLatin1String("tarvelo_medida.txt")), qPrintable(error));
        QCOMPARE(fileBytes(tmp.filePath("awekas.txt")), awekasFeed(exampleReading()));
        QCOMPARE(fileBytes(tmp.filePath("meteoclimatic.htm")), meteoclimaticFeed(exampleReading()));
    }

    void localUpdateRunsPageThenFeeds()
    {
        QTemporaryDir web;
        QTemporaryDir work;
        const QString folder = web.path() + QLatin1Char('/');
        // Template missing: the page fails, the feed files are still written.
        QString error;
        QVERIFY(!UpdateHtmlPageAndFeedFiles(
            { folder, QStringLiteral("Orvalla.txt"), QStringLiteral("Orvalla.htm") }, exampleReading(),
            exampleScreen(), QStringLiteral("tarvelo"), work.path(), &error));
        QVERIFY(error.contains(QLatin1String("Orvalla.txt")));
        QVERIFY(QFile::exists(work.filePath("awekas.txt")));
        QVERIFY(!QFile::exists(folder + "Orvalla.htm"));

        QVERIFY(writeBytes(folder + "Orvalla.txt", "##2##"));
        QVERIFY(UpdateHtmlPageAndFeedFiles(
            { folder, QStringLiteral("Orvalla.txt"), QStringLiteral("Orvalla.htm") }, exampleReading(),
            exampleScreen(), QStringLiteral("tarvelo"), work.path(), &error));
        QCOMPARE(fileBytes(folder + "Orvalla.htm"), QByteArray("65,3"));
    }
};

QTEST_GUILESS_MAIN(TestWebPublish)
#include "test_web_publish.moc"
