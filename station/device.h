#pragma once

#include <QSerialPort>
#include <QString>
#include <QStringList>

namespace orvalla
{

// The message box text of a failed device open.
inline constexpr char kDeviceOpenFailedText[] = "Non se pode abrir o porto";

// The USB-serial link to the station's receiver, over the system's serial ports.
// Device 0 is the first adapter of the station's USB vendor (0x0403) in the
// order the system lists them; the environment variable ORVALLA_SERIAL_PORT, when
// set, names a device that goes before them (another adapter, or one end of a
// pseudo-terminal pair). No other port is ever opened.
class StationDevice
{
public:
    static constexpr int kBaudRate = 2400;

    StationDevice();
    StationDevice(const StationDevice &) = delete;
    StationDevice &operator=(const StationDevice &) = delete;

    // System locations of the candidate devices, device 0 first.
    static QStringList listDevices();

    // Opens device 0 at 2400 baud, 8N1, no flow control. An open device is closed
    // first. On failure *error says why and the device stays closed.
    bool open(QString *error = nullptr);
    // Closing a closed device does nothing.
    void close();
    bool isOpen() const { return m_port.isOpen(); }
    // System location of the open device.
    QString location() const { return m_location; }

    // Reads what has arrived, at most maxSize bytes, without waiting: the GUI
    // thread is never held. Returns the count delivered; 0 when nothing has
    // arrived, the device is closed or the read failed.
    qint64 read(char *buffer, qint64 maxSize);
    // Bytes already taken from the system into the port's buffer.
    qint64 bytesWaiting() const { return m_port.isOpen() ? m_port.bytesAvailable() : 0; }

private:
    QSerialPort m_port;
    QString m_location;
};

} // namespace orvalla
