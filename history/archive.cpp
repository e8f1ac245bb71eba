#include "history/archive.h"

#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <cmath>
#include <limits>

namespace orvalla
{

namespace
{

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const char *const kColumns[ArchiveValueCount] = { "temperatura", "humidade", "presion", "radiacion", "choiva",
    "vento_velocidade", "vento_direccion", "tension_bateria", "intensidade_carga" };
// The reading line's name for each column.
const char *const kLineKeys[ArchiveValueCount]
    = { " temp=", " hum=", " pres=", " rad=", " chv=", " vel=", " dir=", " Vp=", " ic=" };
// The summarised quantities and their columns in "lecturas".
const char *const kSummaryNames[SummaryValueCount]
    = { "temperatura", "humidade", "presion", "radiacion", "vento_velocidade" };
constexpr ArchiveValue kSummarySources[SummaryValueCount]
    = { Temperatura, Humidade, Presion, Radiacion, VentoVelocidade };

bool twoDigits(const QByteArray &s, int at, int *value)
{
    if (!std::isdigit(uchar(s[at])) || !std::isdigit(uchar(s[at + 1])))
        return false;
    *value = (s[at] - '0') * 10 + (s[at + 1] - '0');
    return true;
}

QVariant dbValue(double v)
{
    return std::isfinite(v) ? QVariant(v) : QVariant(QMetaType(QMetaType::Double));
}

double fromDb(const QVariant &v)
{
    return v.isNull() ? kNaN : v.toDouble();
}

QString hourOf(const QString &instant)
{
    return instant.left(13) + QStringLiteral(":00:00");
}

// Every instant of an hour starts with "YYYY-MM-DD HH:", and ';' follows ':'.
QString hourEnd(const QString &hour)
{
    return hour.left(13) + QLatin1Char(';');
}

bool sqlFail(QString *error, const QSqlError &e)
{
    if (error)
        *error = e.text();
    return false;
}

} // namespace

struct ReadingArchive::Statements {
    explicit Statements(const QSqlDatabase &db)
        : insert(db)
        , nextInstant(db)
        , previousRain(db)
        , hourRows(db)
        , upsertSummary(db)
        , deleteSummary(db)
        , markCentral(db)
    {
        for (QSqlQuery *q : { &nextInstant, &previousRain, &hourRows })
            q->setForwardOnly(true);
    }
    bool prepare(QString *error);

