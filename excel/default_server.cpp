#include "excel/automation.h"

#ifdef ORVALLA_EXCEL_BACKEND
#include "excel/office/office_automation.h"
#endif

namespace orvalla
{

namespace
{

// Stands in for the office back end when the build leaves it out.
class UnavailableAutomation final : public AutomationServer
{
public:
    AutomationResult createObject(const QString &) override
    {
        return AutomationResult::failure(QStringLiteral("this build has no spreadsheet back end"));
    }
};

} // namespace

std::shared_ptr<AutomationServer> defaultAutomationServer()
{
#ifdef ORVALLA_EXCEL_BACKEND
    return std::make_shared<OfficeAutomation>();
#else
    return std::make_shared<UnavailableAutomation>();
#endif
}

} // namespace orvalla
