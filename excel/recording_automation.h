#pragma once

#include "excel/automation.h"

#include <QStringList>

#include <memory>

namespace orvalla
{

// An automation server that does nothing but write down every call, for tests
// of what the console sends and for running the console without an office.
//
// Objects are numbered in creation order (#1 is the first created object).
// One line per call:
//   create Excel.Application -> #1
//   #1 set Visible = true
//   #1 get Workbooks -> #2
//   #2 call Open("c:/d/datos.xls") -> #3
//   #3 get Worksheets("Hoja1") -> #4
//   #1 call Run("datos.xls!CargaDatos")
//   release #5
// Every property get, and a call of "Open", answers with a new object; other
// calls answer with no value.
class RecordingAutomation final : public AutomationServer
{
public:
    RecordingAutomation();

    AutomationResult createObject(const QString &programId) override;

    QStringList calls() const;
    void clearCalls();
    // Number of "create" lines so far.
    int createdApplications() const;
    // Every later call whose line starts with the given text fails (the line
    // is still recorded, with " !failed" appended). Empty text: fail nothing.
    void failCallsStartingWith(const QStringList &prefixes);

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace orvalla
