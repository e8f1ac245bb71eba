// The start-up loader on arbitrary maxmin.bin and meteo.cfg bytes, written into
// a temporary folder. Input: a flags byte (bit 0: maxmin.bin exists, bit 1:
// meteo.cfg exists), with bit 0 a length byte and that many maxmin.bin bytes,
// then the meteo.cfg bytes.
#include "console/settings.h"
#include "recording/maxmin.h"

#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace orvalla;

namespace
{

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "settings invariant broken: %s\n", what);
        std::abort();
    }
}

QTemporaryDir *folder = nullptr;

void place(const char *name, bool exists, const QByteArray &bytes)
{
    const QString path = folder->filePath(QString::fromLatin1(name));
    QFile::remove(path);
    if (!exists)
        return;
    QFile file(path);
    check(
        file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size(), "cannot write the input file");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("orvalla.*=false"));
    folder = new QTemporaryDir;
    check(folder->isValid(), "no temporary folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    std::size_t pos = 1;
    QByteArray maxmin;
    if (flags & 1) {
        const std::size_t want = pos < size ? data[pos++] : 0;
        const std::size_t count = want < size - pos ? want : size - pos;
        maxmin = QByteArray(reinterpret_cast<const char *>(data + pos), qsizetype(count));
        pos += count;
    }
    const QByteArray cfg(reinterpret_cast<const char *>(data + pos), qsizetype(size - pos));
    place("maxmin.bin", flags & 1, maxmin);
    place("meteo.cfg", flags & 2, cfg);

    Settings settings;
    MaxMinState state;
    QString caption;
    int captions = 0;
    int httpCalls = 0;
    bool httpState = false;
    SettingsHooks hooks;
    hooks.setCaption = [&](const QString &text) {
        caption = text;
        ++captions;
    };
    hooks.setHttpServerActive = [&](bool on) {
        httpState = on;
        ++httpCalls;
    };
    hooks.switchChanged = [&](SettingsSwitch, bool) {};
    QString error;
    const bool ok = LoadSettings(settings, state, hooks, folder->path(), &error);

    check(ok, "readable files reported as unreadable");
    check(settings.identifier.size() <= 99, "identifier longer than 99 characters");
    check(state.start_offset == settings.start_offset && state.period == settings.period
            && state.failure_limit == settings.failure_limit && state.min_readings == settings.min_readings,
        "tracker record and settings disagree");
    if (flags & 2) {
        check(captions == 1 && caption == QStringLiteral("Orvalla - ") + settings.identifier,
            "caption not set once");
        check(httpCalls == 1 && httpState == settings.http_activo, "HTTP switch not applied once");
    } else {
        check(captions == 0 && httpCalls == 0, "hooks called without a settings file");
    }
    if (flags & 1) {
        // The bytes the file holds come back whole in the record (the tracker
        // settings aside, which meteo.cfg may override).
        const QByteArray back = maxMinToBytes(state);
        for (qsizetype i = 0; i < qMin<qsizetype>(maxmin.size(), 80); ++i) {
            const bool trackerSetting = i < 8 || (i >= 20 && i < 28);
            check(trackerSetting || back[i] == maxmin[i], "maxmin.bin byte lost");
        }
    }
    // What was loaded can always be written.
    check(!settingsFileBytes(settings).isEmpty(), "empty settings file");
    return 0;
}
