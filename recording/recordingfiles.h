#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace orvalla
{

// Names of the files the console keeps in its working folder. The folder is
// the caller's ("" = current directory); the names start with the system
// identifier.
QString pathIn(const QString &folder, const QString &name);

QString dailyDataFileName(const QString &id, int day, int month, int year); // <id>_datos_DD_MM_YYYY.txt
QString todayDataFileName(const QString &id); // <id>_datos_hoxe.txt
QString intervalDataFileName(const QString &id, int day, int month, int year); // <id>_datos10_DD_MM_YYYY.txt
QString todayIntervalFileName(const QString &id); // <id>_datos10_hoxe.txt
QString mailQueueFileName(const QString &id); // <id>_datos10_correo.txt
QString todayReportFileName(const QString &id); // <id>_datos_maxmin_hoxe.txt
QString reportHistoryFileName(const QString &id); // <id>_datos_maxmin.txt

inline constexpr char kMaxMinFileName[] = "maxmin.bin";
inline constexpr char kSettingsFileName[] = "meteo.cfg";

// Lines joined as a text file: CR LF after every line, the last one too.
QByteArray joinLines(const QList<QByteArray> &lines);

} // namespace orvalla
