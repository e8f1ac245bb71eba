#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include <memory>

namespace orvalla
{

class AutomationObject;

// The outcome of one late-bound call: a value, an object (Workbooks, a
// workbook, a sheet, a range...), or an error text.
struct AutomationResult {
    bool ok = false;
    QString error;
    QVariant value;
    std::shared_ptr<AutomationObject> object;

    static AutomationResult failure(const QString &error)
    {
        AutomationResult r;
        r.error = error;
        return r;
    }
    static AutomationResult success(const QVariant &value = {})
    {
        AutomationResult r;
        r.ok = true;
        r.value = value;
        return r;
    }
    static AutomationResult success(std::shared_ptr<AutomationObject> object)
    {
        AutomationResult r;
        r.ok = true;
        r.object = std::move(object);
        return r;
    }
};

// An object of an automation server, addressed by member names at run time.
// Dropping the last reference releases it.
class AutomationObject
{
public:
    virtual ~AutomationObject() = default;

    // Property get, with no argument or with one (Worksheets("Hoja1"), Range("C7")).
    virtual AutomationResult getProperty(const QString &name, const QVariantList &args = {}) = 0;
    virtual AutomationResult setProperty(const QString &name, const QVariant &value) = 0;
    virtual AutomationResult callMethod(const QString &name, const QStringList &args = {}) = 0;
    // Ends the server behind this object at once, where the back end can, so
    // that a call waiting on it returns failed: for giving up on a call that
    // does not end. Whatever the server had not saved is lost.
    virtual void terminate() { }
};

// Creates the top-level object of a server from its program identifier.
class AutomationServer
{
public:
    virtual ~AutomationServer() = default;
    virtual AutomationResult createObject(const QString &programId) = 0;
    // Ends at once, where the back end can, an application whose creation is
    // still under way, so that createObject() returns failed.
    virtual void terminate() { }
};

// The server this build provides for "Excel.Application": the office back end
// when it is built in, otherwise one whose every creation fails with a reason.
std::shared_ptr<AutomationServer> defaultAutomationServer();

} // namespace orvalla
