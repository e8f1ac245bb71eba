#pragma once

#include "publish/feed_files.h"
#include "station/reading.h"

#include <QByteArray>
#include <QString>

namespace orvalla
{

// The three texts of the "Web" tab that locate template and page. Paths are
// folder text immediately followed by the name, nothing inserted.
struct HtmlPageTexts {
    QString folder; // Edit_http_ruta
    QString templateName; // Edit_http_fonte
    QString pageName; // Edit_http_destino
};

// Value text that replaces marker "##k##" (k = 1..8), Windows-1252 bytes.
QByteArray htmlMarkerValue(int k, const Reading &reading, const ReadingScreenTexts &screen);

// The page made from a template: the template read as text (CR LF read as one
// line end), the first occurrence of each marker replaced in order 1..8, every
// line end written as CR LF.
QByteArray fillHtmlTemplate(
    const QByteArray &templateBytes, const Reading &reading, const ReadingScreenTexts &screen);

// Reads the template and replaces the page file whole. A template that cannot
// be read leaves the previous page untouched. Returns false (and logs, and
// says why in *error) when the page could not be written.
bool UpdateHtmlPage(const HtmlPageTexts &texts, const Reading &reading, const ReadingScreenTexts &screen,
    QString *error = nullptr);

// "actualizar ficheiro local": the page, then the feed files (in the working
// directory, or in feedDir when given). Both steps always run. Returns false
// when either failed; *error collects the reasons.
bool UpdateHtmlPageAndFeedFiles(const HtmlPageTexts &texts, const Reading &reading,
    const ReadingScreenTexts &screen, const QString &systemId, const QString &feedDir = QString(),
    QString *error = nullptr);

} // namespace orvalla
