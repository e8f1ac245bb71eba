// Network peers that misbehave, against the engines, with a one-second timer
// standing in for the console's clock tick: FTP and SMTP servers that stall,
// drop the connection, answer garbage or trickle a byte a second, and HTTP
// clients that hold hundreds of idle connections or send headers for ever.
// Whatever the peer does, the tick keeps firing on time, the engine gives up
// within its bounds, its memory stays bounded, and it serves the next
// well-behaved peer.

#include "tests/e2e/ftp/ftp_peers.h"
#include "tests/smtp/scripted_smtp_server.h"
#include "tests/support/line_peer.h"

#include "net/ftp_client.h"
#include "net/http_server.h"
#include "net/smtp_client.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define ORVALLA_ASAN
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVALLA_ASAN
#endif
#endif
#ifdef ORVALLA_ASAN
// From the sanitizer runtime's allocator interface.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace orvalla;

namespace
{

// The clock tick's stand-in: a one-second timer that counts its fires and
// remembers how late the latest-coming one was.
class TickWatch : public QObject
{
public:
    int fires = 0;
    qint64 worstLateMs = 0;

    TickWatch()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1000);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            ++fires;
            const qint64 now = m_clock.elapsed();
            worstLateMs = qMax(worstLateMs, now - m_last - 1000);
            m_last = now;
        });
        m_clock.start();
        m_timer.start();
    }

    qint64 elapsed() const { return m_clock.elapsed(); }

    // Fires as expected for the time gone by, none of them much late. A loop
    // that blocked for a second would miss a whole tick; the slack is for a
    // loaded machine running sanitized builds side by side.
    QString problem(qint64 allowedLateMs = 750) const
    {
        const qint64 gone = m_clock.elapsed();
        if (fires < gone / 1000 - 1 || worstLateMs > allowedLateMs)
            return QStringLiteral("%1 ticks in %2 ms, the latest %3 ms late")
                .arg(fires)
                .arg(gone)
                .arg(worstLateMs);
        return {};
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
};

// Memory this process holds, kB. Under AddressSanitizer the heap in use: its
// quarantine keeps freed blocks resident, so the resident size would grow with
// any churn of allocations.
#ifdef ORVALLA_ASAN
constexpr qint64 kMemoryBoundKb = 8 * 1024;
#else
constexpr qint64 kMemoryBoundKb = 64 * 1024; // the resident size moves with the allocator's whims
#endif

qint64 memoryKb()
{
#ifdef ORVALLA_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return 0;
#endif
}

// A server on loopback that misbehaves as told. Each accepted connection gets
// the greeting (a byte at a time if trickleMs is set), then each command line
// is answered by answer(): bytes to send, "" for silence, "CLOSE" to close,
// "RESET" to reset the connection. closeAtOnce closes each connection as
// soon as it is accepted. With flood set, the greeting is followed by
// flood, sent again and again for as long as the peer stays.
class BadPeer : public testsupport::LinePeer
{
public:
    int trickleMs = 0;
    QByteArray flood;
    bool closeAtOnce = false;
    std::function<QByteArray(const QByteArray &line)> answer;
    qint64 flooded = 0;

private:
    void accepted(QTcpSocket *s) override
    {
        if (closeAtOnce) {
            s->disconnectFromHost();
            return;
        }
        if (trickleMs > 0) {
            auto *timer = new QTimer(s);
            auto rest = std::make_shared<QByteArray>(greeting);
            connect(timer, &QTimer::timeout, s, [s, timer, rest] {
                if (rest->isEmpty()) {
                    timer->stop();
                    return;
                }
                s->write(rest->left(1));
                rest->remove(0, 1);
            });
            timer->start(trickleMs);
        } else {
            s->write(greeting);
        }
        if (!flood.isEmpty()) {
            connect(s, &QTcpSocket::bytesWritten, this, [this, s] {
                if (s->state() == QAbstractSocket::ConnectedState && s->bytesToWrite() < 256 * 1024) {
                    s->write(flood);
                    flooded += flood.size();
                }
            });
            s->write(flood);
        }
    }

