// The SMTP client against scripted peers on loopback: each case makes the
// server answer one way and checks what the client sent and reported.

#include "net/smtp_client.h"

#include "scripted_smtp_server.h"

#include <QHostInfo>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace orvalla;

namespace
{

struct Run {
    QStringList display;
    QList<QPair<int, int>> done;
};

void configure(SmtpClient &c, quint16 port)
{
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = QString::number(port);
    c.SignOn = QStringLiteral("meu dominio");
    c.Username = QStringLiteral("orvalla");
    c.Password = QStringLiteral("segredo");
    c.AuthType = SmtpClient::Auth::Login;
    c.HdrFrom = QStringLiteral("estacion@example.org");
    c.HdrTo = QStringLiteral("a@example.org");
    c.HdrSubject = QStringLiteral("proba");
    c.RcptName = QStringList { "a@example.org", "Bea <b@example.org>", "c@example.org" };
    c.MailMessage = QStringList { "liña 1", ".", "fin" };
}

void record(SmtpClient &c, Run &run)
{
    QObject::connect(&c, &SmtpClient::display, &c, [&run](const QString &l) { run.display << l; });
    QObject::connect(&c, &SmtpClient::requestDone, &c, [&run](int request, int error) {
        run.done.append({ request, error });
    });
}

QString expectedMessage(SmtpClient &c)
{
    try {
        c.mail();
    } catch (const SmtpException &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

class TestSmtpClient : public QObject
{
    Q_OBJECT

    // A willing server and a client set up to mail through it.
    std::unique_ptr<ScriptedSmtpServer> server;
    std::unique_ptr<SmtpClient> client;
    Run run;

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<ScriptedSmtpServer>();
        client = std::make_unique<SmtpClient>();
        configure(*client, server->port());
        run = {};
        record(*client, run);
    }

    void cleanup()
    {
        client.reset();
        server.reset();
    }

    void openAndQuit()
    {
        QSignalSpy connected(client.get(), &SmtpClient::sessionConnected);
        QSignalSpy closed(client.get(), &SmtpClient::sessionClosed);

        client->open();
        QVERIFY(!client->ready());
        QTRY_COMPARE(run.done.size(), 1);
        QCOMPARE(run.done[0], qMakePair(int(SmtpOpen), 0));
        QVERIFY(client->connected());
        QVERIFY(client->esmtp());
        QCOMPARE(connected.size(), 1);
        QCOMPARE(connected[0][0].toInt(), 0);
        QCOMPARE(server->commands,
            (QList<QByteArray> { "EHLO meu_dominio", "AUTH LOGIN", "b3J2YWxsYQ==", "c2VncmVkbw==" }));
        // The multi-line EHLO reply is shown line by line and answered once.
        QCOMPARE(run.display.mid(0, 5),
            (QStringList { "< 220 scripted ESMTP ready", "> EHLO meu_dominio", "< 250-scripted greets you",
                "< 250-8BITMIME", "< 250 AUTH LOGIN" }));
        QVERIFY(!run.display.join('\n').contains("c2VncmVkbw=="));

        client->quit();
        QTRY_COMPARE(run.done.size(), 2);
        QCOMPARE(run.done[1], qMakePair(int(SmtpQuit), 0));
        QVERIFY(!client->connected());
        QCOMPARE(closed.size(), 1);
    }

    void ehloRefusedFallsBackToHelo()
    {
        server->script = [](const QByteArray &line) -> std::optional<QByteArray> {
            if (line.startsWith("EHLO"))
                return QByteArray("500 what\r\n");
            return std::nullopt;
        };
        client->SignOn.clear();
        client->open();
        QTRY_COMPARE(run.done.size(), 1);
        // The open reports the refused EHLO, but the session is usable.
        QCOMPARE(run.done[0], qMakePair(int(SmtpOpen), 500));
        const QByteArray host = QHostInfo::localHostName().toLatin1();
        QCOMPARE(server->commands, (QList<QByteArray> { "EHLO " + host, "HELO " + host }));
        QVERIFY(client->connected());
        QVERIFY(!client->esmtp());
    }

    void secondOfThreeRecipientsRefused()
    {
        server->script = [](const QByteArray &line) -> std::optional<QByteArray> {
            if (line == "RCPT TO:<b@example.org>")
                return QByteArray("550 no such user\r\n");
            return std::nullopt;
        };
        client->open();
        QTRY_COMPARE(run.done.size(), 1);
        client->mail();
        QTRY_COMPARE(run.done.size(), 2);
        QCOMPARE(run.done[1], qMakePair(int(SmtpMail), 550));
        QCOMPARE(client->lastReply(), QStringLiteral("550 no such user"));
        QCOMPARE(server->commands.mid(4),
            (QList<QByteArray> { "MAIL FROM:<>", "RCPT TO:<a@example.org>", "RCPT TO:<b@example.org>" }));
        QVERIFY(client->ready());
        QVERIFY(client->connected());
    }

    void authenticationRefusedStillMails()
    {
        server->script = [](const QByteArray &line) -> std::optional<QByteArray> {
            if (line == "c2VncmVkbw==")
                return QByteArray("535 bad credentials\r\n");
            if (line.startsWith("MAIL"))
                return QByteArray("530 authentication required\r\n");
            return std::nullopt;
        };
        client->open();
        QTRY_COMPARE(run.done.size(), 1);
        QCOMPARE(run.done[0], qMakePair(int(SmtpOpen), 535));
        QVERIFY(client->connected());
        client->mail();
        QTRY_COMPARE(run.done.size(), 2);
        QCOMPARE(run.done[1], qMakePair(int(SmtpMail), 530));
        QCOMPARE(server->commands.last(), QByteArray("MAIL FROM:<>"));
    }

    void connectFailures_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("error");
        QTest::newRow("refused") << "127.0.0.1"
                                 << "closed" << int(SmtpErrorRefused);
        QTest::newRow("unknown host") << "host.invalid"
                                      << "25" << int(SmtpErrorHostNotFound);
        QTest::newRow("bad port") << "127.0.0.1"
                                  << "no-such-service" << int(SmtpErrorInvalidPort);
    }

    void connectFailures()
    {
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(int, error);
        if (port == "closed") {
            // A port that was just free: nothing listens there.
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = QString::number(probe.serverPort());
        }
        client->Host = host;
        client->Port = port;
        QSignalSpy connected(client.get(), &SmtpClient::sessionConnected);
        client->open();
        QVERIFY(run.done.isEmpty()); // never inside the call
        QTRY_COMPARE(run.done.size(), 1);
        QCOMPARE(run.done[0], qMakePair(int(SmtpOpen), error));
        QVERIFY(client->lastReply().startsWith("500 "));
        QVERIFY2(client->lastReply().endsWith(QStringLiteral(" (socket error #%1)").arg(error)),
            qPrintable(client->lastReply()));
        QCOMPARE(connected.size(), 1);
        QCOMPARE(connected[0][0].toInt(), error);
        QVERIFY(!client->connected());
        QVERIFY(client->ready());
    }

    void greetingRefusedOrGarbled_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<int>("error");
        QTest::newRow("554") << QByteArray("554 go away\r\n") << 554;
        QTest::newRow("not smtp") << QByteArray("HTTP/1.0 400 Bad Request\r\n") << 500;
    }

