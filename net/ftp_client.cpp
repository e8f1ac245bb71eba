#include "net/ftp_client.h"

#include "net/ftp_reply.h"
#include "net/sockets.h"
#include "net/tls.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <utility>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <sys/file.h>
#endif

namespace orvalla
{

namespace
{

// The engine's own failures carry this code, as a server's "transfer aborted".
constexpr int kEngineError = 426;
constexpr qint64 kChunk = 64 * 1024;
// Bytes kept queued on the data connection; more is read from the file as they drain.
constexpr qint64 kHighWater = 256 * 1024;

// Keeps writers that take a lock away from the file while it is sent. Linux has
// no mandatory deny-write sharing; an advisory shared lock is as far as it goes.
bool lockForReading(QFile &file)
{
#if defined(Q_OS_UNIX)
    if (::flock(file.handle(), LOCK_SH | LOCK_NB) != 0)
        return errno != EWOULDBLOCK;
#else
    Q_UNUSED(file);
#endif
    return true;
}

// Bytes handed to the socket that have not reached the network yet. A TLS
// socket reports its plain bytes as written once encrypted; closing before
// the encrypted ones have left would cut the file short.
qint64 unsentBytes(const QTcpSocket &socket)
{
    qint64 pending = socket.bytesToWrite();
    if (const auto *tls = qobject_cast<const QSslSocket *>(&socket))
        pending += tls->encryptedBytesToWrite();
    return pending;
}

bool sameIPv4(const QHostAddress &a, const QHostAddress &b)
{
    bool okA = false;
    bool okB = false;
    const quint32 ipA = a.toIPv4Address(&okA);
    const quint32 ipB = b.toIPv4Address(&okB);
    return okA && okB && ipA == ipB;
}

// Hands over each accepted data connection as a QSslSocket, on which the
// console is then the TLS client, as explicit TLS has it in active mode.
class TlsDataServer : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};

} // namespace

FtpClient::FtpClient(QObject *parent)
    : QObject(parent)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &FtpClient::onDeadline);
}

FtpClient::~FtpClient()
{
    m_requestActive = false;
    closeData();
    closeControl();
    if (m_loop)
        m_loop->quit();
}

bool FtpClient::mayStart(bool needConnection)
{
    if (m_requestActive) {
        show(QStringLiteral("! FTP client busy"));
        return false;
    }
    if (m_connected != needConnection) {
        m_error = kEngineError;
        m_errorMessage = needConnection ? QStringLiteral("FTP client not connected")
                                        : QStringLiteral("FTP client already connected");
        show(QStringLiteral("! ") + m_errorMessage);
        return false;
    }
    return true;
}

QList<FtpClient::Step> FtpClient::loginSteps() const
{
    if (m_security == Security::None)
        return { Step::Open, Step::User, Step::Pass, Step::Acct };
    return { Step::Open, Step::AuthTls, Step::User, Step::Pass, Step::Acct, Step::Pbsz, Step::Prot };
}

bool FtpClient::Transmit()
{
    if (!mayStart(false))
        return false;
    QList<Step> steps = loginSteps();
    if (!m_hostDirName.isEmpty())
        steps.append(Step::Cwd);
    steps << Step::Type << dataStep() << Step::Stor << Step::Quit;
    return runRequest(steps);
}

bool FtpClient::Connect()
{
    if (!mayStart(false))
        return false;
    return runRequest(loginSteps());
}

bool FtpClient::Put()
{
    if (!mayStart(true))
        return false;
    // TYPE comes with every store: a session opened by Connect has not chosen
    // image type yet, and ASCII type would rewrite line ends of binary files.
    return runRequest({ Step::Type, dataStep(), Step::Stor });
}

bool FtpClient::Quit()
{
    if (!mayStart(true))
        return false;
    return runRequest({ Step::Quit });
}

bool FtpClient::Abort()
{
    closeData();
    closeControl();
    if (m_requestActive) {
        if (m_error == 0) {
            m_error = kEngineError;
            m_errorMessage = QStringLiteral("426 Aborted");
        }
        show(QStringLiteral("! 426 Aborted"));
        endRequest();
    }
    return true;
}

