// The workbook layer against a real headless LibreOffice Calc.

#include "excel/excel_workbook.h"
#include "excel/office/office_automation.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

using namespace orvalla;

namespace
{

// Whether a process of the group still runs; zombies left for their parent to
// reap do not count.
bool processGroupAlive(qint64 group)
{
    if (group <= 0)
        return false;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid pgrp ...; comm may hold blanks, so count from ')'.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields.at(2).toLongLong() == group && fields.at(0) != "Z")
            return true;
    }
    return false;
}

// Processes whose parent is this test.
QStringList childProcesses()
{
    QStringList found;
    const QString self = QString::number(getpid());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // pid (comm) state ppid ...: comm may hold blanks, so read after its ')'.
        const QList<QByteArray> rest = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1 && rest[1] == self.toLatin1())
            found.append(pid);
    }
    return found;
}

} // namespace

class TestExcelE2e : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void openUpdateClose();
    void missingWorkbook();
    void officeThatDies();

private:
    // soffice --convert-to, with a profile of its own; answers the output file.
    QString convert(const QString &file, const QString &format, const QString &outDir);
    QList<QStringList> readSheet(const QString &workbook);
    std::shared_ptr<AutomationServer> server();

    QTemporaryDir m_dir;
    QString m_workbook; // a pristine copy of the generated workbook
    QString m_folder; // per test, with its trailing separator
};

void TestExcelE2e::initTestCase()
{
    QString why;
    if (!OfficeAutomation::available(&why))
        QSKIP(qPrintable(why));
    QVERIFY(m_dir.isValid());
    // A spreadsheet with the three macros; each leaves a mark that carries the
    // previous one, so the marks show both that they ran and their order.
    const QString fods = QStringLiteral(ORVALLA_SOURCE_DIR "/tests/e2e/excel/libro.fods");
    m_workbook = convert(fods, QStringLiteral("ods"), m_dir.filePath(QStringLiteral("generated")));
    QVERIFY(QFile::exists(m_workbook));
}

void TestExcelE2e::init()
{
    m_folder = m_dir.filePath(QString::fromLatin1(QTest::currentTestFunction())) + QLatin1Char('/');
    QVERIFY(QDir().mkpath(m_folder));
    // Not "datos.xls": the macros must be found whatever the workbook is called.
    QVERIFY(QFile::copy(m_workbook, m_folder + QStringLiteral("libro.ods")));
}

std::shared_ptr<AutomationServer> TestExcelE2e::server()
{
    auto office = std::make_shared<OfficeAutomation>();
    office->setTimeouts(180000, 180000);
    return office;
}

QString TestExcelE2e::convert(const QString &file, const QString &format, const QString &outDir)
{
    QProcess soffice;
    const QString profile = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("convert-profile"))).toString();
    soffice.start(QStandardPaths::findExecutable(QStringLiteral("soffice")),
        { QStringLiteral("--headless"), QStringLiteral("--norestore"),
            QStringLiteral("-env:UserInstallation=") + profile, QStringLiteral("--convert-to"), format,
            QStringLiteral("--outdir"), outDir, file });
    if (!soffice.waitForFinished(180000) || soffice.exitCode() != 0) {
        qWarning() << "soffice --convert-to failed" << soffice.readAllStandardError();
        return {};
    }
    return outDir + QLatin1Char('/') + QFileInfo(file).completeBaseName() + QLatin1Char('.') + format;
}

QList<QStringList> TestExcelE2e::readSheet(const QString &workbook)
{
    // The first sheet (Hoja1) as CSV; no cell here holds a comma or a quote.
    QList<QStringList> rows;
    const QString csv = convert(workbook, QStringLiteral("csv"), m_folder + QStringLiteral("csv"));
    QFile file(csv);
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            rows.append(QString::fromUtf8(line).trimmed().split(QLatin1Char(',')));
    }
    return rows;
}

