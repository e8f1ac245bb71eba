#pragma once

#include "common/log.h"
#include "net/http_files.h"

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace orvalla
{

class HttpConnection;

// A small HTTP/1.0 and HTTP/1.1 file server for one document folder, driven by
// socket events on the GUI thread. GET and HEAD serve files (with byte ranges),
// POST answers 404, other methods 501. Small files are answered from memory,
// large ones straight from the file as the socket drains, so a large file
// never fills memory.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpServer(QObject *parent = nullptr);
    ~HttpServer() override;

    // Address and port to listen on (take effect at the next start). The port
    // is a number or a service name; "0" picks a free port.
    void setAddr(const QString &addr) { m_addr = addr; }
    QString addr() const { return m_addr; }
    void setPort(const QString &port) { m_port = port; }
    QString port() const { return m_port; }
    void setListenBacklog(int backlog) { m_backlog = backlog; }
    int listenBacklog() const { return m_backlog; }
    // 0: no limit. Clients beyond the limit are closed on arrival.
    void setMaxClients(int maxClients) { m_maxClients = maxClients; }
    int maxClients() const { return m_maxClients; }

    // Document folder: one trailing '/' removed, made absolute. Applies to
    // every later request. A folder that does not exist is accepted. The
    // folder is looked up here and at every start, not at every request.
    void setDocDir(const QString &dir);
    QString docDir() const { return m_docDir; }
    // Files never served whatever the document folder, such as the settings
    // file with its passwords when the folder is the working folder.
    void setPrivateFiles(const QStringList &paths) { m_files.setPrivateFiles(paths); }
    QStringList privateFiles() const { return m_files.privateFiles(); }
    // Served for a request of a folder.
    void setDefaultDoc(const QString &name) { m_files.setDefaultDoc(name); }
    QString defaultDoc() const { return m_files.defaultDoc(); }

    // A connection that has no complete request for this long is closed, and
    // so is one whose client has read nothing of an answer for this long.
    void setIdleTimeout(int ms) { m_idleTimeoutMs = ms; }
    int idleTimeout() const { return m_idleTimeoutMs; }

    // Starts listening; does nothing when already listening. On failure returns
    // false, logs, emits startFailed and keeps the reason in errorString().
    bool start();
    // Closes the listening socket and every client connection.
    void stop();

    bool isListening() const { return m_listenFd >= 0; }
    quint16 serverPort() const { return m_serverPort; }
    QString errorString() const { return m_error; }
    QAbstractSocket::SocketError serverError() const { return m_serverError; }
    int clientCount() const { return int(m_connections.size()); }

    // Largest amount of answer data ever left waiting when a socket took no
    // more: the unsent rest of an answer held in memory, or the next stretch
    // of a file.
    qint64 peakWriteBuffer() const { return m_peakWriteBuffer; }
    void notePendingWrite(qint64 bytes) { m_peakWriteBuffer = qMax(m_peakWriteBuffer, bytes); }

    // One line per answer: client, request, status, bytes sent.
    BufferedLog &requestLog() { return m_requestLog; }
    HttpFiles &files() { return m_files; }

Q_SIGNALS:
    void started(quint16 port);
    void startFailed(const QString &error);
    void stopped();

private:
    void onNewConnection();
    void onConnectionFinished(HttpConnection *connection);
    void sweepFinished();
    void closeListener();

    int m_listenFd = -1;
    QSocketNotifier *m_listenNotifier = nullptr;
    quint16 m_serverPort = 0;
    QList<HttpConnection *> m_connections;
    // Connections that finished inside their own handlers wait here to be
    // deleted by a zero timer: unlike deleteLater's posted event, a timer of
    // the loop's own thread does not wake the loop.
    QList<HttpConnection *> m_finished;
    QTimer m_sweep;
    HttpConnection *m_starting = nullptr; // being started by onNewConnection
    bool m_startingFinished = false;
    QString m_addr = QStringLiteral("0.0.0.0");
    QString m_port = QStringLiteral("80");
    int m_backlog = 5;
    int m_maxClients = 0;
    QString m_docDir;
    HttpFiles m_files;
    int m_idleTimeoutMs = 30000;
    QString m_error;
    QAbstractSocket::SocketError m_serverError = QAbstractSocket::UnknownSocketError;
    qint64 m_peakWriteBuffer = 0;
    BufferedLog m_requestLog { lcNet() };
};

} // namespace orvalla
