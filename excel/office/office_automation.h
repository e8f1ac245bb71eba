#pragma once

#include "excel/automation.h"

#include <memory>

namespace orvalla
{

class OfficeBridge;

// "Excel.Application" served by a headless LibreOffice Calc.
//
// Each application object is one bridge process (python3 with the office's
// UNO module, running the script embedded in this library) that starts its own
// office with a private temporary profile and answers one JSON line for each
// request line. The console waits for an answer in a nested event loop, so
// timers and sockets go on meanwhile, and gives up after a bounded time.
// Releasing the application ends the bridge and its office.
class OfficeAutomation final : public AutomationServer
{
public:
    AutomationResult createObject(const QString &programId) override;
    void terminate() override;

    // How long to wait for the office to start, and for any one call
    // (macros included), in milliseconds.
    void setTimeouts(int startMs, int callMs);

    // Whether soffice and a python3 can be found; if not, why.
    static bool available(QString *why = nullptr);
    // The process group of the office behind an application object made by
    // this back end, or -1.
    static qint64 officeProcessGroup(const AutomationObject *application);

private:
    // The bridge whose office is starting, while createObject() waits.
    std::weak_ptr<OfficeBridge> m_starting;
    int m_startTimeoutMs = 120000;
    int m_callTimeoutMs = 300000;
};

} // namespace orvalla
