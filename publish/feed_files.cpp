#include "publish/feed_files.h"

#include "common/files.h"
#include "common/log.h"
#include "common/text.h"

#include <QDir>
#include <QStringList>

namespace orvalla
{

QByteArray awekasFeed(const Reading &r)
{
    QByteArray out;
    out += formatC("%02.1f\n", double(r.temperature));
    out += formatC("%03.1f\n", double(r.humidity));
    out += formatC("%06.1f\n", double(r.pressure));
    out += formatC("%03.1f\n", double(r.rain));
    out += formatC("%03.1f\n", double(r.wind_speed));
    out += formatC("%03.0f\n", double(r.wind_direction));
    out += formatC("%02d:%02d\n", int(r.hour), int(r.minute));
    out += formatC("%02d.%02d.%04d\n", int(r.day), int(r.month), int(r.year));
    out += formatC("%+02.1f\n", 0.0);
    return out;
}

QString measurementSummaryName(const QString &systemId)
{
    return systemId + QLatin1String("_medida.txt");
}

QByteArray measurementSummary(const Reading &r, const ReadingScreenTexts &screen)
{
    // Windows-1252 bytes: 0xBA is the degree sign, 0xF3 o-acute, 0xED i-acute.
    QByteArray out;
    out += "data: " + toCp1252(screen.date) + "\n";
    out += "hora: " + toCp1252(screen.time) + "\n";
    out += formatComma("temperatura: %4.1f \xBA"
                       "C\n",
        double(r.temperature));
    out += formatComma("humidade: %4.1f %%\n", double(r.humidity));
    out += formatComma("presi\xF3n: %6.1f mbar\n", double(r.pressure));
    out += formatComma("radiaci\xF3n solar: %4.1f W/m2\n", double(r.solar_radiation));
    out += formatComma("choiva: %4.1f mm\n", double(r.rain));
    out += formatComma("velocidade vento: %3.0f km/h\n", double(r.wind_speed));
    out += formatComma("direcci\xF3n vento: %03.0f \xBA\n", double(r.wind_direction));
    out += formatComma("tensi\xF3n bater\xED"
                       "a: %4.1f V\n",
        double(r.battery_voltage));
    out += formatComma("intensidade carga: %4.1f mA\n", double(r.charge_current));
    return out;
}

QByteArray meteoclimaticFeed(const Reading &r)
{
    QByteArray out;
    out += "*VER=DATA2\n";
    out += "*COD=ESXYZ0000000000000X\n";
    out += formatC("*UPD=%02d/%02d/%02d %02d:%02d\n", int(r.day), int(r.month), int(r.year % 100),
        int(r.hour), int(r.minute));
    out += "*SKY=\n";
    out += formatC("*TMP=%02.1f\n", double(r.temperature));
    out += formatC("*WND=%04.1f\n", double(r.wind_speed));
    out += formatC("*AZI=%03.0f\n", double(r.wind_direction));
    out += formatC("*BAR=%04.1f\n", double(r.pressure));
    out += formatC("*HUM=%03.1f\n", double(r.humidity));
    out += formatC("*SUN=%06.1f\n", double(r.solar_radiation));
    for (const char *tag : { "DHTM", "DLTM", "DHHM", "DLHM", "DHBR", "DLBR", "DGST" })
        out += QByteArray("*") + tag + "=---\n";
    out += formatC("*DPCP=%04.1f\n", double(r.rain));
    for (const char period : { 'M', 'Y' }) {
        for (const char *tag : { "HTM", "LTM", "HHM", "LHM", "HBR", "LBR", "GST", "PCP" })
            out += QByteArray("*") + period + tag + "=---\n";
    }
    out += "*EOT*\n";
    return out;
}

bool WriteFeedFiles(const Reading &reading, const ReadingScreenTexts &screen, const QString &systemId,
    const QString &dir, QString *error)
{
    const auto pathOf
        = [&dir](const QString &name) { return dir.isEmpty() ? name : QDir(dir).filePath(name); };
    const std::pair<QString, QByteArray> files[] = {
        { pathOf(QStringLiteral("awekas.txt")), awekasFeed(reading) },
        { pathOf(measurementSummaryName(systemId)), measurementSummary(reading, screen) },
        { pathOf(QStringLiteral("meteoclimatic.htm")), meteoclimaticFeed(reading) },
    };
    QStringList failures;
    for (const auto &[path, bytes] : files) {
        QString why;
        if (replaceFile(path, bytes, &why)) {
            qCInfo(lcPublish) << "feed file written:" << path;
        } else {
            qCWarning(lcPublish) << "feed file not written:" << why;
            failures << why;
        }
    }
    if (error)
        *error = failures.join(QLatin1String("; "));
    return failures.isEmpty();
}

} // namespace orvalla
