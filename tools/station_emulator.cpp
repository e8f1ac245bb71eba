// orvalla-station: plays the station's radio receiver. Writes station frames with
// a day-like course of the weather into a serial device or one end of a
// pseudo-terminal pair, so the console can be shown and tested without a station.

#include "common/clock.h"
#include "station/decoder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <numbers>
#include <optional>
#include <random>
#include <termios.h>
#include <unistd.h>

using namespace orvalla;

namespace
{

constexpr double kPi = std::numbers::pi;

// The calibration the console starts with; the counts are made for it.
const Calibration kCal;

struct Weather {
    double temperature = 0; // degrees C
    double humidity = 0; // %
    double pressure = 0; // mbar
    double radiation = 0; // W/m2
    double rain = 0; // mm since midnight
    double windSpeed = 0; // km/h
    double windDirection = 0; // degrees
    double battery = 0; // V
    double current = 0; // mA
};

// A mild day: coldest and dampest before dawn, warmest mid-afternoon, sun from
// 07:00 to 19:00, a shower late in the afternoon on every third day.
Weather weatherAt(double hours, int dayOfYear)
{
    Weather w;
    const double daily = std::sin(2 * kPi * (hours - 9) / 24); // peaks at 15:00
    const double sun = std::max(0.0, std::sin(kPi * (hours - 7) / 12));
    w.temperature = 13 + 6 * daily;
    w.humidity = 75 - 20 * daily;
    w.pressure = 1013 + 1.5 * std::sin(2 * kPi * hours / 12) + 4 * std::sin(2 * kPi * dayOfYear / 9);
    w.radiation = 850 * sun;
    if (dayOfYear % 3 == 0 && hours > 16)
        w.rain = std::floor(std::min(hours - 16, 2.0) * 3);
    w.windSpeed = 4 + 12 * sun + 2 * std::sin(hours * 5);
    w.windDirection = 220 + 60 * std::sin(2 * kPi * hours / 24);
    w.battery = 3.7 + 0.2 * sun;
    w.current = 250 * sun;
    return w;
}

std::int32_t clampCount(double v, std::int32_t max)
{
    return std::int32_t(std::clamp(std::lround(v), 0L, long(max)));
}

// The decoder's formulas, turned round.
RawValues rawValues(const Weather &w, std::uint32_t sequence)
{
    RawValues raw {};
    raw[0] = clampCount((w.temperature + 39.75) / 0.01, 0xFFFF);
    // humidity = -4 + 0.0405 c - 0.0000028 c^2, on the rising side of the parabola
    const double a = 0.0000028, b = 0.0405, c = 4 + std::min(w.humidity, 100.0);
    raw[1] = clampCount((b - std::sqrt(std::max(0.0, b * b - 4 * a * c))) / (2 * a), 0xFFFF);
    const std::int32_t volts = clampCount(w.battery / kCal.transmitter_vref * 256, 255);
    const std::int32_t amps = clampCount(w.current / (0.1 * 1000 * kCal.transmitter_vref) * 256, 255);
    raw[2] = volts << 8 | amps;
    raw[3] = clampCount(w.pressure * kCal.barometer_cal, 0xFFFF);
    raw[4] = clampCount(w.radiation * 4096 / (1000 * kCal.transmitter_vref * kCal.pyranometer_cal), 0xFFFF);
    raw[5] = clampCount(w.rain, 0xFFFF);
    const std::int32_t direction = clampCount(std::fmod(w.windDirection + 360, 360) / 2, 255);
    raw[6] = clampCount(w.windSpeed, 255) << 8 | direction;
    raw[7] = std::int32_t(sequence & 0xFFFF); // not decoded by the console
    return raw;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "orvalla-station: write failed: %s\n", std::strerror(errno));
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// A terminal is put into raw mode (no echo, no CR/LF translation) at 2400 8N1;
// other files are written as they are.
bool makeRaw(int fd)
{
    if (!::isatty(fd))
        return true;
    termios tio {};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B2400);
    ::cfsetospeed(&tio, B2400);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

void sleepSeconds(double seconds)
{
    if (seconds <= 0)
        return;
    timespec ts {};
    ts.tv_sec = time_t(seconds);
    ts.tv_nsec = long((seconds - double(ts.tv_sec)) * 1e9);
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

// Printable line noise with stray "#" but never "%", so it cannot form a marker.
QByteArray noise(std::mt19937 &random)
{
    static const char kChars[] = "#abcXYZ0123456789 .,;:*+-=\r\n";
    std::uniform_int_distribution<int> length(3, 40);
    std::uniform_int_distribution<int> pick(0, int(sizeof kChars) - 2);
    QByteArray out;
    const int n = length(random);
    for (int i = 0; i < n; ++i)
        out.append(kChars[pick(random)]);
    return out;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvalla-station"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes Orvalla station frames (\"#%#% \" + 22 hex fields + LF CR) into a serial device or a\n"
        "pseudo-terminal, with a day-like course of the weather taken from the local time.\n"
        "For a demo, make a pseudo-terminal pair, e.g.\n"
        "  socat -d -d pty,raw,echo=0 pty,raw,echo=0\n"
        "then run the console with ORVALLA_SERIAL_PORT set to one end and this command on the other."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("device"),
        QStringLiteral("Serial device or pseudo-terminal path; \"-\" for standard output."));
    const QCommandLineOption fdOption(QStringLiteral("fd"),
        QStringLiteral("Write to this inherited file descriptor instead of a path."), QStringLiteral("n"));
    const QCommandLineOption intervalOption(QStringLiteral("interval"),
        QStringLiteral("Seconds between frames (default 60, at least 0.1)."), QStringLiteral("seconds"),
        QStringLiteral("60"));
    const QCommandLineOption countOption(QStringLiteral("count"),
        QStringLiteral("Frames to send, then exit (default 0: for ever)."), QStringLiteral("n"),
        QStringLiteral("0"));
    const QCommandLineOption atOption(QStringLiteral("at"),
        QStringLiteral("Use this time of day for the weather instead of the clock."),
        QStringLiteral("hh:mm"));
    const QCommandLineOption noiseOption(
        QStringLiteral("noise"), QStringLiteral("Send line noise (with stray \"#\") before each frame."));
    const QCommandLineOption splitOption(QStringLiteral("split"),
        QStringLiteral("Send each frame in two parts, cut after the marker, half an interval apart."));
    const QCommandLineOption badPairOption(QStringLiteral("bad-pair"),
        QStringLiteral("Make every n-th frame carry one unequal pair."), QStringLiteral("n"),
        QStringLiteral("0"));
    parser.addOptions(
        { fdOption, intervalOption, countOption, atOption, noiseOption, splitOption, badPairOption });
    parser.process(app);

    bool ok = false;
    const double interval = parser.value(intervalOption).toDouble(&ok);
    if (!ok || interval < 0.1) {
        std::fprintf(stderr, "orvalla-station: --interval must be a number of seconds, at least 0.1\n");
        return 2;
    }
    const long long count = parser.value(countOption).toLongLong(&ok);
    if (!ok || count < 0) {
        std::fprintf(stderr, "orvalla-station: --count must be 0 or more\n");
        return 2;
    }
    const long long badPair = parser.value(badPairOption).toLongLong(&ok);
    if (!ok || badPair < 0) {
        std::fprintf(stderr, "orvalla-station: --bad-pair must be 0 or more\n");
        return 2;
    }
    std::optional<double> fixedHours;
    if (parser.isSet(atOption)) {
        const QStringList hm = parser.value(atOption).split(QLatin1Char(':'));
        bool okH = false, okM = false;
        const int h = hm.value(0).toInt(&okH), m = hm.value(1).toInt(&okM);
        if (hm.size() != 2 || !okH || !okM || h < 0 || h > 23 || m < 0 || m > 59) {
            std::fprintf(stderr, "orvalla-station: --at wants hh:mm\n");
            return 2;
        }
        fixedHours = h + m / 60.0;
    }

    int fd = -1;
    const QStringList args = parser.positionalArguments();
    if (parser.isSet(fdOption)) {
        fd = parser.value(fdOption).toInt(&ok);
        if (!ok || fd < 0 || ::fcntl(fd, F_GETFD) < 0) {
            std::fprintf(stderr, "orvalla-station: --fd %s is not an open descriptor\n",
                qPrintable(parser.value(fdOption)));
            return 2;
        }
    } else if (args.size() == 1 && args.first() == QLatin1String("-")) {
        fd = STDOUT_FILENO;
    } else if (args.size() == 1) {
        fd = ::open(QFile::encodeName(args.first()).constData(), O_RDWR | O_NOCTTY);
        if (fd < 0) {
            std::fprintf(stderr, "orvalla-station: cannot open %s: %s\n", qPrintable(args.first()),
                std::strerror(errno));
            return 1;
        }
    } else {
        parser.showHelp(2);
    }
    if (!makeRaw(fd)) {
        std::fprintf(stderr, "orvalla-station: cannot set the terminal raw: %s\n", std::strerror(errno));
        return 1;
    }

    std::mt19937 random(std::random_device {}());
    long long bytes = 0;
    long long sent = 0;
    for (; count == 0 || sent < count; ++sent) {
        if (sent > 0)
            sleepSeconds(interval);
        const LocalTime now = SystemClock().localNow();
        const double hours = fixedHours ? *fixedHours : now.hour + now.minute / 60.0 + now.second / 3600.0;
        QByteArray frame = frameText(rawValues(weatherAt(hours, now.dayOfYear), std::uint32_t(sent)));
        const bool broken = badPair > 0 && (sent + 1) % badPair == 0;
        if (broken)
            frame[15] = frame[15] == '0' ? '1' : '0'; // first copy of raw value 1
        if (parser.isSet(noiseOption))
            frame.prepend(noise(random));

        if (parser.isSet(splitOption)) {
            const qsizetype cut = frame.indexOf("#%#%") + 20;
            if (!writeAll(fd, frame.left(cut)))
                return 1;
            sleepSeconds(interval / 2);
            if (!writeAll(fd, frame.mid(cut)))
                return 1;
        } else if (!writeAll(fd, frame)) {
            return 1;
        }
        bytes += frame.size();
        std::fprintf(stderr, "orvalla-station: frame %lld%s, %lld bytes\n", sent + 1,
            broken ? " (unequal pair)" : "", (long long)frame.size());
    }
    if (fd != STDOUT_FILENO)
        ::tcdrain(fd);
    // With the frames on standard output the summary goes to the error stream.
    std::fprintf(fd == STDOUT_FILENO ? stderr : stdout, "sent %lld frames, %lld bytes\n", sent, bytes);
    return 0;
}
