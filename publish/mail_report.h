#pragma once

#include "common/clock.h"
#include "net/smtp_client.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace orvalla
{

class DataLog;

// The texts of the "Envío Correo" tab, as the window hands them over.
struct MailFields {
    QString server; // Edit_servidor_smtp
    QString port; // Edit_porto_smtp
    QString user; // Edit_usuario_smtp
    QString password; // Edit_clave_smtp
    QString domain; // Edit_dominio_smtp (EHLO name)
    QString sender; // Edit_remitente_smtp (From header)
    QString subject; // Edit_motivo_smtp
    QStringList recipients; // lines of Memo_destinatarios_smtp
    QStringList message; // lines of Memo_mensaxe
    SmtpSecurity security = SmtpSecurity::None; // ComboBox_smtp_seguridade
    QString trustedCertificates; // Edit_certificados
};

// "información meteorolóxica DD/MM/YYYY  hh:mm:ss" of the clock.
QString mailReportSubject(const LocalTime &clock);

// The e-mail of the day's report and the queued readings, and the mail tab's
// operations. Owns the SMTP client (ClienteSmtp) and the 100 ms step timer
// (Timer_correo), which runs on its own from StartMailSend to the end of the
// sequence. The window mirrors what this class reports: resultCleared /
// resultAppended into Memo_resultado, messageChanged into Memo_mensaxe,
// subjectChanged into Edit_motivo_smtp, exceptionRaised into an error dialog.
class MailReport : public QObject
{
    Q_OBJECT

public:
    explicit MailReport(QObject *parent = nullptr);

    SmtpClient &client() { return ClienteSmtp; }
    const SmtpClient &client() const { return ClienteSmtp; }

    // Folder of today's report file; empty means the working directory.
    void setFolder(const QString &folder) { m_folder = folder; }

    // Copies the tab's texts and the fixed message settings into the client.
    void ApplyMailSettings(const MailFields &fields);
    // Starts the open, mail, quit sequence; returns at once.
    void StartMailSend(const MailFields &fields);
    // Today's report (or the current message when there is none), the footer
    // and the queued reading lines. Emits messageChanged and returns the lines.
    QStringList BuildMailBody(
        const QString &systemId, const QStringList &message, const QList<QByteArray> &mailQueue);
    // Drops the client's connection when it is connected or in the middle of a
    // request, so that a new sequence can start.
    void abortIfConnected();
    // The report mail: body, queue cleared, dated subject, abort, send. The
    // mail goes even when the queue could not be cleared; the text returned
    // says so (empty when nothing failed), for the owner to show.
    [[nodiscard]] QString SendReportMail(const MailFields &fields, DataLog &dataLog, const LocalTime &clock);

    // Buttons of the mail tab ("conexión", "envío", "desconexión", "borrar
    // mensaxe", "envío completo") and "enviar correo" on "Principal".
    void Button_conectarClick(const MailFields &fields);
    void Button_envioClick();
    void Button_desconectarClick();
    void Button_smtp_borra_mensaxeClick();
    void Button_smtp_transmitClick(const MailFields &fields);
    QString Button_smtp_transmit2Click(const MailFields &fields, DataLog &dataLog, const LocalTime &clock);

    // One step of the sequence; Timer_correo calls it every 100 ms.
    void Timer_correoTimer();

    int mailStep() const { return m_step; }
    bool requestDoneFlag() const { return m_requestDone; }
    bool timerActive() const { return Timer_correo.isActive(); }
    // Timer_correo itself, so that the owner can name it and find it.
    QTimer &stepTimer() { return Timer_correo; }
    // What Memo_resultado holds.
    const QStringList &resultLines() const { return m_result; }

    static constexpr int kResultLimit = 100;

Q_SIGNALS:
    void resultCleared();
    void resultAppended(const QString &line);
    void messageChanged(const QStringList &lines);
    void subjectChanged(const QString &subject);
    // A request the client refused to start (shown like any escaped exception).
    void exceptionRaised(const QString &message);

private:
    void ClienteSmtpDisplay(const QString &line);
    void ClienteSmtpRequestDone(int request, int error);
    void appendResult(const QString &line);
    template <typename F> bool request(F &&call);
    void endSequence();

    SmtpClient ClienteSmtp;
    QTimer Timer_correo;
    QString m_folder;
    int m_step = 0;
    bool m_requestDone = false;
    bool m_mailSent = false;
    QStringList m_result;
};

} // namespace orvalla
