#include "excel/excel_workbook.h"
#include "excel/recording_automation.h"
#ifdef ORVALLA_EXCEL_BACKEND
#include "excel/office/office_automation.h"
#endif

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace orvalla;

namespace
{

QStringList openCalls(const QString &path)
{
    return { QStringLiteral("create Excel.Application -> #1"), QStringLiteral("#1 set Visible = true"),
        QStringLiteral("#1 get Workbooks -> #2"), QStringLiteral("#2 call Open(\"%1\") -> #3").arg(path),
        QStringLiteral("#3 get Worksheets(\"Hoja1\") -> #4") };
}

QStringList runCalls()
{
    return { QStringLiteral("#1 call Run(\"datos.xls!CargaDatos\")"),
        QStringLiteral("#1 call Run(\"datos.xls!BuscaFaltas\")"),
        QStringLiteral("#1 call Run(\"datos.xls!XeraGraficosWeb\")") };
}

} // namespace

class TestExcel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sequences_data();
    void sequences();
    void openTwiceStartsOneApplication();
    void closedConnectionIgnoresUpdateAndClose();
    void reopenAfterClose();
    void failingCallsAreReportedAndSkipped_data();
    void failingCallsAreReportedAndSkipped();
    void aMacroThatFailsIsNamedAndTheUpdateIsNoSuccess();
    void applicationThatCannotStartLeavesItClosed();
    void requestsDuringASequenceWaitForIt();
    void missingOfficeFailsCleanly();
};

void TestExcel::sequences_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("path");

    QTest::newRow("defaults") << "c:\\meteo\\"
                              << "datos.xls"
                              << "tarvelo"
                              << "c:\\meteo\\datos.xls";
    // The macros keep addressing "datos.xls" whatever the workbook is called.
    QTest::newRow("other workbook") << "/srv/excel/"
                                    << "libro 2024.xlsm"
                                    << "orvalla"
                                    << "/srv/excel/libro 2024.xlsm";
    // No separator is added: folder and name run together as typed.
    QTest::newRow("folder without separator") << "/srv/excel"
                                              << "datos.xls"
                                              << "x"
                                              << "/srv/exceldatos.xls";
    QTest::newRow("empty folder") << ""
                                  << "datos.xls"
                                  << "tarvelo"
                                  << "datos.xls";
}

void TestExcel::sequences()
{
    QFETCH(QString, folder);
    QFETCH(QString, fileName);
    QFETCH(QString, identifier);
    QFETCH(QString, path);

    auto server = std::make_shared<RecordingAutomation>();
    ExcelWorkbook excel(server);
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);
    QSignalSpy opened(&excel, &ExcelWorkbook::openChanged);

    QVERIFY(excel.open(folder, fileName));
    QVERIFY(excel.isOpen());
    QCOMPARE(server->calls(), openCalls(path));
    QCOMPARE(opened.count(), 1);
    QCOMPARE(opened.at(0).at(0).toBool(), true);

    server->clearCalls();
    QVERIFY(excel.update(folder, identifier));
    QStringList update { QStringLiteral("#4 get Range(\"C7\") -> #5"),
        QStringLiteral("#5 set Value = \"%1\"").arg(folder), QStringLiteral("#4 get Range(\"C8\") -> #6"),
        QStringLiteral("release #5"),
        QStringLiteral("#6 set Value = \"%1_datos_hoxe.txt\"").arg(identifier) };
    update += runCalls();
    QCOMPARE(server->calls(), update);

    // A second update reuses the sheet and replaces the kept range.
    server->clearCalls();
    QVERIFY(excel.update(folder, identifier));
    QCOMPARE(server->calls().mid(0, 4),
        (QStringList { QStringLiteral("#4 get Range(\"C7\") -> #7"), QStringLiteral("release #6"),
            QStringLiteral("#7 set Value = \"%1\"").arg(folder),
            QStringLiteral("#4 get Range(\"C8\") -> #8") }));

    server->clearCalls();
    QVERIFY(excel.close());
    QVERIFY(!excel.isOpen());
    QCOMPARE(server->calls(),
        (QStringList { QStringLiteral("#3 call Save()"), QStringLiteral("#1 call Quit()"),
            QStringLiteral("release #8"), QStringLiteral("release #4"), QStringLiteral("release #3"),
            QStringLiteral("release #2"), QStringLiteral("release #1") }));
    QCOMPARE(opened.count(), 2);
    QCOMPARE(opened.at(1).at(0).toBool(), false);
    QCOMPARE(failed.count(), 0);
}