bool FtpClient::runRequest(QList<Step> steps)
{
    m_error = 0;
    m_errorMessage.clear();
    m_requestActive = true;
    m_steps = std::move(steps);
    m_stepRunning = false;
    m_awaitingReply = false;
    // Only data progress moves the deadline: a conversation that merely chats
    // on the control connection still ends Timeout seconds after it started.
    if (m_timeout > 0)
        m_deadline.start(m_timeout * 1000);

    QPointer<FtpClient> self(this);
    startStep();
    while (self && m_requestActive) {
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        if (!self)
            return false;
        m_loop = nullptr;
        // The loop was told to leave without the request ending: the
        // application is terminating. Give up as a time-out would.
        if (m_requestActive)
            onDeadline();
    }
    return self && m_error == 0;
}

void FtpClient::startStep()
{
    if (!m_requestActive)
        return;
    if (m_steps.isEmpty()) {
        endRequest();
        return;
    }
    m_stepRunning = true;
    switch (m_steps.first()) {
    case Step::Open: {
        const quint16 port = tcpPortNumber(m_port);
        if (port == 0) {
            fail(kEngineError, QStringLiteral("Invalid port \"%1\"").arg(m_port), true);
            return;
        }
        if (m_hostName.trimmed().isEmpty()) {
            fail(kEngineError, QStringLiteral("HostName empty"), true);
            return;
        }
        closeControl();
        m_protectedData = false;
        QTcpSocket *socket = nullptr;
        if (m_security != Security::None) {
            QString why;
            if (!tlsClientConfiguration(m_trustedCertificates, &m_tlsConfiguration, &why)) {
                fail(kEngineError, why, true);
                return;
            }
            // TLS 1.3 servers send session tickets after the handshake, also
            // on data connections; one still unread when the file's end closes
            // the socket makes the system answer with a reset, and the server
            // loses the end of the file. TLS 1.2 sends nothing after the
            // handshake.
            m_tlsConfiguration.setProtocol(QSsl::TlsV1_2);
            auto *tls = new QSslSocket(this);
            tls->setSslConfiguration(m_tlsConfiguration);
            tls->setPeerVerifyName(m_hostName.trimmed());
            connect(tls, &QSslSocket::encrypted, this, &FtpClient::onControlEncrypted);
            connect(tls, &QSslSocket::sslErrors, this, &FtpClient::onSslErrors);
            socket = tls;
        } else {
            socket = new QTcpSocket(this);
        }
        socket->setProxy(QNetworkProxy::NoProxy);
        connect(socket, &QTcpSocket::connected, this, &FtpClient::onControlConnected);
        connect(socket, &QTcpSocket::readyRead, this, &FtpClient::onControlReadyRead);
        connect(socket, &QTcpSocket::errorOccurred, this, &FtpClient::onControlError);
        connect(socket, &QTcpSocket::disconnected, this, &FtpClient::onControlClosed);
        m_control = socket;
        show(QStringLiteral("! Connecting to %1:%2").arg(m_hostName.trimmed()).arg(port));
        // PORT carries an IPv4 address, so in active mode the control
        // connection is IPv4 too; passive mode has EPSV for IPv6.
        socket->connectToHost(m_hostName.trimmed(), port, QIODevice::ReadWrite,
            m_passive ? QAbstractSocket::AnyIPProtocol : QAbstractSocket::IPv4Protocol);
        return;
    }
    case Step::AuthTls:
        sendCommand("AUTH TLS", { 234 });
        return;
    case Step::Pbsz:
        sendCommand("PBSZ 0", { 200 });
        return;
    case Step::Prot:
        sendCommand("PROT P", { 200 });
        return;
    case Step::User:
        if (m_userName.isEmpty()) {
            fail(kEngineError, QStringLiteral("UserName empty"), true);
            return;
        }
        sendCommand("USER " + m_userName.toUtf8(), { 331, 230 });
        return;
    case Step::Pass:
        if (m_passWord.isEmpty()) {
            fail(kEngineError, QStringLiteral("Password empty"), true);
            return;
        }
        // The password field is masked on screen; the result memo must not show it either.
        sendCommand("PASS " + m_passWord.toUtf8(), { 230, 332 }, "PASS ****");
        return;
    case Step::Acct:
        // Asked for by the server (332); an empty account is sent as it is
        // and the server decides.
        sendCommand("ACCT " + m_account.toUtf8(), { 230, 202 }, "ACCT ****");
        return;
    case Step::Cwd:
        if (m_hostDirName.isEmpty()) {
            fail(kEngineError, QStringLiteral("HostDirName empty"), true);
            return;
        }
        sendCommand("CWD " + m_hostDirName.toUtf8(), { 200, 250, 257 });
        return;
    case Step::Type:
        sendCommand(m_binary ? "TYPE I" : "TYPE A", { 200 });
        return;
    case Step::Port:
        startPort();
        return;
    case Step::Pasv:
        startPasv();
        return;
    case Step::Stor:
        startStor();
        return;
    case Step::Quit:
        if (!m_connected) {
            stepDone();
            return;
        }
        sendCommand("QUIT", { 221 });
        return;
    }
}

