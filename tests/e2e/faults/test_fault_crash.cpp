// The console killed with SIGKILL at random moments while the station emulator
// sends a frame a second and a record is stored every minute: whenever it
// dies, every file it keeps is whole, and nothing it had written is lost; the
// reading archive opens and holds every reading the log said it stored.
//
// ORVALLA_CRASH_KILLS sets the number of kills (20 by default; 100 is the full
// run), ORVALLA_CRASH_SEED replays the moments of a failed run.

#include "console_rig.h"

#include <QHash>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

using namespace faults;

namespace
{

// What the console's files held at one moment.
struct Disk {
    QHash<QString, QList<QByteArray>> day; // daily data file -> lines
    QHash<QString, QList<QByteArray>> interval; // interval data file -> lines
    QList<QByteArray> queue;
};

enum class Moment {
    StartUp, // any time in the first seconds, reading or not
    Running, // any time once readings arrive
    Writing, // just after a reading was decoded, while its files are written
    Closing, // SIGTERM, then SIGKILL while the settings may be being saved
};

const char *momentName(Moment m)
{
    switch (m) {
    case Moment::StartUp:
        return "start-up";
    case Moment::Running:
        return "running";
    case Moment::Writing:
        return "writing";
    case Moment::Closing:
        return "closing";
    }
    return "?";
}

bool isPrefix(const QList<QByteArray> &before, const QList<QByteArray> &now)
{
    return before.size() <= now.size() && std::equal(before.begin(), before.end(), now.begin());
}

} // namespace

