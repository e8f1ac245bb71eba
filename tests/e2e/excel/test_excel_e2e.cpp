// The workbook layer against a real headless LibreOffice Calc.

#include "excel/excel_workbook.h"
#include "excel/office/office_automation.h"
#include "tests/e2e/excel/office_peer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

using namespace orvalla;
using officepeer::processGroupAlive;

namespace
{

// Processes whose parent is this test.
QStringList childProcesses()
{
    QStringList found;
    const QByteArray self = QByteArray::number(getpid());
    for (const QString &pid : officepeer::livePids()) {
        if (officepeer::statFields(pid).value(1) == self)
            found.append(pid);
    }
    return found;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Field 22 of /proc/PID/stat: when the process started.
qint64 processStart(qint64 pid)
{
    return officepeer::statFields(QString::number(pid)).value(19).toLongLong();
}

QString lockOf(const QString &folder, const QString &name)
{
    return folder + QStringLiteral(".~lock.") + name + QLatin1Char('#');
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
    void locksOfLiveOfficesStayStaleOnesGo();
    void macroErrorsAreReportedAndAHungCallCanBeGivenUp();

private:
    // soffice --convert-to, with a profile of its own; answers the output file.
    QString convert(const QString &file, const QString &format, const QString &outDir);
    QList<QStringList> readSheet(const QString &workbook);
    std::shared_ptr<AutomationServer> server();

    QTemporaryDir m_dir;
    QString m_workbook; // a pristine copy of the generated workbook
    QString m_broken; // a workbook whose Basic library does not compile
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
    m_broken = convert(QStringLiteral(ORVALLA_SOURCE_DIR "/tests/e2e/excel/roto.fods"), QStringLiteral("ods"),
        m_dir.filePath(QStringLiteral("generated")));
    QVERIFY(QFile::exists(m_broken));
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
    return officepeer::convert(file, format, outDir, m_dir.filePath(QStringLiteral("convert-profile")));
}

QList<QStringList> TestExcelE2e::readSheet(const QString &workbook)
{
    return officepeer::readSheet(
        workbook, m_folder + QStringLiteral("csv"), m_dir.filePath(QStringLiteral("convert-profile")));
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

void TestExcelE2e::locksOfLiveOfficesStayStaleOnesGo()
{
    ExcelWorkbook holder(server());
    QVERIFY(holder.open(m_folder, QStringLiteral("libro.ods")));
    const QString lock = lockOf(m_folder, QStringLiteral("libro.ods"));
    const QByteArray held = fileBytes(lock);
    QVERIFY(held.contains(QSysInfo::machineHostName().toUtf8()));

    // Another console's office on this machine, alive: the workbook is not taken.
    ExcelWorkbook second(server());
    QSignalSpy failed(&second, &ExcelWorkbook::failed);
    QVERIFY(!second.open(m_folder, QStringLiteral("libro.ods")));
    QVERIFY(!failed.isEmpty());
    QVERIFY2(failed.first().at(0).toString().contains(QLatin1String("in use by")),
        qPrintable(failed.first().at(0).toString()));
    QCOMPARE(fileBytes(lock), held);

    // Locks made by hand beside copies of the workbook, opened by the second office.
    const QString user = QString::fromLocal8Bit(getpwuid(getuid())->pw_name);
    const QString host = QSysInfo::machineHostName();
    QProcess ended;
    ended.start(QStringLiteral("/bin/true"));
    QVERIFY(ended.waitForFinished());
    const qint64 gone = ended.processId() > 0 ? ended.processId() : 999999;
    struct Case {
        const char *name;
        QString user, host;
        bool ourFolder; // a private profile folder as the console makes them
        qint64 console; // its owner, 0: no owner file
        bool office; // a process runs with that profile
        bool taken;
    };
    const Case cases[] = {
        { "outra_maquina.ods", user, QStringLiteral("outra-maquina"), true, 0, false, false },
        { "outro_usuario.ods", QStringLiteral("alguen"), host, true, 0, false, false },
        { "outro_programa.ods", user, host, false, 0, true, false },
        { "consola_viva.ods", user, host, true, getpid(), true, false },
        { "sen_oficina.ods", user, host, true, gone, false, true },
        { "oficina_orfa.ods", user, host, true, gone, true, true },
    };
    std::shared_ptr<AutomationObject> workbooks
        = second.application()->getProperty(QStringLiteral("Workbooks")).object;
    QVERIFY(workbooks);
    std::vector<std::unique_ptr<QProcess>> offices;
    int serial = 0;
    for (const Case &c : cases) {
        const QString name = QString::fromLatin1(c.name);
        QVERIFY(QFile::copy(m_workbook, m_folder + name));
        // "orvalla-office-" and six letters or digits, as the console names them.
        const QString folder = c.ourFolder
            ? m_dir.filePath(QStringLiteral("orvalla-office-Test%1").arg(++serial, 2, 10, QLatin1Char('0')))
            : m_dir.filePath(QStringLiteral("perfil-%1").arg(++serial));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/profile")));
        const QString profile = QUrl::fromLocalFile(folder + QStringLiteral("/profile")).toString();
        if (c.console) {
            const QJsonObject owner { { QStringLiteral("console"), c.console },
                { QStringLiteral("start"), c.console == getpid() ? processStart(getpid()) : 1 } };
            QVERIFY(writeBytes(folder + QStringLiteral("/owner.json"), QJsonDocument(owner).toJson()));
        }
        if (c.office) {
            // Stands for an office: what counts is the profile on its command line.
            offices.push_back(std::make_unique<QProcess>());
            offices.back()->start(QStringLiteral("/usr/bin/python3"),
                { QStringLiteral("-c"), QStringLiteral("import time; time.sleep(600)"),
                    QStringLiteral("-env:UserInstallation=") + profile });
            QVERIFY(offices.back()->waitForStarted());
        }
        const QByteArray mark
            = QStringLiteral(",%1,%2,01.01.2026 10:00,%3;").arg(c.user, c.host, profile).toUtf8();
        QVERIFY(writeBytes(lockOf(m_folder, name), mark));

        const AutomationResult opened = workbooks->callMethod(QStringLiteral("Open"), { m_folder + name });
        QVERIFY2(opened.ok == c.taken, qPrintable(name + QStringLiteral(": ") + opened.error));
        if (c.taken) {
            QVERIFY2(!fileBytes(lockOf(m_folder, name)).contains(profile.toUtf8()), c.name);
            // The office of a console that is gone was ended, and its folder removed.
            if (c.office)
                QTRY_COMPARE_WITH_TIMEOUT(offices.back()->state(), QProcess::NotRunning, 10000);
            QVERIFY(!QFile::exists(folder));
        } else {
            QVERIFY2(opened.error.contains(QLatin1String("in use by")), qPrintable(opened.error));
            QCOMPARE(fileBytes(lockOf(m_folder, name)), mark);
            if (c.office)
                QVERIFY2(offices.back()->state() == QProcess::Running, c.name);
        }
    }
    for (const auto &office : offices)
        office->kill();

    // The holder was never disturbed.
    QVERIFY(holder.update(m_folder, QStringLiteral("tarvelo")));
    QVERIFY(holder.close());
    QVERIFY(!QFile::exists(lock));
    QVERIFY(!second.close());
}

void TestExcelE2e::macroErrorsAreReportedAndAHungCallCanBeGivenUp()
{
    ExcelWorkbook excel(server());
    QVERIFY(excel.open(m_folder, QStringLiteral("libro.ods")));
    const qint64 office = OfficeAutomation::officeProcessGroup(excel.application());
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);
    QSignalSpy status(&excel, &ExcelWorkbook::statusChanged);

    // A run-time error inside the second macro: named, the others run.
    QVERIFY(writeBytes(m_folder + QStringLiteral("falla"), "si\n"));
    QVERIFY(!excel.update(m_folder, QStringLiteral("tarvelo")));
    QCOMPARE(failed.count(), 1);
    const QString error = failed.first().at(0).toString();
    QVERIFY2(error.startsWith(QLatin1String("Excel: Erro na macro datos.xls!BuscaFaltas: Basic error 91")),
        qPrintable(error));
    QVERIFY2(
        status.last().at(0).toString().startsWith(QStringLiteral("Excel actualizado con erros (1 erros")),
        qPrintable(status.last().at(0).toString()));
    QVERIFY(QFile::remove(m_folder + QStringLiteral("falla")));

    // A library that does not compile runs nothing: said too, not taken for success.
    QVERIFY(QFile::copy(m_broken, m_folder + QStringLiteral("roto.ods")));
    const auto workbooks = excel.application()->getProperty(QStringLiteral("Workbooks")).object;
    QVERIFY(workbooks);
    const auto roto
        = workbooks->callMethod(QStringLiteral("Open"), { m_folder + QStringLiteral("roto.ods") }).object;
    QVERIFY(roto);
    const AutomationResult broken
        = excel.application()->callMethod(QStringLiteral("Run"), { QStringLiteral("roto.ods!CargaDatos") });
    QVERIFY(!broken.ok);
    QVERIFY2(broken.error.contains(QLatin1String("did not run")), qPrintable(broken.error));
    QVERIFY(roto->callMethod(QStringLiteral("Close")).ok);

    // A macro that would take ten minutes: giving the call up ends it at once.
    QVERIFY(writeBytes(m_folder + QStringLiteral("lenta"), "600\n"));
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (QFile::exists(m_folder + QStringLiteral("en_curso"))) {
            poll.stop();
            excel.abandon();
        }
    });
    poll.start(100);
    failed.clear();
    QElapsedTimer took;
    took.start();
    QVERIFY(!excel.update(m_folder, QStringLiteral("tarvelo")));
    QVERIFY2(took.elapsed() < 120000, qPrintable(QString::number(took.elapsed())));
    QVERIFY(!poll.isActive());
    QVERIFY(failed.count() >= 2); // the macro given up and the one after it
    QVERIFY(failed.first().at(0).toString().contains(QLatin1String("BuscaFaltas")));
    QTRY_VERIFY_WITH_TIMEOUT(!processGroupAlive(office), 30000);
    excel.close();
    QVERIFY(!excel.isOpen());
}

QTEST_GUILESS_MAIN(TestExcelE2e)
#include "test_excel_e2e.moc"
