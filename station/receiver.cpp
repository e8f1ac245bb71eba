#include "station/receiver.h"

#include <cstdio>
#include <cstring>
#include <locale.h>

namespace orvalla
{

namespace
{

locale_t cLocale()
{
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

} // namespace

int parseFrameFields(const char *text, FrameFields &fields)
{
    // The C scan itself gives the frame format its exact meaning (white space,
    // digit count, case); the C locale keeps white space independent of the
    // operator's settings.
    unsigned int v[22] = {};
    const locale_t previous = uselocale(cLocale());
    const int n = std::sscanf(text,
        "%04X %04X %04X %04X %04X %04X %04X %04X %04X %04X %04X "
        "%04X %04X %04X %04X %04X %04X %04X %04X %04X %04X %04X\n\r",
        &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12], &v[13],
        &v[14], &v[15], &v[16], &v[17], &v[18], &v[19], &v[20], &v[21]);
    uselocale(previous);
    const int converted = n < 0 ? 0 : n;
    for (int i = 0; i < converted; ++i)
        fields[std::size_t(i)] = static_cast<std::int32_t>(v[i]);
    return converted;
}

bool framePairsEqual(const FrameFields &fields)
{
    for (std::size_t k = 0; k < fields.size(); k += 2) {
        if (fields[k] != fields[k + 1])
            return false;
    }
    return true;
}

FrameReceiver::FrameReceiver()
    : m_buffer(new char[kBufferSize]())
{
}

void FrameReceiver::reset()
{
    m_writePosition = 0;
    m_buffer[0] = 0;
}

void FrameReceiver::append(const char *bytes, qsizetype count)
{
    char *buffer = m_buffer.get();
    for (qsizetype i = 0; i < count; ++i) {
        // The scan reads the buffer as zero-terminated text: a zero byte after a
        // marker would hide every later byte until the buffer wraps.
        if (bytes[i] == 0)
            continue;
        buffer[m_writePosition] = bytes[i];
        if (++m_writePosition == kBufferSize)
            m_writePosition = 0;
    }
    buffer[m_writePosition] = 0;
}

FrameReceiver::Result FrameReceiver::scan(FrameFields &fields)
{
    const char *text = m_buffer.get();
    // The first marker after the first "#" is the first marker of the text, and
    // when none follows the first "#" none follows any later one: one search
    // gives the walk over every "#" its outcome without going over the text again
    // for each of them.
    const char *hash = std::strchr(text, '#');
    const char *marker = hash ? std::strstr(hash, "#%#%") : nullptr;
    if (!marker) {
        reset();
        return Result::NoFrame;
    }
    if (qsizetype(strnlen(marker, std::size_t(kFrameLength))) < kFrameLength)
        return Result::Incomplete;

    FrameFields parsed {};
    const bool accepted = parseFrameFields(marker + 5, parsed) == 22 && framePairsEqual(parsed);
    reset();
    if (!accepted)
        return Result::Rejected;
    fields = parsed;
    return Result::Accepted;
}

FrameReceiver::Result FrameReceiver::receive(const char *bytes, qsizetype count, FrameFields &fields)
{
    append(bytes, count);
    return scan(fields);
}

} // namespace orvalla
