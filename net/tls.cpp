#include "net/tls.h"

#include <QFile>
#include <QSslCipher>
#include <QSslSocket>

namespace orvalla
{

bool tlsClientConfiguration(const QString &trustedFile, QSslConfiguration *configuration, QString *error)
{
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setPeerVerifyMode(QSslSocket::VerifyPeer);
    c.setProtocol(QSsl::SecureProtocols);
    // The FTP data connections resume the control connection's session.
    c.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    if (!trustedFile.isEmpty()) {
        QFile file(trustedFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("trusted certificates %1: %2").arg(trustedFile, file.errorString());
            return false;
        }
        const QList<QSslCertificate> extra = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
        if (extra.isEmpty()) {
            *error
                = QStringLiteral("trusted certificates %1: no PEM certificate in the file").arg(trustedFile);
            return false;
        }
        c.addCaCertificates(extra);
    }
    *configuration = c;
    return true;
}

QString tlsOutcome(const QSslSocket &socket)
{
    const QSslCipher cipher = socket.sessionCipher();
    return QStringLiteral("%1, %2").arg(cipher.protocolString(), cipher.name());
}

QString tlsRefusal(const QList<QSslError> &errors)
{
    QString reason;
    for (const QSslError &e : errors) {
        switch (e.error()) {
        case QSslError::CertificateExpired:
            reason = QStringLiteral("expired certificate");
            break;
        case QSslError::CertificateNotYetValid:
            reason = QStringLiteral("certificate not yet valid");
            break;
        case QSslError::HostNameMismatch:
            reason = QStringLiteral("certificate for another name");
            break;
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
            reason = QStringLiteral("unknown authority");
            break;
        case QSslError::CertificateRevoked:
            reason = QStringLiteral("revoked certificate");
            break;
        default:
            break;
        }
        if (!reason.isEmpty())
            break;
    }
    QStringList texts;
    for (const QSslError &e : errors)
        texts.append(e.errorString());
    if (reason.isEmpty())
        reason = QStringLiteral("certificate refused");
    return QStringLiteral("%1 (%2)").arg(reason, texts.join(QStringLiteral("; ")));
}

} // namespace orvalla
