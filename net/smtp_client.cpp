#include "net/smtp_client.h"

#include "common/clock.h"
#include "common/log.h"
#include "common/text.h"
#include "net/sockets.h"
#include "net/tls.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

namespace orvalla
{

namespace
{

struct SocketFailure {
    int number;
    QString description;
};

SocketFailure socketFailure(QAbstractSocket::SocketError error, const QString &fallback)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return { SmtpErrorRefused, QStringLiteral("Connection refused") };
    case QAbstractSocket::RemoteHostClosedError:
        return { SmtpErrorReset, QStringLiteral("Connection reset by peer") };
    case QAbstractSocket::HostNotFoundError:
        return { SmtpErrorHostNotFound, QStringLiteral("Host not found") };
    case QAbstractSocket::SocketAccessError:
        return { SmtpErrorAccess, QStringLiteral("Permission denied") };
    case QAbstractSocket::SocketTimeoutError:
        return { SmtpErrorTimedOut, QStringLiteral("Connection timed out") };
    case QAbstractSocket::AddressInUseError:
        return { SmtpErrorAddressInUse, QStringLiteral("Address already in use") };
    case QAbstractSocket::NetworkError:
        return { SmtpErrorUnreachable, QStringLiteral("Network unreachable") };
    default:
        return { SmtpErrorNetworkDown, fallback.isEmpty() ? QStringLiteral("Network error") : fallback };
    }
}

QString requestName(int code)
{
    switch (code) {
    case SmtpOpen:
        return QStringLiteral("open");
    case SmtpMail:
        return QStringLiteral("mail");
    case SmtpQuit:
        return QStringLiteral("quit");
    default:
        return QString::number(code);
    }
}

} // namespace

SmtpClient::SmtpClient(QObject *parent)
    : QObject(parent)
{
}

SmtpClient::~SmtpClient()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    discardSocket(std::exchange(m_socket, nullptr), this); // a child: goes with this object
}

void SmtpClient::checkReady() const
{
    if (m_request >= 0)
        throw SmtpException("SMTP client not ready");
}

void SmtpClient::checkConnected() const
{
    if (!m_connected || !m_socket)
        throw SmtpException("SMTP client not connected");
}

void SmtpClient::startRequest(int code)
{
    ++m_serial;
    m_request = code;
    m_error = 0;
    m_socketError = 0;
    m_ehloFailed = false;
    m_lastReply.clear();
    qCInfo(lcNet, "smtp: %s request started", qPrintable(requestName(code)));
}

void SmtpClient::open()
{
    checkReady();
    if (m_connected)
        throw SmtpException("SMTP client already connected");
    startRequest(SmtpOpen);
    m_esmtp = false;
    m_port = tcpPortNumber(Port);
    if (m_port == 0) {
        // Reported like any connect failure, after open() has returned.
        const quint64 serial = m_serial;
        QTimer::singleShot(0, this, [this, serial] {
            if (serial == m_serial && m_request == SmtpOpen)
                failConnect(SmtpErrorInvalidPort, QStringLiteral("Invalid port \"%1\"").arg(Port));
        });
        return;
    }
    m_step = Step::Lookup;
    const quint64 serial = m_serial;
    m_lookupId = QHostInfo::lookupHost(
        Host.trimmed(), this, [this, serial](const QHostInfo &info) { lookedUp(info, serial); });
}

void SmtpClient::lookedUp(const QHostInfo &info, quint64 serial)
{
    if (serial != m_serial || m_step != Step::Lookup)
        return;
    m_lookupId = -1;
    // The connection leaves from 0.0.0.0, so only an IPv4 address will do.
    QHostAddress address;
    if (info.error() == QHostInfo::NoError) {
        for (const QHostAddress &a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                address = a;
                break;
            }
        }
    }
    if (address.isNull()) {
        failConnect(SmtpErrorHostNotFound, QStringLiteral("Host not found"));
        return;
    }

    if (Security != SmtpSecurity::None) {
        QSslConfiguration configuration;
        QString why;
        if (!tlsClientConfiguration(TrustedCertificates, &configuration, &why)) {
            failConnect(SmtpErrorTls, why);
            return;
        }
        auto *tls = new QSslSocket(this);
        tls->setSslConfiguration(configuration);
        tls->setPeerVerifyName(Host.trimmed());
        connect(tls, &QSslSocket::encrypted, this, &SmtpClient::tlsEncrypted);
        connect(tls, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
            tlsFailed(QStringLiteral("TLS refused: ") + tlsRefusal(errors));
        });
        m_socket = tls;
    } else {
        m_socket = new QTcpSocket(this);
    }
    connect(m_socket, &QTcpSocket::connected, this, &SmtpClient::socketConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &SmtpClient::readReplies);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &SmtpClient::socketError);
    connect(m_socket, &QTcpSocket::disconnected, this, &SmtpClient::socketClosed);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &SmtpClient::sendMessageLines);
    m_step = Step::Connecting;
    if (!m_socket->bind(QHostAddress::AnyIPv4, 0)) {
        const SocketFailure f = socketFailure(m_socket->error(), m_socket->errorString());
        failConnect(f.number, f.description);
        return;
    }
    m_socket->connectToHost(address, m_port);
}

