// wrk against the console's HTTP server engine and against nginx (one worker
// process, access log on) serving the same files, side by side in one run,
// both on 127.0.0.1: the page and a 1 MB file, with keep-alive and with a new
// connection per request, at each number of connections.
//
// The engine runs as the console runs it: one thread, one event loop, with the
// one-second clock tick (a QTimer of 1000 ms, default timer type) beside it.
// The tick's lateness (interval between two ticks beyond 1000 ms) is measured
// while idle and while wrk loads the engine. The engine keeps the console's
// settings (listen backlog 5, no client limit) and logs each request on
// standard error as the console does. Each figure is the median of
// BENCH_HTTP_ROUNDS (3) alternating rounds. At the end, BENCH_HTTP_IDLE clients
// connect and say nothing, and the engine's growth in memory is reported.
//
// usage: bench_http_tick PAGE [seconds] [connections...]
//        (default 3 s per run, 2 and 16 connections; wrk runs one thread). A
//        PAGE named *.txt is a page template: it is filled with a simulated
//        reading, as the console does, and served as Orvalla.htm.
//        BENCH_BACKLOG=n in the environment gives the engine another listen
//        backlog than the console's.
//        On two cores or more, the servers (this process and nginx, which
//        inherits it) share the last core and wrk runs on the first, so that
//        neither server meets the load generator on its core by chance;
//        BENCH_HTTP_PIN=0 leaves placement to the scheduler.
//        Each row also gives each server's time on a core per request (from
//        /proc/PID/schedstat), which wake-up latencies do not move.

#include "bench/bench_util.h"
#include "net/http_server.h"
#include "publish/html_page.h"
#include "station/decoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace orvalla;

namespace
{

struct WrkFigures {
    bool ok = false;
    double requestsPerSecond = 0;
    double requests = 0; // answered in the whole run
    double latencyAvgMs = 0;
    double latencyP50Ms = 0;
    double latencyP99Ms = 0;
    double latencyMaxMs = 0;
    QString problems; // non-2xx answers, socket errors
    QByteArray output;
};

double toMs(const QString &value, const QString &unit)
{
    const double v = value.toDouble();
    if (unit == QLatin1String("us"))
        return v / 1000;
    if (unit == QLatin1String("s"))
        return v * 1000;
    if (unit == QLatin1String("m"))
        return v * 60000;
    return v;
}

WrkFigures parseWrk(const QByteArray &output)
{
    WrkFigures f;
    f.output = output;
    const QString text = QString::fromUtf8(output);
    const QRegularExpression rps(QStringLiteral("Requests/sec:\\s+([0-9.]+)"));
    const QRegularExpression latency(
        QStringLiteral("Latency\\s+([0-9.]+)(us|ms|s|m)\\s+([0-9.]+)(us|ms|s|m)\\s+([0-9.]+)(us|ms|s|m)"));
    const QRegularExpression p50(QStringLiteral("\\n\\s+50%\\s+([0-9.]+)(us|ms|s|m)"));
    const QRegularExpression p99(QStringLiteral("\\n\\s+99%\\s+([0-9.]+)(us|ms|s|m)"));
    const QRegularExpression errors(
        QStringLiteral("(Socket errors:[^\\n]*|Non-2xx or 3xx responses:[^\\n]*)"));
    QRegularExpressionMatch m = rps.match(text);
    if (!m.hasMatch())
        return f;
    f.requestsPerSecond = m.captured(1).toDouble();
    if ((m = QRegularExpression(QStringLiteral("([0-9]+) requests in")).match(text)).hasMatch())
        f.requests = m.captured(1).toDouble();
    if ((m = latency.match(text)).hasMatch()) {
        f.latencyAvgMs = toMs(m.captured(1), m.captured(2));
        f.latencyMaxMs = toMs(m.captured(5), m.captured(6));
    }
    if ((m = p50.match(text)).hasMatch())
        f.latencyP50Ms = toMs(m.captured(1), m.captured(2));
    if ((m = p99.match(text)).hasMatch())
        f.latencyP99Ms = toMs(m.captured(1), m.captured(2));
    QStringList problems;
    for (auto it = errors.globalMatch(text); it.hasNext();)
        problems.append(it.next().captured(1).trimmed());
    f.problems = problems.join(QStringLiteral("; "));
    f.ok = true;
    return f;
}

enum class Mode { KeepAlive, Close };

QStringList wrkArguments(quint16 port, const QString &file, int seconds, int connections, Mode mode)
{
    // Without a Connection header an HTTP/1.1 client gets a new connection per
    // request from the engine (as the console is meant to); so both are said.
    return { QStringLiteral("-t1"), QStringLiteral("-c%1").arg(connections),
        QStringLiteral("-d%1s").arg(seconds), QStringLiteral("--latency"), QStringLiteral("-H"),
        mode == Mode::KeepAlive ? QStringLiteral("Connection: keep-alive")
                                : QStringLiteral("Connection: close"),
        QStringLiteral("http://127.0.0.1:%1/%2").arg(port).arg(file) };
}

// A free loopback port (closed again before use: a small race, fine here).
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool waitForPort(quint16 port, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return false;
}

// The core wrk runs on, or -1 to leave it to the scheduler.
int g_wrkCore = -1;

bool pinTo(int core)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

// Time a thread has spent on a core, in microseconds (the scheduler's own
// count, in nanoseconds, rather than the 10 ms ticks of /proc/PID/stat); -1
// when unknown. The engine runs on this process's main thread, nginx's
// worker is a single thread.
double runUs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const double ns = stat.readAll().split(' ').value(0).toDouble(&ok);
    return ok ? ns / 1000 : -1;
}

