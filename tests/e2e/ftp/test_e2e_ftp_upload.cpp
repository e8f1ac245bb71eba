#include "ftp_peers.h"
#include "tests/e2e/tls_certificates.h"

#include "common/clock.h"
#include "net/ftp_client.h"
#include "publish/ftp_upload.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvalla;
using namespace ftptest;

namespace
{
const QString kUser = QStringLiteral("web");
const QString kPassword = QStringLiteral("clave");
const QString kId = QStringLiteral("Orvalla");
} // namespace

class TestE2eFtpUpload : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    PyFtpServer m_pyftp;
    QString m_root; // served folder; the remote folder is "pub"
    QString m_remote; // m_root/pub
    QString m_local; // local folder text, ending with its separator

    FtpSettings settings(const QStringList &names) const
    {
        FtpSettings s;
        s.host = QStringLiteral("127.0.0.1");
        s.user = kUser;
        s.password = kPassword;
        s.port = QString::number(m_pyftp.port());
        s.localFolder = m_local;
        s.remoteFolder = QStringLiteral("pub");
        s.fileNames = names;
        return s;
    }

    void put(const QString &name, const QByteArray &bytes) { QVERIFY(writeBytes(m_local + name, bytes)); }

    static QString intervalName(const ManualClock &clock)
    {
        const LocalTime t = clock.localNow();
        return QStringLiteral("%1_datos10_%2_%3_%4.txt")
            .arg(kId)
            .arg(t.day, 2, 10, QChar(u'0'))
            .arg(t.month, 2, 10, QChar(u'0'))
            .arg(t.year, 4, 10, QChar(u'0'));
    }

    static bool runBatch(FtpUpload &upload, const ManualClock &clock)
    {
        const LocalTime t = clock.localNow();
        return upload.UploadFiles(kId, t.day, t.month, t.year);
    }

    // Names stored during the batch, in order, from the memo's lines.
    static QStringList stored(const QStringList &memo)
    {
        QStringList names;
        for (const QString &line : memo) {
            if (line.startsWith(QStringLiteral("> STOR ")))
                names.append(line.mid(7));
        }
        return names;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_root = m_dir.filePath(QStringLiteral("root"));
        m_remote = m_root + QStringLiteral("/pub");
        m_local = m_dir.filePath(QStringLiteral("local")) + u'/';
        QVERIFY(QDir().mkpath(m_remote + QStringLiteral("/sub")));
        QVERIFY(QDir().mkpath(m_local + QStringLiteral("sub")));
        const QString error = m_pyftp.start(m_root, kUser, kPassword);
        if (!error.isEmpty())
            QFAIL(qPrintable(error));
    }

    void init()
    {
        // Each test starts with empty folders on both sides.
        for (const QString &folder : { m_remote, m_local }) {
            QDir dir(folder);
            for (const QString &name : dir.entryList(QDir::Files))
                QVERIFY(dir.remove(name));
            QDir sub(folder + QStringLiteral("/sub"));
            for (const QString &name : sub.entryList(QDir::Files))
                QVERIFY(sub.remove(name));
        }
    }

    void batchSendsListAndIntervalFilesAcrossMidnight()
    {
        FtpClient client;
        FtpUpload upload(&client);
        upload.setSettings(settings({ QStringLiteral("Orvalla.htm"), QString(), QStringLiteral("missing.txt"),
            QStringLiteral("sub/awekas.txt"), QStringLiteral("sub") }));
        ManualClock clock;
        clock.setLocal(2026, 3, 14, 23, 45, 0);
        const QString day1 = intervalName(clock);
        QCOMPARE(day1, QStringLiteral("Orvalla_datos10_14_03_2026.txt"));
        put(QStringLiteral("Orvalla.htm"), "<html>páxina</html>\r\n");
        put(QStringLiteral("sub/awekas.txt"), "12.5\n");
        put(day1, "14/03/2026 23:40:00 \r\n");

        // First batch of the process: the list, then today's interval file.
        QVERIFY(runBatch(upload, clock));
        // Memo_ftp is cleared past 100 lines, so lines are gathered as they come.
        QStringList shown;
        connect(upload.displayLog(), &FtpDisplayLog::lineAdded, this,
            [&shown](const QString &l) { shown.append(l); });
        QStringList memo = upload.displayLog()->lines();
        QCOMPARE(stored(memo), (QStringList { "Orvalla.htm", "sub/awekas.txt", day1 }));
        // A missing file or an empty line makes no conversation and no line.
        QVERIFY(!memo.join(u'\n').contains(QStringLiteral("missing.txt")));
        QCOMPARE(readBytes(m_remote + QStringLiteral("/Orvalla.htm")), readBytes(m_local + "Orvalla.htm"));
        QCOMPARE(readBytes(m_remote + QStringLiteral("/sub/awekas.txt")), QByteArray("12.5\n"));
        QCOMPARE(readBytes(m_remote + u'/' + day1), QByteArray("14/03/2026 23:40:00 \r\n"));
        QCOMPARE(upload.lastIntervalFile(), day1);

        // Second batch of the day: today's file once more, whole.
        put(day1, "14/03/2026 23:40:00 \r\n14/03/2026 23:50:00 \r\n");
        shown.clear();
        clock.advance(600);
        QVERIFY(runBatch(upload, clock));
        memo = shown;
        QCOMPARE(stored(memo), (QStringList { "Orvalla.htm", "sub/awekas.txt", day1 }));
        QCOMPARE(readBytes(m_remote + u'/' + day1), readBytes(m_local + day1));

        // First batch after midnight: yesterday's file completed, then today's.
        put(day1, "14/03/2026 23:40:00 \r\n14/03/2026 23:50:00 \r\n15/03/2026 00:00:00 \r\n");
        clock.advance(900);
        const QString day2 = intervalName(clock);
        QCOMPARE(day2, QStringLiteral("Orvalla_datos10_15_03_2026.txt"));
        put(day2, "15/03/2026 00:10:00 \r\n");
        upload.setSettings(settings({ QStringLiteral("Orvalla.htm") }));
        shown.clear();
        QVERIFY(runBatch(upload, clock));
        memo = shown;
        QCOMPARE(stored(memo), (QStringList { "Orvalla.htm", day1, day2 }));
        QCOMPARE(readBytes(m_remote + u'/' + day1), readBytes(m_local + day1));
        QCOMPARE(readBytes(m_remote + u'/' + day2), readBytes(m_local + day2));
        QCOMPARE(upload.lastIntervalFile(), day2);
        QVERIFY(!client.Connected());
    }

    // The tab's passive and security choices and the trusted file reach the
    // client: a server that requires TLS takes the whole batch.
    void batchOverPassiveTls()
    {
        tlstest::Certificate certificate;
        QString error = tlstest::makeCertificate(
            m_dir.path(), QStringLiteral("server"), QStringLiteral("localhost"), true, &certificate);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        PyFtpServer tls;
        error = tls.start(m_root, kUser, kPassword,
            { QStringLiteral("--tls"), certificate.cert, certificate.key, QStringLiteral("--tls-required") });
        QVERIFY2(error.isEmpty(), qPrintable(error));
        FtpClient client;
        FtpUpload upload(&client);
        FtpSettings s = settings({ QStringLiteral("Orvalla.htm") });
        s.port = QString::number(tls.port());
        s.passive = true;
        s.explicitTls = true;
        s.trustedCertificates = certificate.cert;
        upload.setSettings(s);
        put(QStringLiteral("Orvalla.htm"), "<html>tls</html>\r\n");
        ManualClock clock;
        clock.setLocal(2026, 12, 9, 12);
        put(intervalName(clock), "12:00 datos\r\n");
        QVERIFY(runBatch(upload, clock));
        QCOMPARE(readBytes(m_remote + QStringLiteral("/Orvalla.htm")), QByteArray("<html>tls</html>\r\n"));
        QCOMPARE(readBytes(m_remote + u'/' + intervalName(clock)), QByteArray("12:00 datos\r\n"));
        const QStringList memo = upload.displayLog()->lines();
        QVERIFY(memo.contains(QStringLiteral("> PASV")));
        QVERIFY(memo.contains(QStringLiteral("> PROT P")));
    }

    // "último envío correcto:" and "último fallo:" keep the latest of each;
    // the batch's failure, which the status line shows, lasts until a batch
    // goes through whole.
    void lastSuccessAndFailure()
    {
        FtpClient client;
        FtpUpload upload(&client);
        ManualClock clock;
        clock.setLocal(2026, 12, 9, 18, 30, 5);
        upload.setClock(&clock);
        QSignalSpy failures(&upload, &FtpUpload::lastFailureChanged);
        put(QStringLiteral("Orvalla.htm"), "<html/>");
        FtpSettings s = settings({ QStringLiteral("Orvalla.htm") });
        s.password = QStringLiteral("wrong");
        upload.setSettings(s);
        QVERIFY(runBatch(upload, clock));
        QCOMPARE(upload.lastSuccess(), QString());
        QVERIFY2(upload.lastFailure().startsWith("09/12/2026 18:30:05 Orvalla.htm: 530"),
            qPrintable(upload.lastFailure()));
        QCOMPARE(upload.lastBatchFailure(), upload.lastFailure());
        QCOMPARE(failures.size(), 1); // the interval file does not exist: nothing tried

        clock.advance(60);
        upload.setSettings(settings({ QStringLiteral("Orvalla.htm") }));
        QVERIFY(runBatch(upload, clock));
        QCOMPARE(upload.lastSuccess(), QStringLiteral("09/12/2026 18:31:05 Orvalla.htm"));
        QVERIFY(upload.lastFailure().startsWith("09/12/2026 18:30:05"));
        QCOMPARE(upload.lastBatchFailure(), QString());
    }

    void secondUploadIsRefusedWhileOneRuns()
    {
        FtpClient client;
        FtpUpload upload(&client);
        upload.setSettings(settings({ QStringLiteral("a.txt"), QStringLiteral("b.txt") }));
        put(QStringLiteral("a.txt"), "a");
        put(QStringLiteral("b.txt"), "b");
        ManualClock clock;
        clock.setLocal(2026, 5, 2, 9, 0, 0);

        // Clicks delivered while the batch waits for the server.
        bool nestedBatch = true;
        bool nestedSend = true;
        QTimer::singleShot(0, this, [&] {
            nestedBatch = runBatch(upload, clock);
            nestedSend = upload.Button_ftp_enviarClick();
        });
        QVERIFY(runBatch(upload, clock));
        QVERIFY(!nestedBatch);
        QVERIFY(!nestedSend);
        const QStringList memo = upload.displayLog()->lines();
        QCOMPARE(memo.count(QString::fromUtf8(kFtpUploadRefused)), 2);
        QCOMPARE(stored(memo), (QStringList { "a.txt", "b.txt" }));
        QVERIFY(!upload.UploadRunning());
    }

    void interruptEndsTheBatch()
    {
        FtpClient client;
        FtpUpload upload(&client);
        upload.setSettings(settings({ QStringLiteral("a.txt"), QStringLiteral("b.txt") }));
        put(QStringLiteral("a.txt"), "a");
        put(QStringLiteral("b.txt"), "b");
        ManualClock clock;
        clock.setLocal(2026, 5, 2, 9, 0, 0);
        put(intervalName(clock), "i");
        QTimer::singleShot(0, this, [&] { upload.Button_ftp_desconectarClick(); });
        QVERIFY(runBatch(upload, clock));
        QVERIFY(stored(upload.displayLog()->lines()).isEmpty());
        QVERIFY(QDir(m_remote).entryList(QDir::Files).isEmpty());
        QVERIFY(!client.Connected());
        // The next batch runs normally.
        QVERIFY(runBatch(upload, clock));
        QCOMPARE(QDir(m_remote).entryList(QDir::Files).size(), 3);
    }

    void buttonsOfTheFtpTab()
    {
        FtpClient client;
        FtpUpload upload(&client);
        upload.setSettings(
            settings({ QStringLiteral("a.txt"), QStringLiteral("gone.txt"), QStringLiteral("c.bin") }));
        const QByteArray binary = binaryBytes(64 * 1024, 21);
        put(QStringLiteral("a.txt"), "a\r\n");
        put(QStringLiteral("c.bin"), binary);
        ManualClock clock;
        clock.setLocal(2026, 5, 3, 9, 0, 0);

        // "conectar" logs in (into the login folder), "enviar" stores over it.
        QVERIFY(upload.Button_ftp_conectarClick());
        QVERIFY(client.Connected());
        QVERIFY(upload.Button_ftp_enviarClick());
        QCOMPARE(readBytes(m_root + QStringLiteral("/a.txt")), QByteArray("a\r\n"));
        QCOMPARE(readBytes(m_root + QStringLiteral("/c.bin")), binary);
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/gone.txt")));

        // "envio completo" does not drop the open connection: each file fails.
        QVERIFY(upload.Button_ftp_transmitClick(kId, 3, 5, 2026));
        QVERIFY(upload.displayLog()->lines().contains(QStringLiteral("! FTP client already connected")));
        QVERIFY(!QFile::exists(m_remote + QStringLiteral("/a.txt")));

        // A batch from the clock tick drops it first.
        upload.AbortIfConnected();
        QVERIFY(!client.Connected());
        QVERIFY(runBatch(upload, clock));
        QCOMPARE(readBytes(m_remote + QStringLiteral("/c.bin")), binary);

        // "sair" ends a session opened by "conectar"; "interrumpir" drops one.
        QVERIFY(upload.Button_ftp_conectarClick());
        QVERIFY(upload.Button_ftp_sairClick());
        QVERIFY(!client.Connected());
        QVERIFY(upload.Button_ftp_conectarClick());
        QVERIFY(upload.Button_ftp_desconectarClick());
        QVERIFY(!client.Connected());
        for (const QString &name : { QStringLiteral("a.txt"), QStringLiteral("c.bin") })
            QVERIFY(QFile::remove(m_root + u'/' + name));
    }
};

QTEST_GUILESS_MAIN(TestE2eFtpUpload)
#include "test_e2e_ftp_upload.moc"
