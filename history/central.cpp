#include "history/central.h"

#include "common/log.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <atomic>
#include <cmath>

namespace orvalla
{

namespace
{

QString quoted(const QString &value)
{
    QString v = value;
    v.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    v.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + v + QLatin1Char('\'');
}

QString firstLine(const QString &text)
{
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QString l = line.simplified();
        if (!l.isEmpty())
            return l;
    }
    return {};
}

QVariant sqlValue(double v)
{
    return std::isfinite(v) ? QVariant(v) : QVariant(QMetaType(QMetaType::Double));
}

} // namespace

QString CentralTarget::destination() const
{
    return QStringLiteral("%1@%2:%3/%4").arg(user, host).arg(port).arg(database);
}

std::optional<CentralTarget> parseCentralUri(const QString &uri, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QUrl url(uri.trimmed(), QUrl::StrictMode);
    if (!url.isValid())
        return fail(QStringLiteral("not a URI: %1").arg(url.errorString()));
    if (url.scheme() != QLatin1String("postgresql") && url.scheme() != QLatin1String("postgres"))
        return fail(QStringLiteral("the URI must start with postgresql://"));
    CentralTarget t;
    t.host = url.host(QUrl::FullyDecoded);
    if (t.host.isEmpty())
        return fail(QStringLiteral("the URI names no host"));
    t.port = url.port(5432);
    t.user = url.userName(QUrl::FullyDecoded);
    t.password = url.password(QUrl::FullyDecoded);
    t.database = url.path(QUrl::FullyDecoded).mid(1);
    if (t.database.contains(QLatin1Char('/')))
        return fail(QStringLiteral("the database name holds a '/'"));
    if (t.database.isEmpty())
        t.database = t.user;
    bool timeout = false, userTimeout = false;
    static const QRegularExpression keyword(QStringLiteral("^[a-z_]+$"));
    for (const auto &[key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        // The driver joins its options with ';'.
        if (!keyword.match(key).hasMatch() || value.contains(QLatin1Char(';')))
            return fail(QStringLiteral("the option \"%1\" cannot be passed on").arg(key));
        timeout |= key == QLatin1String("connect_timeout");
        userTimeout |= key == QLatin1String("tcp_user_timeout");
        t.options.append(key + QLatin1Char('=') + quoted(value));
    }
    // An unreachable host must never hold the sender, nor the console's close, for long.
    if (!timeout)
        t.options.append(QStringLiteral("connect_timeout=4"));
    if (!userTimeout)
        t.options.append(QStringLiteral("tcp_user_timeout=15000"));
    return t;
}

QString centralFailureText(const QString &driverText)
{
    const QString low = driverText.toLower();
    const auto has = [&low](const char *s) { return low.contains(QLatin1String(s)); };
    QString summary;
    if (has("password authentication failed") || has("authentication failed") || has("no password supplied")
        || has("pg_hba.conf"))
        summary = QStringLiteral("o servidor rexeitou o usuario ou o contrasinal");
    else if (has("database") && has("does not exist"))
        summary = QStringLiteral("a base de datos non existe no servidor");
    else if (has("certificate") || has("ssl") || has("tls"))
        summary = QStringLiteral("fallou a conexión cifrada (TLS)");
    else if (has("not installed") || has("driver not loaded"))
        summary = QStringLiteral("falta o controlador PostgreSQL de Qt SQL (libqt6sql6-psql)");
    else if (has("connection refused") || has("could not connect") || has("timeout expired")
        || has("could not translate host name") || has("no route to host") || has("network is unreachable")
        || has("closed the connection") || has("connection to server") || has("terminating connection"))
        summary = QStringLiteral("non se chega ao servidor");
    else
        summary = QStringLiteral("o servidor devolveu un erro");
    const QString detail = firstLine(driverText);
    return detail.isEmpty() ? summary : QStringLiteral("%1 (%2)").arg(summary, detail);
}

// ---------------------------------------------------------------- link

CentralLink::CentralLink(QObject *parent)
    : QObject(parent)
{
    static std::atomic<int> serial { 0 };
    m_connection = QStringLiteral("orvalla-central-%1").arg(++serial);
}

CentralLink::~CentralLink()
{
    close();
}

void CentralLink::close()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

void CentralLink::configure(const CentralTarget &target)
{
    close();
    m_target = target;
}

bool CentralLink::ensureOpen(QString *error)
{
    if (m_db.isValid() && m_db.isOpen())
        return true;
    close();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
    if (!m_db.isValid()) {
        *error = QStringLiteral("driver not loaded: the PostgreSQL driver of Qt SQL is not installed");
        close();
        return false;
    }
    m_db.setHostName(m_target.host);
    m_db.setPort(m_target.port);
    m_db.setDatabaseName(m_target.database);
    m_db.setUserName(m_target.user);
    m_db.setPassword(m_target.password);
    m_db.setConnectOptions(m_target.options.join(QLatin1Char(';')));
    if (!m_db.open()) {
        *error = m_db.lastError().text();
        close();
        return false;
    }
    // The archive's columns and key, so that both hold the same rows.
    QString columns;
    for (int c = 0; c < ArchiveValueCount; ++c)
        columns += QStringLiteral(", %1 double precision").arg(QLatin1String(archiveColumn(ArchiveValue(c))));
    QSqlQuery exists(m_db);
    if (exists.exec(QStringLiteral("SELECT to_regclass('lecturas') IS NOT NULL")) && exists.next()
        && exists.value(0).toBool())
        return true;
    QSqlQuery create(m_db);
    if (!create.exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS lecturas (estacion text NOT NULL, instante text "
                           "NOT NULL%1, PRIMARY KEY (estacion, instante))")
                .arg(columns))) {
        // Another console may have created it at the same moment.
        const QString why = create.lastError().text();
        QSqlQuery check(m_db);
        if (!(check.exec(QStringLiteral("SELECT to_regclass('lecturas') IS NOT NULL")) && check.next()
                && check.value(0).toBool())) {
            *error = why;
            close();
            return false;
        }
    }
    return true;
}

