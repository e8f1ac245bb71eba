#pragma once

// What the console asks of the FTP client: the upload batch, the buttons of
// the FTP tab and the result memo's lines. The window owns the client and
// this object, copies the FTP fields into setSettings() as they change and
// calls the operations; the lines for Memo_ftp come out of displayLog().

#include <QObject>
#include <QString>
#include <QStringList>

namespace orvalla
{

class Clock;
class FtpClient;

// The texts of the FTP tab.
struct FtpSettings {
    QString host; // Edit_ftp_hostname
    QString user; // Edit_ftp_username
    QString password; // Edit_ftp_clave
    QString port; // Edit_ftp_port: a number or a service name
    QString localFolder; // Edit_ftp_ruta_local_ficheiro, prefixed to every name as it is
    QString remoteFolder; // Edit_ftp_ruta_remota_ficheiro; empty: the login folder
    QStringList fileNames; // lines of Memo_ftp_nome_ficheiro, in order
    bool passive = false; // CheckBox_ftp_pasivo
    bool explicitTls = false; // ComboBox_ftp_seguridade: "TLS explícito"
    QString trustedCertificates; // Edit_certificados
};

// The lines Memo_ftp holds: more than 100 lines are cleared before the next
// one is added, so it never holds more than 101.
class FtpDisplayLog : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    static constexpr int kMaxLines = 100;

    void add(const QString &line);
    const QStringList &lines() const { return m_lines; }

Q_SIGNALS:
    void cleared(); // empty Memo_ftp
    void lineAdded(const QString &line); // append this line to Memo_ftp

private:
    QStringList m_lines;
};

// Shown in Memo_ftp when an upload is asked for while another is running.
inline constexpr char kFtpUploadRefused[] = "! envío en curso, petición rexeitada";

class FtpUpload : public QObject
{
    Q_OBJECT

public:
    // client: the window's ClienteFtp, which outlives this object.
    explicit FtpUpload(FtpClient *client, QObject *parent = nullptr);

    void setSettings(const FtpSettings &settings) { m_settings = settings; }
    const FtpSettings &settings() const { return m_settings; }

    FtpDisplayLog *displayLog() { return &m_display; }

    // Host, user, password and port into the client; local file = local folder
    // + first list line, remote folder, remote name = first list line.
    void ApplyFtpSettings();

    // The upload batch: every listed file that exists, one whole conversation
    // each, then the interval data file of the given date (the clock fields),
    // preceded on the first batch of a day by the one sent before. Returns
    // false only when refused because another upload is running.
    bool UploadFiles(const QString &systemId, int day, int month, int year);

    // Before a batch started by the clock tick or "transmitir páxina FTP":
    // drops a connection left open by "conectar". Does nothing while an
    // upload of this object is running (the batch asked for is refused then).
    void AbortIfConnected();

    // True while UploadFiles or "enviar" is running.
    bool UploadRunning() const { return m_running; }

    // The name of the interval data file sent by the latest batch ("" at start).
    QString lastIntervalFile() const { return m_lastIntervalFile; }

    // Time for the outcome lines; null (the default) means the system clock.
    void setClock(const Clock *clock) { m_clock = clock; }
    // "dd/mm/yyyy hh:mm:ss name" of the latest file sent ("último envío correcto:").
    QString lastSuccess() const { return m_lastSuccess; }
    // "dd/mm/yyyy hh:mm:ss name: reason" of the latest file that failed ("último fallo:").
    QString lastFailure() const { return m_lastFailure; }
    // The first failure of the latest whole batch, as lastFailure; empty when
    // every file of it went (or it was refused).
    QString lastBatchFailure() const { return m_batchFailure; }

    // Buttons of the "FTP" tab. Each returns the client's result.
    bool Button_ftp_conectarClick(); // "conectar"
    bool Button_ftp_sairClick(); // "sair"
    bool Button_ftp_enviarClick(); // "enviar": Put every listed file that exists
    bool Button_ftp_desconectarClick(); // "interrumpir": Abort, and end a running batch
    bool Button_ftp_transmitClick(const QString &systemId, int day, int month, int year); // "envio completo"

    // The client's display event.
    void ClienteFtpDisplay(const QString &line) { m_display.add(line); }

Q_SIGNALS:
    void lastSuccessChanged(const QString &text);
    void lastFailureChanged(const QString &text);

private:
    void noteOutcome(const QString &name, bool sent);
    bool refuseWhileRunning();
    bool sendFile(const QString &name);
    void setNames(const QString &name);

    FtpClient *m_client;
    FtpSettings m_settings;
    FtpDisplayLog m_display;
    QString m_lastIntervalFile;
    const Clock *m_clock = nullptr;
    QString m_lastSuccess;
    QString m_lastFailure;
    QString m_batchFailure;
    bool m_running = false;
    bool m_cancelled = false;
};

} // namespace orvalla
