// The frame receiver fed as a stream of device reads. The input is a list of
// reads: one length byte, then that many bytes (the last read takes what is left).
#include "station/decoder.h"
#include "station/receiver.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace orvalla;

namespace
{

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "receiver invariant broken: %s\n", what);
        std::abort();
    }
}

void checkState(const FrameReceiver &receiver)
{
    const qsizetype wp = receiver.writePosition();
    check(wp >= 0 && wp < FrameReceiver::kBufferSize, "write position out of range");
    // Zero bytes are never stored, so the text runs exactly to the write position.
    check(receiver.text().size() == wp, "text not zero-terminated at the write position");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // One receiver for the whole run (its buffer is large); reset() forgets
    // the previous input as a device open does.
    static FrameReceiver receiver;
    receiver.reset();
    const Calibration calibration;
    const LocalTime clock { 2026, 12, 8, 14, 30, 5, 341, 2 };
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t want = data[pos++];
        const std::size_t count = want < size - pos ? want : size - pos;
        const char *bytes = reinterpret_cast<const char *>(data + pos);
        pos += count;

        FrameFields fields;
        fields.fill(-7); // untouched unless a frame is accepted
        const FrameReceiver::Result result = receiver.receive(bytes, qsizetype(count), fields);
        checkState(receiver);

        switch (result) {
        case FrameReceiver::Result::Incomplete: {
            const qsizetype marker = receiver.text().indexOf("#%#%");
            check(marker >= 0, "incomplete without a marker");
            check(receiver.text().size() - marker < kFrameLength,
                "incomplete with a whole frame behind the marker");
            break;
        }
        case FrameReceiver::Result::NoFrame:
        case FrameReceiver::Result::Rejected:
            check(receiver.writePosition() == 0, "buffer kept after a finished scan");
            for (std::int32_t f : fields)
                check(f == -7, "fields written without an accepted frame");
            break;
        case FrameReceiver::Result::Accepted: {
            check(receiver.writePosition() == 0, "buffer kept after an accepted frame");
            check(framePairsEqual(fields), "accepted frame with unequal pairs");
            RawValues raw;
            for (std::size_t i = 0; i < raw.size(); ++i) {
                check(fields[2 * i] >= 0 && fields[2 * i] <= 0xFFFF, "field beyond four hex digits");
                raw[i] = fields[2 * i];
            }
            // The accepted values survive the way back to the wire and in again.
            const QByteArray text = frameText(raw);
            check(text.size() == kFrameLength, "frame text of the wrong length");
            FrameFields again {};
            check(parseFrameFields(text.constData() + 5, again) == 22 && again == fields,
                "accepted frame does not survive its wire text");
            const Reading reading = decodeReading(fields, calibration, clock);
            check(!readingLine(reading).isEmpty(), "empty reading line");
            break;
        }
        }
    }
    return 0;
}