    void lineReceived(QTcpSocket *s, const QByteArray &line) override
    {
        const QByteArray reply = answer ? answer(line.trimmed()) : QByteArray();
        if (reply == "CLOSE")
            s->disconnectFromHost();
        else if (reply == "RESET")
            s->abort();
        else
            s->write(reply);
    }
};

using Script = std::function<QByteArray(const QByteArray &)>;

QByteArray verbOf(const QByteArray &line)
{
    const qsizetype blank = line.indexOf(' ');
    return (blank < 0 ? line : line.left(blank)).toUpper();
}

QByteArray garbage(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(random.bounded(256));
    bytes[0] = 'x'; // never a reply code by chance
    return bytes;
}

// A willing FTP dialogue up to the verb named (none: to the end), which gets the given answer.
Script ftpUntil(const QByteArray &verb, const QByteArray &answer)
{
    return [verb, answer](const QByteArray &line) -> QByteArray {
        const QByteArray v = verbOf(line);
        if (v == verb)
            return answer;
        if (v == "USER")
            return "331 password please\r\n";
        if (v == "PASS")
            return "230 in\r\n";
        if (v == "CWD")
            return "250 ok\r\n";
        if (v == "TYPE" || v == "PORT")
            return "200 ok\r\n";
        if (v == "QUIT")
            return "221 bye\r\n";
        return "502 no\r\n";
    };
}

// A willing SMTP dialogue up to the verb named ("HELLO": EHLO or HELO).
Script smtpUntil(const QByteArray &verb, const QByteArray &answer)
{
    return [verb, answer](const QByteArray &line) -> QByteArray {
        const QByteArray v = verbOf(line);
        if (v == verb || (verb == "HELLO" && (v == "EHLO" || v == "HELO")))
            return answer;
        if (v == "EHLO" || v == "HELO")
            return "250 hello\r\n";
        if (v == "QUIT")
            return "221 bye\r\n";
        return "250 ok\r\n";
    };
}

// How a peer is set up for one case.
struct PeerCase {
    QByteArray greeting;
    int trickleMs = 0;
    QByteArray flood;
    Script answer;
    bool closeAtOnce = false;
};

void setUp(BadPeer &peer, const PeerCase &c)
{
    peer.greeting = c.greeting;
    peer.trickleMs = c.trickleMs;
    peer.flood = c.flood;
    peer.answer = c.answer;
    peer.closeAtOnce = c.closeAtOnce;
}

} // namespace

Q_DECLARE_METATYPE(PeerCase)