void SmtpClient::failConnect(int error, const QString &description)
{
    const int request = m_request;
    dropSocket();
    m_lastReply = QStringLiteral("500 %1 (socket error #%2)").arg(description).arg(error);
    qCWarning(lcNet, "smtp: cannot connect to %s port %u: %s", qPrintable(Host), unsigned(m_port),
        qPrintable(m_lastReply));
    const quint64 serial = m_serial;
    Q_EMIT sessionConnected(error);
    if (serial == m_serial && m_request == request)
        finish(error);
}

void SmtpClient::socketConnected()
{
    m_tcpUp = true;
    if (m_step != Step::Connecting)
        return;
    if (Security == SmtpSecurity::Tls) {
        // Not a byte in clear: the greeting comes over TLS.
        m_step = Step::TlsHandshake;
        qobject_cast<QSslSocket *>(m_socket)->startClientEncryption();
        return;
    }
    m_step = Step::Greeting;
}

void SmtpClient::tlsEncrypted()
{
    auto *tls = qobject_cast<QSslSocket *>(m_socket);
    if (!tls || m_step != Step::TlsHandshake)
        return;
    m_encrypted = true;
    Q_EMIT display(QStringLiteral("! TLS: ") + tlsOutcome(*tls));
    if (!m_connected) {
        m_step = Step::Greeting;
        return;
    }
    // After STARTTLS the server forgets what it was told: greet it again.
    m_esmtp = false;
    sendEhloOrHelo(true);
}

void SmtpClient::tlsFailed(const QString &description)
{
    qCWarning(lcNet, "smtp: %s", qPrintable(description));
    Q_EMIT display(QStringLiteral("! ") + description);
    if (!m_connected) {
        failConnect(SmtpErrorTls, description);
        return;
    }
    m_lastReply = QStringLiteral("500 %1 (socket error #%2)").arg(description).arg(SmtpErrorTls);
    refuseClearText(SmtpErrorTls, QString());
}

void SmtpClient::refuseClearText(int error, const QString &why)
{
    // The connection is dropped rather than left open: the mail request that
    // follows must not go out in clear.
    if (!why.isEmpty()) {
        m_lastReply = why;
        Q_EMIT display(QStringLiteral("! ") + why);
    }
    dropAndFinish(error);
}

void SmtpClient::dropAndFinish(int error)
{
    const int request = m_request;
    const bool wasUp = dropSocket();
    const quint64 serial = m_serial;
    if (wasUp)
        Q_EMIT sessionClosed();
    // A slot of sessionClosed may have started another request: leave it be.
    if (request >= 0 && serial == m_serial && m_request == request)
        finish(error);
}

void SmtpClient::socketError()
{
    if (!m_socket)
        return;
    const QAbstractSocket::SocketError e = m_socket->error();
    if (e == QAbstractSocket::SslHandshakeFailedError || e == QAbstractSocket::SslInternalError) {
        tlsFailed(QStringLiteral("TLS failed: ") + m_socket->errorString());
        return;
    }
    if (!m_tcpUp) {
        if (m_step == Step::Connecting) {
            const SocketFailure f = socketFailure(e, m_socket->errorString());
            failConnect(f.number, f.description);
        }
        return;
    }
    if (e == QAbstractSocket::RemoteHostClosedError)
        return; // disconnected() follows and applies the closed-connection rule
    const SocketFailure f = socketFailure(e, m_socket->errorString());
    m_socketError = f.number;
    m_lastReply = QStringLiteral("500 %1 (socket error #%2)").arg(f.description).arg(f.number);
    socketClosed();
}

