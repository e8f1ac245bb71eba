// The console itself: start-up time and memory.
//
// Start-up: the real `orvalla` binary is started (offscreen, simulated
// reception, a fresh working folder) and timed from the start of its process
// to its "start-up done" log line. Its first tick leaves no trace outside
// (the first simulated reading waits for the next minute), so the time to the
// first tick is taken from this program started as a child in --first-tick
// mode: the start-up of main.cpp with a watcher on the tick timer that prints
// "first tick" and closes the window. Median of a few starts each.
//
// Memory: the main window built in this process with a ManualClock, in
// simulated reception, driven through 3600 ticks (one hour); VmRSS is read from
// /proc/self/status after start-up and after the hour.
//
// usage: bench_console ORVALLA_BINARY [starts]   (default 5 starts)

#include "app/message_sink.h"
#include "app/orvalla.h"
#include "app/orvalla_application.h"
#include "bench/bench_util.h"
#include "common/clock.h"
#include "common/files.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <clocale>
#include <cstdio>

using namespace orvalla;

namespace
{

const QByteArray kSettings = "Identificador do sistema = 'banco'\r\nModo simulado = 1\r\n";
const QString kTodayFile = QStringLiteral("banco_datos_hoxe.txt");

// The child: main.cpp's start-up, and the first tick reported on standard output.
int firstTickChild(int argc, char **argv)
{
    chooseOffscreenWithoutDisplay();
    OrvallaApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    SystemClock clock;
    TOrvalla window(clock);
    auto *tick = window.findChild<QTimer *>(QStringLiteral("Timer_reloxo"));
    if (!tick)
        return 1;
    // Connected after the window's own handler: runs once the tick's work is done.
    QObject::connect(tick, &QTimer::timeout, &window, [&] {
        std::printf("first tick\n");
        std::fflush(stdout);
        tick->stop();
        window.close();
    });
    window.show();
    app.exec();
    return 0;
}

struct StartFigures {
    double readyMs = -1; // "start-up done" on standard error
    double firstTickMs = -1; // "first tick" on standard output
};

// child: false runs the console and waits for its "start-up done" log line;
// true runs this program in --first-tick mode and waits for its first tick.
StartFigures timeOneStart(const QString &binary, bool child)
{
    StartFigures figures;
    QTemporaryDir dir;
    if (!dir.isValid() || !replaceFile(dir.filePath(QStringLiteral("meteo.cfg")), kSettings))
        return figures;

    QProcess console;
    console.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    console.setProcessEnvironment(env);

    QEventLoop loop;
    QElapsedTimer clock;
    QByteArray log, out;
    QObject::connect(&console, &QProcess::readyReadStandardError, [&] {
        log += console.readAllStandardError();
        if (figures.readyMs < 0 && log.contains("start-up done")) {
            figures.readyMs = double(clock.nsecsElapsed()) / 1e6;
            if (!child)
                loop.quit();
        }
    });
    QObject::connect(&console, &QProcess::readyReadStandardOutput, [&] {
        out += console.readAllStandardOutput();
        if (figures.firstTickMs < 0 && out.contains("first tick")) {
            figures.firstTickMs = double(clock.nsecsElapsed()) / 1e6;
            loop.quit();
        }
    });
    QObject::connect(&console, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);

    clock.start();
    console.start(binary, child ? QStringList { QStringLiteral("--first-tick") } : QStringList());
    loop.exec();

    // Closed as the operator closes it (SIGTERM closes the window).
    console.terminate();
    if (!console.waitForFinished(10000)) {
        console.kill();
        console.waitForFinished(5000);
    }
    log += console.readAllStandardError();
    if (figures.readyMs < 0 || (child && figures.firstTickMs < 0))
        std::fprintf(stderr, "start not observed; console log:\n%s\n", log.constData());
    return figures;
}

QString ms(double v)
{
    return QString::number(v, 'f', 0) + QStringLiteral(" ms");
}

QString mb(long kb)
{
    return QString::number(double(kb) / 1024, 'f', 1) + QStringLiteral(" MB");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--first-tick") == 0)
        return firstTickChild(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_console ORVALLA_BINARY [starts]\n");
        return 2;
    }
    const QString binary = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const int starts = argc > 2 ? qBound(1, atoi(argv[2]), 50) : 5;

    // Start-up of the real binary, and of the same start-up up to its first tick.
    const QString self = QCoreApplication::applicationFilePath();
    QList<double> ready, childReady, firstTick;
    for (int i = 0; i < starts; ++i) {
        const StartFigures console = timeOneStart(binary, false);
        const StartFigures f = timeOneStart(self, true);
        if (console.readyMs < 0 || f.readyMs < 0 || f.firstTickMs < 0)
            return 1;
        ready.append(console.readyMs);
        childReady.append(f.readyMs);
        firstTick.append(f.firstTickMs);
        std::fprintf(stderr,
            "start %d: orvalla ready %.0f ms; --first-tick ready %.0f ms, first tick %.0f ms\n", i + 1,
            console.readyMs, f.readyMs, f.firstTickMs);
    }

    // An hour of simulated operation in this process.
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path())
        || !replaceFile(QStringLiteral("meteo.cfg"), kSettings))
        return 1;
    const long rssBefore = bench::procStatusKb("VmRSS");
    ManualClock clock;
    clock.setLocal(2024, 3, 14, 9, 0, 30);
    RecordingMessageSink sink;
    QList<double> tickMs;
    long rssStarted = 0, rssHour = 0, peak = 0;
    {
        TOrvalla window(clock, &sink);
        // The bench drives the tick itself, one simulated second at a time.
        if (auto *timer = window.findChild<QTimer *>(QStringLiteral("Timer_reloxo")))
            timer->stop();
        window.show();
        app.processEvents();
        rssStarted = bench::procStatusKb("VmRSS");
        QElapsedTimer timer;
        for (int tick = 0; tick < 3600; ++tick) {
            clock.advance(1);
            timer.start();
            window.Timer_reloxoTimer();
            app.processEvents();
            tickMs.append(double(timer.nsecsElapsed()) / 1e6);
        }
        rssHour = bench::procStatusKb("VmRSS");
        peak = bench::procStatusKb("VmHWM");
        if (!QFileInfo::exists(kTodayFile) || !sink.messages.isEmpty()) {
            std::fprintf(stderr, "the simulated hour recorded nothing or asked the operator: %s\n",
                qPrintable(sink.messages.join(QStringLiteral(" | "))));
            return 1;
        }
        window.close();
    }
    QDir::setCurrent(QDir::tempPath());

    // Where the slow ticks fall: every tenth tick evaluates the daily extremes.
    int slow = 0, slowTenth = 0;
    for (qsizetype i = 0; i < tickMs.size(); ++i) {
        if (tickMs[i] > 5) {
            ++slow;
            slowTenth += (i + 1) % 10 == 0;
        }
    }
    std::fprintf(stderr, "ticks over 5 ms: %d, of which %d are a tenth tick\n", slow, slowTenth);
    const double worstTick = bench::quantile(tickMs, 1.0);
    const double medianTick = bench::median(tickMs);
    bench::result(QStringLiteral("start-up: %1 from process start to the window ready (orvalla, offscreen, "
                                 "median of %2 starts)")
                      .arg(ms(bench::median(ready)))
                      .arg(starts));
    bench::result(
        QStringLiteral("start-up: %1 from process start to the first tick done (%2 to ready; the tick "
                       "timer's first 1000 ms are by design)")
            .arg(ms(bench::median(firstTick)), ms(bench::median(childReady))));
    bench::result(QStringLiteral("memory: VmRSS %1 after an hour of simulated operation (%2 after start-up, "
                                 "%3 before the window, peak %4)")
                      .arg(mb(rssHour), mb(rssStarted), mb(rssBefore), mb(peak)));
    bench::result(QStringLiteral("tick work in that hour: median %1 ms, worst %2 ms (3600 ticks)")
                      .arg(QString::number(medianTick, 'f', 3), QString::number(worstTick, 'f', 1)));
    return 0;
}
