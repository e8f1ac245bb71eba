#include "net/http_request.h"
#include "net/http_server.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace orvalla;

namespace
{

const QByteArray kPage = "<html><body>Temperatura 12,3 \xBA"
                         "C</body></html>\r\n";
const QByteArray kSecret = "SECRET-9d41c7-outside-the-folder";
const QByteArray kBoundary = "[orvalla-byteranges-7f3c9a1e5d2b8460]";
// Mon, 07 Dec 2026 09:15:00 GMT
constexpr qint64 kPageTime = 1796634900;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray pattern(qint64 size)
{
    QByteArray out(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = char(x);
    }
    return out;
}

QByteArray errorPage(const QByteArray &title, const QByteArray &path, const QByteArray &what)
{
    return "<HTML><HEAD><TITLE>" + title + "</TITLE></HEAD><BODY><H1>" + title + "</H1>The requested URL "
        + path + " " + what + " on this server.<P></BODY></HTML>\r\n";
}

struct Answer {
    QByteArray head; // status line and headers, without the empty line
    QByteArray body;
    bool closed = false;
    QByteArray status() const { return head.left(head.indexOf("\r\n")); }
    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : head.split('\n')) {
            const QByteArray l = line.trimmed();
            if (l.toLower().startsWith(name.toLower() + ':'))
                return l.mid(name.size() + 1).trimmed();
        }
        return QByteArray();
    }
};

} // namespace

