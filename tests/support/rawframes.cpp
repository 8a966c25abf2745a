#include "rawframes.h"

#include <QCryptographicHash>
#include <QList>

QByteArray webSocketHandshakeAnswer(const QByteArray &request)
{
    QByteArray key;
    for (const QByteArray &line : request.split('\n')) {
        if (line.toLower().startsWith("sec-websocket-key:"))
            key = line.mid(18).trimmed();
    }
    const QByteArray accept =
        QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
}

QByteArray serverFrameHeader(quint8 first, quint64 length)
{
    QByteArray header(1, char(first));
    if (length < 126) {
        header += char(length);
    } else if (length < 65536) {
        header += char(126);
        header += char((length >> 8) & 0xff);
        header += char(length & 0xff);
    } else {
        header += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            header += char((length >> shift) & 0xff);
    }
    return header;
}

QByteArray serverTextFrame(const QByteArray &payload)
{
    return serverFrameHeader(0x81, quint64(payload.size())) + payload;
}
