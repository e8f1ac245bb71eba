// The console's working folder fills up while the station emulator sends a
// frame a second: every write that fails is reported on standard error,
// nothing already on disk changes, and once there is room again the next
// reading is written without a restart. A close while the disk is full keeps
// the old meteo.cfg.
//
// Two ways to run out of room: a file size limit on the console (SIGXFSZ
// ignored, so a write past it fails as on a full disk), which anyone can set,
// and a small tmpfs really filled up, which needs root (skipped otherwise).

#include "console_rig.h"

#include <QDateTime>
#include <QHash>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace faults;

namespace
{

enum class Room { FileSizeLimit, SmallFilesystem };

// The working folder's text files, name -> bytes. The reading archive is left
// out: SQLite may add uncommitted pages to its journal while a write fails.
QHash<QString, QByteArray> folderBytes(const ConsoleRig &rig, const QString &except)
{
    QHash<QString, QByteArray> files;
    for (const QString &name : QDir(rig.workDir).entryList(QDir::Files))
        if (name != except && !name.contains(QLatin1String("_arquivo.sqlite")))
            files.insert(name, rig.bytes(name));
    return files;
}

// The console's output cut at each decoded reading: what one reading led to.
QList<QByteArray> readingGroups(const QByteArray &output)
{
    QList<QByteArray> groups;
    const QByteArray marker = "reading decoded:";
    qsizetype at = output.indexOf(marker);
    while (at >= 0) {
        const qsizetype next = output.indexOf(marker, at + marker.size());
        if (next < 0)
            break; // the last one may not be over yet
        groups.append(output.mid(at, next - at));
        at = next;
    }
    return groups;
}

bool setFileSizeLimit(qint64 pid, rlim_t bytes)
{
    const struct rlimit limit {
        bytes, RLIM_INFINITY
    };
    return ::prlimit(pid_t(pid), RLIMIT_FSIZE, &limit, nullptr) == 0;
}

} // namespace

