#pragma once

#include "station/reading.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

namespace orvalla
{

// The texts of the two reading fields on the "Principal" tab
// (Edit_lectura_data, Edit_lectura_hora), copied as the operator sees them.
struct ReadingScreenTexts {
    QString date = QStringLiteral("data");
    QString time = QStringLiteral("hora");
};

// File contents of the three feed files (Windows-1252, LF line ends).
QByteArray awekasFeed(const Reading &reading);
QByteArray measurementSummary(const Reading &reading, const ReadingScreenTexts &screen);
QByteArray meteoclimaticFeed(const Reading &reading);

// "<systemId>_medida.txt"
QString measurementSummaryName(const QString &systemId);

// Rewrites "awekas.txt", the measurement summary and "meteoclimatic.htm" in
// folder dir (empty: the working directory). Each file is replaced whole and by
// itself: one that cannot be written is skipped and logged, the others are
// still written. Returns false when any failed; *error then lists why.
bool WriteFeedFiles(const Reading &reading, const ReadingScreenTexts &screen, const QString &systemId,
    const QString &dir = QString(), QString *error = nullptr);

} // namespace orvalla

// Carried by QVariant (data-driven tests).
Q_DECLARE_METATYPE(orvalla::ReadingScreenTexts)
