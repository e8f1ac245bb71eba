#pragma once

// What the FTP and SMTP clients share when they speak TLS: which certificates
// they trust, and how a handshake's outcome or refusal reads on the result
// memos.

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

class QSslSocket;

namespace orvalla
{

// The client configuration: the system's authorities plus those of the PEM
// file at trustedFile (empty: the system's only), the peer always verified.
// False, with the reason, when the file cannot be read or holds no
// certificate: trusting less than the operator named would only fail later
// with a less helpful message.
bool tlsClientConfiguration(const QString &trustedFile, QSslConfiguration *configuration, QString *error);

// "TLSv1.3, TLS_AES_256_GCM_SHA384" for an encrypted socket.
QString tlsOutcome(const QSslSocket &socket);

// Why a server's certificate was refused, in a few words first ("expired
// certificate", "certificate for another name", "unknown authority"), then
// what the TLS library said.
QString tlsRefusal(const QList<QSslError> &errors);

} // namespace orvalla