void FtpClient::stepDone()
{
    m_stepRunning = false;
    m_awaitingReply = false;
    if (!m_steps.isEmpty())
        m_steps.removeFirst();
    startStep();
}

void FtpClient::fail(int code, const QString &message, bool showMessage)
{
    if (!m_requestActive)
        return;
    if (m_error == 0) {
        m_error = code;
        m_errorMessage = message;
    }
    if (showMessage)
        show(QStringLiteral("! ") + message);
    closeData();
    const bool inQuit = !m_steps.isEmpty() && m_steps.first() == Step::Quit;
    const bool quitLater = !inQuit && m_steps.contains(Step::Quit);
    m_steps.clear();
    m_stepRunning = false;
    m_awaitingReply = false;
    if (inQuit)
        closeControl(); // the conversation is over whatever the server said
    else if (quitLater && m_connected)
        m_steps.append(Step::Quit); // a request that includes QUIT still ends the conversation
    startStep();
}

void FtpClient::endRequest()
{
    if (!m_requestActive)
        return;
    m_requestActive = false;
    m_steps.clear();
    m_stepRunning = false;
    m_awaitingReply = false;
    m_deadline.stop();
    closeData();
    if (m_loop)
        m_loop->quit();
    Q_EMIT requestDone(m_error);
}

void FtpClient::sendCommand(const QByteArray &command, QList<int> accepted, const QByteArray &shown)
{
    if (command.contains('\r') || command.contains('\n') || command.contains('\0')) {
        fail(kEngineError, QStringLiteral("Invalid character in command"), true);
        return;
    }
    if (!m_control || !m_connected) {
        fail(kEngineError, QStringLiteral("FTP client not connected"), true);
        return;
    }
    m_accepted = std::move(accepted);
    m_awaitingReply = true;
    show(QStringLiteral("> ") + QString::fromUtf8(shown.isEmpty() ? command : shown));
    m_control->write(command + "\r\n");
}

void FtpClient::onControlConnected()
{
    m_connected = true;
    m_buffer.clear();
    // The greeting is the reply to the connection itself.
    m_accepted = { 220 };
    m_awaitingReply = true;
}

void FtpClient::onControlReadyRead()
{
    if (!m_control)
        return;
    m_buffer += m_control->readAll();
    while (m_control && !m_buffer.isEmpty()) {
        const FtpReply reply = parseFtpReply(m_buffer);
        if (reply.status == FtpReply::Incomplete)
            return;
        if (reply.status == FtpReply::Bad) {
            // The dialogue cannot be resynchronised: give the connection up.
            show(QStringLiteral("! Invalid reply from server"));
            closeControl();
            fail(kEngineError, QStringLiteral("Invalid reply from server"), false);
            return;
        }
        m_buffer.remove(0, reply.consumed);
        for (const QByteArray &line : reply.lines)
            show(QStringLiteral("< ") + QString::fromUtf8(line));
        m_lastResponse = reply.lines.last();
        m_statusCode = reply.code;
        onReply(reply.code, reply.lines.last());
    }
}

void FtpClient::onControlEncrypted()
{
    auto *tls = qobject_cast<QSslSocket *>(m_control.data());
    if (!tls || !m_requestActive || m_steps.isEmpty() || m_steps.first() != Step::AuthTls)
        return;
    show(QStringLiteral("! TLS: ") + tlsOutcome(*tls));
    stepDone();
}

void FtpClient::onSslErrors(const QList<QSslError> &errors)
{
    // Never ignored: the request ends here, before a password or a byte of
    // the file could leave.
    const QString why = QStringLiteral("TLS refused: ") + tlsRefusal(errors);
    closeData();
    closeControl();
    fail(kEngineError, why, true);
}