class TestFaultCrash : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ConsoleRig m_rig;
    QString m_context; // seed, kill number and moment, for every failure message

    QString fail(const QString &what) const { return m_context + QStringLiteral(": ") + what; }

    // Instants the console's log says went into the archive, over all its runs.
    QSet<QString> m_archived;

    void collectArchived()
    {
        static const QRegularExpression re(QStringLiteral("reading archived: tarvelo (\\S+ \\S+)"));
        const QString text = QString::fromUtf8(m_rig.output());
        for (auto it = re.globalMatch(text); it.hasNext();)
            m_archived.insert(it.next().captured(1));
    }

    // The archive opens as another program would and holds every logged reading.
    QString archiveProblem() const
    {
        QString problem;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
            db.setDatabaseName(m_rig.path(QStringLiteral("tarvelo_arquivo.sqlite")));
            QSqlQuery q(db);
            QSet<QString> stored;
            if (!db.open()
                || !q.exec(QStringLiteral("SELECT instante FROM lecturas WHERE estacion = 'tarvelo'")))
                problem = QStringLiteral("archive does not open: ") + db.lastError().text()
                    + q.lastError().text();
            while (q.next())
                stored.insert(q.value(0).toString());
            const QSet<QString> missing = m_archived - stored;
            if (problem.isEmpty() && !missing.isEmpty())
                problem = QStringLiteral("%1 logged readings not in the archive, first %2")
                              .arg(missing.size())
                              .arg(*missing.begin());
        }
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
        return problem;
    }

    Disk read() const
    {
        Disk d;
        for (const QString &name : m_rig.dayFiles())
            d.day.insert(name, splitLines(m_rig.bytes(name)));
        for (const QString &name : m_rig.intervalFiles())
            d.interval.insert(name, splitLines(m_rig.bytes(name)));
        d.queue = splitLines(m_rig.bytes(ConsoleRig::queueName()));
        return d;
    }

    // Every file as it must be whatever moment the console died at.
    QString wholeFiles() const
    {
        auto dayFileProblem = [](const QByteArray &bytes) -> QString {
            if (!wholeCrLfLines(bytes))
                return QStringLiteral("not whole CR LF lines");
            const QList<QByteArray> lines = splitLines(bytes);
            if (lines.size() != 1441)
                return QStringLiteral("%1 lines").arg(lines.size());
            if (lines.first() != "datos")
                return QStringLiteral("first line %1").arg(QString::fromLatin1(lines.first()));
            for (int row = 1; row < lines.size(); ++row) {
                const QByteArray &l = lines.at(row);
                const int minute = l.mid(11, 2).toInt() * 60 + l.mid(14, 2).toInt();
                if (!(isReadingLine(l) || isTimeStampLine(l)) || minute != row - 1)
                    return QStringLiteral("row %1: '%2'").arg(row).arg(QString::fromLatin1(l));
            }
            return {};
        };
        QStringList days = m_rig.dayFiles();
        if (QFile::exists(m_rig.path(QStringLiteral("tarvelo_datos_hoxe.txt"))))
            days << QStringLiteral("tarvelo_datos_hoxe.txt");
        for (const QString &name : days) {
            const QString problem = dayFileProblem(m_rig.bytes(name));
            if (!problem.isEmpty())
                return name + QStringLiteral(": ") + problem;
        }

        QStringList records = m_rig.intervalFiles();
        if (QFile::exists(m_rig.path(QStringLiteral("tarvelo_datos10_hoxe.txt"))))
            records << QStringLiteral("tarvelo_datos10_hoxe.txt");
        records << ConsoleRig::queueName();
        for (const QString &name : records) {
            const QByteArray bytes = m_rig.bytes(name);
            if (!wholeCrLfLines(bytes))
                return name + QStringLiteral(": not whole CR LF lines");
            const bool queue = name == ConsoleRig::queueName();
            for (const QByteArray &l : splitLines(bytes))
                if (!(isReadingLine(l) || (!queue && isTimeStampLine(l))))
                    return name + QStringLiteral(": line '%1'").arg(QString::fromLatin1(l));
        }

        const QString maxmin = m_rig.path(QStringLiteral("maxmin.bin"));
        if (QFile::exists(maxmin) && QFileInfo(maxmin).size() != 80)
            return QStringLiteral("maxmin.bin holds %1 bytes").arg(QFileInfo(maxmin).size());

        const QByteArray settings = m_rig.bytes(QStringLiteral("meteo.cfg"));
        const QList<QByteArray> lines = splitLines(settings);
        if (!wholeCrLfLines(settings) || lines.size() != 37
            || lines.first() != "Identificador do sistema = 'tarvelo'"
            || !lines.contains("Intervalo almacenamento datos (minutos) = 1"))
            return QStringLiteral("meteo.cfg damaged (%1 lines):\n").arg(lines.size())
                + QString::fromLatin1(settings);
        return {};
    }

    // What was on disk before is on disk now, or superseded by a later
    // reading of the same minute; records and the mail queue only grow.
    static QString nothingLost(const Disk &before, const Disk &now)
    {
        for (auto it = before.day.begin(); it != before.day.end(); ++it) {
            const QList<QByteArray> &was = it.value();
            const QList<QByteArray> is = now.day.value(it.key());
            if (is.size() != was.size())
                return it.key() + QStringLiteral(": %1 lines, was %2").arg(is.size()).arg(was.size());
            for (int row = 1; row < was.size(); ++row) {
                if (!isReadingLine(was.at(row)) || is.at(row) == was.at(row))
                    continue;
                if (!isReadingLine(is.at(row)) || stampKey(is.at(row)) < stampKey(was.at(row)))
                    return it.key()
                        + QStringLiteral(": row %1 held '%2', now '%3'")
                              .arg(row)
                              .arg(QString::fromLatin1(was.at(row)), QString::fromLatin1(is.at(row)));
            }
        }
        for (auto it = before.interval.begin(); it != before.interval.end(); ++it)
            if (!isPrefix(it.value(), now.interval.value(it.key())))
                return it.key() + QStringLiteral(": lost records");
        if (!isPrefix(before.queue, now.queue))
            return QStringLiteral("mail queue lost lines (%1 before, %2 now)")
                .arg(before.queue.size())
                .arg(now.queue.size());
        return {};
    }

    // The last reading the console decoded is not yet in all of its files.
    bool halfWritten()
    {
        const QByteArray &out = m_rig.output();
        const qsizetype at = out.lastIndexOf("reading decoded: ");
        if (at < 0)
            return false;
        const qsizetype start = at + 17;
        const qsizetype end = out.indexOf('\n', start);
        if (end < 0)
            return true;
        const QByteArray line = orvalla::toCp1252(QString::fromUtf8(out.mid(start, end - start)));
        const QByteArray today = m_rig.bytes(QStringLiteral("tarvelo_datos_hoxe.txt"));
        const QList<QByteArray> queue = splitLines(m_rig.bytes(ConsoleRig::queueName()));
        return !queue.contains(line) || !splitLines(today).contains(line);
    }

    static int readingCount(const Disk &d)
    {
        int n = 0;
        for (const QList<QByteArray> &lines : d.day)
            n += int(std::count_if(lines.begin(), lines.end(), isReadingLine));
        return n;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_rig.workDir = m_dir.path();
        m_rig.portDir = m_dir.path();
        QVERIFY(orvalla::replaceFile(m_rig.path(QStringLiteral("meteo.cfg")), settingsFile()));
        const QString why = m_rig.startPeers();
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }

    void cleanupTestCase() { m_rig.stopAll(); }

    void killedConsoleLosesNothing()
    {
        bool ok = false;
        int kills = qEnvironmentVariableIntValue("ORVALLA_CRASH_KILLS", &ok);
        if (!ok || kills <= 0)
            kills = 20;
        quint32 seed = quint32(qEnvironmentVariableIntValue("ORVALLA_CRASH_SEED", &ok));
        if (!ok)
            seed = QRandomGenerator::system()->generate();
        QRandomGenerator random(seed);
        qInfo("%d kills, seed %u (ORVALLA_CRASH_SEED=%u replays it)", kills, seed, seed);

        const QByteArray decoded = "reading decoded:";
        Disk known = read();
        int moments[4] = {};
        int interrupted = 0; // kills that caught a reading's files half written
        int closesCut = 0; // kills that came before the settings were saved
        for (int kill = 1; kill <= kills; ++kill) {
            // Writing counts twice: that is where a kill can do harm.
            const int pick = int(random.bounded(5));
            const Moment moment = pick == 0 ? Moment::StartUp
                : pick == 1                 ? Moment::Running
                : pick == 4                 ? Moment::Closing
                                            : Moment::Writing;
            ++moments[int(moment)];
            m_context = QStringLiteral("seed %1, kill %2 of %3 (%4)")
                            .arg(seed)
                            .arg(kill)
                            .arg(kills)
                            .arg(QLatin1String(momentName(moment)));

            m_rig.startConsole();
            QVERIFY2(m_rig.consoleRunning(), qPrintable(fail(QStringLiteral("console did not start"))));
            if (moment == Moment::StartUp) {
                QTest::qWait(int(random.bounded(3000)));
            } else {
                // The first reading of this run, then (for Writing) the next one.
                qsizetype at = m_rig.waitForOutput(decoded, 60000);
                if (moment == Moment::Writing && at > 0)
                    at = m_rig.waitForOutput(decoded, 10000, at);
                QVERIFY2(
                    at > 0, qPrintable(fail(QStringLiteral("no reading decoded:\n")) + m_rig.outputText()));
                // Long enough at times for the daily extremes state, saved every ten ticks.
                if (moment == Moment::Running)
                    QTest::qWait(int(random.bounded(12000)));
                else if (moment == Moment::Writing)
                    QTest::qSleep(int(random.bounded(20)));
            }

            const Disk before = read();
            if (moment == Moment::Closing) {
                m_rig.console().terminate();
                QTest::qSleep(int(random.bounded(10)));
            }
            QVERIFY2(m_rig.consoleRunning() || moment == Moment::Closing,
                qPrintable(fail(QStringLiteral("console ended by itself:\n")) + m_rig.outputText()));
            m_rig.killConsole();
            if (moment == Moment::Closing && !m_rig.output().contains("settings saved"))
                ++closesCut;
            collectArchived();
            if (QFile::exists(m_rig.path(QStringLiteral("tarvelo_arquivo.sqlite")))) {
                const QString why = archiveProblem();
                QVERIFY2(why.isEmpty(), qPrintable(fail(why)));
            }

            if (halfWritten())
                ++interrupted;

            QString problem = nothingLost(known, before);
            QVERIFY2(problem.isEmpty(), qPrintable(fail(QStringLiteral("while running: ") + problem)));
            const Disk after = read();
            problem = wholeFiles();
            QVERIFY2(problem.isEmpty(), qPrintable(fail(problem)));
            problem = nothingLost(before, after);
            QVERIFY2(problem.isEmpty(), qPrintable(fail(problem)));
            known = after;
        }
        qInfo("moments: %d start-up, %d running, %d writing, %d closing; %d kills caught a reading's files "
              "half written, %d a close before the settings were saved; %d minutes with a reading",
            moments[0], moments[1], moments[2], moments[3], interrupted, closesCut, readingCount(known));

        // A last run: it goes on from the files left, and closes cleanly.
        m_context = QStringLiteral("seed %1, after the kills").arg(seed);
        m_rig.startConsole();
        const qsizetype at = m_rig.waitForOutput(decoded, 60000);
        QVERIFY2(at > 0, qPrintable(fail(QString::fromLatin1(m_rig.outputText()))));
        const QByteArray line = m_rig.output().mid(at + 1, m_rig.output().indexOf('\n', at) - at - 1);
        QTRY_VERIFY2_WITH_TIMEOUT(read().queue.contains(orvalla::toCp1252(QString::fromUtf8(line))),
            qPrintable(fail(QString::fromUtf8(line))), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_rig.path(QStringLiteral("maxmin.bin"))), 30000);
        QVERIFY2(m_rig.terminateConsole(), qPrintable(fail(QStringLiteral("SIGTERM did not close it"))));
        QCOMPARE(m_rig.console().exitStatus(), QProcess::NormalExit);
        QVERIFY2(m_rig.console().exitCode() == 0, m_rig.outputText());
        const Disk last = read();
        QString problem = wholeFiles();
        QVERIFY2(problem.isEmpty(), qPrintable(fail(problem)));
        problem = nothingLost(known, last);
        QVERIFY2(problem.isEmpty(), qPrintable(fail(problem)));
        QVERIFY(QFileInfo(m_rig.path(QStringLiteral("maxmin.bin"))).size() == 80);
        QVERIFY(!last.day.isEmpty());
        collectArchived();
        QVERIFY(!m_archived.isEmpty());
        problem = archiveProblem();
        QVERIFY2(problem.isEmpty(), qPrintable(fail(problem)));

        // Nothing but the console's own files. Where the filesystem has no
        // unnamed temporary files, a replacement cut short leaves its named
        // temporary file ("<name>.XXXXXX") behind: litter, not damage.
        const QStringList expected { QStringLiteral("meteo.cfg"), QStringLiteral("maxmin.bin"),
            QStringLiteral("ttyStation"), QStringLiteral("ttyConsole"), ConsoleRig::queueName(),
            QStringLiteral("tarvelo_datos_hoxe.txt"), QStringLiteral("tarvelo_datos10_hoxe.txt"),
            QStringLiteral("tarvelo_datos_maxmin_hoxe.txt"), QStringLiteral("tarvelo_datos_maxmin.txt"),
            QStringLiteral("tarvelo_arquivo.sqlite"), QStringLiteral("tarvelo_arquivo.sqlite-wal"),
            QStringLiteral("tarvelo_arquivo.sqlite-shm") };
        auto ours = [&](const QString &name) {
            return expected.contains(name) || last.day.contains(name) || last.interval.contains(name);
        };
        QStringList stray, litter;
        for (const QString &name : QDir(m_dir.path()).entryList(QDir::Files | QDir::System | QDir::Hidden)) {
            if (ours(name))
                continue;
            const qsizetype dot = name.lastIndexOf(u'.');
            if (dot > 0 && name.size() - dot == 7 && ours(name.left(dot)))
                litter << name;
            else
                stray << name;
        }
        if (!litter.isEmpty())
            qWarning("temporary files left by the kills: %s", qPrintable(litter.join(u' ')));
        QVERIFY2(stray.isEmpty(), qPrintable(stray.join(u' ')));
    }
};

QTEST_GUILESS_MAIN(TestFaultCrash)
#include "test_fault_crash.moc"