// Runs wrk while the event loop turns (the engine lives in this process).
WrkFigures runWrk(const QString &wrk, const QStringList &arguments, int seconds)
{
    QProcess load;
    if (g_wrkCore >= 0)
        load.setChildProcessModifier([] { pinTo(g_wrkCore); });
    QEventLoop loop;
    QObject::connect(&load, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&load, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot((seconds + 30) * 1000, &loop, [&] {
        load.kill();
        loop.quit();
    });
    load.start(wrk, arguments);
    loop.exec();
    load.waitForFinished(5000);
    return parseWrk(load.readAllStandardOutput());
}

// The one-second clock tick of the console, beside the engine.
struct Tick {
    QTimer timer;
    QElapsedTimer clock;
    qint64 lastNs = -1;
    bool loaded = false;
    double idleWorstMs = 0;
    double loadWorstMs = 0;
    int loadTicks = 0;

    Tick()
    {
        timer.setInterval(1000);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            if (lastNs >= 0) {
                const double lateMs = double(now - lastNs - 1000000000LL) / 1e6;
                if (loaded) {
                    loadWorstMs = qMax(loadWorstMs, lateMs);
                    ++loadTicks;
                } else {
                    idleWorstMs = qMax(idleWorstMs, lateMs);
                }
            }
            lastNs = now;
        });
        clock.start();
        timer.start();
    }
};

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// nginx with one worker process serving the folder, its access log on.
class Nginx
{
public:
    bool start(const QString &nginx, const QString &folder, const QString &index)
    {
        m_port = freePort();
        if (!m_prefix.isValid() || !m_port)
            return false;
        const QString conf = m_prefix.filePath(QStringLiteral("nginx.conf"));
        const QByteArray text = QStringLiteral("daemon off;\n"
                                               "master_process on;\n"
                                               "worker_processes 1;\n"
                                               "pid %1/nginx.pid;\n"
                                               "error_log %1/error.log warn;\n"
                                               "events { worker_connections 1024; }\n"
                                               "http {\n"
                                               "    access_log %1/access.log;\n"
                                               "    sendfile on;\n"
                                               "    keepalive_requests 1000000;\n"
                                               "    default_type text/html;\n"
                                               "    client_body_temp_path %1/body;\n"
                                               "    server {\n"
                                               "        listen 127.0.0.1:%2;\n"
                                               "        root %3;\n"
                                               "        index %4;\n"
                                               "    }\n"
                                               "}\n")
                                    .arg(m_prefix.path())
                                    .arg(m_port)
                                    .arg(folder, index)
                                    .toUtf8();
        QFile out(conf);
        if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
            return false;
        out.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(nginx,
            { QStringLiteral("-p"), m_prefix.path(), QStringLiteral("-e"),
                m_prefix.filePath(QStringLiteral("error.log")), QStringLiteral("-c"), conf });
        if (!m_process.waitForStarted(5000) || !waitForPort(m_port, 10000)) {
            std::fprintf(stderr, "nginx did not start: %s\n", m_process.readAll().constData());
            return false;
        }
        return true;
    }
    quint16 port() const { return m_port; }
    // The worker process (the master forks it), 0 until known.
    qint64 workerPid() const
    {
        const qint64 master = m_process.processId();
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(master));
        if (!children.open(QIODevice::ReadOnly))
            return 0;
        return children.readAll().trimmed().split(' ').value(0).toLongLong();
    }
    ~Nginx()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QTemporaryDir m_prefix;
    quint16 m_port = 0;
    QProcess m_process;
};

