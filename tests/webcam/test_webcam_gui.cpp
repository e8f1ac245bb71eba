#include "common/clock.h"
#include "webcam/capturepreview.h"
#include "webcam/graphconfigdialog.h"
#include "webcam/qtvideocapture.h"
#include "webcam/webcam.h"

#include "fakecapture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

using namespace orvalla;

namespace
{

// Acts on the settings dialog once its modal loop runs, so exec() never blocks a test.
void whenDialogShown(std::function<void(TFGraphConfig *)> action, int attempts = 200)
{
    QTimer::singleShot(attempts == 200 ? 0 : 10, [action, attempts] {
        TFGraphConfig *shown = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *d = qobject_cast<TFGraphConfig *>(w); d && d->isVisible())
                shown = d;
        }
        if (shown)
            action(shown);
        else if (attempts > 0)
            whenDialogShown(action, attempts - 1);
    });
}

void click(TFGraphConfig *dialog, const char *button)
{
    auto *b = dialog->findChild<QPushButton *>(QString::fromLatin1(button));
    QVERIFY(b);
    b->click();
}

// A record that differs from the defaults everywhere.
TGraphConfig unusualConfig()
{
    TGraphConfig c;
    c.WantCapture = false;
    c.WantPreview = false;
    c.WantBitmaps = false;
    c.WantAudio = false;
    c.WantDVAudio = false;
    c.WantAudioPreview = false;
    c.UseTempFile = true;
    c.DoPreallocFile = true;
    c.PreallocFileSize = 42;
    c.CaptureFileName = QStringLiteral("c:\\video\\out.avi");
    c.TempCaptureFileName = QStringLiteral("t.avi");
    c.DVResolution = dvrHalf;
    c.BitmapPixelFormat = pf8bit;
    c.VideoCaptureMode = VideoMode { 320, 240, QStringLiteral("YUYV"), 15, 15 };
    c.AudioCaptureMode = AudioMode { 8000, 1, QStringLiteral("8 bit") };
    c.VideoSource = QStringLiteral("Cam B");
    c.AudioSource = QStringLiteral("Mic");
    c.VideoCompressor = QStringLiteral("H.264");
    c.AudioCompressor = QStringLiteral("PCM");
    c.CompressorState = QByteArray("\x01\x02", 2);
    return c;
}

} // namespace

