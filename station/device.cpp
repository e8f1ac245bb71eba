#include "station/device.h"

#include "common/log.h"

#include <QSerialPortInfo>

namespace orvalla
{

namespace
{

constexpr quint16 kVendorId = 0x0403;

} // namespace

StationDevice::StationDevice()
{
    QObject::connect(&m_port, &QSerialPort::errorOccurred, &m_port, [this](QSerialPort::SerialPortError e) {
        // A vanished adapter (or a hung-up pseudo-terminal) keeps signalling that
        // it can be read; closing stops that, and the operator can open again.
        if (e == QSerialPort::ResourceError && m_port.isOpen()) {
            qCWarning(lcStation) << "device" << m_location << "lost:" << m_port.errorString();
            m_port.close();
        }
    });
}

QStringList StationDevice::listDevices()
{
    QStringList devices;
    const QString named = qEnvironmentVariable("ORVALLA_SERIAL_PORT");
    if (!named.isEmpty())
        devices.append(named);
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.hasVendorIdentifier() && port.vendorIdentifier() == kVendorId
            && !devices.contains(port.systemLocation()))
            devices.append(port.systemLocation());
    }
    return devices;
}

bool StationDevice::open(QString *error)
{
    close();
    const auto fail = [&](const QString &why) {
        if (m_port.isOpen())
            m_port.close();
        m_location.clear();
        if (error)
            *error = why;
        return false;
    };

    const QStringList devices = listDevices();
    if (devices.isEmpty())
        return fail(QStringLiteral("no USB-serial adapter of vendor 0403 found"));
    const QString location = devices.first();
    m_port.setPortName(location);
    if (!m_port.open(QIODevice::ReadWrite))
        return fail(location + QStringLiteral(": ") + m_port.errorString());
    if (!m_port.setBaudRate(kBaudRate) || !m_port.setDataBits(QSerialPort::Data8)
        || !m_port.setParity(QSerialPort::NoParity) || !m_port.setStopBits(QSerialPort::OneStop)
        || !m_port.setFlowControl(QSerialPort::NoFlowControl))
        return fail(location + QStringLiteral(": cannot set 2400 8N1: ") + m_port.errorString());
    m_location = location;
    return true;
}

void StationDevice::close()
{
    if (m_port.isOpen())
        m_port.close();
    m_location.clear();
}

qint64 StationDevice::read(char *buffer, qint64 maxSize)
{
    if (!m_port.isOpen() || maxSize <= 0)
        return 0;
    // The event loop has normally drained the device into the port's buffer
    // between ticks; if not, one look at the system without waiting.
    if (m_port.bytesAvailable() == 0 && !m_port.waitForReadyRead(0)) {
        if (m_port.error() == QSerialPort::TimeoutError)
            m_port.clearError();
        if (!m_port.isOpen())
            return 0;
    }
    const qint64 n = m_port.read(buffer, maxSize);
    return n < 0 ? 0 : n;
}

} // namespace orvalla
