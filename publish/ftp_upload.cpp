#include "publish/ftp_upload.h"

#include "common/clock.h"
#include "common/log.h"
#include "common/text.h"
#include "net/ftp_client.h"
#include "recording/recordingfiles.h"

#include <QFileInfo>

namespace orvalla
{

void FtpDisplayLog::add(const QString &line)
{
    if (m_lines.size() > kMaxLines) {
        m_lines.clear();
        Q_EMIT cleared();
    }
    m_lines.append(line);
    Q_EMIT lineAdded(line);
}

namespace
{

// Marks an upload as running for the length of a scope, also on early return.
class RunningScope
{
public:
    explicit RunningScope(bool &flag, bool &cancelled)
        : m_flag(flag)
    {
        m_flag = true;
        cancelled = false;
    }
    ~RunningScope() { m_flag = false; }
    RunningScope(const RunningScope &) = delete;
    RunningScope &operator=(const RunningScope &) = delete;

private:
    bool &m_flag;
};

} // namespace

FtpUpload::FtpUpload(FtpClient *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
    connect(m_client, &FtpClient::display, this, &FtpUpload::ClienteFtpDisplay);
}

void FtpUpload::ApplyFtpSettings()
{
    m_client->setHostName(m_settings.host);
    m_client->setUserName(m_settings.user);
    m_client->setPassWord(m_settings.password);
    m_client->setPort(m_settings.port);
    m_client->setHostDirName(m_settings.remoteFolder);
    m_client->setPassive(m_settings.passive);
    m_client->setSecurity(
        m_settings.explicitTls ? FtpClient::Security::ExplicitTls : FtpClient::Security::None);
    m_client->setTrustedCertificates(m_settings.trustedCertificates);
    setNames(m_settings.fileNames.isEmpty() ? QString() : m_settings.fileNames.first());
}

void FtpUpload::setNames(const QString &name)
{
    // Folder and name are joined as they are: the folder text ends with its own separator.
    m_client->setLocalFileName(m_settings.localFolder + name);
    m_client->setHostFileName(name);
}

bool FtpUpload::refuseWhileRunning()
{
    if (!m_running)
        return false;
    m_display.add(QString::fromUtf8(kFtpUploadRefused));
    qCInfo(lcPublish) << "FTP request refused: an upload is running";
    return true;
}

bool FtpUpload::sendFile(const QString &name)
{
    setNames(name);
    const QString local = m_client->LocalFileName();
    // A missing file, an empty line (the bare folder) or a folder: nothing to send.
    if (!QFileInfo(local).isFile())
        return false;
    if (m_client->Transmit()) {
        qCInfo(lcPublish).noquote() << "FTP upload of" << local << "done";
        noteOutcome(name, true);
        return true;
    }
    qCWarning(lcPublish).noquote() << "FTP upload of" << local << "failed:" << m_client->ErrorMessage();
    noteOutcome(name, false);
    return false;
}

void FtpUpload::noteOutcome(const QString &name, bool sent)
{
    const SystemClock system;
    const LocalTime t = (m_clock ? *m_clock : static_cast<const Clock &>(system)).localNow();
    const QString when = QString::fromLatin1(
        formatC("%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute, t.second));
    if (sent) {
        m_lastSuccess = when + u' ' + name;
        Q_EMIT lastSuccessChanged(m_lastSuccess);
        return;
    }
    m_lastFailure = QStringLiteral("%1 %2: %3").arg(when, name, m_client->ErrorMessage());
    if (m_running && m_batchFailure.isEmpty())
        m_batchFailure = m_lastFailure;
    Q_EMIT lastFailureChanged(m_lastFailure);
}

bool FtpUpload::UploadFiles(const QString &systemId, int day, int month, int year)
{
    if (refuseWhileRunning())
        return false;
    RunningScope running(m_running, m_cancelled);
    m_batchFailure.clear();

    m_client->setBinary(true);
    ApplyFtpSettings();
    // The list is read again before every file: editing it during a batch
    // affects the files still to come.
    for (int i = 0; i < m_settings.fileNames.size() && !m_cancelled; ++i) {
        const QString name = m_settings.fileNames.at(i); // a copy: the list may change meanwhile
        sendFile(name);
    }
    if (m_cancelled)
        return true;

    const QString today = intervalDataFileName(systemId, day, month, year);
    if (today == m_lastIntervalFile) {
        sendFile(today);
        return true;
    }
    // First batch of the process or of a new day: complete the previous
    // day's file on the server, then start today's.
    if (!m_lastIntervalFile.isEmpty())
        sendFile(m_lastIntervalFile);
    if (m_cancelled)
        return true;
    sendFile(today);
    m_lastIntervalFile = today;
    return true;
}

void FtpUpload::AbortIfConnected()
{
    if (!m_running && m_client->Connected())
        m_client->Abort();
}

bool FtpUpload::Button_ftp_conectarClick()
{
    if (refuseWhileRunning())
        return false;
    ApplyFtpSettings();
    m_client->setBinary(true);
    const bool ok = m_client->Connect();
    if (!ok)
        qCWarning(lcPublish).noquote()
            << "FTP connect to" << m_settings.host << "failed:" << m_client->ErrorMessage();
    return ok;
}

bool FtpUpload::Button_ftp_sairClick()
{
    if (refuseWhileRunning())
        return false;
    return m_client->Quit();
}

bool FtpUpload::Button_ftp_enviarClick()
{
    if (refuseWhileRunning())
        return false;
    RunningScope running(m_running, m_cancelled);
    m_batchFailure.clear();
    ApplyFtpSettings();
    bool allSent = true;
    for (int i = 0; i < m_settings.fileNames.size() && !m_cancelled; ++i) {
        const QString name = m_settings.fileNames.at(i); // a copy: the list may change meanwhile
        setNames(name);
        const QString local = m_client->LocalFileName();
        if (!QFileInfo(local).isFile())
            continue;
        if (m_client->Put()) {
            qCInfo(lcPublish).noquote() << "FTP upload of" << local << "done";
            noteOutcome(name, true);
        } else {
            allSent = false;
            qCWarning(lcPublish).noquote()
                << "FTP upload of" << local << "failed:" << m_client->ErrorMessage();
            noteOutcome(name, false);
        }
    }
    return allSent;
}

bool FtpUpload::Button_ftp_desconectarClick()
{
    // "interrumpir" stops the whole batch, not only the file on its way.
    if (m_running)
        m_cancelled = true;
    return m_client->Abort();
}

bool FtpUpload::Button_ftp_transmitClick(const QString &systemId, int day, int month, int year)
{
    // An open connection from "conectar" is not dropped first: the batch's
    // conversations then fail with "FTP client already connected".
    return UploadFiles(systemId, day, month, year);
}

} // namespace orvalla
