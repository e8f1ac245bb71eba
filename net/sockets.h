#pragma once

// What the FTP and SMTP clients share about their connections: which port a
// port field names, and how a connection is dropped.

#include <QString>

class QAbstractSocket;
class QObject;

namespace orvalla
{

// The server port from the text of a port field: a number 1..65535, or a TCP
// service name ("ftp", "smtp" or another one the system knows). 0 when it
// names no port.
quint16 tcpPortNumber(const QString &text);

// Drops the connection at once. The socket is detached from receiver first, so
// that nothing abort() emits reaches it, and deleted once control is back in
// the event loop (it may be in the middle of emitting). Null does nothing.
void discardSocket(QAbstractSocket *socket, const QObject *receiver);

} // namespace orvalla