void SmtpClient::socketClosed()
{
    if (!m_socket)
        return;
    const int request = m_request;
    const Step step = m_step;
    const int socketError = m_socketError;
    const bool wasUp = dropSocket();
    if (!wasUp && step == Step::Connecting) {
        failConnect(SmtpErrorRefused, QStringLiteral("Connection refused"));
        return;
    }
    qCInfo(lcNet, "smtp: connection closed");
    const quint64 serial = m_serial;
    Q_EMIT sessionClosed();
    if (request < 0 || serial != m_serial || m_request != request)
        return;
    if (request == SmtpQuit)
        finish(0);
    else
        finish(socketError ? socketError : SmtpErrorClosed);
}

bool SmtpClient::dropSocket()
{
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    const bool wasUp = m_tcpUp;
    discardSocket(std::exchange(m_socket, nullptr), this);
    m_tcpUp = false;
    m_connected = false;
    m_esmtp = false;
    m_encrypted = false;
    m_ehloLines.clear();
    m_receive.clear();
    m_socketError = 0;
    m_step = Step::None;
    m_outLines.clear();
    m_nextOut = 0;
    return wasUp;
}

void SmtpClient::abort()
{
    const int request = m_request;
    const bool wasUp = dropSocket();
    ++m_serial; // forget queued completions and look-ups of the dropped session
    if (wasUp) {
        qCInfo(lcNet, "smtp: connection aborted");
        Q_EMIT sessionClosed();
    }
    if (request >= 0 && m_request == request)
        finish(request == SmtpQuit ? 0 : SmtpErrorClosed);
}

void SmtpClient::readReplies()
{
    if (!m_socket)
        return;
    m_receive += m_socket->readAll();
    QTcpSocket *const socket = m_socket;
    while (m_socket == socket) {
        const SmtpReplyLine r = parseSmtpReplyLine(m_receive);
        if (r.status == SmtpReplyLine::Incomplete)
            return;
        m_receive.remove(0, r.consumed);
        if (r.status == SmtpReplyLine::Bad) {
            badReply(r.text);
            return;
        }
        replyLine(r.text, r.code, r.continued);
    }
}

void SmtpClient::replyLine(const QByteArray &text, int code, bool continued)
{
    QTcpSocket *const socket = m_socket;
    m_lastReply = fromCp1252(text);
    if (m_step == Step::Ehlo)
        m_ehloLines.append(m_lastReply);
    Q_EMIT display(QStringLiteral("< ") + m_lastReply);
    if (m_socket != socket || continued)
        return;
    replyDone(code);
}

void SmtpClient::badReply(const QByteArray &text)
{
    // Not an SMTP reply: the dialogue cannot be trusted any more.
    m_lastReply = fromCp1252(text.left(200));
    qCWarning(lcNet, "smtp: bad reply line \"%s\", dropping the connection", qPrintable(m_lastReply));
    QTcpSocket *const socket = m_socket;
    Q_EMIT display(QStringLiteral("< ") + m_lastReply);
    if (m_socket != socket)
        return;
    dropAndFinish(500);
}

