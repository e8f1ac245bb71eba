#include "net/http_request.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

namespace orvalla
{

namespace
{

bool isTokenChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F)
        return false;
    static constexpr QByteArrayView kSeparators = "()<>@,;:\\\"/[]?={}";
    return !kSeparators.contains(c);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

bool hasControlChar(QByteArrayView text)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F)
            return true;
    }
    return false;
}

bool isHttpVersion(const QByteArray &v)
{
    return v.size() == 8 && v.startsWith("HTTP/") && QChar::isDigit(uchar(v[5])) && v[6] == '.'
        && QChar::isDigit(uchar(v[7]));
}

bool allDigits(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Digits to a number; absurdly long numbers saturate instead of overflowing.
qint64 digitsValue(const QByteArray &digits)
{
    if (digits.size() > 18)
        return std::numeric_limits<qint64>::max();
    return digits.toLongLong();
}

HttpParseResult bad(const QByteArray &version, const QString &why)
{
    HttpParseResult r;
    r.status = HttpParseResult::BadRequest;
    r.version = version;
    r.error = why;
    return r;
}

// Line ending at LF (CR before it dropped); -1 when no LF yet.
qsizetype lineEnd(const QByteArray &buffer, qsizetype from)
{
    return buffer.indexOf('\n', from);
}

// The parts of a request are looked at in place; only what the request keeps is copied.
QByteArrayView lineAt(const QByteArray &buffer, qsizetype from, qsizetype lf)
{
    qsizetype stop = lf;
    if (stop > from && buffer[stop - 1] == '\r')
        --stop;
    return QByteArrayView(buffer).sliced(from, stop - from);
}

} // namespace

QByteArray HttpRequest::header(QByteArrayView name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second.isNull() ? QByteArray("") : h.second;
    }
    return QByteArray();
}

