#pragma once

// Small helpers shared by the benchmark programs.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>
#include <cstdio>

namespace bench
{

// Median of a sample (the sample is sorted in place); 0 for an empty one.
inline double median(QList<double> &values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The q-quantile (0..1) of a sample, nearest rank; sorts in place.
inline double quantile(QList<double> &values, double q)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype i
        = std::clamp<qsizetype>(qsizetype(q * double(values.size() - 1) + 0.5), 0, values.size() - 1);
    return values[i];
}

// A field of /proc/self/status in kB (VmRSS, VmHWM...), -1 when missing.
inline long procStatusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The benchmark's result line, on standard output so that run.sh can collect it.
inline void result(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace bench
