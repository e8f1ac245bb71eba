#include "net/http_server.h"
#include "publish/http_switch.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <unistd.h>

using namespace orvalla;

class TestE2eHttpSwitch : public QObject
{
    Q_OBJECT

    // GET over loopback; the whole answer, or empty when nobody listens.
    static QByteArray get(quint16 port, const QByteArray &path)
    {
        QTcpSocket s;
        QEventLoop loop;
        connect(&s, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
        connect(&s, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        QByteArray got;
        connect(&s, &QTcpSocket::readyRead, &s, [&] { got += s.readAll(); });
        connect(&s, &QTcpSocket::connected, &s, [&] { s.write("GET " + path + " HTTP/1.0\r\n\r\n"); });
        s.connectToHost(QHostAddress::LocalHost, port);
        loop.exec();
        return got + s.readAll();
    }

private Q_SLOTS:
    void tickUntickTickLeavesOneServer()
    {
        QTemporaryDir tmp;
        QFile page(tmp.filePath("Orvalla.htm"));
        QVERIFY(page.open(QIODevice::WriteOnly) && page.write("pagina") == 6);
        page.close();

        HttpServer server;
        server.setAddr(QStringLiteral("127.0.0.1"));
        HttpSwitch sw(&server);
        QCOMPARE(sw.port(), QStringLiteral("80"));
        sw.setPort(QStringLiteral("0"));
        QSignalSpy status(&sw, &HttpSwitch::statusChanged);

        // Blanks around the texts are not part of folder or name.
        const QString folder = QLatin1Char(' ') + tmp.path() + QStringLiteral("/ ");
        QVERIFY(sw.SetHttpServerActive(true, folder, QStringLiteral(" Orvalla.htm ")));
        QVERIFY(server.isListening());
        const quint16 first = server.serverPort();
        QVERIFY(get(first, "/").endsWith("\r\n\r\npagina"));
        QVERIFY(sw.statusText().contains(QString::number(first)));

        QVERIFY(sw.SetHttpServerActive(false, folder, QStringLiteral("Orvalla.htm")));
        QVERIFY(!server.isListening());
        QCOMPARE(get(first, "/"), QByteArray());

        QVERIFY(sw.SetHttpServerActive(true, tmp.path(), QStringLiteral("Orvalla.htm")));
        QVERIFY(server.isListening());
        const quint16 second = server.serverPort();
        QVERIFY(get(second, "/Orvalla.htm").endsWith("pagina"));
        if (second != first)
            QCOMPARE(get(first, "/"), QByteArray());
        QCOMPARE(status.size(), 3);

        // Ticked again while running: still the one server, with the new texts.
        QVERIFY(sw.SetHttpServerActive(true, tmp.path(), QStringLiteral("falta.htm")));
        QCOMPARE(server.serverPort(), second);
        QVERIFY(get(second, "/").startsWith("HTTP/1.0 404 Not Found"));
    }

    void settingsFileIsNeverServed()
    {
        // An empty folder serves the working folder, where meteo.cfg keeps
        // the passwords: that one file must stay private.
        QTemporaryDir tmp;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(tmp.path()));
        for (const char *name : { "meteo.cfg", "Orvalla.htm" }) {
            QFile f(tmp.filePath(QString::fromLatin1(name)));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("Clave de ftp = segredo\r\n") > 0);
        }
        QVERIFY(QFile::link(tmp.filePath("meteo.cfg"), tmp.filePath("alias.txt")));
        // Another name for the same file is no way round it either.
        QCOMPARE(::link(QFile::encodeName(tmp.filePath("meteo.cfg")).constData(),
                     QFile::encodeName(tmp.filePath("hard.txt")).constData()),
            0);

        HttpServer server;
        server.setAddr(QStringLiteral("127.0.0.1"));
        HttpSwitch sw(&server);
        sw.setPort(QStringLiteral("0"));
        QVERIFY(sw.SetHttpServerActive(true, QString(), QStringLiteral("Orvalla.htm")));
        const quint16 port = server.serverPort();
        QVERIFY(get(port, "/Orvalla.htm").endsWith("segredo\r\n"));
        for (const QByteArray path :
            { "/meteo.cfg", "/./meteo.cfg", "/%6Deteo.cfg", "/alias.txt", "/hard.txt" }) {
            const QByteArray answer = get(port, path);
            QVERIFY2(answer.startsWith("HTTP/1.0 403"), path.constData());
            QVERIFY(!answer.contains("segredo"));
        }
        QVERIFY(QDir::setCurrent(previous));
    }

