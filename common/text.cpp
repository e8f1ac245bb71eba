#include "common/text.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <locale.h>

namespace orvalla
{

namespace
{

locale_t cLocale()
{
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

QByteArray vformatC(const char *format, va_list args)
{
    // uselocale() switches only this thread, and only for this call.
    const locale_t previous = uselocale(cLocale());
    char small[256];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    QByteArray out;
    if (n < 0) {
        out = QByteArray();
    } else if (n < int(sizeof small)) {
        out = QByteArray(small, n);
    } else {
        out.resize(n + 1);
        std::vsnprintf(out.data(), size_t(n) + 1, format, args);
        out.resize(n);
    }
    uselocale(previous);
    return out;
}

// 0x80..0x9F; 0 marks the five bytes Windows-1252 leaves unassigned.
constexpr char16_t kHigh[32] = {
    0x20AC,
    0,
    0x201A,
    0x0192,
    0x201E,
    0x2026,
    0x2020,
    0x2021,
    0x02C6,
    0x2030,
    0x0160,
    0x2039,
    0x0152,
    0,
    0x017D,
    0,
    0,
    0x2018,
    0x2019,
    0x201C,
    0x201D,
    0x2022,
    0x2013,
    0x2014,
    0x02DC,
    0x2122,
    0x0161,
    0x203A,
    0x0153,
    0,
    0x017E,
    0x0178,
};

} // namespace

QByteArray formatC(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    QByteArray out = vformatC(format, args);
    va_end(args);
    return out;
}

QByteArray decimalComma(QByteArray text)
{
    const qsizetype dot = text.indexOf('.');
    if (dot >= 0)
        text[dot] = ',';
    return text;
}

QByteArray formatComma(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    QByteArray out = vformatC(format, args);
    va_end(args);
    return decimalComma(std::move(out));
}

QString fromCp1252(const QByteArray &bytes)
{
    QString out;
    out.resize(bytes.size());
    QChar *dst = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        char16_t c = b;
        if (b >= 0x80 && b < 0xA0 && kHigh[b - 0x80] != 0)
            c = kHigh[b - 0x80];
        dst[i] = QChar(c);
    }
    return out;
}

QByteArray toCp1252(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out.append(char(c));
            continue;
        }
        char byte = '?';
        if (c >= 0x80 && c < 0xA0 && kHigh[c - 0x80] == 0) {
            byte = char(c); // unassigned byte, kept as itself
        } else {
            for (int i = 0; i < 32; ++i) {
                if (kHigh[i] == c) {
                    byte = char(0x80 + i);
                    break;
                }
            }
        }
        out.append(byte);
    }
    return out;
}

QList<QByteArray> splitLines(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0) {
            lines.append(bytes.mid(start));
            break;
        }
        qsizetype stop = end;
        if (stop > start && bytes[stop - 1] == '\r')
            --stop;
        lines.append(bytes.mid(start, stop - start));
        start = end + 1;
    }
    return lines;
}

} // namespace orvalla
