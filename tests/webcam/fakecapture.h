#pragma once

#include "webcam/videocapture.h"

#include <QList>
#include <QStringList>

// A camera for the tests: records the operations asked of it and answers
// from what the test sets; pictures arrive when the test emits bitmapGrabbed().
class FakeCapture final : public orvalla::TVideoCapture
{
    Q_OBJECT

public:
    using TVideoCapture::TVideoCapture;

    bool initResult = true;
    bool captureResult = true;
    orvalla::TGraphConfig config;
    QStringList videoDevices { QStringLiteral("Cam A"), QStringLiteral("Cam B") };
    QStringList audioDevices { QStringLiteral("Mic") };
    QStringList videoCompressors { QStringLiteral("MJPEG"), QStringLiteral("H.264") };
    QStringList audioCompressors { QStringLiteral("PCM") };
    QList<orvalla::VideoMode> videoModes;
    QList<orvalla::AudioMode> audioModes;
    QList<int> dialogs;
    int videoModeIdx = -1;
    int audioModeIdx = -1;
    QStringList calls;

    bool Init() override
    {
        calls << QStringLiteral("Init");
        return initResult;
    }
    void SaveGraph(orvalla::TGraphConfig &c) const override
    {
        const_cast<FakeCapture *>(this)->calls << QStringLiteral("SaveGraph");
        c = config;
    }
    void RestoreGraph(const orvalla::TGraphConfig &c) override
    {
        calls << QStringLiteral("RestoreGraph");
        config = c;
        Q_EMIT changeDevice();
    }
    void StartPreview() override { calls << QStringLiteral("StartPreview"); }
    void StopPreview() override { calls << QStringLiteral("StopPreview"); }
    void StopCapture() override { calls << QStringLiteral("StopCapture"); }
    bool CaptureFrame() override
    {
        calls << QStringLiteral("CaptureFrame");
        return captureResult;
    }

    orvalla::VideoMode GetVCapMode() const override { return config.VideoCaptureMode; }
    orvalla::AudioMode GetACapMode() const override { return config.AudioCaptureMode; }
    int GetVCapModeCount() const override { return int(videoModes.size()); }
    int GetACapModeCount() const override { return int(audioModes.size()); }
    orvalla::VideoMode GetVCapModes(int i) const override { return videoModes.value(i); }
    orvalla::AudioMode GetACapModes(int i) const override { return audioModes.value(i); }
    void SetVCapMode(int i) override { calls << QStringLiteral("SetVCapMode %1").arg(i); }
    void SetACapMode(int i) override { calls << QStringLiteral("SetACapMode %1").arg(i); }
    int GetVCapModeIdx() const override { return videoModeIdx; }
    int GetACapModeIdx() const override { return audioModeIdx; }

    bool DialogAvailable(int kind) const override { return dialogs.contains(kind); }

    QStringList GetVideoDevicesList() const override { return videoDevices; }
    QStringList GetAudioDevicesList() const override { return audioDevices; }
    QStringList GetVideoCompressorsList() const override { return videoCompressors; }
    QStringList GetAudioCompressorsList() const override { return audioCompressors; }
};
