// The road of one reading at the end of a day: decoder, reading line, mail
// queue, daily data file and its today copy, with a full day's files already on
// disk. Compared in the same run with writing the same bytes directly: once
// through the same whole-file replacement (temporary file, flush, rename) and
// once with a plain truncating QFile write.
//
// usage: bench_reading_path [iterations]   (default 300)

#include "bench/bench_util.h"
#include "common/clock.h"
#include "common/files.h"
#include "common/text.h"
#include "recording/datalog.h"
#include "recording/recordingfiles.h"
#include "station/decoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <clocale>
#include <cstdio>

using namespace orvalla;

namespace
{

constexpr int kYear = 2024, kMonth = 3, kDay = 14;

LocalTime clockAt(int minuteOfDay, int second)
{
    return toLocalTime(fromLocalTime(kYear, kMonth, kDay, minuteOfDay / 60, minuteOfDay % 60, second));
}

bool plainWrite(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString ms(double nanoseconds)
{
    return QString::number(nanoseconds / 1e6, 'f', 2) + QStringLiteral(" ms");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const int iterations = argc > 1 ? qMax(10, atoi(argv[1])) : 300;

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const QString folder = dir.path() + QLatin1Char('/');
    const QString id = QStringLiteral("tarvelo");
    const Calibration calibration;

    // A full day: 1440 readings recorded through the data log, one per minute.
    DataLog log(folder);
    log.setSystemId(id);
    QList<QByteArray> dayLines;
    QElapsedTimer setup;
    setup.start();
    for (int k = 0; k < 1440; ++k) {
        const LocalTime clock = clockAt(k, 30);
        const Reading reading = decodeReading(simulatedFrame(clock.hour, clock.minute), calibration, clock);
        const QByteArray line = readingLine(reading);
        QString error;
        if (!log.recordReading(line, reading, clock, &error)) {
            std::fprintf(stderr, "set-up failed: %s\n", qPrintable(error));
            return 1;
        }
        dayLines.append(line);
    }
    // The mail queue holds the day's lines (written whole: appending them one by
    // one only costs set-up time).
    const QString queuePath = pathIn(folder, mailQueueFileName(id));
    const QByteArray queueOfTheDay = joinLines(dayLines);
    if (!replaceFile(queuePath, queueOfTheDay))
        return 1;
    std::fprintf(stderr, "set-up: 1440 readings recorded in %.1f s\n", double(setup.elapsed()) / 1000);

    // The measured reading: the last minute of the day, same second as before,
    // so every round writes files of the same size.
    const LocalTime last = clockAt(1439, 30);
    const FrameFields fields = simulatedFrame(last.hour, last.minute);
    const QString dailyPath = pathIn(folder, dailyDataFileName(id, kDay, kMonth, kYear));
    const QString todayPath = pathIn(folder, todayDataFileName(id));

    // The floor's bytes: exactly what the path leaves on disk.
    QByteArray dailyBytes, queueBytes;
    {
        const Reading reading = decodeReading(fields, calibration, last);
        QList<QByteArray> queue = dayLines;
        queue.append(readingLine(reading));
        queueBytes = joinLines(queue);
        if (!readFile(dailyPath, &dailyBytes))
            return 1;
    }
    const QString floorFolder = folder + QStringLiteral("floor/");
    QDir().mkpath(floorFolder);
    const QString floorDaily = floorFolder + dailyDataFileName(id, kDay, kMonth, kYear);
    const QString floorToday = floorFolder + todayDataFileName(id);
    const QString floorQueue = floorFolder + mailQueueFileName(id);

    QList<double> pathNs, replaceNs, plainNs;
    QElapsedTimer timer;
    bool ok = true;
    // Interleaved rounds, so that a slow spell of the disk hits all three alike.
    for (int i = 0; i < iterations && ok; ++i) {
        ok = replaceFile(queuePath, queueOfTheDay); // the queue back to a day's lines

        timer.start();
        const Reading reading = decodeReading(fields, calibration, last);
        const QByteArray line = readingLine(reading);
        ok = log.appendMailQueue(line) && ok;
        ok = log.recordReading(line, reading, last) && ok;
        pathNs.append(double(timer.nsecsElapsed()));

        timer.start();
        ok = replaceFile(floorDaily, dailyBytes) && ok;
        ok = replaceFile(floorToday, dailyBytes) && ok;
        ok = replaceFile(floorQueue, queueBytes) && ok;
        replaceNs.append(double(timer.nsecsElapsed()));

        timer.start();
        ok = plainWrite(floorDaily, dailyBytes) && ok;
        ok = plainWrite(floorToday, dailyBytes) && ok;
        ok = plainWrite(floorQueue, queueBytes) && ok;
        plainNs.append(double(timer.nsecsElapsed()));
    }
    if (!ok) {
        std::fprintf(stderr, "a write failed during the rounds\n");
        return 1;
    }
    // The path must have left exactly the floor's bytes.
    QByteArray daily, today, queue;
    if (!readFile(dailyPath, &daily) || !readFile(todayPath, &today) || !readFile(queuePath, &queue)
        || daily != dailyBytes || today != dailyBytes || queue != queueBytes) {
        std::fprintf(stderr, "the reading path left other bytes than the floor writes\n");
        return 1;
    }

    const double p = bench::median(pathNs), r = bench::median(replaceNs), w = bench::median(plainNs);
    std::fprintf(stderr,
        "%d rounds; files: daily %lld B x2, queue %lld B; p90 path %s, replace %s, plain %s\n", iterations,
        qlonglong(dailyBytes.size()), qlonglong(queueBytes.size()),
        qPrintable(ms(bench::quantile(pathNs, 0.9))), qPrintable(ms(bench::quantile(replaceNs, 0.9))),
        qPrintable(ms(bench::quantile(plainNs, 0.9))));
    bench::result(
        QStringLiteral("reading path: %1x the floor (median %2 vs %3 writing the same bytes by safe replace)")
            .arg(QString::number(p / r, 'f', 2), ms(p), ms(r)));
    bench::result(
        QStringLiteral("reading path: %1x a plain write (median %2 vs %3 truncating QFile writes, no rename)")
            .arg(QString::number(p / w, 'f', 2), ms(p), ms(w)));
    return 0;
}
