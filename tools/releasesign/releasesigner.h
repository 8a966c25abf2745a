#pragma once

#include <QByteArray>
#include <QString>

// Signs a release folder as the self-update expects it: "release.json" lists every
// other file with its size and SHA-256, "release.sig" holds the Ed25519 signature of
// that file's exact bytes in base64. The package script (through release-sign) and
// the reference server's update archive both sign here.
class ReleaseSigner
{
public:
    // The 64-byte secret key (seed, then public key) from a key file as
    // scripts/release-key writes it; empty, with the reason, when it is not one.
    static QByteArray readSecretKey(const QString &path, QString *error);
    static QByteArray publicKeyOf(const QByteArray &secretKey);
    // A fresh key pair (secret key as above).
    static QByteArray newSecretKey();

    // The signature line of release.sig for `message`.
    static QByteArray signatureLine(const QByteArray &message, const QByteArray &secretKey);

    // Writes release.json (version `version`) and release.sig into folder, replacing
    // earlier ones. False, with the reason, when the folder cannot be described or written.
    static bool signFolder(const QString &folder, const QString &version, const QByteArray &secretKey,
                           QString *error);
};