bool CentralLink::upsert(const QList<CentralRow> &rows, QString *error)
{
    QString names = QStringLiteral("estacion, instante"), marks = QStringLiteral("?, ?"), updates;
    for (int c = 0; c < ArchiveValueCount; ++c) {
        const QLatin1String name(archiveColumn(ArchiveValue(c)));
        names += QLatin1String(", ") + name;
        marks += QLatin1String(", ?");
        updates += (c ? QLatin1String(", ") : QLatin1String()) + name + QLatin1String(" = EXCLUDED.") + name;
    }
    QString sql = QStringLiteral("INSERT INTO lecturas (%1) VALUES ").arg(names);
    for (qsizetype i = 0; i < rows.size(); ++i)
        sql += (i ? QLatin1String(", (") : QLatin1String("(")) + marks + QLatin1Char(')');
    // One statement: the whole batch commits or none of it does. A reading
    // sent again (its answer lost) replaces itself.
    sql += QStringLiteral(" ON CONFLICT (estacion, instante) DO UPDATE SET %1").arg(updates);
    QSqlQuery q(m_db);
    if (!q.prepare(sql)) {
        *error = q.lastError().text();
        return false;
    }
    int k = 0;
    for (const CentralRow &r : rows) {
        q.bindValue(k++, r.station);
        q.bindValue(k++, r.row.instant);
        for (double v : r.row.values)
            q.bindValue(k++, sqlValue(v));
    }
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

void CentralLink::send(const QList<CentralRow> &rows)
{
    QString why;
    if (!ensureOpen(&why)) {
        Q_EMIT failed(why);
        return;
    }
    if (!rows.isEmpty() && !upsert(rows, &why)) {
        // A connection the server dropped is opened afresh next time.
        close();
        Q_EMIT failed(why);
        return;
    }
    Q_EMIT sent(rows);
}

// ---------------------------------------------------------------- sender

CentralSender::CentralSender(ReadingArchive *archive, QObject *parent)
    : QObject(parent)
    , m_archive(archive)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &CentralSender::pump);
    // Between batches the event loop turns: a backlog never holds a tick.
    m_next.setSingleShot(true);
    m_next.setInterval(0);
    connect(&m_next, &QTimer::timeout, this, &CentralSender::pump);
}

