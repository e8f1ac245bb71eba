#pragma once

// The working folder of a window under test: a fresh temporary folder made
// current, and a serial device path where nothing answers, whatever is plugged
// into the machine. The previous current folder comes back on destruction.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace orvalla::testsupport
{

class WindowFolder
{
public:
    WindowFolder()
        : m_previous(QDir::currentPath())
    {
        m_current = m_dir.isValid() && QDir::setCurrent(m_dir.path());
        qputenv("ORVALLA_SERIAL_PORT", QFile::encodeName(m_dir.filePath(QStringLiteral("no-such-device"))));
    }
    ~WindowFolder() { QDir::setCurrent(m_previous); }
    WindowFolder(const WindowFolder &) = delete;
    WindowFolder &operator=(const WindowFolder &) = delete;

    // Made and current.
    bool isValid() const { return m_current; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
    bool m_current = false;
};

} // namespace orvalla::testsupport
