#pragma once

// FTP client for uploads: active (PORT) or passive (PASV, EPSV) mode, direct
// connection, one request at a time. Each operation starts its request and waits for it in a nested event
// loop, so to the caller it is a blocking call returning true on success while
// timers, sockets and clicks keep being handled. Runs on the GUI thread only.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QTimer>

class QEventLoop;
class QTcpServer;
class QTcpSocket;

namespace orvalla
{

class FtpClient : public QObject
{
    Q_OBJECT

public:
    explicit FtpClient(QObject *parent = nullptr);
    ~FtpClient() override;

    // Connection settings, copied from the FTP tab before each use.
    QString HostName() const { return m_hostName; }
    void setHostName(const QString &host) { m_hostName = host; }
    QString Port() const { return m_port; } // a number or a service name; "ftp" is 21
    void setPort(const QString &port) { m_port = port; }
    QString UserName() const { return m_userName; }
    void setUserName(const QString &user) { m_userName = user; }
    QString PassWord() const { return m_passWord; }
    void setPassWord(const QString &password) { m_passWord = password; }
    QString Account() const { return m_account; } // sent by ACCT when the server asks (332)
    void setAccount(const QString &account) { m_account = account; }
    QString HostDirName() const { return m_hostDirName; } // remote folder; empty: no CWD
    void setHostDirName(const QString &folder) { m_hostDirName = folder; }
    QString HostFileName() const { return m_hostFileName; } // name stored on the server
    void setHostFileName(const QString &name) { m_hostFileName = name; }
    QString LocalFileName() const { return m_localFileName; } // file sent by STOR
    void setLocalFileName(const QString &path) { m_localFileName = path; }
    bool Binary() const { return m_binary; } // true: TYPE I, false: TYPE A
    void setBinary(bool binary) { m_binary = binary; }
    int Timeout() const { return m_timeout; } // seconds without data progress; 0: none
    void setTimeout(int seconds) { m_timeout = seconds; }
    // Passive mode: the client opens the data connection to where PASV (EPSV
    // over IPv6) says. Off: PORT, and the server connects.
    bool Passive() const { return m_passive; }
    void setPassive(bool passive) { m_passive = passive; }
    // Explicit TLS: AUTH TLS before USER, then PBSZ 0 and PROT P after the
    // login, so that the data connections are encrypted too. The server's
    // certificate must verify; nothing is ever sent in clear instead.
    enum class Security { None, ExplicitTls };
    Security security() const { return m_security; }
    void setSecurity(Security security) { m_security = security; }
    // A PEM file of certificates trusted beside the system's; empty: none.
    QString TrustedCertificates() const { return m_trustedCertificates; }
    void setTrustedCertificates(const QString &path) { m_trustedCertificates = path; }

    // open, USER, [PASS], [ACCT], [CWD], TYPE, PORT or PASV, STOR, QUIT.
    bool Transmit();
    // open, USER, [PASS], [ACCT]; the connection stays open.
    bool Connect();
    // Over an open connection: TYPE, PORT or PASV, STOR.
    bool Put();
    // QUIT, then the connection is closed.
    bool Quit();
    // Closes both connections at once and releases the local file. A request
    // waiting at that moment ends with "426 Aborted".
    bool Abort();
    // The control connection is open.
    bool Connected() const { return m_connected; }
    // A request is running (its caller is waiting in the nested loop).
    bool Busy() const { return m_requestActive; }

    // Outcome of the latest request: 0 or the failing reply code (426 for the
    // engine's own failures), and its text: the server's reply line or the
    // engine's message ("426 Timeout", "UserName empty", ...).
    int ErrorCode() const { return m_error; }
    QString ErrorMessage() const { return m_errorMessage; }
    QString LastResponse() const { return QString::fromUtf8(m_lastResponse); }
    int StatusCode() const { return m_statusCode; }

Q_SIGNALS:
    // "> command", "< reply line" or "! engine message".
    void display(const QString &line);
    // Bytes of the current file handed to the data connection so far.
    void progress(qint64 sent, qint64 total);
    // After each request; error as ErrorCode().
    void requestDone(int error);

private:
    enum class Step { Open, AuthTls, User, Pass, Acct, Pbsz, Prot, Cwd, Type, Port, Pasv, Stor, Quit };
    enum class StorPhase { Idle, WaitingFirst, Transferring };

    // Refuses (with its display line) a request while another runs, or when
    // the connection is not in the state the request needs.
    bool mayStart(bool needConnection);
    Step dataStep() const { return m_passive ? Step::Pasv : Step::Port; }
    QList<Step> loginSteps() const;
    void onControlEncrypted();
    void onSslErrors(const QList<QSslError> &errors);
    void adoptDataSocket(QTcpSocket *socket);
    void onDataEncrypted();
    void startDataTls();
    bool runRequest(QList<Step> steps);
    void startStep();
    void stepDone();
    void fail(int code, const QString &message, bool showMessage);
    void endRequest();
    void sendCommand(const QByteArray &command, QList<int> accepted, const QByteArray &shown = {});
    void onControlConnected();
    void onControlReadyRead();
    void onControlError();
    void onControlClosed();
    void onReply(int code, const QByteArray &line);
    void startPort();
    void startPasv();
    void onPasvReply(int code, const QByteArray &line);
    void onDataConnected();
    void onDataError();
    void dataReady();
    void startStor();
    void onStorReply(int code, const QByteArray &line);
    void onDataConnection();
    void sendData();
    void onDataBytesWritten(qint64 bytes);
    void onDataClosed();
    void finishStorIfDone();
    void closeData();
    void closeControl();
    void restartDeadline();
    void onDeadline();
    void show(const QString &line) { Q_EMIT display(line); }

    QString m_hostName;
    QString m_port = QStringLiteral("ftp");
    QString m_userName;
    QString m_passWord;
    QString m_account;
    QString m_hostDirName;
    QString m_hostFileName;
    QString m_localFileName;
    bool m_binary = true;
    int m_timeout = 15;
    bool m_passive = false;
    Security m_security = Security::None;
    QString m_trustedCertificates;
    QSslConfiguration m_tlsConfiguration; // of the running request
    bool m_protectedData = false; // PROT P accepted: data connections are TLS too

    QPointer<QTcpSocket> m_control;
    QPointer<QTcpServer> m_listener;
    QPointer<QTcpSocket> m_data;
    QFile m_file;
    QByteArray m_buffer; // control bytes not yet cut into replies
    bool m_connected = false;

    bool m_requestActive = false;
    QList<Step> m_steps; // still to run, the current one first
    bool m_stepRunning = false;
    bool m_awaitingReply = false;
    QList<int> m_accepted; // codes the pending command accepts; empty: below 500
    int m_error = 0;
    QString m_errorMessage;
    QByteArray m_lastResponse;
    int m_statusCode = 0;

    StorPhase m_storPhase = StorPhase::Idle;
    bool m_storAccepted = false; // 150 or 125 came
    bool m_finalReply = false; // 226 or 250 came
    bool m_dataReady = false; // the data connection can carry the file
    bool m_dataClosed = false;
    bool m_fileSent = false; // every byte was handed over before the data connection closed
    qint64 m_sent = 0;
    qint64 m_total = 0;

    QTimer m_deadline;
    QEventLoop *m_loop = nullptr;
};

} // namespace orvalla