void SmtpClient::replyDone(int code)
{
    switch (m_step) {
    case Step::Greeting:
        if (code != 220) {
            const int request = m_request;
            dropSocket();
            const quint64 serial = m_serial;
            Q_EMIT sessionClosed();
            if (serial == m_serial && m_request == request)
                finish(code);
            return;
        }
        m_connected = true;
        qCInfo(lcNet, "smtp: connected to %s port %u", qPrintable(Host), unsigned(m_port));
        {
            const quint64 serial = m_serial;
            Q_EMIT sessionConnected(0);
            if (serial != m_serial || m_step != Step::Greeting)
                return;
        }
        afterGreeting();
        return;
    case Step::Ehlo:
        if (code == 250) {
            m_esmtp = true;
            if (Security == SmtpSecurity::StartTls && !m_encrypted) {
                if (!smtpOffers(m_ehloLines, QStringLiteral("STARTTLS"))) {
                    refuseClearText(
                        454, QStringLiteral("454 STARTTLS not offered by the server; nothing more is sent"));
                    return;
                }
                sendCommand(Step::StartTls, QStringLiteral("STARTTLS"));
                return;
            }
            afterHello();
        } else if (Security == SmtpSecurity::StartTls && !m_encrypted) {
            // HELO knows no STARTTLS: the session cannot be protected.
            refuseClearText(code, QStringLiteral("%1 EHLO refused; STARTTLS needs it").arg(code));
        } else {
            // Not an ESMTP server: greet it the old way; the open ends after that.
            m_ehloFailed = true;
            m_error = code;
            sendEhloOrHelo(false);
        }
        return;
    case Step::Helo:
        if (m_ehloFailed)
            finish(m_error);
        else if (code == 250)
            afterHello();
        else
            finish(code);
        return;
    case Step::StartTls:
        if (code != 220) {
            refuseClearText(code, QStringLiteral("%1 STARTTLS refused; nothing more is sent").arg(code));
            return;
        }
        m_step = Step::TlsHandshake;
        m_receive.clear(); // nothing said before the handshake may count after it
        qobject_cast<QSslSocket *>(m_socket)->startClientEncryption();
        return;
    case Step::AuthPlain:
        if (code != 235)
            return stepFailed(code);
        finish(0);
        return;
    case Step::AuthLogin:
        if (code != 334)
            return stepFailed(code);
        sendCommand(Step::AuthUser, QString::fromLatin1(toCp1252(Username).toBase64()));
        return;
    case Step::AuthUser:
        if (code != 334)
            return stepFailed(code);
        // The password stays off the screen, even in Base64.
        sendCommand(Step::AuthPassword, QString::fromLatin1(toCp1252(Password).toBase64()),
            QStringLiteral("********"));
        return;
    case Step::AuthPassword:
        if (code != 235)
            return stepFailed(code);
        finish(0);
        return;
    case Step::MailFrom:
        if (code != 250)
            return stepFailed(code);
        sendNextRcpt();
        return;
    case Step::RcptTo:
        if (code != 250 && code != 251)
            return stepFailed(code);
        sendNextRcpt();
        return;
    case Step::Data:
        if (code != 354)
            return stepFailed(code);
        startMessage();
        return;
    case Step::Message:
        // The server spoke before the end of the message: only a refusal matters.
        if (code >= 400)
            stepFailed(code);
        return;
    case Step::EndOfMessage:
        if (code != 250)
            return stepFailed(code);
        finish(0);
        return;
    case Step::Quit:
        if (code != 221)
            return stepFailed(code);
        // The server closes now; the request ends with the close.
        m_step = Step::QuitClosing;
        m_socket->disconnectFromHost();
        return;
    case Step::None:
    case Step::Lookup:
    case Step::Connecting:
    case Step::TlsHandshake:
    case Step::QuitClosing:
        return; // nothing awaits a reply
    }
}

void SmtpClient::afterGreeting()
{
    sendEhloOrHelo(AuthType != Auth::None || Security == SmtpSecurity::StartTls);
}

void SmtpClient::sendEhloOrHelo(bool ehlo)
{
    m_ehloLines.clear();
    const QString name = smtpSignOnName(SignOn, localHostName());
    if (ehlo)
        sendCommand(Step::Ehlo, QStringLiteral("EHLO ") + name);
    else
        sendCommand(Step::Helo, QStringLiteral("HELO ") + name);
}

void SmtpClient::afterHello()
{
    if (AuthType == Auth::None) {
        finish(0);
        return;
    }
    startAuth();
}

void SmtpClient::startAuth()
{
    if (!m_esmtp) {
        m_lastReply = QStringLiteral("500 ESMTP not supported.");
        finish(500);
        return;
    }
    // Over TLS the server's choice counts: PLAIN when offered, else LOGIN. In
    // clear, LOGIN as always.
    if (m_encrypted && smtpOffers(m_ehloLines, QStringLiteral("AUTH"), QStringLiteral("PLAIN"))) {
        sendCommand(Step::AuthPlain,
            QStringLiteral("AUTH PLAIN ") + QString::fromLatin1(smtpPlainCredentials(Username, Password)),
            QStringLiteral("AUTH PLAIN ********"));
        return;
    }
    sendCommand(Step::AuthLogin, QStringLiteral("AUTH LOGIN"));
}

