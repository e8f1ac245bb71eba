#pragma once

#include "history/archive.h"
#include "history/central.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

namespace orvalla
{

// The archive as the console keeps it: every decoded reading goes in after the
// day files have it; the day files of the working folder that the archive does
// not hold yet are imported a file per event-loop turn. The day files stay the
// primary record: an archive that cannot be opened or written is reported once
// (log and statusChanged), its readings wait in memory, and it is tried again
// every retry interval; when it works again the waiting readings go in and the
// day files changed meanwhile are imported.
class ReadingHistory : public QObject
{
    Q_OBJECT

public:
    explicit ReadingHistory(const QString &folder = {}, QObject *parent = nullptr);
    ~ReadingHistory() override;

    static QString archiveFileName(const QString &systemId); // <id>_arquivo.sqlite

    // Opens the station's archive and starts importing the day files it lacks.
    void start(const QString &systemId);
    // One decoded reading's line, as the day file got it.
    void recordReadingLine(const QByteArray &line);

    const ReadingArchive &archive() const { return m_archive; }
    QString systemId() const { return m_id; }
    bool available() const { return m_available; }
    bool importing() const { return m_importTotal > 0; }
    int waitingCount() const { return int(m_waiting.size()); }
    QString statusText() const { return m_status; }
    void setRetryInterval(int ms) { m_retry.setInterval(ms); }

    // The central PostgreSQL database the archive's readings go on to (empty: none).
    void setCentralDatabase(const QString &uri) { m_central.setUri(uri); }
    CentralSender &central() { return m_central; }
    const CentralSender &central() const { return m_central; }

    // Readings kept in memory while the archive fails; older ones are left to
    // the day files, which are imported once it works again.
    static constexpr int kMaxWaiting = 50000;

Q_SIGNALS:
    // A line for the status bar: a failure, a recovery, import progress.
    void statusChanged(const QString &text);
    // Readings were stored (live or imported): charts may be redrawn.
    void readingsChanged();

private:
    bool openArchive();
    bool storeWaiting();
    void failed(const QString &why);
    void recovered();
    void retry();
    void scanDayFiles();
    void importStep();
    void setStatus(const QString &text);

    QString m_folder;
    QString m_id;
    ReadingArchive m_archive;
    CentralSender m_central { &m_archive }; // stops before the archive closes
    bool m_started = false;
    bool m_available = true;
    QList<ArchiveRow> m_waiting;
    QTimer m_retry;
    QTimer m_importTimer;
    QStringList m_importQueue;
    int m_importTotal = 0;
    int m_importDone = 0;
    qint64 m_importRows = 0;
    QString m_status;
};

} // namespace orvalla
