// The built console with its workbook in a real headless LibreOffice Calc:
// killed, it leaves nothing that stops the next start; closed (SIGTERM) while
// the office starts or while a macro runs, it waits, saves and ends cleanly.

#include "tests/e2e/excel/office_peer.h"
#include "tests/e2e/faults/console_rig.h"

#include <QtTest>

using namespace officepeer;

namespace
{

// Every switch off but the workbook (and, when asked, the publishing batch
// that updates it a minute after start-up); simulated reception.
QByteArray settingsFor(const QString &folder, bool updates)
{
    QByteArray bytes = faults::settingsFile();
    auto set = [&bytes](const QByteArray &from, const QByteArray &to) { bytes.replace(from, to); };
    set("Ruta de ficheiro excel = \r\n", "Ruta de ficheiro excel = " + QFile::encodeName(folder) + "/\r\n");
    set("Nome de ficheiro excel = datos.xls", "Nome de ficheiro excel = libro.ods");
    set("Excel activo = 0", "Excel activo = 1");
    set("Modo simulado = 0", "Modo simulado = 1");
    if (updates) {
        set("Envio ficheiros auto = 0", "Envio ficheiros auto = 1");
        set("Intervalo envio ficheiros (minutos) = 15 ", "Intervalo envio ficheiros (minutos) = 1 ");
    }
    return bytes;
}

bool writeText(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class TestExcelConsoleE2e : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_workbook;
    faults::ConsoleRig m_rig;

    QString lock() const { return m_rig.path(QStringLiteral(".~lock.libro.ods#")); }

    void prepare(const char *name, bool updates)
    {
        m_rig.workDir = m_dir.filePath(QLatin1String(name));
        m_rig.portDir = m_rig.workDir;
        QVERIFY(QDir().mkpath(m_rig.workDir));
        QVERIFY(QFile::copy(m_workbook, m_rig.path(QStringLiteral("libro.ods"))));
        QVERIFY(writeText(m_rig.path(QStringLiteral("meteo.cfg")), settingsFor(m_rig.workDir, updates)));
    }

    // The office folder of the running console, once its bridge has written it.
    QString officeFolder()
    {
        QString folder;
        for (int i = 0; i < 200 && folder.isEmpty() && m_rig.consoleRunning(); ++i) {
            folder = officeFolderOf(m_rig.consolePid());
            if (folder.isEmpty())
                QTest::qWait(100);
        }
        return folder;
    }

    // Waits for a file the workbook's slow macro writes when it starts.
    bool waitForMacro(int timeoutMs)
    {
        const QString marker = m_rig.path(QStringLiteral("en_curso"));
        QElapsedTimer t;
        t.start();
        while (!QFile::exists(marker) && t.elapsed() < timeoutMs && m_rig.consoleRunning())
            QTest::qWait(100);
        return QFile::exists(marker);
    }

    // SIGTERM; the console must end by itself, cleanly.
    void terminateAndExpectCleanEnd()
    {
        QVERIFY2(m_rig.terminateConsole(180000), m_rig.outputText());
        QCOMPARE(m_rig.console().exitStatus(), QProcess::NormalExit);
        QVERIFY2(m_rig.console().exitCode() == 0, m_rig.outputText());
    }

    // Whether the lines appear in this order in the console's output.
    bool saidInOrder(const QList<QByteArray> &lines)
    {
        qsizetype at = 0;
        for (const QByteArray &line : lines) {
            at = m_rig.output().indexOf(line, at);
            if (at < 0)
                return false;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty())
            QSKIP("LibreOffice is not installed (scripts/deps.sh installs it)");
        QVERIFY(m_dir.isValid());
        m_workbook
            = convert(QStringLiteral(ORVALLA_SOURCE_DIR "/tests/e2e/excel/libro.fods"), QStringLiteral("ods"),
                m_dir.filePath(QStringLiteral("generated")), m_dir.filePath(QStringLiteral("profile")));
        QVERIFY(QFile::exists(m_workbook));
    }

    void cleanup() { m_rig.stopAll(); }

    void sigtermWhileTheOfficeStarts()
    {
        prepare("arranque", false);
        m_rig.startConsole();
        QVERIFY2(m_rig.waitForOutput("starting the Excel application", 60000) > 0, m_rig.outputText());
        m_rig.console().terminate();
        const QString folder = officeFolder();
        QVERIFY2(!folder.isEmpty(), m_rig.outputText());

        terminateAndExpectCleanEnd();
        QVERIFY2(
            saidInOrder({ "closing once the running workbook call ends", "Excel aberto:", "Excel pechado" }),
            m_rig.outputText());
        QVERIFY2(!m_rig.output().contains("Excel call failed"), m_rig.outputText());
        QVERIFY(!QFile::exists(lock()));
        QCOMPARE(processesUsing(folder), QStringList());
        QVERIFY(!QFile::exists(folder));
        QVERIFY(faults::splitLines(m_rig.bytes(QStringLiteral("meteo.cfg"))).contains("Excel activo = 1"));
    }

    void killedDuringAMacroThenClosedDuringOne()
    {
        prepare("matar", true);
        // The update a minute after start-up stops in its second macro for two minutes.
        QVERIFY(writeText(m_rig.path(QStringLiteral("lenta")), "120\n"));
        m_rig.startConsole();
        QVERIFY2(m_rig.waitForOutput("Excel aberto:", 180000) > 0, m_rig.outputText());
        const QString first = officeFolder();
        QVERIFY(!first.isEmpty());
        QVERIFY(QFile::exists(lock()));
        QVERIFY2(waitForMacro(180000), m_rig.outputText());
        m_rig.killConsole();
        // Its office runs on in the macro, holding the workbook.
        QVERIFY(!processesUsing(first).isEmpty());
        QVERIFY(QFile::exists(lock()));

        // The next start takes the workbook: the orphaned office is ended,
        // its lock and folder removed; the next update takes 8 s.
        QVERIFY(QFile::remove(m_rig.path(QStringLiteral("en_curso"))));
        QVERIFY(writeText(m_rig.path(QStringLiteral("lenta")), "8\n"));
        m_rig.startConsole();
        QVERIFY2(m_rig.waitForOutput("Excel aberto:", 180000) > 0, m_rig.outputText());
        QVERIFY2(!m_rig.output().contains("erros"), m_rig.outputText());
        QVERIFY2(m_rig.output().contains("ending office"), m_rig.outputText());
        // Its bridge, left without its office, ends too.
        QTRY_COMPARE_WITH_TIMEOUT(processesUsing(first), QStringList(), 30000);
        QVERIFY(!QFile::exists(first));
        const QString second = officeFolder();
        QVERIFY(!second.isEmpty());

        // Closed while the macro runs: the update ends, then the workbook is saved.
        QVERIFY2(waitForMacro(180000), m_rig.outputText());
        terminateAndExpectCleanEnd();
        QVERIFY2(saidInOrder({ "closing once the running workbook call ends", "Excel actualizado\n",
                     "Excel pechado" }),
            m_rig.outputText());
        QVERIFY(!QFile::exists(lock()));
        QCOMPARE(processesUsing(second), QStringList());
        QVERIFY(!QFile::exists(second));

        // What the kill cost: the first update, never saved. The second is whole.
        const QList<QStringList> rows = readSheet(m_rig.path(QStringLiteral("libro.ods")),
            m_rig.path(QStringLiteral("csv")), m_dir.filePath(QStringLiteral("profile")));
        QVERIFY(rows.size() >= 3);
        QCOMPARE(rows.at(0).value(4), QStringLiteral("1"));
        QCOMPARE(rows.at(2).value(3), QStringLiteral("graficos faltas carga tarvelo_datos_hoxe.txt"));
        // Running the macros left the workbook's own Basic as it was.
        QCOMPARE(zipEntries(m_rig.path(QStringLiteral("libro.ods")), QStringLiteral("Basic/")),
            zipEntries(m_workbook, QStringLiteral("Basic/")));
    }
};

QTEST_GUILESS_MAIN(TestExcelConsoleE2e)
#include "test_excel_console_e2e.moc"
