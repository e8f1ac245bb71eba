#include "webcam/graphconfig.h"

namespace orvalla
{

QString GetModeString(const VideoMode &mode)
{
    if (mode.isNull())
        return QString();
    QString text = QStringLiteral("%1x%2").arg(mode.width).arg(mode.height);
    if (!mode.pixelFormat.isEmpty())
        text += QLatin1Char(' ') + mode.pixelFormat;
    if (mode.maxFrameRate > 0) {
        if (mode.minFrameRate > 0 && mode.minFrameRate < mode.maxFrameRate)
            text += QStringLiteral(" %1-%2 fps")
                        .arg(double(mode.minFrameRate), 0, 'g', 4)
                        .arg(double(mode.maxFrameRate), 0, 'g', 4);
        else
            text += QStringLiteral(" %1 fps").arg(double(mode.maxFrameRate), 0, 'g', 4);
    }
    return text;
}

QString GetModeString(const AudioMode &mode)
{
    if (mode.isNull())
        return QString();
    QString text = QStringLiteral("%1 Hz").arg(mode.sampleRate);
    if (mode.channels == 1)
        text += QStringLiteral(" mono");
    else if (mode.channels == 2)
        text += QStringLiteral(" stereo");
    else if (mode.channels > 0)
        text += QStringLiteral(" %1 ch").arg(mode.channels);
    if (!mode.sampleFormat.isEmpty())
        text += QLatin1Char(' ') + mode.sampleFormat;
    return text;
}

bool IsEqualModes(const VideoMode &a, const VideoMode &b)
{
    return a == b;
}

bool IsEqualModes(const AudioMode &a, const AudioMode &b)
{
    return a == b;
}

} // namespace orvalla
