#include "excel/office/office_automation.h"

#include "common/log.h"
#include "office_bridge_script.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <sys/types.h>

namespace orvalla
{

namespace
{

QString findPython()
{
    // The office's UNO module is installed for the system interpreter; a
    // python3 earlier on PATH (a virtual environment...) may lack it.
    const QString system
        = QStandardPaths::findExecutable(QStringLiteral("python3"), { QStringLiteral("/usr/bin") });
    if (!system.isEmpty())
        return system;
    return QStandardPaths::findExecutable(QStringLiteral("python3"));
}

} // namespace

// One bridge process and the office it started.
class OfficeBridge
{
public:
    OfficeBridge(int callTimeoutMs)
        : m_callTimeoutMs(callTimeoutMs)
    {
        QObject::connect(
            &m_process, &QProcess::readyReadStandardOutput, &m_process, [this] { readAnswers(); });
        QObject::connect(
            &m_process, &QProcess::readyReadStandardError, &m_process, [this] { readDiagnostics(); });
    }

    ~OfficeBridge()
    {
        if (m_process.state() != QProcess::NotRunning) {
            // End of input tells the bridge to end its office and leave.
            m_process.closeWriteChannel();
            if (!m_process.waitForFinished(10000)) {
                // Busy (a call that does not end, an office still starting):
                // SIGTERM makes it end its office on the way out.
                qCWarning(lcExcel) << "office bridge did not end; terminating it";
                m_process.terminate();
                if (!m_process.waitForFinished(5000)) {
                    m_process.kill();
                    m_process.waitForFinished(2000);
                }
            }
        }
        const bool clean = m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
        if (!clean && m_officeGroup > 0 && ::kill(-static_cast<pid_t>(m_officeGroup), 0) == 0) {
            qCWarning(lcExcel) << "killing office process group" << m_officeGroup;
            ::kill(-static_cast<pid_t>(m_officeGroup), SIGKILL);
        }
    }

    bool start(QString *error)
    {
        if (!m_dir.isValid()) {
            *error = QStringLiteral("cannot make a temporary folder: ") + m_dir.errorString();
            return false;
        }
        const QString script = m_dir.filePath(QStringLiteral("office_bridge.py"));
        QFile file(script);
        if (!file.open(QIODevice::WriteOnly) || file.write(kOfficeBridgeScript) < 0) {
            *error = QStringLiteral("cannot write %1: %2").arg(script, file.errorString());
            return false;
        }
        file.close();
        QDir(m_dir.path()).mkdir(QStringLiteral("profile"));

        m_process.setProgram(findPython());
        m_process.setArguments({ QStringLiteral("-u"), script });
        // A session of its own: a Ctrl-C meant for the console's terminal must
        // not kill the office before the console has saved the workbook.
        m_process.setChildProcessModifier([] { ::setsid(); });
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            *error = QStringLiteral("cannot start the office bridge: ") + m_process.errorString();
            return false;
        }
        return true;
    }

    QString profileUrl() const
    {
        return QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("profile"))).toString();
    }

    // Sends one request and waits for its answer, at most timeoutMs.
    bool request(QJsonObject request, int timeoutMs, QJsonObject *answer, QString *error)
    {
        if (timeoutMs <= 0)
            timeoutMs = m_callTimeoutMs;
        if (m_process.state() != QProcess::Running) {
            *error = endedText();
            return false;
        }
        const qint64 id = ++m_nextId;
        request.insert(QStringLiteral("id"), id);
        m_process.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');

        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&m_process, &QProcess::finished, &loop, &QEventLoop::quit);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &loop, [&] {
            if (m_answers.contains(id))
                loop.quit();
        });
        timer.start(timeoutMs);
        if (!m_answers.contains(id) && m_process.state() == QProcess::Running)
            loop.exec();
        readAnswers(); // a last answer may sit unread beside the end of the process

        if (!m_answers.contains(id)) {
            m_abandoned.insert(id);
            // The timer still running means the wait ended because the bridge did.
            *error = m_process.state() == QProcess::Running && !timer.isActive()
                ? QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000)
                : endedText();
            return false;
        }
        *answer = m_answers.take(id);
        if (!answer->value(QStringLiteral("ok")).toBool()) {
            *error = answer->value(QStringLiteral("error")).toString();
            return false;
        }
        return true;
    }

    // Sends a request whose answer nobody waits for.
    void post(QJsonObject request)
    {
        if (m_process.state() != QProcess::Running)
            return;
        const qint64 id = ++m_nextId;
        m_abandoned.insert(id);
        request.insert(QStringLiteral("id"), id);
        m_process.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    }

    // Ends the office and the bridge now: a call waiting on them returns. The
    // bridge ends an office that is still starting on its way out.
    void terminate()
    {
        if (m_officeGroup > 0)
            ::kill(-static_cast<pid_t>(m_officeGroup), SIGKILL);
        if (m_process.state() != QProcess::NotRunning)
            ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
    }

    void setOfficeGroup(qint64 group) { m_officeGroup = group; }
    qint64 officeGroup() const { return m_officeGroup; }

