// The FTP and SMTP reply parsers on the same server bytes, cut reply after
// reply as the engines do, and checked for agreement when the bytes arrive in
// two pieces. The SMTP header builder takes the bytes as field texts.
#include "net/ftp_reply.h"
#include "net/smtp_protocol.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace orvalla;

namespace
{

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "reply invariant broken: %s\n", what);
        std::abort();
    }
}

int leadingCode(const QByteArray &line)
{
    if (line.size() < 3)
        return -1;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return -1;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

// Proper prefixes of a reply to try: the chosen one if it falls inside, and
// each point right before one of its first line ends.
QList<qsizetype> cutsBefore(QByteArrayView reply, qsizetype cut)
{
    QList<qsizetype> cuts;
    if (cut > 0 && cut < reply.size())
        cuts.append(cut);
    for (qsizetype lf = reply.indexOf('\n'); lf >= 0 && cuts.size() < 17; lf = reply.indexOf('\n', lf + 1))
        cuts.append(lf);
    return cuts;
}

void checkFtp(QByteArrayView buffer, qsizetype cut)
{
    while (!buffer.isEmpty()) {
        const FtpReply r = parseFtpReply(buffer);
        if (r.status != FtpReply::Complete)
            break;
        check(r.consumed > 0 && r.consumed <= buffer.size() && buffer[r.consumed - 1] == '\n',
            "ftp reply does not end at a line end");
        check(r.code >= 100 && r.code <= 599, "ftp code out of range");
        check(!r.lines.isEmpty() && r.lines.size() == buffer.first(r.consumed).count('\n'),
            "ftp lines do not match the line ends");
        // The final line decides: it carries the reply's code, and no line
        // before it could have been a final line.
        const int firstCode = leadingCode(r.lines.first());
        check(firstCode >= 100 && firstCode <= 599, "ftp reply does not start with a code");
        check(leadingCode(r.lines.last()) == r.code, "ftp reply does not end with its code");
        const QByteArray &last = r.lines.last();
        check(last.size() == 3 || last[3] == ' ', "ftp reply ends on a continued line");
        for (qsizetype i = 0; i + 1 < r.lines.size(); ++i) {
            const QByteArray &line = r.lines.at(i);
            const int code = leadingCode(line);
            check(code < 100 || code > 599 || (line.size() > 3 && line[3] != ' '),
                "ftp reply runs past a final line");
        }
        for (const QByteArray &line : r.lines)
            check(!line.contains('\n'), "ftp line holds a line end");
        // Passive replies: any text gives a port only when it names one.
        const FtpPassiveTarget pasv = parsePasvReply(last);
        check(!pasv.ok || pasv.port != 0, "pasv reply taken with port 0");
        const FtpPassiveTarget epsv = parseEpsvReply(last);
        check(!epsv.ok || (epsv.port != 0 && epsv.ipv4 == 0), "epsv reply taken with port 0 or an address");

        // The same reply arriving in two pieces: the first piece alone is
        // never taken for something else. Cuts: one chosen by the input, and
        // right before the reply's line ends (where limits bite).
        for (qsizetype at : cutsBefore(buffer.first(r.consumed), cut)) {
            const FtpReply part = parseFtpReply(buffer.first(at));
            check(part.status == FtpReply::Incomplete, "ftp reply judged before its end");
        }
        buffer = buffer.sliced(r.consumed);
    }
}

void checkSmtp(QByteArrayView buffer, qsizetype cut)
{
    while (!buffer.isEmpty()) {
        const SmtpReplyLine r = parseSmtpReplyLine(buffer);
        if (r.status == SmtpReplyLine::Incomplete) {
            check(r.consumed == 0, "smtp incomplete line consumed bytes");
            break;
        }
        // The engine drops what a line consumed, Bad or not: it must move on.
        check(r.consumed > 0 && r.consumed <= buffer.size(), "smtp line consumed nothing or too much");
        check(!r.text.contains('\n'), "smtp line holds a line end");
        if (r.status == SmtpReplyLine::Complete) {
            check(r.code >= 100 && r.code <= 599, "smtp code out of range");
            check(buffer[r.consumed - 1] == '\n', "smtp line does not end at a line end");
            for (qsizetype at : cutsBefore(buffer.first(r.consumed), cut)) {
                const SmtpReplyLine part = parseSmtpReplyLine(buffer.first(at));
                check(part.status == SmtpReplyLine::Incomplete, "smtp line judged before its end");
            }
        }
        buffer = buffer.sliced(r.consumed);
    }
}

void checkHeaders(const QByteArray &bytes)
{
    // Field texts come from the operator's settings: whatever they hold, each
    // header stays one line.
    const QString text = QString::fromLatin1(bytes);
    const QStringList parts = text.split(u'\x01');
    SmtpHeaderFields h;
    QString *fields[] = { &h.from, &h.to, &h.cc, &h.subject, &h.replyTo, &h.returnPath, &h.sender };
    for (qsizetype i = 0; i < parts.size() && i < qsizetype(std::size(fields)); ++i)
        *fields[i] = parts[i];
    const QStringList lines
        = smtpHeaderLines(h, QStringLiteral("Date: x"), QStringLiteral("Message-ID: <x@y>"));
    for (const QString &line : lines)
        check(!line.contains(u'\r') && !line.contains(u'\n') && !line.isEmpty(), "header line broken");
    check(
        !smtpOneLine(text).contains(u'\n') && !smtpOneLine(text).contains(u'\r'), "one line with a line end");
    (void)smtpAddress(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype cut = size ? qsizetype(size * data[0] / 256) : 0;
    checkFtp(bytes, cut);
    checkSmtp(bytes, cut);
    checkHeaders(bytes);
    return 0;
}
