// Mail against a real SMTP server (aiosmtpd) on loopback: what the server
// received, byte for byte, from the client and from the report mail.

#include "publish/mail_report.h"

#include "common/clock.h"
#include "common/files.h"
#include "common/text.h"
#include "net/smtp_client.h"
#include "recording/datalog.h"
#include "tests/e2e/tls_certificates.h"
#include "tests/support/python_peer.h"

#include <QFile>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvalla;

namespace
{

struct Received {
    QString mailFrom;
    QStringList rcptTos;
    bool authenticated = false;
    QString mechanism;
    bool tls = false;
    QList<QByteArray> lines; // the message, dot-transparency removed
};

} // namespace

class TestE2eSmtp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    testsupport::PythonPeer m_server;
    QString m_records;
    tlstest::Certificate m_certificate;
    testsupport::PythonPeer m_starttlsServer; // requires STARTTLS
    testsupport::PythonPeer m_tlsServer; // TLS from the first byte

    // Starts smtp_server.py with the given options; empty when it listens, else why not.
    QString startServer(testsupport::PythonPeer &server, const QStringList &options)
    {
        return server.start(testsupport::PythonPeer::Peer::Smtp,
            QStringList { m_dir.filePath(QStringLiteral("mailbox")), QStringLiteral("orvalla"),
                QStringLiteral("segredo"), QStringLiteral("--records"), m_records }
                + options);
    }

    QList<Received> received() const
    {
        QList<Received> out;
        QByteArray bytes;
        if (!readFile(m_records, &bytes))
            return out;
        for (const QByteArray &line : splitLines(bytes)) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            Received r;
            r.mailFrom = o.value("mail_from").toString();
            for (const QJsonValue &v : o.value("rcpt_tos").toArray())
                r.rcptTos << v.toString();
            r.authenticated = o.value("authenticated").toBool();
            r.mechanism = o.value("mechanism").toString();
            r.tls = o.value("tls").toBool();
            r.lines = splitLines(QByteArray::fromBase64(o.value("data").toString().toLatin1()));
            out << r;
        }
        return out;
    }

    static MailFields fields(quint16 port)
    {
        MailFields f;
        f.server = QStringLiteral("127.0.0.1");
        f.port = QString::number(port);
        f.user = QStringLiteral("orvalla");
        f.password = QStringLiteral("segredo");
        f.domain = QStringLiteral("estacion meteo");
        f.sender = QStringLiteral("estacion@example.org");
        f.subject = QStringLiteral("información meteorolóxica");
        f.recipients = QStringList { "ana@example.org", "bieito@example.org" };
        return f;
    }

    static QList<QByteArray> bodyOf(const Received &r)
    {
        return r.lines.mid(r.lines.indexOf(QByteArray()) + 1);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_records = m_dir.filePath("received.jsonl");
        QString error = startServer(m_server, {});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = tlstest::makeCertificate(
            m_dir.path(), QStringLiteral("mail"), QStringLiteral("localhost"), true, &m_certificate);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = startServer(
            m_starttlsServer, { QStringLiteral("--starttls"), m_certificate.cert, m_certificate.key });
        QVERIFY2(error.isEmpty(), qPrintable("the STARTTLS server did not start: " + error));
        error = startServer(m_tlsServer, { QStringLiteral("--tls"), m_certificate.cert, m_certificate.key });
        QVERIFY2(error.isEmpty(), qPrintable("the TLS server did not start: " + error));
    }

    void init() { QFile::remove(m_records); }

    void messageAsTheServerGetsIt()
    {
        ManualClock clock;
        clock.setLocal(2026, 12, 7, 10, 0, 0); // 09:00 UTC
        SmtpClient c;
        c.setClock(&clock);
        c.Host = QStringLiteral("127.0.0.1");
        c.Port = QString::number(m_server.port());
        c.SignOn = QStringLiteral("estacion meteo");
        c.Username = QStringLiteral("orvalla");
        c.Password = QStringLiteral("segredo");
        c.AuthType = SmtpClient::Auth::Login;
        c.HdrFrom = QStringLiteral("estacion@example.org");
        c.HdrTo = QStringLiteral("ana@example.org");
        c.HdrSubject = QStringLiteral("información meteorolóxica");
        c.RcptName = QStringList { "ana@example.org", "Bieito <bieito@example.org>", "carme@example.org" };
        c.MailMessage = QStringList { "información", ".", ".oculto", "fin" };
        QStringList display;
        connect(&c, &SmtpClient::display, this, [&display](const QString &l) { display << l; });
        QSignalSpy done(&c, &SmtpClient::requestDone);

        c.open();
        QVERIFY(done.wait(10000));
        QCOMPARE(done.last(), (QVariantList { int(SmtpOpen), 0 }));
        c.mail();
        QVERIFY(done.wait(10000));
        QCOMPARE(done.last(), (QVariantList { int(SmtpMail), 0 }));
        c.quit();
        QVERIFY(done.wait(10000));
        QCOMPARE(done.last(), (QVariantList { int(SmtpQuit), 0 }));
        QVERIFY(!c.connected());

        const QList<Received> got = received();
        QCOMPARE(got.size(), 1);
        const Received &r = got[0];
        QCOMPARE(r.mailFrom, QStringLiteral("<>")); // the server's name for the null sender
        QCOMPARE(r.rcptTos, (QStringList { "ana@example.org", "bieito@example.org", "carme@example.org" }));
        QVERIFY(r.authenticated);
        QCOMPARE(r.lines.size(), 14);
        QCOMPARE(r.lines.mid(0, 7),
            (QList<QByteArray> { "From: estacion@example.org", "To: ana@example.org",
                "Subject: informaci\xF3n meteorol\xF3xica", "Sender: estacion@example.org",
                "Mime-Version: 1.0", "Content-Type: text/plain; charset=\"iso-8859-1\"",
                "Date: Mon, 7 Dec 2026 09:00:00 GMT" }));
        const QRegularExpression id("^Message-ID: <20261207090000\\d{3}\\.[0-9A-F]{16}@"
            + QRegularExpression::escape(QHostInfo::localHostName()) + ">$");
        QVERIFY2(id.match(QString::fromLatin1(r.lines[7])).hasMatch(), r.lines[7].constData());
        QCOMPARE(r.lines[8], QByteArray("X-Mailer: Orvalla " ORVALLA_VERSION));
        QCOMPARE(r.lines.mid(9), (QList<QByteArray> { "", "informaci\xF3n", ".", ".oculto", "fin" }));
        // On the wire the lone dot went doubled.
        QVERIFY(display.contains("> .."));
        QVERIFY(display.contains("> ..oculto"));
        QVERIFY(display.contains("> EHLO estacion_meteo"));
    }

    void reportMailDeliversReportAndQueue()
    {
        QTemporaryDir work;
        QVERIFY(work.isValid());
        ManualClock clock;
        clock.setLocal(2026, 12, 7, 10, 0, 0);
        DataLog log(work.path());
        log.setSystemId(QStringLiteral("proba"));
        QVERIFY(log.appendMailQueue("07/12/2026 09:58:00 T=11,5 \xBA"
                                    "C "));
        QVERIFY(log.appendMailQueue("07/12/2026 09:59:00 T=11,6 \xBA"
                                    "C "));
        QVERIFY(replaceFile(work.filePath("proba_datos_maxmin_hoxe.txt"),
            "Informe do d\xED"
            "a 06/12/2026\r\nM\xE1xima: 14,2 \xBA"
            "C\r\n"));

        MailReport mail;
        mail.setFolder(work.path());
        mail.client().setClock(&clock);
        QStringList memo;
        connect(&mail, &MailReport::messageChanged, this, [&memo](const QStringList &l) { memo = l; });
        QSignalSpy subject(&mail, &MailReport::subjectChanged);
        // Every request-done line, also those the 100-line rule later clears away.
        QStringList requests;
        connect(&mail, &MailReport::resultAppended, this, [&requests](const QString &l) {
            if (l.startsWith(QStringLiteral("Petición=")))
                requests << l;
        });

        mail.Button_smtp_transmit2Click(fields(m_server.port()), log, clock.localNow());
        // The queue is cleared as soon as the body holds it.
        QVERIFY(log.mailQueue().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(mail.mailStep(), 0, 15000);
        QVERIFY(!mail.timerActive());
        QCOMPARE(
            requests, (QStringList { "Petición=8 Error=0", "Petición=9 Error=0", "Petición=6 Error=0" }));
        QCOMPARE(subject.size(), 1);
        QCOMPARE(subject[0][0].toString(), QStringLiteral("información meteorolóxica 07/12/2026  10:00:00"));
        QByteArray queueFile;
        QVERIFY(readFile(work.filePath("proba_datos10_correo.txt"), &queueFile));
        QCOMPARE(queueFile, QByteArray());

        QList<Received> got = received();
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].mailFrom, QStringLiteral("<>"));
        QCOMPARE(got[0].rcptTos, (QStringList { "ana@example.org", "bieito@example.org" }));
        QVERIFY(got[0].lines.contains("Subject: informaci\xF3n meteorol\xF3xica 07/12/2026  10:00:00"));
        QVERIFY(got[0].lines.contains("To: ana@example.org"));
        const QList<QByteArray> footer {
            " Esta mensaxe x\xE9rase autom\xE1ticamente. Pr\xE9gase non responder ", QByteArray(65, '-'), "",
            "", "", " \xFAltimos datos recollidos (cada minuto) ", "", ""
        };
        const QList<QByteArray> report { "Informe do d\xED"
                                         "a 06/12/2026",
            "M\xE1xima: 14,2 \xBA"
            "C" };
        const QList<QByteArray> queued { "07/12/2026 09:58:00 T=11,5 \xBA"
                                         "C ",
            "07/12/2026 09:59:00 T=11,6 \xBA"
            "C " };
        QCOMPARE(bodyOf(got[0]), report + footer + queued);

        // Next day, with no report file (as before the first report is ever
        // written): only the readings queued since the first mail are new.
        clock.advanceDay();
        QVERIFY(log.appendMailQueue("08/12/2026 09:59:00 T=9,0 \xBA"
                                    "C "));
        MailFields f = fields(m_server.port());
        f.message = memo;
        QList<QByteArray> previous;
        for (const QString &l : memo)
            previous << toCp1252(l);
        QFile::remove(work.filePath("proba_datos_maxmin_hoxe.txt"));
        mail.Button_smtp_transmit2Click(f, log, clock.localNow());
        QTRY_COMPARE_WITH_TIMEOUT(mail.mailStep(), 0, 15000);
        got = received();
        QCOMPARE(got.size(), 2);
        // Without a report the previous body goes again, then the footer and the new line.
        const QList<QByteArray> newLine { "08/12/2026 09:59:00 T=9,0 \xBA"
                                          "C " };
        QCOMPARE(bodyOf(got[1]), previous + footer + newLine);
        QCOMPARE(requests.mid(3),
            (QStringList { "Petición=8 Error=0", "Petición=9 Error=0", "Petición=6 Error=0" }));
    }

    // The report mail over STARTTLS and over TLS from the first byte: it
    // arrives whole, after a PLAIN login that only ever went out encrypted.
    void mailOverTls_data()
    {
        QTest::addColumn<bool>("implicit");
        QTest::newRow("STARTTLS") << false;
        QTest::newRow("TLS from the first byte") << true;
    }

    void mailOverTls()
    {
        QFETCH(bool, implicit);
        MailReport mail;
        QStringList shown;
        connect(&mail, &MailReport::resultAppended, this, [&shown](const QString &l) { shown << l; });
        MailFields f = fields(implicit ? m_tlsServer.port() : m_starttlsServer.port());
        f.security = implicit ? SmtpSecurity::Tls : SmtpSecurity::StartTls;
        f.trustedCertificates = m_certificate.cert;
        f.message = QStringList { QStringLiteral("información"), QStringLiteral("."), QStringLiteral("fin") };
        mail.Button_smtp_transmitClick(f);
        QTRY_COMPARE_WITH_TIMEOUT(mail.mailStep(), 0, 15000);
        QCOMPARE(shown.filter(QRegularExpression("^Petición=")),
            (QStringList { "Petición=8 Error=0", "Petición=9 Error=0", "Petición=6 Error=0" }));
        const QList<Received> got = received();
        QCOMPARE(got.size(), 1);
        QVERIFY(got[0].tls);
        QVERIFY(got[0].authenticated);
        QCOMPARE(got[0].mechanism, QStringLiteral("PLAIN"));
        QCOMPARE(got[0].rcptTos, (QStringList { "ana@example.org", "bieito@example.org" }));
        QCOMPARE(bodyOf(got[0]), (QList<QByteArray> { "informaci\xF3n", ".", "fin" }));

        const qsizetype tls = shown.indexOf(QRegularExpression("^! TLS: TLSv1\\.\\d, \\S+"));
        const qsizetype auth = shown.indexOf(QStringLiteral("> AUTH PLAIN ********"));
        QVERIFY2(tls >= 0 && auth > tls, qPrintable(shown.join(u'\n')));
        QCOMPARE(shown.contains(QStringLiteral("> STARTTLS")), !implicit);
        QVERIFY(!shown.join(u'\n').contains(QStringLiteral("segredo")));
        if (!implicit) {
            // Greeted again once encrypted.
            QCOMPARE(shown.filter(QRegularExpression("^> EHLO ")).size(), 2);
        }
    }

    // Asked for STARTTLS, a server that does not offer it, or whose certificate
    // does not verify, gets no AUTH and no mail: the open fails with a line
    // that says why, and the connection is dropped.
    void tlsFailureSendsNothing_data()
    {
        QTest::addColumn<int>("server"); // 0 plain, 1 STARTTLS, 2 TLS
        QTest::addColumn<int>("security");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("why");
        QTest::newRow("STARTTLS not offered")
            << 0 << int(SmtpSecurity::StartTls) << true << "Petición=8 Error=454"
            << "! 454 STARTTLS not offered by the server";
        QTest::newRow("STARTTLS, unknown authority")
            << 1 << int(SmtpSecurity::StartTls) << false << "Petición=8 Error=11100"
            << "! TLS refused: unknown authority";
        QTest::newRow("TLS, unknown authority")
            << 2 << int(SmtpSecurity::Tls) << false << "Petición=8 Error=11100"
            << "! TLS refused: unknown authority";
    }

    void tlsFailureSendsNothing()
    {
        QFETCH(int, server);
        QFETCH(int, security);
        QFETCH(bool, trusted);
        QFETCH(QString, request);
        QFETCH(QString, why);
        MailReport mail;
        QStringList shown;
        connect(&mail, &MailReport::resultAppended, this, [&shown](const QString &l) { shown << l; });
        MailFields f = fields(server == 0 ? m_server.port()
                : server == 1             ? m_starttlsServer.port()
                                          : m_tlsServer.port());
        f.security = SmtpSecurity(security);
        f.trustedCertificates = trusted ? m_certificate.cert : QString();
        f.message = QStringList { QStringLiteral("segredo do día") };
        mail.Button_smtp_transmitClick(f);
        QTRY_COMPARE_WITH_TIMEOUT(mail.mailStep(), 0, 15000);
        QCOMPARE(shown.filter(QRegularExpression("^Petición=")), QStringList { request });
        QVERIFY2(
            std::any_of(shown.begin(), shown.end(), [&why](const QString &l) { return l.startsWith(why); }),
            qPrintable(shown.join(u'\n')));
        QVERIFY(shown.contains(QStringLiteral("Correo non enviado: sen conexión co servidor")));
        QVERIFY(shown.filter(QRegularExpression("^> (AUTH|MAIL)")).isEmpty());
        QVERIFY(!mail.client().connected());
        QVERIFY(received().isEmpty());
    }

    void reportMailAbortsASessionLeftOpen()
    {
        QTemporaryDir work;
        ManualClock clock;
        clock.setLocal(2026, 12, 7, 10, 0, 0);
        DataLog log(work.path());
        log.setSystemId(QStringLiteral("proba"));
        MailReport mail;
        mail.setFolder(work.path());
        mail.Button_conectarClick(fields(m_server.port()));
        QTRY_VERIFY(mail.client().connected());
        mail.Button_smtp_transmit2Click(fields(m_server.port()), log, clock.localNow());
        QTRY_COMPARE_WITH_TIMEOUT(mail.mailStep(), 0, 15000);
        QCOMPARE(received().size(), 1);
        QCOMPARE(mail.resultLines().filter(QRegularExpression("^Petición=")).last(),
            QStringLiteral("Petición=6 Error=0"));
    }
};

QTEST_GUILESS_MAIN(TestE2eSmtp)
#include "test_e2e_smtp.moc"
