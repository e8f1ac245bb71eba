// The main window against real peers on loopback, driven through its controls
// by object name as the operator would, under the window's manual clock.

#include "app/message_sink.h"
#include "app/orvalla.h"
#include "common/clock.h"
#include "net/ftp_client.h"
#include "tests/e2e/ftp/ftp_peers.h"
#include "tests/webcam/fakecapture.h"

#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace orvalla;

class TestE2eWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
    ManualClock m_clock;
    RecordingMessageSink m_sink;

    std::unique_ptr<TOrvalla> makeWindow()
    {
        TOrvallaOptions options;
        auto none = std::make_unique<FakeCapture>();
        none->initResult = false;
        none->videoDevices.clear();
        none->audioDevices.clear();
        options.capture = std::move(none);
        auto w = std::make_unique<TOrvalla>(m_clock, &m_sink, std::move(options));
        // Nothing but the test moves the clock.
        w->findChild<QTimer *>(QStringLiteral("Timer_reloxo"))->stop();
        return w;
    }

    template <typename T = QLineEdit> static T *field(TOrvalla &w, const char *name)
    {
        T *f = w.findChild<T *>(QLatin1String(name));
        if (!f)
            qFatal("no control %s", name);
        return f;
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        qputenv("ORVALLA_SERIAL_PORT", QFile::encodeName(m_dir->filePath(QStringLiteral("no-such-device"))));
        m_sink = RecordingMessageSink();
    }

    void cleanup()
    {
        QDir::setCurrent(m_previousDir);
        m_dir.reset();
    }

    void uploadListIsReadLiveDuringABatch()
    {
        const QString root = m_dir->filePath(QStringLiteral("server"));
        QVERIFY(QDir().mkpath(root));
        ftptest::PyFtpServer ftp;
        const QString error = ftp.start(root, QStringLiteral("web"), QStringLiteral("clave"));
        if (!error.isEmpty())
            QFAIL(qPrintable(error));
        const QString local = m_dir->filePath(QStringLiteral("local")) + u'/';
        QVERIFY(QDir().mkpath(local));
        for (const char *name : { "a.txt", "b.txt", "c.txt" })
            QVERIFY(ftptest::writeBytes(local + QLatin1String(name), name));

        m_clock.setLocal(2026, 12, 7, 10, 14, 30);
        auto w = makeWindow();
        field(*w, "Edit_ftp_hostname")->setText(QStringLiteral("127.0.0.1"));
        field(*w, "Edit_ftp_port")->setText(QString::number(ftp.port()));
        field(*w, "Edit_ftp_username")->setText(QStringLiteral("web"));
        field(*w, "Edit_ftp_clave")->setText(QStringLiteral("clave"));
        field(*w, "Edit_ftp_ruta_local_ficheiro")->setText(local);
        field(*w, "Edit_ftp_ruta_remota_ficheiro")->clear();
        auto *list = field<QPlainTextEdit>(*w, "Memo_ftp_nome_ficheiro");
        list->setPlainText(QStringLiteral("a.txt\nb.txt"));

        // While the first file is on its way the operator edits the list.
        auto *client = w->findChild<FtpClient *>(QStringLiteral("ClienteFtp"));
        QVERIFY(client);
        connect(client, &FtpClient::display, list, [list](const QString &line) {
            if (line == QLatin1String("> STOR a.txt"))
                list->setPlainText(QStringLiteral("a.txt\nc.txt"));
        });
        field<QPushButton>(*w, "Button_ftp_transmit")->click(); // "envio completo": blocks until done

        QCOMPARE(QDir(root).entryList(QDir::Files), (QStringList { "a.txt", "c.txt" }));
        QCOMPARE(ftptest::readBytes(root + QStringLiteral("/c.txt")), QByteArray("c.txt"));
    }
};

QTEST_MAIN(TestE2eWindow)
#include "test_e2e_window.moc"
