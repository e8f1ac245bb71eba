#include "ftp_peers.h"

#include "net/ftp_client.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/file.h>

using namespace orvalla;
using namespace ftptest;

namespace
{
const QString kUser = QStringLiteral("estacion");
const QString kPassword = QStringLiteral("orballo 7");
} // namespace

class TestE2eFtpClient : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    PyFtpServer m_pyftp;
    QString m_root; // served folder
    QString m_local; // files to send

    void setUpFor(FtpClient &client, quint16 port, const QString &remoteFolder = QStringLiteral("pub"))
    {
        client.setHostName(QStringLiteral("127.0.0.1"));
        client.setPort(QString::number(port));
        client.setUserName(kUser);
        client.setPassWord(kPassword);
        client.setHostDirName(remoteFolder);
        client.setBinary(true);
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
        const QString error = m_pyftp.start(m_root, kUser, kPassword);
        if (!error.isEmpty())
            QFAIL(qPrintable(error));
    }

    // --- against the real server -------------------------------------------------

    void transmitStoresByteIdentical_data()
    {
        QTest::addColumn<QString>("remoteFolder");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("passive");
        const QByteArray text("01/02/2026 10:00:00 temp=12,5 ºC \r\nsegunda liña\r\n");
        QTest::newRow("text") << "pub" << text << false;
        QTest::newRow("20 MB binary") << "pub" << binaryBytes(20 * 1024 * 1024, 7) << false;
        QTest::newRow("empty file") << "pub" << QByteArray() << false;
        QTest::newRow("login folder") << "" << QByteArray("no folder\r\n") << false;
        QTest::newRow("passive text") << "pub" << text << true;
        QTest::newRow("passive 20 MB binary") << "pub" << binaryBytes(20 * 1024 * 1024, 8) << true;
        QTest::newRow("passive empty file") << "pub" << QByteArray() << true;
    }

    void transmitStoresByteIdentical()
    {
        QFETCH(QString, remoteFolder);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, passive);
        const QString name = QStringLiteral("t_%1.bin").arg(QTest::currentDataTag()).replace(u' ', u'_');
        FtpClient client;
        setUpFor(client, m_pyftp.port(), remoteFolder);
        client.setPassive(passive);
        client.setLocalFileName(localFile(name, bytes));
        client.setHostFileName(name);
        QSignalSpy lines(&client, &FtpClient::display);
        QSignalSpy progress(&client, &FtpClient::progress);

        QVERIFY2(client.Transmit(), qPrintable(client.ErrorMessage()));
        QCOMPARE(client.ErrorCode(), 0);
        QVERIFY(!client.Connected());
        const QString target
            = remoteFolder.isEmpty() ? m_root + u'/' + name : m_root + u'/' + remoteFolder + u'/' + name;
        QCOMPARE(readBytes(target), bytes);
        if (!bytes.isEmpty())
            QCOMPARE(progress.last().at(0).toLongLong(), qint64(bytes.size()));

        QStringList shown;
        for (const QList<QVariant> &line : lines)
            shown.append(line.at(0).toString());
        QVERIFY(shown.contains(QStringLiteral("> TYPE I")));
        QCOMPARE(shown.contains(QStringLiteral("> CWD pub")), !remoteFolder.isEmpty());
        QVERIFY(shown.contains(QStringLiteral("> QUIT")));
        QVERIFY(shown.contains(QStringLiteral("> PASS ****")));
        QVERIFY(!shown.join(u'\n').contains(kPassword));
        QVERIFY(
            std::any_of(shown.begin(), shown.end(), [](const QString &l) { return l.startsWith("< 226"); }));
        QCOMPARE(std::any_of(shown.begin(), shown.end(),
                     [](const QString &l) { return l.startsWith("> PORT 127,0,0,1,"); }),
            !passive);
        QCOMPARE(shown.contains(QStringLiteral("> PASV")), passive);
    }

    // A server behind address translation announces its inner address in the
    // passive reply; the data connection goes to the control peer instead.
    void passiveBehindAddressTranslation()
    {
        PyFtpServer translated;
        const QString error = translated.start(
            m_root, kUser, kPassword, { QStringLiteral("--masquerade"), QStringLiteral("10.0.0.1") });
        QVERIFY2(error.isEmpty(), qPrintable(error));
        FtpClient client;
        setUpFor(client, translated.port());
        client.setPassive(true);
        const QByteArray bytes = binaryBytes(300 * 1024, 11);
        client.setLocalFileName(localFile(QStringLiteral("nat.bin"), bytes));
        client.setHostFileName(QStringLiteral("nat.bin"));
        QSignalSpy lines(&client, &FtpClient::display);

        QVERIFY2(client.Transmit(), qPrintable(client.ErrorMessage()));
        QCOMPARE(readBytes(m_root + QStringLiteral("/pub/nat.bin")), bytes);
        QStringList shown;
        for (const QList<QVariant> &line : lines)
            shown.append(line.at(0).toString());
        QVERIFY2(std::any_of(shown.begin(), shown.end(),
                     [](const QString &l) { return l.startsWith("< 227") && l.contains("10,0,0,1,"); }),
            qPrintable(shown.join(u'\n')));
        QVERIFY2(std::any_of(shown.begin(), shown.end(),
                     [](const QString &l) { return l.startsWith("! Data connection to 127.0.0.1:"); }),
            qPrintable(shown.join(u'\n')));
    }

    void connectPutQuit()
    {
        FtpClient client;
        setUpFor(client, m_pyftp.port());
        QVERIFY2(client.Connect(), qPrintable(client.ErrorMessage()));
        QVERIFY(client.Connected());

        // A second conversation over an open one is refused, and leaves it open.
        QVERIFY(!client.Connect());
        QCOMPARE(client.ErrorMessage(), QStringLiteral("FTP client already connected"));
        QVERIFY(!client.Transmit());
        QVERIFY(client.Connected());

        // Put stores in image type: line ends of a binary file arrive untouched.
        const QByteArray first = binaryBytes(300 * 1024, 11);
        const QByteArray second("a\r\nb\r\n");
        client.setLocalFileName(localFile(QStringLiteral("put1.bin"), first));
        client.setHostFileName(QStringLiteral("put1.bin"));
        QVERIFY2(client.Put(), qPrintable(client.ErrorMessage()));
        client.setLocalFileName(localFile(QStringLiteral("put2.txt"), second));
        client.setHostFileName(QStringLiteral("put2.txt"));
        QVERIFY2(client.Put(), qPrintable(client.ErrorMessage()));
        QVERIFY(client.Connected());
        // Connect does not change folder: the files are in the login folder.
        QCOMPARE(readBytes(m_root + QStringLiteral("/put1.bin")), first);
        QCOMPARE(readBytes(m_root + QStringLiteral("/put2.txt")), second);

        QVERIFY2(client.Quit(), qPrintable(client.ErrorMessage()));
        QVERIFY(!client.Connected());
        QVERIFY(!client.Put());
        QVERIFY(!client.Quit());

        // Abort drops an open connection; a new conversation can start at once.
        QVERIFY(client.Connect());
        QVERIFY(client.Abort());
        QVERIFY(!client.Connected());
        QVERIFY(client.Connect());
        QVERIFY(client.Quit());
    }

    void failuresStillEndWithQuit_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("remoteFolder");
        QTest::addColumn<bool>("localExists");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("wrong password") << "bad"
                                        << "pub" << true << 530 << QString();
        QTest::newRow("missing remote folder") << kPassword << "nowhere" << true << 550 << QString();
        QTest::newRow("missing local file")
            << kPassword << "pub" << false << 426 << QStringLiteral("426 Unable to open local file ");
    }

    void failuresStillEndWithQuit()
    {
        QFETCH(QString, password);
        QFETCH(QString, remoteFolder);
        QFETCH(bool, localExists);
        QFETCH(int, code);
        QFETCH(QString, message);
        FtpClient client;
        setUpFor(client, m_pyftp.port(), remoteFolder);
        client.setPassWord(password);
        const QString local = localExists ? localFile(QStringLiteral("f.txt"), "x\r\n")
                                          : m_local + QStringLiteral("/no-such-file.txt");
        client.setLocalFileName(local);
        client.setHostFileName(QStringLiteral("f_failed.txt"));
        QSignalSpy lines(&client, &FtpClient::display);

        QVERIFY(!client.Transmit());
        QCOMPARE(client.ErrorCode(), code);
        if (!message.isEmpty()) {
            QCOMPARE(client.ErrorMessage(), message + local);
            QVERIFY(lines.contains(QVariantList { QStringLiteral("! ") + message + local }));
        }
        QCOMPARE(lines.last().at(0).toString().left(5), QStringLiteral("< 221"));
        QVERIFY(!client.Connected());
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/pub/f_failed.txt")));
        for (const QList<QVariant> &line : lines)
            QVERIFY(!line.at(0).toString().startsWith(QStringLiteral("> STOR")));
    }

    // --- against scripted servers ------------------------------------------------

    void conversation_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("remoteFolder");
        QTest::addColumn<QByteArray>("storFinal");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArrayList>("verbs");

        const QByteArray greeting = "220 ready\r\n";
        QTest::newRow("multi-line greeting")
            << QByteArray("220-Benvido\r\n220-segunda liña\n220 listo\r\n") << QByteArray() << QByteArray()
            << "pub" << QByteArray("226 ok\r\n") << 0
            << QByteArrayList { "USER", "PASS", "CWD", "TYPE", "PORT", "STOR", "QUIT" };
        QTest::newRow("no password needed")
            << greeting << QByteArray("USER") << QByteArray("230 welcome\r\n") << "pub"
            << QByteArray("226 ok\r\n") << 0
            << QByteArrayList { "USER", "CWD", "TYPE", "PORT", "STOR", "QUIT" };
        QTest::newRow("account asked")
            << greeting << QByteArray("PASS") << QByteArray("332 account?\r\n") << "pub"
            << QByteArray("250 ok\r\n") << 0
            << QByteArrayList { "USER", "PASS", "ACCT", "CWD", "TYPE", "PORT", "STOR", "QUIT" };
        QTest::newRow("no remote folder")
            << greeting << QByteArray() << QByteArray() << "" << QByteArray("226 ok\r\n") << 0
            << QByteArrayList { "USER", "PASS", "TYPE", "PORT", "STOR", "QUIT" };
        QTest::newRow("STOR refused")
            << greeting << QByteArray("STOR") << QByteArray("553 not allowed\r\n") << "pub" << QByteArray()
            << 553 << QByteArrayList { "USER", "PASS", "CWD", "TYPE", "PORT", "STOR", "QUIT" };
        QTest::newRow("STOR fails at the end")
            << greeting << QByteArray() << QByteArray() << "pub" << QByteArray("451 disk full\r\n") << 451
            << QByteArrayList { "USER", "PASS", "CWD", "TYPE", "PORT", "STOR", "QUIT" };
        QTest::newRow("login refused") << greeting << QByteArray("PASS") << QByteArray("530 no\r\n") << "pub"
                                       << QByteArray() << 530 << QByteArrayList { "USER", "PASS", "QUIT" };
        QTest::newRow("greeting refused")
            << QByteArray("421 too many users\r\n") << QByteArray() << QByteArray() << "pub" << QByteArray()
            << 421 << QByteArrayList { "QUIT" };
        // The final line decides: this greeting ends at once, refused with 221.
        QTest::newRow("greeting ends on another code")
            << QByteArray("220-hello\r\n221 bye\r\n") << QByteArray() << QByteArray() << "pub" << QByteArray()
            << 221 << QByteArrayList { "QUIT" };
        QTest::newRow("TYPE refused")
            << greeting << QByteArray("TYPE") << QByteArray("504 no binary\r\n") << "pub" << QByteArray()
            << 504 << QByteArrayList { "USER", "PASS", "CWD", "TYPE", "QUIT" };
    }

    void conversation()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, verb);
        QFETCH(QByteArray, reply);
        QFETCH(QString, remoteFolder);
        QFETCH(QByteArray, storFinal);
        QFETCH(int, code);
        QFETCH(QByteArrayList, verbs);

        ScriptedFtpServer server;
        server.greeting = greeting;
        if (!verb.isEmpty())
            server.replies.insert(verb, reply);
        server.storFinal = storFinal;
        FtpClient client;
        setUpFor(client, server.port(), remoteFolder);
        client.setAccount(QStringLiteral("conta"));
        const QByteArray bytes = binaryBytes(100 * 1024, 3);
        client.setLocalFileName(localFile(QStringLiteral("c.bin"), bytes));
        client.setHostFileName(QStringLiteral("c.bin"));
        QSignalSpy lines(&client, &FtpClient::display);

        QCOMPARE(client.Transmit(), code == 0);
        QCOMPARE(client.ErrorCode(), code);
        QCOMPARE(server.verbs(), verbs);
        QVERIFY(!client.Connected());
        if (code == 0) {
            QCOMPARE(server.stored, bytes);
            if (verbs.contains("ACCT"))
                QCOMPARE(server.lines.at(verbs.indexOf("ACCT")), QByteArray("ACCT conta"));
        } else {
            // The error text is the refusing reply line.
            QByteArray refusal = reply.isEmpty() ? storFinal : reply;
            if (refusal.isEmpty()) // the greeting refused: its final line
                refusal = greeting.trimmed().split('\n').last();
            QCOMPARE(client.ErrorMessage(), QString::fromUtf8(refusal.trimmed()));
        }
        if (code == 451)
            QVERIFY(lines.contains(QVariantList { QStringLiteral("! STOR Failed") }));
    }

    void accountAskedButNoneSet()
    {
        // The upload never sets an account: a server that asks for one gets
        // an empty ACCT and decides for itself.
        ScriptedFtpServer server;
        server.replies.insert("PASS", "332 account?\r\n");
        FtpClient client;
        setUpFor(client, server.port(), QString());
        client.setLocalFileName(localFile(QStringLiteral("a.txt"), "a"));
        client.setHostFileName(QStringLiteral("a.txt"));
        QVERIFY2(client.Transmit(), qPrintable(client.ErrorMessage()));
        QCOMPARE(server.verbs(), (QByteArrayList { "USER", "PASS", "ACCT", "TYPE", "PORT", "STOR", "QUIT" }));
        QCOMPARE(server.lines.at(2), QByteArray("ACCT "));
        QCOMPARE(server.stored, QByteArray("a"));
    }

    void silentServerTimesOutWhileTimersRun()
    {
        ScriptedFtpServer server;
        server.greeting.clear();
        FtpClient client;
        setUpFor(client, server.port());
        client.setTimeout(1);
        client.setLocalFileName(localFile(QStringLiteral("s.txt"), "s"));
        client.setHostFileName(QStringLiteral("s.txt"));

        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
        timer.start(50);
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!client.Transmit());
        const qint64 took = elapsed.elapsed();
        QCOMPARE(client.ErrorCode(), 426);
        QCOMPARE(client.ErrorMessage(), QStringLiteral("426 Timeout"));
        QVERIFY(!client.Connected());
        QVERIFY2(took >= 900 && took < 5000, qPrintable(QString::number(took)));
        // The wait kept the event loop turning.
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    }

    void repliesDoNotMoveTheDeadline()
    {
        // Every reply comes quickly, but the whole conversation is longer than
        // the time-out and moves no data: it must still give up.
        ScriptedFtpServer server;
        server.replyDelayMs = 300;
        FtpClient client;
        setUpFor(client, server.port());
        client.setTimeout(1);
        client.setLocalFileName(localFile(QStringLiteral("r.txt"), "r"));
        client.setHostFileName(QStringLiteral("r.txt"));
        QVERIFY(!client.Transmit());
        QCOMPARE(client.ErrorMessage(), QStringLiteral("426 Timeout"));
        QVERIFY(!server.verbs().contains("STOR"));
    }

    void timeOutAfterAnEarlierFailureIsStillATimeOut()
    {
        // STOR is refused, then QUIT is never answered: the request ends by
        // the time-out, and says so.
        ScriptedFtpServer server;
        server.replies.insert("STOR", "553 not allowed\r\n");
        server.replies.insert("QUIT", QByteArray());
        FtpClient client;
        setUpFor(client, server.port());
        client.setTimeout(1);
        client.setLocalFileName(localFile(QStringLiteral("q.txt"), "q"));
        client.setHostFileName(QStringLiteral("q.txt"));
        QSignalSpy lines(&client, &FtpClient::display);
        QVERIFY(!client.Transmit());
        QCOMPARE(server.verbs().last(), QByteArray("QUIT"));
        QCOMPARE(client.ErrorCode(), 426);
        QCOMPARE(client.ErrorMessage(), QStringLiteral("426 Timeout"));
        QCOMPARE(lines.last().at(0).toString(), QStringLiteral("! 426 Timeout"));
        QVERIFY(!client.Connected());
    }

    void dataProgressMovesTheDeadline()
    {
        // The server reads slowly: the transfer takes longer than the
        // time-out but keeps making progress.
        ScriptedFtpServer server;
        server.readPerTick = 128 * 1024;
        FtpClient client;
        setUpFor(client, server.port());
        client.setTimeout(1);
        const QByteArray bytes = binaryBytes(16 * 1024 * 1024, 5);
        client.setLocalFileName(localFile(QStringLiteral("slow.bin"), bytes));
        client.setHostFileName(QStringLiteral("slow.bin"));
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY2(client.Transmit(), qPrintable(client.ErrorMessage()));
        QVERIFY2(elapsed.elapsed() > 1500, qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(server.stored.size(), bytes.size());
        QVERIFY(server.stored == bytes);
    }

    void droppedDataConnectionFails_data()
    {
        QTest::addColumn<QByteArray>("afterDrop");
        QTest::addColumn<QString>("message");
        QTest::newRow("server says aborted") << QByteArray("426 Connection closed; transfer aborted.\r\n")
                                             << "426 Connection closed; transfer aborted.";
        // The server claims success, but cannot have the whole file.
        QTest::newRow("server says stored")
            << QByteArray("226 stored\r\n") << "426 Data connection closed before the end of the file";
    }

    void droppedDataConnectionFails()
    {
        QFETCH(QByteArray, afterDrop);
        QFETCH(QString, message);
        ScriptedFtpServer server;
        server.dropDataAfter = 256 * 1024;
        server.afterDrop = afterDrop;
        FtpClient client;
        setUpFor(client, server.port());
        client.setTimeout(5);
        client.setLocalFileName(localFile(QStringLiteral("drop.bin"), binaryBytes(24 * 1024 * 1024, 9)));
        client.setHostFileName(QStringLiteral("drop.bin"));
        QVERIFY(!client.Transmit());
        QCOMPARE(client.ErrorCode(), 426);
        QCOMPARE(client.ErrorMessage(), message);
        QCOMPARE(server.verbs().last(), QByteArray("QUIT"));
        QVERIFY(!client.Connected());
    }

    void dataConnectionFromElsewhereIsRefused()
    {
        ScriptedFtpServer server;
        server.dataFrom = QHostAddress(QStringLiteral("127.0.0.2"));
        FtpClient client;
        setUpFor(client, server.port());
        client.setTimeout(1);
        client.setLocalFileName(localFile(QStringLiteral("secret.txt"), "secret"));
        client.setHostFileName(QStringLiteral("secret.txt"));
        QSignalSpy lines(&client, &FtpClient::display);
        QVERIFY(!client.Transmit());
        QVERIFY(server.stored.isEmpty());
        QVERIFY(lines.contains(QVariantList { QStringLiteral("! Data connection from 127.0.0.2 refused") }));
    }

    void fileLockedByAWriterIsNotSent()
    {
        ScriptedFtpServer server;
        FtpClient client;
        setUpFor(client, server.port());
        const QString path = localFile(QStringLiteral("busy.txt"), "being written");
        QFile writer(path);
        QVERIFY(writer.open(QIODevice::Append));
        QCOMPARE(::flock(writer.handle(), LOCK_EX | LOCK_NB), 0);
        client.setLocalFileName(path);
        client.setHostFileName(QStringLiteral("busy.txt"));
        QVERIFY(!client.Transmit());
        QCOMPARE(client.ErrorMessage(), QStringLiteral("426 Unable to open local file ") + path);
        QVERIFY(!server.verbs().contains("STOR"));

        // Once the writer lets go the file goes out, and the sender's lock
        // does not outlive the transfer.
        ::flock(writer.handle(), LOCK_UN);
        QVERIFY2(client.Transmit(), qPrintable(client.ErrorMessage()));
        QCOMPARE(server.stored, QByteArray("being written"));
        QCOMPARE(::flock(writer.handle(), LOCK_EX | LOCK_NB), 0);
    }

    void refusedConnection()
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        FtpClient client;
        setUpFor(client, port);
        client.setLocalFileName(localFile(QStringLiteral("n.txt"), "n"));
        QSignalSpy lines(&client, &FtpClient::display);
        QVERIFY(!client.Connect());
        QVERIFY(!client.Connected());
        QVERIFY(client.ErrorCode() != 0);
        QVERIFY2(client.ErrorMessage().contains(QStringLiteral("refused"), Qt::CaseInsensitive),
            qPrintable(client.ErrorMessage()));
        QVERIFY(!client.Transmit());
        for (const QList<QVariant> &line : lines)
            QVERIFY(!line.at(0).toString().startsWith(QStringLiteral("> ")));
    }
};

QTEST_GUILESS_MAIN(TestE2eFtpClient)
#include "test_e2e_ftp_client.moc"
