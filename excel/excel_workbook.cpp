#include "excel/excel_workbook.h"

#include "common/log.h"

namespace orvalla
{

namespace
{

const QString kApplication = QStringLiteral("Excel.Application");
const QString kSheet = QStringLiteral("Hoja1");

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

ExcelWorkbook::ExcelWorkbook(std::shared_ptr<AutomationServer> server, QObject *parent)
    : QObject(parent)
    , m_server(std::move(server))
{
}

ExcelWorkbook::~ExcelWorkbook()
{
    releaseAll();
}

QString ExcelWorkbook::workbookPath(const QString &folder, const QString &fileName)
{
    // The folder text carries its own separator; none is added.
    return folder + fileName;
}

QString ExcelWorkbook::todayDataFileName(const QString &systemIdentifier)
{
    return systemIdentifier + QStringLiteral("_datos_hoxe.txt");
}

const QStringList &ExcelWorkbook::macros()
{
    // The workbook is always addressed as "datos.xls", whatever its file name.
    static const QStringList names { QStringLiteral("datos.xls!CargaDatos"),
        QStringLiteral("datos.xls!BuscaFaltas"), QStringLiteral("datos.xls!XeraGraficosWeb") };
    return names;
}

AutomationResult ExcelWorkbook::invoke(AutomationObject *target, const QString &what,
    const std::function<AutomationResult(AutomationObject &)> &call)
{
    if (!target) {
        // An earlier step left no object to call (workbook not opened...).
        report(what, QStringLiteral("no object to call (an earlier step failed)"));
        return AutomationResult::failure(m_lastError);
    }
    AutomationResult result = call(*target);
    if (!result.ok)
        report(what, result.error);
    return result;
}

void ExcelWorkbook::report(const QString &what, const QString &error)
{
    ++m_failures;
    m_lastError = what + QStringLiteral(": ") + error;
    qCWarning(lcExcel).noquote() << "Excel call failed:" << m_lastError;
    Q_EMIT failed(QStringLiteral("Excel: ") + m_lastError);
}

void ExcelWorkbook::reportMacro(const QString &macro, const QString &error)
{
    // The call itself may have worked: the macro ended in error inside the office.
    ++m_failures;
    m_lastError = QStringLiteral("Erro na macro %1: %2").arg(macro, error);
    qCWarning(lcExcel).noquote() << "Excel macro" << macro << "ended in error:" << error;
    Q_EMIT failed(QStringLiteral("Excel: ") + m_lastError);
}

void ExcelWorkbook::finish(const QString &done, bool wasOpen)
{
    QString status = done;
    if (m_failures > 0)
        status += QStringLiteral(" (%1 erros; último: %2)").arg(m_failures).arg(m_lastError);
    qCInfo(lcExcel).noquote() << status;
    Q_EMIT statusChanged(status);
    if (wasOpen != m_open)
        Q_EMIT openChanged(m_open);
}

bool ExcelWorkbook::done(bool ok)
{
    m_busy = false;
    ok = runPending() && ok;
    // After the pending sequence's own idle(), if one ran: nothing runs now.
    Q_EMIT idle();
    return ok;
}

bool ExcelWorkbook::runPending()
{
    const Pending pending = m_pending;
    m_pending = Pending::None;
    if (pending == Pending::Open)
        return open(m_pendingFolder, m_pendingFileName);
    if (pending == Pending::Close)
        return close();
    return true;
}

bool ExcelWorkbook::open(const QString &folder, const QString &fileName)
{
    if (m_busy) {
        qCInfo(lcExcel) << "Excel busy: opening once the running call ends";
        m_pending = Pending::Open;
        m_pendingFolder = folder;
        m_pendingFileName = fileName;
        return false;
    }
    if (m_open)
        return true;
    m_busy = true;
    m_failures = 0;

    qCInfo(lcExcel) << "starting the Excel application";
    AutomationResult app = m_server->createObject(kApplication);
    if (!app.ok || !app.object) {
        m_lastError = QStringLiteral("create %1: %2").arg(kApplication, app.error);
        qCWarning(lcExcel).noquote() << "Excel not started:" << m_lastError;
        Q_EMIT failed(QStringLiteral("Non se pode iniciar Excel: ") + app.error);
        Q_EMIT statusChanged(QStringLiteral("Non se pode iniciar Excel: ") + app.error);
        done(false);
        return false;
    }
    m_application = app.object;
    // Open as soon as the application exists: a close must quit it even when
    // the workbook never opens.
    m_open = true;
    qCInfo(lcExcel) << "Excel application created";

    invoke(m_application.get(), QStringLiteral("Visible = true"),
        [](AutomationObject &o) { return o.setProperty(QStringLiteral("Visible"), true); });

    const QString path = workbookPath(folder, fileName);
    m_workbooks = invoke(m_application.get(), QStringLiteral("Workbooks"), [](AutomationObject &o) {
        return o.getProperty(QStringLiteral("Workbooks"));
    }).object;
    m_workbook = invoke(m_workbooks.get(), QStringLiteral("Workbooks.Open(%1)").arg(quoted(path)),
        [&path](AutomationObject &o) {
            return o.callMethod(QStringLiteral("Open"), { path });
        }).object;
    m_worksheet = invoke(
        m_workbook.get(), QStringLiteral("Worksheets(%1)").arg(quoted(kSheet)), [](AutomationObject &o) {
            return o.getProperty(QStringLiteral("Worksheets"), { kSheet });
        }).object;

    const bool ok = m_failures == 0;
    finish(QStringLiteral("Excel aberto: ") + path, false);
    return done(ok);
}

bool ExcelWorkbook::update(const QString &folder, const QString &systemIdentifier)
{
    if (m_busy) {
        qCInfo(lcExcel) << "Excel busy: update skipped";
        return false;
    }
    if (!m_open)
        return true;
    m_busy = true;
    m_failures = 0;

    const struct {
        const char *cell;
        QString value;
    } cells[] = { { "C7", folder }, { "C8", todayDataFileName(systemIdentifier) } };
    for (const auto &c : cells) {
        const QString cell = QString::fromLatin1(c.cell);
        // The range object is kept until the next one replaces it.
        m_range = invoke(
            m_worksheet.get(), QStringLiteral("Range(%1)").arg(quoted(cell)), [&cell](AutomationObject &o) {
                return o.getProperty(QStringLiteral("Range"), { cell });
            }).object;
        invoke(m_range.get(), QStringLiteral("Range(%1).Value = %2").arg(quoted(cell), quoted(c.value)),
            [&c](AutomationObject &o) { return o.setProperty(QStringLiteral("Value"), c.value); });
    }
    for (const QString &macro : macros()) {
        const AutomationResult run = m_application->callMethod(QStringLiteral("Run"), { macro });
        if (!run.ok)
            reportMacro(macro, run.error);
    }

    const bool ok = m_failures == 0;
    finish(ok ? QStringLiteral("Excel actualizado") : QStringLiteral("Excel actualizado con erros"), true);
    return done(ok);
}

bool ExcelWorkbook::close()
{
    if (m_busy) {
        qCInfo(lcExcel) << "Excel busy: closing once the running call ends";
        m_pending = Pending::Close;
        return false;
    }
    if (!m_open)
        return true;
    m_busy = true;
    m_failures = 0;

    invoke(m_workbook.get(), QStringLiteral("Save"),
        [](AutomationObject &o) { return o.callMethod(QStringLiteral("Save")); });
    invoke(m_application.get(), QStringLiteral("Quit"),
        [](AutomationObject &o) { return o.callMethod(QStringLiteral("Quit")); });
    releaseAll();
    m_open = false;

    const bool ok = m_failures == 0;
    finish(QStringLiteral("Excel pechado"), true);
    return done(ok);
}

void ExcelWorkbook::abandon()
{
    if (!m_busy)
        return;
    qCWarning(lcExcel) << "Excel: giving up the running call; ending the application unsaved";
    if (m_application)
        m_application->terminate();
    else
        m_server->terminate(); // still starting
}

void ExcelWorkbook::releaseAll()
{
    // Innermost first, the application last.
    m_range.reset();
    m_worksheet.reset();
    m_workbook.reset();
    m_workbooks.reset();
    m_application.reset();
}

} // namespace orvalla
