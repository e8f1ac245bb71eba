#pragma once

#include "excel/automation.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace orvalla
{

// The console's connection to its spreadsheet workbook: keeps the application
// open while "activar Excel" is ticked, writes the data file's place into
// Hoja1!C7:C8 and runs the workbook's three macros.
//
// Every automation call that fails is logged, reported through failed() and
// skipped; the sequence goes on with its next call. Calls wait inside a nested
// event loop (office back end), so a request that arrives while a sequence is
// running is not run inside it: an update is dropped, and the last open or
// close asked for is run as soon as the running sequence ends. idle() tells
// when nothing runs any more.
class ExcelWorkbook : public QObject
{
    Q_OBJECT

public:
    explicit ExcelWorkbook(
        std::shared_ptr<AutomationServer> server = defaultAutomationServer(), QObject *parent = nullptr);
    // Releases the objects without saving: the window closes the workbook
    // explicitly at shutdown.
    ~ExcelWorkbook() override;

    bool isOpen() const { return m_open; }
    bool isBusy() const { return m_busy; }

    // Starts the application and opens folder + fileName (joined as they are).
    // Nothing happens when already open. Returns false if any call failed; the
    // connection is open as soon as the application object exists.
    bool open(const QString &folder, const QString &fileName);
    // Hoja1!C7 = folder, Hoja1!C8 = today's data file name, then the three
    // macros. Nothing happens while closed.
    bool update(const QString &folder, const QString &systemIdentifier);
    // Saves the workbook, quits the application and releases it; the
    // connection ends closed whatever fails. Nothing happens while closed.
    bool close();
    // Gives up the running sequence: ends the application at once, so that the
    // call it waits on returns; unsaved changes of the workbook are lost.
    void abandon();

    // The text of the most recent failure, empty until one happens.
    QString lastError() const { return m_lastError; }
    // The application object while open (for diagnostics and tests).
    AutomationObject *application() const { return m_application.get(); }

    static QString workbookPath(const QString &folder, const QString &fileName);
    // "<id>_datos_hoxe.txt": today's copy of the daily data file.
    static QString todayDataFileName(const QString &systemIdentifier);
    static const QStringList &macros();

Q_SIGNALS:
    // One line for the Excel tab per failed call.
    void failed(const QString &message);
    // After each sequence: what it did, or how many calls failed.
    void statusChanged(const QString &status);
    void openChanged(bool open);
    // A sequence has ended and none runs or waits.
    void idle();

private:
    enum class Pending { None, Open, Close };
    bool runPending();
    bool done(bool ok);
    AutomationResult invoke(AutomationObject *target, const QString &what,
        const std::function<AutomationResult(AutomationObject &)> &call);
    void report(const QString &what, const QString &error);
    void reportMacro(const QString &macro, const QString &error);
    void finish(const QString &done, bool wasOpen);
    void releaseAll();

    std::shared_ptr<AutomationServer> m_server;
    bool m_open = false;
    bool m_busy = false;
    Pending m_pending = Pending::None;
    QString m_pendingFolder, m_pendingFileName;
    int m_failures = 0;
    QString m_lastError;
    std::shared_ptr<AutomationObject> m_application;
    std::shared_ptr<AutomationObject> m_workbooks;
    std::shared_ptr<AutomationObject> m_workbook;
    std::shared_ptr<AutomationObject> m_worksheet;
    std::shared_ptr<AutomationObject> m_range;
};

} // namespace orvalla