CentralSender::~CentralSender()
{
    stopLink(true);
}

void CentralSender::startLink()
{
    if (m_thread)
        return;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("orvalla-central"));
    m_link = new CentralLink;
    m_link->moveToThread(m_thread);
    connect(this, &CentralSender::configureRequested, m_link, &CentralLink::configure);
    connect(this, &CentralSender::sendRequested, m_link, &CentralLink::send);
    connect(m_link, &CentralLink::sent, this, &CentralSender::onSent);
    connect(m_link, &CentralLink::failed, this, &CentralSender::onFailed);
    m_thread->start();
}

void CentralSender::stopLink(bool wait)
{
    if (!m_thread)
        return;
    disconnect(m_link, nullptr, this, nullptr);
    disconnect(this, nullptr, m_link, nullptr);
    CentralLink *link = m_link;
    QMetaObject::invokeMethod(
        link,
        [link] {
            link->close();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    if (!wait) {
        // A new URI: the window does not wait for the old connection to end.
        connect(m_thread, &QThread::finished, link, &QObject::deleteLater);
        connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    } else if (m_thread->wait(kCloseWaitMs)) {
        delete link;
        delete m_thread;
    } else {
        // Stuck in the network beyond every time-out: left to end with the
        // process. Its batch was not confirmed, so it stays marked.
        qCWarning(lcHistory, "central database: the connection did not end within %d s; left behind",
            kCloseWaitMs / 1000);
    }
    m_thread = nullptr;
    m_link = nullptr;
    m_inFlight = false;
}

void CentralSender::setUri(const QString &uri)
{
    const QString u = uri.trimmed();
    if (u == m_uri && m_state != State::Off)
        return;
    if (u.isEmpty() && m_uri.isEmpty() && m_state == State::Off) {
        // No central database: the archive stops marking.
        if (m_archive->isOpen() && !m_archive->centralDestination().isEmpty())
            applyDestination();
        return;
    }
    m_uri = u;
    m_retry.stop();
    m_next.stop();
    stopLink(false);
    m_target.reset();
    if (u.isEmpty()) {
        applyDestination();
        m_waiting = 0;
        setState(State::Off);
        publish();
        return;
    }
    QString why;
    m_target = parseCentralUri(u, &why);
    if (!m_target) {
        // The marks stay: nothing is lost while the operator mends the URI.
        setState(State::Unreached, QStringLiteral("o enderezo non é válido (%1)").arg(why));
        publish();
        return;
    }
    startLink();
    Q_EMIT configureRequested(*m_target);
    applyDestination();
    m_state = State::Off; // a new destination is a new state, logged as such
    setState(State::Connecting);
    pump();
}

bool CentralSender::applyDestination()
{
    if (!m_archive->isOpen())
        return false;
    QString why;
    const QString destination = m_target ? m_target->destination() : QString();
    if (!m_archive->setCentralDestination(destination, &why)) {
        qCWarning(lcHistory).noquote() << "central database: the archive's marks not updated:" << why;
        return false;
    }
    return true;
}

void CentralSender::archiveOpened()
{
    if (m_target || m_uri.isEmpty())
        applyDestination();
    if (m_target)
        pump();
}

void CentralSender::readingsStored()
{
    if (!m_target)
        return;
    if (m_inFlight) {
        m_again = true;
        return;
    }
    if (m_state == State::Unreached) {
        // The next try comes with the retry timer.
        m_waiting = m_archive->centralPendingCount();
        publish();
        return;
    }
    pump();
}

void CentralSender::pump()
{
    if (!m_target || !m_thread || m_inFlight)
        return;
    m_retry.stop();
    QList<CentralRow> rows;
    if (m_archive->isOpen()
        && (m_archive->centralDestination() == m_target->destination() || applyDestination())) {
        QString why;
        rows = m_archive->centralPending(m_batchSize, &why);
        if (!why.isEmpty())
            qCWarning(lcHistory).noquote() << "central database: waiting readings not read:" << why;
        m_waiting = rows.size() < m_batchSize ? rows.size() : m_archive->centralPendingCount();
    }
    // With nothing to send, an empty batch only tells whether the server answers.
    if (rows.isEmpty() && m_state == State::Reached) {
        publish();
        return;
    }
    m_inFlight = true;
    m_again = false;
    Q_EMIT sendRequested(rows);
    publish();
}

void CentralSender::onSent(const QList<CentralRow> &rows)
{
    m_inFlight = false;
    if (!rows.isEmpty()) {
        QString why;
        // Marks that stay are sent again and replace themselves there.
        if (!m_archive->clearCentralPending(rows, &why))
            qCWarning(lcHistory).noquote() << "central database: sent readings still marked:" << why;
        QString last;
        for (const CentralRow &r : rows)
            last = qMax(last, r.row.instant);
        m_lastSent = last;
        m_waiting = qMax<qint64>(0, m_waiting - rows.size());
        setState(State::Reached);
        qCInfo(lcHistory).noquote() << "readings sent to the central database:" << rows.size() << "up to"
                                    << rows.last().station << last << "-" << m_waiting << "wait";
    }
    setState(State::Reached);
    if (rows.size() >= m_batchSize || m_again)
        m_next.start();
    publish();
}

void CentralSender::onFailed(const QString &reason)
{
    m_inFlight = false;
    if (m_archive->isOpen())
        m_waiting = m_archive->centralPendingCount();
    setState(State::Unreached, centralFailureText(reason));
    m_retry.start();
    publish();
}

void CentralSender::setState(State state, const QString &failure)
{
    // The details of a failure may vary from try to try; its kind is what the log tells.
    const auto kind = [](const QString &f) { return f.left(f.indexOf(QLatin1String(" ("))); };
    const bool changed = state != m_state || kind(failure) != kind(m_failure);
    m_state = state;
    m_failure = failure;
    if (!changed)
        return;
    const QString where = m_target ? m_target->destination() : QStringLiteral("(no valid URI)");
    switch (state) {
    case State::Off:
        qCInfo(lcHistory, "central database off");
        break;
    case State::Connecting:
        qCInfo(lcHistory).noquote() << "central database: connecting to" << where;
        break;
    case State::Reached:
        qCInfo(lcHistory).noquote() << "central database reached:" << where << "-" << m_waiting
                                    << "readings wait";
        break;
    case State::Unreached:
        qCWarning(lcHistory).noquote() << "central database not reachable:" << where << "-" << failure
                                       << "- readings wait in the local archive";
        break;
    }
}

QString CentralSender::statusText() const
{
    const QString where = m_target ? QLatin1Char(' ') + m_target->destination() : QString();
    const QString last = m_lastSent.isEmpty() ? QStringLiteral("ningunha") : m_lastSent;
    switch (m_state) {
    case State::Off:
        return {};
    case State::Connecting:
        return QStringLiteral("Base de datos central%1: conectando; %2 lecturas á espera")
            .arg(where)
            .arg(m_waiting);
    case State::Reached:
        return QStringLiteral("Base de datos central%1: conectada; %2 lecturas á espera; última enviada: %3")
            .arg(where)
            .arg(m_waiting)
            .arg(last);
    case State::Unreached:
        return QStringLiteral("Base de datos central%1 non dispoñible: %2; %3 lecturas á espera no arquivo "
                              "local; última enviada: %4")
            .arg(where, m_failure)
            .arg(m_waiting)
            .arg(last);
    }
    return {};
}

void CentralSender::publish()
{
    const QString text = statusText();
    if (text == m_published)
        return;
    m_published = text;
    Q_EMIT statusChanged(text);
}

} // namespace orvalla
