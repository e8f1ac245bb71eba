#pragma once

#include "net/http_request.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QTimer>

class QTcpSocket;

namespace orvalla
{

class HttpServer;

// One client of HttpServer: reads requests, answers them one at a time, and
// keeps the connection for the next request when keep-alive is on.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    HttpConnection(QTcpSocket *socket, HttpServer *server);
    ~HttpConnection() override;

    // Drops the connection at once (server stop).
    void abort();

Q_SIGNALS:
    void finished(orvalla::HttpConnection *self);

private:
    // Part of an answer: literal bytes, or a stretch of the open file.
    struct Segment {
        QByteArray bytes;
        qint64 offset = -1;
        qint64 length = 0;
    };

    void onReadyRead();
    void processBuffer();
    void answer(const HttpRequest &request);
    void answerFile(const HttpRequest &request, const QString &path);
    void queueSimple(const QByteArray &statusLine, const QByteArray &contentType, const QByteArray &body,
        bool sendBody, bool withConnection);
    void startAnswer();
    void pump();
    void onBytesWritten();
    void finishAnswer();
    void closeAfterAnswer();
    void onTimeout();
    void onGone();
    QByteArray connectionHeader() const;
    void logAnswer();

    QTcpSocket *m_socket;
    HttpServer *m_server;
    QByteArray m_in;
    qint64 m_discard = 0; // request body bytes still to skip
    bool m_busy = false;
    bool m_closing = false;
    bool m_done = false;
    bool m_draining = false;
    bool m_badRequest = false;
    bool m_keepAlive = false;
    bool m_flushing = false; // startAnswer is handing the answer over itself
    QByteArray m_peer;
    QByteArray m_logRequest; // what the answer in progress answers, for its log line
    QByteArray m_logStatus;
    qint64 m_sent = 0; // bytes of that answer handed to the socket
    QList<Segment> m_out;
    QFile m_file;
    QTimer m_timer;
};

} // namespace orvalla
