// The mail report: body building, and the open-mail-quit sequence paced by the
// step timer against scripted SMTP peers on loopback.

#include "publish/mail_report.h"

#include "common/files.h"
#include "common/text.h"

#include "scripted_smtp_server.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvalla;

namespace
{

MailFields fieldsFor(quint16 port)
{
    MailFields f;
    f.server = QStringLiteral("127.0.0.1");
    f.port = QString::number(port);
    f.user = QStringLiteral("orvalla");
    f.password = QStringLiteral("segredo");
    f.domain = QStringLiteral("example.org");
    f.sender = QStringLiteral("estacion@example.org");
    f.subject = QStringLiteral("información meteorolóxica");
    f.recipients = QStringList { "a@example.org", "b@example.org", "", "c@example.org" };
    f.message = QStringList { "corpo" };
    return f;
}

QStringList requestLines(const QStringList &result)
{
    QStringList out;
    for (const QString &l : result) {
        if (l.startsWith(QStringLiteral("Petición=")) || l.startsWith(QStringLiteral("Correo non")))
            out << l;
    }
    return out;
}

const QStringList kFooter { " Esta mensaxe xérase automáticamente. Prégase non responder ", QString(65, u'-'),
    "", "", "", " últimos datos recollidos (cada minuto) ", "", "" };

} // namespace

