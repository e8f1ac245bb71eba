#include "publish/mail_report.h"

#include "common/files.h"
#include "common/log.h"
#include "common/text.h"
#include "recording/datalog.h"
#include "recording/recordingfiles.h"

#include <QFileInfo>

namespace orvalla
{

QString mailReportSubject(const LocalTime &clock)
{
    return fromCp1252(formatC("informaci\xF3n meteorol\xF3xica %02d/%02d/%04d  %02d:%02d:%02d", clock.day,
        clock.month, clock.year, clock.hour, clock.minute, clock.second));
}

MailReport::MailReport(QObject *parent)
    : QObject(parent)
{
    Timer_correo.setInterval(100);
    connect(&Timer_correo, &QTimer::timeout, this, &MailReport::Timer_correoTimer);
    connect(&ClienteSmtp, &SmtpClient::display, this, &MailReport::ClienteSmtpDisplay);
    connect(&ClienteSmtp, &SmtpClient::requestDone, this, &MailReport::ClienteSmtpRequestDone);
}

void MailReport::ApplyMailSettings(const MailFields &f)
{
    // A blank line in the recipients memo is no address; sent as "RCPT TO:<>"
    // it would make the server refuse the whole mail.
    QStringList recipients;
    for (const QString &line : f.recipients) {
        if (!line.trimmed().isEmpty())
            recipients.append(line);
    }
    SmtpClient &c = ClienteSmtp;
    c.Host = f.server;
    c.Port = f.port;
    c.Password = f.password;
    c.Username = f.user;
    c.SignOn = f.domain;
    c.HdrFrom = f.sender;
    c.HdrTo = recipients.value(0);
    c.HdrSubject = f.subject;
    c.RcptName = recipients;
    c.MailMessage = f.message;
    c.AuthType = SmtpClient::Auth::Login;
    c.Security = f.security;
    c.TrustedCertificates = f.trustedCertificates;
    c.HdrCc.clear();
    c.HdrReplyTo.clear();
    c.HdrReturnPath.clear();
    c.HdrSender.clear();
    c.FromName.clear();
    c.CharSet = QStringLiteral("iso-8859-1");
    c.ContentType = QStringLiteral("text/plain");
}

template <typename F> bool MailReport::request(F &&call)
{
    try {
        call();
        return true;
    } catch (const SmtpException &e) {
        qCWarning(lcPublish, "mail: %s", e.what());
        Q_EMIT exceptionRaised(QString::fromUtf8(e.what()));
        return false;
    }
}

void MailReport::StartMailSend(const MailFields &fields)
{
    m_step = 1;
    m_requestDone = false;
    m_mailSent = false;
    ApplyMailSettings(fields);
    qCInfo(lcPublish, "mail: sending to %lld recipient(s) via %s", qlonglong(ClienteSmtp.RcptName.size()),
        qPrintable(fields.server));
    if (!ClienteSmtp.connected()) {
        if (ClienteSmtp.ready())
            request([this] { ClienteSmtp.open(); });
        // Otherwise an open is already under way; its request-done moves us on.
    } else if (ClienteSmtp.ready()) {
        // Already connected and idle: no open, so no request-done would come.
        m_requestDone = true;
    }
    Timer_correo.start(100);
}

QStringList MailReport::BuildMailBody(
    const QString &systemId, const QStringList &message, const QList<QByteArray> &mailQueue)
{
    QStringList lines = message;
    const QString report = pathIn(m_folder, todayReportFileName(systemId));
    if (QFileInfo::exists(report)) {
        QByteArray bytes;
        QString why;
        if (readFile(report, &bytes, &why)) {
            lines.clear();
            for (const QByteArray &line : splitLines(bytes))
                lines.append(fromCp1252(line));
        } else {
            qCWarning(lcPublish, "mail: report not read, the body keeps its lines: %s", qPrintable(why));
        }
    }
    lines << QString::fromUtf8(" Esta mensaxe xérase automáticamente. Prégase non responder ")
          << QString(65, u'-') << QString() << QString() << QString()
          << QString::fromUtf8(" últimos datos recollidos (cada minuto) ") << QString() << QString();
    for (const QByteArray &line : mailQueue)
        lines.append(fromCp1252(line));
    Q_EMIT messageChanged(lines);
    return lines;
}

void MailReport::abortIfConnected()
{
    if (ClienteSmtp.connected() || !ClienteSmtp.ready())
        ClienteSmtp.abort();
}

QString MailReport::SendReportMail(const MailFields &fields, DataLog &dataLog, const LocalTime &clock)
{
    MailFields f = fields;
    f.message = BuildMailBody(dataLog.systemId(), fields.message, dataLog.mailQueue());
    QString error;
    dataLog.ClearMailQueue(&error);
    f.subject = mailReportSubject(clock);
    Q_EMIT subjectChanged(f.subject);
    abortIfConnected();
    StartMailSend(f);
    return error;
}

void MailReport::Button_conectarClick(const MailFields &fields)
{
    ApplyMailSettings(fields);
    if (!ClienteSmtp.connected())
        request([this] { ClienteSmtp.open(); });
}

void MailReport::Button_envioClick()
{
    if (ClienteSmtp.connected())
        request([this] { ClienteSmtp.mail(); });
}

void MailReport::Button_desconectarClick()
{
    if (ClienteSmtp.connected())
        request([this] { ClienteSmtp.quit(); });
}

void MailReport::Button_smtp_borra_mensaxeClick()
{
    Q_EMIT messageChanged({});
}

void MailReport::Button_smtp_transmitClick(const MailFields &fields)
{
    StartMailSend(fields);
}

QString MailReport::Button_smtp_transmit2Click(
    const MailFields &fields, DataLog &dataLog, const LocalTime &clock)
{
    return SendReportMail(fields, dataLog, clock);
}

void MailReport::Timer_correoTimer()
{
    if (!m_requestDone)
        return;
    switch (m_step) {
    case 1:
        m_requestDone = false;
        if (!ClienteSmtp.connected()) {
            // The open failed and left no connection: nothing more will come.
            appendResult(QString::fromUtf8("Correo non enviado: sen conexión co servidor"));
            endSequence();
            return;
        }
        if (!request([this] { ClienteSmtp.mail(); })) {
            // The mail could not start; leave the server politely.
            if (request([this] { ClienteSmtp.quit(); }))
                m_step = 3;
            else
                endSequence();
            return;
        }
        m_step = 2;
        return;
    case 2:
        m_requestDone = false;
        if (!ClienteSmtp.connected()) {
            endSequence(); // the mail's end closed the connection: no quit to wait for
            return;
        }
        if (!request([this] { ClienteSmtp.quit(); })) {
            endSequence();
            return;
        }
        m_step = 3;
        return;
    case 3:
        m_requestDone = false;
        endSequence();
        return;
    default:
        return;
    }
}

void MailReport::endSequence()
{
    m_step = 0;
    Timer_correo.stop();
    if (m_mailSent)
        qCInfo(lcPublish, "mail: sent");
    else
        qCWarning(lcPublish, "mail: not sent");
}

void MailReport::ClienteSmtpDisplay(const QString &line)
{
    appendResult(line);
}

void MailReport::ClienteSmtpRequestDone(int request, int error)
{
    appendResult(QStringLiteral("Petición=%1 Error=%2").arg(request).arg(quint16(error)));
    if (request == SmtpMail && error == 0)
        m_mailSent = true;
    m_requestDone = true;
}

void MailReport::appendResult(const QString &line)
{
    if (m_result.size() > kResultLimit) {
        m_result.clear();
        Q_EMIT resultCleared();
    }
    m_result.append(line);
    Q_EMIT resultAppended(line);
}

} // namespace orvalla
