#pragma once

#include "webcam/videocapture.h"

#include <QAudioDevice>
#include <QCameraDevice>
#include <QImageCapture>
#include <QList>
#include <QMediaCaptureSession>
#include <QPointer>

#include <memory>

class QCamera;
class QVideoWidget;

namespace orvalla
{

// The capture control over Qt Multimedia: one camera in a capture session with
// a still-image capture and the preview widget. Nothing is recorded, so the
// capture file settings are only kept; no property dialogs are offered.
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

    // A QVideoWidget, created on first call. Whoever reparents it owns it.
    QWidget *previewWidget() override;

private:
    void chooseDevices();
    void buildCamera();
    void attachPreview();

    QMediaCaptureSession m_session;
    QImageCapture m_imageCapture;
    std::unique_ptr<QCamera> m_camera;
    QPointer<QVideoWidget> m_widget;
    TGraphConfig m_config;
    QCameraDevice m_videoDevice;
    QAudioDevice m_audioDevice;
    QList<QCameraFormat> m_videoFormats;
    QList<VideoMode> m_videoModes;
    QList<AudioMode> m_audioModes;
    bool m_previewRequested = false;
};

// The grabbed picture in the bit depth BitmapPixelFormat asks for
// (pfDevice and pfCustom keep the camera's own).
QImage convertToPixelFormat(const QImage &picture, int bitmapPixelFormat);

} // namespace orvalla
