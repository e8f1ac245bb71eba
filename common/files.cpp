#include "common/files.h"

#include <QFile>
#include <QSaveFile>

namespace orvalla
{

namespace
{
void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}
} // namespace

bool replaceFile(
    const QString &path, const QByteArray &bytes, QString *error, QFileDevice::Permissions permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    if (permissions)
        file.setPermissions(permissions);
    // Flush here: a short write (disk full, file size limit) found only when
    // commit() flushes is not reported by commit() in every Qt version.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        setError(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setError(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool copyFileReplacing(const QString &source, const QString &target, QString *error)
{
    QByteArray bytes;
    if (!readFile(source, &bytes, error))
        return false;
    return replaceFile(target, bytes, error);
}

bool readFile(const QString &path, QByteArray *bytes, QString *error, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    *bytes = maxBytes >= 0 ? file.read(maxBytes) : file.readAll();
    if (file.error() != QFileDevice::NoError) {
        setError(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool appendFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        setError(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        setError(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

} // namespace orvalla
