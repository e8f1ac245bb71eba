#include "ftp_peers.h"
#include "tests/e2e/tls_certificates.h"

#include "net/ftp_client.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

using namespace orvalla;
using namespace ftptest;
using namespace tlstest;

namespace
{

const QString kUser = QStringLiteral("estacion");
const QString kPassword = QStringLiteral("orballo 7");

QStringList shownLines(const QSignalSpy &spy)
{
    QStringList lines;
    for (const QList<QVariant> &line : spy)
        lines.append(line.at(0).toString());
    return lines;
}

qsizetype indexStarting(const QStringList &lines, const QString &start)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith(start))
            return i;
    }
    return -1;
}

// The Debian vsftpd on a loopback port, anonymous uploads into pub/, TLS
// required for the login and the data, and every data connection required
// to resume the control connection's TLS session.
class Vsftpd
{
public:
    ~Vsftpd()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Empty when it listens, else why not.
    QString start(const QString &folder, const Certificate &certificate)
    {
        const QString binary = QStringLiteral("/usr/sbin/vsftpd");
        if (!QFile::exists(binary))
            return QStringLiteral("no %1 (Debian package vsftpd)").arg(binary);
        const passwd *ftp = ::getpwnam("ftp");
        if (::geteuid() != 0 || !ftp)
            return QStringLiteral("vsftpd's anonymous uploads need root and the user ftp");
        m_root = folder + QStringLiteral("/root");
        const QString empty = folder + QStringLiteral("/empty");
        if (!QDir().mkpath(m_root + QStringLiteral("/pub")) || !QDir().mkpath(empty))
            return QStringLiteral("cannot make the served folders");
        // The anonymous root must not be writable by the user; its pub/ must.
        QFile::setPermissions(m_root,
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther);
        if (::chown(QFile::encodeName(m_root + QStringLiteral("/pub")).constData(), ftp->pw_uid, ftp->pw_gid)
            != 0)
            return QStringLiteral("cannot give pub/ to the user ftp");
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            m_port = probe.serverPort();
        }
        const QString config = folder + QStringLiteral("/vsftpd.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot write %1").arg(config);
        const QStringList lines = {
            QStringLiteral("listen=YES"),
            QStringLiteral("listen_ipv6=NO"),
            QStringLiteral("listen_address=127.0.0.1"),
            QStringLiteral("listen_port=%1").arg(m_port),
            QStringLiteral("background=NO"),
            QStringLiteral("local_enable=NO"),
            QStringLiteral("anonymous_enable=YES"),
            QStringLiteral("no_anon_password=YES"),
            QStringLiteral("anon_root=") + m_root,
            QStringLiteral("write_enable=YES"),
            QStringLiteral("anon_upload_enable=YES"),
            QStringLiteral("anon_umask=022"),
            QStringLiteral("secure_chroot_dir=") + empty,
            QStringLiteral("seccomp_sandbox=NO"),
            QStringLiteral("connect_from_port_20=NO"),
            QStringLiteral("pasv_enable=YES"),
            QStringLiteral("port_enable=YES"),
            QStringLiteral("ssl_enable=YES"),
            QStringLiteral("allow_anon_ssl=YES"),
            QStringLiteral("force_anon_logins_ssl=YES"),
            QStringLiteral("force_anon_data_ssl=YES"),
            QStringLiteral("require_ssl_reuse=YES"),
            QStringLiteral("ssl_ciphers=HIGH"),
            QStringLiteral("rsa_cert_file=") + certificate.cert,
            QStringLiteral("rsa_private_key_file=") + certificate.key,
            QStringLiteral("xferlog_enable=NO"),
        };
        file.write(lines.join(u'\n').toUtf8() + '\n');
        file.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(binary, { config });
        if (!m_process.waitForStarted(10000))
            return QStringLiteral("vsftpd did not start");
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000 && m_process.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(500)) {
                probe.waitForReadyRead(2000);
                if (probe.readAll().startsWith("220"))
                    return {};
            }
            QTest::qWait(100);
        }
        return QStringLiteral("vsftpd did not listen: ") + QString::fromLocal8Bit(m_process.readAll());
    }

    quint16 port() const { return m_port; }
    QString pub() const { return m_root + QStringLiteral("/pub"); }

private:
    QProcess m_process;
    QString m_root;
    quint16 m_port = 0;
};

} // namespace

