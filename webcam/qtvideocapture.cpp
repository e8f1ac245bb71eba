#include "webcam/qtvideocapture.h"

#include "common/log.h"
#include "webcam/capturepreview.h"

#include <QAudioFormat>
#include <QCamera>
#include <QElapsedTimer>
#include <QMediaCaptureSession>
#include <QMediaDevices>
#include <QMediaFormat>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>

namespace orvalla
{

namespace
{

// How long after its first frame a stream is left to settle before a frame is read.
constexpr qint64 kSettleMs = 200;
constexpr int kMaxRestarts = 2;

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

// The camera of the chosen device with its session and sink: made once for the
// device, started for a preview or a grab and stopped after it.
struct QtVideoCapture::Stream {
    explicit Stream(const QCameraDevice &device)
        : camera(device)
    {
    }
    QCamera camera;
    QVideoSink sink;
    QMediaCaptureSession session; // last: it goes first
    QElapsedTimer firstFrame;
    bool running = false;
    bool delivered = false;
    int restarts = 0;
};

bool QtVideoCapture::streaming() const
{
    return m_stream && m_stream->running;
}

QtVideoCapture::QtVideoCapture(QObject *parent)
    : TVideoCapture(parent)
{
    m_grabTimeout.setSingleShot(true);
    m_grabTimeout.setInterval(10000);
    connect(&m_grabTimeout, &QTimer::timeout, this, [this] {
        if (!m_grabWanted)
            return;
        m_grabWanted = false;
        qCWarning(lcWebcam) << "no frame came from the camera; grab given up";
        if (!m_previewRequested)
            stopStream();
    });
    // A camera that starts but delivers nothing is started again, a few times.
    m_stallTimeout.setSingleShot(true);
    m_stallTimeout.setInterval(3000);
    connect(&m_stallTimeout, &QTimer::timeout, this, [this] {
        if (!streaming() || m_stream->delivered)
            return;
        const int restarts = m_stream->restarts + 1;
        stopStream();
        if (restarts > kMaxRestarts) {
            qCWarning(lcWebcam) << "the camera delivers no picture";
            return;
        }
        qCInfo(lcWebcam) << "the camera delivered no picture; starting it again";
        startStream(restarts);
    });
}

QtVideoCapture::~QtVideoCapture()
{
    dropStream();
    if (m_widget && !m_widget->parent())
        delete m_widget.data();
}

void QtVideoCapture::chooseDevices()
{
    const QCameraDevice previous = m_videoDevice;
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

    if (m_videoDevice != previous)
        dropStream();

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

void QtVideoCapture::listVideoModes()
{
    m_videoFormats = m_videoDevice.videoFormats();
    m_videoModes.clear();
    for (const QCameraFormat &format : std::as_const(m_videoFormats))
        m_videoModes.append(toMode(format));
}

void QtVideoCapture::buildStream()
{
    m_stream = std::make_unique<Stream>(m_videoDevice);
    Stream &stream = *m_stream;
    connect(&stream.camera, &QCamera::errorOccurred, this,
        [](QCamera::Error, const QString &text) { qCWarning(lcWebcam) << "camera error:" << text; });
    stream.session.setCamera(&stream.camera);
    stream.session.setVideoSink(&stream.sink);
    // The frame's memory belongs to the pipeline and may be gone once this
    // signal returns, so the picture is copied out at once; what follows is
    // queued, since it may stop the camera that sent the frame. The first
    // frames of a start are not read at all: their memory can vanish under
    // the reader while the stream settles.
    connect(
        &stream.sink, &QVideoSink::videoFrameChanged, this,
        [this](const QVideoFrame &frame) {
            if (!frame.isValid() || !streaming())
                return;
            if (!m_stream->firstFrame.isValid())
                m_stream->firstFrame.start();
            if (m_stream->firstFrame.elapsed() < kSettleMs)
                return;
            const bool wanted = m_grabWanted || (m_previewRequested && m_widget);
            const QImage picture = wanted ? frame.toImage() : QImage();
            const quint64 serial = m_streamSerial;
            QMetaObject::invokeMethod(
                this,
                [this, serial, picture] {
                    if (streaming() && serial == m_streamSerial)
                        frameArrived(picture);
                },
                Qt::QueuedConnection);
        },
        Qt::DirectConnection);
}

bool QtVideoCapture::startStream(int restarts)
{
    // One camera object per device for as long as it is chosen: the back end
    // loses track of a device that many camera objects were made of.
    if (!m_stream)
        buildStream();
    const qsizetype wanted = m_videoModes.indexOf(m_config.VideoCaptureMode);
    if (wanted >= 0)
        m_stream->camera.setCameraFormat(m_videoFormats.at(wanted));
    ++m_streamSerial;
    m_stream->running = true;
    m_stream->delivered = false;
    m_stream->firstFrame.invalidate();
    m_stream->restarts = restarts;
    m_stallTimeout.start();
    m_stream->camera.start();
    if (m_stream->camera.error() != QCamera::NoError) {
        qCWarning(lcWebcam) << "the camera could not be started:" << m_stream->camera.errorString();
        stopStream();
        return false;
    }
    return true;
}

void QtVideoCapture::stopStream()
{
    if (!streaming())
        return;
    ++m_streamSerial;
    m_stallTimeout.stop();
    m_stream->running = false;
    m_stream->camera.stop();
}

void QtVideoCapture::dropStream()
{
    stopStream();
    if (!m_stream)
        return;
    const std::unique_ptr<Stream> stream = std::move(m_stream);
    stream->session.setVideoSink(nullptr);
    stream->session.setCamera(nullptr);
}

void QtVideoCapture::frameArrived(const QImage &frame)
{
    m_stallTimeout.stop();
    const bool first = !m_stream->delivered;
    m_stream->delivered = true;
    if (m_previewRequested && m_widget)
        m_widget->setPicture(frame);
    if (first && m_previewRequested)
        Q_EMIT previewStarted();
    if (!m_grabWanted || !m_stream)
        return;

    m_grabWanted = false;
    m_grabTimeout.stop();
    // A camera started only for this grab is done with it.
    if (!m_previewRequested)
        stopStream();
    if (frame.isNull()) {
        qCWarning(lcWebcam) << "grab failed: the frame could not be read";
        return;
    }
    Q_EMIT bitmapGrabbed(convertToPixelFormat(frame, m_config.BitmapPixelFormat));
}

bool QtVideoCapture::Init()
{
    StopPreview();
    chooseDevices();
    listVideoModes();
    if (m_videoDevice.isNull())
        return false;
    // The back end must be able to make a camera of the device.
    if (!m_stream)
        buildStream();
    if (m_stream->camera.error() != QCamera::NoError) {
        qCWarning(lcWebcam) << "camera" << m_videoDevice.description()
                            << "unusable:" << m_stream->camera.errorString();
        dropStream();
        return false;
    }
    qCInfo(lcWebcam) << "capture set up on" << m_videoDevice.description();
    return true;
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
    StopPreview();
    m_config = config;
    chooseDevices();
    listVideoModes();
    Q_EMIT changeDevice();
}

void QtVideoCapture::StartPreview()
{
    if (m_videoDevice.isNull())
        return;
    m_previewRequested = true;
    if (!streaming())
        startStream();
    else if (m_stream->delivered)
        Q_EMIT previewStarted();
}

void QtVideoCapture::StopPreview()
{
    m_previewRequested = false;
    m_grabWanted = false;
    m_grabTimeout.stop();
    stopStream();
    if (m_widget)
        m_widget->setPicture(QImage());
}

void QtVideoCapture::StopCapture()
{
    // Nothing is ever recorded to the capture file, so there is nothing to stop.
}

bool QtVideoCapture::CaptureFrame()
{
    if (m_videoDevice.isNull() || !m_config.WantBitmaps)
        return false;
    if (!streaming() && !startStream())
        return false;
    m_grabWanted = true;
    m_grabTimeout.start();
    return true;
}

VideoMode QtVideoCapture::GetVCapMode() const
{
    // The chosen mode while the device lists it; else the device picks its own.
    return m_videoModes.contains(m_config.VideoCaptureMode) ? m_config.VideoCaptureMode : VideoMode();
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
    if (m_stream)
        m_stream->camera.setCameraFormat(m_videoFormats.at(index));
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
    // A camera is chosen by its name, and the back end may list one twice.
    names.removeDuplicates();
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
    if (!m_widget)
        m_widget = new CapturePreview;
    return m_widget.data();
}

} // namespace orvalla