bool HttpRequest::hasHeader(QByteArrayView name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool httpKeepAlive(const QByteArray &version, const QByteArray &connectionHeader, bool hasConnectionHeader)
{
    if (!hasConnectionHeader)
        return false;
    // The whole value is compared, as one word.
    const QByteArrayView value = QByteArrayView(connectionHeader).trimmed();
    if (version == "HTTP/1.0")
        return value.compare("keep-alive", Qt::CaseInsensitive) == 0;
    if (version == "HTTP/1.1")
        return value.compare("close", Qt::CaseInsensitive) != 0;
    return false;
}

namespace
{

HttpParseResult parseRequest(const QByteArray &buffer)
{
    qsizetype pos = 0;
    // Stray empty lines between requests are tolerated.
    while (pos < buffer.size() && (buffer[pos] == '\r' || buffer[pos] == '\n')) {
        ++pos;
        if (pos > kHttpMaxRequestLine)
            return bad("HTTP/1.0", QStringLiteral("too many empty lines"));
    }

    const qsizetype lf = lineEnd(buffer, pos);
    if (lf < 0) {
        // Judged as the complete line will be: a trailing CR is no part of it.
        const qsizetype sofar = buffer.size() - pos - (buffer.endsWith('\r') ? 1 : 0);
        if (sofar > kHttpMaxRequestLine)
            return bad("HTTP/1.0", QStringLiteral("request line too long"));
        return {};
    }
    const QByteArrayView line = lineAt(buffer, pos, lf);
    if (line.size() > kHttpMaxRequestLine)
        return bad("HTTP/1.0", QStringLiteral("request line too long"));

    HttpRequest req;
    const qsizetype sp1 = line.indexOf(' ');
    req.method = (sp1 < 0 ? line : line.first(sp1)).toByteArray().toUpper();
    QByteArrayView rest = sp1 < 0 ? QByteArrayView() : line.sliced(sp1 + 1);
    while (rest.startsWith(' '))
        rest = rest.sliced(1);
    const qsizetype sp2 = rest.indexOf(' ');
    const QByteArrayView target = sp2 < 0 ? rest : rest.first(sp2);
    QByteArray version
        = (sp2 < 0 ? QByteArrayView() : rest.sliced(sp2 + 1)).trimmed().toByteArray().toUpper();
    const QByteArray known = isHttpVersion(version) ? version : QByteArray("HTTP/1.0");
    if (!isToken(req.method) || target.isEmpty() || hasControlChar(line))
        return bad(known, QStringLiteral("malformed request line"));
    if (version.isEmpty())
        version = "HTTP/1.0";
    else if (!isHttpVersion(version))
        return bad(known, QStringLiteral("malformed version"));
    req.version = version;
    const qsizetype q = target.indexOf('?');
    req.path = (q < 0 ? target : target.first(q)).toByteArray();
    req.params = q < 0 ? QByteArray() : target.sliced(q + 1).toByteArray();

    const qsizetype headerStart = lf + 1;
    qsizetype at = headerStart;
    for (;;) {
        const qsizetype end = lineEnd(buffer, at);
        if (end < 0) {
            if (buffer.size() - headerStart > kHttpMaxHeaderBlock)
                return bad(version, QStringLiteral("headers too long"));
            HttpParseResult more;
            more.version = version;
            return more;
        }
        if (end + 1 - headerStart > kHttpMaxHeaderBlock)
            return bad(version, QStringLiteral("headers too long"));
        const QByteArrayView h = lineAt(buffer, at, end);
        at = end + 1;
        if (h.isEmpty())
            break;
        const qsizetype colon = h.indexOf(':');
        if (colon <= 0 || !isToken(h.first(colon)) || hasControlChar(h))
            return bad(version, QStringLiteral("malformed header line"));
        req.headers.append({ h.first(colon).toByteArray(), h.sliced(colon + 1).trimmed().toByteArray() });
    }

    req.keepAlive = httpKeepAlive(req.version, req.header("Connection"), req.hasHeader("Connection"));
    if (req.hasHeader("Transfer-Encoding")) {
        req.chunkedBody = true;
    } else if (req.hasHeader("Content-Length")) {
        const QByteArray length = req.header("Content-Length");
        if (!allDigits(length) || length.size() > 18)
            return bad(version, QStringLiteral("bad Content-Length"));
        req.bodyLength = length.toLongLong();
    }

    HttpParseResult ok;
    ok.status = HttpParseResult::Complete;
    ok.method = req.method;
    ok.request = std::move(req);
    ok.consumed = at;
    ok.version = version;
    return ok;
}

} // namespace

HttpParseResult parseHttpRequest(const QByteArray &buffer)
{
    HttpParseResult r = parseRequest(buffer);
    if (r.status == HttpParseResult::BadRequest) {
        // The method decides whether the error answer carries its body.
        qsizetype pos = 0;
        while (pos < buffer.size() && (buffer[pos] == '\r' || buffer[pos] == '\n'))
            ++pos;
        qsizetype end = pos;
        while (end < buffer.size() && end - pos < kHttpMaxRequestLine && isTokenChar(buffer[end]))
            ++end;
        r.method = buffer.mid(pos, end - pos).toUpper();
    }
    return r;
}

HttpRangeRequest parseHttpRange(const QByteArray &value, qint64 size)
{
    constexpr int kMaxRanges = 64;
    HttpRangeRequest none;
    const QByteArray v = value.trimmed();
    const qsizetype eq = v.indexOf('=');
    if (eq < 0 || v.left(eq).trimmed().toLower() != "bytes")
        return none;
    QList<HttpByteRange> satisfiable;
    int items = 0;
    for (const QByteArray &raw : v.mid(eq + 1).split(',')) {
        const QByteArray item = raw.trimmed();
        if (item.isEmpty())
            continue;
        if (++items > kMaxRanges)
            return none;
        const qsizetype dash = item.indexOf('-');
        if (dash < 0)
            return none;
        const QByteArray a = item.left(dash).trimmed();
        const QByteArray b = item.mid(dash + 1).trimmed();
        if (a.isEmpty()) {
            // Suffix: the last n bytes.
            if (!allDigits(b))
                return none;
            const qint64 n = digitsValue(b);
            if (n > 0 && size > 0)
                satisfiable.append({ qMax<qint64>(0, size - qMin(n, size)), size - 1 });
            continue;
        }
        if (!allDigits(a) || (!b.isEmpty() && !allDigits(b)))
            return none;
        const qint64 first = digitsValue(a);
        qint64 last = b.isEmpty() ? std::numeric_limits<qint64>::max() : digitsValue(b);
        if (last < first)
            return none;
        if (first >= size)
            continue;
        last = qMin(last, size - 1);
        satisfiable.append({ first, last });
    }
    if (items == 0)
        return none;
    // Merged until no two touch: a merge can make a range reach another.
    for (bool merged = true; merged;) {
        merged = false;
        for (qsizetype i = 0; i < satisfiable.size() && !merged; ++i) {
            for (qsizetype j = i + 1; j < satisfiable.size(); ++j) {
                HttpByteRange &a = satisfiable[i];
                const HttpByteRange &b = satisfiable[j];
                if (b.first > a.last + 1 || a.first > b.last + 1)
                    continue;
                a = { qMin(a.first, b.first), qMax(a.last, b.last) };
                satisfiable.removeAt(j);
                merged = true;
                break;
            }
        }
    }
    HttpRangeRequest out;
    out.kind = satisfiable.isEmpty() ? HttpRangeRequest::Unsatisfiable : HttpRangeRequest::Satisfiable;
    out.ranges = satisfiable;
    return out;
}

QByteArray httpContentType(const QString &fileName)
{
    static const QList<QPair<QString, QByteArray>> types = {
        { QStringLiteral("htm"), "text/html" },
        { QStringLiteral("html"), "text/html" },
        { QStringLiteral("gif"), "image/gif" },
        { QStringLiteral("bmp"), "image/bmp" },
        { QStringLiteral("jpg"), "image/jpeg" },
        { QStringLiteral("jpeg"), "image/jpeg" },
        { QStringLiteral("txt"), "text/plain" },
        { QStringLiteral("css"), "text/css" },
        { QStringLiteral("wav"), "audio/x-wav" },
        { QStringLiteral("ico"), "image/x-icon" },
        { QStringLiteral("wml"), "text/vnd.wap.wml" },
        { QStringLiteral("wbmp"), "image/vnd.wap.wbmp" },
        { QStringLiteral("wmlc"), "application/vnd.wap.wmlc" },
        { QStringLiteral("wmlscript"), "text/vnd.wap.wmlscript" },
        { QStringLiteral("wmlscriptc"), "application/vnd.wap.wmlscriptc" },
        { QStringLiteral("pdf"), "application/pdf" },
    };
    const QString name = QFileInfo(fileName).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0) {
        const QString ext = name.mid(dot + 1).toLower();
        for (const auto &t : types) {
            if (t.first == ext)
                return t.second;
        }
    }
    return "application/binary";
}

