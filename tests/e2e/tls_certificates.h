#pragma once

// Certificates for the TLS tests, made by the openssl command line tool in
// the test's own folder.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace tlstest
{

struct Certificate {
    QString cert; // PEM certificate
    QString key; // PEM private key, unencrypted
};

// A self-signed certificate for dnsName (and 127.0.0.1 when withLoopbackIp),
// valid for two days. Empty error when made.
inline QString makeCertificate(
    const QString &folder, const QString &stem, const QString &dnsName, bool withLoopbackIp, Certificate *out)
{
    out->cert = folder + u'/' + stem + QStringLiteral(".pem");
    out->key = folder + u'/' + stem + QStringLiteral(".key");
    QString names = QStringLiteral("subjectAltName=DNS:") + dnsName;
    if (withLoopbackIp)
        names += QStringLiteral(",IP:127.0.0.1");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
        { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
            QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
            QStringLiteral("-nodes"), QStringLiteral("-keyout"), out->key, QStringLiteral("-out"), out->cert,
            QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
            QStringLiteral("/CN=") + dnsName, QStringLiteral("-addext"), names });
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0)
        return QStringLiteral("openssl req failed: ") + QString::fromLocal8Bit(openssl.readAll());
    return {};
}

} // namespace tlstest
