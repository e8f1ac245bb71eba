#include "webcam/qtvideocapture.h"

#include "common/log.h"

#include <QAudioFormat>
#include <QCamera>
#include <QMediaDevices>
#include <QMediaFormat>
#include <QVideoFrameFormat>
#include <QVideoWidget>

namespace orvalla
{

namespace
{

VideoMode toMode(const QCameraFormat &format)
{
    if (format.isNull())
        return VideoMode();
    VideoMode mode;
    mode.width = format.resolution().width();
    mode.height = format.resolution().height();
    mode.pixelFormat = QVideoFrameFormat::pixelFormatToString(format.pixelFormat());
    mode.minFrameRate = format.minFrameRate();
    mode.maxFrameRate = format.maxFrameRate();
    return mode;
}

QString sampleFormatName(QAudioFormat::SampleFormat format)
{
    switch (format) {
    case QAudioFormat::UInt8:
        return QStringLiteral("8 bit");
    case QAudioFormat::Int16:
        return QStringLiteral("16 bit");
    case QAudioFormat::Int32:
        return QStringLiteral("32 bit");
    case QAudioFormat::Float:
        return QStringLiteral("float");
    default:
        return QString();
    }
}

AudioMode toMode(const QAudioFormat &format)
{
    if (!format.isValid())
        return AudioMode();
    return AudioMode { format.sampleRate(), format.channelCount(), sampleFormatName(format.sampleFormat()) };
}

// A microphone gives ranges; its modes are the usual rates within them, mono
// and stereo, for each sample format it takes.
QList<AudioMode> audioModes(const QAudioDevice &device)
{
    QList<AudioMode> modes;
    if (device.isNull())
        return modes;
    static const int rates[] = { 8000, 11025, 16000, 22050, 32000, 44100, 48000 };
    const int minChannels = qMax(1, device.minimumChannelCount());
    const int maxChannels = qMin(2, device.maximumChannelCount());
    for (int rate : rates) {
        if (rate < device.minimumSampleRate() || rate > device.maximumSampleRate())
            continue;
        for (int channels = minChannels; channels <= maxChannels; ++channels) {
            for (QAudioFormat::SampleFormat format : device.supportedSampleFormats()) {
                const QString name = sampleFormatName(format);
                if (!name.isEmpty())
                    modes.append(AudioMode { rate, channels, name });
            }
        }
    }
    const AudioMode preferred = toMode(device.preferredFormat());
    if (!preferred.isNull() && !modes.contains(preferred))
        modes.prepend(preferred);
    return modes;
}

} // namespace

QImage convertToPixelFormat(const QImage &picture, int bitmapPixelFormat)
{
    switch (bitmapPixelFormat) {
    case pf1bit:
        return picture.convertToFormat(QImage::Format_Mono);
    case pf4bit:
    case pf8bit:
        return picture.convertToFormat(QImage::Format_Indexed8);
    case pf15bit:
        return picture.convertToFormat(QImage::Format_RGB555);
    case pf16bit:
        return picture.convertToFormat(QImage::Format_RGB16);
    case pf24bit:
        return picture.convertToFormat(QImage::Format_RGB888);
    case pf32bit:
        return picture.convertToFormat(QImage::Format_RGB32);
    default:
        return picture;
    }
}

QtVideoCapture::QtVideoCapture(QObject *parent)
    : TVideoCapture(parent)
{
    m_session.setImageCapture(&m_imageCapture);
    connect(&m_imageCapture, &QImageCapture::imageCaptured, this, [this](int, const QImage &picture) {
        Q_EMIT bitmapGrabbed(convertToPixelFormat(picture, m_config.BitmapPixelFormat));
    });
    connect(&m_imageCapture, &QImageCapture::errorOccurred, this,
        [](int, QImageCapture::Error, const QString &text) {
            qCWarning(lcWebcam) << "grab failed:" << text;
        });
}

QtVideoCapture::~QtVideoCapture()
{
    m_session.setVideoOutput(nullptr);
    m_session.setCamera(nullptr);
    m_session.setImageCapture(nullptr);
    if (m_widget && !m_widget->parent())
        delete m_widget.data();
}

void QtVideoCapture::chooseDevices()
{
    m_videoDevice = QCameraDevice();
    const QList<QCameraDevice> cameras = QMediaDevices::videoInputs();
    for (const QCameraDevice &camera : cameras) {
        if (camera.description() == m_config.VideoSource) {
            m_videoDevice = camera;
            break;
        }
    }
    if (m_videoDevice.isNull() && !cameras.isEmpty()) {
        m_videoDevice = QMediaDevices::defaultVideoInput();
        if (m_videoDevice.isNull())
            m_videoDevice = cameras.first();
    }

    m_audioDevice = QAudioDevice();
    const QList<QAudioDevice> microphones = QMediaDevices::audioInputs();
    for (const QAudioDevice &microphone : microphones) {
        if (microphone.description() == m_config.AudioSource) {
            m_audioDevice = microphone;
            break;
        }
    }
    if (m_audioDevice.isNull() && !microphones.isEmpty()) {
        m_audioDevice = QMediaDevices::defaultAudioInput();
        if (m_audioDevice.isNull())
            m_audioDevice = microphones.first();
    }
    m_audioModes = audioModes(m_audioDevice);
}

void QtVideoCapture::buildCamera()
{
    m_session.setCamera(nullptr);
    m_camera.reset();
    m_previewRequested = false;
    m_videoFormats.clear();
    m_videoModes.clear();
    if (m_videoDevice.isNull())
        return;

    m_camera = std::make_unique<QCamera>(m_videoDevice);
    connect(m_camera.get(), &QCamera::activeChanged, this, [this](bool active) {
        if (active && m_previewRequested)
            Q_EMIT previewStarted();
    });
    connect(m_camera.get(), &QCamera::errorOccurred, this,
        [](QCamera::Error, const QString &text) { qCWarning(lcWebcam) << "camera error:" << text; });

    m_videoFormats = m_videoDevice.videoFormats();
    for (const QCameraFormat &format : std::as_const(m_videoFormats))
        m_videoModes.append(toMode(format));
    const qsizetype wanted = m_videoModes.indexOf(m_config.VideoCaptureMode);
    if (wanted >= 0)
        m_camera->setCameraFormat(m_videoFormats.at(wanted));

    m_session.setCamera(m_camera.get());
    attachPreview();
    qCInfo(lcWebcam) << "capture set up on" << m_videoDevice.description();
}

void QtVideoCapture::attachPreview()
{
    m_session.setVideoOutput(m_config.WantPreview && m_widget ? m_widget.data() : nullptr);
}

bool QtVideoCapture::Init()
{
    chooseDevices();
    buildCamera();
    return m_camera && m_camera->error() == QCamera::NoError;
}

void QtVideoCapture::SaveGraph(TGraphConfig &config) const
{
    config = m_config;
    if (!m_videoDevice.isNull())
        config.VideoSource = m_videoDevice.description();
    if (!m_audioDevice.isNull())
        config.AudioSource = m_audioDevice.description();
    config.VideoCaptureMode = GetVCapMode();
    config.AudioCaptureMode = GetACapMode();
}

void QtVideoCapture::RestoreGraph(const TGraphConfig &config)
{
    m_config = config;
    chooseDevices();
    buildCamera();
    Q_EMIT changeDevice();
}

void QtVideoCapture::StartPreview()
{
    if (!m_camera)
        return;
    m_previewRequested = true;
    if (m_camera->isActive())
        Q_EMIT previewStarted();
    else
        m_camera->start();
}

void QtVideoCapture::StopPreview()
{
    m_previewRequested = false;
    if (m_camera)
        m_camera->stop();
}

void QtVideoCapture::StopCapture()
{
    // Nothing is ever recorded to the capture file, so there is nothing to stop.
}

bool QtVideoCapture::CaptureFrame()
{
    if (!m_camera || !m_config.WantBitmaps || !m_camera->isActive() || !m_imageCapture.isReadyForCapture())
        return false;
    return m_imageCapture.capture() != -1;
}

VideoMode QtVideoCapture::GetVCapMode() const
{
    return m_camera ? toMode(m_camera->cameraFormat()) : m_config.VideoCaptureMode;
}

AudioMode QtVideoCapture::GetACapMode() const
{
    if (m_config.AudioCaptureMode.isNull() && !m_audioDevice.isNull())
        return toMode(m_audioDevice.preferredFormat());
    return m_config.AudioCaptureMode;
}

void QtVideoCapture::SetVCapMode(int index)
{
    if (index < 0 || index >= m_videoFormats.size())
        return;
    m_config.VideoCaptureMode = m_videoModes.at(index);
    if (m_camera)
        m_camera->setCameraFormat(m_videoFormats.at(index));
}

void QtVideoCapture::SetACapMode(int index)
{
    if (index >= 0 && index < m_audioModes.size())
        m_config.AudioCaptureMode = m_audioModes.at(index);
}

bool QtVideoCapture::DialogAvailable(int) const
{
    return false;
}

QStringList QtVideoCapture::GetVideoDevicesList() const
{
    QStringList names;
    for (const QCameraDevice &camera : QMediaDevices::videoInputs())
        names.append(camera.description());
    return names;
}

QStringList QtVideoCapture::GetAudioDevicesList() const
{
    QStringList names;
    for (const QAudioDevice &microphone : QMediaDevices::audioInputs())
        names.append(microphone.description());
    return names;
}

QStringList QtVideoCapture::GetVideoCompressorsList() const
{
    QStringList names;
    for (QMediaFormat::VideoCodec codec : QMediaFormat().supportedVideoCodecs(QMediaFormat::Encode))
        names.append(QMediaFormat::videoCodecDescription(codec));
    return names;
}

QStringList QtVideoCapture::GetAudioCompressorsList() const
{
    QStringList names;
    for (QMediaFormat::AudioCodec codec : QMediaFormat().supportedAudioCodecs(QMediaFormat::Encode))
        names.append(QMediaFormat::audioCodecDescription(codec));
    return names;
}

QWidget *QtVideoCapture::previewWidget()
{
    if (!m_widget) {
        m_widget = new QVideoWidget;
        m_widget->setObjectName(QStringLiteral("VideoCapturePreview"));
        attachPreview();
    }
    return m_widget.data();
}

} // namespace orvalla
