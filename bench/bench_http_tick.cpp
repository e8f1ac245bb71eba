// wrk against the console's HTTP server engine and against nginx (one worker
// process) serving the same file, in one run, both on 127.0.0.1.
//
// The engine runs as the console runs it: one thread, one event loop, with the
// one-second clock tick (a QTimer of 1000 ms, default timer type) beside it.
// The tick's lateness (interval between two ticks beyond 1000 ms) is measured
// while idle and while wrk loads the server. The engine keeps the console's
// settings (listen backlog 5, no client limit) and logs each request on
// standard error as the console does; nginx writes its access log likewise.
//
// usage: bench_http_tick PAGE [seconds] [connections]
//        (default 10 s, 16 connections; wrk runs one thread). A PAGE named
//        *.txt is a page template: it is filled with a simulated reading, as
//        the console does, and served as Orvalla.htm.
//        BENCH_BACKLOG=n in the environment gives the engine another listen
//        backlog than the console's.

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

using namespace orvalla;

namespace
{

struct WrkFigures {
    bool ok = false;
    double requestsPerSecond = 0;
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

QStringList wrkArguments(quint16 port, const QString &file, int seconds, int connections)
{
    return { QStringLiteral("-t1"), QStringLiteral("-c%1").arg(connections),
        QStringLiteral("-d%1s").arg(seconds), QStringLiteral("--latency"),
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

struct TickFigures {
    double idleWorstMs = 0;
    double loadWorstMs = 0;
    int loadTicks = 0;
};

// The engine with the clock tick beside it: idle ticks first, then wrk.
WrkFigures runEngine(const QString &wrk, const QString &folder, const QString &file, int seconds,
    int connections, TickFigures &ticks)
{
    HttpServer server;
    server.setAddr(QStringLiteral("127.0.0.1"));
    server.setPort(QStringLiteral("0"));
    // The console keeps the engine's listen backlog; BENCH_BACKLOG tries another.
    if (qEnvironmentVariableIsSet("BENCH_BACKLOG"))
        server.setListenBacklog(qEnvironmentVariableIntValue("BENCH_BACKLOG"));
    server.setDocDir(folder);
    server.setDefaultDoc(file);
    if (!server.start()) {
        std::fprintf(stderr, "HTTP server engine did not start: %s\n", qPrintable(server.errorString()));
        return {};
    }

    // An idle stretch as long as the load, for the timer's own slack.
    const int idleTicks = seconds + 1;
    QEventLoop loop;
    QProcess load;
    QTimer tick;
    tick.setInterval(1000);
    QElapsedTimer clock;
    qint64 lastTickNs = -1;
    int tickCount = 0;
    bool loadRunning = false;
    bool loadDone = false;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTickNs >= 0) {
            const double lateMs = double(now - lastTickNs - 1000000000LL) / 1e6;
            if (loadRunning) {
                ticks.loadWorstMs = qMax(ticks.loadWorstMs, lateMs);
                ++ticks.loadTicks;
            } else if (!loadDone) {
                ticks.idleWorstMs = qMax(ticks.idleWorstMs, lateMs);
            }
        }
        lastTickNs = now;
        ++tickCount;
        if (tickCount == idleTicks && !loadRunning && !loadDone) {
            loadRunning = true;
            load.start(wrk, wrkArguments(server.serverPort(), file, seconds, connections));
        }
        if (loadDone)
            loop.quit();
    });
    QObject::connect(&load, &QProcess::finished, [&] {
        loadRunning = false;
        loadDone = true;
    });
    QObject::connect(&load, &QProcess::errorOccurred, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            loadDone = true;
            loop.quit();
        }
    });
    // Everything stops by itself, even if wrk hangs.
    QTimer::singleShot((idleTicks + seconds + 30) * 1000, &loop, [&] {
        load.kill();
        loop.quit();
    });
    clock.start();
    tick.start();
    loop.exec();
    load.waitForFinished(5000);
    server.stop();
    std::fprintf(stderr, "engine: peak write buffer %lld bytes\n", qlonglong(server.peakWriteBuffer()));
    return parseWrk(load.readAllStandardOutput());
}

