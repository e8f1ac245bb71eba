#pragma once

#include "net/http_request.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

namespace orvalla
{

// The document folder of HttpServer as the connections use it: the folder is
// resolved once (at every change and switch-on) and held open; a request's
// path is opened beneath it in one call when no symbolic link lies on the way,
// and through resolveHttpDocument otherwise, with the same rules and results.
// Small files are kept in memory, checked against the file at every request.
class HttpFiles
{
public:
    HttpFiles() = default;
    ~HttpFiles();
    HttpFiles(const HttpFiles &) = delete;
    HttpFiles &operator=(const HttpFiles &) = delete;

    // Absolute folder path, as HttpServer keeps it. Resolved again even when
    // unchanged: the folder may have been made since.
    void setFolder(const QString &dir);
    void setDefaultDoc(const QString &name)
    {
        m_defaultDoc = name;
        m_routes.clear();
    }
    QString defaultDoc() const { return m_defaultDoc; }
    void setPrivateFiles(const QStringList &paths);
    QStringList privateFiles() const { return m_privateFiles; }

    struct Opened {
        HttpDocument::Kind kind = HttpDocument::NotFound;
        int fd = -1; // open for reading when File and not in memory; the caller closes it
        QByteArray bytes; // the whole file, when small enough to keep in memory
        bool inMemory = false;
        qint64 size = 0;
        QByteArray type; // Content-Type
        QByteArray lastModified; // "Last-Modified: ...\r\n" or empty
    };
    Opened open(const QByteArray &requestPath);

private:
    struct Cached {
        dev_t dev = 0;
        ino_t ino = 0;
        qint64 size = 0;
        qint64 mtimeNs = 0;
        QByteArray bytes;
        QByteArray lastModified;
    };
    // A request path already resolved to a file kept in memory: the next
    // time one stat of that file beneath the folder says whether it still is.
    struct Route {
        QByteArray relative; // encoded, beneath the folder
        QByteArray inode; // the key of the file in m_cache
        QByteArray type;
    };

    void closeFolder();
    // -1: the fast way cannot decide; else the HttpDocument kind, with *fd set for File.
    int openBeneath(const QString &cleaned, int *fd, struct stat *st) const;
    Opened openSlowly(const QByteArray &requestPath);
    static Opened fromMemory(const Cached &cached, const QByteArray &type);
    Opened finish(int fd, const struct stat &st, const QString &name);
    bool isPrivate(const struct stat &st) const;

    QString m_dir; // as given
    QString m_folder; // canonical, empty when the folder is missing
    int m_folderFd = -1;
    QString m_defaultDoc;
    QStringList m_privateFiles;
    QList<QByteArray> m_privateNames; // encoded, for stat
    QHash<QByteArray, Cached> m_cache; // by device and inode
    QHash<QByteArray, Route> m_routes; // by request path as sent
    qint64 m_cacheBytes = 0;
};

} // namespace orvalla