class TestE2eFtps : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_root;
    QString m_local;
    Certificate m_good; // for 127.0.0.1
    Certificate m_otherName; // for other.example only
    PyFtpServer m_tls; // TLS required, m_good
    PyFtpServer m_wrongName; // TLS with m_otherName
    std::unique_ptr<Vsftpd> m_vsftpd; // started by the first test that needs it
    QString m_vsftpdError;

    void setUp(FtpClient &client, quint16 port)
    {
        client.setHostName(QStringLiteral("127.0.0.1"));
        client.setPort(QString::number(port));
        client.setUserName(kUser);
        client.setPassWord(kPassword);
        client.setHostDirName(QStringLiteral("pub"));
        client.setBinary(true);
        client.setTimeout(15);
        client.setSecurity(FtpClient::Security::ExplicitTls);
        client.setTrustedCertificates(m_good.cert);
    }

    QString localFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_local + u'/' + name;
        if (!writeBytes(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_root = m_dir.filePath(QStringLiteral("root"));
        m_local = m_dir.filePath(QStringLiteral("local"));
        QVERIFY(QDir().mkpath(m_root + QStringLiteral("/pub")));
        QVERIFY(QDir().mkpath(m_local));
        QString error = makeCertificate(
            m_dir.path(), QStringLiteral("good"), QStringLiteral("localhost"), true, &m_good);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = makeCertificate(
            m_dir.path(), QStringLiteral("other"), QStringLiteral("other.example"), false, &m_otherName);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = m_tls.start(m_root, kUser, kPassword,
            { QStringLiteral("--tls"), m_good.cert, m_good.key, QStringLiteral("--tls-required") });
        QVERIFY2(error.isEmpty(), qPrintable(error + " (and python3-openssl)"));
        error = m_wrongName.start(
            m_root, kUser, kPassword, { QStringLiteral("--tls"), m_otherName.cert, m_otherName.key });
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void uploadsArriveWhole_data()
    {
        QTest::addColumn<bool>("passive");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("passive text") << true << QByteArray("temp=12,5 ºC\r\nsegunda liña\r\n");
        QTest::newRow("passive 5 MB") << true << binaryBytes(5 * 1024 * 1024, 21);
        QTest::newRow("active text") << false << QByteArray("temp=12,5 ºC\r\nsegunda liña\r\n");
        QTest::newRow("active 5 MB") << false << binaryBytes(5 * 1024 * 1024, 22);
        QTest::newRow("passive empty") << true << QByteArray();
    }

    void uploadsArriveWhole()
    {
        QFETCH(bool, passive);
        QFETCH(QByteArray, bytes);
        const QString name = QStringLiteral("%1.bin").arg(QTest::currentDataTag()).replace(u' ', u'_');
        FtpClient client;
        setUp(client, m_tls.port());
        client.setPassive(passive);
        client.setLocalFileName(localFile(name, bytes));
        client.setHostFileName(name);
        QSignalSpy display(&client, &FtpClient::display);

        QVERIFY2(
            client.Transmit(), qPrintable(client.ErrorMessage() + u'\n' + shownLines(display).join(u'\n')));
        const QByteArray stored = readBytes(m_root + QStringLiteral("/pub/") + name);
        QCOMPARE(stored.size(), bytes.size());
        QCOMPARE(stored, bytes);
        const QStringList lines = shownLines(display);
        const qsizetype auth = lines.indexOf(QStringLiteral("> AUTH TLS"));
        const qsizetype tls = indexStarting(lines, QStringLiteral("! TLS: TLSv1."));
        const qsizetype user = indexStarting(lines, QStringLiteral("> USER "));
        QVERIFY2(auth >= 0 && tls > auth && user > tls, qPrintable(lines.join(u'\n')));
        QVERIFY(lines.indexOf(QStringLiteral("> PBSZ 0")) > user);
        QVERIFY(lines.indexOf(QStringLiteral("> PROT P")) > user);
        QCOMPARE(indexStarting(lines, QStringLiteral("> PASV")) >= 0, passive);
        QCOMPARE(indexStarting(lines, QStringLiteral("> PORT ")) >= 0, !passive);
        QVERIFY(!lines.join(u'\n').contains(kPassword));
    }

    void connectThenPutOverTls()
    {
        FtpClient client;
        setUp(client, m_tls.port());
        client.setPassive(true);
        QVERIFY2(client.Connect(), qPrintable(client.ErrorMessage()));
        const QByteArray first = binaryBytes(200 * 1024, 31);
        const QByteArray second("segundo\r\n");
        for (const auto &[name, bytes] : { std::pair { QStringLiteral("put1.bin"), first },
                 std::pair { QStringLiteral("put2.txt"), second } }) {
            client.setLocalFileName(localFile(name, bytes));
            client.setHostFileName(QStringLiteral("pub/") + name);
            QVERIFY2(client.Put(), qPrintable(client.ErrorMessage()));
            QCOMPARE(readBytes(m_root + QStringLiteral("/pub/") + name), bytes);
        }
        QVERIFY(client.Quit());
    }

    void clearTextLoginIsRefusedByTheServer()
    {
        FtpClient client;
        setUp(client, m_tls.port());
        client.setSecurity(FtpClient::Security::None);
        client.setLocalFileName(localFile(QStringLiteral("clear.txt"), "clear"));
        client.setHostFileName(QStringLiteral("clear.txt"));
        QVERIFY(!client.Transmit());
        QVERIFY2(client.ErrorCode() >= 500, qPrintable(client.ErrorMessage()));
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/pub/clear.txt")));
    }

    // A certificate that does not verify ends the request before USER: no
    // user name, no password, no file ever leaves in clear.
    void refusedCertificateSendsNothing_data()
    {
        QTest::addColumn<bool>("wrongName");
        QTest::addColumn<QString>("trusted");
        QTest::addColumn<QString>("reason");
        QTest::newRow("another name") << true << "other"
                                      << "certificate for another name";
        QTest::newRow("unknown authority") << false << ""
                                           << "unknown authority";
        QTest::newRow("trusted file missing") << false << "missing"
                                              << "trusted certificates";
    }

    void refusedCertificateSendsNothing()
    {
        QFETCH(bool, wrongName);
        QFETCH(QString, trusted);
        QFETCH(QString, reason);
        FtpClient client;
        setUp(client, wrongName ? m_wrongName.port() : m_tls.port());
        client.setTrustedCertificates(trusted == "other" ? m_otherName.cert
                : trusted == "missing"                   ? m_dir.filePath(QStringLiteral("missing.pem"))
                                                         : QString());
        client.setLocalFileName(localFile(QStringLiteral("refused.txt"), "refused"));
        client.setHostFileName(QStringLiteral("refused.txt"));
        QSignalSpy display(&client, &FtpClient::display);
        QVERIFY(!client.Transmit());
        QVERIFY2(client.ErrorMessage().contains(reason), qPrintable(client.ErrorMessage()));
        const QStringList lines = shownLines(display);
        QCOMPARE(indexStarting(lines, QStringLiteral("> USER")), -1);
        QCOMPARE(indexStarting(lines, QStringLiteral("> PASS")), -1);
        QVERIFY(indexStarting(lines, QStringLiteral("! ")) >= 0);
        QVERIFY(!client.Connected());
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/pub/refused.txt")));
    }

    // vsftpd refuses a data connection that does not resume the control
    // connection's TLS session.
    void cleanupTestCase() { m_vsftpd.reset(); }

    void vsftpdWithSessionReuse_data()
    {
        QTest::addColumn<bool>("passive");
        QTest::newRow("passive") << true;
        QTest::newRow("active") << false;
    }

    void vsftpdWithSessionReuse()
    {
        QFETCH(bool, passive);
        if (!m_vsftpd) {
            m_vsftpd = std::make_unique<Vsftpd>();
            m_vsftpdError = m_vsftpd->start(m_dir.filePath(QStringLiteral("vsftpd")), m_good);
        }
        QVERIFY2(m_vsftpdError.isEmpty(), qPrintable(m_vsftpdError));
        Vsftpd &server = *m_vsftpd;
        FtpClient client;
        setUp(client, server.port());
        client.setUserName(QStringLiteral("anonymous"));
        client.setPassWord(QStringLiteral("orvalla@"));
        client.setPassive(passive);
        const QByteArray bytes = binaryBytes(3 * 1024 * 1024 + 17, passive ? 41 : 42);
        const QString name = passive ? QStringLiteral("passive.bin") : QStringLiteral("active.bin");
        client.setLocalFileName(localFile(name, bytes));
        client.setHostFileName(name);
        QSignalSpy display(&client, &FtpClient::display);
        QVERIFY2(
            client.Transmit(), qPrintable(client.ErrorMessage() + u'\n' + shownLines(display).join(u'\n')));
        QCOMPARE(readBytes(server.pub() + u'/' + name), bytes);

        // The check is live: a client that does not resume the session is refused.
        if (passive && !QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty()) {
            QProcess curl;
            curl.start(QStringLiteral("curl"),
                { QStringLiteral("-sS"), QStringLiteral("--no-sessionid"), QStringLiteral("--disable-epsv"),
                    QStringLiteral("--ssl-reqd"), QStringLiteral("--cacert"), m_good.cert,
                    QStringLiteral("-T"), client.LocalFileName(),
                    QStringLiteral("ftp://anonymous:x@127.0.0.1:%1/pub/curl.bin").arg(server.port()) });
            QVERIFY(curl.waitForFinished(30000));
            QVERIFY2(curl.exitCode() != 0, "vsftpd took a data connection without session reuse");
            QVERIFY(!QFile::exists(server.pub() + QStringLiteral("/curl.bin"))
                || readBytes(server.pub() + QStringLiteral("/curl.bin")).isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestE2eFtps)
#include "test_e2e_ftps.moc"