// Memory of this process (the engine's) with that many idle clients connected.
long idleClientsKb(HttpServer &server, int clients)
{
    const long before = bench::procStatusKb("VmRSS");
    std::vector<int> fds;
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.serverPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QElapsedTimer timer;
    timer.start();
    // A few at a time, so the listen backlog of 5 never drops one.
    while (int(fds.size()) < clients && timer.elapsed() < 60000) {
        for (int i = 0; i < 4 && int(fds.size()) < clients; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
                if (fd >= 0)
                    ::close(fd);
                break;
            }
            fds.push_back(fd);
        }
        while (server.clientCount() < int(fds.size()) && timer.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    const long after = bench::procStatusKb("VmRSS");
    const int held = server.clientCount();
    for (const int fd : fds)
        ::close(fd);
    spin(200);
    return held == clients ? after - before : -1;
}

QString ms(double v)
{
    return QString::number(v, 'f', v < 10 ? 2 : 1) + QStringLiteral(" ms");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_http_tick PAGE [seconds] [connections...]\n");
        return 2;
    }
    const QFileInfo page(QString::fromLocal8Bit(argv[1]));
    const int seconds = argc > 2 ? qBound(1, atoi(argv[2]), 120) : 3;
    QList<int> connectionCounts;
    for (int i = 3; i < argc; ++i)
        connectionCounts.append(qBound(1, atoi(argv[i]), 200));
    if (connectionCounts.isEmpty())
        connectionCounts = { 2, 16 };
    const int idleClients = qBound(0, qEnvironmentVariableIntValue("BENCH_HTTP_IDLE"), 5000);
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    QString placement = QStringLiteral("placed by the scheduler");
    if (cores >= 2 && qEnvironmentVariable("BENCH_HTTP_PIN") != QLatin1String("0") && pinTo(int(cores - 1))) {
        g_wrkCore = 0;
        placement = QStringLiteral("servers on core %1, wrk on core 0").arg(cores - 1);
    }
    // In a virtual machine whose guest does not poll before halting, every
    // wake-up from idle goes through the host: a server that idles more (it
    // needs less time per request) then waits more per request. Said with
    // the figures, as it moves the ratios at few connections.
    QFile haltPoll(QStringLiteral("/sys/module/haltpoll/parameters/guest_halt_poll_ns"));
    if (haltPoll.open(QIODevice::ReadOnly))
        placement += QStringLiteral("; guest halt polling %1 ns")
                         .arg(QString::fromLatin1(haltPoll.readAll().trimmed()));
    const int rounds = qBound(1,
        qEnvironmentVariableIsSet("BENCH_HTTP_ROUNDS") ? qEnvironmentVariableIntValue("BENCH_HTTP_ROUNDS")
                                                       : 3,
        21);
    QFile source(page.absoluteFilePath());
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(page.absoluteFilePath()));
        return 1;
    }
    QByteArray bytes = source.readAll();
    QString file = page.fileName();
    if (page.suffix().compare(QLatin1String("txt"), Qt::CaseInsensitive) == 0) {
        const LocalTime clock = toLocalTime(fromLocalTime(2024, 3, 14, 12, 30, 0));
        const Reading reading = decodeReading(simulatedFrame(clock.hour, clock.minute), Calibration(), clock);
        const QStringList texts = readingScreenTexts(reading);
        ReadingScreenTexts screen;
        screen.date = texts.value(2);
        screen.time = texts.value(3);
        bytes = fillHtmlTemplate(bytes, reading, screen);
        file = QStringLiteral("Orvalla.htm");
    }
    const QString wrk = QStandardPaths::findExecutable(QStringLiteral("wrk"));
    QString nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (nginx.isEmpty() && QFileInfo::exists(QStringLiteral("/usr/sbin/nginx")))
        nginx = QStringLiteral("/usr/sbin/nginx");
    if (wrk.isEmpty() || nginx.isEmpty()) {
        std::fprintf(stderr, "wrk and nginx are needed (Debian packages wrk, nginx-light)\n");
        return 1;
    }
    // One folder, readable by nginx's unprivileged worker, serves both: the
    // page and a 1 MB file.
    QTemporaryDir www;
    const QString big = QStringLiteral("datos-1MB.bin");
    QByteArray bigBytes(1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < bigBytes.size(); ++i)
        bigBytes[i] = char((i * 2654435761u) >> 24);
    const auto put = [&www](const QString &name, const QByteArray &content) {
        QFile out(www.filePath(name));
        return out.open(QIODevice::WriteOnly) && out.write(content) == content.size()
            && out.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    };
    if (!www.isValid() || !put(file, bytes) || !put(big, bigBytes)
        || !QFile::setPermissions(www.path(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                | QFile::ReadOther | QFile::ExeOther)) {
        std::fprintf(stderr, "cannot write the files into a temporary folder\n");
        return 1;
    }

    HttpServer server;
    server.setAddr(QStringLiteral("127.0.0.1"));
    server.setPort(QStringLiteral("0"));
    // The console keeps the engine's listen backlog; BENCH_BACKLOG tries another.
    if (qEnvironmentVariableIsSet("BENCH_BACKLOG"))
        server.setListenBacklog(qEnvironmentVariableIntValue("BENCH_BACKLOG"));
    server.setDocDir(www.path());
    server.setDefaultDoc(file);
    Nginx reference;
    if (!server.start() || !reference.start(nginx, www.path(), file)) {
        std::fprintf(stderr, "a server did not start: %s\n", qPrintable(server.errorString()));
        return 1;
    }

    // The tick first runs idle as long as one load, for the timer's own slack.
    Tick tick;
    spin((seconds + 1) * 1000);

    // Each figure is the median of alternating rounds: a machine shared with
    // other work moves single runs by more than the difference measured.
    struct Side {
        QList<double> rps;
        QList<double> p99;
        QList<double> cpuUs; // the server's time on a core per request
        QString problems;
        bool ok = true;
        void add(const WrkFigures &f, double runBefore, double runAfter)
        {
            ok = ok && f.ok;
            rps.append(f.requestsPerSecond);
            p99.append(f.latencyP99Ms);
            if (runBefore >= 0 && runAfter >= 0 && f.requests > 0)
                cpuUs.append((runAfter - runBefore) / f.requests);
            if (problems.isEmpty())
                problems = f.problems;
        }
    };
    struct Row {
        QString what;
        Side engine;
        Side nginx;
    };
    QList<Row> rows;
    bool failed = false;
    for (const auto &[name, label] :
        { std::pair { file, QStringLiteral("page") }, std::pair { big, QStringLiteral("1 MB") } }) {
        for (const Mode mode : { Mode::KeepAlive, Mode::Close }) {
            for (const int connections : std::as_const(connectionCounts)) {
                Row row;
                row.what = QStringLiteral("%1, %2, %3 connections")
                               .arg(label,
                                   mode == Mode::KeepAlive ? QStringLiteral("keep-alive")
                                                           : QStringLiteral("new connection per request"))
                               .arg(connections);
                for (int round = 0; round < rounds; ++round) {
                    tick.loaded = true;
                    const double engineBefore = runUs(QCoreApplication::applicationPid());
                    const WrkFigures engine = runWrk(
                        wrk, wrkArguments(server.serverPort(), name, seconds, connections, mode), seconds);
                    const double engineAfter = runUs(QCoreApplication::applicationPid());
                    tick.loaded = false;
                    const qint64 worker = reference.workerPid();
                    const double nginxBefore = worker > 0 ? runUs(worker) : -1;
                    const WrkFigures other = runWrk(
                        wrk, wrkArguments(reference.port(), name, seconds, connections, mode), seconds);
                    const double nginxAfter = worker > 0 ? runUs(worker) : -1;
                    std::fprintf(stderr, "== %s, round %d\nwrk, engine:\n%s\nwrk, nginx:\n%s\n",
                        qPrintable(row.what), round + 1, engine.output.constData(), other.output.constData());
                    row.engine.add(engine, engineBefore, engineAfter);
                    row.nginx.add(other, nginxBefore, nginxAfter);
                }
                failed = failed || !row.engine.ok || !row.nginx.ok;
                rows.append(row);
            }
        }
    }
    const long idleKb = idleClients > 0 ? idleClientsKb(server, idleClients) : 0;
    server.stop();
    std::fprintf(stderr, "engine: peak write buffer %lld bytes\n", qlonglong(server.peakWriteBuffer()));
    if (failed) {
        std::fprintf(stderr, "wrk gave no figures for some runs\n");
        return 1;
    }

    const qint64 size = bytes.size();
    bench::result(QStringLiteral(
        "http (wrk -t1 -d%1s; page %2 bytes; engine vs nginx with one worker, both logging; %3)")
                      .arg(seconds)
                      .arg(size)
                      .arg(placement));
    for (Row &row : rows) {
        const QString problems = row.engine.problems.isEmpty() && row.nginx.problems.isEmpty()
            ? QString()
            : QStringLiteral(" [engine: %1; nginx: %2]").arg(row.engine.problems, row.nginx.problems);
        const double engineRps = bench::median(row.engine.rps);
        const double nginxRps = bench::median(row.nginx.rps);
        const double engineP99 = bench::median(row.engine.p99);
        const double nginxP99 = bench::median(row.nginx.p99);
        const QString cpu = row.engine.cpuUs.isEmpty() || row.nginx.cpuUs.isEmpty()
            ? QString()
            : QStringLiteral(", CPU per request %1 vs %2 us")
                  .arg(QString::number(bench::median(row.engine.cpuUs), 'f', 1),
                      QString::number(bench::median(row.nginx.cpuUs), 'f', 1));
        bench::result(QStringLiteral("http %1: %2x nginx's req/s (%3 vs %4), p99 %5x (%6 vs %7)%8%9")
                          .arg(row.what, QString::number(engineRps / nginxRps, 'f', 2),
                              QString::number(engineRps, 'f', 0), QString::number(nginxRps, 'f', 0),
                              QString::number(engineP99 / nginxP99, 'f', 2), ms(engineP99), ms(nginxP99), cpu,
                              problems));
    }
    bench::result(QStringLiteral("clock tick under http load: worst lateness %1 over %2 ticks (idle: %3)")
                      .arg(ms(tick.loadWorstMs))
                      .arg(tick.loadTicks)
                      .arg(ms(tick.idleWorstMs)));
    if (idleClients > 0)
        bench::result(
            QStringLiteral("http idle clients: %1 cost %2 kB (%3 bytes each)")
                .arg(idleClients)
                .arg(idleKb)
                .arg(idleKb >= 0 ? QString::number(idleKb * 1024 / idleClients) : QStringLiteral("-")));
    return 0;
}
