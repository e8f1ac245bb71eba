// A 100 MB upload by FtpClient::Transmit against `curl -T` to the same local
// server (pyftpdlib on 127.0.0.1), both in active mode (curl -P 127.0.0.1), in
// alternating rounds of one run. The engine's figure includes its whole
// session (connect, log in, TYPE, PORT, STOR, QUIT), as curl's does.
//
// usage: bench_ftp [megabytes] [rounds]   (default 100 MB, 7 rounds)

#include "bench/bench_util.h"
#include "net/ftp_client.h"
#include "tests/support/python_peer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

using namespace orvalla;

namespace
{

const QString kUser = QStringLiteral("bench");
const QString kPassword = QStringLiteral("bench-pw");

bool writeLocalFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    QRandomGenerator random(2024);
    for (qint64 written = 0; written < size; written += chunk.size()) {
        random.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        const qint64 n = qMin<qint64>(chunk.size(), size - written);
        if (file.write(chunk.constData(), n) != n)
            return false;
    }
    return true;
}

QString rate(double bytes, double seconds)
{
    return QString::number(bytes / seconds / 1e6, 'f', 0) + QStringLiteral(" MB/s");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 size = (argc > 1 ? qMax(1, atoi(argv[1])) : 100) * qint64(1000 * 1000);
    const int rounds = argc > 2 ? qMax(1, atoi(argv[2])) : 7;

    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty()) {
        std::fprintf(stderr, "curl not found\n");
        return 1;
    }
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString root = dir.filePath(QStringLiteral("root"));
    const QString local = dir.filePath(QStringLiteral("upload.bin"));
    if (!QDir().mkpath(root) || !writeLocalFile(local, size)) {
        std::fprintf(stderr, "cannot prepare the files in %s\n", qPrintable(dir.path()));
        return 1;
    }

    // The demo's FTP server, as the end-to-end tests run it.
    testsupport::PythonPeer server;
    const QString error = server.start(testsupport::PythonPeer::Peer::Ftp, { root, kUser, kPassword });
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const quint16 port = server.port();

    const QString stored = root + QStringLiteral("/stored.bin");
    auto storedSize = [&] { return QFileInfo(stored).size(); };
    QList<double> engineSeconds, curlSeconds;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        QFile::remove(stored);
        FtpClient client;
        client.setHostName(QStringLiteral("127.0.0.1"));
        client.setPort(QString::number(port));
        client.setUserName(kUser);
        client.setPassWord(kPassword);
        client.setHostFileName(QStringLiteral("stored.bin"));
        client.setLocalFileName(local);
        client.setBinary(true);
        client.setTimeout(15);
        QElapsedTimer timer;
        timer.start();
        const bool sent = client.Transmit();
        engineSeconds.append(double(timer.nsecsElapsed()) / 1e9);
        if (!sent || storedSize() != size) {
            std::fprintf(stderr, "Transmit failed: %d %s (stored %lld bytes)\n", client.ErrorCode(),
                qPrintable(client.ErrorMessage()), qlonglong(storedSize()));
            ok = false;
            break;
        }

        QFile::remove(stored);
        QProcess upload;
        upload.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        timer.start();
        upload.start(curl,
            { QStringLiteral("-sS"), QStringLiteral("-P"), QStringLiteral("127.0.0.1"),
                QStringLiteral("--user"), kUser + QLatin1Char(':') + kPassword, QStringLiteral("-T"), local,
                QStringLiteral("ftp://127.0.0.1:%1/stored.bin").arg(port) });
        const bool finished = upload.waitForFinished(120000);
        curlSeconds.append(double(timer.nsecsElapsed()) / 1e9);
        if (!finished || upload.exitCode() != 0 || storedSize() != size) {
            std::fprintf(stderr, "curl failed: exit %d (stored %lld bytes)\n", upload.exitCode(),
                qlonglong(storedSize()));
            ok = false;
        }
        std::fprintf(stderr, "round %d: Transmit %.2f s, curl %.2f s\n", round + 1, engineSeconds.last(),
            curlSeconds.last());
    }
    QFile::remove(stored);
    server.stop();
    if (!ok)
        return 1;

    const double e = bench::median(engineSeconds), c = bench::median(curlSeconds);
    bench::result(
        QStringLiteral("ftp upload: %1x curl's throughput (median %2 vs %3, %4 MB, active mode, %5 rounds)")
            .arg(QString::number(c / e, 'f', 2), rate(double(size), e), rate(double(size), c))
            .arg(size / 1000000)
            .arg(rounds));
    return 0;
}
