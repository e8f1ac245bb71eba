#include "webcam/webcam.h"

#include "common/clock.h"
#include "common/files.h"
#include "common/log.h"
#include "common/text.h"
#include "webcam/graphconfigdialog.h"
#include "webcam/videocapture.h"

#include <QBuffer>

namespace orvalla
{

Webcam::Webcam(TVideoCapture *capture, const Clock *clock, QObject *parent)
    : QObject(parent)
    , m_capture(capture)
    , m_clock(clock)
{
    m_timer.setInterval(10000);
    connect(&m_timer, &QTimer::timeout, this, &Webcam::Timer_camaraTimer);
    connect(m_capture, &TVideoCapture::changeDevice, this, &Webcam::VideoCaptureChangeDevice);
    connect(m_capture, &TVideoCapture::previewStarted, this, &Webcam::VideoCaptureStartPreview);
    connect(m_capture, &TVideoCapture::bitmapGrabbed, this, &Webcam::VideoCaptureBitmapGrabbed);
}

QString Webcam::datedFileName(int year, int month, int day, int storageMinute)
{
    return QString::fromLatin1(formatC("webcam_%04d_%02d_%02d_%04d.jpg", year, month, day, storageMinute));
}

void Webcam::setNotReady()
{
    m_ready = false;
    // A shot cannot go on without the camera; leaving its state behind would
    // turn away every later shot.
    m_timer.stop();
    m_shotState = ShotIdle;
}

void Webcam::endShot()
{
    m_capture->StopPreview();
    m_timer.stop();
    m_shotState = ShotIdle;
}

void Webcam::InitVideo()
{
    // Initialising stops the preview, so a shot under way cannot complete.
    m_timer.stop();
    m_shotState = ShotIdle;

    if (!m_capture->Init()) {
        // The tab is left as it was: no camera is no message, only a log line.
        setNotReady();
        qCInfo(lcWebcam) << "no camera could be initialised";
        return;
    }
    m_ready = true;

    m_capture->SaveGraph(m_config);
    m_config.WantCapture = true;
    m_config.WantPreview = true;
    m_config.WantBitmaps = true;
    m_config.WantAudio = true;
    m_config.WantDVAudio = false;
    m_config.WantAudioPreview = false;
    m_config.CaptureFileName = QStringLiteral("Capture.avi");

    const QStringList videoDevices = m_capture->GetVideoDevicesList();
    const QStringList audioDevices = m_capture->GetAudioDevicesList();
    m_config.VideoSource = videoDevices.value(0);
    m_config.AudioSource = audioDevices.value(0);
    m_view.videoDevice = m_config.VideoSource;
    m_view.audioDevice = m_config.AudioSource;

    m_capture->RestoreGraph(m_config);
    m_capture->StopPreview();
    m_capture->StopCapture();
    qCInfo(lcWebcam) << "camera ready:" << m_config.VideoSource << "/" << m_config.AudioSource;
    Q_EMIT viewChanged();
}

void Webcam::StartWebcamShot()
{
    if (!m_ready || m_shotState != ShotIdle)
        return;
    m_timer.start();
    m_capture->StartPreview();
    m_shotState = ShotPreviewing;
    qCDebug(lcWebcam) << "shot started";
}

void Webcam::Timer_camaraTimer()
{
    if (!m_ready) {
        m_timer.stop();
        m_shotState = ShotIdle;
        return;
    }
    switch (m_shotState) {
    case ShotPreviewing:
        if (!m_capture->CaptureFrame()) {
            qCWarning(lcWebcam) << "the picture could not be requested";
            m_capture->StopPreview();
        }
        m_shotState = ShotRequested;
        break;
    case ShotRequested:
        qCWarning(lcWebcam) << "no picture arrived; shot given up";
        endShot();
        break;
    default:
        m_timer.stop();
        break;
    }
}

void Webcam::Button_previsualiza_videoClick()
{
    if (m_ready)
        m_capture->StartPreview();
}

void Webcam::Button_fin_previsualiza_videoClick()
{
    if (!m_ready)
        return;
    m_capture->StopPreview();
    m_capture->StopCapture();
}

void Webcam::Button_captura_videoClick()
{
    if (m_ready && !m_capture->CaptureFrame())
        qCWarning(lcWebcam) << "the picture could not be requested";
}

void Webcam::Button_configura_videoClick(QWidget *parent)
{
    if (!m_ready)
        return;
    m_capture->SaveGraph(m_config);
    if (!EditGraphConfig(m_config, *m_capture, parent))
        return;
    m_capture->RestoreGraph(m_config);
    // The device fields follow the devices chosen in the dialog.
    m_view.videoDevice = m_config.VideoSource;
    m_view.audioDevice = m_config.AudioSource;
    Q_EMIT viewChanged();
}

void Webcam::Button_finaliza_videoClick()
{
    if (!m_ready)
        return;
    m_capture->StopPreview();
    m_capture->StopCapture();
    setNotReady();
    qCInfo(lcWebcam) << "camera released";
}

void Webcam::cbVModesChange(int index)
{
    if (!m_ready || index < 0)
        return;
    m_capture->SetVCapMode(index);
    m_view.videoMode = index;
}

void Webcam::cbAModesChange(int index)
{
    if (!m_ready || index < 0)
        return;
    m_capture->SetACapMode(index);
    m_view.audioMode = index;
}

void Webcam::VideoCaptureChangeDevice()
{
    if (!m_ready)
        return;
    const VideoMode videoMode = m_capture->GetVCapMode();
    const AudioMode audioMode = m_capture->GetACapMode();

    m_view.videoModes.clear();
    m_view.videoMode = -1;
    for (int i = 0; i < m_capture->GetVCapModeCount(); ++i) {
        const VideoMode mode = m_capture->GetVCapModes(i);
        m_view.videoModes.append(GetModeString(mode));
        if (IsEqualModes(mode, videoMode))
            m_view.videoMode = i;
    }

    m_view.audioModes.clear();
    m_view.audioMode = -1;
    for (int i = 0; i < m_capture->GetACapModeCount(); ++i) {
        const AudioMode mode = m_capture->GetACapModes(i);
        m_view.audioModes.append(GetModeString(mode));
        if (IsEqualModes(mode, audioMode))
            m_view.audioMode = i;
    }

    m_view.dialogTitles.clear();
    m_view.dialogKinds.clear();
    for (int kind = 0; kind < TVideoCapture::DialogKindCount; ++kind) {
        if (m_capture->DialogAvailable(kind)) {
            m_view.dialogTitles.append(TVideoCapture::DialogTitles(kind));
            m_view.dialogKinds.append(kind);
        }
    }
    Q_EMIT viewChanged();
}

void Webcam::VideoCaptureStartPreview()
{
    if (!m_ready)
        return;
    const int video = m_capture->GetVCapModeIdx();
    const int audio = m_capture->GetACapModeIdx();
    m_view.videoMode = video < m_view.videoModes.size() ? video : -1;
    m_view.audioMode = audio < m_view.audioModes.size() ? audio : -1;
    Q_EMIT viewChanged();
}

bool Webcam::writePicture(const QString &name, const QByteArray &jpeg)
{
    QString error;
    if (!replaceFile(m_folder + name, jpeg, &error)) {
        qCWarning(lcWebcam) << "picture not written:" << error;
        return false;
    }
    return true;
}

void Webcam::VideoCaptureBitmapGrabbed(const QImage &picture)
{
    const LocalTime now = m_clock->localNow();
    const int storageMinute = m_lastStorageMinute ? m_lastStorageMinute() : 0;
    const QString datedName = datedFileName(now.year, now.month, now.day, storageMinute);
    if (!m_ready)
        return;

    // Encoded once; every file gets these bytes whole, so a failed write never
    // lets an older picture pass for this one.
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    bool published = false;
    const bool encoded = !picture.isNull() && picture.save(&buffer, "JPG");
    if (!encoded) {
        qCWarning(lcWebcam) << "the picture could not be encoded as JPEG";
    } else {
        writePicture(QStringLiteral("temp.jpg"), jpeg);
        writePicture(datedName, jpeg);
        if (!(m_ftpConnected && m_ftpConnected()))
            published = writePicture(QStringLiteral("webcam.jpg"), jpeg);
        qCInfo(lcWebcam) << "picture stored as" << datedName
                         << (published ? "and webcam.jpg" : "(webcam.jpg kept)");
    }
    endShot();
    if (encoded)
        Q_EMIT pictureStored(datedName, published);
}

} // namespace orvalla