class TestFaultDiskFull : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_mount; // the tmpfs, while mounted

    void unmount()
    {
        if (!m_mount.isEmpty())
            ::umount2(QFile::encodeName(m_mount).constData(), MNT_DETACH);
        m_mount.clear();
    }

    // Fills the filesystem with one file until a write fails; false if it never does.
    static bool fill(const QString &ballast)
    {
        const int fd = ::open(QFile::encodeName(ballast).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        const QByteArray chunk(64 * 1024, 'b');
        qint64 total = 0;
        bool full = false;
        while (total < 64 * 1024 * 1024) {
            const ssize_t n = ::write(fd, chunk.constData(), size_t(chunk.size()));
            if (n < 0) {
                full = errno == ENOSPC;
                break;
            }
            total += n;
        }
        ::close(fd);
        return full;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void cleanup() { unmount(); }
    void cleanupTestCase() { unmount(); }

    void fullDiskIsReportedAndOutlived_data()
    {
        QTest::addColumn<Room>("room");
        // Waiting for a minute's end costs up to a minute: once is enough.
        QTest::addColumn<bool>("acrossMinute");
        QTest::newRow("file size limit") << Room::FileSizeLimit << true;
        QTest::newRow("small filesystem") << Room::SmallFilesystem << false;
    }

    void fullDiskIsReportedAndOutlived()
    {
        QFETCH(Room, room);
        QFETCH(bool, acrossMinute);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        ConsoleRig rig;
        rig.portDir = m_dir.filePath(tag);
        rig.workDir = rig.portDir + QStringLiteral("/work");
        QVERIFY(QDir().mkpath(rig.workDir));
        const QString ballast = rig.path(QStringLiteral("ballast"));
        if (room == Room::SmallFilesystem) {
            if (::mount("tmpfs", QFile::encodeName(rig.workDir).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=2m,mode=0700")
                != 0)
                QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs (needs root): %1")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))));
            m_mount = rig.workDir;
        } else {
            // A write past the limit then fails with EFBIG instead of killing the console.
            rig.childSetup = [] {
                struct sigaction ignore;
                std::memset(&ignore, 0, sizeof ignore);
                ignore.sa_handler = SIG_IGN;
                ::sigaction(SIGXFSZ, &ignore, nullptr);
            };
        }
        const QByteArray settings = settingsFile();
        QVERIFY(orvalla::replaceFile(rig.path(QStringLiteral("meteo.cfg")), settings));
        const QString why = rig.startPeers();
        QVERIFY2(why.isEmpty(), qPrintable(why));

        auto runOut = [&] {
            if (room == Room::SmallFilesystem)
                return fill(ballast);
            return setFileSizeLimit(rig.consolePid(), 0);
        };
        auto makeRoom = [&] {
            if (room == Room::SmallFilesystem)
                return QFile::remove(ballast);
            return setFileSizeLimit(rig.consolePid(), RLIM_INFINITY);
        };

        rig.startConsole();
        QVERIFY(rig.consoleRunning());
        QTRY_VERIFY2_WITH_TIMEOUT(
            splitLines(rig.bytes(ConsoleRig::queueName())).size() >= 2, rig.outputText(), 60000);

        // Run out of room a little before a minute ends, so the interval
        // record of the next minute falls into the full time too.
        if (acrossMinute) {
            QTRY_VERIFY_WITH_TIMEOUT(
                QTime::currentTime().second() >= 45 && QTime::currentTime().second() < 55, 65000);
        }
        const int fullMinute = QTime::currentTime().minute();
        const qsizetype fullFrom = rig.output().size();
        QVERIFY(runOut());
        QVERIFY2(rig.waitForOutput("not written", 15000, fullFrom) > 0, rig.outputText());
        // From here nothing can change on disk.
        const QHash<QString, QByteArray> before = folderBytes(rig, QStringLiteral("ballast"));
        const qsizetype failingFrom = rig.output().size();
        if (acrossMinute) {
            QTRY_VERIFY_WITH_TIMEOUT(
                QTime::currentTime().minute() != fullMinute && QTime::currentTime().second() >= 2, 70000);
        }
        // A few readings more, and a state save of the daily extremes (every ten ticks).
        QTRY_VERIFY_WITH_TIMEOUT(readingGroups(rig.output().mid(failingFrom)).size() >= 11, 60000);
        QVERIFY2(rig.consoleRunning(), rig.outputText());
        const QByteArray failing = rig.output().mid(failingFrom);
        QVERIFY(makeRoom());
        const qsizetype roomFrom = rig.output().size();

        // Every reading in the full time said that its two files were not written.
        const QList<QByteArray> groups = readingGroups(failing);
        for (const QByteArray &g : groups) {
            QVERIFY2(g.contains("mail queue file not written") && g.contains("daily data file not written"),
                g.constData());
        }
        if (acrossMinute)
            QVERIFY2(failing.contains("interval data file not written"), failing.constData());
        QVERIFY2(failing.contains("daily extremes state not saved"), failing.constData());
        // Nothing was written, so nothing was truncated either.
        const QHash<QString, QByteArray> during = folderBytes(rig, QStringLiteral("ballast"));
        QStringList duringNames = during.keys(), beforeNames = before.keys();
        duringNames.sort();
        beforeNames.sort();
        QCOMPARE(duringNames, beforeNames);
        for (auto it = before.begin(); it != before.end(); ++it)
            QVERIFY2(during.value(it.key()) == it.value(), qPrintable(it.key()));

        // With room again the next reading is written, without a restart.
        const qsizetype at = rig.waitForOutput("reading decoded:", 10000, roomFrom);
        QVERIFY2(at > 0, rig.outputText());
        const QByteArray line = orvalla::toCp1252(
            QString::fromUtf8(rig.output().mid(at + 1, rig.output().indexOf('\n', at) - at - 1)));
        QVERIFY(isReadingLine(line));
        QTRY_VERIFY2_WITH_TIMEOUT(
            splitLines(rig.bytes(ConsoleRig::queueName())).contains(line), line.constData(), 10000);
        // The day file is written after the queue.
        QString dayFile;
        auto inDayFile = [&] {
            for (const QString &name : rig.dayFiles())
                if (splitLines(rig.bytes(name)).contains(line))
                    dayFile = name;
            return !dayFile.isEmpty();
        };
        QTRY_VERIFY2_WITH_TIMEOUT(inDayFile(), line.constData(), 10000);
        // The archive, which failed with the disk, takes readings again.
        QVERIFY2(rig.waitForOutput("reading archived:", 10000, roomFrom) > 0, rig.outputText());
        // The lines from before the full time are all still there.
        const QList<QByteArray> queueBefore = splitLines(before.value(ConsoleRig::queueName()));
        const QList<QByteArray> queueNow = splitLines(rig.bytes(ConsoleRig::queueName()));
        QVERIFY(queueNow.size() > queueBefore.size());
        QVERIFY(std::equal(queueBefore.begin(), queueBefore.end(), queueNow.begin()));
        const QList<QByteArray> dayNow = splitLines(rig.bytes(dayFile));
        QCOMPARE(dayNow.size(), 1441);
        for (const QByteArray &l : splitLines(before.value(dayFile))) {
            if (isReadingLine(l)) {
                const QByteArray &now = dayNow.at(l.mid(11, 2).toInt() * 60 + l.mid(14, 2).toInt() + 1);
                QVERIFY2(now == l || (isReadingLine(now) && stampKey(now) >= stampKey(l)), l.constData());
            }
        }
        QVERIFY(wholeCrLfLines(rig.bytes(dayFile)));

        // Full again at the close: the settings are not saved, and say so,
        // and the old file stays whole.
        const qsizetype closeFrom = rig.output().size();
        QVERIFY(runOut());
        QVERIFY2(rig.waitForOutput("not written", 15000, closeFrom) > 0, rig.outputText());
        QVERIFY(rig.terminateConsole());
        QCOMPARE(rig.console().exitStatus(), QProcess::NormalExit);
        QVERIFY2(rig.output().indexOf("settings not saved", closeFrom) > 0, rig.outputText());
        QCOMPARE(rig.bytes(QStringLiteral("meteo.cfg")), settings);
        QVERIFY(makeRoom() || room == Room::FileSizeLimit);
        rig.stopAll();
    }
};

QTEST_GUILESS_MAIN(TestFaultDiskFull)
#include "test_fault_disk_full.moc"
