#include "publish/http_switch.h"

#include "common/log.h"
#include "net/http_server.h"

#include <QDir>

namespace orvalla
{

HttpSwitch::HttpSwitch(HttpServer *server, QObject *parent)
    : QObject(parent)
    , m_server(server)
{
    // Another server may hold the port for a while (one being upgraded or
    // restarted); an unattended console takes the port once it is free.
    m_retry.setInterval(60000);
    connect(&m_retry, &QTimer::timeout, this, &HttpSwitch::retry);
}

bool HttpSwitch::SetHttpServerActive(bool on, const QString &folderText, const QString &defaultDocText)
{
    if (!on) {
        m_retry.stop();
        m_server->stop();
        setStatus(QStringLiteral("Servidor parado"));
        return true;
    }
    m_server->setDocDir(folderText.trimmed());
    // meteo.cfg holds the mail and FTP passwords in clear; an empty or "./"
    // folder would otherwise publish it.
    m_server->setPrivateFiles({ QDir::current().absoluteFilePath(QStringLiteral("meteo.cfg")) });
    m_server->setDefaultDoc(defaultDocText.trimmed());
    m_server->setPort(m_port);
    return start();
}

bool HttpSwitch::start()
{
    if (m_server->start()) {
        m_retry.stop();
        // Logged at every switch-on, so the log shows what a restart serves.
        qCInfo(lcPublish).noquote() << "http server serving" << m_server->docDir() << "default document"
                                    << m_server->defaultDoc() << "on port" << m_server->serverPort();
        setStatus(QStringLiteral("Servidor escoitando no porto %1").arg(m_server->serverPort()));
        return true;
    }
    QString why;
    switch (m_server->serverError()) {
    case QAbstractSocket::AddressInUseError:
        why = QStringLiteral("outro programa xa usa o porto");
        break;
    case QAbstractSocket::SocketAccessError:
        why = QStringLiteral("sen permiso para abrir o porto");
        break;
    default:
        why = m_server->errorString();
        break;
    }
    // Once per failure the operator sees, not once a minute for months.
    if (!m_retry.isActive())
        qCWarning(lcPublish).noquote()
            << "http server not started on port" << m_port << ":" << m_server->errorString()
            << "- trying again every" << m_retry.interval() / 1000 << "s";
    setStatus(QStringLiteral("Non se pode abrir o porto %1: %2").arg(m_port, why));
    if (!m_retry.isActive())
        m_retry.start();
    return false;
}

void HttpSwitch::retry()
{
    if (m_server->isListening()) {
        m_retry.stop();
        return;
    }
    if (start())
        qCInfo(lcPublish).noquote() << "http server took port" << m_server->serverPort() << "on a retry";
}

void HttpSwitch::setStatus(const QString &text)
{
    if (text == m_status)
        return;
    m_status = text;
    Q_EMIT statusChanged(m_status);
}

} // namespace orvalla
