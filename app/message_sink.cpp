#include "app/message_sink.h"

#include "common/log.h"

#include <QApplication>
#include <QMessageBox>

namespace orvalla
{

void MessageBoxSink::message(const QString &text)
{
    qCInfo(lcApp, "message to the operator: %s", qUtf8Printable(text));
    QMessageBox::information(m_parent, QApplication::applicationName(), text, QMessageBox::Ok);
}

void MessageBoxSink::error(const QString &text)
{
    QMessageBox::critical(m_parent, QApplication::applicationName(), text, QMessageBox::Ok);
}

void LogMessageSink::message(const QString &text)
{
    qCWarning(lcApp, "message to the operator (no screen to show it on): %s", qUtf8Printable(text));
}

void LogMessageSink::error(const QString &text)
{
    qCCritical(lcApp, "error for the operator (no screen to show it on): %s", qUtf8Printable(text));
}

} // namespace orvalla
