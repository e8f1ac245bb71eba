// The real capture layer against a camera made in user space: a private
// PipeWire publishes a test pattern of colour bars as "Orvalla-test-camera",
// 640x480 at 15 fps (scripts/virtual-camera.sh). The window is driven through
// its controls by object name; its pictures must be whole JPEGs of the bars.

#include "app/message_sink.h"
#include "app/orvalla.h"
#include "common/clock.h"
#include "common/files.h"
#include "net/ftp_client.h"
#include "tests/e2e/ftp/ftp_peers.h"
#include "tests/support/window_folder.h"
#include "webcam/capturepreview.h"
#include "webcam/graphconfigdialog.h"
#include "webcam/qtvideocapture.h"
#include "webcam/webcam.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMediaDevices>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace orvalla;

namespace
{

const QString kCamera = QStringLiteral("Orvalla-test-camera");
const QString kScript = QStringLiteral(ORVALLA_SOURCE_DIR "/scripts/virtual-camera.sh");

// Runs the camera script; empty when it succeeded, else its output.
QString cameraScript(const QStringList &arguments)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("bash"), QStringList { kScript } + arguments);
    if (!script.waitForFinished(60000)) {
        script.kill();
        script.waitForFinished();
        return QStringLiteral("virtual-camera.sh did not finish");
    }
    if (script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0)
        return {};
    return QStringLiteral("virtual-camera.sh %1 failed (the packages are in scripts/deps.sh): %2")
        .arg(arguments.join(u' '), QString::fromLocal8Bit(script.readAll()));
}

int cameraCount()
{
    int n = 0;
    for (const QCameraDevice &camera : QMediaDevices::videoInputs())
        n += camera.description() == kCamera ? 1 : 0;
    return n;
}

// The SMPTE bars across the top of the picture, left to right, at full level.
const QRgb kBars[] = { qRgb(255, 255, 255), qRgb(255, 255, 0), qRgb(0, 255, 255), qRgb(0, 255, 0),
    qRgb(255, 0, 255), qRgb(255, 0, 0), qRgb(0, 0, 255) };

// Empty when the picture is the 640x480 test pattern, else what differs.
QString barsMismatch(const QImage &picture)
{
    if (picture.size() != QSize(640, 480))
        return QStringLiteral("size %1x%2").arg(picture.width()).arg(picture.height());
    for (int bar = 0; bar < 7; ++bar) {
        const int x = (2 * bar + 1) * 640 / 14;
        const QRgb got = picture.pixel(x, 120);
        const QRgb want = kBars[bar];
        // JPEG and the colour conversion move each level a little, never a bar's worth.
        if (qAbs(qRed(got) - qRed(want)) > 48 || qAbs(qGreen(got) - qGreen(want)) > 48
            || qAbs(qBlue(got) - qBlue(want)) > 48)
            return QStringLiteral("bar %1 is #%2").arg(bar).arg(got & 0xFFFFFF, 6, 16, QLatin1Char('0'));
    }
    return {};
}

// Empty when the file is a whole JPEG of the test pattern, else what is wrong.
QString jpegMismatch(const QString &path)
{
    QByteArray bytes;
    if (!readFile(path, &bytes))
        return path + QStringLiteral(" cannot be read");
    if (!bytes.startsWith("\xFF\xD8") || !bytes.endsWith("\xFF\xD9"))
        return path + QStringLiteral(" is not a whole JPEG");
    const QImage picture = QImage::fromData(bytes, "JPG");
    const QString mismatch = barsMismatch(picture);
    return mismatch.isEmpty() ? QString() : path + u' ' + mismatch;
}

void whenDialogShown(std::function<void(TFGraphConfig *)> action, int attempts = 200)
{
    QTimer::singleShot(10, [action, attempts] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *d = qobject_cast<TFGraphConfig *>(w); d && d->isVisible()) {
                action(d);
                return;
            }
        }
        if (attempts > 0)
            whenDialogShown(action, attempts - 1);
    });
}

} // namespace

