#include "net/ftp_reply.h"
#include "net/sockets.h"
#include "publish/ftp_upload.h"

#include <QSignalSpy>
#include <QtTest>

using namespace orvalla;

class TestFtp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replyParser_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("consumed");

        const int complete = FtpReply::Complete;
        const int incomplete = FtpReply::Incomplete;
        const int bad = FtpReply::Bad;
        QTest::newRow("crlf") << QByteArray("220 ready\r\n") << complete << 220 << 1 << 11;
        QTest::newRow("lf alone") << QByteArray("230 ok\n") << complete << 230 << 1 << 7;
        QTest::newRow("code only") << QByteArray("221\r\n") << complete << 221 << 1 << 5;
        QTest::newRow("next reply left") << QByteArray("150 go\r\n226 done\r\n") << complete << 150 << 1 << 8;
        QTest::newRow("no line end") << QByteArray("220 rea") << incomplete << 0 << 0 << 0;
        QTest::newRow("empty") << QByteArray() << incomplete << 0 << 0 << 0;
        QTest::newRow("multi-line") << QByteArray("220-Welcome\r\n220-more\n220 ready\r\n") << complete << 220
                                    << 3 << 33;
        QTest::newRow("multi-line waits for last")
            << QByteArray("220-Welcome\r\n220-more\r\n") << incomplete << 0 << 0 << 0;
        // Inside a multi-line reply, text lines (padded when they start with a
        // number) and continuation lines of any code do not end it.
        QTest::newRow("multi-line text")
            << QByteArray("211-Features\r\n MDTM\r\n 230 padded\r\n230-more\r\n211 End\r\n") << complete
            << 211 << 5 << 53;
        // The final line decides, even with another code than the first line.
        QTest::newRow("final line decides")
            << QByteArray("220-hello\r\n221 bye\r\n") << complete << 221 << 2 << 20;
        QTest::newRow("final line without text")
            << QByteArray("220-hello\r\n221\r\n220 next\r\n") << complete << 221 << 2 << 16;
        QTest::newRow("not a code") << QByteArray("hello\r\n") << bad << 0 << 0 << 0;
        QTest::newRow("code glued to text") << QByteArray("220ready\r\n") << bad << 0 << 0 << 0;
        QTest::newRow("code out of range") << QByteArray("620 what\r\n") << bad << 0 << 0 << 0;
        QTest::newRow("short") << QByteArray("22\r\n") << bad << 0 << 0 << 0;
        QTest::newRow("line longer than buffer")
            << QByteArray("220 " + QByteArray(kFtpReceiveBuffer, 'x')) << bad << 0 << 0 << 0;
        QTest::newRow("endless multi-line")
            << QByteArray("220-a\r\n").repeated(int(kFtpMaxReply / 7 + 1)) << bad << 0 << 0 << 0;
    }

    void replyParser()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, status);
        QFETCH(int, code);
        QFETCH(int, lines);
        QFETCH(int, consumed);
        const FtpReply reply = parseFtpReply(buffer);
        QCOMPARE(int(reply.status), status);
        if (status != FtpReply::Complete)
            return;
        QCOMPARE(reply.code, code);
        QCOMPARE(reply.lines.size(), lines);
        QCOMPARE(reply.consumed, qsizetype(consumed));
        QVERIFY(!reply.lines.last().endsWith('\r'));
    }

    void multiLineKeepsEveryLine()
    {
        const FtpReply reply = parseFtpReply("220-Welcome\r\n220 ready\r\n");
        QCOMPARE(reply.lines, (QList<QByteArray> { "220-Welcome", "220 ready" }));
    }

    void portCommand()
    {
        QCOMPARE(ftpPortCommand(0x7F000001, 0xC351), QByteArray("PORT 127,0,0,1,195,81"));
        QCOMPARE(ftpPortCommand(0xC0A80AFE, 21), QByteArray("PORT 192,168,10,254,0,21"));
        QCOMPARE(ftpPortCommand(0xFFFFFFFF, 65535), QByteArray("PORT 255,255,255,255,255,255"));
    }

    void passiveReplies_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<quint32>("ipv4");
        QTest::addColumn<int>("port");
        QTest::newRow("usual") << QByteArray("227 Entering Passive Mode (10,0,0,1,195,81).") << true
                               << quint32(0x0A000001) << 0xC351;
        QTest::newRow("no brackets") << QByteArray("227 =192,168,1,20,4,1") << true << quint32(0xC0A80114)
                                     << 1025;
        QTest::newRow("digits in the text first")
            << QByteArray("227 Mode 2 on (127,0,0,1,0,21)") << true << quint32(0x7F000001) << 21;
        QTest::newRow("number out of range") << QByteArray("227 (256,0,0,1,4,1)") << false << quint32(0) << 0;
        QTest::newRow("five numbers") << QByteArray("227 (127,0,0,1,4)") << false << quint32(0) << 0;
        QTest::newRow("port zero") << QByteArray("227 (127,0,0,1,0,0)") << false << quint32(0) << 0;
        QTest::newRow("epsv") << QByteArray("229 Entering Extended Passive Mode (|||6446|)") << true
                              << quint32(0) << 6446;
        QTest::newRow("epsv other delimiter") << QByteArray("229 ok (!!!21!)") << true << quint32(0) << 21;
        QTest::newRow("epsv port too big") << QByteArray("229 (|||70000|)") << false << quint32(0) << 0;
        QTest::newRow("epsv unterminated") << QByteArray("229 (|||6446") << false << quint32(0) << 0;
    }

    void passiveReplies()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, ok);
        QFETCH(quint32, ipv4);
        QFETCH(int, port);
        const FtpPassiveTarget t = line.startsWith("229") ? parseEpsvReply(line) : parsePasvReply(line);
        QCOMPARE(t.ok, ok);
        if (ok) {
            QCOMPARE(t.ipv4, ipv4);
            QCOMPARE(int(t.port), port);
        }
    }

    void unroutableAddresses()
    {
        for (quint32 a : { 0x0A000001u, 0xAC1F0001u, 0xC0A80101u, 0x7F000001u, 0xA9FE0101u, 0x64400001u, 0u })
            QVERIFY2(ftpUnroutable(a), qPrintable(QString::number(a, 16)));
        for (quint32 a : { 0x08080808u, 0xAC200001u, 0xC0A90101u, 0x0B000001u, 0x64800001u })
            QVERIFY2(!ftpUnroutable(a), qPrintable(QString::number(a, 16)));
    }

    void portNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("default") << "ftp" << 21;
        QTest::newRow("upper case") << "FTP" << 21;
        QTest::newRow("mail default") << "smtp" << 25;
        QTest::newRow("number") << "2121" << 2121;
        QTest::newRow("blanks") << " 21 " << 21;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("too big") << "65536" << 0;
        QTest::newRow("negative") << "-21" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("unknown service") << "no-such-service-here" << 0;
    }

    void portNumber()
    {
        QFETCH(QString, text);
        QFETCH(int, port);
        QCOMPARE(int(tcpPortNumber(text)), port);
    }

    void displayLogHoldsAtMost101Lines()
    {
        FtpDisplayLog log;
        QSignalSpy cleared(&log, &FtpDisplayLog::cleared);
        QSignalSpy added(&log, &FtpDisplayLog::lineAdded);
        for (int i = 0; i < 101; ++i)
            log.add(QString::number(i));
        QCOMPARE(log.lines().size(), 101);
        QCOMPARE(cleared.count(), 0);
        log.add(QStringLiteral("next"));
        QCOMPARE(cleared.count(), 1);
        QCOMPARE(log.lines(), QStringList { QStringLiteral("next") });
        QCOMPARE(added.count(), 102);
        QCOMPARE(added.last().at(0).toString(), QStringLiteral("next"));
    }
};

QTEST_GUILESS_MAIN(TestFtp)
#include "test_ftp.moc"