class TestMailReport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void buildMailBody_data()
    {
        QTest::addColumn<bool>("reportExists");
        QTest::addColumn<QList<QByteArray>>("queue");
        QTest::addColumn<QStringList>("expected");

        const QStringList report { "Informe do día", "Temperatura máxima 21,5 ºC" };
        const QList<QByteArray> queue { "07/12/2026 10:00:00 T=12,0 ºC ", "07/12/2026 10:01:00 T=12,1 ºC " };
        QStringList queueText;
        for (const QByteArray &l : queue)
            queueText << fromCp1252(l);
        QTest::newRow("report and queue") << true << queue << report + kFooter + queueText;
        QTest::newRow("report, empty queue") << true << QList<QByteArray> {} << report + kFooter;
        // Without a report the previous body stays, and the footer comes again.
        QTest::newRow("no report") << false << queue
                                   << QStringList { "vello", "corpo" } + kFooter + queueText;
    }

    void buildMailBody()
    {
        QFETCH(bool, reportExists);
        QFETCH(QList<QByteArray>, queue);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        if (reportExists) {
            QVERIFY(replaceFile(dir.filePath("proba_datos_maxmin_hoxe.txt"),
                "Informe do d\xED"
                "a\r\nTemperatura m\xE1xima 21,5 \xBA"
                "C\r\n"));
        }
        // Another station's report must not be picked up.
        QVERIFY(replaceFile(dir.filePath("outra_datos_maxmin_hoxe.txt"), "alleo\r\n"));
        MailReport mail;
        mail.setFolder(dir.path());
        QSignalSpy changed(&mail, &MailReport::messageChanged);
        const QStringList body = mail.BuildMailBody(QStringLiteral("proba"), { "vello", "corpo" }, queue);
        QCOMPARE(body, expected);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed[0][0].toStringList(), expected);
    }

    void sequenceDeliversAndEnds()
    {
        ScriptedSmtpServer server;
        MailReport mail;
        mail.StartMailSend(fieldsFor(server.port()));
        QCOMPARE(mail.mailStep(), 1);
        QVERIFY(mail.timerActive());
        QTRY_COMPARE(mail.mailStep(), 0);
        QVERIFY(!mail.timerActive());
        QCOMPARE(requestLines(mail.resultLines()),
            (QStringList { "Petición=8 Error=0", "Petición=9 Error=0", "Petición=6 Error=0" }));
        QVERIFY(!mail.client().connected());
        // A blank recipient line is skipped; the To header names the first line only.
        QCOMPARE(server.commands.mid(4, 4),
            (QList<QByteArray> { "MAIL FROM:<>", "RCPT TO:<a@example.org>", "RCPT TO:<b@example.org>",
                "RCPT TO:<c@example.org>" }));
        QVERIFY(server.dataLines.contains("To: a@example.org"));
        QVERIFY(server.dataLines.contains("Subject: informaci\xF3n meteorol\xF3xica"));
        QCOMPARE(server.dataLines.last(), QByteArray("corpo"));
    }

    void sequenceOutcomes_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("no server") << "refused"
                                   << QStringList { "Petición=8 Error=10061",
                                          "Correo non enviado: sen conexión co servidor" };
        QTest::newRow("login refused")
            << "login"
            << QStringList { "Petición=8 Error=535", "Petición=9 Error=530", "Petición=6 Error=0" };
        QTest::newRow("dropped during mail")
            << "drop" << QStringList { "Petición=8 Error=0", "Petición=9 Error=10004" };
        QTest::newRow("no recipients")
            << "norcpt" << QStringList { "Petición=8 Error=0", "Petición=6 Error=0" };
    }

    void sequenceOutcomes()
    {
        QFETCH(QString, failure);
        QFETCH(QStringList, lines);
        ScriptedSmtpServer server;
        server.script = [failure](const QByteArray &line) -> std::optional<QByteArray> {
            if (failure == "login" && line == "c2VncmVkbw==")
                return QByteArray("535 no\r\n");
            if (failure == "login" && line.startsWith("MAIL"))
                return QByteArray("530 authenticate first\r\n");
            if (failure == "drop" && line.startsWith("RCPT"))
                return QByteArray("CLOSE");
            return std::nullopt;
        };
        MailFields f = fieldsFor(server.port());
        if (failure == "refused") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            f.port = QString::number(probe.serverPort());
        }
        if (failure == "norcpt")
            f.recipients = QStringList { " " };
        MailReport mail;
        QSignalSpy raised(&mail, &MailReport::exceptionRaised);
        mail.StartMailSend(f);
        // Whatever fails, the sequence ends and the timer stops.
        QTRY_COMPARE(mail.mailStep(), 0);
        QVERIFY(!mail.timerActive());
        QCOMPARE(requestLines(mail.resultLines()), lines);
        QCOMPARE(raised.size(), failure == "norcpt" ? 1 : 0);
    }

    void manualButtons()
    {
        ScriptedSmtpServer server;
        MailReport mail;
        MailFields f = fieldsFor(server.port());
        f.message = QStringList { "como estaba" };
        mail.Button_conectarClick(f);
        QTRY_VERIFY(mail.resultLines().contains("Petición=8 Error=0"));
        QVERIFY(mail.client().connected());
        // "envío completo" on an open, idle session goes straight to the mail.
        f.message = QStringList { "agora" };
        mail.Button_smtp_transmitClick(f);
        QTRY_COMPARE(mail.mailStep(), 0);
        QCOMPARE(requestLines(mail.resultLines()),
            (QStringList { "Petición=8 Error=0", "Petición=9 Error=0", "Petición=6 Error=0" }));
        QCOMPARE(server.connections, 1);
        QCOMPARE(server.dataLines.last(), QByteArray("agora"));
        // Nothing to do while disconnected.
        mail.Button_envioClick();
        mail.Button_desconectarClick();
        QCoreApplication::processEvents();
        QCOMPARE(requestLines(mail.resultLines()).size(), 3);
    }

    void resultKeepsAtMost101Lines()
    {
        ScriptedSmtpServer server;
        MailReport mail;
        QStringList memo;
        qsizetype largest = 0;
        connect(&mail, &MailReport::resultCleared, this, [&memo] { memo.clear(); });
        connect(&mail, &MailReport::resultAppended, this, [&](const QString &line) {
            memo << line;
            largest = qMax(largest, memo.size());
        });
        MailFields f = fieldsFor(server.port());
        for (int i = 0; i < 250; ++i)
            f.message << QString::number(i);
        mail.StartMailSend(f);
        QTRY_COMPARE(mail.mailStep(), 0);
        QCOMPARE(largest, qsizetype(101));
        QCOMPARE(memo, mail.resultLines());
        QCOMPARE(memo.last(), QStringLiteral("Petición=6 Error=0"));
    }
};

QTEST_GUILESS_MAIN(TestMailReport)
#include "test_mail_report.moc"