    void greetingRefusedOrGarbled()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(int, error);
        server->greeting = greeting;
        QSignalSpy closed(client.get(), &SmtpClient::sessionClosed);
        client->open();
        QTRY_COMPARE(run.done.size(), 1);
        QCOMPARE(run.done[0], qMakePair(int(SmtpOpen), error));
        QVERIFY(!client->connected());
        QCOMPARE(closed.size(), 1);
        QVERIFY(server->commands.isEmpty());
    }

    void connectionClosedDuringMail()
    {
        server->script = [](const QByteArray &line) -> std::optional<QByteArray> {
            if (line.startsWith("RCPT"))
                return QByteArray("CLOSE");
            return std::nullopt;
        };
        client->open();
        QTRY_COMPARE(run.done.size(), 1);
        client->mail();
        QTRY_COMPARE(run.done.size(), 2);
        QCOMPARE(run.done[1], qMakePair(int(SmtpMail), int(SmtpErrorClosed)));
        QVERIFY(!client->connected());
        // A fresh open works after the drop.
        client->open();
        QTRY_COMPARE(run.done.size(), 3);
        QCOMPARE(run.done[2], qMakePair(int(SmtpOpen), 0));
        QCOMPARE(server->connections, 2);
    }

    void replyArrivingInPieces()
    {
        server->greeting.clear();
        client->AuthType = SmtpClient::Auth::None;
        client->open();
        QTRY_COMPARE(server->connections, 1);
        server->send("220-first");
        QCoreApplication::processEvents();
        server->send(" line\r\n220 second\r\n");
        QTRY_COMPARE(run.done.size(), 1);
        QCOMPARE(run.done[0], qMakePair(int(SmtpOpen), 0));
        QCOMPARE(run.display.mid(0, 2), (QStringList { "< 220-first line", "< 220 second" }));
    }

    void abortEndsRunningRequestAtOnce()
    {
        server->script = [](const QByteArray &line) -> std::optional<QByteArray> {
            if (line.startsWith("MAIL"))
                return QByteArray(); // never answers
            return std::nullopt;
        };
        QSignalSpy closed(client.get(), &SmtpClient::sessionClosed);
        client->open();
        QTRY_COMPARE(run.done.size(), 1);
        client->mail();
        QTRY_COMPARE(server->commands.last(), QByteArray("MAIL FROM:<>"));
        client->abort();
        QCOMPARE(run.done.size(), 2);
        QCOMPARE(run.done[1], qMakePair(int(SmtpMail), int(SmtpErrorClosed)));
        QVERIFY(client->ready());
        QVERIFY(!client->connected());
        QCOMPARE(closed.size(), 1);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(run.done.size(), 2); // nothing stale arrives later
    }

    void refusedRequests()
    {

        QCOMPARE(expectedMessage(*client), QStringLiteral("SMTP client not connected"));
        client->open();
        QVERIFY_THROWS_EXCEPTION(SmtpException, client->quit());
        QCOMPARE(expectedMessage(*client), QStringLiteral("SMTP client not ready"));
        QTRY_COMPARE(run.done.size(), 1);
        try {
            client->open();
            QFAIL("a second open went through");
        } catch (const SmtpException &e) {
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("SMTP client already connected"));
        }
        client->RcptName.clear();
        QCOMPARE(expectedMessage(*client), QStringLiteral("Recipient list is empty"));
        QVERIFY(client->ready());
    }

    void longMessageIsPacedAndComplete()
    {
        QStringList body;
        for (int i = 0; i < 3000; ++i)
            body << QStringLiteral("%1 ").arg(i) + QString(60, u'x');
        body << QStringLiteral("dúas\r\nliñas") << QStringLiteral("\n.");
        client->MailMessage = body;
        client->open();
        QTRY_COMPARE(run.done.size(), 1);
        client->mail();
        QTRY_COMPARE_WITH_TIMEOUT(run.done.size(), 2, 20000);
        QCOMPARE(run.done[1], qMakePair(int(SmtpMail), 0));
        const qsizetype blank = server->dataLines.indexOf(QByteArray());
        const QList<QByteArray> got = server->dataLines.mid(blank + 1);
        QCOMPARE(got.size(), 3000 + 4);
        QCOMPARE(got[2999], "2999 " + QByteArray(60, 'x'));
        // Embedded line breaks never reach the wire inside a line.
        QCOMPARE(got.mid(3000),
            (QList<QByteArray> { "d\xFA"
                                 "as",
                "li\xF1"
                "as",
                "", ".." }));
    }
};

QTEST_GUILESS_MAIN(TestSmtpClient)
#include "test_smtp_client.moc"