class TestE2eHttp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_www;
    HttpServer *m_server = nullptr;
    QByteArray m_big;

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server->serverPort()).arg(path);
    }

    // Sends raw bytes, reads until the server closes; all of it.
    QByteArray exchange(const QByteArray &request, int timeoutMs = 10000)
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_server->serverPort());
        QSignalSpy closed(&s, &QTcpSocket::disconnected);
        QByteArray got;
        connect(&s, &QTcpSocket::readyRead, &s, [&] { got += s.readAll(); });
        s.write(request);
        if (!closed.wait(timeoutMs))
            return got + "<still open>";
        got += s.readAll();
        return got;
    }

    static Answer split(const QByteArray &raw)
    {
        Answer a;
        const qsizetype end = raw.indexOf("\r\n\r\n");
        if (end < 0) {
            a.head = raw;
            return a;
        }
        a.head = raw.left(end);
        a.body = raw.mid(end + 4);
        return a;
    }

    // Reads one answer (headers plus Content-Length bytes) from an open socket.
    // A connected plain socket (no Qt socket between the test and the
    // server's behaviour); -1 when it cannot connect.
    int plainConnect() const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_server->serverPort());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
            return fd;
        if (fd >= 0)
            ::close(fd);
        return -1;
    }

    static Answer readAnswer(QTcpSocket &s, QByteArray &buffer, bool head = false)
    {
        for (int round = 0; round < 200; ++round) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end >= 0) {
                Answer a = split(buffer.left(end + 4));
                const qint64 length = head ? 0 : a.header("Content-Length").toLongLong();
                if (buffer.size() >= end + 4 + length) {
                    a.body = buffer.mid(end + 4, length);
                    buffer.remove(0, end + 4 + length);
                    return a;
                }
            }
            if (s.state() != QAbstractSocket::ConnectedState)
                break;
            QSignalSpy more(&s, &QTcpSocket::readyRead);
            if (!more.wait(5000))
                break;
            buffer += s.readAll();
        }
        return {};
    }

    struct CurlResult {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    // curl runs while the event loop serves it.
    CurlResult curl(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral("curl"), QStringList { "-sS", "--max-time", "30" } + args);
        QSignalSpy finished(&p, &QProcess::finished);
        CurlResult r;
        if (!p.waitForStarted(10000) || !finished.wait(60000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitCode();
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        QDir root(m_tmp.path());
        QVERIFY(root.mkpath("www/sub") && root.mkpath("www/empty") && root.mkpath("outside"));
        m_www = root.filePath("www");
        QVERIFY(writeFile(m_www + "/Orvalla.htm", kPage));
        QFile page(m_www + "/Orvalla.htm");
        QVERIFY(page.open(QIODevice::ReadWrite));
        QVERIFY(page.setFileTime(
            QDateTime::fromSecsSinceEpoch(kPageTime, Qt::UTC), QFileDevice::FileModificationTime));
        page.close();
        QVERIFY(writeFile(m_www + "/sub/Orvalla.htm", "sub page"));
        QVERIFY(writeFile(m_www + "/webcam.jpg", "\xFF\xD8\xFF\xE0jpeg"));
        QVERIFY(writeFile(m_www + "/README", "no extension"));
        QByteArray digits;
        for (int i = 0; i < 10; ++i)
            digits += "0123456789";
        QVERIFY(writeFile(m_www + "/digits.txt", digits));
        m_big = pattern(20 * 1024 * 1024 + 17);
        QVERIFY(writeFile(m_www + "/big.bin", m_big));
        QVERIFY(writeFile(root.filePath("secret.txt"), kSecret));
        QVERIFY(writeFile(root.filePath("outside/secret.htm"), kSecret));
        QVERIFY(QFile::link(root.filePath("secret.txt"), m_www + "/leak.txt"));
        QVERIFY(QFile::link(root.filePath("outside"), m_www + "/out"));
        QVERIFY(QFile::link(m_www + "/sub/Orvalla.htm", m_www + "/alias.htm"));

        m_server = new HttpServer(this);
        m_server->setAddr(QStringLiteral("127.0.0.1"));
        m_server->setPort(QStringLiteral("0"));
        m_server->setDocDir(m_www + QLatin1Char('/'));
        m_server->setDefaultDoc(QStringLiteral("Orvalla.htm"));
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
        QVERIFY(m_server->serverPort() != 0);
    }

    void rootWithHttp10IsTheDefaultDocument()
    {
        const QByteArray raw = exchange("GET / HTTP/1.0\r\n\r\n");
        QCOMPARE(raw,
            QByteArray("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: "
                + QByteArray::number(kPage.size())
                + "\r\nAccept-Ranges: bytes\r\nLast-Modified: Mon, 07 Dec 2026 09:15:00 GMT"
                  "\r\nConnection: Close\r\n\r\n"
                + kPage));
    }

    void exactErrorAnswers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");

        const QByteArray notFound
            = "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>"
              "The requested URL /no&lt;pe&gt;.htm was not found on this server.<P></BODY></HTML>\r\n";
        QTest::newRow("404 names the path")
            << QByteArray("GET /no<pe>.htm?x=1 HTTP/1.0\r\n\r\n")
            << "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: "
                + QByteArray::number(notFound.size()) + "\r\n\r\n" + notFound;
        const QByteArray forbidden
            = "<HTML><HEAD><TITLE>403 Forbidden</TITLE></HEAD><BODY><H1>403 Forbidden</H1>"
              "The requested URL /../secret.txt is Forbidden on this server.<P></BODY></HTML>\r\n";
        QTest::newRow("403 for dot dot")
            << QByteArray("GET /../secret.txt HTTP/1.1\r\n\r\n")
            << "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html\r\nContent-Length: "
                + QByteArray::number(forbidden.size()) + "\r\n\r\n" + forbidden;
        QTest::newRow("501 for OPTIONS")
            << QByteArray("OPTIONS / HTTP/1.1\r\nHost: x\r\n\r\n")
            << QByteArray(
                   "HTTP/1.1 501 Unimplemented\r\nContent-Type: text/plain\r\nContent-Length: 17\r\n\r\n"
                   "501 Unimplemented");
        const QByteArray postPage = errorPage("404 Not Found", "/Orvalla.htm", "was not found");
        QTest::newRow("POST is not found")
            << QByteArray("POST /Orvalla.htm HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc")
            << "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: "
                + QByteArray::number(postPage.size()) + "\r\n\r\n" + postPage;
        QTest::newRow("HEAD of a missing file has no body")
            << QByteArray("HEAD /nope HTTP/1.0\r\n\r\n")
            << "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: "
                + QByteArray::number(errorPage("404 Not Found", "/nope", "was not found").size())
                + "\r\n\r\n";
        QTest::newRow("malformed request line")
            << QByteArray("GET / FTP/9\r\n\r\n")
            << QByteArray("HTTP/1.0 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 15\r\n"
                          "Connection: Close\r\n\r\n400 Bad Request");
        QTest::newRow("HEAD of a bad request has no body")
            << QByteArray("head / FTP/9\r\n\r\n")
            << QByteArray("HTTP/1.0 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 15\r\n"
                          "Connection: Close\r\n\r\n");
        QTest::newRow("HEAD with endless headers has no body")
            << QByteArray("HEAD / HTTP/1.1\r\n" + QByteArray("X-Filler: 0123456789abcdef\r\n").repeated(2500))
            << QByteArray("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 15\r\n"
                          "Connection: Close\r\n\r\n");
        QTest::newRow("request line too long, no line end")
            << QByteArray("GET /" + QByteArray(9000, 'a'))
            << QByteArray("HTTP/1.0 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 15\r\n"
                          "Connection: Close\r\n\r\n400 Bad Request");
        QTest::newRow("headers too long")
            << QByteArray("GET / HTTP/1.1\r\n" + QByteArray("X-Filler: 0123456789abcdef\r\n").repeated(2500))
            << QByteArray("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 15\r\n"
                          "Connection: Close\r\n\r\n400 Bad Request");
    }

    void exactErrorAnswers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        // Each answer is followed by the server closing: no keep-alive was asked.
        QCOMPARE(exchange(request), answer);
    }

    void curlFetches_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("page with parameters")
            << QStringList { "/Orvalla.htm?hora=10&x=%20" } << QByteArray("HTTP/1.1 200 OK")
            << QByteArray("text/html") << kPage;
        QTest::newRow("sub folder default") << QStringList { "/sub/" } << QByteArray("HTTP/1.1 200 OK")
                                            << QByteArray("text/html") << QByteArray("sub page");
        QTest::newRow("jpeg") << QStringList { "/webcam.jpg" } << QByteArray("HTTP/1.1 200 OK")
                              << QByteArray("image/jpeg") << QByteArray("\xFF\xD8\xFF\xE0jpeg");
        QTest::newRow("no extension") << QStringList { "/README" } << QByteArray("HTTP/1.1 200 OK")
                                      << QByteArray("application/binary") << QByteArray("no extension");
        QTest::newRow("HTTP/1.0 client")
            << QStringList { "--http1.0", "/digits.txt" } << QByteArray("HTTP/1.0 200 OK")
            << QByteArray("text/plain") << QByteArray("0123456789").repeated(10);
        QTest::newRow("missing")
            << QStringList { "/falta.htm" } << QByteArray("HTTP/1.1 404 Not Found") << QByteArray("text/html")
            << QByteArray("<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>"
                          "The requested URL /falta.htm was not found on this server.<P></BODY></HTML>\r\n");
        // Served, the page's relative links would point into a folder that is not there.
        for (const char *path : { "/Orvalla.htm/", "/sub/Orvalla.htm/", "/digits.txt%2F" }) {
            QTest::newRow(path) << QStringList { QString::fromLatin1(path) }
                                << QByteArray("HTTP/1.1 404 Not Found") << QByteArray("text/html")
                                << errorPage("404 Not Found", path, "was not found");
        }
        QTest::newRow("link to a file inside")
            << QStringList { "/alias.htm" } << QByteArray("HTTP/1.1 200 OK") << QByteArray("text/html")
            << QByteArray("sub page");
        QTest::newRow("folder without default")
            << QStringList { "/empty/" } << QByteArray("HTTP/1.1 404 Not Found") << QByteArray("text/html")
            << QByteArray();
        QTest::newRow("one range") << QStringList { "-r", "10-14", "/digits.txt" }
                                   << QByteArray("HTTP/1.1 206 Partial Content") << QByteArray("text/plain")
                                   << QByteArray("01234");
        QTest::newRow("suffix range")
            << QStringList { "-r", "-3", "/digits.txt" } << QByteArray("HTTP/1.1 206 Partial Content")
            << QByteArray("text/plain") << QByteArray("789");
        QTest::newRow("two ranges") << QStringList { "-r", "0-1,4-5", "/digits.txt" }
                                    << QByteArray("HTTP/1.1 206 Partial Content")
                                    << "multipart/byteranges; boundary=\"" + kBoundary + "\""
                                    << "\r\n--" + kBoundary
                + "\r\nContent-Type: text/plain\r\nContent-Range: bytes 0-1/100\r\n\r\n01"
                  "\r\n--"
                + kBoundary
                + "\r\nContent-Type: text/plain\r\nContent-Range: bytes 4-5/100\r\n\r\n45"
                  "\r\n--"
                + kBoundary + "--\r\n";
        // Ranges that overlap or touch come as one: no byte is sent twice.
        QStringList sixtyFour;
        for (int i = 0; i < 64; ++i)
            sixtyFour.append(QStringLiteral("0-"));
        QTest::newRow("64 whole-file ranges")
            << QStringList { "-r", sixtyFour.join(QLatin1Char(',')), "/digits.txt" }
            << QByteArray("HTTP/1.1 206 Partial Content") << QByteArray("text/plain")
            << QByteArray("0123456789").repeated(10);
        QTest::newRow("adjacent and overlapping ranges")
            << QStringList { "-r", "2-3,0-1,1-2,50-51", "/digits.txt" }
            << QByteArray("HTTP/1.1 206 Partial Content")
            << "multipart/byteranges; boundary=\"" + kBoundary + "\""
            << "\r\n--" + kBoundary
                + "\r\nContent-Type: text/plain\r\nContent-Range: bytes 0-3/100\r\n\r\n0123"
                  "\r\n--"
                + kBoundary
                + "\r\nContent-Type: text/plain\r\nContent-Range: bytes 50-51/100\r\n\r\n01"
                  "\r\n--"
                + kBoundary + "--\r\n";
        QTest::newRow("unsatisfiable range")
            << QStringList { "-r", "100-", "/digits.txt" }
            << QByteArray("HTTP/1.1 416 Request range not satisfiable") << QByteArray() << QByteArray();
        QTest::newRow("HEAD") << QStringList { "-I", "/Orvalla.htm" } << QByteArray("HTTP/1.1 200 OK")
                              << QByteArray("text/html") << QByteArray();
    }

    void curlFetches()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
            QSKIP("curl is not installed (scripts/deps.sh installs it)");
        QFETCH(QStringList, args);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, body);
        QStringList full = args;
        full.last() = url(full.last());
        if (!full.contains(QStringLiteral("-I")))
            full.prepend(QStringLiteral("-i"));
        const CurlResult r = curl(full);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const Answer a = split(r.out);
        QCOMPARE(a.status(), status);
        QCOMPARE(a.header("Content-Type"), type);
        QCOMPARE(a.header("Connection"),
            status.contains(" 200 ") || status.contains(" 206 ") || status.contains(" 416 ")
                ? QByteArray("Close")
                : QByteArray());
        if (!body.isEmpty() || !status.contains("404"))
            QCOMPARE(a.body, body);
        if (!full.contains(QStringLiteral("-I")))
            QCOMPARE(a.header("Content-Length").toLongLong(), a.body.size());
        if (status.contains(" 206 ") && !type.startsWith("multipart"))
            QVERIFY(a.header("Content-Range").startsWith("bytes "));
        if (status.contains(" 416 "))
            QCOMPARE(a.header("Content-Range"), QByteArray("bytes */100"));
    }

    void eachAnswerIsLoggedWithStatusAndBytes()
    {
        QTemporaryFile logFile;
        QVERIFY(logFile.open());
        BufferedLog &log = m_server->requestLog();
        log.flush();
        log.setFd(logFile.handle());
        struct Restore {
            BufferedLog &log;
            ~Restore()
            {
                log.flush();
                log.setFd(2);
            }
        } restore { log };

        const QByteArray page = exchange("GET /digits.txt?x=1 HTTP/1.0\r\n\r\n");
        const QByteArray missing = exchange("HEAD /nope HTTP/1.0\r\n\r\n");
        const QByteArray bad = exchange("GET / FTP/9\r\n\r\n");
        const QByteArray ranged = exchange("GET /digits.txt HTTP/1.1\r\nRange: bytes=0-4\r\n\r\n");
        // Written later, in one piece, each line stamped with its own time.
        const auto written = [&logFile] {
            QFile file(logFile.fileName());
            return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
        };
        QTRY_VERIFY_WITH_TIMEOUT(written().size() > 4, 5000);
        QList<QByteArray> lines = written();
        QCOMPARE(lines.takeLast(), QByteArray()); // each line ends with its line feed
        const QStringList expected {
            QStringLiteral("http 127.0.0.1 GET /digits.txt HTTP/1.0 200 %1").arg(page.size()),
            QStringLiteral("http 127.0.0.1 HEAD /nope HTTP/1.0 404 %1").arg(missing.size()),
            QStringLiteral("http 127.0.0.1 GET (malformed version) 400 %1").arg(bad.size()),
            QStringLiteral("http 127.0.0.1 GET /digits.txt HTTP/1.1 206 %1").arg(ranged.size()),
        };
        QCOMPARE(lines.size(), expected.size());
        const QRegularExpression stamp(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} orvalla\\.net: (.*)$"));
        for (int i = 0; i < lines.size(); ++i) {
            const QRegularExpressionMatch m = stamp.match(QString::fromLatin1(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].constData());
            QCOMPARE(m.captured(1), expected[i]);
        }
    }

    void changedFilesAreServedAnew()
    {
        // Small files are answered from memory; every change of the file shows.
        const QString path = m_www + "/cambia.txt";
        const auto age = [&path](qint64 secondsAgo) {
            QFile f(path);
            return f.open(QIODevice::ReadWrite)
                && f.setFileTime(
                    QDateTime::currentDateTimeUtc().addSecs(-secondsAgo), QFileDevice::FileModificationTime);
        };
        const auto body = [this] { return split(exchange("GET /cambia.txt HTTP/1.0\r\n\r\n")).body; };
        QVERIFY(writeFile(path, "primeiro") && age(60));
        QCOMPARE(body(), QByteArray("primeiro"));
        QCOMPARE(body(), QByteArray("primeiro"));
        // In place, same size, another time.
        QVERIFY(writeFile(path, "segundo!") && age(50));
        QCOMPARE(body(), QByteArray("segundo!"));
        // Replaced by another file, as the console writes its pages.
        QVERIFY(writeFile(path + ".new", "terceiro") && QFile::remove(path)
            && QFile::rename(path + ".new", path));
        QCOMPARE(body(), QByteArray("terceiro"));
        // Just written, twice within the file system's clock tick.
        QVERIFY(writeFile(path, "cuarto.."));
        QCOMPARE(body(), QByteArray("cuarto.."));
        QVERIFY(writeFile(path, "quinto.."));
        QCOMPARE(body(), QByteArray("quinto.."));
        // Grown past what is kept in memory, then gone.
        const QByteArray large = pattern(600 * 1024);
        QVERIFY(writeFile(path, large) && age(40));
        QCOMPARE(body(), large);
        QVERIFY(QFile::remove(path));
        QVERIFY(exchange("GET /cambia.txt HTTP/1.0\r\n\r\n").startsWith("HTTP/1.0 404 Not Found"));
    }

    void aRememberedPathFollowsTheFolderAsItIsNow()
    {
        // A path answered from memory is looked up with one stat the next
        // times; a folder on the way swapped for a link to outside must still
        // be refused, and the file found again once the folder is back.
        QDir root(m_tmp.path());
        QVERIFY(root.mkpath("www/turno") && root.mkpath("fora"));
        const QString inside = m_www + "/turno/t.htm";
        const QString outside = root.filePath("fora/t.htm");
        QVERIFY(writeFile(inside, "dentro") && writeFile(outside, kSecret));
        for (const QString &path : { inside, outside }) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite)
                && f.setFileTime(
                    QDateTime::currentDateTimeUtc().addSecs(-60), QFileDevice::FileModificationTime));
        }
        const auto get = [this] { return exchange("GET /turno/t.htm HTTP/1.0\r\n\r\n"); };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(split(get()).body, QByteArray("dentro"));
        QVERIFY(root.rename("www/turno", "www/turno.old"));
        QVERIFY(QFile::link(root.filePath("fora"), m_www + "/turno"));
        for (int i = 0; i < 2; ++i) {
            const QByteArray raw = get();
            QVERIFY2(!raw.contains(kSecret), raw.constData());
            QVERIFY2(raw.startsWith("HTTP/1.0 403") || raw.startsWith("HTTP/1.0 404"), raw.constData());
        }
        QVERIFY(QFile::remove(m_www + "/turno") && root.rename("www/turno.old", "www/turno"));
        QCOMPARE(split(get()).body, QByteArray("dentro"));
        // A remembered file made private is refused at once.
        m_server->setPrivateFiles({ inside });
        QVERIFY(get().startsWith("HTTP/1.0 403"));
        m_server->setPrivateFiles({});
        QCOMPARE(split(get()).body, QByteArray("dentro"));
    }

    void rangesOfALargeFile()
    {
        // Parts of a file too large for memory go from the file itself.
        const QByteArray raw
            = exchange("GET /big.bin HTTP/1.1\r\nRange: bytes=5-9,20000000-20000009,-3\r\n\r\n", 30000);
        const Answer a = split(raw);
        QCOMPARE(a.status(), QByteArray("HTTP/1.1 206 Partial Content"));
        const QByteArray expected = "\r\n--" + kBoundary
            + "\r\nContent-Type: application/binary\r\nContent-Range: bytes 5-9/20971537\r\n\r\n"
            + m_big.mid(5, 5) + "\r\n--" + kBoundary
            + "\r\nContent-Type: application/binary\r\nContent-Range: bytes "
              "20000000-20000009/20971537\r\n\r\n"
            + m_big.mid(20000000, 10) + "\r\n--" + kBoundary
            + "\r\nContent-Type: application/binary\r\nContent-Range: bytes "
              "20971534-20971536/20971537\r\n\r\n"
            + m_big.right(3) + "\r\n--" + kBoundary + "--\r\n";
        QCOMPARE(a.body, expected);
        QCOMPARE(a.header("Content-Length").toLongLong(), expected.size());
    }

    void clientThatStopsSendingStillGetsTheAnswer()
    {
        // Some clients (nc -N, scripts) shut their sending side down once the
        // request is out, then read until the server closes.
        for (const QByteArray &path : { QByteArray("/"), QByteArray("/digits.txt") }) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, m_server->serverPort());
            QVERIFY(s.waitForConnected(5000));
            QSignalSpy closed(&s, &QTcpSocket::disconnected);
            QByteArray got;
            connect(&s, &QTcpSocket::readyRead, &s, [&] { got += s.readAll(); });
            s.write("GET " + path + " HTTP/1.0\r\n\r\n");
            QVERIFY(s.waitForBytesWritten(5000));
            QCOMPARE(::shutdown(int(s.socketDescriptor()), SHUT_WR), 0);
            QVERIFY(closed.wait(10000) || s.state() == QAbstractSocket::UnconnectedState);
            got += s.readAll();
            const Answer a = split(got);
            QCOMPARE(a.status(), QByteArray("HTTP/1.0 200 OK"));
            QCOMPARE(a.body, path == "/" ? kPage : QByteArray("0123456789").repeated(10));
        }
    }

    void keepAliveServesSeveralRequests()
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_server->serverPort());
        QVERIFY(s.waitForConnected(5000));
        QByteArray buffer;
        s.write("GET /README HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n");
        Answer a = readAnswer(s, buffer);
        QCOMPARE(a.status(), QByteArray("HTTP/1.1 200 OK"));
        QCOMPARE(a.header("Connection"), QByteArray("Keep-Alive"));
        QCOMPARE(a.body, QByteArray("no extension"));

        // Two pipelined, one with a body to skip, then a HTTP/1.0 keep-alive.
        s.write("POST /x HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 6\r\n\r\nGET / "
                "HEAD /webcam.jpg HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
        a = readAnswer(s, buffer);
        QCOMPARE(a.status(), QByteArray("HTTP/1.1 404 Not Found"));
        a = readAnswer(s, buffer, true);
        QCOMPARE(a.status(), QByteArray("HTTP/1.0 200 OK"));
        QCOMPARE(a.header("Content-Type"), QByteArray("image/jpeg"));
        QCOMPARE(a.header("Content-Length"), QByteArray("8"));
        QCOMPARE(a.header("Connection"), QByteArray("Keep-Alive"));
        QVERIFY(buffer.isEmpty());
        QCOMPARE(s.state(), QAbstractSocket::ConnectedState);

        // Connection: close ends it after the answer.
        QSignalSpy closed(&s, &QTcpSocket::disconnected);
        s.write("GET /Orvalla.htm HTTP/1.1\r\nConnection: close\r\n\r\n");
        a = readAnswer(s, buffer);
        QCOMPARE(a.header("Connection"), QByteArray("Close"));
        QCOMPARE(a.body, kPage);
        QVERIFY(closed.wait(5000) || s.state() == QAbstractSocket::UnconnectedState);
    }

    void traversalIsRefused_data()
    {
        QTest::addColumn<QByteArray>("path");
        for (const char *p : { "/../secret.txt", "/..", "/../", "/sub/../../secret.txt", "/%2e%2e/secret.txt",
                 "/%2E%2E%2Fsecret.txt", "/.%2e/secret.txt", "/sub%2f..%2f..%2fsecret.txt",
                 "/%252e%252e/secret.txt", "/..%252fsecret.txt", "/Orvalla.htm%00", "/secret.txt%00.htm",
                 "/%00/../secret.txt", "//etc/passwd", "/etc/passwd", "../secret.txt", "..%2fsecret.txt",
                 "/leak.txt", "/out/secret.htm", "/out/", "/out/../secret.txt", "/./../www/../secret.txt",
                 "/..\\secret.txt", "/%2e%2e%5csecret.txt", "http://127.0.0.1/../secret.txt" }) {
            QTest::newRow(p) << QByteArray(p);
        }
    }

    void traversalIsRefused()
    {
        QFETCH(QByteArray, path);
        for (const QByteArray &method : { QByteArray("GET"), QByteArray("HEAD") }) {
            const QByteArray raw = exchange(method + ' ' + path + " HTTP/1.0\r\n\r\n");
            const Answer a = split(raw);
            QVERIFY2(a.status() == "HTTP/1.0 403 Forbidden" || a.status() == "HTTP/1.0 404 Not Found",
                raw.constData());
            QVERIFY2(!raw.contains(kSecret), raw.constData());
            QVERIFY(!raw.contains("root:"));
        }
        // Ranges do not open a way out either.
        const QByteArray ranged = exchange("GET " + path + " HTTP/1.0\r\nRange: bytes=0-5,7-\r\n\r\n");
        QVERIFY(!ranged.contains(kSecret.left(6)) && !ranged.contains(" 206 "));
    }

    void idleConnectionsAreClosed()
    {
        m_server->setIdleTimeout(200);
        // Nothing sent, and half a request: both closed without an answer.
        QCOMPARE(exchange(QByteArray(), 10000), QByteArray());
        QCOMPARE(exchange("GET / HTTP/1.1\r\nHost", 10000), QByteArray());
        // After a kept-alive answer the idle time counts again.
        const QByteArray raw = exchange("GET /README HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 10000);
        QVERIFY(raw.startsWith("HTTP/1.0 200 OK") && raw.endsWith("no extension"));

        // A client busy for longer than the idle time keeps its connection,
        // and the time counts from its last answer.
        m_server->setIdleTimeout(300);
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_server->serverPort());
        QVERIFY(s.waitForConnected(5000));
        QByteArray buffer;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 900) {
            s.write("GET /README HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
            QCOMPARE(readAnswer(s, buffer).body, QByteArray("no extension"));
            QTest::qWait(50);
        }
        clock.restart();
        QTRY_COMPARE_WITH_TIMEOUT(s.state(), QAbstractSocket::UnconnectedState, 5000);
        QVERIFY2(clock.elapsed() >= 200, qPrintable(QString::number(clock.elapsed())));
        m_server->setIdleTimeout(30000);
    }

    void clientThatSentMoreIsDrainedThenClosed()
    {
        // More sent than the one request read: the answer goes out and the
        // server stops sending, waits a short while for the client to close
        // (closing at once could reset the connection and lose the answer),
        // then closes by itself, long before the idle time. The request comes
        // with the connect, or once the server waits for it.
        for (const bool late : { false, true }) {
            const int fd = plainConnect();
            QVERIFY(fd >= 0);
            if (late)
                QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 1, 5000);
            const QByteArray request = "GET /README HTTP/1.0\r\n\r\nXYZ";
            QCOMPARE(::write(fd, request.constData(), size_t(request.size())), ssize_t(request.size()));
            QByteArray raw;
            char chunk[4096];
            QElapsedTimer clock;
            clock.start();
            for (;;) {
                const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n == 0)
                    break; // the server has shut its side
                if (n > 0)
                    raw.append(chunk, n);
                else
                    QTest::qWait(10);
                QVERIFY(clock.elapsed() < 10000);
            }
            QVERIFY2(raw.startsWith("HTTP/1.0 200 OK") && raw.endsWith("no extension"), raw.constData());
            QCOMPARE(m_server->clientCount(), 1); // still reading what the client sends
            QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 0, 10000);
            QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
            ::close(fd);
        }
    }

    void largeFileIsStreamedAndSlowClientsHurtNobody()
    {
        // A client that asks for the big file and reads nothing.
        QTcpSocket stalled;
        stalled.setReadBufferSize(4096);
        stalled.connectToHost(QHostAddress::LocalHost, m_server->serverPort());
        QVERIFY(stalled.waitForConnected(5000));
        stalled.write("GET /big.bin HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(m_server->peakWriteBuffer() > 0, 5000);

        // Others are served meanwhile.
        if (!QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty()) {
            const CurlResult r = curl({ url(QStringLiteral("/big.bin")) });
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(QCryptographicHash::hash(r.out, QCryptographicHash::Sha256),
                QCryptographicHash::hash(m_big, QCryptographicHash::Sha256));
        } else {
            QVERIFY(exchange("GET /README HTTP/1.0\r\n\r\n").endsWith("no extension"));
        }
        QVERIFY2(m_server->peakWriteBuffer() < 1024 * 1024,
            qPrintable(QString::number(m_server->peakWriteBuffer())));

        // The stalled client leaves mid-answer: only its connection ends.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 1, 5000);
        stalled.abort();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 0, 5000);
        QVERIFY(exchange("GET /README HTTP/1.0\r\n\r\n").endsWith("no extension"));
    }

    void clientLeavingMidFileHurtsOnlyItself()
    {
        // The client says it is done sending, reads a little of the big file
        // and leaves: the server's next write finds the connection gone.
        // The console sets nothing else that would shield it from SIGPIPE.
        ::signal(SIGPIPE, SIG_DFL);
        m_server->stop();
        QVERIFY(m_server->start());
        // A plain socket: Qt's own sockets would set SIGPIPE aside again.
        for (int round = 0; round < 3; ++round) {
            const int fd = plainConnect();
            QVERIFY(fd >= 0);
            const QByteArray request = "GET /big.bin HTTP/1.0\r\n\r\n";
            QCOMPARE(::write(fd, request.constData(), size_t(request.size())), ssize_t(request.size()));
            QCOMPARE(::shutdown(fd, SHUT_WR), 0);
            QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 1, 5000);
            char some[4096];
            QTRY_VERIFY_WITH_TIMEOUT(::recv(fd, some, sizeof some, MSG_DONTWAIT) > 0, 5000);
            // Left with unread data: the connection is reset.
            ::close(fd);
            QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 0, 5000);
        }
        QVERIFY(exchange("GET /README HTTP/1.0\r\n\r\n").endsWith("no extension"));
    }

    void stopClosesClientsAndPort()
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_server->serverPort());
        QVERIFY(s.waitForConnected(5000));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 1, 5000);
        const quint16 port = m_server->serverPort();
        QSignalSpy closed(&s, &QTcpSocket::disconnected);
        m_server->stop();
        QVERIFY(closed.wait(5000));
        QVERIFY(!m_server->isListening());
        QCOMPARE(m_server->clientCount(), 0);

        // Someone else on our port: start fails and says so.
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost, port));
        m_server->setPort(QString::number(port));
        QSignalSpy failed(m_server, &HttpServer::startFailed);
        QVERIFY(!m_server->start());
        QCOMPARE(failed.size(), 1);
        QCOMPARE(m_server->serverError(), QAbstractSocket::AddressInUseError);
        QVERIFY(!m_server->errorString().isEmpty());
        other.close();
        QVERIFY(m_server->start());
        QVERIFY(m_server->start()); // already listening: nothing happens
        QCOMPARE(m_server->serverPort(), port);
        QVERIFY(exchange("GET / HTTP/1.0\r\n\r\n").endsWith(kPage));
    }
};

QTEST_GUILESS_MAIN(TestE2eHttp)
#include "test_e2e_http.moc"