class TestFaultPeers : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString localFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    static void setUpFtp(FtpClient &client, quint16 port)
    {
        client.setHostName(QStringLiteral("127.0.0.1"));
        client.setPort(QString::number(port));
        client.setUserName(QStringLiteral("estacion"));
        client.setPassWord(QStringLiteral("segredo"));
        client.setHostDirName(QStringLiteral("pub"));
        client.setBinary(true);
    }

    static void setUpSmtp(SmtpClient &client, quint16 port)
    {
        client.Host = QStringLiteral("127.0.0.1");
        client.Port = QString::number(port);
        client.SignOn = QStringLiteral("orvalla");
        client.FromName = QStringLiteral("estacion@example.org");
        client.HdrFrom = client.FromName;
        client.HdrTo = QStringLiteral("meteo@example.org");
        client.HdrSubject = QStringLiteral("proba");
        client.RcptName = QStringList { QStringLiteral("meteo@example.org") };
        client.MailMessage = QStringList { QStringLiteral("linea 1"), QStringLiteral("linea 2") };
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // --- FTP: the blocking call ends within its time-out, ticks go on -----------

    void ftpPeerMisbehaves_data()
    {
        QTest::addColumn<PeerCase>("peer");
        QTest::newRow("silent") << PeerCase {};
        QTest::newRow("closes at once") << PeerCase { {}, 0, {}, {}, true };
        // The client speaks first only after a greeting: close on its USER.
        QTest::newRow("resets at login") << PeerCase { "220 hi\r\n", 0, {}, ftpUntil("USER", "RESET") };
        QTest::newRow("closes after the password")
            << PeerCase { "220 hi\r\n", 0, {}, ftpUntil("PASS", "CLOSE") };
        QTest::newRow("garbage greeting") << PeerCase { garbage(3000, 7), 0, {}, {} };
        QTest::newRow("garbage answer to USER")
            << PeerCase { "220 hi\r\n", 0, {}, ftpUntil("USER", garbage(200, 8) + "\r\n") };
        QTest::newRow("endless multi-line greeting")
            << PeerCase { "220-welcome\r\n", 0, QByteArray("220-and more\r\n").repeated(4096), {} };
        QTest::newRow("greeting a byte a second") << PeerCase { "220 ready\r\n", 1000, {}, ftpUntil({}, {}) };
        QTest::newRow("accepts STOR but never connects")
            << PeerCase { "220 hi\r\n", 0, {}, ftpUntil("STOR", "150 opening\r\n") };
    }

    void ftpPeerMisbehaves()
    {
        QFETCH(PeerCase, peer);
        BadPeer bad;
        setUp(bad, peer);
        FtpClient client;
        setUpFtp(client, bad.port());
        client.setTimeout(2);
        const QByteArray bytes = ftptest::binaryBytes(64 * 1024, 3);
        client.setLocalFileName(localFile(QStringLiteral("pagina.htm"), bytes));
        client.setHostFileName(QStringLiteral("pagina.htm"));

        const qint64 rssBefore = memoryKb();
        TickWatch ticks;
        QVERIFY(!client.Transmit());
        const qint64 took = ticks.elapsed();
        QVERIFY2(client.ErrorCode() != 0, qPrintable(client.ErrorMessage()));
        QVERIFY(!client.Connected());
        QVERIFY(!client.Busy());
        // The time-out is 2 s without progress; replies are not progress.
        QVERIFY2(took < 4500, qPrintable(QStringLiteral("%1 ms: %2").arg(took).arg(client.ErrorMessage())));
        const QString late = ticks.problem();
        QVERIFY2(late.isEmpty(), qPrintable(late));
        QVERIFY2(memoryKb() - rssBefore < kMemoryBoundKb,
            qPrintable(QStringLiteral("%1 kB more memory").arg(memoryKb() - rssBefore)));
        qInfo("%d ticks in %lld ms, the latest %lld ms late; %lld kB more memory", ticks.fires,
            ticks.elapsed(), ticks.worstLateMs, memoryKb() - rssBefore);

        // The same client serves a willing server at once.
        ftptest::ScriptedFtpServer good;
        setUpFtp(client, good.port());
        QVERIFY2(client.Transmit(), qPrintable(client.ErrorMessage()));
        QCOMPARE(good.stored.size(), bytes.size());
        QVERIFY(good.stored == bytes);
    }

    // --- SMTP: requests return at once; only abort ends a silent server ------

    void smtpPeerMisbehaves_data()
    {
        QTest::addColumn<PeerCase>("peer");
        QTest::addColumn<bool>("ends"); // the open request ends without an abort
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("silent") << PeerCase {} << false << false;
        QTest::newRow("closes at once") << PeerCase { {}, 0, {}, {}, true } << true << false;
        QTest::newRow("resets at hello")
            << PeerCase { "220 hi\r\n", 0, {}, smtpUntil("HELLO", "RESET") } << true << false;
        QTest::newRow("closes at hello")
            << PeerCase { "220 hi\r\n", 0, {}, smtpUntil("HELLO", "CLOSE") } << true << false;
        QTest::newRow("garbage greeting") << PeerCase { garbage(3000, 9), 0, {}, {} } << true << false;
        QTest::newRow("garbage answer to HELO")
            << PeerCase { "220 hi\r\n", 0, {}, smtpUntil("HELLO", garbage(300, 10) + "\r\n") } << true
            << false;
        QTest::newRow("endless multi-line greeting")
            << PeerCase { "220-welcome\r\n", 0, QByteArray("220-and more\r\n").repeated(4096), {} } << false
            << false;
        QTest::newRow("greeting a byte a second")
            << PeerCase { "220 hi\r\n", 1000, {}, smtpUntil({}, {}) } << true << true;
    }

    void smtpPeerMisbehaves()
    {
        QFETCH(PeerCase, peer);
        QFETCH(bool, ends);
        QFETCH(bool, succeeds);
        BadPeer bad;
        setUp(bad, peer);
        SmtpClient client;
        setUpSmtp(client, bad.port());
        QSignalSpy done(&client, &SmtpClient::requestDone);

        const qint64 rssBefore = memoryKb();
        TickWatch ticks;
        client.open();
        // Never blocks: the request runs on after the call.
        QVERIFY2(ticks.elapsed() < 200, qPrintable(QString::number(ticks.elapsed())));
        if (ends) {
            QTRY_VERIFY_WITH_TIMEOUT(done.size() == 1, 15000);
            QCOMPARE(done.at(0).at(0).toInt(), int(SmtpOpen));
            QCOMPARE(done.at(0).at(1).toInt() == 0, succeeds);
        } else {
            // No time-out of its own: still waiting after a few ticks...
            QTRY_VERIFY_WITH_TIMEOUT(ticks.fires >= 3, 10000);
            QCOMPARE(done.size(), 0);
            QVERIFY(!client.ready());
            // ...until the operator's abort ends it at once.
            client.abort();
            QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 2000);
            QCOMPARE(done.at(0), (QVariantList { int(SmtpOpen), int(SmtpErrorClosed) }));
        }
        const QString late = ticks.problem();
        QVERIFY2(late.isEmpty(), qPrintable(late));
        QVERIFY2(memoryKb() - rssBefore < kMemoryBoundKb,
            qPrintable(QStringLiteral("%1 kB more memory").arg(memoryKb() - rssBefore)));
        qInfo("%d ticks in %lld ms, the latest %lld ms late; %lld kB more memory", ticks.fires,
            ticks.elapsed(), ticks.worstLateMs, memoryKb() - rssBefore);

        // The same client mails through a willing server afterwards.
        if (client.connected()) {
            client.quit();
            QTRY_COMPARE_WITH_TIMEOUT(done.size(), 2, 5000);
        }
        QVERIFY(client.ready());
        done.clear();
        ScriptedSmtpServer good;
        setUpSmtp(client, good.port());
        client.open();
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 10000);
        QCOMPARE(done.at(0), (QVariantList { int(SmtpOpen), 0 }));
        client.mail();
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 2, 10000);
        QCOMPARE(done.at(1), (QVariantList { int(SmtpMail), 0 }));
        QCOMPARE(good.dataLines.mid(good.dataLines.size() - 2), (QList<QByteArray> { "linea 1", "linea 2" }));
    }

    // --- HTTP: hundreds of idle clients and endless headers ------------------

    void httpIdleCrowdAndEndlessHeaders()
    {
        // Three hundred "idle, closed" lines would bury a failure's message.
        QLoggingCategory::setFilterRules(QStringLiteral("orvalla.net.info=false"));
        struct Restore {
            ~Restore() { QLoggingCategory::setFilterRules(QString()); }
        } restore;
        const QByteArray page = "<html><body>Orvalla</body></html>\r\n";
        localFile(QStringLiteral("Orvalla.htm"), page);
        HttpServer server;
        server.setAddr(QStringLiteral("127.0.0.1"));
        server.setPort(QStringLiteral("0"));
        server.setDocDir(m_dir.path());
        server.setDefaultDoc(QStringLiteral("Orvalla.htm"));
        server.setIdleTimeout(4000);
        QVERIFY(server.start());
        const quint16 port = server.serverPort();

        auto fetch = [port]() -> QByteArray {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            QByteArray answer;
            QObject::connect(&s, &QTcpSocket::connected, &s, [&s] { s.write("GET / HTTP/1.0\r\n\r\n"); });
            QObject::connect(&s, &QTcpSocket::readyRead, &s, [&s, &answer] { answer += s.readAll(); });
            QSignalSpy gone(&s, &QTcpSocket::disconnected);
            gone.wait(10000);
            return answer + s.readAll();
        };

        const qint64 rssBefore = memoryKb();
        TickWatch ticks;

        // 300 clients that connect and say nothing, a few at a time so the
        // listen backlog never drops one.
        constexpr int kIdle = 300;
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        int closedByServer = 0;
        QElapsedTimer opening;
        opening.start();
        while (int(idle.size()) < kIdle) {
            for (int i = 0; i < 4 && int(idle.size()) < kIdle; ++i) {
                auto s = std::make_unique<QTcpSocket>();
                connect(s.get(), &QTcpSocket::disconnected, this, [&closedByServer] { ++closedByServer; });
                s->connectToHost(QHostAddress::LocalHost, port);
                idle.push_back(std::move(s));
            }
            const int want = int(idle.size());
            QTRY_VERIFY_WITH_TIMEOUT(server.clientCount() + closedByServer >= want, 10000);
        }
        QVERIFY2(opening.elapsed() < 3000, "opening the idle crowd took longer than the idle time");

        // A client that sends header lines for ever, as fast as it can.
        QTcpSocket endless;
        QByteArray endlessAnswer;
        qint64 endlessSent = 0;
        const QByteArray header = "X-Orballo: " + QByteArray(1000, 'o') + "\r\n";
        connect(
            &endless, &QTcpSocket::connected, this, [&] { endless.write("GET / HTTP/1.1\r\nHost: a\r\n"); });
        connect(&endless, &QTcpSocket::bytesWritten, this, [&](qint64 n) {
            endlessSent += n;
            if (endlessSent < 4 * 1024 * 1024 && endless.bytesToWrite() < 64 * 1024)
                endless.write(header.repeated(16));
        });
        connect(&endless, &QTcpSocket::readyRead, this, [&] { endlessAnswer += endless.readAll(); });
        endless.connectToHost(QHostAddress::LocalHost, port);
        // And one that sends a header line a second: never a whole request.
        QTcpSocket dribble;
        QTimer dribbleTimer;
        connect(&dribble, &QTcpSocket::connected, this, [&] { dribble.write("GET / HTTP/1.1\r\n"); });
        connect(&dribbleTimer, &QTimer::timeout, this, [&] {
            if (dribble.state() == QAbstractSocket::ConnectedState)
                dribble.write("X-Pinga: 1\r\n");
        });
        dribbleTimer.start(1000);
        dribble.connectToHost(QHostAddress::LocalHost, port);

        // A normal client is answered meanwhile.
        const QByteArray answer = fetch();
        QVERIFY2(answer.startsWith("HTTP/1.0 200 OK") && answer.endsWith(page), answer.constData());
        QVERIFY2(server.clientCount() + closedByServer >= kIdle,
            qPrintable(QString::number(server.clientCount())));

        // The endless header is refused once it outgrows the header limit.
        QTRY_VERIFY_WITH_TIMEOUT(endlessAnswer.startsWith("HTTP/1.1 400 Bad Request"), 10000);
        // The crowd at its largest costs little: no buffer grows with a client's talk.
        const qint64 crowdKb = memoryKb() - rssBefore;
        qInfo("with %d clients: %lld kB more memory", server.clientCount(), crowdKb);
        QVERIFY2(crowdKb < 4 * kMemoryBoundKb, qPrintable(QString::number(crowdKb)));

        // The idle ones, and the dribbling one, are closed after the idle time.
        QTRY_COMPARE_WITH_TIMEOUT(closedByServer, kIdle, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(dribble.state(), QAbstractSocket::UnconnectedState, 10000);
        endless.abort();
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 0, 10000);

        // And a normal client is still answered.
        QVERIFY(fetch().endsWith(page));
        const QString late = ticks.problem();
        QVERIFY2(late.isEmpty(), qPrintable(late));
        QVERIFY2(
            server.peakWriteBuffer() < 256 * 1024, qPrintable(QString::number(server.peakWriteBuffer())));
        idle.clear();
        QVERIFY2(memoryKb() - rssBefore < kMemoryBoundKb,
            qPrintable(QStringLiteral("%1 kB more memory").arg(memoryKb() - rssBefore)));
        qInfo("%d ticks in %lld ms, the latest %lld ms late; %lld kB more memory", ticks.fires,
            ticks.elapsed(), ticks.worstLateMs, memoryKb() - rssBefore);
    }
};

QTEST_GUILESS_MAIN(TestFaultPeers)
#include "test_fault_peers.moc"
