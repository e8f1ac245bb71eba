// The main window against real peers on loopback, driven through its controls
// by object name as the operator would: the report mail through aiosmtpd and
// the upload batch through pyftpdlib, under the window's manual clock.

#include "app/message_sink.h"
#include "app/orvalla.h"
#include "common/clock.h"
#include "common/files.h"
#include "common/text.h"
#include "net/ftp_client.h"
#include "tests/e2e/ftp/ftp_peers.h"
#include "tests/support/python_peer.h"
#include "tests/support/window_folder.h"
#include "tests/webcam/fakecapture.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
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
    std::unique_ptr<testsupport::WindowFolder> m_dir;
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
        m_dir = std::make_unique<testsupport::WindowFolder>();
        QVERIFY(m_dir->isValid());
        m_sink = RecordingMessageSink();
    }

    void cleanup() { m_dir.reset(); }

    void reportMailIsDatedByTheWindowsClock()
    {
        testsupport::PythonPeer server;
        const QString records = m_dir->filePath(QStringLiteral("received.jsonl"));
        const QString error = server.start(testsupport::PythonPeer::Peer::Smtp,
            { m_dir->filePath(QStringLiteral("mailbox")), QStringLiteral("orvalla"),
                QStringLiteral("segredo"), QStringLiteral("--records"), records });
        QVERIFY2(error.isEmpty(), qPrintable(error));

        // Years away from the machine's own clock.
        m_clock.setLocal(2031, 7, 4, 18, 30, 15); // 16:30:15 UTC, summer time
        auto w = makeWindow();
        field(*w, "Edit_servidor_smtp")->setText(QStringLiteral("127.0.0.1"));
        field(*w, "Edit_porto_smtp")->setText(QString::number(server.port()));
        field(*w, "Edit_usuario_smtp")->setText(QStringLiteral("orvalla"));
        field(*w, "Edit_clave_smtp")->setText(QStringLiteral("segredo"));
        field(*w, "Edit_remitente_smtp")->setText(QStringLiteral("estacion@example.org"));
        field<QPlainTextEdit>(*w, "Memo_destinatarios_smtp")->setPlainText(QStringLiteral("ana@example.org"));
        w->Timer_reloxoTimer(); // the window's clock fields take the time
        field<QPushButton>(*w, "Button_smtp_transmit2")->click();

        QList<QByteArray> message;
        const auto arrived = [&] {
            QByteArray bytes;
            if (!readFile(records, &bytes) || bytes.isEmpty())
                return false;
            const QJsonObject o = QJsonDocument::fromJson(splitLines(bytes).first()).object();
            message
                = splitLines(QByteArray::fromBase64(o.value(QStringLiteral("data")).toString().toLatin1()));
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(arrived(), 20000);
        QVERIFY(message.contains("Subject: informaci\xF3n meteorol\xF3xica 04/07/2031  18:30:15"));
        QVERIFY2(message.contains("Date: Fri, 4 Jul 2031 16:30:15 GMT"), message.join('\n').constData());
        const QByteArray id = message.value(message.indexOf(QByteArray("Mime-Version: 1.0")) + 3);
        QVERIFY2(id.startsWith("Message-ID: <20310704163015"), id.constData());
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
