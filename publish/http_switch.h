#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

namespace orvalla
{

class HttpServer;

// The "Servidor activo:" switch of the "Web" tab: hands the server its folder,
// default document and port, and starts or stops it.
class HttpSwitch : public QObject
{
    Q_OBJECT

public:
    // server is the window's ServidorHttp; it must outlive the switch.
    explicit HttpSwitch(HttpServer *server, QObject *parent = nullptr);

    // Port given to the server at every start; "80" unless changed (tests).
    void setPort(const QString &port) { m_port = port; }
    QString port() const { return m_port; }

    // Off: stop the server. On: folder and default document from the trimmed
    // texts (Edit_http_ruta, Edit_http_destino), the port, start. Returns false
    // when the port could not be opened; statusText() then says why, and the
    // switch tries again every retryInterval() until it opens or is switched
    // off. The check box is left as the operator set it either way.
    bool SetHttpServerActive(bool on, const QString &folderText, const QString &defaultDocText);

    // A minute unless changed (tests).
    void setRetryInterval(int ms) { m_retry.setInterval(ms); }
    int retryInterval() const { return m_retry.interval(); }
    bool isRetrying() const { return m_retry.isActive(); }

    // One line for the "Web" tab: listening, stopped, or why it could not start.
    QString statusText() const { return m_status; }

Q_SIGNALS:
    void statusChanged(const QString &text);

private:
    bool start();
    void retry();
    void setStatus(const QString &text);

    HttpServer *m_server;
    QString m_port = QStringLiteral("80");
    QString m_status;
    QTimer m_retry;
};

} // namespace orvalla
