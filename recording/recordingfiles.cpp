#include "recording/recordingfiles.h"

#include "common/text.h"

namespace orvalla
{

QString pathIn(const QString &folder, const QString &name)
{
    if (folder.isEmpty() || folder.endsWith(u'/'))
        return folder + name;
    return folder + u'/' + name;
}

QString dailyDataFileName(const QString &id, int day, int month, int year)
{
    return id + QString::fromLatin1(formatC("_datos_%02d_%02d_%04d.txt", day, month, year));
}

QString todayDataFileName(const QString &id)
{
    return id + QStringLiteral("_datos_hoxe.txt");
}

QString intervalDataFileName(const QString &id, int day, int month, int year)
{
    return id + QString::fromLatin1(formatC("_datos10_%02d_%02d_%04d.txt", day, month, year));
}

QString todayIntervalFileName(const QString &id)
{
    return id + QStringLiteral("_datos10_hoxe.txt");
}

QString mailQueueFileName(const QString &id)
{
    return id + QStringLiteral("_datos10_correo.txt");
}

QString todayReportFileName(const QString &id)
{
    return id + QStringLiteral("_datos_maxmin_hoxe.txt");
}

QString reportHistoryFileName(const QString &id)
{
    return id + QStringLiteral("_datos_maxmin.txt");
}

QByteArray joinLines(const QList<QByteArray> &lines)
{
    qsizetype size = 0;
    for (const QByteArray &line : lines)
        size += line.size() + 2;
    QByteArray out;
    out.reserve(size);
    for (const QByteArray &line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

} // namespace orvalla