WrkFigures runNginx(const QString &wrk, const QString &nginx, const QString &folder, const QString &file,
    int seconds, int connections)
{
    QTemporaryDir prefix;
    const quint16 port = freePort();
    if (!prefix.isValid() || !port)
        return {};
    const QString conf = prefix.filePath(QStringLiteral("nginx.conf"));
    const QByteArray text = QStringLiteral("daemon off;\n"
                                           "master_process on;\n"
                                           "worker_processes 1;\n"
                                           "pid %1/nginx.pid;\n"
                                           "error_log %1/error.log warn;\n"
                                           "events { worker_connections 256; }\n"
                                           "http {\n"
                                           "    access_log %1/access.log;\n"
                                           "    sendfile on;\n"
                                           "    default_type text/html;\n"
                                           "    client_body_temp_path %1/body;\n"
                                           "    server {\n"
                                           "        listen 127.0.0.1:%2;\n"
                                           "        root %3;\n"
                                           "        index %4;\n"
                                           "    }\n"
                                           "}\n")
                                .arg(prefix.path())
                                .arg(port)
                                .arg(folder, file)
                                .toUtf8();
    QFile out(conf);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
        return {};
    out.close();

    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(nginx,
        { QStringLiteral("-p"), prefix.path(), QStringLiteral("-e"),
            prefix.filePath(QStringLiteral("error.log")), QStringLiteral("-c"), conf });
    if (!server.waitForStarted(5000) || !waitForPort(port, 10000)) {
        std::fprintf(stderr, "nginx did not start: %s\n", server.readAll().constData());
        server.kill();
        server.waitForFinished(5000);
        return {};
    }
    QProcess load;
    load.start(wrk, wrkArguments(port, file, seconds, connections));
    load.waitForFinished((seconds + 30) * 1000);
    WrkFigures figures = parseWrk(load.readAllStandardOutput());
    server.terminate();
    if (!server.waitForFinished(10000)) {
        server.kill();
        server.waitForFinished(5000);
    }
    return figures;
}

QString ms(double v)
{
    return QString::number(v, 'f', v < 10 ? 2 : 1) + QStringLiteral(" ms");
}

QString describe(const WrkFigures &f)
{
    return QStringLiteral("%1 req/s, latency median %2, p99 %3, max %4")
        .arg(QString::number(f.requestsPerSecond, 'f', 0), ms(f.latencyP50Ms), ms(f.latencyP99Ms),
            ms(f.latencyMaxMs));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_http_tick PAGE [seconds] [connections]\n");
        return 2;
    }
    const QFileInfo page(QString::fromLocal8Bit(argv[1]));
    const int seconds = argc > 2 ? qBound(1, atoi(argv[2]), 120) : 10;
    const int connections = argc > 3 ? qBound(1, atoi(argv[3]), 200) : 16;
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
    // One copy of the page, readable by nginx's unprivileged worker, serves both.
    QTemporaryDir www;
    const QString served = www.filePath(file);
    QFile copy(served);
    if (!www.isValid() || !copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size()
        || !QFile::setPermissions(www.path(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                | QFile::ReadOther | QFile::ExeOther)
        || !copy.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther)) {
        std::fprintf(stderr, "cannot write the page into a temporary folder\n");
        return 1;
    }
    copy.close();
    const qint64 size = QFileInfo(served).size();

    TickFigures ticks;
    const WrkFigures engine = runEngine(wrk, www.path(), file, seconds, connections, ticks);
    const WrkFigures reference = runNginx(wrk, nginx, www.path(), file, seconds, connections);
    if (!engine.ok || !reference.ok) {
        std::fprintf(stderr, "wrk gave no figures:\nengine:\n%s\nnginx:\n%s\n", engine.output.constData(),
            reference.output.constData());
        return 1;
    }
    std::fprintf(stderr, "wrk, engine:\n%s\nwrk, nginx:\n%s\n", engine.output.constData(),
        reference.output.constData());

    const QString load
        = QStringLiteral("wrk -t1 -c%1 -d%2s, %3 bytes").arg(connections).arg(seconds).arg(size);
    bench::result(
        QStringLiteral("http: %1x nginx's requests per second (%2)")
            .arg(QString::number(engine.requestsPerSecond / reference.requestsPerSecond, 'f', 2), load));
    bench::result(
        QStringLiteral("http console engine: %1%2")
            .arg(describe(engine),
                engine.problems.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(engine.problems)));
    bench::result(
        QStringLiteral("http nginx (1 worker): %1%2")
            .arg(describe(reference),
                reference.problems.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(reference.problems)));
    bench::result(QStringLiteral("clock tick under http load: worst lateness %1 over %2 ticks (idle: %3)")
                      .arg(ms(ticks.loadWorstMs))
                      .arg(ticks.loadTicks)
                      .arg(ms(ticks.idleWorstMs)));
    return 0;
}
