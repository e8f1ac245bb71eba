#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace orvalla
{

// Where the window's modal messages go. The console shows message boxes; a
// test records the texts instead, so no test ever waits on a dialog.
class MessageSink
{
public:
    virtual ~MessageSink() = default;
    // An information message with an OK button.
    virtual void message(const QString &text) = 0;
    // An error report (an exception that escaped a handler).
    virtual void error(const QString &text) = 0;
};

// Modal message boxes; their nested event loop keeps the timers running.
class MessageBoxSink final : public MessageSink
{
public:
    explicit MessageBoxSink(QWidget *parent = nullptr)
        : m_parent(parent)
    {
    }
    void setParent(QWidget *parent) { m_parent = parent; }
    void message(const QString &text) override;
    void error(const QString &text) override;

private:
    QWidget *m_parent;
};

// Without a screen (the offscreen platform, as under the service) nobody could
// close a message box, and each one would nest another event loop; the texts
// go to the log instead.
class LogMessageSink final : public MessageSink
{
public:
    void message(const QString &text) override;
    void error(const QString &text) override;
};

// Keeps the texts, for tests.
class RecordingMessageSink final : public MessageSink
{
public:
    void message(const QString &text) override { messages.append(text); }
    void error(const QString &text) override { errors.append(text); }
    QStringList messages;
    QStringList errors;
};

} // namespace orvalla
