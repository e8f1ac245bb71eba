// The pure request handling of the HTTP server: the request parser (whole and
// split in two, as requests arrive in pieces), byte ranges, escaping and the
// mapping of request paths onto the document folder.
#include "doc_tree.h"
#include "net/http_request.h"

#include <QLoggingCategory>

using namespace orvalla;
using fuzzing::check;

namespace
{

fuzzing::DocTree *tree = nullptr;

bool isHttpVersion(const QByteArray &v)
{
    return v.size() == 8 && v.startsWith("HTTP/") && v[5] >= '0' && v[5] <= '9' && v[6] == '.' && v[7] >= '0'
        && v[7] <= '9';
}

bool sameRequest(const HttpParseResult &a, const HttpParseResult &b)
{
    return a.consumed == b.consumed && a.request.method == b.request.method
        && a.request.path == b.request.path && a.request.params == b.request.params
        && a.request.version == b.request.version && a.request.headers == b.request.headers
        && a.request.keepAlive == b.request.keepAlive && a.request.bodyLength == b.request.bodyLength
        && a.request.chunkedBody == b.request.chunkedBody;
}

void checkResult(const HttpParseResult &r, const QByteArray &buffer)
{
    // The version starts the answer's status line, whatever the request held.
    if (r.status != HttpParseResult::Incomplete)
        check(isHttpVersion(r.version), "answer version not of the form HTTP/d.d");
    if (r.status != HttpParseResult::Complete)
        return;
    check(r.consumed > 0 && r.consumed <= buffer.size() && buffer[r.consumed - 1] == '\n',
        "consumed does not end at a line end");
    const HttpRequest &q = r.request;
    check(!q.method.isEmpty() && q.method == q.method.toUpper(), "method not upper-cased");
    check(isHttpVersion(q.version), "request version malformed");
    check(!q.path.contains(' ') && !q.path.contains('\n') && !q.path.contains('?'), "path with a separator");
    check(q.bodyLength >= 0, "negative body length");
    for (const auto &h : q.headers)
        check(!h.first.isEmpty() && !h.first.contains(':') && !h.second.contains('\n'), "header malformed");
}

void checkRange(const QByteArray &value, qint64 size)
{
    const HttpRangeRequest r = parseHttpRange(value, size);
    if (r.kind != HttpRangeRequest::Satisfiable) {
        check(r.ranges.isEmpty(), "ranges kept for an unusable header");
        return;
    }
    check(!r.ranges.isEmpty() && r.ranges.size() <= 64, "satisfiable without ranges or with too many");
    for (const HttpByteRange &b : r.ranges)
        check(b.first >= 0 && b.first <= b.last && b.last < size, "range outside the file");
    // No byte is answered twice, and touching ranges go as one.
    for (qsizetype i = 0; i < r.ranges.size(); ++i) {
        for (qsizetype j = i + 1; j < r.ranges.size(); ++j) {
            const HttpByteRange &a = r.ranges[i];
            const HttpByteRange &b = r.ranges[j];
            check(b.first > a.last + 1 || a.first > b.last + 1, "ranges overlap or adjoin");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("orvalla.*=false"));
    tree = new fuzzing::DocTree;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray buffer(reinterpret_cast<const char *>(data), qsizetype(size));
    const HttpParseResult whole = parseHttpRequest(buffer);
    checkResult(whole, buffer);

    // The same bytes arriving in two reads: the first part may be judged only
    // when the whole would be judged the same way. Cuts: one chosen by the
    // input, and right before the first line ends (where limits bite).
    QList<qsizetype> cuts { size ? qsizetype(size * data[0] / 256) : 0 };
    for (qsizetype lf = buffer.indexOf('\n'); lf >= 0 && cuts.size() < 17; lf = buffer.indexOf('\n', lf + 1))
        cuts.append(lf);
    for (const qsizetype cut : std::as_const(cuts)) {
        const HttpParseResult part = parseHttpRequest(buffer.left(cut));
        checkResult(part, buffer.left(cut));
        if (part.status == HttpParseResult::Complete)
            check(whole.status == HttpParseResult::Complete && sameRequest(part, whole),
                "request changed by later bytes");
        if (part.status == HttpParseResult::BadRequest)
            check(whole.status == HttpParseResult::BadRequest, "bad request became good with more bytes");
    }
    if (whole.status == HttpParseResult::Complete) {
        const HttpParseResult exact = parseHttpRequest(buffer.left(whole.consumed));
        check(exact.status == HttpParseResult::Complete && sameRequest(exact, whole),
            "request needs bytes beyond it");
    }

    for (const qint64 fileSize : { qint64(0), qint64(1), qint64(300), qint64(1) << 40 }) {
        checkRange(buffer, fileSize);
        if (whole.status == HttpParseResult::Complete && whole.request.hasHeader("Range"))
            checkRange(whole.request.header("Range"), fileSize);
    }

    const QByteArray escaped = htmlEscape(buffer);
    for (const char c : { '<', '>', '"', '\'' })
        check(!escaped.contains(c), "markup character left unescaped");
    check(percentDecode(buffer).size() <= buffer.size(), "decoding grew the text");

    // Paths: the parsed one, and the input itself taken as one.
    QList<QByteArray> paths { buffer.left(1024) };
    if (whole.status == HttpParseResult::Complete)
        paths.append(whole.request.path);
    for (const QByteArray &path : std::as_const(paths)) {
        for (const QString &defaultDoc : { QStringLiteral("index.html"), QStringLiteral("../secret.txt") }) {
            const HttpDocument doc = resolveHttpDocument(tree->docDir(), defaultDoc, path);
            if (doc.kind == HttpDocument::File)
                tree->checkInside(doc.filePath);
            else
                check(doc.filePath.isEmpty(), "a path given with a refusal");
        }
    }
    return 0;
}
