#include "recording/datalog.h"

#include "common/files.h"
#include "common/log.h"
#include "common/text.h"
#include "recording/recordingfiles.h"

#include <QFileInfo>

namespace orvalla
{

namespace
{

QByteArray timeStamp(int day, int month, int year, int hour, int minute, int second)
{
    return formatC("%02d/%02d/%04d %02d:%02d:%02d ", day, month, year, hour, minute, second);
}

// Reads a file that may not exist: a missing file gives no lines; a file that
// exists but cannot be read is an error, so that it is never overwritten.
bool readLinesIfExists(const QString &path, QList<QByteArray> *lines, QString *error)
{
    lines->clear();
    if (!QFileInfo::exists(path))
        return true;
    QByteArray bytes;
    if (!readFile(path, &bytes, error))
        return false;
    *lines = splitLines(bytes);
    return true;
}

} // namespace

MinuteTableModel::MinuteTableModel(QObject *parent)
    : QAbstractTableModel(parent)
    , m_lines(RowCount)
{
}

int MinuteTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : RowCount;
}

int MinuteTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant MinuteTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    if (index.column() == 0)
        return index.row() == 0 ? QStringLiteral("minuto") : QString::number(index.row());
    return fromCp1252(line(index.row()));
}

QByteArray MinuteTableModel::line(int row) const
{
    return row >= 0 && row < RowCount ? m_lines[row] : QByteArray();
}

void MinuteTableModel::setLines(QList<QByteArray> lines)
{
    lines.resize(RowCount);
    beginResetModel();
    m_lines = std::move(lines);
    endResetModel();
}

void MinuteTableModel::setLine(int row, const QByteArray &line)
{
    m_lines[row] = line;
    const QModelIndex cell = index(row, 1);
    Q_EMIT dataChanged(cell, cell, { Qt::DisplayRole });
}

DataLog::DataLog(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_folder(folder)
{
}

QString DataLog::path(const QString &name) const
{
    return pathIn(m_folder, name);
}

bool DataLog::fail(QString *error, const QString &text) const
{
    qCWarning(lcRecording).noquote() << text;
    if (error)
        *error = text;
    return false;
}

void DataLog::resetMinuteTable(const LocalTime &clock)
{
    QList<QByteArray> lines;
    lines.reserve(MinuteTableModel::RowCount);
    lines.append("datos");
    for (int k = 0; k < 1440; ++k)
        lines.append(timeStamp(clock.day, clock.month, clock.year, k / 60, k % 60, 0));
    m_table.setLines(std::move(lines));
}

bool DataLog::recordReading(
    const QByteArray &line, const Reading &reading, const LocalTime &clock, QString *error)
{
    const QString name = dailyDataFileName(m_id, reading.day, reading.month, reading.year);
    m_dataFileName = name;
    Q_EMIT dataFileNameChanged(name);

    if (reading.hour < 0 || reading.hour > 23 || reading.minute < 0 || reading.minute > 59)
        return fail(error,
            QStringLiteral("%1: reading time %2:%3 out of range")
                .arg(name)
                .arg(reading.hour)
                .arg(reading.minute));

    const QString file = path(name);
    QString why;
    if (QFileInfo::exists(file)) {
        // The file on disk is the master copy: reload it, so that a restart
        // during the day goes on with the same file.
        QList<QByteArray> lines;
        if (!readLinesIfExists(file, &lines, &why)) {
            m_pendingRows[file][reading.hour * 60 + reading.minute + 1] = line;
            return fail(error, QStringLiteral("daily data file not updated: %1").arg(why));
        }
        m_table.setLines(std::move(lines));
    } else {
        resetMinuteTable(clock);
    }

    const int row = reading.hour * 60 + reading.minute + 1;
    QMap<int, QByteArray> &pending = m_pendingRows[file];
    pending[row] = line;
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        m_table.setLine(it.key(), it.value());
    Q_EMIT minuteRowRecorded(row);

    if (!replaceFile(file, joinLines(m_table.lines()), &why))
        return fail(error, QStringLiteral("daily data file not written: %1").arg(why));
    qCInfo(lcRecording).noquote() << "daily data file written:" << file;
    m_pendingRows.remove(file);
    if (!copyFileReplacing(file, path(todayDataFileName(m_id)), &why))
        return fail(error, QStringLiteral("today copy of the daily data file not written: %1").arg(why));
    return true;
}

bool DataLog::appendIntervalRecord(const QByteArray &text, const LocalTime &clock, QString *error)
{
    const QString file = path(intervalDataFileName(m_id, clock.day, clock.month, clock.year));
    QString why;
    QList<QByteArray> lines;
    QList<QByteArray> &pending = m_pendingRecords[file];
    pending.append(text);
    if (!readLinesIfExists(file, &lines, &why))
        return fail(error, QStringLiteral("interval data file not updated: %1").arg(why));
    lines.append(pending);
    if (!replaceFile(file, joinLines(lines), &why))
        return fail(error, QStringLiteral("interval data file not written: %1").arg(why));
    qCInfo(lcRecording).noquote() << "interval record written:" << file;
    m_pendingRecords.remove(file);
    if (!copyFileReplacing(file, path(todayIntervalFileName(m_id)), &why))
        return fail(error, QStringLiteral("today copy of the interval data file not written: %1").arg(why));
    return true;
}

bool DataLog::appendMailQueue(const QByteArray &line, QString *error)
{
    const QString file = path(mailQueueFileName(m_id));
    QString why;
    QList<QByteArray> lines;
    if (!QFileInfo::exists(file)) {
        lines = m_queue; // no file: the memo's lines (unwritten ones included) start it
        m_pendingQueue.clear();
    } else if (!readLinesIfExists(file, &lines, &why)) {
        // Keep the line on screen, but never overwrite a queue we could not read.
        m_queue.append(line);
        m_pendingQueue.append(line);
        Q_EMIT mailQueueChanged();
        return fail(error, QStringLiteral("mail queue file not updated: %1").arg(why));
    }
    m_pendingQueue.append(line);
    lines.append(m_pendingQueue);
    m_queue = std::move(lines);
    Q_EMIT mailQueueChanged();
    if (!replaceFile(file, joinLines(m_queue), &why))
        return fail(error, QStringLiteral("mail queue file not written: %1").arg(why));
    m_pendingQueue.clear();
    return true;
}

bool DataLog::ClearMailQueue(QString *error)
{
    m_queue.clear();
    m_pendingQueue.clear();
    Q_EMIT mailQueueChanged();
    QString why;
    if (!replaceFile(path(mailQueueFileName(m_id)), QByteArray(), &why))
        return fail(error, QStringLiteral("mail queue file not cleared: %1").arg(why));
    return true;
}

QString DataLog::mailQueueText() const
{
    QByteArray text;
    for (qsizetype i = 0; i < m_queue.size(); ++i) {
        if (i)
            text += '\n';
        text += m_queue[i];
    }
    return fromCp1252(text);
}

} // namespace orvalla