void TestExcel::openTwiceStartsOneApplication()
{
    auto server = std::make_shared<RecordingAutomation>();
    ExcelWorkbook excel(server);
    QVERIFY(excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    const QStringList first = server->calls();
    QVERIFY(excel.open(QStringLiteral("/b/"), QStringLiteral("otro.xls")));
    QCOMPARE(server->createdApplications(), 1);
    QCOMPARE(server->calls(), first);
}

void TestExcel::closedConnectionIgnoresUpdateAndClose()
{
    auto server = std::make_shared<RecordingAutomation>();
    ExcelWorkbook excel(server);
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);
    QSignalSpy status(&excel, &ExcelWorkbook::statusChanged);

    QVERIFY(excel.update(QStringLiteral("/a/"), QStringLiteral("tarvelo")));
    QVERIFY(excel.close());
    QVERIFY(excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    QVERIFY(excel.close());
    server->clearCalls();
    status.clear();
    QVERIFY(excel.update(QStringLiteral("/a/"), QStringLiteral("tarvelo")));
    QVERIFY(excel.close());

    QVERIFY(server->calls().isEmpty());
    QCOMPARE(failed.count(), 0);
    QCOMPARE(status.count(), 0);
}

void TestExcel::reopenAfterClose()
{
    auto server = std::make_shared<RecordingAutomation>();
    ExcelWorkbook excel(server);
    QVERIFY(excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    QVERIFY(excel.close());
    server->clearCalls();
    QVERIFY(excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    QCOMPARE(server->createdApplications(), 2);
    QCOMPARE(server->calls().first(), QStringLiteral("create Excel.Application -> #5"));
    QVERIFY(excel.isOpen());
}

void TestExcel::failingCallsAreReportedAndSkipped_data()
{
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<QStringList>("expected"); // open, update and close together
    QTest::addColumn<int>("failures");

    const QString path = QStringLiteral("/a/datos.xls");
    const QStringList close { QStringLiteral("#3 call Save()"), QStringLiteral("#1 call Quit()") };

    {
        // Without a workbook nothing reaches the cells, but the macros are
        // still asked for and the application still quits.
        QStringList expected = openCalls(path).mid(0, 3);
        expected << QStringLiteral("#2 call Open(\"/a/datos.xls\") -> #3 !failed");
        expected += runCalls();
        expected << QStringLiteral("#1 call Quit()");
        // Open, Worksheets; Range C7, Value C7, Range C8, Value C8; Save.
        QTest::newRow("workbook does not open")
            << QStringList { QStringLiteral("#2 call Open") } << expected << 7;
    }
    {
        QStringList expected = openCalls(path);
        expected << QStringLiteral("#4 get Range(\"C7\") -> #5") << QStringLiteral("#5 set Value = \"/a/\"")
                 << QStringLiteral("#4 get Range(\"C8\") -> #6") << QStringLiteral("release #5")
                 << QStringLiteral("#6 set Value = \"tarvelo_datos_hoxe.txt\"");
        QStringList runs = runCalls();
        runs[0] += QStringLiteral(" !failed");
        expected += runs;
        expected += close;
        QTest::newRow("a macro fails")
            << QStringList { QStringLiteral("#1 call Run(\"datos.xls!CargaDatos\")") } << expected << 1;
    }
    {
        QStringList expected = openCalls(path);
        expected[1] += QStringLiteral(" !failed");
        expected << QStringLiteral("#4 get Range(\"C7\") -> #5 !failed")
                 << QStringLiteral("#4 get Range(\"C8\") -> #5 !failed");
        expected += runCalls();
        expected << QStringLiteral("#3 call Save() !failed") << QStringLiteral("#1 call Quit()");
        QTest::newRow("visible, ranges and save fail") << QStringList { QStringLiteral("#1 set Visible"),
            QStringLiteral("#4 get Range"), QStringLiteral("#3 call Save") }
                                                       << expected << 6;
    }
}

void TestExcel::failingCallsAreReportedAndSkipped()
{
    QFETCH(QStringList, failing);
    QFETCH(QStringList, expected);
    QFETCH(int, failures);

    auto server = std::make_shared<RecordingAutomation>();
    server->failCallsStartingWith(failing);
    ExcelWorkbook excel(server);
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);
    QSignalSpy status(&excel, &ExcelWorkbook::statusChanged);

    excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls"));
    QVERIFY(excel.isOpen()); // open as soon as the application exists
    excel.update(QStringLiteral("/a/"), QStringLiteral("tarvelo"));
    excel.close();
    QVERIFY(!excel.isOpen());

    QStringList calls = server->calls();
    calls.removeIf([](const QString &line) {
        return line.startsWith(QLatin1String("release")) && line != "release #5";
    });
    QCOMPARE(calls, expected);
    QCOMPARE(failed.count(), failures);
    for (const auto &signal : std::as_const(failed))
        QVERIFY2(signal.at(0).toString().startsWith(QLatin1String("Excel: ")),
            qPrintable(signal.at(0).toString()));
    QVERIFY(!excel.lastError().isEmpty());
    // Every sequence with a failure says so in its status line.
    QVERIFY(std::any_of(status.cbegin(), status.cend(),
        [](const QList<QVariant> &s) { return s.at(0).toString().contains(QLatin1String("erros")); }));
}

void TestExcel::aMacroThatFailsIsNamedAndTheUpdateIsNoSuccess()
{
    auto server = std::make_shared<RecordingAutomation>();
    ExcelWorkbook excel(server);
    QVERIFY(excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    server->failCallsStartingWith({ QStringLiteral("#1 call Run(\"datos.xls!BuscaFaltas\")") });
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);
    QSignalSpy status(&excel, &ExcelWorkbook::statusChanged);
    QSignalSpy idle(&excel, &ExcelWorkbook::idle);

    QVERIFY(!excel.update(QStringLiteral("/a/"), QStringLiteral("tarvelo")));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).toString(),
        QStringLiteral("Excel: Erro na macro datos.xls!BuscaFaltas: recorded failure"));
    QCOMPARE(status.last().at(0).toString(),
        QString::fromUtf8("Excel actualizado con erros (1 erros; último: Erro na macro "
                          "datos.xls!BuscaFaltas: recorded failure)"));
    // The macro after it still runs; then the sequence says it is over.
    QCOMPARE(server->calls().last(), QStringLiteral("#1 call Run(\"datos.xls!XeraGraficosWeb\")"));
    QCOMPARE(idle.count(), 1);
}

