#include "net/sockets.h"

#include <QAbstractSocket>

#include <arpa/inet.h>
#include <netdb.h>

namespace orvalla
{

quint16 tcpPortNumber(const QString &text)
{
    const QString name = text.trimmed();
    bool ok = false;
    const uint number = name.toUInt(&ok);
    if (ok)
        return number >= 1 && number <= 65535 ? quint16(number) : 0;
    // The fields' own defaults work even without a services database.
    if (name.compare(QLatin1String("ftp"), Qt::CaseInsensitive) == 0)
        return 21;
    if (name.compare(QLatin1String("smtp"), Qt::CaseInsensitive) == 0)
        return 25;
    if (name.isEmpty())
        return 0;
    const QByteArray latin = name.toLatin1();
    if (const servent *entry = ::getservbyname(latin.constData(), "tcp"))
        return ntohs(quint16(entry->s_port));
    return 0;
}

void discardSocket(QAbstractSocket *socket, const QObject *receiver)
{
    if (!socket)
        return;
    socket->disconnect(receiver);
    socket->abort();
    socket->deleteLater();
}

} // namespace orvalla
