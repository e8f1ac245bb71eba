#pragma once

#include "webcam/videocapture.h"

#include <QAudioDevice>
#include <QCameraDevice>
#include <QList>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace orvalla
{

class CapturePreview;

// The capture control over Qt Multimedia. Nothing of the media back end is
// built until a camera is initialised: then one camera with its capture session
// and a video sink is made for the chosen device and kept, and started for a
// preview or a grab. A grabbed picture is a frame the sink receives once the
// camera has run a moment, so a picture is never asked of a camera that has
// not delivered yet. Nothing is recorded, so the capture file settings are
// only kept; no property dialogs are offered.
class QtVideoCapture final : public TVideoCapture
{
    Q_OBJECT

public:
    explicit QtVideoCapture(QObject *parent = nullptr);
    ~QtVideoCapture() override;

    bool Init() override;
    void SaveGraph(TGraphConfig &config) const override;
    void RestoreGraph(const TGraphConfig &config) override;

    void StartPreview() override;
    void StopPreview() override;
    void StopCapture() override;
    // Starts the camera if it is not running; the picture is the next frame.
    bool CaptureFrame() override;

    VideoMode GetVCapMode() const override;
    AudioMode GetACapMode() const override;
    int GetVCapModeCount() const override { return int(m_videoModes.size()); }
    int GetACapModeCount() const override { return int(m_audioModes.size()); }
    VideoMode GetVCapModes(int index) const override { return m_videoModes.value(index); }
    AudioMode GetACapModes(int index) const override { return m_audioModes.value(index); }
    void SetVCapMode(int index) override;
    void SetACapMode(int index) override;
    int GetVCapModeIdx() const override { return int(m_videoModes.indexOf(GetVCapMode())); }
    int GetACapModeIdx() const override { return int(m_audioModes.indexOf(GetACapMode())); }

    bool DialogAvailable(int kind) const override;

    QStringList GetVideoDevicesList() const override;
    QStringList GetAudioDevicesList() const override;
    QStringList GetVideoCompressorsList() const override;
    QStringList GetAudioCompressorsList() const override;

    // A CapturePreview, created on first call. Whoever reparents it owns it.
    QWidget *previewWidget() override;

    // Whether a camera runs now (preview or a grab under way).
    bool streaming() const;
    // How long a grab waits for a frame before it is given up (10000 ms).
    void setGrabTimeout(int ms) { m_grabTimeout.setInterval(ms); }

private:
    struct Stream;

    void chooseDevices();
    void listVideoModes();
    void buildStream();
    bool startStream(int restarts = 0);
    void stopStream();
    void dropStream();
    void frameArrived(const QImage &frame);

    std::unique_ptr<Stream> m_stream;
    quint64 m_streamSerial = 0;
    QPointer<CapturePreview> m_widget;
    TGraphConfig m_config;
    QCameraDevice m_videoDevice;
    QAudioDevice m_audioDevice;
    QList<QCameraFormat> m_videoFormats;
    QList<VideoMode> m_videoModes;
    QList<AudioMode> m_audioModes;
    QTimer m_grabTimeout;
    QTimer m_stallTimeout;
    bool m_previewRequested = false;
    bool m_grabWanted = false;
};

// The grabbed picture in the bit depth BitmapPixelFormat asks for
// (pfDevice and pfCustom keep the camera's own).
QImage convertToPixelFormat(const QImage &picture, int bitmapPixelFormat);

} // namespace orvalla