private:
    void readAnswers()
    {
        m_output += m_process.readAllStandardOutput();
        qsizetype end;
        while ((end = m_output.indexOf('\n')) >= 0) {
            const QByteArray line = m_output.left(end);
            m_output.remove(0, end + 1);
            const QJsonObject answer = QJsonDocument::fromJson(line).object();
            const qint64 id = answer.value(QStringLiteral("id")).toInteger(-1);
            if (id < 0) {
                qCWarning(lcExcel) << "office bridge: unreadable answer" << line.left(200);
                continue;
            }
            if (!m_abandoned.remove(id))
                m_answers.insert(id, answer);
        }
    }

    void readDiagnostics()
    {
        m_errors += m_process.readAllStandardError();
        qsizetype end;
        while ((end = m_errors.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_errors.left(end)).trimmed();
            m_errors.remove(0, end + 1);
            if (line.isEmpty())
                continue;
            qCInfo(lcExcel).noquote() << "office bridge:" << line;
            m_lastDiagnostic = line;
        }
    }

    QString endedText()
    {
        readDiagnostics();
        QString text = QStringLiteral("the office bridge is not running");
        if (!m_lastDiagnostic.isEmpty())
            text += QStringLiteral(" (") + m_lastDiagnostic + QLatin1Char(')');
        return text;
    }

    QProcess m_process;
    QTemporaryDir m_dir { QDir::tempPath() + QStringLiteral("/orvalla-office-XXXXXX") };
    int m_callTimeoutMs;
    qint64 m_nextId = 0;
    qint64 m_officeGroup = -1;
    QByteArray m_output, m_errors;
    QString m_lastDiagnostic;
    QHash<qint64, QJsonObject> m_answers;
    QSet<qint64> m_abandoned;
};

namespace
{

class OfficeObject final : public AutomationObject
{
public:
    OfficeObject(std::shared_ptr<OfficeBridge> bridge, qint64 handle)
        : m_bridge(std::move(bridge))
        , m_handle(handle)
    {
    }
    ~OfficeObject() override
    {
        m_bridge->post(QJsonObject {
            { QStringLiteral("op"), QStringLiteral("release") }, { QStringLiteral("obj"), m_handle } });
    }

    AutomationResult getProperty(const QString &name, const QVariantList &args) override
    {
        return send(QStringLiteral("get"), name, QJsonArray::fromVariantList(args));
    }

    AutomationResult setProperty(const QString &name, const QVariant &value) override
    {
        QJsonObject request { { QStringLiteral("op"), QStringLiteral("set") },
            { QStringLiteral("obj"), m_handle }, { QStringLiteral("name"), name },
            { QStringLiteral("value"), QJsonValue::fromVariant(value) } };
        return answer(request);
    }

    AutomationResult callMethod(const QString &name, const QStringList &args) override
    {
        return send(QStringLiteral("call"), name, QJsonArray::fromStringList(args));
    }

    void terminate() override { m_bridge->terminate(); }

    const OfficeBridge &bridge() const { return *m_bridge; }

private:
    AutomationResult send(const QString &op, const QString &name, const QJsonArray &args)
    {
        return answer(QJsonObject { { QStringLiteral("op"), op }, { QStringLiteral("obj"), m_handle },
            { QStringLiteral("name"), name }, { QStringLiteral("args"), args } });
    }

    AutomationResult answer(const QJsonObject &request)
    {
        // Holding the bridge here keeps it alive for the whole wait.
        const std::shared_ptr<OfficeBridge> bridge = m_bridge;
        QJsonObject reply;
        QString error;
        if (!bridge->request(request, 0, &reply, &error))
            return AutomationResult::failure(error);
        if (reply.contains(QStringLiteral("object")))
            return AutomationResult::success(
                std::make_shared<OfficeObject>(bridge, reply.value(QStringLiteral("object")).toInteger()));
        return AutomationResult::success(reply.value(QStringLiteral("value")).toVariant());
    }

    std::shared_ptr<OfficeBridge> m_bridge;
    qint64 m_handle;
};

std::atomic<int> pipeCounter { 0 };

} // namespace

bool OfficeAutomation::available(QString *why)
{
    QString reason;
    if (QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty())
        reason = QStringLiteral("LibreOffice is not installed (no soffice on PATH)");
    else if (findPython().isEmpty())
        reason = QStringLiteral("python3 is not installed");
    if (why)
        *why = reason;
    return reason.isEmpty();
}

void OfficeAutomation::terminate()
{
    if (const auto bridge = m_starting.lock())
        bridge->terminate();
}

void OfficeAutomation::setTimeouts(int startMs, int callMs)
{
    m_startTimeoutMs = startMs;
    m_callTimeoutMs = callMs;
}

qint64 OfficeAutomation::officeProcessGroup(const AutomationObject *application)
{
    const auto *object = dynamic_cast<const OfficeObject *>(application);
    return object ? object->bridge().officeGroup() : -1;
}

AutomationResult OfficeAutomation::createObject(const QString &programId)
{
    QString error;
    if (!available(&error))
        return AutomationResult::failure(error);

    auto bridge = std::make_shared<OfficeBridge>(m_callTimeoutMs);
    if (!bridge->start(&error))
        return AutomationResult::failure(error);
    m_starting = bridge;

    const QString pipe
        = QStringLiteral("orvalla-%1-%2").arg(QCoreApplication::applicationPid()).arg(++pipeCounter);
    QJsonObject reply;
    const QJsonObject request { { QStringLiteral("op"), QStringLiteral("create") },
        { QStringLiteral("progid"), programId }, { QStringLiteral("profile"), bridge->profileUrl() },
        { QStringLiteral("pipe"), pipe }, { QStringLiteral("timeout"), m_startTimeoutMs / 1000 } };
    // The bridge gives up on its own at the start time-out; a little more here
    // lets its answer say why.
    const bool started = bridge->request(request, m_startTimeoutMs + 15000, &reply, &error);
    m_starting.reset();
    if (!started)
        return AutomationResult::failure(error);
    bridge->setOfficeGroup(reply.value(QStringLiteral("pid")).toInteger(-1));
    qCInfo(lcExcel) << "office started, process group" << bridge->officeGroup();
    return AutomationResult::success(
        std::make_shared<OfficeObject>(bridge, reply.value(QStringLiteral("object")).toInteger()));
}

} // namespace orvalla
