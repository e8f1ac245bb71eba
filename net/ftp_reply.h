#pragma once

// The pure parts of the FTP control dialogue: cutting replies out of the
// receive buffer and the texts of a few commands. No sockets here.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

namespace orvalla
{

// One whole reply of the server, single- or multi-line.
struct FtpReply {
    enum Status {
        Complete, // a whole reply: code, lines and consumed are set
        Incomplete, // the reply has not ended yet: wait for more bytes
        Bad, // not an FTP reply, or too long for the receive buffer
    };
    Status status = Incomplete;
    int code = 0; // the code of the final line, which decides
    QList<QByteArray> lines; // every line of the reply, without line ends
    qsizetype consumed = 0; // bytes of the buffer the reply took (Complete only)
};

// Size of the engine's receive buffer: a reply line longer than this is Bad.
inline constexpr qsizetype kFtpReceiveBuffer = 4096;
// A multi-line reply larger than this is Bad, so a server cannot make us grow forever.
inline constexpr qsizetype kFtpMaxReply = 64 * 1024;

// Cuts the first reply off the front of buffer. Lines end at LF, with or
// without CR before it. The first line starts with a three-digit code 100..599
// followed by a blank, '-' or the line end; after "ddd-" the reply runs up to
// the first line that starts with a code followed by a blank or the line end,
// and that final line's code is the reply's (servers pad text lines that
// would start with a number).
FtpReply parseFtpReply(QByteArrayView buffer);

// "PORT h1,h2,h3,h4,p1,p2" for an IPv4 address (host byte order) and a port.
QByteArray ftpPortCommand(quint32 ipv4, quint16 port);

// Where a passive-mode reply sends the data connection.
struct FtpPassiveTarget {
    bool ok = false;
    quint32 ipv4 = 0; // host byte order; 0 for EPSV, which names no address
    quint16 port = 0;
};

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the first six comma-separated
// numbers of the text, brackets or not, as servers vary in how they dress them.
FtpPassiveTarget parsePasvReply(QByteArrayView line);

// "229 Entering Extended Passive Mode (|||port|)": the port between the
// delimiters; the address is the control connection's.
FtpPassiveTarget parseEpsvReply(QByteArrayView line);

// An address no server on the Internet can be reached at: private, shared,
// loopback, link-local, unspecified. A server behind address translation
// announces its inner one of these in its passive reply.
bool ftpUnroutable(quint32 ipv4);

} // namespace orvalla
