#include "net/ftp_reply.h"

#include "common/text.h"

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

namespace
{

// A decimal number 0..limit at pos; pos moves past it.
bool takeNumber(QByteArrayView text, qsizetype &pos, uint limit, uint *value)
{
    const qsizetype start = pos;
    uint v = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 5) {
        v = v * 10 + uint(text[pos] - '0');
        ++pos;
    }
    if (pos == start || v > limit || (pos < text.size() && text[pos] >= '0' && text[pos] <= '9'))
        return false;
    *value = v;
    return true;
}

} // namespace

FtpPassiveTarget parsePasvReply(QByteArrayView line)
{
    // The text after the code: its own digits are no part of the address.
    for (qsizetype start = qMin<qsizetype>(4, line.size()); start < line.size(); ++start) {
        const bool digit = line[start] >= '0' && line[start] <= '9';
        if (!digit || (line[start - 1] >= '0' && line[start - 1] <= '9'))
            continue;
        qsizetype pos = start;
        uint n[6] = {};
        bool ok = true;
        for (int i = 0; i < 6 && ok; ++i) {
            if (i > 0) {
                ok = pos < line.size() && line[pos] == ',';
                ++pos;
            }
            ok = ok && takeNumber(line, pos, 255, &n[i]);
        }
        if (!ok)
            continue;
        FtpPassiveTarget target;
        target.ipv4 = (n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3];
        target.port = quint16(n[4] * 256 + n[5]);
        target.ok = target.port != 0;
        return target;
    }
    return {};
}

FtpPassiveTarget parseEpsvReply(QByteArrayView line)
{
    const qsizetype open = line.indexOf('(');
    if (open < 0 || open + 5 > line.size())
        return {};
    const char d = line[open + 1];
    if (d < 33 || d > 126 || (d >= '0' && d <= '9') || line[open + 2] != d || line[open + 3] != d)
        return {};
    qsizetype pos = open + 4;
    uint port = 0;
    if (!takeNumber(line, pos, 65535, &port) || port == 0 || pos >= line.size() || line[pos] != d)
        return {};
    FtpPassiveTarget target;
    target.port = quint16(port);
    target.ok = true;
    return target;
}

bool ftpUnroutable(quint32 a)
{
    const auto in = [a](quint32 net, int bits) { return (a >> (32 - bits)) == (net >> (32 - bits)); };
    return in(0x00000000, 8) // 0/8
        || in(0x0A000000, 8) // 10/8
        || in(0x64400000, 10) // 100.64/10, carrier-grade translation
        || in(0x7F000000, 8) // 127/8
        || in(0xA9FE0000, 16) // 169.254/16
        || in(0xAC100000, 12) // 172.16/12
        || in(0xC0A80000, 16); // 192.168/16
}

} // namespace orvalla
