#pragma once

// A PostgreSQL server of the Debian package in a temporary folder: initdb and
// pg_ctl run as the user "postgres" when the test runs as root, on a free
// loopback port, its sockets in the same folder, password logins only.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <QVariant>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace central
{

class PostgresServer
{
public:
    static constexpr const char *kUser = "orvalla";
    static constexpr const char *kPassword = "segredo'de;proba";

    ~PostgresServer()
    {
        if (m_running)
            pgCtl({ QStringLiteral("stop"), QStringLiteral("-m"), QStringLiteral("immediate") });
        QSqlDatabase::removeDatabase(QStringLiteral("test-central"));
    }

    // Empty when the server runs, else why it cannot (a reason to skip).
    QString start()
    {
        if (m_bin.isEmpty()) {
            const QStringList versions
                = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            for (const QString &v : versions) {
                const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(v);
                if (QFile::exists(bin + QStringLiteral("/initdb")))
                    m_bin = bin;
            }
            if (m_bin.isEmpty())
                return QStringLiteral("PostgreSQL is not installed (scripts/deps.sh installs postgresql)");
            if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
                return QStringLiteral("the PostgreSQL driver of Qt SQL is missing (libqt6sql6-psql)");
        }
        if (m_data.isEmpty()) {
            if (!m_dir.isValid())
                return QStringLiteral("no temporary folder");
            if (::geteuid() == 0) {
                const passwd *pw = ::getpwnam("postgres");
                if (!pw)
                    return QStringLiteral("no user \"postgres\" to run the server");
                m_uid = pw->pw_uid;
                m_gid = pw->pw_gid;
                if (::chown(QFile::encodeName(m_dir.path()).constData(), m_uid, m_gid) != 0)
                    return QStringLiteral("cannot give the temporary folder to \"postgres\"");
            }
            const QString pwfile = m_dir.filePath(QStringLiteral("pw"));
            QFile f(pwfile);
            if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray(kPassword) + '\n') < 0)
                return QStringLiteral("cannot write the password file");
            f.close();
            if (m_uid && ::chown(QFile::encodeName(pwfile).constData(), m_uid, m_gid) != 0)
                return QStringLiteral("cannot give the password file to \"postgres\"");
            const QString data = m_dir.filePath(QStringLiteral("data"));
            QString out;
            if (!run(m_bin + QStringLiteral("/initdb"),
                    { QStringLiteral("-D"), data, QStringLiteral("-U"), QLatin1String(kUser),
                        QStringLiteral("-A"), QStringLiteral("scram-sha-256"),
                        QStringLiteral("--pwfile=") + pwfile, QStringLiteral("-E"), QStringLiteral("UTF8"),
                        QStringLiteral("--no-locale"), QStringLiteral("--no-sync") },
                    &out))
                return QStringLiteral("initdb failed: ") + out;
            m_data = data;
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            m_port = probe.serverPort();
        }
        QString out;
        if (!pgCtl(
                { QStringLiteral("start"), QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
                    QStringLiteral("-l"), m_dir.filePath(QStringLiteral("log")), QStringLiteral("-o"),
                    QStringLiteral("-c listen_addresses=127.0.0.1 -p %1 -c unix_socket_directories=%2 "
                                   "-c fsync=off -c max_connections=20 -c shared_buffers=16MB %3")
                        .arg(m_port)
                        .arg(m_dir.path(), m_extra) },
                &out))
            return QStringLiteral("pg_ctl start failed: ") + out + QString::fromUtf8(logTail());
        m_running = true;
        return {};
    }

    bool stop()
    {
        m_running = false;
        return pgCtl(
            { QStringLiteral("stop"), QStringLiteral("-w"), QStringLiteral("-m"), QStringLiteral("fast") });
    }

    int port() const { return m_port; }
    QString folder() const { return m_dir.path(); }
    // Server options for the next start ("-c ssl=on ...").
    void setExtraOptions(const QString &options) { m_extra = options; }
    // A file the server reads (its TLS key must be its own and private).
    bool giveToServer(const QString &path)
    {
        const QByteArray p = QFile::encodeName(path);
        return ::chmod(p.constData(), 0600) == 0 && (!m_uid || ::chown(p.constData(), m_uid, m_gid) == 0);
    }
    QString uri(const QString &password = QString::fromLatin1(kPassword), const QString &query = {}) const
    {
        // Built by hand: the encoded password holds '%'.
        return QStringLiteral("postgresql://") + QLatin1String(kUser) + QLatin1Char(':')
            + QString::fromLatin1(QUrl::toPercentEncoding(password)) + QStringLiteral("@127.0.0.1:")
            + QString::number(m_port) + QStringLiteral("/postgres") + query;
    }

    // The test's own connection to the server.
    QSqlDatabase db()
    {
        const QString name = QStringLiteral("test-central");
        QSqlDatabase d = QSqlDatabase::contains(name)
            ? QSqlDatabase::database(name, false)
            : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        if (!d.isOpen()) {
            d.setHostName(QStringLiteral("127.0.0.1"));
            d.setPort(m_port);
            d.setDatabaseName(QStringLiteral("postgres"));
            d.setUserName(QLatin1String(kUser));
            d.setPassword(QLatin1String(kPassword));
            if (d.open())
                QSqlQuery(d).exec(QStringLiteral("SET client_min_messages = warning"));
        }
        return d;
    }
    void closeDb()
    {
        if (QSqlDatabase::contains(QStringLiteral("test-central")))
            QSqlDatabase::database(QStringLiteral("test-central"), false).close();
    }

    // The first column of every row of a query, as text; a failure as "ERROR ...".
    QStringList column(const QString &sql)
    {
        QSqlQuery q(db());
        QStringList out;
        if (!q.exec(sql))
            return { QStringLiteral("ERROR ") + q.lastError().text() };
        while (q.next())
            out << q.value(0).toString();
        return out;
    }
    bool exec(const QString &sql)
    {
        QSqlQuery q(db());
        return q.exec(sql);
    }

    QByteArray logTail() const
    {
        QFile f(m_dir.filePath(QStringLiteral("log")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().right(2000) : QByteArray();
    }

private:
    bool pgCtl(QStringList args, QString *out = nullptr)
    {
        args.prepend(m_data);
        args.prepend(QStringLiteral("-D"));
        return run(m_bin + QStringLiteral("/pg_ctl"), args, out);
    }

    // As "postgres" when root: the server refuses to run as root.
    bool run(const QString &program, const QStringList &args, QString *out)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("ASAN_OPTIONS"));
        env.remove(QStringLiteral("LSAN_OPTIONS"));
        p.setProcessEnvironment(env);
        if (m_uid)
            p.start(QStringLiteral("runuser"),
                QStringList {
                    QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), program }
                    + args);
        else
            p.start(program, args);
        const bool ok
            = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (out)
            *out = QString::fromLocal8Bit(p.readAll());
        return ok;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QString m_data;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    int m_port = 0;
    bool m_running = false;
    QString m_extra;
};

} // namespace central
