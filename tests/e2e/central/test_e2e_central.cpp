// The archive's readings into a real PostgreSQL server: they arrive with the
// archive's values, outages and restarts neither lose nor double them, two
// stations share the table, and a refused login or a dead or silent host is
// a clear status while the local archive goes on.

#include "postgres_server.h"
#include "tests/e2e/tls_certificates.h"

#include "common/clock.h"
#include "history/history.h"
#include "station/decoder.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

#include <cmath>

using namespace orvalla;
using central::PostgresServer;

namespace
{

QByteArray lineAt(int second, float temperature)
{
    Reading r;
    r.year = 2026;
    r.month = 12;
    r.day = 9;
    r.hour = 10 + second / 3600;
    r.minute = second / 60 % 60;
    r.second = second % 60;
    r.temperature = temperature;
    r.humidity = 65.3f;
    r.pressure = 1013.2f;
    r.solar_radiation = 250;
    r.wind_speed = 5;
    r.wind_direction = 180;
    r.rain = 1.2f;
    r.battery_voltage = 3.75f;
    r.charge_current = 12.5f;
    return readingLine(r);
}

// A row as text, NULLs included, so that both databases compare exactly.
QString rowText(const QString &instant, const std::array<double, ArchiveValueCount> &values)
{
    QString t = instant;
    for (double v : values)
        t += QLatin1Char('|') + (std::isfinite(v) ? QString::number(v, 'g', 17) : QStringLiteral("NULL"));
    return t;
}

QStringList archiveRows(const ReadingHistory &h)
{
    QStringList out;
    for (const ArchiveRow &r :
        h.archive().readings(h.systemId(), QStringLiteral("0000"), QStringLiteral("9999")))
        out << rowText(r.instant, r.values);
    return out;
}

QStringList centralRows(PostgresServer &pg, const QString &station)
{
    QString select = QStringLiteral("SELECT instante");
    for (int c = 0; c < ArchiveValueCount; ++c)
        select += QLatin1String(", ") + QLatin1String(archiveColumn(ArchiveValue(c)));
    QSqlQuery q(pg.db());
    q.prepare(select + QStringLiteral(" FROM lecturas WHERE estacion = ? ORDER BY instante"));
    q.addBindValue(station);
    QStringList out;
    if (!q.exec())
        return { QStringLiteral("ERROR ") + q.lastError().text() };
    while (q.next()) {
        std::array<double, ArchiveValueCount> v {};
        for (int c = 0; c < ArchiveValueCount; ++c)
            v[c] = q.value(1 + c).isNull() ? NAN : q.value(1 + c).toDouble();
        out << rowText(q.value(0).toString(), v);
    }
    return out;
}

} // namespace

