#pragma once

#include <QByteArray>
#include <QString>

namespace orvalla
{

// One video capture mode of a camera: frame size, pixel format and frame rates.
struct VideoMode {
    int width = 0;
    int height = 0;
    QString pixelFormat;
    float minFrameRate = 0;
    float maxFrameRate = 0;

    bool isNull() const { return width == 0 && height == 0 && pixelFormat.isEmpty(); }
    bool operator==(const VideoMode &) const = default;
};

// One audio capture mode of a microphone.
struct AudioMode {
    int sampleRate = 0;
    int channels = 0;
    QString sampleFormat;

    bool isNull() const { return sampleRate == 0 && channels == 0 && sampleFormat.isEmpty(); }
    bool operator==(const AudioMode &) const = default;
};

// Text of a mode as the mode lists show it; an empty mode (device default) gives "".
QString GetModeString(const VideoMode &mode);
QString GetModeString(const AudioMode &mode);
bool IsEqualModes(const VideoMode &a, const VideoMode &b);
bool IsEqualModes(const AudioMode &a, const AudioMode &b);

// Items of the "DV Resolution" list, by index.
enum DVResolutionKind { dvrDontWorry = 0, dvrFull, dvrHalf, dvrQuater, dvrDC, dvrCount };

// Items of the "BitmapPixelFormat" list, by index.
enum BitmapPixelFormatKind {
    pfDevice = 0,
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,
    pf16bit,
    pf24bit,
    pf32bit,
    pfCustom,
    pfCount
};

// The capture settings of the capture control, under its property names.
// The defaults are those the control is created with; Clear() returns to them.
struct TGraphConfig {
    bool WantCapture = true;
    bool WantPreview = true;
    bool WantBitmaps = true;
    bool WantAudio = true;
    bool WantDVAudio = true;
    bool WantAudioPreview = true;
    bool UseTempFile = false;
    bool DoPreallocFile = false;
    int PreallocFileSize = 1; // Mb
    QString CaptureFileName = QStringLiteral("Capture.avi");
    QString TempCaptureFileName = QStringLiteral("CapTemp.avi");
    int DVResolution = dvrDontWorry;
    int BitmapPixelFormat = pf24bit;
    VideoMode VideoCaptureMode; // null: the device's own default
    AudioMode AudioCaptureMode;
    QString VideoSource;
    QString AudioSource;
    QString VideoCompressor;
    QString AudioCompressor;
    QByteArray CompressorState;

    void Clear() { *this = TGraphConfig(); }
    bool operator==(const TGraphConfig &) const = default;
};

} // namespace orvalla
