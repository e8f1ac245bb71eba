#pragma once

// The pure parts of the SMTP dialogue: reply lines, addresses and the message
// header lines. No sockets here, so each rule can be checked on its own.

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <array>

namespace orvalla
{

// One line of a server reply, cut from the front of the receive buffer.
struct SmtpReplyLine {
    enum Status {
        Complete, // a whole line with a valid code
        Incomplete, // no line end yet: wait for more bytes
        Bad, // not a reply line (no code), or longer than the receive buffer
    };
    Status status = Incomplete;
    int code = 0; // the number at the start of the line
    bool continued = false; // code directly followed by '-': more lines follow
    QByteArray text; // the line without its line end
    qsizetype consumed = 0; // bytes of the buffer this line took (Complete and Bad)
};

// Size of the engine's receive buffer; a reply line longer than this is Bad.
inline constexpr qsizetype kSmtpReceiveBuffer = 4096;

// Cuts the first line off buffer. Lines end at CR LF (a bare LF is taken too).
// The code is the number at the start of the line after blanks, 100..599.
SmtpReplyLine parseSmtpReplyLine(QByteArrayView buffer, qsizetype maxLine = kSmtpReceiveBuffer);

// The address inside a text such as "Name <a@b>", "\"Name\" a@b", "Name a@b" or "a@b".
QString smtpAddress(const QString &text);

// The name sent with EHLO/HELO: blanks become '_'; empty gives the local host name.
QString smtpSignOnName(const QString &signOn, const QString &localHostName);

// "Name: first," / "\tsecond," / "\tlast": the value split at ',' or ';' outside
// double quotes, each piece trimmed, empty pieces dropped. Empty when no piece.
QStringList smtpAddressHeader(const QString &name, const QString &value);

// "Date: Mon, 7 Dec 2026 09:15:00 GMT" for a UTC time.
QString smtpDateHeader(const QDateTime &utc);

// "Message-ID: <yyyymmddhhnnsszzz.XXXXXXXXXXXXXXXX@host>"; each random below 32767.
QString smtpMessageIdHeader(
    const QDateTime &utc, const std::array<int, 4> &randoms, const QString &localHostName);

// What the message headers are made of.
struct SmtpHeaderFields {
    QString from;
    QString to;
    QString cc;
    QString subject;
    QString replyTo;
    QString returnPath;
    QString sender;
    QString contentType = QStringLiteral("text/plain");
    QString charSet = QStringLiteral("iso-8859-1");
};

// The header lines in their order, without line ends; date and id as given.
QStringList smtpHeaderLines(const SmtpHeaderFields &h, const QString &dateLine, const QString &messageIdLine);

// A body line as it goes on the wire: a leading '.' is doubled.
QString smtpDotStuff(const QString &line);

// Text that goes into one command or header line: CR and LF become blanks, so
// a field can never end the line early or smuggle in a command.
QString smtpOneLine(const QString &text);

// Whether the lines of an EHLO reply offer keyword (an extension such as
// "STARTTLS"), and with argument among its parameters when one is given
// ("AUTH" with "PLAIN"). Lines are as received, code included; case is ignored.
bool smtpOffers(const QStringList &ehloLines, const QString &keyword, const QString &argument = QString());

// The AUTH PLAIN argument: Base64 of NUL, user, NUL, password (Windows-1252).
QByteArray smtpPlainCredentials(const QString &user, const QString &password);

} // namespace orvalla

// Carried by QVariant (data-driven tests).
Q_DECLARE_METATYPE(orvalla::SmtpHeaderFields)