void FtpClient::onControlError()
{
    if (!m_control)
        return;
    const QAbstractSocket::SocketError error = m_control->error();
    if (error == QAbstractSocket::SslHandshakeFailedError || error == QAbstractSocket::SslInternalError) {
        const QString why = QStringLiteral("TLS failed: ") + m_control->errorString();
        closeControl();
        fail(kEngineError, why, true);
        return;
    }
    if (m_connected) {
        // A lost connection: handled as a close (disconnected may follow, or not).
        onControlClosed();
        return;
    }
    // Look-up or connection failure.
    const QString why = m_control->errorString();
    closeControl();
    fail(kEngineError, why, true);
}

void FtpClient::onControlClosed()
{
    if (!m_control)
        return;
    // Replies that came just before the close still count (the server may
    // answer QUIT or a refused STOR and hang up at once).
    if (m_control->bytesAvailable() > 0)
        onControlReadyRead();
    if (!m_control)
        return;
    closeControl();
    if (!m_requestActive) {
        show(QStringLiteral("! Connection closed by server"));
        return;
    }
    if (!m_steps.isEmpty() && m_steps.first() == Step::Quit) {
        stepDone();
        return;
    }
    fail(kEngineError, QStringLiteral("Connection closed by server"), true);
}

void FtpClient::onReply(int code, const QByteArray &line)
{
    if (!m_requestActive || !m_awaitingReply || m_steps.isEmpty())
        return; // unsolicited, e.g. 421 on an idle connection: shown already
    const Step step = m_steps.first();
    if (step == Step::Stor) {
        onStorReply(code, line);
        return;
    }
    if (step == Step::Pasv) {
        onPasvReply(code, line);
        return;
    }
    const bool accepted = m_accepted.isEmpty() ? code < 500 : m_accepted.contains(code);
    m_awaitingReply = false;
    if (!accepted) {
        fail(code, QString::fromUtf8(line), false);
        return;
    }
    if (step == Step::AuthTls) {
        // The reply was the last clear-text byte: the handshake comes next,
        // and USER waits for it.
        auto *tls = qobject_cast<QSslSocket *>(m_control.data());
        if (!tls) {
            fail(kEngineError, QStringLiteral("TLS not available"), true);
            return;
        }
        m_awaitingReply = false;
        tls->startClientEncryption();
        return;
    }
    if (step == Step::Prot)
        m_protectedData = true;
    if (step == Step::User && code == 230) {
        m_steps.removeAll(Step::Pass);
        m_steps.removeAll(Step::Acct);
    } else if (step == Step::Pass && code != 332) {
        m_steps.removeAll(Step::Acct);
    } else if (step == Step::Quit) {
        closeControl();
    }
    stepDone();
}

void FtpClient::startPort()
{
    closeData();
    if (!m_control || !m_connected) {
        fail(kEngineError, QStringLiteral("FTP client not connected"), true);
        return;
    }
    bool ipv4 = false;
    const quint32 address = m_control->localAddress().toIPv4Address(&ipv4);
    QTcpServer *listener = m_protectedData ? new TlsDataServer(this) : new QTcpServer(this);
    listener->setProxy(QNetworkProxy::NoProxy);
    if (!ipv4 || !listener->listen(QHostAddress::AnyIPv4, 0)) {
        const int error = int(listener->serverError());
        delete listener;
        fail(kEngineError, QStringLiteral("Data connection bind failed, error #%1").arg(error), true);
        return;
    }
    connect(listener, &QTcpServer::newConnection, this, &FtpClient::onDataConnection);
    m_listener = listener;
    sendCommand(ftpPortCommand(address, listener->serverPort()), { 200, 227 });
}

void FtpClient::startPasv()
{
    closeData();
    if (!m_control || !m_connected) {
        fail(kEngineError, QStringLiteral("FTP client not connected"), true);
        return;
    }
    // PASV answers with an IPv4 address only.
    bool ipv4 = false;
    m_control->peerAddress().toIPv4Address(&ipv4);
    const bool ipv6 = !ipv4;
    sendCommand(ipv6 ? "EPSV" : "PASV", { ipv6 ? 229 : 227 });
}