class TestWebcamGui : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void missingSourceKeepsFirstDeviceAndOkStoresIt()
    {
        FakeCapture camera;
        TGraphConfig config;
        config.VideoSource = QStringLiteral("Unplugged camera");
        config.AudioSource = QStringLiteral("Unplugged microphone");
        whenDialogShown([](TFGraphConfig *d) {
            QCOMPARE(d->cbVSources->currentText(), QStringLiteral("Cam A"));
            QCOMPARE(d->cbASources->currentText(), QStringLiteral("Mic"));
            click(d, "btnOK");
        });
        QVERIFY(EditGraphConfig(config, camera));
        QCOMPARE(config.VideoSource, QStringLiteral("Cam A"));
        QCOMPARE(config.AudioSource, QStringLiteral("Mic"));

        // A source that exists is kept.
        config.VideoSource = QStringLiteral("Cam B");
        whenDialogShown([](TFGraphConfig *d) { click(d, "btnOK"); });
        QVERIFY(EditGraphConfig(config, camera));
        QCOMPARE(config.VideoSource, QStringLiteral("Cam B"));
    }

    void cancelLeavesRecordUntouched()
    {
        FakeCapture camera;
        TGraphConfig config = unusualConfig();
        config.VideoSource = QStringLiteral("gone");
        const TGraphConfig before = config;
        whenDialogShown([](TFGraphConfig *d) {
            d->cbWantAudio->click();
            d->feCaptureFile->setText(QStringLiteral("changed.avi"));
            d->cbVComp->click();
            click(d, "btnCancel");
        });
        QVERIFY(!EditGraphConfig(config, camera));
        QVERIFY(config == before);
    }

    void okStoresTheDialogAndResetsTheRest()
    {
        FakeCapture camera;
        TGraphConfig config = unusualConfig();
        whenDialogShown([](TFGraphConfig *d) { click(d, "btnOK"); });
        QVERIFY(EditGraphConfig(config, camera));

        TGraphConfig expected = unusualConfig();
        // Not shown by the dialog: back to the control's own defaults.
        expected.WantAudioPreview = true;
        expected.VideoCaptureMode = VideoMode();
        expected.AudioCaptureMode = AudioMode();
        expected.CompressorState.clear();
        QVERIFY(config == expected);
    }

    void compressorStoredOnlyWhileTicked_data()
    {
        QTest::addColumn<QString>("saved");
        QTest::addColumn<bool>("untick");
        QTest::addColumn<bool>("tickedAtStart");
        QTest::addColumn<QString>("stored");
        QTest::newRow("listed") << "MJPEG" << false << true << "MJPEG";
        QTest::newRow("listed, box cleared") << "MJPEG" << true << true << "";
        QTest::newRow("not listed") << "DivX" << false << false << "";
    }

    void compressorStoredOnlyWhileTicked()
    {
        QFETCH(QString, saved);
        QFETCH(bool, untick);
        QFETCH(bool, tickedAtStart);
        QFETCH(QString, stored);
        FakeCapture camera;
        TGraphConfig config;
        config.VideoCompressor = saved;
        config.AudioCompressor = QStringLiteral("PCM");
        whenDialogShown([=](TFGraphConfig *d) {
            QCOMPARE(d->cbVComp->isChecked(), tickedAtStart);
            QCOMPARE(d->cbVComps->isEnabled(), tickedAtStart);
            if (untick)
                d->cbVComp->click();
            click(d, "btnOK");
        });
        QVERIFY(EditGraphConfig(config, camera));
        QCOMPARE(config.VideoCompressor, stored);
        QCOMPARE(config.AudioCompressor, QStringLiteral("PCM"));
    }

    void clickRulesEnableTheirControls_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("dependents");
        QTest::newRow("preview") << "cbWantPreview" << QStringList { "cbWantBitmaps" };
        QTest::newRow("audio") << "cbWantAudio" << QStringList { "cbASources" };
        QTest::newRow("capture") << "cbWantCapture"
                                 << QStringList { "feCaptureFile", "cbDoPreallocCaptureFile",
                                        "cbUseTempFile" };
        QTest::newRow("temp file") << "cbUseTempFile" << QStringList { "feTempFile" };
        QTest::newRow("prealloc") << "cbDoPreallocCaptureFile" << QStringList { "sePreallocSize" };
        QTest::newRow("video compressor") << "cbVComp" << QStringList { "cbVComps" };
        QTest::newRow("audio compressor") << "cbAComp" << QStringList {};
    }

    void clickRulesEnableTheirControls()
    {
        QFETCH(QString, box);
        QFETCH(QStringList, dependents);
        const QStringList controlled { "cbWantBitmaps", "cbASources", "feCaptureFile",
            "cbDoPreallocCaptureFile", "cbUseTempFile", "feTempFile", "sePreallocSize", "cbVComps",
            "cbAComps" };
        FakeCapture camera;
        TFGraphConfig dialog(camera);
        TGraphConfig config;
        config.UseTempFile = true;
        config.DoPreallocFile = true;
        config.VideoCompressor = QStringLiteral("MJPEG");
        config.AudioCompressor = QStringLiteral("PCM");
        dialog.loadFrom(config);
        // Every box ticked: every control enabled.
        for (const QString &name : controlled)
            QVERIFY2(dialog.findChild<QWidget *>(name)->isEnabled(), qPrintable(name));

        auto *checkBox = dialog.findChild<QCheckBox *>(box);
        QVERIFY(checkBox);
        for (bool ticked : { false, true }) {
            checkBox->click();
            QCOMPARE(checkBox->isChecked(), ticked);
            for (const QString &name : controlled) {
                auto *w = dialog.findChild<QWidget *>(name);
                QVERIFY2(w, qPrintable(name));
                QCOMPARE(w->isEnabled(), dependents.contains(name) ? ticked : true);
            }
        }
    }

    void loadedRecordSetsDependentControls()
    {
        FakeCapture camera;
        TFGraphConfig dialog(camera);
        dialog.loadFrom(unusualConfig());
        QVERIFY(!dialog.cbWantBitmaps->isEnabled());
        QVERIFY(!dialog.cbASources->isEnabled());
        QVERIFY(!dialog.feCaptureFile->isEnabled());
        QVERIFY(dialog.feTempFile->isEnabled());
        QVERIFY(dialog.sePreallocSize->isEnabled());
        QCOMPARE(dialog.sePreallocSize->value(), 42);
        QCOMPARE(dialog.cbVComps->currentText(), QStringLiteral("H.264"));
        // After loading, a click toggles between ticked and cleared only.
        dialog.cbWantAudio->click();
        QCOMPARE(dialog.cbWantAudio->checkState(), Qt::Checked);
        dialog.cbWantAudio->click();
        QCOMPARE(dialog.cbWantAudio->checkState(), Qt::Unchecked);
    }

    void configureButtonRestoresOnOkOnly()
    {
        ManualClock clock;
        FakeCapture camera;
        Webcam webcam(&camera, &clock);
        webcam.InitVideo();
        camera.calls.clear();

        whenDialogShown([](TFGraphConfig *d) { click(d, "btnCancel"); });
        webcam.Button_configura_videoClick();
        QCOMPARE(camera.calls, QStringList { "SaveGraph" });

        camera.calls.clear();
        whenDialogShown([](TFGraphConfig *d) {
            d->cbVSources->setCurrentIndex(1);
            click(d, "btnOK");
        });
        webcam.Button_configura_videoClick();
        QCOMPARE(camera.calls, (QStringList { "SaveGraph", "RestoreGraph" }));
        QCOMPARE(camera.config.VideoSource, QStringLiteral("Cam B"));
        QCOMPARE(webcam.view().videoDevice, QStringLiteral("Cam B"));
    }

    void realLayerWithoutCamera()
    {
        if (!QMediaDevices::videoInputs().isEmpty())
            QSKIP("a camera is present");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        ManualClock clock;
        auto capture = std::make_unique<QtVideoCapture>();
        QVERIFY(capture->previewWidget());
        Webcam webcam(capture.get(), &clock);
        webcam.setFolder(dir.path() + QLatin1Char('/'));

        webcam.InitVideo();
        QVERIFY(!webcam.cameraReady());
        QCOMPARE(webcam.view(), VideoTabView());
        webcam.StartWebcamShot();
        webcam.Timer_camaraTimer();
        QCOMPARE(webcam.shotState(), int(Webcam::ShotIdle));
        QVERIFY(!webcam.shotTimerActive());
        QVERIFY(!capture->CaptureFrame());
        QCOMPARE(capture->GetVCapModeCount(), 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());

        // The dialog opens on the empty lists and stores empty sources.
        TGraphConfig config;
        capture->SaveGraph(config);
        whenDialogShown([](TFGraphConfig *d) { click(d, "btnOK"); });
        QVERIFY(EditGraphConfig(config, *capture));
        QCOMPARE(config.VideoSource, QString());
    }

    void previewKeepsThePicturesProportions()
    {
        CapturePreview preview;
        preview.resize(200, 100);
        QCOMPARE(preview.grab().toImage().pixelColor(100, 50), QColor(Qt::black));
        QImage square(40, 40, QImage::Format_RGB32);
        square.fill(Qt::red);
        preview.setPicture(square);
        const QImage shown = preview.grab().toImage();
        QCOMPARE(shown.pixelColor(100, 50), QColor(Qt::red));
        QCOMPARE(shown.pixelColor(100, 2), QColor(Qt::red));
        // Beside the square, not stretched over the whole width.
        QCOMPARE(shown.pixelColor(10, 50), QColor(Qt::black));
        QCOMPARE(shown.pixelColor(190, 50), QColor(Qt::black));
        // Stopping the preview clears it.
        preview.setPicture(QImage());
        QCOMPARE(preview.grab().toImage().pixelColor(100, 50), QColor(Qt::black));
    }

    void previewWidgetOutlivesOrNotTheLayer()
    {
        // The window owns the widget once it places it; either may go first.
        {
            auto tab = std::make_unique<QWidget>();
            auto capture = std::make_unique<QtVideoCapture>();
            capture->previewWidget()->setParent(tab.get());
            tab.reset();
            capture.reset();
        }
        {
            auto tab = std::make_unique<QWidget>();
            auto capture = std::make_unique<QtVideoCapture>();
            QPointer<QWidget> widget = capture->previewWidget();
            widget->setParent(tab.get());
            capture.reset();
            QVERIFY(widget);
        }
        {
            auto capture = std::make_unique<QtVideoCapture>();
            QPointer<QWidget> widget = capture->previewWidget();
            capture.reset();
            QVERIFY(!widget);
        }
    }
};

QTEST_MAIN(TestWebcamGui)
#include "test_webcam_gui.moc"
