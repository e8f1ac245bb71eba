#include "net/ftp_reply.h"

#include "common/text.h"

#if defined(Q_OS_UNIX)
#include <arpa/inet.h>
#include <netdb.h>
#endif

namespace orvalla
{

namespace
{

// The code at the start of a line, or 0 when the line does not start with one.
int lineCode(QByteArrayView line)
{
    if (line.size() < 3)
        return 0;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return 0;
    }
    if (line[0] < '1' || line[0] > '5')
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

} // namespace

FtpReply parseFtpReply(QByteArrayView buffer)
{
    FtpReply reply;
    qsizetype pos = 0;
    bool first = true;
    while (true) {
        const qsizetype lf = buffer.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? buffer.size() : lf;
        if (end - pos > kFtpReceiveBuffer || end > kFtpMaxReply) {
            reply.status = FtpReply::Bad;
            return reply;
        }
        if (lf < 0) {
            reply.status = FtpReply::Incomplete;
            return reply;
        }
        QByteArrayView line = buffer.sliced(pos, end - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        pos = lf + 1;
        reply.lines.append(line.toByteArray());

        const int code = lineCode(line);
        const char after = line.size() > 3 ? line[3] : ' ';
        if (first) {
            if (code == 0 || (after != ' ' && after != '-')) {
                reply.status = FtpReply::Bad;
                return reply;
            }
            first = false;
        }
        if (code == 0 || after != ' ') {
            // Text or a continuation line inside a multi-line reply.
            continue;
        }
        // The final line decides, whatever code the first line had.
        reply.status = FtpReply::Complete;
        reply.code = code;
        reply.consumed = pos;
        return reply;
    }
}

QByteArray ftpPortCommand(quint32 ipv4, quint16 port)
{
    return formatC("PORT %u,%u,%u,%u,%u,%u", (ipv4 >> 24) & 0xFF, (ipv4 >> 16) & 0xFF, (ipv4 >> 8) & 0xFF,
        ipv4 & 0xFF, unsigned(port >> 8), unsigned(port & 0xFF));
}

quint16 ftpPortNumber(const QString &text)
{
    const QString name = text.trimmed();
    bool ok = false;
    const uint number = name.toUInt(&ok);
    if (ok)
        return number >= 1 && number <= 65535 ? quint16(number) : 0;
    if (name.compare(QLatin1String("ftp"), Qt::CaseInsensitive) == 0)
        return 21;
#if defined(Q_OS_UNIX)
    if (!name.isEmpty()) {
        const QByteArray latin = name.toLatin1();
        if (const servent *entry = ::getservbyname(latin.constData(), "tcp"))
            return ntohs(quint16(entry->s_port));
    }
#endif
    return 0;
}

} // namespace orvalla
