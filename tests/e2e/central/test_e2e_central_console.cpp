// The built console with a central database set: killed with SIGKILL while a
// backlog of imported readings goes to the server, and started again, it ends
// with the central table holding what the local archive holds, each reading
// once; closing it does not wait on the network.

#include "../faults/console_rig.h"
#include "postgres_server.h"

#include "station/decoder.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <cmath>

using central::PostgresServer;
using faults::ConsoleRig;

namespace
{

constexpr int kBacklog = 12000;

// A day file of the past, a reading every 7 seconds.
QByteArray oldDayFile()
{
    QByteArray bytes;
    for (int i = 0; i < kBacklog; ++i) {
        const int t = i * 7;
        orvalla::Reading r;
        r.year = 2026;
        r.month = 12;
        r.day = 1;
        r.hour = t / 3600;
        r.minute = t / 60 % 60;
        r.second = t % 60;
        r.temperature = float(i % 300) / 10.0f - 5;
        r.humidity = 70;
        r.pressure = 1000 + float(i % 50) / 4;
        r.rain = float(i / 100) / 5;
        r.battery_voltage = 3.9f;
        bytes += orvalla::readingLine(r) + "\r\n";
    }
    return bytes;
}

QString valueText(const QVariant &v)
{
    return v.isNull() ? QStringLiteral("NULL") : QString::number(v.toDouble(), 'g', 17);
}

// estacion|instante|values of every row, in key order.
QStringList rows(QSqlDatabase db, const QString &where = {})
{
    QSqlQuery q(db);
    QStringList out;
    if (!q.exec(
            QStringLiteral("SELECT estacion, instante, temperatura, humidade, presion, radiacion, choiva, "
                           "vento_velocidade, vento_direccion, tension_bateria, intensidade_carga FROM "
                           "lecturas l %1 ORDER BY estacion, instante")
                .arg(where)))
        return { QStringLiteral("ERROR ") + q.lastError().text() };
    while (q.next()) {
        QString row = q.value(0).toString() + QLatin1Char('|') + q.value(1).toString();
        for (int c = 2; c < 11; ++c)
            row += QLatin1Char('|') + valueText(q.value(c));
        out << row;
    }
    return out;
}

} // namespace

class TestE2eCentralConsole : public QObject
{
    Q_OBJECT

private:
    PostgresServer m_pg;
    QTemporaryDir m_work;
    QTemporaryDir m_ports;
    ConsoleRig m_rig;

    qint64 centralCount() const
    {
        const QStringList n
            = const_cast<PostgresServer &>(m_pg).column(QStringLiteral("SELECT count(*) FROM lecturas"));
        return n.value(0).toLongLong();
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString why = m_pg.start();
        if (!why.isEmpty())
            QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for these tests: ") + why));
        m_rig.workDir = m_work.path();
        m_rig.portDir = m_ports.path();
        const QString peers = m_rig.startPeers();
        if (!peers.isEmpty())
            QSKIP(qPrintable(peers));
    }

    void killedDuringBacklogThenRestarted()
    {
        const QByteArray cfg = faults::settingsFile()
            + "Modo pasivo de ftp = 0\r\nSeguridade de ftp = 0\r\nSeguridade de correo = 0\r\n"
              "Certificados de confianza = \r\nBase de datos central = "
            + m_pg.uri().toLatin1() + "\r\n";
        QVERIFY(orvalla::replaceFile(m_rig.path(QStringLiteral("meteo.cfg")), cfg));
        QVERIFY(
            orvalla::replaceFile(m_rig.path(QStringLiteral("tarvelo_datos_01_12_2026.txt")), oldDayFile()));

        m_rig.startConsole();
        QVERIFY2(m_rig.waitForOutput("readings sent to the central database: 200 ", 120000) > 0,
            m_rig.outputText());
        ::kill(pid_t(m_rig.consolePid()), SIGKILL);
        m_rig.killConsole();
        const qint64 atKill = centralCount();
        QVERIFY2(atKill > 0 && atKill < kBacklog, qPrintable(QString::number(atKill)));
        qInfo("killed with %lld of %d old readings on the server", atKill, kBacklog);

        // Started again: the rest goes; the readings of the last batch, whose
        // answer may have been lost with the process, replace themselves.
        m_rig.startConsole();
        QVERIFY2(m_rig.waitForOutput("central database reached", 60000) > 0, m_rig.outputText());
        QTRY_VERIFY_WITH_TIMEOUT(centralCount() > kBacklog, 120000);
        QVERIFY2(m_rig.terminateConsole(30000), "the console did not end on SIGTERM");
        for (const QByteArray &line : m_rig.output().split('\n')) {
            if (line.contains("central"))
                qInfo("%s", line.constData());
        }
        QVERIFY2(!m_rig.output().contains("left behind"), m_rig.outputText());

        QSqlDatabase local = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("local"));
        local.setDatabaseName(m_rig.path(QStringLiteral("tarvelo_arquivo.sqlite")));
        QVERIFY(local.open());
        const QStringList archive = rows(local);
        // A reading of the last seconds may still wait, marked, for the next start.
        const QStringList sent = rows(local,
            QStringLiteral(
                "WHERE NOT EXISTS (SELECT 1 FROM pendentes_central p WHERE p.estacion = l.estacion "
                "AND p.instante = l.instante)"));
        local.close();
        QVERIFY(archive.size() > kBacklog);
        QVERIFY2(
            archive.size() - sent.size() <= 3, qPrintable(QString::number(archive.size() - sent.size())));
        QCOMPARE(rows(m_pg.db()), sent);
    }
};

QTEST_GUILESS_MAIN(TestE2eCentralConsole)
#include "test_e2e_central_console.moc"
