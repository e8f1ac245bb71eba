#include "net/smtp_protocol.h"

#include "common/text.h"

#include <QRegularExpression>

namespace orvalla
{

SmtpReplyLine parseSmtpReplyLine(QByteArrayView buffer, qsizetype maxLine)
{
    SmtpReplyLine r;
    const qsizetype lf = buffer.indexOf('\n');
    if (lf < 0) {
        // Judged as the complete line will be: a trailing CR is no part of it.
        const qsizetype sofar = buffer.size() - (buffer.endsWith('\r') ? 1 : 0);
        if (sofar > maxLine) {
            // A line that cannot fit the receive buffer: take what there is.
            r.status = SmtpReplyLine::Bad;
            r.text = buffer.toByteArray();
            r.consumed = buffer.size();
        }
        return r;
    }
    r.consumed = lf + 1;
    qsizetype end = lf;
    if (end > 0 && buffer[end - 1] == '\r')
        --end;
    r.text = buffer.first(end).toByteArray();
    if (end > maxLine) {
        r.status = SmtpReplyLine::Bad;
        return r;
    }

    qsizetype i = 0;
    while (i < end && (r.text[i] == ' ' || r.text[i] == '\t'))
        ++i;
    const qsizetype digits = i;
    int code = 0;
    while (i < end && i - digits < 4 && r.text[i] >= '0' && r.text[i] <= '9')
        code = code * 10 + (r.text[i++] - '0');
    const bool moreDigits = i < end && r.text[i] >= '0' && r.text[i] <= '9';
    if (i == digits || moreDigits || code < 100 || code > 599) {
        r.status = SmtpReplyLine::Bad;
        return r;
    }
    r.status = SmtpReplyLine::Complete;
    r.code = code;
    r.continued = i < end && r.text[i] == '-';
    return r;
}

QString smtpAddress(const QString &text)
{
    const QString t = text.trimmed();
    const qsizetype lt = t.indexOf(u'<');
    if (lt >= 0) {
        const qsizetype gt = t.indexOf(u'>', lt + 1);
        return (gt < 0 ? t.mid(lt + 1) : t.mid(lt + 1, gt - lt - 1)).trimmed();
    }
    if (t.startsWith(u'"')) {
        const qsizetype close = t.indexOf(u'"', 1);
        return close < 0 ? QString() : t.mid(close + 1).trimmed();
    }
    const qsizetype blank = t.indexOf(u' ');
    const QString name = blank < 0 ? t : t.left(blank);
    const QString rest = blank < 0 ? QString() : t.mid(blank + 1).trimmed();
    if (rest.isEmpty() && name.contains(u'@'))
        return name;
    return rest;
}

QString smtpSignOnName(const QString &signOn, const QString &localHostName)
{
    if (signOn.isEmpty())
        return localHostName;
    QString name = signOn;
    name.replace(u' ', u'_');
    return name;
}

QStringList smtpAddressHeader(const QString &name, const QString &value)
{
    QStringList pieces;
    QString piece;
    bool quoted = false;
    for (const QChar c : value) {
        if (c == u'"')
            quoted = !quoted;
        if (!quoted && (c == u',' || c == u';')) {
            pieces.append(piece.trimmed());
            piece.clear();
        } else {
            piece.append(c);
        }
    }
    pieces.append(piece.trimmed());
    pieces.removeAll(QString());

    QStringList lines;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        QString line = i == 0 ? name + QStringLiteral(": ") + pieces[i] : QStringLiteral("\t") + pieces[i];
        if (i + 1 < pieces.size())
            line += u',';
        lines.append(line);
    }
    return lines;
}

QString smtpDateHeader(const QDateTime &utc)
{
    static const char *const days[] = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
    static const char *const months[]
        = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    const QDate d = utc.date();
    const QTime t = utc.time();
    // QDate counts Monday as 1 and Sunday as 7.
    return QStringLiteral("Date: ")
        + QString::fromLatin1(formatC("%s, %d %s %4d %02d:%02d:%02d GMT", days[d.dayOfWeek() % 7], d.day(),
            months[d.month() - 1], d.year(), t.hour(), t.minute(), t.second()));
}

QString smtpMessageIdHeader(
    const QDateTime &utc, const std::array<int, 4> &randoms, const QString &localHostName)
{
    const QDate d = utc.date();
    const QTime t = utc.time();
    QByteArray id = formatC("%04d%02d%02d%02d%02d%02d%03d.", d.year(), d.month(), d.day(), t.hour(),
        t.minute(), t.second(), t.msec());
    for (const int r : randoms)
        id += formatC("%04X", unsigned(r) & 0xFFFF);
    return QStringLiteral("Message-ID: <") + QString::fromLatin1(id) + u'@' + localHostName + u'>';
}

QStringList smtpHeaderLines(const SmtpHeaderFields &h, const QString &dateLine, const QString &messageIdLine)
{
    QStringList lines;
    if (!h.replyTo.trimmed().isEmpty())
        lines += smtpAddressHeader(QStringLiteral("Reply-To"), h.replyTo);
    if (!h.returnPath.trimmed().isEmpty())
        lines += QStringLiteral("Return-Path: ") + h.returnPath;
    if (!h.from.isEmpty())
        lines += QStringLiteral("From: ") + h.from;
    if (!h.to.isEmpty())
        lines += smtpAddressHeader(QStringLiteral("To"), h.to);
    if (!h.cc.isEmpty())
        lines += smtpAddressHeader(QStringLiteral("Cc"), h.cc);
    lines += QStringLiteral("Subject: ") + h.subject;
    if (!h.sender.trimmed().isEmpty())
        lines += QStringLiteral("Sender: ") + h.sender;
    else if (!h.from.trimmed().isEmpty())
        lines += QStringLiteral("Sender: ") + h.from;
    lines += QStringLiteral("Mime-Version: 1.0");
    lines += QStringLiteral("Content-Type: ") + h.contentType + QStringLiteral("; charset=\"") + h.charSet
        + u'"';
    lines += dateLine;
    lines += messageIdLine;
    lines += QStringLiteral("X-Mailer: Orvalla " ORVALLA_VERSION);
    for (QString &line : lines)
        line = smtpOneLine(line);
    return lines;
}

QString smtpDotStuff(const QString &line)
{
    return line.startsWith(u'.') ? u'.' + line : line;
}

QString smtpOneLine(const QString &text)
{
    QString out = text;
    out.replace(u'\r', u' ');
    out.replace(u'\n', u' ');
    return out;
}

bool smtpOffers(const QStringList &ehloLines, const QString &keyword, const QString &argument)
{
    for (const QString &line : ehloLines) {
        // "250-AUTH LOGIN PLAIN"; old servers wrote "250-AUTH=LOGIN".
        const QStringList words
            = line.mid(4).split(QRegularExpression(QStringLiteral("[ =]")), Qt::SkipEmptyParts);
        if (words.isEmpty() || words.first().compare(keyword, Qt::CaseInsensitive) != 0)
            continue;
        if (argument.isEmpty())
            return true;
        for (qsizetype i = 1; i < words.size(); ++i) {
            if (words[i].compare(argument, Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

QByteArray smtpPlainCredentials(const QString &user, const QString &password)
{
    return (QByteArray(1, '\0') + toCp1252(user) + QByteArray(1, '\0') + toCp1252(password)).toBase64();
}

} // namespace orvalla