    QSqlQuery insert, nextInstant, previousRain, hourRows, upsertSummary, deleteSummary, markCentral;
};

bool ReadingArchive::Statements::prepare(QString *error)
{
    QString names, marks;
    for (const char *c : kColumns) {
        names += QLatin1String(", ") + QLatin1String(c);
        marks += QLatin1String(", ?");
    }
    QString select = QStringLiteral("SELECT instante, choiva");
    for (ArchiveValue v : kSummarySources)
        select += QLatin1String(", ") + QLatin1String(kColumns[v]);
    QString summaryNames, summaryMarks;
    for (const char *c : kSummaryNames) {
        summaryNames += QStringLiteral(", %1_min, %1_media, %1_max").arg(QLatin1String(c));
        summaryMarks += QLatin1String(", ?, ?, ?");
    }
    const std::pair<QSqlQuery *, QString> all[] = {
        { &insert,
            QStringLiteral("INSERT OR REPLACE INTO lecturas (estacion, instante%1) VALUES (?, ?%2)")
                .arg(names, marks) },
        { &nextInstant,
            QStringLiteral("SELECT instante FROM lecturas WHERE estacion = ? AND instante >= ? ORDER BY "
                           "instante LIMIT 1") },
        { &previousRain,
            QStringLiteral(
                "SELECT choiva FROM lecturas WHERE estacion = ? AND instante < ? AND choiva IS NOT "
                "NULL ORDER BY instante DESC LIMIT 1") },
        { &hourRows,
            select
                + QStringLiteral(" FROM lecturas WHERE estacion = ? AND instante >= ? AND instante < ? ORDER "
                                 "BY instante") },
        { &upsertSummary,
            QStringLiteral("INSERT OR REPLACE INTO resumo_horario (estacion, hora, lecturas%1, "
                           "temperatura_min_instante, temperatura_max_instante, choiva) "
                           "VALUES (?, ?, ?%2, ?, ?, ?)")
                .arg(summaryNames, summaryMarks) },
        { &deleteSummary, QStringLiteral("DELETE FROM resumo_horario WHERE estacion = ? AND hora = ?") },
        { &markCentral,
            QStringLiteral("INSERT OR REPLACE INTO pendentes_central (estacion, instante) VALUES (?, ?)") },
    };
    for (const auto &[query, sql] : all) {
        if (!query->prepare(sql))
            return sqlFail(error, query->lastError());
    }
    return true;
}

const char *archiveColumn(ArchiveValue value)
{
    return kColumns[value];
}

std::optional<ArchiveRow> parseReadingLine(const QByteArray &line)
{
    // "DD/MM/YYYY HH:MM:SS " then "name=value unit " pieces.
    if (line.size() < 20 || line[2] != '/' || line[5] != '/' || line[10] != ' ' || line[13] != ':'
        || line[16] != ':' || line[19] != ' ')
        return std::nullopt;
    int day, month, y1, y2, hour, minute, second;
    if (!twoDigits(line, 0, &day) || !twoDigits(line, 3, &month) || !twoDigits(line, 6, &y1)
        || !twoDigits(line, 8, &y2) || !twoDigits(line, 11, &hour) || !twoDigits(line, 14, &minute)
        || !twoDigits(line, 17, &second))
        return std::nullopt;
    if (day < 1 || day > 31 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    ArchiveRow row;
    row.instant
        = QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", y1 * 100 + y2, month, day, hour, minute, second);
    bool any = false;
    for (int c = 0; c < ArchiveValueCount; ++c) {
        row.values[c] = kNaN;
        const qsizetype key = line.indexOf(kLineKeys[c], 18);
        if (key < 0)
            continue;
        qsizetype at = key + qsizetype(qstrlen(kLineKeys[c]));
        while (at < line.size() && line[at] == ' ')
            ++at;
        qsizetype end = at;
        while (end < line.size()
            && (std::isdigit(uchar(line[end])) || line[end] == ',' || line[end] == '.' || line[end] == '-'
                || line[end] == '+'))
            ++end;
        bool ok = false;
        const double v = line.mid(at, end - at).replace(',', '.').toDouble(&ok);
        if (ok && std::isfinite(v)) {
            row.values[c] = v;
            any = true;
        }
    }
    if (!any)
        return std::nullopt;
    return row;
}

ReadingArchive::ReadingArchive()
{
    static std::atomic<int> serial { 0 };
    m_connection = QStringLiteral("orvalla-archive-%1").arg(++serial);
}

ReadingArchive::~ReadingArchive()
{
    close();
}

void ReadingArchive::close()
{
    m_sql.reset();
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

bool ReadingArchive::exec(const QString &sql, QString *error)
{
    QSqlQuery q(m_db);
    if (!q.exec(sql))
        return sqlFail(error, q.lastError());
    return true;
}

bool ReadingArchive::open(const QString &path, QString *error, int busyTimeoutMs)
{
    close();
    m_path = path;
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    if (!m_db.isValid()) {
        if (error)
            *error = QStringLiteral("the SQLite driver of Qt SQL is not installed");
        close();
        return false;
    }
    m_db.setDatabaseName(path);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    if (!m_db.open()) {
        sqlFail(error, m_db.lastError());
        close();
        return false;
    }
    // FULL: a committed reading survives a power cut as the day files do.
    QString columns;
    for (const char *c : kColumns)
        columns += QStringLiteral(", %1 REAL").arg(QLatin1String(c));
    QString summary;
    for (const char *c : kSummaryNames)
        summary += QStringLiteral(", %1_min REAL, %1_media REAL, %1_max REAL").arg(QLatin1String(c));
    const QString statements[] = {
        QStringLiteral("PRAGMA journal_mode=WAL"),
        QStringLiteral("PRAGMA synchronous=FULL"),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS lecturas (estacion TEXT NOT NULL, instante TEXT NOT NULL%1, "
            "PRIMARY KEY (estacion, instante))")
            .arg(columns),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS resumo_horario (estacion TEXT NOT NULL, hora TEXT NOT NULL, "
            "lecturas INTEGER NOT NULL%1, temperatura_min_instante TEXT, "
            "temperatura_max_instante TEXT, choiva REAL NOT NULL, PRIMARY KEY (estacion, hora))")
            .arg(summary),
        QStringLiteral("CREATE TABLE IF NOT EXISTS ficheiros_importados (ficheiro TEXT PRIMARY KEY, "
                       "tamano INTEGER NOT NULL, modificado TEXT NOT NULL)"),
        // AUTOINCREMENT: a mark is never used twice, so a reading stored again
        // while its first version was on its way keeps its new mark.
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS pendentes_central (marca INTEGER PRIMARY KEY AUTOINCREMENT, "
            "estacion TEXT NOT NULL, instante TEXT NOT NULL, UNIQUE (estacion, instante))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS destino_central (destino TEXT NOT NULL)"),
    };
    for (const QString &sql : statements) {
        if (!exec(sql, error)) {
            close();
            return false;
        }
    }
    m_fullSync = true;
    {
        QSqlQuery q(m_db);
        m_central = q.exec(QStringLiteral("SELECT destino FROM destino_central LIMIT 1")) && q.next()
            ? q.value(0).toString()
            : QString();
    }
    m_sql = std::make_unique<Statements>(m_db);
    if (!m_sql->prepare(error)) {
        close();
        return false;
    }
    return true;
}

bool ReadingArchive::store(
    const QString &station, const QList<ArchiveRow> &rows, QString *error, const ImportedFile *file)
{
    if (!isOpen()) {
        if (error)
            *error = QStringLiteral("archive not open");
        return false;
    }
    // A reading is flushed to disk with its commit, as the day file is. An
    // imported day file is not: a power cut loses at most the last imports,
    // and their files, still unmarked, are imported again.
    const bool fullSync = file == nullptr;
    if (fullSync != m_fullSync) {
        if (!exec(fullSync ? QStringLiteral("PRAGMA synchronous=FULL")
                           : QStringLiteral("PRAGMA synchronous=NORMAL"),
                error))
            return false;
        m_fullSync = fullSync;
    }
    if (!m_db.transaction())
        return sqlFail(error, m_db.lastError());
    auto rollback = [&](const QSqlError &e) {
        sqlFail(error, e);
        m_db.rollback();
        return false;
    };
    {
        QSqlQuery &insert = m_sql->insert;
        QSet<QString> touched;
        for (const ArchiveRow &row : rows) {
            insert.bindValue(0, station);
            insert.bindValue(1, row.instant);
            for (int c = 0; c < ArchiveValueCount; ++c)
                insert.bindValue(2 + c, dbValue(row.values[c]));
            if (!insert.exec())
                return rollback(insert.lastError());
            if (!m_central.isEmpty()) {
                QSqlQuery &mark = m_sql->markCentral;
                mark.bindValue(0, station);
                mark.bindValue(1, row.instant);
                if (!mark.exec())
                    return rollback(mark.lastError());
            }
            touched.insert(hourOf(row.instant));
        }
        // The rain of the hour after each one depends on its last reading.
        QSet<QString> hours = touched;
        for (const QString &hour : touched) {
            const QString next = nextHourWithData(station, hour);
            if (!next.isEmpty())
                hours.insert(next);
        }
        QString why;
        for (const QString &hour : hours) {
            if (!summarizeHour(station, hour, &why)) {
                if (error)
                    *error = why;
                m_db.rollback();
                return false;
            }
        }
        if (file) {
            QSqlQuery mark(m_db);
            mark.prepare(QStringLiteral("INSERT OR REPLACE INTO ficheiros_importados (ficheiro, tamano, "
                                        "modificado) VALUES (?, ?, ?)"));
            mark.addBindValue(file->name);
            mark.addBindValue(file->size);
            mark.addBindValue(file->modified);
            if (!mark.exec())
                return rollback(mark.lastError());
        }
    }
    if (!m_db.commit())
        return rollback(m_db.lastError());
    return true;
}

QString ReadingArchive::nextHourWithData(const QString &station, const QString &hour) const
{
    QSqlQuery &q = m_sql->nextInstant;
    q.bindValue(0, station);
    q.bindValue(1, hourEnd(hour));
    QString next;
    if (q.exec() && q.next())
        next = hourOf(q.value(0).toString());
    q.finish();
    return next;
}

bool ReadingArchive::summarizeHour(const QString &station, const QString &hour, QString *error)
{
    QSqlQuery &before = m_sql->previousRain;
    before.bindValue(0, station);
    before.bindValue(1, hour);
    if (!before.exec())
        return sqlFail(error, before.lastError());
    double previousRain = before.next() ? before.value(0).toDouble() : kNaN;
    before.finish();

    QSqlQuery &q = m_sql->hourRows;
    q.bindValue(0, station);
    q.bindValue(1, hour);
    q.bindValue(2, hourEnd(hour));
    if (!q.exec())
        return sqlFail(error, q.lastError());
    HourSummary s;
    std::array<double, SummaryValueCount> sum {};
    std::array<int, SummaryValueCount> n {};
    s.min.fill(kNaN);
    s.max.fill(kNaN);
    while (q.next()) {
        ++s.count;
        const QString instant = q.value(0).toString();
        const double rain = fromDb(q.value(1));
        if (std::isfinite(rain)) {
            // A fall of the counter is its daily restart: what it shows now fell since.
            if (std::isfinite(previousRain))
                s.rain += rain >= previousRain ? rain - previousRain : rain;
            previousRain = rain;
        }
        for (int i = 0; i < SummaryValueCount; ++i) {
            const double v = fromDb(q.value(2 + i));
            if (!std::isfinite(v))
                continue;
            sum[i] += v;
            ++n[i];
            if (!(v >= s.min[i])) {
                s.min[i] = v;
                if (i == SumTemperatura)
                    s.temperatureMinAt = instant;
            }
            if (!(v <= s.max[i])) {
                s.max[i] = v;
                if (i == SumTemperatura)
                    s.temperatureMaxAt = instant;
            }
        }
    }
    q.finish();
    if (s.count == 0) {
        QSqlQuery &del = m_sql->deleteSummary;
        del.bindValue(0, station);
        del.bindValue(1, hour);
        return del.exec() || sqlFail(error, del.lastError());
    }
    QSqlQuery &up = m_sql->upsertSummary;
    int k = 0;
    up.bindValue(k++, station);
    up.bindValue(k++, hour);
    up.bindValue(k++, s.count);
    for (int i = 0; i < SummaryValueCount; ++i) {
        up.bindValue(k++, dbValue(s.min[i]));
        up.bindValue(k++, dbValue(n[i] ? sum[i] / n[i] : kNaN));
        up.bindValue(k++, dbValue(s.max[i]));
    }
    up.bindValue(
        k++, s.temperatureMinAt.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : s.temperatureMinAt);
    up.bindValue(
        k++, s.temperatureMaxAt.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : s.temperatureMaxAt);
    up.bindValue(k++, std::round(s.rain * 1000) / 1000);
    return up.exec() || sqlFail(error, up.lastError());
}

bool ReadingArchive::canWrite(QString *error)
{
    if (!isOpen()) {
        if (error)
            *error = QStringLiteral("archive not open");
        return false;
    }
    if (!exec(QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    return exec(QStringLiteral("ROLLBACK"), error);
}

std::optional<ImportedFile> ReadingArchive::importedFile(const QString &name) const
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT tamano, modificado FROM ficheiros_importados WHERE ficheiro = ?"));
    q.addBindValue(name);
    if (!q.exec() || !q.next())
        return std::nullopt;
    return ImportedFile { name, q.value(0).toLongLong(), q.value(1).toString() };
}

QList<ArchiveRow> ReadingArchive::readings(
    const QString &station, const QString &from, const QString &to) const
{
    QList<ArchiveRow> rows;
    QString select = QStringLiteral("SELECT instante");
    for (const char *c : kColumns)
        select += QLatin1String(", ") + QLatin1String(c);
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(select
        + QStringLiteral(
            " FROM lecturas WHERE estacion = ? AND instante >= ? AND instante < ? ORDER BY instante"));
    q.addBindValue(station);
    q.addBindValue(from);
    q.addBindValue(to);
    if (!q.exec())
        return rows;
    while (q.next()) {
        ArchiveRow row;
        row.instant = q.value(0).toString();
        for (int c = 0; c < ArchiveValueCount; ++c)
            row.values[c] = fromDb(q.value(1 + c));
        rows.append(row);
    }
    return rows;
}

QList<HourSummary> ReadingArchive::hours(const QString &station, const QString &from, const QString &to) const
{
    QList<HourSummary> out;
    QString select
        = QStringLiteral("SELECT hora, lecturas, temperatura_min_instante, temperatura_max_instante, choiva");
    for (const char *c : kSummaryNames)
        select += QStringLiteral(", %1_min, %1_media, %1_max").arg(QLatin1String(c));
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(select
        + QStringLiteral(" FROM resumo_horario WHERE estacion = ? AND hora >= ? AND hora < ? ORDER BY hora"));
    q.addBindValue(station);
    q.addBindValue(from);
    q.addBindValue(to);
    if (!q.exec())
        return out;
    while (q.next()) {
        HourSummary s;
        s.hour = q.value(0).toString();
        s.count = q.value(1).toInt();
        s.temperatureMinAt = q.value(2).toString();
        s.temperatureMaxAt = q.value(3).toString();
        s.rain = q.value(4).toDouble();
        for (int i = 0; i < SummaryValueCount; ++i) {
            s.min[i] = fromDb(q.value(5 + 3 * i));
            s.mean[i] = fromDb(q.value(6 + 3 * i));
            s.max[i] = fromDb(q.value(7 + 3 * i));
        }
        out.append(s);
    }
    return out;
}

ArchiveExtremes ReadingArchive::extremes(const QString &station, const QString &from, const QString &to) const
{
    ArchiveExtremes e;
    QSqlQuery q(m_db);
    const QString range
        = QStringLiteral(" FROM resumo_horario WHERE estacion = ? AND hora >= ? AND hora < ?");
    auto run = [&](const QString &sql) {
        q.prepare(sql);
        q.addBindValue(station);
        q.addBindValue(from);
        q.addBindValue(to);
        return q.exec() && q.next();
    };
    if (run(QStringLiteral("SELECT count(*), coalesce(sum(choiva), 0)") + range)) {
        e.hours = q.value(0).toInt();
        e.rain = std::round(q.value(1).toDouble() * 1000) / 1000;
    }
    if (run(QStringLiteral("SELECT temperatura_max, temperatura_max_instante") + range
            + QStringLiteral(
                " AND temperatura_max IS NOT NULL ORDER BY temperatura_max DESC, hora LIMIT 1"))) {
        e.temperatureMax = q.value(0).toDouble();
        e.temperatureMaxAt = q.value(1).toString();
    }
    if (run(QStringLiteral("SELECT temperatura_min, temperatura_min_instante") + range
            + QStringLiteral(
                " AND temperatura_min IS NOT NULL ORDER BY temperatura_min ASC, hora LIMIT 1"))) {
        e.temperatureMin = q.value(0).toDouble();
        e.temperatureMinAt = q.value(1).toString();
    }
    return e;
}

qint64 ReadingArchive::readingCount(const QString &station) const
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT count(*) FROM lecturas WHERE estacion = ?"));
    q.addBindValue(station);
    return q.exec() && q.next() ? q.value(0).toLongLong() : 0;
}

bool ReadingArchive::setCentralDestination(const QString &destination, QString *error)
{
    if (!isOpen()) {
        if (error)
            *error = QStringLiteral("archive not open");
        return false;
    }
    if (destination == m_central)
        return true;
    if (!m_db.transaction())
        return sqlFail(error, m_db.lastError());
    QSqlQuery q(m_db);
    const auto run = [&](const QString &sql) { return q.exec(sql); };
    bool ok = run(QStringLiteral("DELETE FROM pendentes_central"))
        && run(QStringLiteral("DELETE FROM destino_central"));
    if (ok && !destination.isEmpty()) {
        // Another database holds none of what the archive has.
        ok = q.prepare(QStringLiteral("INSERT INTO destino_central (destino) VALUES (?)"));
        q.addBindValue(destination);
        ok = ok && q.exec()
            && run(
                QStringLiteral("INSERT INTO pendentes_central (estacion, instante) SELECT estacion, instante "
                               "FROM lecturas ORDER BY estacion, instante"));
    }
    if (!ok) {
        sqlFail(error, q.lastError());
        m_db.rollback();
        return false;
    }
    if (!m_db.commit()) {
        sqlFail(error, m_db.lastError());
        m_db.rollback();
        return false;
    }
    m_central = destination;
    return true;
}

QList<CentralRow> ReadingArchive::centralPending(int limit, QString *error) const
{
    QList<CentralRow> rows;
    if (!isOpen()) {
        if (error)
            *error = QStringLiteral("archive not open");
        return rows;
    }
    QString select = QStringLiteral("SELECT p.marca, p.estacion, p.instante");
    for (const char *c : kColumns)
        select += QLatin1String(", l.") + QLatin1String(c);
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(select
        + QStringLiteral(
            " FROM pendentes_central p JOIN lecturas l ON l.estacion = p.estacion AND l.instante = "
            "p.instante ORDER BY p.estacion, p.instante LIMIT ?"));
    q.addBindValue(limit);
    if (!q.exec()) {
        sqlFail(error, q.lastError());
        return rows;
    }
    while (q.next()) {
        CentralRow r;
        r.mark = q.value(0).toLongLong();
        r.station = q.value(1).toString();
        r.row.instant = q.value(2).toString();
        for (int c = 0; c < ArchiveValueCount; ++c)
            r.row.values[c] = fromDb(q.value(3 + c));
        rows.append(r);
    }
    return rows;
}

qint64 ReadingArchive::centralPendingCount() const
{
    if (!isOpen())
        return 0;
    QSqlQuery q(m_db);
    return q.exec(QStringLiteral("SELECT count(*) FROM pendentes_central")) && q.next()
        ? q.value(0).toLongLong()
        : 0;
}

bool ReadingArchive::clearCentralPending(const QList<CentralRow> &sent, QString *error)
{
    if (!isOpen()) {
        if (error)
            *error = QStringLiteral("archive not open");
        return false;
    }
    if (sent.isEmpty())
        return true;
    if (!m_db.transaction())
        return sqlFail(error, m_db.lastError());
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("DELETE FROM pendentes_central WHERE marca = ?"));
    for (const CentralRow &r : sent) {
        q.bindValue(0, r.mark);
        if (!q.exec()) {
            sqlFail(error, q.lastError());
            m_db.rollback();
            return false;
        }
    }
    if (!m_db.commit()) {
        sqlFail(error, m_db.lastError());
        m_db.rollback();
        return false;
    }
    return true;
}

} // namespace orvalla