void SmtpClient::mail()
{
    checkReady();
    checkConnected();
    if (RcptName.isEmpty())
        throw SmtpException("Recipient list is empty");
    startRequest(SmtpMail);
    m_sender = smtpAddress(FromName);
    m_recipients = RcptName;
    m_nextRcpt = 0;
    m_body = MailMessage;
    m_headers.from = HdrFrom;
    m_headers.to = HdrTo;
    m_headers.cc = HdrCc;
    m_headers.subject = HdrSubject;
    m_headers.replyTo = HdrReplyTo;
    m_headers.returnPath = HdrReturnPath;
    m_headers.sender = HdrSender;
    m_headers.contentType = ContentType;
    m_headers.charSet = CharSet;
    sendCommand(Step::MailFrom, QStringLiteral("MAIL FROM:<") + m_sender + u'>');
}

void SmtpClient::sendNextRcpt()
{
    if (m_nextRcpt < m_recipients.size()) {
        const QString address = smtpAddress(m_recipients[m_nextRcpt++]);
        sendCommand(Step::RcptTo, QStringLiteral("RCPT TO:<") + address + u'>');
        return;
    }
    sendCommand(Step::Data, QStringLiteral("DATA"));
}

void SmtpClient::startMessage()
{
    const QDateTime now = nowUtc();
    std::array<int, 4> randoms {};
    for (int &r : randoms)
        r = int(QRandomGenerator::global()->bounded(32767));
    const QString host = localHostName();
    const QStringList headers
        = smtpHeaderLines(m_headers, smtpDateHeader(now), smtpMessageIdHeader(now, randoms, host));
    m_outLines.clear();
    for (const QString &h : headers)
        m_outLines.append(toCp1252(h));
    m_outLines.append(QByteArray());
    // A body line holding a line break would end the line early (and a "."
    // after it would end the message): every piece is a line of its own.
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    for (const QString &line : std::as_const(m_body)) {
        for (const QString &piece : line.split(lineBreak))
            m_outLines.append(toCp1252(smtpDotStuff(piece)));
    }
    m_nextOut = 0;
    m_step = Step::Message;
    sendMessageLines();
}

void SmtpClient::sendMessageLines()
{
    if (m_step != Step::Message || !m_socket)
        return;
    QTcpSocket *const socket = m_socket;
    while (m_nextOut < m_outLines.size() && socket->bytesToWrite() < kSendWindow) {
        const QByteArray line = m_outLines[m_nextOut++];
        socket->write(line + "\r\n");
        Q_EMIT display(QStringLiteral("> ") + fromCp1252(line));
        if (m_socket != socket || m_step != Step::Message)
            return;
    }
    if (m_nextOut >= m_outLines.size()) {
        m_outLines.clear();
        m_nextOut = 0;
        sendCommand(Step::EndOfMessage, QStringLiteral("."));
    }
}

void SmtpClient::quit()
{
    checkReady();
    startRequest(SmtpQuit);
    if (!m_connected || !m_socket) {
        const quint64 serial = m_serial;
        QTimer::singleShot(0, this, [this, serial] {
            if (serial == m_serial && m_request == SmtpQuit)
                finish(0);
        });
        return;
    }
    sendCommand(Step::Quit, QStringLiteral("QUIT"));
}

void SmtpClient::sendCommand(Step step, const QString &command, const QString &shown)
{
    if (!m_socket)
        throw SmtpException("SMTP client not connected");
    m_step = step;
    m_socket->write(toCp1252(smtpOneLine(command)) + "\r\n");
    Q_EMIT display(QStringLiteral("> ") + (shown.isEmpty() ? smtpOneLine(command) : shown));
}

void SmtpClient::stepFailed(int code)
{
    finish(code);
}

void SmtpClient::finish(int error)
{
    const int request = m_request;
    m_request = -1;
    m_error = error;
    m_step = Step::None;
    m_outLines.clear();
    m_nextOut = 0;
    if (error == 0)
        qCInfo(lcNet, "smtp: %s request done", qPrintable(requestName(request)));
    else
        qCWarning(lcNet, "smtp: %s request failed with error %d (%s)", qPrintable(requestName(request)),
            error, qPrintable(m_lastReply));
    Q_EMIT requestDone(request, error);
}

QDateTime SmtpClient::nowUtc() const
{
    if (m_clock)
        return QDateTime::fromSecsSinceEpoch(qint64(m_clock->now()), Qt::UTC);
    return QDateTime::currentDateTimeUtc();
}

QString SmtpClient::localHostName() const
{
    const QString name = QHostInfo::localHostName();
    return name.isEmpty() ? QStringLiteral("localhost") : name;
}

} // namespace orvalla
