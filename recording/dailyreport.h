#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

namespace orvalla
{

struct MaxMinState;

// The grid SG_maxmin: 14 columns, 367 rows; row 0 holds the headings and
// rows 1 to 366 the days of the year. Cells are Windows-1252 bytes.
class DailyGridModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int RowCount = 367;
    static constexpr int ColumnCount = 14;

    explicit DailyGridModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    QByteArray cell(int row, int column) const;
    // Width in pixels of a column as laid out (row 0 and column 0 are fixed).
    static int columnWidth(int column);

private:
    friend class DailyReport;
    void setCell(int row, int column, const QByteArray &bytes);
    void setAll(QList<QList<QByteArray>> cells);

    QList<QList<QByteArray>> m_cells; // [row][column]
};

// The daily report: today's report file, the report history file (one line
// per day of the year) and the grid.
class DailyReport : public QObject
{
    Q_OBJECT

public:
    explicit DailyReport(const QString &folder = {}, QObject *parent = nullptr);

    void setSystemId(const QString &id) { m_id = id; }
    QString systemId() const { return m_id; }

    DailyGridModel *grid() { return &m_grid; }

    // Lays out the grid: headings, rows numbered, every day empty.
    void InitDailyGrid();

    // The report of a closed window, for the day of the year of the closing
    // (0 = 1 January). The grid is always updated; a history file that exists
    // but cannot be read is not rewritten, and every file that could not be
    // written is reported (false and the reasons).
    bool WriteDailyReport(int dayOfYear, const MaxMinState &state, QString *error = nullptr);

    // V1 to V12 of a report, decimal commas applied.
    static QList<QByteArray> reportValues(const MaxMinState &state);
    static QByteArray reportText(const QList<QByteArray> &values);
    static QByteArray reportRow(const QList<QByteArray> &values);
    static QByteArray headerLine();

Q_SIGNALS:
    // The row just written becomes the grid's current row.
    void currentRowChanged(int row);

private:
    QString m_folder;
    QString m_id = QStringLiteral("tarvelo");
    DailyGridModel m_grid;
};

} // namespace orvalla
