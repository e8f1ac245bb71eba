#pragma once

#include "webcam/graphconfig.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

namespace orvalla
{

class Clock;
class TVideoCapture;

// What the "Vídeo" tab shows; the window copies it into its widgets on viewChanged().
struct VideoTabView {
    QString videoDevice; // Edit_video
    QString audioDevice; // Edit_audio
    QStringList videoModes; // cbVModes items
    int videoMode = -1; // cbVModes selection
    QStringList audioModes; // cbAModes items
    int audioMode = -1; // cbAModes selection
    QStringList dialogTitles; // lbDialogs items
    QList<int> dialogKinds; // the dialog kind of each lbDialogs item

    bool operator==(const VideoTabView &) const = default;
};

// Webcam still pictures for the upload: the camera buttons of the "Vídeo" tab,
// the timed shot started by the clock tick or by the upload button, and the
// picture files "temp.jpg", "webcam_yyyy_mm_dd_mmmm.jpg" and "webcam.jpg".
class Webcam : public QObject
{
    Q_OBJECT

public:
    enum ShotState { ShotIdle = 0, ShotPreviewing = 1, ShotRequested = 2 };

    // capture and clock must outlive this object.
    Webcam(TVideoCapture *capture, const Clock *clock, QObject *parent = nullptr);

    // Folder the picture files go to, ending with its separator; empty: the working folder.
    void setFolder(const QString &folder) { m_folder = folder; }
    // Whether the FTP client has an open connection; "webcam.jpg" is left alone while it has.
    void setFtpConnectedQuery(std::function<bool()> query) { m_ftpConnected = std::move(query); }
    // Minute of the day (hour * 60 + minute) of the last data recording.
    void setLastStorageMinuteQuery(std::function<int()> query) { m_lastStorageMinute = std::move(query); }
    // Interval of Timer_camara (10000 ms).
    void setShotInterval(int ms) { m_timer.setInterval(ms); }

    bool cameraReady() const { return m_ready; }
    int shotState() const { return m_shotState; }
    bool shotTimerActive() const { return m_timer.isActive(); }
    // Timer_camara itself, so that the owner can name it and find it.
    QTimer &shotTimer() { return m_timer; }
    const TGraphConfig &graphConfig() const { return m_config; }
    const VideoTabView &view() const { return m_view; }

    // Operations.
    void InitVideo();
    void StartWebcamShot();
    void Timer_camaraTimer();

    // Handlers of the tab's controls.
    void Button_inicializa_videoClick() { InitVideo(); }
    void Button_previsualiza_videoClick();
    void Button_fin_previsualiza_videoClick();
    void Button_captura_videoClick();
    // Opens the modal settings dialog over parent.
    void Button_configura_videoClick(QWidget *parent = nullptr);
    void Button_actualiza_webcamClick() { StartWebcamShot(); }
    void Button_finaliza_videoClick();
    // Wire to the combo boxes' user selection (activated), not to programmatic changes.
    void cbVModesChange(int index);
    void cbAModesChange(int index);

    // Events of the capture control.
    void VideoCaptureChangeDevice();
    void VideoCaptureStartPreview();
    void VideoCaptureBitmapGrabbed(const QImage &picture);

    // "webcam_%04d_%02d_%02d_%04d.jpg"
    static QString datedFileName(int year, int month, int day, int storageMinute);

Q_SIGNALS:
    void viewChanged();
    // One picture stored: the dated file name, and whether "webcam.jpg" was replaced.
    void pictureStored(const QString &datedName, bool published);

private:
    void setNotReady();
    void endShot();
    bool writePicture(const QString &name, const QByteArray &jpeg);

    TVideoCapture *m_capture;
    const Clock *m_clock;
    QString m_folder;
    std::function<bool()> m_ftpConnected;
    std::function<int()> m_lastStorageMinute;
    QTimer m_timer;
    bool m_ready = false;
    int m_shotState = ShotIdle;
    TGraphConfig m_config;
    VideoTabView m_view;
};

} // namespace orvalla
