#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace orvalla
{

// printf into bytes, always in the "C" locale whatever the process locale is,
// so files never depend on the operator's regional settings.
QByteArray formatC(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Replaces the first '.' of the text by ','. Used after formatting where the
// output carries a decimal comma (reading line, report, page, summary).
QByteArray decimalComma(QByteArray text);

// formatC followed by decimalComma.
QByteArray formatComma(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Windows-1252. Every one of the 256 bytes decodes to one character and encodes
// back to the same byte (the five unassigned bytes map to the C1 controls of the
// same value). Characters with no byte encode as '?'.
QString fromCp1252(const QByteArray &bytes);
QByteArray toCp1252(const QString &text);

// Lines of a text file: splits on LF, dropping one CR before it; a last line
// without line end is kept, a final line end does not make an extra empty line.
QList<QByteArray> splitLines(const QByteArray &bytes);

} // namespace orvalla