void FtpClient::onPasvReply(int code, const QByteArray &line)
{
    m_awaitingReply = false;
    if (!m_accepted.contains(code)) {
        fail(code, QString::fromUtf8(line), false);
        return;
    }
    const FtpPassiveTarget target = code == 229 ? parseEpsvReply(line) : parsePasvReply(line);
    if (!target.ok || !m_control) {
        fail(kEngineError, QStringLiteral("Invalid passive mode reply"), true);
        return;
    }
    const QHostAddress peer = m_control->peerAddress();
    QHostAddress address = code == 229 ? peer : QHostAddress(target.ipv4);
    if (code == 227 && ftpUnroutable(target.ipv4) && !sameIPv4(address, peer)) {
        // A server behind address translation names its inner address.
        show(QStringLiteral("! Passive address %1 is not reachable from here; using %2")
                 .arg(address.toString(), peer.toString()));
        address = peer;
    }
    QTcpSocket *socket = m_protectedData ? new QSslSocket(this) : new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    adoptDataSocket(socket);
    connect(socket, &QTcpSocket::connected, this, &FtpClient::onDataConnected);
    show(QStringLiteral("! Data connection to %1:%2").arg(address.toString()).arg(target.port));
    socket->connectToHost(address, target.port);
    // STOR goes out while the data connection is being made; the file
    // follows once both the 150 and the connection are there.
    stepDone();
}

void FtpClient::adoptDataSocket(QTcpSocket *socket)
{
    m_data = socket;
    m_dataReady = false;
    m_dataClosed = false;
    connect(socket, &QTcpSocket::bytesWritten, this, &FtpClient::onDataBytesWritten);
    connect(socket, &QTcpSocket::disconnected, this, &FtpClient::onDataClosed);
    connect(socket, &QTcpSocket::errorOccurred, this, &FtpClient::onDataError);
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    if (auto *tls = qobject_cast<QSslSocket *>(socket)) {
        // The control connection's configuration carries its session, which
        // the data connection resumes: servers that check it refuse others.
        auto *control = qobject_cast<QSslSocket *>(m_control.data());
        tls->setSslConfiguration(control ? control->sslConfiguration() : m_tlsConfiguration);
        tls->setPeerVerifyName(m_hostName.trimmed());
        connect(tls, &QSslSocket::encrypted, this, &FtpClient::onDataEncrypted);
        connect(tls, &QSslSocket::encryptedBytesWritten, this, [this] {
            restartDeadline();
            sendData();
        });
        connect(tls, &QSslSocket::sslErrors, this, &FtpClient::onSslErrors);
    }
}

void FtpClient::onDataConnected()
{
    if (qobject_cast<QSslSocket *>(m_data.data())) {
        startDataTls();
        return;
    }
    dataReady();
}

void FtpClient::startDataTls()
{
    // The handshake waits for the server's 150: a server may not listen for
    // it on a data connection before the transfer is set up.
    auto *tls = qobject_cast<QSslSocket *>(m_data.data());
    if (!tls || !m_storAccepted || tls->state() != QAbstractSocket::ConnectedState
        || tls->mode() != QSslSocket::UnencryptedMode)
        return;
    tls->startClientEncryption();
}

void FtpClient::onDataEncrypted()
{
    dataReady();
}

void FtpClient::onDataError()
{
    if (!m_data)
        return;
    if (!m_dataReady && !m_dataClosed) {
        // The connection was never made: no file can go.
        fail(kEngineError, QStringLiteral("Data connection failed: ") + m_data->errorString(), true);
        return;
    }
    onDataClosed();
}

void FtpClient::dataReady()
{
    m_dataReady = true;
    sendData();
}

void FtpClient::startStor()
{
    if (m_file.isOpen())
        m_file.close();
    m_file.setFileName(m_localFileName);
    if (m_localFileName.isEmpty() || !m_file.open(QIODevice::ReadOnly) || !lockForReading(m_file)) {
        if (m_file.isOpen())
            m_file.close();
        fail(kEngineError, QStringLiteral("426 Unable to open local file ") + m_localFileName, true);
        return;
    }
    m_storPhase = StorPhase::WaitingFirst;
    m_storAccepted = false;
    m_finalReply = false;
    m_dataClosed = false;
    m_fileSent = false;
    m_sent = 0;
    m_total = m_file.size();
    sendCommand("STOR " + m_hostFileName.toUtf8(), {});
}

