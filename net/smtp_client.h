#pragma once

#include "net/smtp_protocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <stdexcept>

class QHostInfo;
class QTcpSocket;

namespace orvalla
{

class Clock;

// A request refused before it starts ("SMTP client not ready", ...).
class SmtpException : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Request codes reported with requestDone.
enum SmtpRequestCode : int {
    SmtpConnect = 0,
    SmtpHelo = 1,
    SmtpMailFrom = 2,
    SmtpVrfy = 3,
    SmtpRcptTo = 4,
    SmtpData = 5,
    SmtpQuit = 6,
    SmtpRset = 7,
    SmtpOpen = 8,
    SmtpMail = 9,
    SmtpEhlo = 10,
    SmtpAuth = 11,
    SmtpCustom = 12,
};

// Socket error numbers as the operator sees them in the result log.
enum SmtpSocketError : int {
    SmtpErrorClosed = 10004, // the connection closed while a request ran
    SmtpErrorAccess = 10013,
    SmtpErrorInvalidPort = 10022,
    SmtpErrorAddressInUse = 10048,
    SmtpErrorNetworkDown = 10050,
    SmtpErrorReset = 10054,
    SmtpErrorTimedOut = 10060,
    SmtpErrorRefused = 10061,
    SmtpErrorUnreachable = 10065,
    SmtpErrorHostNotFound = 11001,
    SmtpErrorTls = 11100, // the TLS handshake failed or the server's certificate was refused
};

// How the connection is protected. None: clear text, as designed.
enum class SmtpSecurity {
    None,
    StartTls, // STARTTLS after EHLO, then EHLO again; a server without it is a failure
    Tls, // TLS from the first byte (usually port 465)
};

// Event-driven SMTP client on the GUI thread: open (connect, [TLS], EHLO,
// [STARTTLS, EHLO], AUTH LOGIN or, once encrypted, PLAIN when offered),
// mail (MAIL FROM, RCPT TO per recipient, DATA) and quit, one request at a time.
// Every request returns at once and ends with requestDone(code, error), error
// being 0, the refused reply code or a socket error number. Starting a request
// that cannot run throws SmtpException.
class SmtpClient : public QObject
{
    Q_OBJECT

public:
    enum class Auth { None, Login };

    explicit SmtpClient(QObject *parent = nullptr);
    ~SmtpClient() override;

    // Properties, read when a request starts.
    QString Host;
    QString Port = QStringLiteral("smtp"); // number or service name
    QString SignOn; // EHLO/HELO name; empty: the local host name
    QString Username;
    QString Password;
    Auth AuthType = Auth::None;
    QString FromName; // envelope sender
    QString HdrFrom;
    QString HdrTo;
    QString HdrSubject;
    QString HdrCc;
    QString HdrReplyTo;
    QString HdrReturnPath;
    QString HdrSender;
    QStringList RcptName; // recipients, in order
    QStringList MailMessage; // body lines
    QString CharSet = QStringLiteral("iso-8859-1");
    QString ContentType = QStringLiteral("text/plain");
    SmtpSecurity Security = SmtpSecurity::None;
    QString TrustedCertificates; // PEM file trusted beside the system's store; empty: none

    // Requests.
    void open(); // code 8
    void mail(); // code 9
    void quit(); // code 6
    void abort(); // drops the connection now; a running request ends with 10004

    bool connected() const { return m_connected; }
    bool ready() const { return m_request < 0; }
    bool esmtp() const { return m_esmtp; }
    int currentRequest() const { return m_request; }
    QString lastReply() const { return m_lastReply; }
    int error() const { return m_error; }

    // Time for the Date and Message-ID headers; null (the default) means the system clock.
    void setClock(const Clock *clock) { m_clock = clock; }

    // Message lines are sent while fewer than this many bytes wait in the send buffer.
    static constexpr qint64 kSendWindow = 16384;

Q_SIGNALS:
    void display(const QString &line);
    void requestDone(int request, int error);
    void sessionConnected(int error);
    void sessionClosed();

private:
    enum class Step {
        None,
        Lookup,
        Connecting,
        Greeting,
        Ehlo,
        Helo,
        StartTls,
        TlsHandshake, // waiting for the handshake, before the greeting or after STARTTLS
        AuthLogin,
        AuthPlain,
        AuthUser,
        AuthPassword,
        MailFrom,
        RcptTo,
        Data,
        Message, // header and body lines leaving, no reply awaited
        EndOfMessage,
        Quit,
        QuitClosing, // 221 received, waiting for the connection to close
    };

    void startRequest(int code);
    void checkReady() const;
    void checkConnected() const;
    void lookedUp(const QHostInfo &info, quint64 serial);
    void socketConnected();
    void socketError();
    void socketClosed();
    void readReplies();
    void replyLine(const QByteArray &text, int code, bool continued);
    void replyDone(int code);
    void badReply(const QByteArray &text);
    void failConnect(int error, const QString &description);
    void tlsEncrypted();
    void tlsFailed(const QString &description);
    void refuseClearText(int error, const QString &why);
    bool accepts(int code) const;
    void sendCommand(Step step, const QString &command, const QString &shown = QString());
    void sendEhloOrHelo(bool ehlo);
    void afterGreeting();
    void afterHello();
    void startAuth();
    void sendMailFrom();
    void sendNextRcpt();
    void startMessage();
    void sendMessageLines();
    void stepFailed(int code);
    void finish(int error);
    bool dropSocket(); // true when a TCP connection was up
    // Drops the connection and ends the running request with error.
    void dropAndFinish(int error);
    QDateTime nowUtc() const;
    QString localHostName() const;

    const Clock *m_clock = nullptr;
    QTcpSocket *m_socket = nullptr;
    quint64 m_serial = 0; // bumps with every request and abort, so stale completions are ignored
    int m_lookupId = -1;
    bool m_tcpUp = false;
    bool m_connected = false;
    bool m_esmtp = false;
    int m_request = -1;
    Step m_step = Step::None;
    int m_error = 0;
    int m_socketError = 0; // error seen before the close, reported instead of 10004
    bool m_ehloFailed = false;
    bool m_encrypted = false;
    QStringList m_ehloLines; // the latest EHLO reply, for the extensions it offers
    QString m_lastReply;
    QByteArray m_receive;
    quint16 m_port = 0;

    // What the running mail request sends, fixed when it starts.
    QString m_sender;
    QStringList m_recipients;
    qsizetype m_nextRcpt = 0;
    QStringList m_body;
    SmtpHeaderFields m_headers;
    QList<QByteArray> m_outLines;
    qsizetype m_nextOut = 0;
};

} // namespace orvalla
