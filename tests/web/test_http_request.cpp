#include "net/http_request.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace orvalla;

using Status = HttpParseResult::Status;

class TestHttpRequest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void completeRequests_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("params");
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<bool>("keepAlive");

        QTest::newRow("1.0 plain") << QByteArray("GET / HTTP/1.0\r\n\r\n") << QByteArray("GET")
                                   << QByteArray("/") << QByteArray() << QByteArray("HTTP/1.0") << false;
        QTest::newRow("1.0 keep-alive any case")
            << QByteArray("GET /a HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n") << QByteArray("GET")
            << QByteArray("/a") << QByteArray() << QByteArray("HTTP/1.0") << true;
        QTest::newRow("1.0 other connection value")
            << QByteArray("GET /a HTTP/1.0\r\nConnection: foo\r\n\r\n") << QByteArray("GET")
            << QByteArray("/a") << QByteArray() << QByteArray("HTTP/1.0") << false;
        QTest::newRow("1.1 without Connection")
            << QByteArray("GET /a HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("GET") << QByteArray("/a")
            << QByteArray() << QByteArray("HTTP/1.1") << false;
        QTest::newRow("1.1 keep-alive")
            << QByteArray("GET /a HTTP/1.1\r\nconnection: keep-alive\r\n\r\n") << QByteArray("GET")
            << QByteArray("/a") << QByteArray() << QByteArray("HTTP/1.1") << true;
        QTest::newRow("1.1 close") << QByteArray("GET /a HTTP/1.1\r\nConnection: CLOSE\r\n\r\n")
                                   << QByteArray("GET") << QByteArray("/a") << QByteArray()
                                   << QByteArray("HTTP/1.1") << false;
        // The value is taken whole, not as a list of words.
        QTest::newRow("1.0 keep-alive among other words")
            << QByteArray("GET /a HTTP/1.0\r\nConnection: keep-alive, Upgrade\r\n\r\n") << QByteArray("GET")
            << QByteArray("/a") << QByteArray() << QByteArray("HTTP/1.0") << false;
        QTest::newRow("1.1 close among other words")
            << QByteArray("GET /a HTTP/1.1\r\nConnection: close, TE\r\n\r\n") << QByteArray("GET")
            << QByteArray("/a") << QByteArray() << QByteArray("HTTP/1.1") << true;
        QTest::newRow("1.1 close with blanks")
            << QByteArray("GET /a HTTP/1.1\r\nConnection:  Close \r\n\r\n") << QByteArray("GET")
            << QByteArray("/a") << QByteArray() << QByteArray("HTTP/1.1") << false;
        QTest::newRow("parameters, lower-case method and version")
            << QByteArray("head /p.htm?a=1&b=?2 http/1.1 \nConnection: x\n\n") << QByteArray("HEAD")
            << QByteArray("/p.htm") << QByteArray("a=1&b=?2") << QByteArray("HTTP/1.1") << true;
        QTest::newRow("no version") << QByteArray("GET /x\r\n\r\n") << QByteArray("GET") << QByteArray("/x")
                                    << QByteArray() << QByteArray("HTTP/1.0") << false;
        QTest::newRow("empty lines before")
            << QByteArray("\r\n\r\nOPTIONS * HTTP/1.1\r\n\r\n") << QByteArray("OPTIONS") << QByteArray("*")
            << QByteArray() << QByteArray("HTTP/1.1") << false;
    }

    void completeRequests()
    {
        QFETCH(QByteArray, input);
        const HttpParseResult r = parseHttpRequest(input);
        QCOMPARE(r.status, Status::Complete);
        QCOMPARE(r.consumed, input.size());
        QTEST(r.request.method, "method");
        QTEST(r.request.path, "path");
        QTEST(r.request.params, "params");
        QTEST(r.request.version, "version");
        QTEST(r.request.keepAlive, "keepAlive");
    }

    void incompleteAndBad_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");

        QTest::newRow("nothing") << QByteArray() << int(Status::Incomplete);
        QTest::newRow("half a line") << QByteArray("GET / HT") << int(Status::Incomplete);
        QTest::newRow("headers not ended")
            << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << int(Status::Incomplete);
        QTest::newRow("line at the limit")
            << QByteArray("GET /" + QByteArray(kHttpMaxRequestLine - 5, 'a')) << int(Status::Incomplete);
        QTest::newRow("line at the limit, CR come")
            << QByteArray("GET /" + QByteArray(kHttpMaxRequestLine - 5, 'a') + "\r")
            << int(Status::Incomplete);
        QTest::newRow("line over the limit")
            << QByteArray("GET /" + QByteArray(kHttpMaxRequestLine, 'a')) << int(Status::BadRequest);
        QTest::newRow("long line ended")
            << QByteArray("GET /" + QByteArray(kHttpMaxRequestLine, 'a') + " HTTP/1.1\r\n\r\n")
            << int(Status::BadRequest);
        QTest::newRow("headers over the limit")
            << QByteArray("GET / HTTP/1.1\r\nX: " + QByteArray(kHttpMaxHeaderBlock, 'b'))
            << int(Status::BadRequest);
        QTest::newRow("many headers over the limit")
            << QByteArray("GET / HTTP/1.1\r\n" + QByteArray("X-A: 0123456789\r\n").repeated(4000) + "\r\n")
            << int(Status::BadRequest);
        QTest::newRow("no method") << QByteArray(" / HTTP/1.1\r\n\r\n") << int(Status::BadRequest);
        QTest::newRow("no path") << QByteArray("GET\r\n\r\n") << int(Status::BadRequest);
        QTest::newRow("bad version") << QByteArray("GET / FTP/1.1\r\n\r\n") << int(Status::BadRequest);
        QTest::newRow("control char") << QByteArray("GET /a\x01 HTTP/1.1\r\n\r\n") << int(Status::BadRequest);
        QTest::newRow("raw NUL") << QByteArray(
            "GET /a\0b HTTP/1.1\r\n\r\n", sizeof("GET /a\0b HTTP/1.1\r\n\r\n") - 1)
                                 << int(Status::BadRequest);
        QTest::newRow("header without colon")
            << QByteArray("GET / HTTP/1.1\r\nHost\r\n\r\n") << int(Status::BadRequest);
        QTest::newRow("bad Content-Length")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n") << int(Status::BadRequest);
        QTest::newRow("binary garbage")
            << QByteArray("\x16\x03\x01\x02\x00\x01\r\n\r\n", 10) << int(Status::BadRequest);
    }

    void incompleteAndBad()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QCOMPARE(int(parseHttpRequest(input).status), status);
    }

    void pipelinedAndBody()
    {
        const QByteArray first = "POST /f HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 5\r\n\r\n";
        const QByteArray input = first + "hello" + "GET / HTTP/1.1\r\n\r\n";
        const HttpParseResult r = parseHttpRequest(input);
        QCOMPARE(r.status, Status::Complete);
        QCOMPARE(r.consumed, first.size());
        QCOMPARE(r.request.bodyLength, 5);
        QCOMPARE(r.request.header("content-length"), QByteArray("5"));
        QVERIFY(r.request.header("Range").isNull());
        const HttpParseResult second = parseHttpRequest(input.mid(first.size() + 5));
        QCOMPARE(second.status, Status::Complete);
        QCOMPARE(second.request.path, QByteArray("/"));
    }

    void ranges_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QList<HttpByteRange>>("ranges");

        using R = HttpRangeRequest;
        using L = QList<HttpByteRange>;
        QTest::newRow("first bytes") << QByteArray("bytes=0-9") << qint64(100) << int(R::Satisfiable)
                                     << L { { 0, 9 } };
        QTest::newRow("open end") << QByteArray("bytes=90-") << qint64(100) << int(R::Satisfiable)
                                  << L { { 90, 99 } };
        QTest::newRow("end clipped") << QByteArray("bytes=90-500") << qint64(100) << int(R::Satisfiable)
                                     << L { { 90, 99 } };
        QTest::newRow("suffix") << QByteArray("bytes=-10") << qint64(100) << int(R::Satisfiable)
                                << L { { 90, 99 } };
        QTest::newRow("suffix larger than file")
            << QByteArray("bytes=-500") << qint64(100) << int(R::Satisfiable) << L { { 0, 99 } };
        QTest::newRow("several, blanks") << QByteArray("Bytes = 0-0, 5-6 ,-1") << qint64(100)
                                         << int(R::Satisfiable) << L { { 0, 0 }, { 5, 6 }, { 99, 99 } };
        QTest::newRow("unsatisfiable dropped")
            << QByteArray("bytes=200-300,1-2") << qint64(100) << int(R::Satisfiable) << L { { 1, 2 } };
        QTest::newRow("beyond end") << QByteArray("bytes=100-") << qint64(100) << int(R::Unsatisfiable)
                                    << L {};
        QTest::newRow("zero suffix") << QByteArray("bytes=-0") << qint64(100) << int(R::Unsatisfiable)
                                     << L {};
        QTest::newRow("empty file") << QByteArray("bytes=0-") << qint64(0) << int(R::Unsatisfiable) << L {};
        QTest::newRow("huge numbers")
            << QByteArray("bytes=99999999999999999999999-") << qint64(100) << int(R::Unsatisfiable) << L {};
        QTest::newRow("huge end") << QByteArray("bytes=1-99999999999999999999999") << qint64(100)
                                  << int(R::Satisfiable) << L { { 1, 99 } };
        QTest::newRow("overlapping merged")
            << QByteArray("bytes=0-9,5-14") << qint64(100) << int(R::Satisfiable) << L { { 0, 14 } };
        QTest::newRow("adjacent merged")
            << QByteArray("bytes=5-9,0-4") << qint64(100) << int(R::Satisfiable) << L { { 0, 9 } };
        QTest::newRow("a merge reaching an earlier range")
            << QByteArray("bytes=20-29,0-9,40-,10-19") << qint64(100) << int(R::Satisfiable)
            << L { { 0, 29 }, { 40, 99 } };
        QTest::newRow("suffix over the open end")
            << QByteArray("bytes=90-,-20") << qint64(100) << int(R::Satisfiable) << L { { 80, 99 } };
        QTest::newRow("disjoint keep their order") << QByteArray("bytes=50-59,0-9") << qint64(100)
                                                   << int(R::Satisfiable) << L { { 50, 59 }, { 0, 9 } };
        QTest::newRow("64 times the whole file") << QByteArray("bytes=" + QByteArray("0-,").repeated(64))
                                                 << qint64(100) << int(R::Satisfiable) << L { { 0, 99 } };
        QTest::newRow("other unit") << QByteArray("items=0-1") << qint64(100) << int(R::None) << L {};
        QTest::newRow("reversed") << QByteArray("bytes=9-1") << qint64(100) << int(R::None) << L {};
        QTest::newRow("garbage") << QByteArray("bytes=a-b") << qint64(100) << int(R::None) << L {};
        QTest::newRow("no dash") << QByteArray("bytes=5") << qint64(100) << int(R::None) << L {};
        QTest::newRow("nothing") << QByteArray("bytes=") << qint64(100) << int(R::None) << L {};
        QTest::newRow("too many") << QByteArray("bytes=" + QByteArray("0-0,").repeated(65)) << qint64(100)
                                  << int(R::None) << L {};
    }

    void ranges()
    {
        QFETCH(QByteArray, header);
        QFETCH(qint64, size);
        const HttpRangeRequest r = parseHttpRange(header, size);
        QTEST(int(r.kind), "kind");
        QTEST(r.ranges, "ranges");
    }

    void contentTypes()
    {
        QCOMPARE(httpContentType("/w/A.HTML"), QByteArray("text/html"));
        QCOMPARE(httpContentType("a.wmlscriptc"), QByteArray("application/vnd.wap.wmlscriptc"));
        QCOMPARE(httpContentType("/w.d/README"), QByteArray("application/binary"));
        QCOMPARE(httpContentType("a.htm.gz"), QByteArray("application/binary"));
    }

    void dates()
    {
        QCOMPARE(httpDate(0), QByteArray("Thu, 01 Jan 1970 00:00:00 GMT"));
        QCOMPARE(httpDate(1796634900), QByteArray("Mon, 07 Dec 2026 09:15:00 GMT"));
        QCOMPARE(httpDate(1709251199), QByteArray("Thu, 29 Feb 2024 23:59:59 GMT"));
        QCOMPARE(httpDate(1672531205), QByteArray("Sun, 01 Jan 2023 00:00:05 GMT"));
    }

    void escapingAndDecoding()
    {
        QCOMPARE(htmlEscape("/<script>&\"'x"), QByteArray("/&lt;script&gt;&amp;&quot;&#39;x"));
        QCOMPARE(percentDecode("/a%20b%2e%2E%2f%zz%4"), QByteArray("/a b../%zz%4"));
        QCOMPARE(percentDecode("%252e"), QByteArray("%2e"));
        QCOMPARE(percentDecode("%00"), QByteArray(1, '\0'));
    }

    void documentMapping_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("file"); // relative to the folder when served

        using D = HttpDocument;
        QTest::newRow("root") << QByteArray("/") << int(D::File) << QStringLiteral("Orvalla.htm");
        QTest::newRow("page") << QByteArray("/Orvalla.htm") << int(D::File) << QStringLiteral("Orvalla.htm");
        QTest::newRow("dot parts") << QByteArray("/./sub/../Orvalla.htm") << int(D::File)
                                   << QStringLiteral("Orvalla.htm");
        QTest::newRow("encoded name")
            << QByteArray("/a%20b.txt") << int(D::File) << QStringLiteral("a b.txt");
        QTest::newRow("sub folder default")
            << QByteArray("/sub/") << int(D::File) << QStringLiteral("sub/Orvalla.htm");
        QTest::newRow("sub folder, no slash")
            << QByteArray("/sub") << int(D::File) << QStringLiteral("sub/Orvalla.htm");
        QTest::newRow("folder without default") << QByteArray("/empty/") << int(D::NotFound) << QString();
        QTest::newRow("missing") << QByteArray("/nope.htm") << int(D::NotFound) << QString();
        QTest::newRow("case differs") << QByteArray("/orvalla.htm") << int(D::NotFound) << QString();
        QTest::newRow("link inside") << QByteArray("/alias.htm") << int(D::File)
                                     << QStringLiteral("Orvalla.htm");
        QTest::newRow("fifo") << QByteArray("/pipe") << int(D::NotFound) << QString();
        QTest::newRow("relative, no slash")
            << QByteArray("Orvalla.htm") << int(D::File) << QStringLiteral("Orvalla.htm");

        QTest::newRow("file and separator") << QByteArray("/Orvalla.htm/") << int(D::NotFound) << QString();
        QTest::newRow("file, separator, dot")
            << QByteArray("/sub/Orvalla.htm/.") << int(D::NotFound) << QString();
        QTest::newRow("file and encoded separator")
            << QByteArray("/Orvalla.htm%2f") << int(D::NotFound) << QString();
        QTest::newRow("link to a file and separator")
            << QByteArray("/alias.htm/") << int(D::NotFound) << QString();
        QTest::newRow("folder, separator, dot")
            << QByteArray("/sub/.") << int(D::File) << QStringLiteral("sub/Orvalla.htm");
        QTest::newRow("dot dot") << QByteArray("/../secret.txt") << int(D::Forbidden) << QString();
        QTest::newRow("sibling with folder prefix")
            << QByteArray("/../www2/x.txt") << int(D::Forbidden) << QString();
        QTest::newRow("NUL") << QByteArray("/Orvalla.htm%00.txt") << int(D::Forbidden) << QString();
        QTest::newRow("link to outside file") << QByteArray("/leak.txt") << int(D::Forbidden) << QString();
    }

    void documentMapping()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, kind);
        QFETCH(QString, file);

        // tmp/www is the folder; tmp/secret.txt and tmp/www2 lie beside it.
        QTemporaryDir tmp;
        QDir root(tmp.path());
        QVERIFY(root.mkpath("www/sub") && root.mkpath("www/empty") && root.mkpath("www2"));
        const QString www = root.filePath("www");
        for (const QString &name :
            { QStringLiteral("www/Orvalla.htm"), QStringLiteral("www/sub/Orvalla.htm"),
                QStringLiteral("www/a b.txt"), QStringLiteral("secret.txt"), QStringLiteral("www2/x.txt") }) {
            QFile f(root.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("x");
        }
        QVERIFY(QFile::link(root.filePath("secret.txt"), root.filePath("www/leak.txt")));
        QVERIFY(QFile::link(tmp.path(), root.filePath("www/out")));
        QVERIFY(QFile::link(root.filePath("www/Orvalla.htm"), root.filePath("www/alias.htm")));
        QCOMPARE(::mkfifo(QFile::encodeName(root.filePath("www/pipe")).constData(), 0600), 0);

        // Given with a trailing slash and through a link: still the same folder.
        QVERIFY(QFile::link(www, root.filePath("wwwlink")));
        for (const QString &dir : { www, root.filePath("wwwlink") + QLatin1Char('/') }) {
            const HttpDocument doc = resolveHttpDocument(dir, QStringLiteral("Orvalla.htm"), path);
            QCOMPARE(int(doc.kind), kind);
            if (kind == HttpDocument::File)
                QCOMPARE(doc.filePath, QFileInfo(QDir(www).filePath(file)).canonicalFilePath());
            else
                QVERIFY(doc.filePath.isEmpty());
        }
    }

    void defaultDocumentCannotEscape()
    {
        QTemporaryDir tmp;
        QDir root(tmp.path());
        QVERIFY(root.mkpath("www"));
        QFile f(root.filePath("secret.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        const QString www = root.filePath("www");
        QCOMPARE(int(resolveHttpDocument(www, QStringLiteral("../secret.txt"), "/").kind),
            int(HttpDocument::Forbidden));
        QCOMPARE(int(resolveHttpDocument(www, QString(), "/").kind), int(HttpDocument::NotFound));
        QFile page(root.filePath("www/Orvalla.htm"));
        QVERIFY(page.open(QIODevice::WriteOnly));
        QCOMPARE(
            int(resolveHttpDocument(www, QStringLiteral("Orvalla.htm"), "/").kind), int(HttpDocument::File));
        QCOMPARE(int(resolveHttpDocument(www, QStringLiteral("Orvalla.htm/"), "/").kind),
            int(HttpDocument::NotFound));
        QCOMPARE(int(resolveHttpDocument(root.filePath("missing"), QStringLiteral("x"), "/").kind),
            int(HttpDocument::NotFound));
    }
};

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "test_http_request.moc"
