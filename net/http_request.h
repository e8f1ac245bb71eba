#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace orvalla
{

// Request size limits: a longer request line or header block answers 400.
constexpr qsizetype kHttpMaxRequestLine = 8 * 1024;
constexpr qsizetype kHttpMaxHeaderBlock = 64 * 1024;

struct HttpRequest {
    QByteArray method; // upper-cased
    QByteArray path; // as received, before '?', not decoded
    QByteArray params; // text after '?', unused
    QByteArray version; // upper-cased, "HTTP/1.0" when absent
    QList<QPair<QByteArray, QByteArray>> headers; // names as received, values trimmed
    bool keepAlive = false;
    qint64 bodyLength = 0; // Content-Length of a request body, skipped by the server
    bool chunkedBody = false; // a body whose end cannot be found by length

    // Value of the first header of that name (any case); null when absent.
    QByteArray header(QByteArrayView name) const;
    bool hasHeader(QByteArrayView name) const;
};

struct HttpParseResult {
    enum Status { Complete, Incomplete, BadRequest };
    Status status = Incomplete;
    HttpRequest request; // filled when Complete
    qsizetype consumed = 0; // bytes of the request line and headers, when Complete
    QByteArray version; // best known version for an error answer
    QByteArray method; // first word of the request line, upper-cased, as far as received
    QString error; // why, when BadRequest
};

// Parses one request (request line and headers up to the empty line) from the
// start of buffer. Pure: no sockets, no state. Empty lines before the request
// line are skipped (and counted in consumed).
HttpParseResult parseHttpRequest(const QByteArray &buffer);

// Keep-alive after this request: HTTP/1.0 only with "Connection: keep-alive";
// HTTP/1.1 with a Connection header whose value is not "close"; else off.
bool httpKeepAlive(const QByteArray &version, const QByteArray &connectionHeader, bool hasConnectionHeader);

// One byte range, both ends inclusive, within a resource of known size.
struct HttpByteRange {
    qint64 first = 0;
    qint64 last = 0;
    qint64 length() const { return last - first + 1; }
    friend bool operator==(const HttpByteRange &, const HttpByteRange &) = default;
};

struct HttpRangeRequest {
    enum Kind { None, Satisfiable, Unsatisfiable };
    Kind kind = None; // None: header absent, malformed or unusable: send the whole file
    QList<HttpByteRange> ranges; // when Satisfiable: disjoint, not adjacent
};

// Interprets a Range header value ("bytes=0-99,200-,-50") against a size.
// Ranges that overlap or adjoin are merged into one, at the place of the first
// of them, so no answer carries a byte twice; the others keep the order asked.
HttpRangeRequest parseHttpRange(const QByteArray &value, qint64 size);

// Content type by extension (lower case, without the dot).
QByteArray httpContentType(const QString &fileName);

// "Mon, 07 Dec 2026 09:15:00 GMT" for a UTC time in seconds since the epoch.
QByteArray httpDate(qint64 secsSinceEpochUtc);

// '&', '<', '>', '"', '\'' as entities.
QByteArray htmlEscape(const QByteArray &text);

// Percent-decoding of a path; an invalid escape stays as it is.
QByteArray percentDecode(const QByteArray &text);

// Where a request path leads inside a document folder.
struct HttpDocument {
    enum Kind { File, NotFound, Forbidden };
    Kind kind = NotFound;
    QString filePath; // canonical path of a regular file, when File
};

// Maps a request path (as received, before '?') to a file under docDir: path
// decoded, joined to the folder, ".", ".." and symbolic links resolved; the
// result must be the folder itself or lie under it (case-sensitive), else
// Forbidden. A folder is served through its defaultDoc. Only regular files are
// ever returned. A file in privateFiles (any path to it) is Forbidden. A path
// ending in a separator names a folder: a file there is NotFound.
HttpDocument resolveHttpDocument(const QString &docDir, const QString &defaultDoc,
    const QByteArray &requestPath, const QStringList &privateFiles = {});

// The two tests behind it, for a resolver that opens instead of looking:
// whether a cleaned absolute path is the folder or under it, and whether a
// path asks for a folder ("a/", "a/.").
bool httpPathWithin(const QString &path, const QString &folder);
bool httpPathNamesFolder(const QString &path);

} // namespace orvalla
