#pragma once

#include "common/clock.h"
#include "station/decoder.h"
#include "station/device.h"
#include "station/reading.h"
#include "station/receiver.h"

#include <QObject>

#include <memory>

namespace orvalla
{

// The station link: device, receive buffer, decoder state and simulated
// reception. The clock tick calls poll() once a second while receptionActive().
class StationLink : public QObject
{
    Q_OBJECT

public:
    // Bytes asked of the device per poll.
    static constexpr qint64 kReadRequest = 500000;

    explicit StationLink(QObject *parent = nullptr);
    ~StationLink() override;

    // "abrir USB-FTDI" and start-up without simulated reception. An open device is
    // closed first. On success reception becomes active and the receive buffer
    // empty; on failure (*error says why; the operator is shown
    // kDeviceOpenFailedText) the reception active flag keeps its value.
    bool openDevice(QString *error = nullptr);
    // "pechar USB-FTDI": when a device is open, reception stops and it is closed.
    void closeDevice();
    // Start-up with "Recepción simulada" ticked: reception active, no device.
    void startSimulated();

    bool receptionActive() const { return m_receptionActive; }
    bool deviceOpen() const { return m_device.isOpen(); }
    StationDevice &device() { return m_device; }

    // One link poll. clock: the clock fields of the current tick. simulated: the
    // "Recepción simulada" box; then, only when minuteChanged is set, it is
    // cleared and a simulated reading made, and the device is never read.
    void poll(const LocalTime &clock, bool simulated, bool &minuteChanged);

    // Decodes one accepted frame into the current reading and announces it.
    void decode(const FrameFields &fields, const LocalTime &clock);

    const Reading &reading() const { return m_reading; }
    // Bytes delivered by the latest poll's read (0 when it read nothing).
    quint32 readCount() const { return m_readCount; }
    const Calibration &calibration() const { return m_calibration; }
    // New values apply from the next decoded frame.
    void setCalibration(const Calibration &calibration) { m_calibration = calibration; }
    FrameReceiver &receiver() { return m_receiver; }

Q_SIGNALS:
    // A non-empty read: its count (Edit_numchar) and its bytes up to the first
    // zero byte as text (Edit_serie).
    void rawDataReceived(quint32 count, const QString &text);
    // A decoded frame: the new current reading and its reading line
    // (Windows-1252 bytes). Receivers, in connection order: mail queue, daily
    // data file, screen fields (readingScreenTexts).
    void readingDecoded(const orvalla::Reading &reading, const QByteArray &line);

private:
    StationDevice m_device;
    FrameReceiver m_receiver;
    std::unique_ptr<char[]> m_readBuffer; // one read plus its terminating zero
    quint32 m_readCount = 0;
    bool m_receptionActive = false;
    Reading m_reading;
    Calibration m_calibration;
};

} // namespace orvalla
