#include "common/clock.h"
#include "common/files.h"
#include "common/log.h"
#include "common/text.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>

using namespace orvalla;

class TestCommon : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formatIgnoresProcessLocale()
    {
        // A locale with a decimal comma must not leak into the files.
        const char *previous = std::setlocale(LC_NUMERIC, nullptr);
        const QByteArray saved = previous ? QByteArray(previous) : QByteArray("C");
        const bool haveComma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr
            || std::setlocale(LC_NUMERIC, "es_ES.UTF-8") != nullptr;
        QCOMPARE(formatC("%4.1f|%d|%s", 12.34, -5, "x"), QByteArray("12.3|-5|x"));
        std::setlocale(LC_NUMERIC, saved.constData());
        if (!haveComma)
            qInfo("no comma locale installed; checked in the C locale only");
    }

    void formatLongOutput()
    {
        const QByteArray big(1000, 'a');
        QCOMPARE(formatC("<%s>", big.constData()), "<" + big + ">");
    }

    void decimalCommaReplacesFirstPointOnly()
    {
        QCOMPARE(decimalComma("1.2.3"), QByteArray("1,2.3"));
        QCOMPARE(decimalComma("  5"), QByteArray("  5"));
        QCOMPARE(formatComma("temp=%4.1f ", -0.5), QByteArray("temp=-0,5 "));
    }

    void cp1252RoundTripsAllBytes()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        const QString text = fromCp1252(all);
        QCOMPARE(text.size(), 256);
        QCOMPARE(toCp1252(text), all);
        QCOMPARE(fromCp1252("\x80"), QString(QChar(0x20AC)));
        QCOMPARE(toCp1252(QStringLiteral("ºíóáñ")), QByteArray("\xBA\xED\xF3\xE1\xF1"));
        QCOMPARE(toCp1252(QString(QChar(0x4E2D))), QByteArray("?"));
    }

    void splitLinesHandlesCrLfAndLf()
    {
        QCOMPARE(splitLines("a\r\nb\nc"), (QList<QByteArray> { "a", "b", "c" }));
        QCOMPARE(splitLines("a\r\n\r\n"), (QList<QByteArray> { "a", "" }));
        QCOMPARE(splitLines(""), QList<QByteArray> {});
    }

    void manualClockConvertsLocalTime()
    {
        ManualClock clock;
        clock.setLocal(2026, 12, 7, 10, 15, 0);
        LocalTime t = clock.localNow();
        QCOMPARE(t.year, 2026);
        QCOMPARE(t.month, 12);
        QCOMPARE(t.day, 7);
        QCOMPARE(t.hour, 10);
        QCOMPARE(t.minute, 15);
        clock.advanceDay();
        t = clock.localNow();
        QCOMPARE(t.day, 8);
        QCOMPARE(t.hour, 10);
    }

    void replaceFileKeepsOldContentOnFailure()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("data.txt");
        QVERIFY(replaceFile(path, "old\r\n"));
        QVERIFY(replaceFile(path, "new\r\n", nullptr, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QByteArray bytes;
        QVERIFY(readFile(path, &bytes));
        QCOMPARE(bytes, QByteArray("new\r\n"));
        const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFile::permissions(path) & others, QFileDevice::Permissions {});

        // A folder we cannot write into: the replacement fails and says so.
        QString error;
        QVERIFY(!replaceFile(dir.filePath("missing/x.txt"), "x", &error));
        QVERIFY(!error.isEmpty());
        // No temporary files are left behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { "data.txt" });
    }

    void logLinesBeginWithLocalTime()
    {
        installLogFormat();
        const QDateTime before = QDateTime::currentDateTime();
        const QMessageLogContext context(nullptr, 0, nullptr, "orvalla.recording");
        const QString line = qFormatLogMessage(QtInfoMsg, context, QStringLiteral("file written"));
        const QDateTime after = QDateTime::currentDateTime();
        qSetMessagePattern(QString()); // back to Qt's own, for the test's output
        QCOMPARE(line.size(), 23 + 32);
        QCOMPARE(line.mid(23), QStringLiteral(" orvalla.recording: file written"));
        // Local time (the tests run in Europe/Madrid), to the millisecond.
        const QDateTime stamp
            = QDateTime::fromString(line.left(23), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        QVERIFY2(stamp.isValid(), qPrintable(line));
        QVERIFY2(before.addMSecs(-1) <= stamp && stamp <= after.addMSecs(1), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "test_common.moc"
