#include "webcam/videocapture.h"

#include <array>

namespace orvalla
{

QString TVideoCapture::DialogTitles(int kind)
{
    static constexpr std::array<const char *, DialogKindCount> titles = {
        "Video Format",
        "Video Source",
        "Video Display",
        "Video Capture Filter",
        "Video Crossbar",
        "TV Tuner",
        "Audio Capture Filter",
        "Audio Crossbar",
        "TV Audio",
        "Video Capture Pin",
        "Video Preview Pin",
        "Audio Capture Pin",
        "Video Compressor",
        "Audio Compressor",
    };
    if (kind < 0 || kind >= DialogKindCount)
        return QString();
    return QString::fromLatin1(titles[std::size_t(kind)]);
}

} // namespace orvalla