void TestExcel::applicationThatCannotStartLeavesItClosed()
{
    auto server = std::make_shared<RecordingAutomation>();
    server->failCallsStartingWith({ QStringLiteral("create") });
    ExcelWorkbook excel(server);
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);
    QSignalSpy opened(&excel, &ExcelWorkbook::openChanged);

    QVERIFY(!excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    QVERIFY(!excel.isOpen());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(opened.count(), 0);
    QVERIFY(excel.update(QStringLiteral("/a/"), QStringLiteral("tarvelo")));
    QVERIFY(excel.close());
    QCOMPARE(server->calls(), QStringList { QStringLiteral("create Excel.Application -> #1 !failed") });

    // Once the cause is gone, ticking the box again starts it.
    server->failCallsStartingWith({});
    QVERIFY(excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    QVERIFY(excel.isOpen());
}

void TestExcel::requestsDuringASequenceWaitForIt()
{
    // A failure report is the moment the window's code runs in the middle of
    // a sequence (and, with the office back end, any event during a call).
    auto server = std::make_shared<RecordingAutomation>();
    server->failCallsStartingWith({ QStringLiteral("#1 call Run(\"datos.xls!CargaDatos\")") });
    ExcelWorkbook excel(server);
    QVERIFY(excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    server->clearCalls();

    int reentered = 0;
    connect(&excel, &ExcelWorkbook::failed, this, [&] {
        ++reentered;
        QVERIFY(excel.isBusy());
        QVERIFY(!excel.update(QStringLiteral("/b/"), QStringLiteral("otro"))); // dropped
        QVERIFY(!excel.close()); // after the update
    });
    excel.update(QStringLiteral("/a/"), QStringLiteral("tarvelo"));
    QCOMPARE(reentered, 1);
    QVERIFY(!excel.isOpen());
    QVERIFY(!excel.isBusy());

    QStringList calls = server->calls();
    calls.removeIf([](const QString &line) { return line.startsWith(QLatin1String("release")); });
    QCOMPARE(calls.mid(calls.size() - 4),
        (QStringList { QStringLiteral("#1 call Run(\"datos.xls!BuscaFaltas\")"),
            QStringLiteral("#1 call Run(\"datos.xls!XeraGraficosWeb\")"), QStringLiteral("#3 call Save()"),
            QStringLiteral("#1 call Quit()") }));
    QCOMPARE(calls.filter(QStringLiteral("otro")), QStringList());
}

void TestExcel::missingOfficeFailsCleanly()
{
#ifndef ORVALLA_EXCEL_BACKEND
    QSKIP("built without the office back end");
#else
    // No soffice on PATH: the connection stays closed and the tab is told why.
    QTemporaryDir emptyBin;
    QVERIFY(emptyBin.isValid());
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", emptyBin.path().toLocal8Bit());
    auto restore = qScopeGuard([&] { qputenv("PATH", oldPath); });

    QString why;
    QVERIFY(!OfficeAutomation::available(&why));
    QVERIFY2(why.contains(QLatin1String("soffice")), qPrintable(why));

    ExcelWorkbook excel(std::make_shared<OfficeAutomation>());
    QSignalSpy failed(&excel, &ExcelWorkbook::failed);
    QVERIFY(!excel.open(QStringLiteral("/a/"), QStringLiteral("datos.xls")));
    QVERIFY(!excel.isOpen());
    QCOMPARE(failed.count(), 1);
    QVERIFY2(failed.at(0).at(0).toString().contains(QLatin1String("LibreOffice")),
        qPrintable(failed.at(0).at(0).toString()));
#endif
}

QTEST_GUILESS_MAIN(TestExcel)
#include "test_excel.moc"
