#include "history/history.h"

#include "common/files.h"
#include "common/log.h"
#include "common/text.h"
#include "recording/recordingfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace orvalla
{

ReadingHistory::ReadingHistory(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_folder(folder)
{
    m_retry.setInterval(30000);
    connect(&m_retry, &QTimer::timeout, this, &ReadingHistory::retry);
    m_importTimer.setSingleShot(true);
    m_importTimer.setInterval(0);
    connect(&m_importTimer, &QTimer::timeout, this, &ReadingHistory::importStep);
}

ReadingHistory::~ReadingHistory() = default;

QString ReadingHistory::archiveFileName(const QString &systemId)
{
    return systemId + QStringLiteral("_arquivo.sqlite");
}

void ReadingHistory::setStatus(const QString &text)
{
    m_status = text;
    Q_EMIT statusChanged(text);
}

void ReadingHistory::start(const QString &systemId)
{
    m_id = systemId;
    m_started = true;
    m_importQueue.clear();
    m_importTotal = 0;
    if (openArchive())
        scanDayFiles();
}

bool ReadingHistory::openArchive()
{
    QString why;
    const QString path = pathIn(m_folder, archiveFileName(m_id));
    if (!m_archive.open(path, &why)) {
        failed(why);
        return false;
    }
    qCInfo(lcHistory).noquote() << "archive open:" << path;
    m_central.archiveOpened();
    return true;
}

void ReadingHistory::failed(const QString &why)
{
    if (!m_retry.isActive())
        m_retry.start();
    m_importQueue.clear();
    m_importTotal = 0;
    m_importTimer.stop();
    if (!m_available)
        return;
    m_available = false;
    qCWarning(lcHistory).noquote() << "archive not available, readings wait for it:"
                                   << pathIn(m_folder, archiveFileName(m_id)) << why;
    setStatus(
        QStringLiteral("Arquivo de lecturas %1 non dispoñible (%2); as lecturas seguen nos ficheiros de "
                       "datos e pasarán ao arquivo cando funcione")
            .arg(archiveFileName(m_id), why));
}

void ReadingHistory::recovered()
{
    m_retry.stop();
    if (m_available)
        return;
    m_available = true;
    qCInfo(lcHistory).noquote() << "archive available again:" << pathIn(m_folder, archiveFileName(m_id));
    setStatus(QStringLiteral("Arquivo de lecturas %1 dispoñible de novo").arg(archiveFileName(m_id)));
    // What the day files got meanwhile (also across restarts) goes in now.
    if (!importing())
        scanDayFiles();
}

bool ReadingHistory::storeWaiting()
{
    if (m_waiting.isEmpty())
        return true;
    if (!m_archive.isOpen() && !openArchive())
        return false;
    QString why;
    if (!m_archive.store(m_id, m_waiting, &why)) {
        failed(why);
        // A damaged or vanished file: open it afresh at the next try.
        m_archive.close();
        return false;
    }
    for (const ArchiveRow &row : std::as_const(m_waiting))
        qCInfo(lcHistory).noquote() << "reading archived:" << m_id << row.instant;
    m_waiting.clear();
    recovered();
    m_central.readingsStored();
    Q_EMIT readingsChanged();
    return true;
}

void ReadingHistory::recordReadingLine(const QByteArray &line)
{
    if (!m_started)
        return;
    const std::optional<ArchiveRow> row = parseReadingLine(line);
    if (!row) {
        qCWarning(lcHistory).noquote() << "not a reading line, not archived:" << fromCp1252(line);
        return;
    }
    m_waiting.append(*row);
    if (m_waiting.size() > kMaxWaiting)
        m_waiting.removeFirst();
    storeWaiting();
}

void ReadingHistory::retry()
{
    if (!m_waiting.isEmpty()) {
        storeWaiting();
        return;
    }
    if (!m_archive.isOpen() && !openArchive())
        return;
    // Nothing waiting: the write lock shows whether another program still holds it.
    QString why;
    if (!m_archive.canWrite(&why)) {
        failed(why);
        return;
    }
    // Day files to import: the first one stored says the archive works again.
    scanDayFiles();
    if (!importing())
        recovered();
}

void ReadingHistory::scanDayFiles()
{
    const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(m_id) + QStringLiteral("_datos_(\\d\\d)_(\\d\\d)_(\\d{4})\\.txt")));
    const QDir dir(m_folder.isEmpty() ? QStringLiteral(".") : m_folder);
    struct Dated {
        QString key, name;
    };
    QList<Dated> files;
    for (const QString &name : dir.entryList({ m_id + QStringLiteral("_datos_*.txt") }, QDir::Files)) {
        const QRegularExpressionMatch m = pattern.match(name);
        if (!m.hasMatch())
            continue;
        const ImportedFile now { name, QFileInfo(dir.filePath(name)).size(),
            QFileInfo(dir.filePath(name)).lastModified().toString(Qt::ISODateWithMs) };
        if (m_archive.importedFile(name) == now)
            continue;
        files.append({ m.captured(3) + m.captured(2) + m.captured(1), name });
    }
    // Oldest day first: the rain of each day's first hour follows the day before.
    std::sort(files.begin(), files.end(), [](const Dated &a, const Dated &b) { return a.key < b.key; });
    m_importQueue.clear();
    for (const Dated &f : files)
        m_importQueue.append(f.name);
    m_importTotal = int(m_importQueue.size());
    m_importDone = 0;
    m_importRows = 0;
    if (m_importTotal == 0)
        return;
    qCInfo(lcHistory, "importing %d day files into the archive", m_importTotal);
    setStatus(QStringLiteral("Importando ficheiros de datos ao arquivo: 0 de %1").arg(m_importTotal));
    m_importTimer.start();
}

void ReadingHistory::importStep()
{
    if (m_importQueue.isEmpty())
        return;
    const QString name = m_importQueue.takeFirst();
    const QString path = pathIn(m_folder, name);
    const QFileInfo info(path);
    const ImportedFile file { name, info.size(), info.lastModified().toString(Qt::ISODateWithMs) };
    QByteArray bytes;
    QString why;
    if (!readFile(path, &bytes, &why)) {
        // A day file that cannot be read now is tried again at the next start.
        qCWarning(lcHistory).noquote() << "day file not imported:" << why;
    } else {
        QList<ArchiveRow> rows;
        for (const QByteArray &line : splitLines(bytes)) {
            if (std::optional<ArchiveRow> row = parseReadingLine(line))
                rows.append(std::move(*row));
        }
        if (!m_archive.store(m_id, rows, &why, &file)) {
            m_archive.close();
            failed(why);
            return;
        }
        m_importRows += rows.size();
        if (!m_available)
            recovered();
        m_central.readingsStored();
    }
    ++m_importDone;
    if (!m_importQueue.isEmpty()) {
        setStatus(QStringLiteral("Importando ficheiros de datos ao arquivo: %1 de %2")
                      .arg(m_importDone)
                      .arg(m_importTotal));
        m_importTimer.start();
        return;
    }
    qCInfo(lcHistory, "imported %d day files, %lld readings", m_importDone, m_importRows);
    setStatus(QStringLiteral("Arquivo de lecturas: %1 ficheiros de datos importados (%2 lecturas)")
                  .arg(m_importDone)
                  .arg(m_importRows));
    m_importTotal = 0;
    Q_EMIT readingsChanged();
}

} // namespace orvalla
