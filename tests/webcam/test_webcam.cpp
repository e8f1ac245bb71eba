#include "common/clock.h"
#include "webcam/webcam.h"

#include "fakecapture.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace orvalla;

namespace
{

QImage solidPicture(Qt::GlobalColor color, int width = 64, int height = 48)
{
    QImage picture(width, height, QImage::Format_RGB888);
    picture.fill(color);
    return picture;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The colour in the middle of a stored picture, as far as JPEG keeps it.
QColor middleColour(const QString &path)
{
    const QImage picture(path);
    return picture.isNull() ? QColor() : picture.pixelColor(picture.width() / 2, picture.height() / 2);
}

bool looksRed(const QColor &c)
{
    return c.isValid() && c.red() > 200 && c.green() < 60 && c.blue() < 60;
}

bool looksBlue(const QColor &c)
{
    return c.isValid() && c.blue() > 200 && c.red() < 60 && c.green() < 60;
}

} // namespace

class TestWebcam : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ManualClock> clock;
    std::unique_ptr<FakeCapture> camera;
    std::unique_ptr<Webcam> webcam;
    bool ftpConnected = false;
    int storageMinute = 0;

    QString path(const QString &name) const { return dir->path() + QLatin1Char('/') + name; }

    void readyCamera()
    {
        webcam->InitVideo();
        QVERIFY(webcam->cameraReady());
        camera->calls.clear();
    }

private Q_SLOTS:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        clock = std::make_unique<ManualClock>();
        clock->setLocal(2024, 3, 5, 10, 0, 12);
        camera = std::make_unique<FakeCapture>();
        webcam = std::make_unique<Webcam>(camera.get(), clock.get());
        webcam->setFolder(dir->path() + QLatin1Char('/'));
        ftpConnected = false;
        storageMinute = 600;
        webcam->setFtpConnectedQuery([this] { return ftpConnected; });
        webcam->setLastStorageMinuteQuery([this] { return storageMinute; });
    }

    void cleanup()
    {
        webcam.reset();
        camera.reset();
    }

    void initVideoSetsUpTheFirstDevices()
    {
        camera->config.VideoSource = QStringLiteral("Cam B");
        camera->config.WantDVAudio = true;
        camera->config.CaptureFileName = QStringLiteral("other.avi");
        camera->config.PreallocFileSize = 7;
        const VideoMode vga { 640, 480, QStringLiteral("YUYV"), 30, 30 };
        const VideoMode hd { 1280, 720, QStringLiteral("MJPG"), 5, 30 };
        camera->videoModes = { vga, hd, vga };
        camera->config.VideoCaptureMode = vga;
        camera->audioModes = { AudioMode { 44100, 2, QStringLiteral("16 bit") } };
        camera->dialogs = { 0, 9, 13 };
        QSignalSpy viewSpy(webcam.get(), &Webcam::viewChanged);

        webcam->InitVideo();

        QVERIFY(webcam->cameraReady());
        QCOMPARE(camera->calls,
            (QStringList { "Init", "SaveGraph", "RestoreGraph", "StopPreview", "StopCapture" }));
        const TGraphConfig &c = camera->config;
        QCOMPARE(c.VideoSource, QStringLiteral("Cam A"));
        QCOMPARE(c.AudioSource, QStringLiteral("Mic"));
        QVERIFY(c.WantCapture && c.WantPreview && c.WantBitmaps && c.WantAudio);
        QVERIFY(!c.WantDVAudio && !c.WantAudioPreview);
        QCOMPARE(c.CaptureFileName, QStringLiteral("Capture.avi"));
        QCOMPARE(c.PreallocFileSize, 7); // the rest comes from the control

        const VideoTabView &view = webcam->view();
        QVERIFY(viewSpy.count() >= 1);
        QCOMPARE(view.videoDevice, QStringLiteral("Cam A"));
        QCOMPARE(view.audioDevice, QStringLiteral("Mic"));
        QCOMPARE(view.videoModes,
            (QStringList { "640x480 YUYV 30 fps", "1280x720 MJPG 5-30 fps", "640x480 YUYV 30 fps" }));
        QCOMPARE(view.videoMode, 2); // the last equal mode wins
        QCOMPARE(view.audioModes, QStringList { "44100 Hz stereo 16 bit" });
        QCOMPARE(view.audioMode, -1); // the current audio mode is none of them
        QCOMPARE(
            view.dialogTitles, (QStringList { "Video Format", "Video Capture Pin", "Audio Compressor" }));
        QCOMPARE(view.dialogKinds, (QList<int> { 0, 9, 13 }));

        // The preview start selects what the control reports.
        camera->videoModeIdx = 1;
        camera->audioModeIdx = 0;
        Q_EMIT camera->previewStarted();
        QCOMPARE(webcam->view().videoMode, 1);
        QCOMPARE(webcam->view().audioMode, 0);
    }

    void withoutCameraNothingHappens()
    {
        camera->initResult = false;
        webcam->InitVideo();
        QVERIFY(!webcam->cameraReady());
        // A failed initialisation writes nothing on the tab.
        QCOMPARE(webcam->view(), VideoTabView());

        webcam->StartWebcamShot();
        webcam->Button_actualiza_webcamClick();
        webcam->Button_previsualiza_videoClick();
        webcam->Button_captura_videoClick();
        webcam->Button_fin_previsualiza_videoClick();
        webcam->Button_configura_videoClick();
        webcam->Button_finaliza_videoClick();
        webcam->cbVModesChange(0);
        webcam->cbAModesChange(0);
        webcam->Timer_camaraTimer();
        Q_EMIT camera->bitmapGrabbed(solidPicture(Qt::red));
        QCOMPARE(camera->calls, QStringList { "Init" });
        QCOMPARE(webcam->shotState(), int(Webcam::ShotIdle));
        QVERIFY(!webcam->shotTimerActive());
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList());
    }

    void shotStoresThreeFiles()
    {
        readyCamera();
        QSignalSpy stored(webcam.get(), &Webcam::pictureStored);
        webcam->StartWebcamShot();
        QCOMPARE(webcam->shotState(), int(Webcam::ShotPreviewing));
        QVERIFY(webcam->shotTimerActive());
        webcam->Timer_camaraTimer();
        QCOMPARE(webcam->shotState(), int(Webcam::ShotRequested));

        clock->setLocal(2024, 3, 5, 10, 0, 22);
        Q_EMIT camera->bitmapGrabbed(solidPicture(Qt::red, 320, 240));

        QCOMPARE(camera->calls, (QStringList { "StartPreview", "CaptureFrame", "StopPreview" }));
        QCOMPARE(webcam->shotState(), int(Webcam::ShotIdle));
        QVERIFY(!webcam->shotTimerActive());
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files, QDir::Name),
            (QStringList { "temp.jpg", "webcam.jpg", "webcam_2024_03_05_0600.jpg" }));
        const QByteArray jpeg = contents(path("temp.jpg"));
        QVERIFY(jpeg.startsWith("\xFF\xD8"));
        QCOMPARE(contents(path("webcam.jpg")), jpeg);
        QCOMPARE(contents(path("webcam_2024_03_05_0600.jpg")), jpeg);
        QCOMPARE(QImage(path("webcam.jpg")).size(), QSize(320, 240));
        QVERIFY(looksRed(middleColour(path("webcam.jpg"))));
        QCOMPARE(stored.count(), 1);
        QCOMPARE(stored.at(0).at(0).toString(), QStringLiteral("webcam_2024_03_05_0600.jpg"));
        QCOMPARE(stored.at(0).at(1).toBool(), true);
    }

    void webcamJpgKeptWhileFtpConnectionOpen()
    {
        readyCamera();
        QFile old(path("webcam.jpg"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("previous picture");
        old.close();

        ftpConnected = true;
        webcam->StartWebcamShot();
        Q_EMIT camera->bitmapGrabbed(solidPicture(Qt::red));
        QCOMPARE(contents(path("webcam.jpg")), QByteArray("previous picture"));
        QVERIFY(looksRed(middleColour(path("webcam_2024_03_05_0600.jpg"))));
        QVERIFY(looksRed(middleColour(path("temp.jpg"))));

        // The next picture after the connection closed is published again.
        ftpConnected = false;
        webcam->Button_captura_videoClick();
        Q_EMIT camera->bitmapGrabbed(solidPicture(Qt::blue));
        QVERIFY(looksBlue(middleColour(path("webcam.jpg"))));
    }

    void twoShotsInTheSameMinuteShareTheDatedName()
    {
        readyCamera();
        webcam->StartWebcamShot();
        webcam->Timer_camaraTimer();
        Q_EMIT camera->bitmapGrabbed(solidPicture(Qt::red));
        // Later, by hand, before the next data recording.
        clock->setLocal(2024, 3, 5, 10, 4, 0);
        webcam->Button_actualiza_webcamClick();
        webcam->Timer_camaraTimer();
        Q_EMIT camera->bitmapGrabbed(solidPicture(Qt::blue));

        QCOMPARE(QDir(dir->path()).entryList({ "webcam_*" }, QDir::Files),
            QStringList { "webcam_2024_03_05_0600.jpg" });
        QVERIFY(looksBlue(middleColour(path("webcam_2024_03_05_0600.jpg"))));

        // A new recording minute gives a new dated copy.
        storageMinute = 610;
        webcam->Button_captura_videoClick();
        Q_EMIT camera->bitmapGrabbed(solidPicture(Qt::red));
        QCOMPARE(QDir(dir->path()).entryList({ "webcam_*" }, QDir::Files, QDir::Name),
            (QStringList { "webcam_2024_03_05_0600.jpg", "webcam_2024_03_05_0610.jpg" }));
    }

    void secondShotIgnoredWhileOneRuns()
    {
        readyCamera();
        webcam->StartWebcamShot();
        webcam->StartWebcamShot();
        QCOMPARE(webcam->shotState(), int(Webcam::ShotPreviewing));
        webcam->Timer_camaraTimer();
        webcam->Button_actualiza_webcamClick();
        QCOMPARE(webcam->shotState(), int(Webcam::ShotRequested));
        QCOMPARE(camera->calls, (QStringList { "StartPreview", "CaptureFrame" }));
    }

    void failedGrabClosesPreviewAndNextTickEndsShot()
    {
        readyCamera();
        camera->captureResult = false;
        webcam->StartWebcamShot();
        webcam->Timer_camaraTimer();
        QCOMPARE(camera->calls, (QStringList { "StartPreview", "CaptureFrame", "StopPreview" }));
        QCOMPARE(webcam->shotState(), int(Webcam::ShotRequested));
        QVERIFY(webcam->shotTimerActive());
        webcam->Timer_camaraTimer();
        QCOMPARE(webcam->shotState(), int(Webcam::ShotIdle));
        QVERIFY(!webcam->shotTimerActive());
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList());

        // The next shot starts normally.
        webcam->StartWebcamShot();
        QCOMPARE(webcam->shotState(), int(Webcam::ShotPreviewing));
    }

    void timerGivesUpWhenNoPictureArrives()
    {
        readyCamera();
        webcam->setShotInterval(20);
        webcam->StartWebcamShot();
        QTRY_COMPARE(webcam->shotState(), int(Webcam::ShotIdle));
        QVERIFY(!webcam->shotTimerActive());
        QCOMPARE(camera->calls, (QStringList { "StartPreview", "CaptureFrame", "StopPreview" }));
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList());
    }

    void releasingTheCameraEndsTheShot()
    {
        readyCamera();
        webcam->StartWebcamShot();
        webcam->Button_finaliza_videoClick();
        QVERIFY(!webcam->cameraReady());
        QVERIFY(!webcam->shotTimerActive());
        QCOMPARE(webcam->shotState(), int(Webcam::ShotIdle));
        // A late picture after release is not stored.
        Q_EMIT camera->bitmapGrabbed(solidPicture(Qt::red));
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList());

        // Once initialised again, shots are taken again.
        webcam->InitVideo();
        camera->calls.clear();
        webcam->StartWebcamShot();
        QCOMPARE(camera->calls, QStringList { "StartPreview" });
        QCOMPARE(webcam->shotState(), int(Webcam::ShotPreviewing));
    }

    void unusablePictureWritesNothing()
    {
        readyCamera();
        QFile old(path("temp.jpg"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("older picture");
        old.close();
        webcam->StartWebcamShot();
        Q_EMIT camera->bitmapGrabbed(QImage());
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList { "temp.jpg" });
        QCOMPARE(webcam->shotState(), int(Webcam::ShotIdle));
        QVERIFY(!webcam->shotTimerActive());
    }
};

QTEST_MAIN(TestWebcam)
#include "test_webcam.moc"
