#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace orvalla
{

// Replaces a file whole: the bytes go to a temporary file beside the target,
// are flushed to disk and renamed over it, so a crash or a full disk never
// leaves a truncated file. On failure the previous file is untouched and
// *error (if given) says why. permissions, when not 0, are set on the result.
bool replaceFile(const QString &path, const QByteArray &bytes, QString *error = nullptr,
    QFileDevice::Permissions permissions = {});

// Copies source over target the same way.
bool copyFileReplacing(const QString &source, const QString &target, QString *error = nullptr);

// Reads a whole file. Returns false (and says why) when it cannot be opened or read.
bool readFile(const QString &path, QByteArray *bytes, QString *error = nullptr, qint64 maxBytes = -1);

// Appends bytes to a file, creating it. Returns false and says why on failure.
bool appendFile(const QString &path, const QByteArray &bytes, QString *error = nullptr);

} // namespace orvalla
