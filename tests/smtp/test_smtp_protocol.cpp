#include "net/smtp_protocol.h"

#include <QRegularExpression>
#include <QtTest>

using namespace orvalla;

class TestSmtpProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replyLine_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("continued");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("consumed");

        QTest::newRow("final") << QByteArray("250 ok\r\nrest") << int(SmtpReplyLine::Complete) << 250 << false
                               << QByteArray("250 ok") << 8;
        QTest::newRow("continuation") << QByteArray("250-host\r\n250 ok\r\n") << int(SmtpReplyLine::Complete)
                                      << 250 << true << QByteArray("250-host") << 10;
        QTest::newRow("code alone") << QByteArray("221\r\n") << int(SmtpReplyLine::Complete) << 221 << false
                                    << QByteArray("221") << 5;
        QTest::newRow("leading blanks") << QByteArray("  354 go\r\n") << int(SmtpReplyLine::Complete) << 354
                                        << false << QByteArray("  354 go") << 10;
        QTest::newRow("bare LF") << QByteArray("235 yes\n") << int(SmtpReplyLine::Complete) << 235 << false
                                 << QByteArray("235 yes") << 8;
        QTest::newRow("no line end yet")
            << QByteArray("250-partial") << int(SmtpReplyLine::Incomplete) << 0 << false << QByteArray() << 0;
        QTest::newRow("CR without LF")
            << QByteArray("250 ok\r") << int(SmtpReplyLine::Incomplete) << 0 << false << QByteArray() << 0;
        QTest::newRow("empty") << QByteArray() << int(SmtpReplyLine::Incomplete) << 0 << false << QByteArray()
                               << 0;
        QTest::newRow("no code") << QByteArray("HTTP/1.0 400\r\n") << int(SmtpReplyLine::Bad) << 0 << false
                                 << QByteArray("HTTP/1.0 400") << 14;
        QTest::newRow("empty line") << QByteArray("\r\n250 ok\r\n") << int(SmtpReplyLine::Bad) << 0 << false
                                    << QByteArray() << 2;
        QTest::newRow("four digits") << QByteArray("2500 x\r\n") << int(SmtpReplyLine::Bad) << 0 << false
                                     << QByteArray("2500 x") << 8;
        QTest::newRow("code out of range")
            << QByteArray("099 x\r\n") << int(SmtpReplyLine::Bad) << 0 << false << QByteArray("099 x") << 7;
    }

    void replyLine()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, status);
        QFETCH(int, code);
        QFETCH(bool, continued);
        QFETCH(QByteArray, text);
        QFETCH(int, consumed);
        const SmtpReplyLine r = parseSmtpReplyLine(buffer);
        QCOMPARE(int(r.status), status);
        QCOMPARE(r.consumed, qsizetype(consumed));
        if (r.status == SmtpReplyLine::Complete) {
            QCOMPARE(r.code, code);
            QCOMPARE(r.continued, continued);
        }
        if (r.status != SmtpReplyLine::Incomplete)
            QCOMPARE(r.text, text);
    }

    void replyLineLongerThanReceiveBuffer()
    {
        // Without a line end, a full receive buffer can never become a line.
        const QByteArray big = "250 " + QByteArray(kSmtpReceiveBuffer, 'x');
        QCOMPARE(int(parseSmtpReplyLine(big).status), int(SmtpReplyLine::Bad));
        QCOMPARE(int(parseSmtpReplyLine(big.left(100)).status), int(SmtpReplyLine::Incomplete));
        QCOMPARE(int(parseSmtpReplyLine(big + "\r\n").status), int(SmtpReplyLine::Bad));

        // A line of exactly the limit is good, whether its CR LF comes with it or later.
        const QByteArray full = "250 " + QByteArray(kSmtpReceiveBuffer - 4, 'x');
        QCOMPARE(int(parseSmtpReplyLine(full + "\r\n").status), int(SmtpReplyLine::Complete));
        QCOMPARE(int(parseSmtpReplyLine(full).status), int(SmtpReplyLine::Incomplete));
        QCOMPARE(int(parseSmtpReplyLine(full + "\r").status), int(SmtpReplyLine::Incomplete));
    }

    void address_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("bare") << "ana@example.org"
                              << "ana@example.org";
        QTest::newRow("bare with blanks") << "  ana@example.org "
                                          << "ana@example.org";
        QTest::newRow("angle") << "Ana Pérez <ana@example.org>"
                               << "ana@example.org";
        QTest::newRow("angle unclosed") << "<ana@example.org"
                                        << "ana@example.org";
        QTest::newRow("quoted name") << "\"Ana Pérez\" ana@example.org"
                                     << "ana@example.org";
        QTest::newRow("name then address") << "Ana ana@example.org"
                                           << "ana@example.org";
        QTest::newRow("name only") << "Ana" << QString();
    }

    void address()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QCOMPARE(smtpAddress(text), address);
    }

    void addressHeader_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("one") << "ana@example.org" << QStringList { "To: ana@example.org" };
        QTest::newRow("three") << " a@x , b@y;c@z" << QStringList { "To: a@x,", "\tb@y,", "\tc@z" };
        QTest::newRow("comma in quotes")
            << "\"Pérez, Ana\" <a@x>, b@y" << QStringList { "To: \"Pérez, Ana\" <a@x>,", "\tb@y" };
        QTest::newRow("empty pieces") << "a@x,,;" << QStringList { "To: a@x" };
    }

    void addressHeader()
    {
        QFETCH(QString, value);
        QFETCH(QStringList, lines);
        QCOMPARE(smtpAddressHeader(QStringLiteral("To"), value), lines);
    }

    void dateHeader_data()
    {
        QTest::addColumn<QDateTime>("utc");
        QTest::addColumn<QString>("line");
        QTest::newRow("winter") << QDateTime(QDate(2026, 12, 7), QTime(9, 5, 3), Qt::UTC)
                                << "Date: Mon, 7 Dec 2026 09:05:03 GMT";
        QTest::newRow("sunday") << QDateTime(QDate(2024, 3, 31), QTime(23, 59, 59), Qt::UTC)
                                << "Date: Sun, 31 Mar 2024 23:59:59 GMT";
        QTest::newRow("saturday january")
            << QDateTime(QDate(2000, 1, 1), QTime(0, 0, 0), Qt::UTC) << "Date: Sat, 1 Jan 2000 00:00:00 GMT";
    }

    void dateHeader()
    {
        QFETCH(QDateTime, utc);
        QFETCH(QString, line);
        QCOMPARE(smtpDateHeader(utc), line);
    }

    void messageIdHeader()
    {
        const QDateTime t(QDate(2026, 7, 4), QTime(8, 9, 10, 45), Qt::UTC);
        QCOMPARE(smtpMessageIdHeader(t, { 0, 1, 0x7FFE, 255 }, QStringLiteral("estacion")),
            QStringLiteral("Message-ID: <20260704080910045.000000017FFE00FF@estacion>"));
    }

    void headerLines_data()
    {
        QTest::addColumn<SmtpHeaderFields>("fields");
        QTest::addColumn<QStringList>("lines");

        const QStringList tail { "Mime-Version: 1.0", "Content-Type: text/plain; charset=\"iso-8859-1\"",
            "DATE", "MID", "X-Mailer: Orvalla " ORVALLA_VERSION };
        SmtpHeaderFields report;
        report.from = QStringLiteral("estacion@example.org");
        report.to = QStringLiteral("ana@example.org");
        report.subject = QStringLiteral("información meteorolóxica");
        QTest::newRow("the report mail")
            << report
            << QStringList { "From: estacion@example.org", "To: ana@example.org",
                   "Subject: información meteorolóxica", "Sender: estacion@example.org" }
                + tail;

        SmtpHeaderFields all = report;
        all.replyTo = QStringLiteral("r1@x; r2@x");
        all.returnPath = QStringLiteral("<bounce@x>");
        all.cc = QStringLiteral("c@x");
        all.sender = QStringLiteral("s@x");
        QTest::newRow("every header") << all
                                      << QStringList { "Reply-To: r1@x,", "\tr2@x", "Return-Path: <bounce@x>",
                                             "From: estacion@example.org", "To: ana@example.org", "Cc: c@x",
                                             "Subject: información meteorolóxica", "Sender: s@x" }
                + tail;

        SmtpHeaderFields blank;
        blank.replyTo = QStringLiteral("  ");
        blank.sender = QStringLiteral(" ");
        blank.subject = QStringLiteral("a\r\nBcc: evil@x");
        QTest::newRow("blank fields and a smuggled line")
            << blank << QStringList { "Subject: a  Bcc: evil@x" } + tail;
    }

    void headerLines()
    {
        QFETCH(SmtpHeaderFields, fields);
        QFETCH(QStringList, lines);
        QCOMPARE(smtpHeaderLines(fields, QStringLiteral("DATE"), QStringLiteral("MID")), lines);
    }

    void extensionsOfferedByEhlo()
    {
        const QStringList lines = { "250-orvalla-e2e", "250-SIZE 33554432", "250-starttls", "250-AUTH=LOGIN",
            "250 AUTH LOGIN PLAIN" };
        QVERIFY(smtpOffers(lines, "STARTTLS"));
        QVERIFY(smtpOffers(lines, "AUTH", "plain"));
        QVERIFY(smtpOffers(lines, "AUTH", "LOGIN"));
        QVERIFY(!smtpOffers(lines, "AUTH", "CRAM-MD5"));
        // A word inside another line is no extension.
        QVERIFY(!smtpOffers({ "250-orvalla STARTTLS", "250 SIZE" }, "STARTTLS"));
        QVERIFY(!smtpOffers({ "250-SMTPUTF8" }, "SMTP"));
        QVERIFY(!smtpOffers({}, "STARTTLS"));
    }

    void plainCredentials()
    {
        QCOMPARE(smtpPlainCredentials("orvalla", "segredo"), QByteArray("AG9ydmFsbGEAc2VncmVkbw=="));
        QCOMPARE(
            QByteArray::fromBase64(smtpPlainCredentials(QStringLiteral("ñ"), "")), QByteArray("\0\xF1\0", 3));
    }
};

QTEST_GUILESS_MAIN(TestSmtpProtocol)
#include "test_smtp_protocol.moc"