    void portTakenIsReported()
    {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost, 0));
        HttpServer server;
        server.setAddr(QStringLiteral("127.0.0.1"));
        HttpSwitch sw(&server);
        sw.setPort(QString::number(other.serverPort()));
        QSignalSpy status(&sw, &HttpSwitch::statusChanged);
        QVERIFY(!sw.SetHttpServerActive(true, QStringLiteral("/nonexistent/"), QStringLiteral("x.htm")));
        QVERIFY(!server.isListening());
        QCOMPARE(status.size(), 1);
        QVERIFY2(sw.statusText().startsWith(
                     QStringLiteral("Non se pode abrir o porto %1: outro programa").arg(other.serverPort())),
            qPrintable(sw.statusText()));

        // Freed: the next tick starts, and the folder that does not exist is
        // accepted (requests get error answers).
        const quint16 port = other.serverPort();
        other.close();
        QVERIFY(sw.SetHttpServerActive(true, QStringLiteral("/nonexistent/"), QStringLiteral("x.htm")));
        QVERIFY(get(port, "/").startsWith("HTTP/1.0 404 Not Found"));
    }

    void heldPortIsRetriedUntilFreeOrUnticked()
    {
        QTemporaryDir tmp;
        QFile page(tmp.filePath("b.htm"));
        QVERIFY(page.open(QIODevice::WriteOnly) && page.write("segunda") == 7);
        page.close();

        auto other = std::make_unique<QTcpServer>();
        QVERIFY(other->listen(QHostAddress::LocalHost, 0));
        const quint16 port = other->serverPort();
        HttpServer server;
        server.setAddr(QStringLiteral("127.0.0.1"));
        HttpSwitch sw(&server);
        QCOMPARE(sw.retryInterval(), 60000);
        sw.setRetryInterval(50);
        sw.setPort(QString::number(port));
        QSignalSpy status(&sw, &HttpSwitch::statusChanged);

        // Unticked while waiting: no later retry takes the port.
        QVERIFY(!sw.SetHttpServerActive(true, tmp.path(), QStringLiteral("a.htm")));
        QVERIFY(sw.isRetrying());
        QVERIFY(sw.SetHttpServerActive(false, tmp.path(), QStringLiteral("a.htm")));
        QVERIFY(!sw.isRetrying());
        other.reset();
        QTest::qWait(200);
        QVERIFY(!server.isListening());

        other = std::make_unique<QTcpServer>();
        QVERIFY(other->listen(QHostAddress::LocalHost, port));
        QVERIFY(!sw.SetHttpServerActive(true, tmp.path(), QStringLiteral("a.htm")));
        // Retries while held say nothing new.
        QTest::qWait(200);
        QVERIFY(sw.isRetrying());
        QVERIFY(!server.isListening());
        QCOMPARE(status.size(), 3);
        QVERIFY(status.last().first().toString().startsWith(QStringLiteral("Non se pode abrir o porto")));

        // Ticked again with other texts while waiting: the retry serves those.
        QVERIFY(!sw.SetHttpServerActive(true, tmp.path(), QStringLiteral("b.htm")));
        other.reset();
        QTRY_VERIFY(server.isListening());
        QVERIFY(!sw.isRetrying());
        QCOMPARE(server.serverPort(), port);
        QCOMPARE(status.size(), 4);
        QCOMPARE(sw.statusText(), QStringLiteral("Servidor escoitando no porto %1").arg(port));
        QVERIFY(get(port, "/").endsWith("\r\n\r\nsegunda"));
    }
};

QTEST_GUILESS_MAIN(TestE2eHttpSwitch)
#include "test_e2e_http_switch.moc"
