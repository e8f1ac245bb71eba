#pragma once

#include <QByteArrayView>

#include <array>
#include <cstdint>
#include <memory>

namespace orvalla
{

// The 22 fields of one station frame, in frame order: eleven raw values, each sent twice.
using FrameFields = std::array<std::int32_t, 22>;

// Layout of a frame on the wire; its length is the smallest text that can hold one.
inline constexpr char kFrameTemplate[] = "#%#% 1111 1111 2222 2222 3333 3333 4444 4444 5555 5555 6666 6666 "
                                         "7777 7777 8888 8888 9999 9999 AAAA AAAA BBBB BBBB\n\r";
inline constexpr qsizetype kFrameLength = sizeof(kFrameTemplate) - 1;
static_assert(kFrameLength == 116);

// Converts the fields that follow "#%#% " with the frame's scan format
// ("%04X %04X ... %04X\n\r": white space skipped, one to four hex digits of either
// case). Returns how many fields were converted (0..22); only those are written.
int parseFrameFields(const char *text, FrameFields &fields);

// Every raw value arrived twice with the same value.
bool framePairsEqual(const FrameFields &fields);

// Accumulates the bytes the device delivers and finds the first station frame in
// them. Its buffer is allocated once; a poll never allocates.
class FrameReceiver
{
public:
    static constexpr qsizetype kBufferSize = 500000;

    enum class Result {
        NoFrame, // no marker in the text: buffer discarded
        Incomplete, // marker found, fewer than 116 bytes behind it: buffer kept
        Rejected, // frame failed the field count or pair test: buffer discarded
        Accepted, // fields hold the frame: buffer discarded
    };

    FrameReceiver();
    FrameReceiver(const FrameReceiver &) = delete;
    FrameReceiver &operator=(const FrameReceiver &) = delete;

    // One device read: appends the bytes and scans. fields is written only when
    // the result is Accepted.
    Result receive(const char *bytes, qsizetype count, FrameFields &fields);

    // The two halves of receive().
    void append(const char *bytes, qsizetype count);
    Result scan(FrameFields &fields);

    // Forgets the buffered text (device opened, simulated start).
    void reset();

    qsizetype writePosition() const { return m_writePosition; }
    // The buffered text: from the start of the buffer to its first zero byte.
    QByteArrayView text() const { return QByteArrayView(m_buffer.get()); }

private:
    std::unique_ptr<char[]> m_buffer;
    qsizetype m_writePosition = 0;
};

} // namespace orvalla
