#include "station/link.h"

#include "common/log.h"
#include "common/text.h"

#include <cstring>

namespace orvalla
{

StationLink::StationLink(QObject *parent)
    : QObject(parent)
    , m_readBuffer(new char[kReadRequest + 1]())
{
}

StationLink::~StationLink() = default;

bool StationLink::openDevice(QString *error)
{
    // Opening again must not leave the first handle behind. A failed open
    // leaves the reception active flag as it was before the attempt.
    const bool wasActive = m_receptionActive;
    closeDevice();
    QString why;
    if (!m_device.open(&why)) {
        m_receptionActive = wasActive;
        qCWarning(lcStation).noquote() << "device open failed:" << why;
        if (error)
            *error = why;
        return false;
    }
    m_receptionActive = true;
    m_receiver.reset();
    qCInfo(lcStation).noquote() << "device" << m_device.location() << "opened at 2400 8N1";
    return true;
}

void StationLink::closeDevice()
{
    if (!m_device.isOpen())
        return;
    m_receptionActive = false;
    qCInfo(lcStation).noquote() << "device" << m_device.location() << "closed";
    m_device.close();
}

void StationLink::startSimulated()
{
    m_receptionActive = true;
    m_receiver.reset();
}

void StationLink::poll(const LocalTime &clock, bool simulated, bool &minuteChanged)
{
    if (simulated) {
        if (!minuteChanged)
            return;
        minuteChanged = false;
        decode(simulatedFrame(clock.hour, clock.minute), clock);
        return;
    }

    m_readCount = 0;
    if (!m_device.isOpen())
        return;
    char *buffer = m_readBuffer.get();
    const qint64 n = m_device.read(buffer, kReadRequest);
    if (n <= 0)
        return;
    m_readCount = quint32(n);
    buffer[n] = 0;
    Q_EMIT rawDataReceived(
        m_readCount, fromCp1252(QByteArray::fromRawData(buffer, qsizetype(strnlen(buffer, std::size_t(n))))));

    FrameFields fields {};
    if (m_receiver.receive(buffer, n, fields) == FrameReceiver::Result::Accepted)
        decode(fields, clock);
}

void StationLink::decode(const FrameFields &fields, const LocalTime &clock)
{
    m_reading = decodeReading(fields, m_calibration, clock);
    const QByteArray line = readingLine(m_reading);
    qCInfo(lcStation).noquote() << "reading decoded:" << fromCp1252(line);
    Q_EMIT readingDecoded(m_reading, line);
}

} // namespace orvalla