class TestE2eWebcam : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_cameraDir;
    std::unique_ptr<testsupport::WindowFolder> m_dir;
    ManualClock m_clock;
    RecordingMessageSink m_sink;

    template <typename T = QLineEdit> static T *field(TOrvalla &w, const char *name)
    {
        T *f = w.findChild<T *>(QLatin1String(name));
        if (!f)
            qFatal("no control %s", name);
        return f;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_cameraDir.isValid());
        const QString dir = m_cameraDir.path();
        // The camera stack stops by itself should this test die.
        const QString error = cameraScript(
            { QStringLiteral("start"), dir, QString::number(QCoreApplication::applicationPid()) });
        if (!error.isEmpty())
            QFAIL(qPrintable(error));
        // Set before the media back end first looks for cameras.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir + QStringLiteral("/xdg")));
        qputenv(
            "DBUS_SESSION_BUS_ADDRESS", QFile::encodeName(QStringLiteral("unix:path=") + dir + "/xdg/bus"));
        QTRY_COMPARE_WITH_TIMEOUT(cameraCount(), 1, 10000);
    }

    void cleanupTestCase()
    {
        const QString error = cameraScript({ QStringLiteral("stop"), m_cameraDir.path() });
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void init()
    {
        m_dir = std::make_unique<testsupport::WindowFolder>();
        QVERIFY(m_dir->isValid());
        m_sink = RecordingMessageSink();
    }

    void cleanup() { m_dir.reset(); }

    // Asking for a picture the moment the camera starts, before any frame has
    // flowed, is the case that crashes inside the media back end when the
    // still is taken too early.
    void grabRightAfterTheCameraStarts()
    {
        QtVideoCapture capture;
        QVERIFY(capture.Init());
        TGraphConfig config;
        capture.SaveGraph(config);
        QCOMPARE(config.VideoSource, kCamera);
        capture.RestoreGraph(config);
        QSignalSpy grabbed(&capture, &TVideoCapture::bitmapGrabbed);
        QElapsedTimer took;
        took.start();
        for (int run = 0; run < 20; ++run) {
            // Half the runs with the preview on, half with the grab starting the camera.
            if (run % 2 == 0)
                capture.StartPreview();
            QVERIFY(capture.CaptureFrame());
            QVERIFY2(grabbed.wait(10000), qPrintable(QStringLiteral("run %1").arg(run)));
            const QImage picture = grabbed.takeFirst().at(0).value<QImage>();
            QCOMPARE(picture.format(), QImage::Format_RGB888);
            const QString mismatch = barsMismatch(picture);
            QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
            // A grab that started the camera stops it again.
            QCOMPARE(capture.streaming(), run % 2 == 0);
            capture.StopPreview();
            QVERIFY(!capture.streaming());
        }
        qInfo("20 grabs in %lld ms", qint64(took.elapsed()));
    }

    void consoleButtonsAndTheTimedShot()
    {
        QVERIFY(replaceFile(QStringLiteral("meteo.cfg"), "Modo simulado = 1\r\nEnvio imaxe webcam = 1\r\n"));
        m_clock.setLocal(2026, 12, 9, 10, 15, 0);
        auto w = std::make_unique<TOrvalla>(m_clock, &m_sink);
        w->findChild<QTimer *>(QStringLiteral("Timer_reloxo"))->stop();
        w->show();

        // Start-up initialised the camera from the settings.
        QVERIFY(w->webcam().cameraReady());
        QCOMPARE(field(*w, "Edit_video")->text(), kCamera);
        auto *modes = field<QComboBox>(*w, "cbVModes");
        QCOMPARE(modes->count(), 1);
        QVERIFY2(modes->itemText(0).contains(QStringLiteral("640")) && modes->itemText(0).contains(u"480"),
            qPrintable(modes->itemText(0)));

        // "Inicializar" finds it again.
        field(*w, "Edit_video")->clear();
        field<QPushButton>(*w, "Button_inicializa_video")->click();
        QVERIFY(w->webcam().cameraReady());
        QCOMPARE(field(*w, "Edit_video")->text(), kCamera);

        // The settings dialog lists the camera.
        QStringList listed;
        whenDialogShown([&](TFGraphConfig *d) {
            for (int i = 0; i < d->cbVSources->count(); ++i)
                listed << d->cbVSources->itemText(i);
            d->findChild<QPushButton *>(QStringLiteral("btnOK"))->click();
        });
        field<QPushButton>(*w, "Button_configura_video")->click();
        QCOMPARE(listed, QStringList { kCamera });
        QCOMPARE(modes->count(), 1);

        // "Inicio vivo" shows the camera's picture.
        auto *preview = w->findChild<CapturePreview *>(QStringLiteral("VideoCapturePreview"));
        QVERIFY(preview);
        QVERIFY(preview->picture().isNull());
        field<QPushButton>(*w, "Button_previsualiza_video")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!preview->picture().isNull(), 10000);
        QCOMPARE(barsMismatch(preview->picture()), QString());

        // "Captura" stores the picture under the three names.
        QSignalSpy stored(&w->webcam(), &Webcam::pictureStored);
        field<QPushButton>(*w, "Button_captura_video")->click();
        QVERIFY(stored.wait(10000));
        QCOMPARE(stored.takeFirst(), (QVariantList { QStringLiteral("webcam_2026_12_09_0000.jpg"), true }));
        for (const char *name : { "temp.jpg", "webcam_2026_12_09_0000.jpg", "webcam.jpg" })
            QCOMPARE(jpegMismatch(QLatin1String(name)), QString());
        QByteArray first;
        QVERIFY(readFile(QStringLiteral("webcam.jpg"), &first));

        // The timed shot at the storage boundary, while an FTP connection is
        // open: the dated copy is written, "webcam.jpg" stays.
        const QString root = m_dir->filePath(QStringLiteral("server"));
        QVERIFY(QDir().mkpath(root));
        ftptest::PyFtpServer server;
        const QString error = server.start(root, QStringLiteral("web"), QStringLiteral("clave"));
        if (!error.isEmpty())
            QFAIL(qPrintable(error));
        auto *ftp = w->findChild<FtpClient *>(QStringLiteral("ClienteFtp"));
        ftp->setHostName(QStringLiteral("127.0.0.1"));
        ftp->setPort(QString::number(server.port()));
        ftp->setUserName(QStringLiteral("web"));
        ftp->setPassWord(QStringLiteral("clave"));
        QVERIFY(ftp->Connect());
        QVERIFY(QFile::remove(QStringLiteral("temp.jpg")));

        auto *shotTimer = w->findChild<QTimer *>(QStringLiteral("Timer_camara"));
        shotTimer->setInterval(1000);
        m_clock.setLocal(2026, 12, 9, 10, 20, 0);
        w->Timer_reloxoTimer();
        QCOMPARE(w->webcam().shotState(), int(Webcam::ShotPreviewing));
        QVERIFY(stored.wait(15000));
        QCOMPARE(stored.takeFirst(), (QVariantList { QStringLiteral("webcam_2026_12_09_0620.jpg"), false }));
        for (const char *name : { "temp.jpg", "webcam_2026_12_09_0620.jpg" })
            QCOMPARE(jpegMismatch(QLatin1String(name)), QString());
        QByteArray kept;
        QVERIFY(readFile(QStringLiteral("webcam.jpg"), &kept));
        QCOMPARE(kept, first);
        QCOMPARE(w->webcam().shotState(), int(Webcam::ShotIdle));
        QVERIFY(!shotTimer->isActive());

        // With the connection closed, the next shot replaces "webcam.jpg".
        QVERIFY(ftp->Quit());
        QVERIFY(!ftp->Connected());
        m_clock.setLocal(2026, 12, 9, 10, 30, 0);
        w->Timer_reloxoTimer();
        QVERIFY(stored.wait(15000));
        QCOMPARE(stored.takeFirst(), (QVariantList { QStringLiteral("webcam_2026_12_09_0630.jpg"), true }));
        for (const char *name : { "temp.jpg", "webcam_2026_12_09_0630.jpg", "webcam.jpg" })
            QCOMPARE(jpegMismatch(QLatin1String(name)), QString());

        // "Finalizar" and the close release the camera.
        field<QPushButton>(*w, "Button_finaliza_video")->click();
        QVERIFY(!w->webcam().cameraReady());
        w->close();
        QVERIFY(m_sink.errors.isEmpty());
    }
};

QTEST_MAIN(TestE2eWebcam)
#include "test_e2e_webcam.moc"
