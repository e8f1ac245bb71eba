#pragma once

#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <array>
#include <memory>
#include <optional>

namespace orvalla
{

// The values of a reading as the archive keeps them, in the column order of
// the table "lecturas".
enum ArchiveValue {
    Temperatura,
    Humidade,
    Presion,
    Radiacion,
    Choiva,
    VentoVelocidade,
    VentoDireccion,
    TensionBateria,
    IntensidadeCarga,
    ArchiveValueCount
};

// The column of "lecturas" that holds a value.
const char *archiveColumn(ArchiveValue value);

// One stored reading: its local instant 'YYYY-MM-DD HH:MM:SS' and its values
// with the precision of the reading line; NaN where the line had none.
struct ArchiveRow {
    QString instant;
    std::array<double, ArchiveValueCount> values {};
};

// A reading line of the day files and the mail queue, as the archive stores
// it. The header "datos", a time-stamp-only placeholder and anything that is
// not a reading line give nothing.
std::optional<ArchiveRow> parseReadingLine(const QByteArray &line);

// The summarised quantities of the hourly table, in its column order.
enum SummaryValue { SumTemperatura, SumHumidade, SumPresion, SumRadiacion, SumVento, SummaryValueCount };

// One hour of one station: min, mean and max of each summarised quantity
// (NaN without data), the instants of the temperature extremes, and the rain
// that fell in it (rises of the station's counter, which starts again from 0).
struct HourSummary {
    QString hour; // 'YYYY-MM-DD HH:00:00'
    int count = 0;
    std::array<double, SummaryValueCount> min {}, mean {}, max {};
    QString temperatureMinAt, temperatureMaxAt;
    double rain = 0;
};

// The highest and lowest temperature of a span with their instants, and its
// rain. Empty instants: no temperature in the span.
struct ArchiveExtremes {
    double temperatureMax = 0, temperatureMin = 0;
    QString temperatureMaxAt, temperatureMinAt;
    double rain = 0;
    int hours = 0; // hours with readings
};

// A reading waiting for the central database; mark tells a reading stored
// again after it was read from one stored once.
struct CentralRow {
    QString station;
    ArchiveRow row;
    qint64 mark = 0;
};

// A day file as it was when it was imported.
struct ImportedFile {
    QString name;
    qint64 size = 0;
    QString modified; // ISO date and time of its last change
    friend bool operator==(const ImportedFile &, const ImportedFile &) = default;
};

// The SQLite archive of every reading ("<id>_arquivo.sqlite"). The table
// "lecturas" is public and stable; "resumo_horario" (one row per station and
// hour, kept in step with "lecturas") serves the charts and anyone who needs
// hours rather than readings; "ficheiros_importados" remembers which day
// files were imported. WAL journal, one transaction per store, so a kill at any
// moment leaves every committed reading in an archive that opens.
// Every failure comes back as false with the driver's reason in *error.
class ReadingArchive
{
public:
    ReadingArchive();
    ~ReadingArchive();
    ReadingArchive(const ReadingArchive &) = delete;
    ReadingArchive &operator=(const ReadingArchive &) = delete;

    // Opens (creating) the archive and its tables. busyTimeoutMs: how long a
    // write waits for a lock another program holds.
    bool open(const QString &path, QString *error = nullptr, int busyTimeoutMs = 20);
    void close();
    bool isOpen() const { return m_sql != nullptr; }
    QString path() const { return m_path; }

    // Stores readings in one transaction, each replacing a stored reading of
    // the same station and instant, and brings their hours' summaries up to
    // date. With file, the import of that day file is recorded in the same
    // transaction.
    bool store(const QString &station, const QList<ArchiveRow> &rows, QString *error = nullptr,
        const ImportedFile *file = nullptr);

    // Whether a write could start now (nobody else holds the write lock).
    bool canWrite(QString *error = nullptr);

    std::optional<ImportedFile> importedFile(const QString &name) const;

    // Readings and hours with from <= instant < to (local 'YYYY-MM-DD HH:MM:SS'), oldest first.
    QList<ArchiveRow> readings(const QString &station, const QString &from, const QString &to) const;
    QList<HourSummary> hours(const QString &station, const QString &from, const QString &to) const;
    ArchiveExtremes extremes(const QString &station, const QString &from, const QString &to) const;
    qint64 readingCount(const QString &station) const;

    // Readings not yet in the central database wait in "pendentes_central",
    // marked in the transaction that stores them. destination names the
    // central database (no password); a new one marks the whole archive, an
    // empty one stops marking and forgets what waited.
    bool setCentralDestination(const QString &destination, QString *error = nullptr);
    QString centralDestination() const { return m_central; }
    // The oldest readings waiting, at most limit.
    QList<CentralRow> centralPending(int limit, QString *error = nullptr) const;
    qint64 centralPendingCount() const;
    // The readings sent: their marks go unless they were stored again meanwhile.
    bool clearCentralPending(const QList<CentralRow> &sent, QString *error = nullptr);

private:
    bool exec(const QString &sql, QString *error);
    bool summarizeHour(const QString &station, const QString &hour, QString *error);
    QString nextHourWithData(const QString &station, const QString &hour) const;

    // The statements of the reading path, prepared once per open.
    struct Statements;
    QString m_connection;
    QString m_path;
    QSqlDatabase m_db;
    std::unique_ptr<Statements> m_sql;
    bool m_fullSync = true;
    QString m_central;
};

} // namespace orvalla
