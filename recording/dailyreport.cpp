#include "recording/dailyreport.h"

#include "common/clock.h"
#include "common/files.h"
#include "common/log.h"
#include "common/text.h"
#include "recording/maxmin.h"
#include "recording/recordingfiles.h"

#include <QFileInfo>

namespace orvalla
{

namespace
{

// Windows-1252 bytes: í = ED, ó = F3, á = E1, º = BA.
constexpr char kDegreeC[] = "\xBA"
                            "C ";

QByteArray dayAndTime(std::int32_t instant)
{
    const LocalTime t = toLocalTime(instant);
    return formatC("%02d/%02d %02d:%02d  ", t.day, t.month, t.hour, t.minute);
}

QList<QList<QByteArray>> emptyGrid()
{
    QList<QList<QByteArray>> cells(DailyGridModel::RowCount, QList<QByteArray>(DailyGridModel::ColumnCount));
    static const char *const headings[DailyGridModel::ColumnCount] = {
        "dia",
        "",
        "inicio medidas",
        "tempo",
        "datos",
        "fallo",
        "temp m\xEDn",
        "data/hora",
        "temp m\xE1x",
        "data/hora",
        "hum m\xEDn",
        "data/hora",
        "hum m\xE1x",
        "data/hora",
    };
    for (int c = 0; c < DailyGridModel::ColumnCount; ++c)
        cells[0][c] = headings[c];
    for (int r = 1; r < DailyGridModel::RowCount; ++r)
        cells[r][0] = QByteArray::number(r);
    return cells;
}

} // namespace

DailyGridModel::DailyGridModel(QObject *parent)
    : QAbstractTableModel(parent)
    , m_cells(emptyGrid())
{
}

int DailyGridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : RowCount;
}

int DailyGridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DailyGridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    return fromCp1252(cell(index.row(), index.column()));
}

QByteArray DailyGridModel::cell(int row, int column) const
{
    if (row < 0 || row >= RowCount || column < 0 || column >= ColumnCount)
        return {};
    return m_cells[row][column];
}

int DailyGridModel::columnWidth(int column)
{
    switch (column) {
    case 1:
        return 25;
    case 2:
    case 7:
    case 9:
    case 11:
    case 13:
        return 100;
    default:
        return 50;
    }
}

void DailyGridModel::setCell(int row, int column, const QByteArray &bytes)
{
    m_cells[row][column] = bytes;
    const QModelIndex i = index(row, column);
    Q_EMIT dataChanged(i, i, { Qt::DisplayRole });
}

void DailyGridModel::setAll(QList<QList<QByteArray>> cells)
{
    beginResetModel();
    m_cells = std::move(cells);
    endResetModel();
}

