// One HTTP client connection fed with arbitrary bytes. The connection gets one
// end of a local socket pair, so the server's own socket code runs without a
// network; the fuzzer writes the request bytes into the other end and reads
// every answer until the server closes.
#include "doc_tree.h"
#include "net/http_connection.h"
#include "net/http_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace orvalla;
using fuzzing::check;

namespace
{

fuzzing::DocTree *tree = nullptr;
HttpServer *server = nullptr;

// The server closes an idle connection after this, which ends each run.
constexpr int kIdleMs = 3;
constexpr qint64 kHangMs = 5000;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("orvalla.*=false\nqt.*=false"));
    new QCoreApplication(*argc, *argv);
    tree = new fuzzing::DocTree;
    server = new HttpServer;
    server->setDocDir(tree->docDir() + QLatin1Char('/'));
    server->setDefaultDoc(QStringLiteral("index.html"));
    server->setIdleTimeout(kIdleMs);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray request(reinterpret_cast<const char *>(data), qsizetype(size));
    int fds[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "no socket pair");
    check(::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK) == 0, "client end blocks");
    check(::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK) == 0, "server end blocks");

    // Inputs of odd length arrive (as far as the socket takes them) before the
    // connection starts, as from a client that sends with its connect: what
    // the connection does from start() is reached as well as what it does
    // from its notifiers.
    qsizetype sent = 0;
    while (size % 2 && sent < request.size()) {
        const ssize_t n
            = ::send(fds[1], request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += n;
    }
    auto *connection = new HttpConnection(fds[0], server);
    bool finished = false;
    QObject::connect(connection, &HttpConnection::finished, [&finished] { finished = true; });
    connection->start();

    QByteArray answer;
    bool eof = false;
    QSocketNotifier notifier(fds[1], QSocketNotifier::Read);
    auto drain = [&] {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::read(fds[1], chunk, sizeof chunk);
            if (n > 0) {
                answer.append(chunk, n);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                eof = true;
                notifier.setEnabled(false);
            }
            return;
        }
    };
    QObject::connect(&notifier, &QSocketNotifier::activated, drain);

    QElapsedTimer clock;
    clock.start();
    while (!(finished && eof)) {
        if (sent < request.size()) {
            const ssize_t n
                = ::send(fds[1], request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
            if (n > 0)
                sent += n;
            else if (errno == EPIPE || errno == ECONNRESET)
                sent = request.size(); // the server has closed already
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!eof)
            drain();
        check(clock.elapsed() < kHangMs, "connection neither answers nor closes");
    }
    notifier.setEnabled(false);
    delete connection; // owns its end of the pair
    ::close(fds[1]);

    if (!answer.isEmpty())
        check(answer.startsWith("HTTP/"), "answer does not start with a status line");
    tree->checkNoLeak(answer, request);
    return 0;
}