void FtpClient::onStorReply(int code, const QByteArray &line)
{
    if (m_storPhase == StorPhase::WaitingFirst) {
        if (code == 150 || code == 125) {
            m_storPhase = StorPhase::Transferring;
            m_storAccepted = true;
            startDataTls();
            sendData();
            return;
        }
        m_awaitingReply = false;
        fail(code, QString::fromUtf8(line), false);
        return;
    }
    if (code < 200)
        return; // another preliminary reply: keep waiting for the final one
    m_awaitingReply = false;
    if (code == 226 || code == 250) {
        m_finalReply = true;
        finishStorIfDone();
        return;
    }
    show(QStringLiteral("! STOR Failed"));
    fail(code, QString::fromUtf8(line), false);
}

void FtpClient::onDataConnection()
{
    while (m_listener && m_listener->hasPendingConnections()) {
        QTcpSocket *socket = m_listener->nextPendingConnection();
        // Only the server may take the file: anyone else who finds the
        // listening port first is turned away.
        const bool fromServer = m_control && sameIPv4(socket->peerAddress(), m_control->peerAddress());
        if (m_data || !fromServer) {
            show(QStringLiteral("! Data connection from %1 refused").arg(socket->peerAddress().toString()));
            discardSocket(socket, this);
            continue;
        }
        adoptDataSocket(socket);
    }
    if (m_data) {
        if (m_listener)
            m_listener->close();
        if (!m_dataReady)
            onDataConnected();
    }
}

void FtpClient::sendData()
{
    if (!m_data || !m_dataReady || !m_storAccepted || m_fileSent || m_dataClosed)
        return;
    while (unsentBytes(*m_data) < kHighWater && !m_file.atEnd()) {
        const QByteArray chunk = m_file.read(kChunk);
        if (chunk.isEmpty()) {
            if (m_file.error() != QFileDevice::NoError) {
                fail(kEngineError, QStringLiteral("426 Error reading local file ") + m_localFileName, true);
                return;
            }
            break;
        }
        m_data->write(chunk);
    }
    if (m_file.atEnd() && unsentBytes(*m_data) == 0) {
        m_fileSent = true;
        // The end of the data connection marks the end of the file.
        m_data->disconnectFromHost();
    }
}

void FtpClient::onDataBytesWritten(qint64 bytes)
{
    m_sent += bytes;
    restartDeadline();
    Q_EMIT progress(m_sent, m_total);
    sendData();
}

void FtpClient::onDataClosed()
{
    if (!m_data || m_dataClosed)
        return;
    m_dataClosed = true;
    if (!m_fileSent && m_storAccepted && m_file.isOpen() && m_file.atEnd() && unsentBytes(*m_data) == 0)
        m_fileSent = true; // the server hung up as the last bytes left
    if (m_data->state() != QAbstractSocket::UnconnectedState)
        m_data->abort();
    if (!m_fileSent)
        show(QStringLiteral("! Data connection closed before the end of the file"));
    finishStorIfDone();
}

void FtpClient::finishStorIfDone()
{
    if (!m_finalReply || !m_dataClosed)
        return;
    if (!m_fileSent) {
        // The server says stored, but it cannot have the whole file.
        fail(kEngineError, QStringLiteral("426 Data connection closed before the end of the file"), false);
        return;
    }
    closeData();
    stepDone();
}

void FtpClient::closeData()
{
    if (m_listener) {
        QTcpServer *listener = m_listener;
        m_listener = nullptr;
        listener->disconnect(this);
        listener->close();
        listener->deleteLater();
    }
    discardSocket(std::exchange(m_data, nullptr), this);
    if (m_file.isOpen())
        m_file.close(); // closing the descriptor releases the lock
    m_dataReady = false;
    m_storPhase = StorPhase::Idle;
    m_storAccepted = false;
}

void FtpClient::closeControl()
{
    m_connected = false;
    m_buffer.clear();
    discardSocket(std::exchange(m_control, nullptr), this);
}

void FtpClient::restartDeadline()
{
    if (m_requestActive && m_timeout > 0)
        m_deadline.start(m_timeout * 1000);
}

void FtpClient::onDeadline()
{
    if (!m_requestActive)
        return;
    closeData();
    closeControl();
    // The time-out is what ended the request, whatever failed before it.
    m_error = kEngineError;
    m_errorMessage = QStringLiteral("426 Timeout");
    show(QStringLiteral("! 426 Timeout"));
    endRequest();
}

} // namespace orvalla
