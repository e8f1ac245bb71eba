#include "publish/html_page.h"

#include "common/files.h"
#include "common/log.h"
#include "common/text.h"

namespace orvalla
{

QByteArray htmlMarkerValue(int k, const Reading &r, const ReadingScreenTexts &screen)
{
    switch (k) {
    case 1:
        return formatComma("%4.1f", double(r.temperature));
    case 2:
        return formatComma("%4.1f", double(r.humidity));
    case 3:
        return toCp1252(screen.date) + "  " + toCp1252(screen.time);
    case 4:
        return formatComma("%6.1f", double(r.pressure));
    case 5:
        return formatComma("%6.1f", double(r.solar_radiation));
    case 6:
        return formatComma("%4.1f", double(r.rain));
    case 7:
        return formatComma("%4.1f km/h, %3.0f\xBA", double(r.wind_speed), double(r.wind_direction));
    case 8:
        return formatComma("%4.1f V, %4.0f mA", double(r.battery_voltage), double(r.charge_current));
    default:
        return QByteArray();
    }
}

QByteArray fillHtmlTemplate(
    const QByteArray &templateBytes, const Reading &reading, const ReadingScreenTexts &screen)
{
    // Text mode: a CR LF pair reads as one line end, every line end is written as CR LF.
    QByteArray text = templateBytes;
    text.replace("\r\n", "\n");
    for (int k = 1; k <= 8; ++k) {
        const QByteArray marker = "##" + QByteArray::number(k) + "##";
        const qsizetype at = text.indexOf(marker);
        if (at < 0)
            continue;
        text.replace(at, marker.size(), htmlMarkerValue(k, reading, screen));
    }
    text.replace("\n", "\r\n");
    return text;
}

bool UpdateHtmlPage(
    const HtmlPageTexts &texts, const Reading &reading, const ReadingScreenTexts &screen, QString *error)
{
    const QString templatePath = texts.folder + texts.templateName;
    const QString pagePath = texts.folder + texts.pageName;
    QByteArray templateBytes;
    QString why;
    // The page is touched only once the template has been read, so a missing
    // template never empties the page already published.
    if (!readFile(templatePath, &templateBytes, &why)) {
        qCWarning(lcPublish) << "page template not readable:" << why;
        if (error)
            *error = why;
        return false;
    }
    if (!replaceFile(pagePath, fillHtmlTemplate(templateBytes, reading, screen), &why)) {
        qCWarning(lcPublish) << "page not written:" << why;
        if (error)
            *error = why;
        return false;
    }
    qCInfo(lcPublish) << "page written:" << pagePath;
    return true;
}

bool UpdateHtmlPageAndFeedFiles(const HtmlPageTexts &texts, const Reading &reading,
    const ReadingScreenTexts &screen, const QString &systemId, const QString &feedDir, QString *error)
{
    QString pageError;
    QString feedError;
    const bool pageOk = UpdateHtmlPage(texts, reading, screen, &pageError);
    const bool feedOk = WriteFeedFiles(reading, screen, systemId, feedDir, &feedError);
    if (error) {
        QStringList reasons;
        if (!pageOk)
            reasons << pageError;
        if (!feedOk)
            reasons << feedError;
        *error = reasons.join(QLatin1String("; "));
    }
    return pageOk && feedOk;
}

} // namespace orvalla