class TestE2eCentral : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    std::unique_ptr<QTemporaryDir> m_dir;

    std::unique_ptr<ReadingHistory> history(const QString &id, const QString &uri, const QString &sub = {})
    {
        const QString folder = m_dir->path() + QLatin1Char('/') + sub;
        QDir().mkpath(folder);
        auto h = std::make_unique<ReadingHistory>(folder);
        h->central().setRetryInterval(300);
        h->start(id);
        h->setCentralDatabase(uri);
        return h;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString why = m_pg.start();
        if (!why.isEmpty())
            QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for these tests: ") + why));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_pg.exec(QStringLiteral("DROP TABLE IF EXISTS lecturas"));
    }

    // Readings arrive with the archive's values; the table is made on the way.
    // What the archive held before the database was set goes too, in batches.
    void readingsArrive()
    {
        auto h = history(QStringLiteral("tarvelo"), QString());
        for (int s = 0; s < 25; ++s)
            h->recordReadingLine(lineAt(s, 10 + s / 10.0f));
        h->central().setBatchSize(7);
        QSignalSpy status(&h->central(), &CentralSender::statusChanged);
        h->setCentralDatabase(m_pg.uri());
        for (int s = 25; s < 30; ++s)
            h->recordReadingLine(lineAt(s, -3.25f));
        QTRY_COMPARE_WITH_TIMEOUT(centralRows(m_pg, QStringLiteral("tarvelo")).size(), 30, 20000);
        QCOMPARE(centralRows(m_pg, QStringLiteral("tarvelo")), archiveRows(*h));
        QTRY_COMPARE(h->central().waitingCount(), 0);
        QCOMPARE(h->central().state(), CentralSender::State::Reached);
        QCOMPARE(h->central().lastSent(), QStringLiteral("2026-12-09 10:00:29"));
        QVERIFY2(h->central().statusText().contains(QStringLiteral("conectada; 0 lecturas á espera; última "
                                                                   "enviada: 2026-12-09 10:00:29")),
            qPrintable(h->central().statusText()));
        QVERIFY(!status.isEmpty());
        QCOMPARE(h->archive().centralPendingCount(), 0);
        // The table has the archive's key: a row sent again replaces itself.
        QCOMPARE(
            m_pg.column(QStringLiteral("SELECT string_agg(a.attname, ',' ORDER BY k.ord) FROM pg_index i "
                                       "CROSS JOIN unnest(i.indkey) WITH ORDINALITY k(attnum, ord) JOIN "
                                       "pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
                                       "WHERE i.indrelid = 'lecturas'::regclass AND i.indisprimary")),
            QStringList { QStringLiteral("estacion,instante") });
        h->recordReadingLine(lineAt(29, 7.5f));
        QTRY_COMPARE(centralRows(m_pg, QStringLiteral("tarvelo")), archiveRows(*h));
        QCOMPARE(centralRows(m_pg, QStringLiteral("tarvelo")).size(), 30);
    }

    // The server stopped for a while and started again: every reading arrives
    // once, oldest first, and the archive kept them meanwhile.
    void serverOutage()
    {
        auto h = history(QStringLiteral("tarvelo"), m_pg.uri());
        for (int s = 0; s < 3; ++s)
            h->recordReadingLine(lineAt(s, 5));
        QTRY_COMPARE_WITH_TIMEOUT(centralRows(m_pg, QStringLiteral("tarvelo")).size(), 3, 20000);
        m_pg.closeDb();
        QVERIFY(m_pg.stop());
        for (int s = 3; s < 40; ++s)
            h->recordReadingLine(lineAt(s, 6));
        QTRY_COMPARE_WITH_TIMEOUT(h->central().state(), CentralSender::State::Unreached, 20000);
        QVERIFY2(h->central().failure().startsWith(QStringLiteral("non se chega ao servidor")),
            qPrintable(h->central().failure()));
        QCOMPARE(h->central().waitingCount(), 37);
        QVERIFY(h->central().statusText().contains(QStringLiteral("37 lecturas á espera no arquivo local")));
        QCOMPARE(h->archive().readingCount(QStringLiteral("tarvelo")), 40);
        QTest::qWait(1000); // several failed retries
        QCOMPARE(m_pg.start(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(h->central().waitingCount(), 0, 20000);
        QCOMPARE(h->central().state(), CentralSender::State::Reached);
        QCOMPARE(centralRows(m_pg, QStringLiteral("tarvelo")), archiveRows(*h));
        // In the order they were written: by transaction, then place in it.
        const QStringList written
            = m_pg.column(QStringLiteral("SELECT instante FROM lecturas ORDER BY xmin::text::bigint, ctid"));
        QCOMPARE(written.size(), 40);
        QVERIFY2(std::is_sorted(written.begin(), written.end()), qPrintable(written.join(u' ')));
    }

    // Two consoles of different stations write into one table at once.
    void twoStations()
    {
        auto a = history(QStringLiteral("tarvelo"), m_pg.uri(), QStringLiteral("a"));
        auto b = history(QStringLiteral("outeiro"), m_pg.uri(), QStringLiteral("b"));
        for (int s = 0; s < 20; ++s) {
            a->recordReadingLine(lineAt(s, 1));
            b->recordReadingLine(lineAt(s, 2));
        }
        QTRY_COMPARE_WITH_TIMEOUT(centralRows(m_pg, QStringLiteral("outeiro")).size(), 20, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(centralRows(m_pg, QStringLiteral("tarvelo")).size(), 20, 20000);
        QCOMPARE(centralRows(m_pg, QStringLiteral("tarvelo")), archiveRows(*a));
        QCOMPARE(centralRows(m_pg, QStringLiteral("outeiro")), archiveRows(*b));
        QCOMPARE(a->central().state(), CentralSender::State::Reached);
        QCOMPARE(b->central().state(), CentralSender::State::Reached);
    }

    // A refused login, a closed port, a host that never answers: a clear
    // status, the archive unaffected, and closing does not wait on the network.
    void unusableServer_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        QTest::newRow("wrong password") << "password"
                                        << "o servidor rexeitou o usuario ou o contrasinal";
        QTest::newRow("closed port") << "closed"
                                     << "non se chega ao servidor";
        QTest::newRow("silent host") << "silent"
                                     << "non se chega ao servidor";
        QTest::newRow("bad URI") << "uri"
                                 << "o enderezo non é válido";
    }
    void unusableServer()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        QTcpServer silent; // accepts and says nothing
        QList<QTcpSocket *> held;
        connect(&silent, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = silent.nextPendingConnection())
                held << s;
        });
        QString uri;
        if (kind == QLatin1String("password")) {
            uri = m_pg.uri(QStringLiteral("nonvale"));
        } else if (kind == QLatin1String("closed")) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            uri = QStringLiteral("postgresql://orvalla:x@127.0.0.1:%1/postgres").arg(probe.serverPort());
        } else if (kind == QLatin1String("silent")) {
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            uri = QStringLiteral("postgresql://orvalla:x@127.0.0.1:%1/postgres?connect_timeout=2")
                      .arg(silent.serverPort());
        } else {
            uri = QStringLiteral("mysql://orvalla@127.0.0.1/postgres");
        }
        auto h = history(QStringLiteral("tarvelo"), uri);
        for (int s = 0; s < 5; ++s)
            h->recordReadingLine(lineAt(s, 3));
        QTRY_COMPARE_WITH_TIMEOUT(h->central().state(), CentralSender::State::Unreached, 15000);
        QVERIFY2(h->central().failure().startsWith(expected), qPrintable(h->central().failure()));
        QVERIFY2(h->central().statusText().contains(QStringLiteral(" non dispoñible: ") + expected),
            qPrintable(h->central().statusText()));
        QVERIFY(!h->central().statusText().contains(QStringLiteral("nonvale")));
        QCOMPARE(h->archive().readingCount(QStringLiteral("tarvelo")), 5);
        QVERIFY(h->available());
        if (kind != QLatin1String("uri"))
            QCOMPARE(h->central().waitingCount(), 5);
        // The reading path never waits on the server.
        QElapsedTimer t;
        t.start();
        h->recordReadingLine(lineAt(5, 3));
        QVERIFY2(t.elapsed() < 500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(h->archive().readingCount(QStringLiteral("tarvelo")), 6);
        // Closing while a connection attempt may be under way ends in bounded time.
        t.restart();
        h.reset();
        QVERIFY2(t.elapsed() < CentralSender::kCloseWaitMs + 1000, qPrintable(QString::number(t.elapsed())));
        qDeleteAll(held);
    }

    // The operator mends the URI while a connection to a silent host is being
    // tried: the window does not wait for it, and the readings go to the new one.
    void uriChangedWhileConnecting()
    {
        QTcpServer silent;
        QList<QTcpSocket *> held;
        connect(&silent, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = silent.nextPendingConnection())
                held << s;
        });
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        auto h = history(QStringLiteral("tarvelo"),
            QStringLiteral("postgresql://orvalla:x@127.0.0.1:%1/postgres?connect_timeout=30")
                .arg(silent.serverPort()));
        h->recordReadingLine(lineAt(0, 1));
        QTRY_VERIFY(!held.isEmpty());
        QElapsedTimer t;
        t.start();
        h->setCentralDatabase(m_pg.uri());
        QVERIFY2(t.elapsed() < 500, qPrintable(QString::number(t.elapsed())));
        h->recordReadingLine(lineAt(1, 1));
        QTRY_COMPARE_WITH_TIMEOUT(centralRows(m_pg, QStringLiteral("tarvelo")), archiveRows(*h), 15000);
        QCOMPARE(centralRows(m_pg, QStringLiteral("tarvelo")).size(), 2);
        // The old attempt ends as the silent host hangs up.
        qDeleteAll(held);
        silent.close();
        QTest::qWait(300);
    }

    // With TLS the server's certificate is checked as libpq checks it: one
    // that the named root did not sign is refused, and nothing is sent.
    // Last, as it restarts the server.
    void tls()
    {
        tlstest::Certificate server, stranger;
        QCOMPARE(tlstest::makeCertificate(
                     m_pg.folder(), QStringLiteral("server"), QStringLiteral("localhost"), true, &server),
            QString());
        QCOMPARE(tlstest::makeCertificate(
                     m_dir->path(), QStringLiteral("stranger"), QStringLiteral("localhost"), true, &stranger),
            QString());
        QVERIFY(m_pg.giveToServer(server.key) && m_pg.giveToServer(server.cert));
        m_pg.closeDb();
        QVERIFY(m_pg.stop());
        m_pg.setExtraOptions(
            QStringLiteral("-c ssl=on -c ssl_cert_file=%1 -c ssl_key_file=%2").arg(server.cert, server.key));
        QCOMPARE(m_pg.start(), QString());

        auto refused = history(QStringLiteral("tarvelo"),
            m_pg.uri(QString::fromLatin1(PostgresServer::kPassword),
                QStringLiteral("?sslmode=verify-full&sslrootcert=") + stranger.cert),
            QStringLiteral("refused"));
        refused->recordReadingLine(lineAt(0, 1));
        QTRY_COMPARE_WITH_TIMEOUT(refused->central().state(), CentralSender::State::Unreached, 15000);
        QVERIFY2(refused->central().failure().startsWith(QStringLiteral("fallou a conexión cifrada (TLS)")),
            qPrintable(refused->central().failure()));
        QCOMPARE(refused->archive().readingCount(QStringLiteral("tarvelo")), 1);

        auto h = history(QStringLiteral("tarvelo"),
            m_pg.uri(QString::fromLatin1(PostgresServer::kPassword),
                QStringLiteral("?sslmode=verify-full&application_name=orvalla-tls&sslrootcert=")
                    + server.cert),
            QStringLiteral("trusted"));
        for (int s = 0; s < 4; ++s)
            h->recordReadingLine(lineAt(s, 2));
        QTRY_COMPARE_WITH_TIMEOUT(centralRows(m_pg, QStringLiteral("tarvelo")), archiveRows(*h), 15000);
        QCOMPARE(
            m_pg.column(QStringLiteral("SELECT bool_and(s.ssl) FROM pg_stat_ssl s JOIN pg_stat_activity a "
                                       "USING (pid) WHERE a.application_name = 'orvalla-tls'")),
            QStringList { QStringLiteral("true") });
    }
};

QTEST_GUILESS_MAIN(TestE2eCentral)
#include "test_e2e_central.moc"
