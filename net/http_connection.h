#pragma once

#include "net/http_files.h"
#include "net/http_request.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cstring>

struct sockaddr;

namespace orvalla
{

class HttpServer;

// A client's address as the log shows it ("192.168.1.20", "::1"; "local"
// for a socket that is not IP).
QByteArray httpPeerName(const sockaddr *address);

// One client of HttpServer: reads requests, answers them one at a time, and
// keeps the connection for the next request when keep-alive is on. It works
// the socket itself (non-blocking reads, sends and sendfile under socket
// notifiers): an answer usually leaves in one system call.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    // fd: a connected, non-blocking stream socket, which the connection owns
    // from now on. peer: the client's address for the log; empty: asked for.
    HttpConnection(int fd, HttpServer *server, const QByteArray &peer = {});
    ~HttpConnection() override;

    // Reads what the client sent already: a client usually sends its request
    // right after connecting, so this spares a turn of the event loop. The
    // socket is watched only when that leaves the connection waiting: one
    // answered and closed here never touches the event loop at all.
    void start();
    // Drops the connection at once (server stop); finished is not emitted.
    void abort();

Q_SIGNALS:
    void finished(orvalla::HttpConnection *self);

private:
    enum class State {
        Reading, // waiting for (the rest of) a request
        Writing, // an answer is going out; later requests wait in the socket
        Draining, // answered and shut for sending; input is dropped until the client closes
        Closed,
    };
    // What the connection does once the answer in progress is out.
    enum class After {
        KeepAlive, // read the next request
        Close, // close, after draining when the client sent more than was read
        Drain, // a request that could not be read: always drain before closing
    };
    // What is known of the client's side of the connection.
    enum class Input {
        Open,
        Waiting, // the last read filled its buffer: more is there
        Ended, // the client will send nothing more
    };
    enum class Pump { Done, Blocked, Gone };

    // Part of an answer: literal bytes, or a stretch of the open file.
    struct Segment {
        QByteArray bytes;
        qint64 offset = -1;
        qint64 length = 0;
    };

    void onReadable();
    void onWritable();
    void processBuffer();
    void answer(const HttpRequest &request);
    void answerFile(const HttpRequest &request, HttpFiles::Opened &file);
    void queueSimple(const QByteArray &version, const char *status, const QByteArray &contentType,
        const QByteArray &body, bool sendBody, bool withConnection);
    void startAnswer();
    Pump pump();
    void finishAnswer();
    void closeAfterAnswer();
    // Closes the connection after ms without progress, counted from now.
    void setIdleLimit(int ms);
    void onTimeout();
    void close();
    void release();
    void logAnswer();
    void setLogStatus(const char *status) { std::memcpy(m_logStatus, status, sizeof m_logStatus); }
    void watchInput(bool on);
    QByteArray connectionHeader() const;

    int m_fd;
    HttpServer *m_server;
    // Given the socket when first needed: registering a notifier, and removing
    // it, each wake the event loop once.
    QSocketNotifier m_readNotifier { QSocketNotifier::Read };
    bool m_watchInput = true; // what the read notifier should be once started
    bool m_started = false;
    QSocketNotifier *m_writeNotifier = nullptr; // made when the socket first fills
    QTimer m_timer;
    qint64 m_idleDeadline = 0; // monotonic ms
    qint64 m_timerDue = 0; // when m_timer fires, monotonic ms
    State m_state = State::Reading;
    After m_after = After::Close;
    Input m_input = Input::Open;
    bool m_processing = false;
    bool m_noDelay = false;
    QByteArray m_in;
    qint64 m_discard = 0; // request body bytes still to skip
    QList<Segment> m_out;
    qsizetype m_outPos = 0; // bytes of the first literal segment already sent
    int m_fileFd = -1;
    QByteArray m_peer;
    QByteArray m_logRequest; // what the answer in progress answers, for its log line
    char m_logStatus[3] = { '0', '0', '0' }; // the status code of the answer in progress
    qint64 m_sent = 0; // bytes of that answer handed to the system
};

} // namespace orvalla
