#include "excel/recording_automation.h"

namespace orvalla
{

struct RecordingAutomation::State {
    QStringList calls;
    QStringList failing;
    int nextNumber = 1;
    int applications = 0;

    // Records the line; answers whether the call is to fail.
    bool record(QString line)
    {
        bool fail = false;
        for (const QString &prefix : std::as_const(failing)) {
            if (line.startsWith(prefix)) {
                fail = true;
                break;
            }
        }
        if (fail)
            line += QStringLiteral(" !failed");
        calls.append(line);
        return fail;
    }
};

namespace
{

QString show(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        return QStringLiteral("null");
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::QString:
        return QLatin1Char('"') + value.toString() + QLatin1Char('"');
    default:
        return value.toString();
    }
}

QString showArgs(const QVariantList &args)
{
    QStringList shown;
    for (const QVariant &a : args)
        shown.append(show(a));
    return shown.join(QStringLiteral(", "));
}

class RecordedObject final : public AutomationObject
{
public:
    RecordedObject(std::shared_ptr<RecordingAutomation::State> state)
        : m_state(std::move(state))
        , m_number(m_state->nextNumber++)
    {
    }
    ~RecordedObject() override { m_state->calls.append(QStringLiteral("release #%1").arg(m_number)); }

    QString name() const { return QStringLiteral("#%1").arg(m_number); }

    AutomationResult getProperty(const QString &property, const QVariantList &args) override
    {
        QString line = name() + QStringLiteral(" get ") + property;
        if (!args.isEmpty())
            line += QLatin1Char('(') + showArgs(args) + QLatin1Char(')');
        return answerWithObject(line);
    }

    AutomationResult setProperty(const QString &property, const QVariant &value) override
    {
        if (m_state->record(
                name() + QStringLiteral(" set ") + property + QStringLiteral(" = ") + show(value)))
            return AutomationResult::failure(QStringLiteral("recorded failure"));
        return AutomationResult::success();
    }

    AutomationResult callMethod(const QString &method, const QStringList &args) override
    {
        QVariantList list;
        for (const QString &a : args)
            list.append(a);
        const QString line = name() + QStringLiteral(" call ") + method + QLatin1Char('(') + showArgs(list)
            + QLatin1Char(')');
        if (method == QLatin1String("Open"))
            return answerWithObject(line);
        if (m_state->record(line))
            return AutomationResult::failure(QStringLiteral("recorded failure"));
        return AutomationResult::success();
    }

private:
    AutomationResult answerWithObject(const QString &line)
    {
        // The number is given before the line is recorded so that the line can
        // name it; a failed call gives no object.
        const int number = m_state->nextNumber;
        if (m_state->record(line + QStringLiteral(" -> #%1").arg(number)))
            return AutomationResult::failure(QStringLiteral("recorded failure"));
        return AutomationResult::success(std::make_shared<RecordedObject>(m_state));
    }

    std::shared_ptr<RecordingAutomation::State> m_state;
    int m_number;
};

} // namespace

RecordingAutomation::RecordingAutomation()
    : m_state(std::make_shared<State>())
{
}

AutomationResult RecordingAutomation::createObject(const QString &programId)
{
    const int number = m_state->nextNumber;
    if (m_state->record(QStringLiteral("create %1 -> #%2").arg(programId).arg(number)))
        return AutomationResult::failure(QStringLiteral("recorded failure"));
    ++m_state->applications;
    return AutomationResult::success(std::make_shared<RecordedObject>(m_state));
}

QStringList RecordingAutomation::calls() const
{
    return m_state->calls;
}

void RecordingAutomation::clearCalls()
{
    m_state->calls.clear();
}

int RecordingAutomation::createdApplications() const
{
    return m_state->applications;
}

void RecordingAutomation::failCallsStartingWith(const QStringList &prefixes)
{
    m_state->failing = prefixes;
    m_state->failing.removeAll(QString());
}

} // namespace orvalla
