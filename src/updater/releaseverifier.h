#pragma once

#include <QByteArray>
#include <QString>

// Decides whether an unpacked release is one we made: "release.sig" must be our
// release key's Ed25519 signature of "release.json", the manifest must name the
// version the server announced, and the folder must hold exactly the files it
// lists, byte for byte.
class ReleaseVerifier
{
public:
    // The 32-byte public key this build trusts (compiled in).
    static QByteArray trustedKey();

    // Key and signature files hold base64 on one line, a line end allowed after it.
    // An empty array when the text is not base64 of exactly `bytes` bytes.
    static QByteArray decodeKeyText(const QByteArray &text, int bytes);

    static bool signatureMatches(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey);

    // Empty when `folder` holds release `announcedVersion` signed by `publicKey`;
    // otherwise why not, in a few words for the log ("bad signature", "version 7.25
    // offered as 7.27", "file Quillmark.exe differs", "file x.dll not listed",
    // "file y.dll missing").
    static QString verify(const QString &folder, const QString &announcedVersion, const QByteArray &publicKey);
};
