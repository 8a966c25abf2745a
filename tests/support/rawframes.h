#pragma once

#include <QByteArray>
#include <QtGlobal>

// Pieces of a WebSocket server written by hand, for servers that send what no
// well-behaved one would: frames cut short, larger than they are, or huge.

// The "101 Switching Protocols" answer to a client's whole opening request (up to
// its empty line).
QByteArray webSocketHandshakeAnswer(const QByteArray &request);

// The header of an unmasked server frame, FIN and opcode in `first`.
QByteArray serverFrameHeader(quint8 first, quint64 length);

// A whole text frame.
QByteArray serverTextFrame(const QByteArray &payload);
