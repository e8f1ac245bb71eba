#pragma once

#include <QApplication>

namespace orvalla
{

class MessageSink;

// The application object. An exception that escapes an event handler is
// logged and shown in an error dialog; the program keeps running.
class OrvallaApplication : public QApplication
{
public:
    OrvallaApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;

    // Where escaped exceptions are shown; by default a message box.
    void setMessageSink(MessageSink *sink) { m_sink = sink; }
    // Shows and logs an exception text (also used for one escaping main()).
    void reportException(const QString &what);

private:
    MessageSink *m_sink = nullptr;
    bool m_reporting = false;
};

// Picks the offscreen platform when no display is there. Call before the
// application object is built. Returns true when it did.
bool chooseOffscreenWithoutDisplay();

} // namespace orvalla
