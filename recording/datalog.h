#pragma once

#include "common/clock.h"
#include "station/reading.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

namespace orvalla
{

// The minute table (SG_serie): 2 columns, 1441 rows. Row 0 holds "minuto" and
// "datos"; row k + 1 holds k + 1 and the line of minute k of the day. Column 1
// is kept as Windows-1252 bytes, exactly as written to the daily data file.
class MinuteTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int RowCount = 1441;

    explicit MinuteTableModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // Column 1 of a row (empty outside 0..1440).
    QByteArray line(int row) const;
    const QList<QByteArray> &lines() const { return m_lines; }

private:
    friend class DataLog;
    void setLines(QList<QByteArray> lines);
    void setLine(int row, const QByteArray &line);

    QList<QByteArray> m_lines;
};

// The daily data file, its today copy, the interval data file, its today copy
// and the mail queue. Every file is rewritten whole through a temporary file,
// so a failure never leaves a truncated file; a failure is returned (and
// logged) and the file on disk keeps its previous content.
class DataLog : public QObject
{
    Q_OBJECT

public:
    explicit DataLog(const QString &folder = {}, QObject *parent = nullptr);

    // The system identifier that prefixes every file name.
    void setSystemId(const QString &id) { m_id = id; }
    QString systemId() const { return m_id; }

    MinuteTableModel *minuteTable() { return &m_table; }

    // Placeholders for every minute, dated with the clock's day.
    void resetMinuteTable(const LocalTime &clock);

    // Daily data file recording: the reading line goes into the minute of the
    // reading, and the day's file and its today copy are rewritten. A day's
    // file that exists but cannot be read is left alone (false).
    bool recordReading(
        const QByteArray &line, const Reading &reading, const LocalTime &clock, QString *error = nullptr);

    // Appends one line to the interval data file of the clock's day and copies
    // it over the today copy.
    bool appendIntervalRecord(const QByteArray &text, const LocalTime &clock, QString *error = nullptr);

    // Mail queue: append one reading line; empty the queue and its file.
    bool appendMailQueue(const QByteArray &line, QString *error = nullptr);
    bool ClearMailQueue(QString *error = nullptr);

    // Column 1 of the minute table for minute k of the day (row k + 1).
    QByteArray minuteLine(int minuteOfDay) const { return m_table.line(minuteOfDay + 1); }
    // The lines of Memo_serie, as bytes and as screen text (lines joined by "\n").
    const QList<QByteArray> &mailQueue() const { return m_queue; }
    QString mailQueueText() const;
    // The name of the daily data file last written (Edit_serie_nome_ficheiro).
    QString dataFileName() const { return m_dataFileName; }

Q_SIGNALS:
    void dataFileNameChanged(const QString &name);
    // A reading went into this row; the view selects it so it scrolls into view.
    void minuteRowRecorded(int row);
    void mailQueueChanged();

private:
    QString path(const QString &name) const;
    bool fail(QString *error, const QString &text) const;

    QString m_folder;
    QString m_id = QStringLiteral("tarvelo");
    MinuteTableModel m_table;
    QList<QByteArray> m_queue;
    QString m_dataFileName;
    // Lines that could not be written yet (full disk, file locked): they go
    // to disk with the next write that succeeds, so no reading is lost while
    // the console runs. Keyed by file path; daily data rows by row.
    QMap<QString, QMap<int, QByteArray>> m_pendingRows;
    QMap<QString, QList<QByteArray>> m_pendingRecords;
    QList<QByteArray> m_pendingQueue;
};

} // namespace orvalla
