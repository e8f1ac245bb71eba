#pragma once

// The real office as a test peer: converting files with soffice, reading a
// sheet back, and finding the processes of an office.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

namespace officepeer
{

// soffice --convert-to with a profile of its own under profileDir; answers the
// output file, empty on failure.
inline QString convert(
    const QString &file, const QString &format, const QString &outDir, const QString &profileDir)
{
    QProcess soffice;
    soffice.start(QStandardPaths::findExecutable(QStringLiteral("soffice")),
        { QStringLiteral("--headless"), QStringLiteral("--norestore"),
            QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profileDir).toString(),
            QStringLiteral("--convert-to"), format, QStringLiteral("--outdir"), outDir, file });
    if (!soffice.waitForFinished(180000) || soffice.exitCode() != 0) {
        qWarning() << "soffice --convert-to failed" << soffice.readAllStandardError();
        return {};
    }
    return outDir + QLatin1Char('/') + QFileInfo(file).completeBaseName() + QLatin1Char('.') + format;
}

// The first sheet as rows of cells, by way of CSV; no cell here holds a comma
// or a quote.
inline QList<QStringList> readSheet(const QString &workbook, const QString &outDir, const QString &profileDir)
{
    QList<QStringList> rows;
    QFile file(convert(workbook, QStringLiteral("csv"), outDir, profileDir));
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            rows.append(QString::fromUtf8(line).trimmed().split(QLatin1Char(',')));
    }
    return rows;
}

// The entries of a zip file (an OpenDocument file) under a folder.
inline QStringList zipEntries(const QString &file, const QString &under)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral("-c"),
            QStringLiteral("import sys, zipfile\n"
                           "for n in sorted(zipfile.ZipFile(sys.argv[1]).namelist()):\n"
                           "    print(n) if n.startswith(sys.argv[2]) else None\n"),
            file, under });
    python.waitForFinished(30000);
    return QString::fromUtf8(python.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// pid (comm) state ppid pgrp ...: the fields after comm, which may hold blanks.
inline QList<QByteArray> statFields(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ');
}

inline QStringList livePids()
{
    QStringList pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        entry.toLongLong(&isPid);
        // Zombies left for their parent to reap do not count.
        if (isPid && statFields(entry).value(0) != "Z")
            pids.append(entry);
    }
    return pids;
}

// Whether a process of the group still runs.
inline bool processGroupAlive(qint64 group)
{
    if (group <= 0)
        return false;
    for (const QString &pid : livePids()) {
        const QList<QByteArray> fields = statFields(pid);
        if (fields.size() > 2 && fields.at(2).toLongLong() == group)
            return true;
    }
    return false;
}

// Live processes whose command line names something inside folder: the office
// bridge by its script, the office by its profile.
inline QStringList processesUsing(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder) + '/';
    const QByteArray url = QUrl::fromLocalFile(folder).toEncoded() + '/';
    QStringList found;
    for (const QString &pid : livePids()) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QByteArray words = cmdline.readAll();
        if (words.contains(path) || words.contains(url))
            found.append(pid);
    }
    return found;
}

// The private office folder that the console with this process id made, from
// the owner file its office bridge writes there; empty if none.
inline QString officeFolderOf(qint64 consolePid)
{
    const QDir temp(QDir::tempPath());
    const QStringList folders = temp.entryList({ QStringLiteral("orvalla-office-*") }, QDir::Dirs);
    for (const QString &name : folders) {
        QFile owner(temp.filePath(name) + QStringLiteral("/owner.json"));
        if (owner.open(QIODevice::ReadOnly)
            && QJsonDocument::fromJson(owner.readAll()).object().value(QStringLiteral("console")).toInteger()
                == consolePid)
            return temp.filePath(name);
    }
    return {};
}

} // namespace officepeer