DailyReport::DailyReport(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_folder(folder)
{
}

void DailyReport::InitDailyGrid()
{
    m_grid.setAll(emptyGrid());
}

QList<QByteArray> DailyReport::reportValues(const MaxMinState &s)
{
    return {
        formatC("%02d/%02d/%04d %02d:%02d  ", s.window_day, s.window_month, s.window_year,
            s.start_offset / 3600, s.start_offset % 3600 / 60),
        formatC("%02d:%02d  ", s.period / 3600, s.period % 3600 / 60),
        formatC("%04d  ", s.reading_count),
        formatC("%04d  ", s.failure_time / 60),
        formatComma("%4.1f%s", double(s.temp_min), kDegreeC),
        dayAndTime(s.temp_min_time),
        formatComma("%4.1f%s", double(s.temp_max), kDegreeC),
        dayAndTime(s.temp_max_time),
        formatComma("%4.1f%%  ", double(s.hum_min)),
        dayAndTime(s.hum_min_time),
        formatComma("%4.1f%%  ", double(s.hum_max)),
        dayAndTime(s.hum_max_time),
    };
}

QByteArray DailyReport::reportText(const QList<QByteArray> &v)
{
    const QByteArray rule(65, '-');
    const QByteArray when = "  d\xED"
                            "a e hora:  ";
    QList<QByteArray> lines = {
        rule,
        QByteArray(22, '-') + "INFORME DIARIO " + QByteArray(28, '-'),
        rule,
        {},
        "Per\xEDodo actual de medida (inicio):    " + v[0],
        "Per\xEDodo actual de medida (duraci\xF3n):  " + v[1],
        "N\xFAmero de datos v\xE1lidos no per\xEDodo:   " + v[2],
        "M\xE1ximo tempo de fallo no per\xEDodo:     " + v[3],
        "Temperatura m\xEDnima:  " + v[4] + when + v[5],
        "Temperatura m\xE1xima:  " + v[6] + when + v[7],
        "Humidade m\xEDnima:     " + v[8] + when + v[9],
        "Humidade m\xE1xima:     " + v[10] + when + v[11],
        {},
        rule,
    };
    return joinLines(lines);
}

QByteArray DailyReport::reportRow(const QList<QByteArray> &values)
{
    QByteArray row;
    for (const QByteArray &v : values)
        row += v + "|  ";
    return row;
}

QByteArray DailyReport::headerLine()
{
    return "Inicio medidas    |  "
           "tempo  |  "
           "datos |  "
           "fallo |  "
           "temp m\xEDn/data/hora     |  "
           "temp m\xE1x/data/hora     |  "
           "hum m\xEDn/data/hora      |  "
           "hum m\xE1x/data/hora      |  ";
}

bool DailyReport::WriteDailyReport(int dayOfYear, const MaxMinState &state, QString *error)
{
    QStringList problems;
    auto finish = [&]() {
        if (problems.isEmpty())
            return true;
        for (const QString &p : std::as_const(problems))
            qCWarning(lcRecording).noquote() << p;
        if (error)
            *error = problems.join(QStringLiteral("; "));
        return false;
    };

    const int row = dayOfYear + 1;
    if (row < 1 || row >= DailyGridModel::RowCount) {
        problems << QStringLiteral("daily report: day of the year %1 out of range").arg(dayOfYear);
        return finish();
    }

    const QString history = pathIn(m_folder, reportHistoryFileName(m_id));
    bool historyLoaded = true;
    if (QFileInfo::exists(history)) {
        QByteArray bytes;
        QString why;
        if (readFile(history, &bytes, &why)) {
            QList<QList<QByteArray>> cells = m_grid.m_cells;
            const QList<QByteArray> lines = splitLines(bytes);
            for (int r = 0; r < DailyGridModel::RowCount; ++r) {
                const QByteArray line = r < lines.size() ? lines[r] : QByteArray();
                // An empty line comes back as one blank; rows past the file stay empty.
                cells[r][1] = r < lines.size() && line.isEmpty() ? QByteArray(" ") : line;
            }
            m_grid.setAll(std::move(cells));
        } else {
            // Rewriting it from the grid would lose the year's history.
            historyLoaded = false;
            problems << QStringLiteral("report history not read, left as it was: %1").arg(why);
        }
    } else {
        InitDailyGrid();
    }

    const QList<QByteArray> values = reportValues(state);
    for (int i = 0; i < values.size(); ++i)
        m_grid.setCell(row, i + 2, values[i]);
    m_grid.setCell(0, 1, headerLine());
    m_grid.setCell(row, 1, reportRow(values));
    Q_EMIT currentRowChanged(row);

    QString why;
    if (historyLoaded) {
        QList<QByteArray> column;
        column.reserve(DailyGridModel::RowCount);
        for (int r = 0; r < DailyGridModel::RowCount; ++r)
            column.append(m_grid.cell(r, 1));
        if (!replaceFile(history, joinLines(column), &why))
            problems << QStringLiteral("report history not written: %1").arg(why);
    }
    if (!replaceFile(pathIn(m_folder, todayReportFileName(m_id)), reportText(values), &why))
        problems << QStringLiteral("today's report not written: %1").arg(why);
    else
        qCInfo(lcRecording) << "daily report written for day" << row;
    return finish();
}

} // namespace orvalla
