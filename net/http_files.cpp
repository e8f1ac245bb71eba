#include "net/http_files.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace orvalla
{

namespace
{

// Files up to this size are answered from memory; larger ones from the file.
constexpr qint64 kCacheFileMax = 256 * 1024;
constexpr qint64 kCacheTotalMax = 8 * 1024 * 1024;
constexpr qint64 kSettledSecs = 2;
// Request paths remembered; many spellings of one path cannot grow it further.
constexpr qsizetype kRoutesMax = 1024;

bool noOpenat2 = false; // the kernel (or a sandbox) refuses it: always the slow way

int openat2Beneath(int dirFd, const QByteArray &relative, int flags)
{
    open_how how {};
    how.flags = quint64(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    int fd;
    do {
        fd = int(::syscall(SYS_openat2, dirFd, relative.constData(), &how, sizeof how));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

HttpFiles::Opened refused(HttpDocument::Kind kind)
{
    HttpFiles::Opened out;
    out.kind = kind;
    return out;
}

qint64 mtimeNs(const struct stat &st)
{
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

QByteArray inodeKey(const struct stat &st)
{
    QByteArray key;
    key.append(reinterpret_cast<const char *>(&st.st_dev), sizeof st.st_dev);
    key.append(reinterpret_cast<const char *>(&st.st_ino), sizeof st.st_ino);
    return key;
}

// The whole of a small file; false when it could not be read.
bool readWhole(int fd, qint64 size, QByteArray *out)
{
    QByteArray &bytes = *out;
    bytes.resize(size);
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size_t(size - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break; // shrunk meanwhile
        done += n;
    }
    bytes.truncate(done);
    return true;
}

} // namespace

HttpFiles::~HttpFiles()
{
    closeFolder();
}

void HttpFiles::closeFolder()
{
    if (m_folderFd >= 0)
        ::close(m_folderFd);
    m_folderFd = -1;
    m_folder.clear();
}

void HttpFiles::setFolder(const QString &dir)
{
    closeFolder();
    m_dir = dir;
    m_cache.clear();
    m_routes.clear();
    m_cacheBytes = 0;
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    if (canonical.isEmpty())
        return;
    const int fd = ::open(QFile::encodeName(canonical).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    m_folderFd = fd;
    m_folder = canonical;
}

void HttpFiles::setPrivateFiles(const QStringList &paths)
{
    m_privateFiles = paths;
    m_privateNames.clear();
    for (const QString &path : paths)
        m_privateNames.append(QFile::encodeName(path));
}

bool HttpFiles::isPrivate(const struct stat &st) const
{
    // Looked up at every request: the file may be replaced, made or linked at any time.
    for (const QByteArray &name : m_privateNames) {
        struct stat hidden;
        if (::stat(name.constData(), &hidden) == 0 && hidden.st_dev == st.st_dev
            && hidden.st_ino == st.st_ino)
            return true;
    }
    return false;
}

int HttpFiles::openBeneath(const QString &cleaned, int *fd, struct stat *st) const
{
    if (noOpenat2)
        return -1;
    QString relative;
    if (cleaned == m_folder)
        relative = QStringLiteral(".");
    else
        relative = cleaned.mid(m_folder == QLatin1String("/") ? 1 : m_folder.size() + 1);
    const int opened = openat2Beneath(m_folderFd, QFile::encodeName(relative), O_PATH);
    if (opened < 0) {
        if (errno == ENOSYS || errno == EPERM)
            noOpenat2 = true;
        // A missing part is missing whichever way it is looked up; anything
        // else (a link on the way, no permission) is left to the slow way.
        return errno == ENOENT || errno == ENOTDIR ? int(HttpDocument::NotFound) : -1;
    }
    if (::fstat(opened, st) != 0) {
        ::close(opened);
        return -1;
    }
    *fd = opened;
    return int(HttpDocument::File);
}

HttpFiles::Opened HttpFiles::open(const QByteArray &requestPath)
{
    if (m_folderFd < 0) {
        setFolder(m_dir); // it may have been made since
        if (m_folderFd < 0)
            return openSlowly(requestPath);
    }
    // A path seen before, to a file in memory: one stat instead of the walk.
    // The file found must be the very one found the full way (same device and
    // inode), and unchanged: a link or rename on the way since can lead at
    // most to that same file, whose answer is then the same.
    if (const auto route = m_routes.constFind(requestPath); route != m_routes.constEnd()) {
        struct stat st;
        if (::fstatat(m_folderFd, route->relative.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(st.st_mode) && inodeKey(st) == route->inode) {
            const auto hit = m_cache.constFind(route->inode);
            if (hit != m_cache.constEnd() && hit->size == qint64(st.st_size) && hit->mtimeNs == mtimeNs(st)
                && !isPrivate(st))
                return fromMemory(*hit, route->type);
        }
    }
    // The same steps as resolveHttpDocument, with the file system asked once.
    const QByteArray decoded = percentDecode(requestPath);
    if (decoded.contains('\0'))
        return refused(HttpDocument::Forbidden);
    const QString relative = QFile::decodeName(decoded);
    const QString joined
        = requestPath.startsWith('/') ? m_folder + relative : m_folder + QLatin1Char('/') + relative;
    QString name = QDir::cleanPath(joined);
    if (!httpPathWithin(name, m_folder))
        return refused(HttpDocument::Forbidden);
    int fd = -1;
    struct stat st;
    int kind = openBeneath(name, &fd, &st);
    if (kind < 0)
        return openSlowly(requestPath);
    if (kind != HttpDocument::File)
        return refused(HttpDocument::Kind(kind));
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        if (m_defaultDoc.isEmpty() || m_defaultDoc.contains(QChar(0)) || httpPathNamesFolder(m_defaultDoc))
            return refused(HttpDocument::NotFound);
        name = QDir::cleanPath(name + QLatin1Char('/') + m_defaultDoc);
        if (!httpPathWithin(name, m_folder))
            return refused(HttpDocument::Forbidden);
        kind = openBeneath(name, &fd, &st);
        if (kind < 0)
            return openSlowly(requestPath);
        if (kind != HttpDocument::File)
            return refused(HttpDocument::Kind(kind));
    } else if (httpPathNamesFolder(relative)) {
        ::close(fd);
        return refused(HttpDocument::NotFound);
    }
    // Only regular files: a folder, FIFO or device is never opened for reading.
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return refused(HttpDocument::NotFound);
    }
    if (isPrivate(st)) {
        ::close(fd);
        return refused(HttpDocument::Forbidden);
    }
    const QString inside = name == m_folder
        ? QStringLiteral(".")
        : name.mid(m_folder == QLatin1String("/") ? 1 : m_folder.size() + 1);
    const QByteArray inode = inodeKey(st);
    const auto hit = m_cache.constFind(inode);
    if (hit != m_cache.constEnd() && hit->size == qint64(st.st_size) && hit->mtimeNs == mtimeNs(st)) {
        ::close(fd);
        if (m_routes.size() >= kRoutesMax)
            m_routes.clear();
        Route &route = m_routes[requestPath];
        route = { QFile::encodeName(inside), inode, httpContentType(name) };
        return fromMemory(*hit, route.type);
    }
    // Reopened for reading the same way; it must still be the file just checked.
    const int readable = openat2Beneath(m_folderFd, QFile::encodeName(inside), O_RDONLY | O_NONBLOCK);
    ::close(fd);
    struct stat now;
    if (readable < 0 || ::fstat(readable, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        if (readable >= 0)
            ::close(readable);
        return openSlowly(requestPath);
    }
    return finish(readable, now, name);
}

HttpFiles::Opened HttpFiles::fromMemory(const Cached &cached, const QByteArray &type)
{
    Opened out;
    out.kind = HttpDocument::File;
    out.bytes = cached.bytes;
    out.inMemory = true;
    out.size = cached.bytes.size();
    out.type = type;
    out.lastModified = cached.lastModified;
    return out;
}

HttpFiles::Opened HttpFiles::openSlowly(const QByteArray &requestPath)
{
    const HttpDocument doc = resolveHttpDocument(m_dir, m_defaultDoc, requestPath, m_privateFiles);
    if (doc.kind != HttpDocument::File)
        return refused(doc.kind);
    const int fd = ::open(QFile::encodeName(doc.filePath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || isPrivate(st)) {
        if (fd >= 0)
            ::close(fd);
        return refused(HttpDocument::NotFound);
    }
    return finish(fd, st, doc.filePath);
}

HttpFiles::Opened HttpFiles::finish(int fd, const struct stat &st, const QString &name)
{
    Opened out;
    out.kind = HttpDocument::File;
    out.type = httpContentType(name);
    out.lastModified = "Last-Modified: " + httpDate(st.st_mtim.tv_sec) + "\r\n";
    out.size = st.st_size;
    if (qint64(st.st_size) > kCacheFileMax) {
        out.fd = fd;
        return out;
    }
    QByteArray bytes;
    const bool read = readWhole(fd, st.st_size, &bytes);
    struct stat after;
    const bool steady = read && ::fstat(fd, &after) == 0 && after.st_size == st.st_size
        && mtimeNs(after) == mtimeNs(st) && bytes.size() == qint64(st.st_size);
    ::close(fd);
    if (!read)
        return refused(HttpDocument::NotFound);
    // A file changed within the last seconds may change again within the
    // file system's clock tick, unseen by its time stamp: read it anew.
    const bool settled = QDateTime::currentSecsSinceEpoch() - qint64(st.st_mtim.tv_sec) > kSettledSecs;
    if (steady && settled) {
        if (m_cacheBytes + bytes.size() > kCacheTotalMax) {
            m_cache.clear(); // rarely full: a web folder of a weather station is small
            m_routes.clear();
            m_cacheBytes = 0;
        }
        Cached &entry = m_cache[inodeKey(st)];
        m_cacheBytes += bytes.size() - entry.bytes.size();
        entry = { st.st_dev, st.st_ino, qint64(st.st_size), mtimeNs(st), bytes, out.lastModified };
    }
    out.bytes = bytes;
    out.inMemory = true;
    out.size = bytes.size();
    return out;
}

} // namespace orvalla