QByteArray httpDate(qint64 secsSinceEpochUtc)
{
    static const char days[] = "MonTueWedThuFriSatSun";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const QDateTime t = QDateTime::fromSecsSinceEpoch(secsSinceEpochUtc, Qt::UTC);
    const QDate d = t.date();
    const QTime tm = t.time();
    const QByteArray out = QByteArray(days + (d.dayOfWeek() - 1) * 3, 3) + ", "
        + QByteArray::number(d.day()).rightJustified(2, '0') + ' '
        + QByteArray(months + (d.month() - 1) * 3, 3) + ' '
        + QByteArray::number(d.year()).rightJustified(4, '0') + ' '
        + QByteArray::number(tm.hour()).rightJustified(2, '0') + ':'
        + QByteArray::number(tm.minute()).rightJustified(2, '0') + ':'
        + QByteArray::number(tm.second()).rightJustified(2, '0') + " GMT";
    return out;
}

QByteArray htmlEscape(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

QByteArray percentDecode(const QByteArray &text)
{
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += char(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool httpPathWithin(const QString &path, const QString &folder)
{
    if (folder == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

namespace
{

// Resolves a joined path; Forbidden when it, or what its links lead to, is
// outside the folder.
HttpDocument resolveInside(const QString &joined, const QString &folder, QString *canonical)
{
    const QString cleaned = QDir::cleanPath(joined);
    if (!httpPathWithin(cleaned, folder))
        return { HttpDocument::Forbidden, {} };
    const QFileInfo info(cleaned);
    if (!info.exists())
        return { HttpDocument::NotFound, {} };
    *canonical = info.canonicalFilePath();
    if (canonical->isEmpty())
        return { HttpDocument::NotFound, {} };
    if (!httpPathWithin(*canonical, folder))
        return { HttpDocument::Forbidden, {} };
    return { HttpDocument::File, {} };
}

} // namespace

// "a/", "a/.": the path asks for a folder, whatever "a" turns out to be.
bool httpPathNamesFolder(const QString &path)
{
    return path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1String("/."))
        || path == QLatin1String(".");
}

HttpDocument resolveHttpDocument(const QString &docDir, const QString &defaultDoc,
    const QByteArray &requestPath, const QStringList &privateFiles)
{
    const QFileInfo dirInfo(docDir);
    const QString folder = dirInfo.canonicalFilePath();
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return { HttpDocument::NotFound, {} };

    const QByteArray decoded = percentDecode(requestPath);
    if (decoded.contains('\0'))
        return { HttpDocument::Forbidden, {} };
    const QString relative = QFile::decodeName(decoded);
    const QString joined
        = requestPath.startsWith('/') ? folder + relative : folder + QLatin1Char('/') + relative;
    QString canonical;
    HttpDocument doc = resolveInside(joined, folder, &canonical);
    if (doc.kind != HttpDocument::File)
        return doc;

    if (QFileInfo(canonical).isDir()) {
        if (defaultDoc.isEmpty() || defaultDoc.contains(QChar(0)) || httpPathNamesFolder(defaultDoc))
            return { HttpDocument::NotFound, {} };
        QString page;
        doc = resolveInside(canonical + QLatin1Char('/') + defaultDoc, folder, &page);
        if (doc.kind != HttpDocument::File)
            return doc;
        canonical = page;
    } else if (httpPathNamesFolder(relative)) {
        // A file followed by a separator: answering it would make the
        // page's relative links point under a folder that is not there.
        return { HttpDocument::NotFound, {} };
    }
    // Only regular files: a folder, FIFO or device is never opened.
    if (!QFileInfo(canonical).isFile())
        return { HttpDocument::NotFound, {} };
    for (const QString &hidden : privateFiles) {
        if (QFileInfo(hidden).canonicalFilePath() == canonical)
            return { HttpDocument::Forbidden, {} };
    }
    return { HttpDocument::File, canonical };
}

} // namespace orvalla