void TestExcelE2e::openUpdateClose()
{
    ExcelWorkbook excel(server());
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);

    QVERIFY(excel.open(m_folder, QStringLiteral("libro.ods")));
    QVERIFY(excel.isOpen());
    const qint64 office = OfficeAutomation::officeProcessGroup(excel.application());
    QVERIFY(processGroupAlive(office));
    // Neither the bridge nor the office shares our session, so a Ctrl-C at the
    // console's terminal reaches the console alone, which then saves the workbook.
    QVERIFY(office != getpgrp());
    const QStringList children = childProcesses();
    QVERIFY(!children.isEmpty());
    for (const QString &pid : children)
        QVERIFY2(getsid(pid.toInt()) != getsid(0), qPrintable(pid));

    QVERIFY(excel.update(m_folder, QStringLiteral("tarvelo")));
    QVERIFY(excel.close());
    QVERIFY(!excel.isOpen());
    QCOMPARE(failed.count(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!processGroupAlive(office), 30000);

    const QList<QStringList> rows = readSheet(m_folder + QStringLiteral("libro.ods"));
    QVERIFY2(rows.size() >= 8, qPrintable(QString::number(rows.size())));
    auto cell = [&rows](int row, int column) { return rows.at(row - 1).value(column - 1); };
    QCOMPARE(cell(1, 1), QStringLiteral("ola"));
    QCOMPARE(cell(7, 3), m_folder);
    QCOMPARE(cell(8, 3), QStringLiteral("tarvelo_datos_hoxe.txt"));
    QCOMPARE(cell(1, 4), QStringLiteral("carga tarvelo_datos_hoxe.txt"));
    QCOMPARE(cell(2, 4), QStringLiteral("faltas carga tarvelo_datos_hoxe.txt"));
    QCOMPARE(cell(3, 4), QStringLiteral("graficos faltas carga tarvelo_datos_hoxe.txt"));
}

void TestExcelE2e::missingWorkbook()
{
    ExcelWorkbook excel(server());
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);

    QVERIFY(!excel.open(m_folder, QStringLiteral("non_existe.ods")));
    QVERIFY(excel.isOpen()); // the application exists, so the connection is open
    QVERIFY2(failed.first().at(0).toString().contains(QLatin1String("non_existe.ods")),
        qPrintable(failed.first().at(0).toString()));
    const qint64 office = OfficeAutomation::officeProcessGroup(excel.application());

    failed.clear();
    QVERIFY(!excel.update(m_folder, QStringLiteral("tarvelo")));
    // C7, its value, C8, its value and the three macros.
    QCOMPARE(failed.count(), 7);
    QVERIFY2(failed.last().at(0).toString().contains(QLatin1String("XeraGraficosWeb")),
        qPrintable(failed.last().at(0).toString()));

    QVERIFY(!excel.close()); // nothing to save, but it quits
    QVERIFY(!excel.isOpen());
    QTRY_VERIFY_WITH_TIMEOUT(!processGroupAlive(office), 30000);
}

void TestExcelE2e::officeThatDies()
{
    ExcelWorkbook excel(server());
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);
    QVERIFY(excel.open(m_folder, QStringLiteral("libro.ods")));
    const qint64 office = OfficeAutomation::officeProcessGroup(excel.application());
    QVERIFY(office > 0);
    QCOMPARE(::kill(-static_cast<pid_t>(office), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!processGroupAlive(office), 30000);

    // Every call fails and is reported, none hangs, and the connection can
    // still be closed and opened anew.
    QVERIFY(!excel.update(m_folder, QStringLiteral("tarvelo")));
    QCOMPARE(failed.count(), 7);
    QVERIFY(!excel.close());
    QVERIFY(!excel.isOpen());

    failed.clear();
    QVERIFY(excel.open(m_folder, QStringLiteral("libro.ods")));
    QVERIFY(excel.update(m_folder, QStringLiteral("orvalla")));
    QVERIFY(excel.close());
    QCOMPARE(failed.count(), 0);
    const QList<QStringList> rows = readSheet(m_folder + QStringLiteral("libro.ods"));
    QVERIFY(rows.size() >= 8);
    QCOMPARE(rows.at(7).value(2), QStringLiteral("orvalla_datos_hoxe.txt"));
}

QTEST_GUILESS_MAIN(TestExcelE2e)
#include "test_excel_e2e.moc"
