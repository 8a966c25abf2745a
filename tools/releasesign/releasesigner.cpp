#include "releasesigner.h"

#include "common/installfiles.h"
#include "updater/releasemanifest.h"
#include "updater/releaseverifier.h"

#include <QFile>
#include <QSaveFile>

#include <sodium.h>

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

bool writeWhole(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
}

} // namespace

QByteArray ReleaseSigner::readSecretKey(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return QByteArray();
    }
    const QByteArray key = ReleaseVerifier::decodeKeyText(file.read(1024), crypto_sign_SECRETKEYBYTES);
    // The public half must be the one the seed makes, or signatures would not verify.
    if (key.isEmpty() || publicKeyOf(key) != key.right(crypto_sign_PUBLICKEYBYTES)) {
        *error = QStringLiteral("%1 is not a release secret key (base64 of 64 bytes: seed, public key)").arg(path);
        return QByteArray();
    }
    return key;
}

QByteArray ReleaseSigner::publicKeyOf(const QByteArray &secretKey)
{
    if (!sodiumReady() || secretKey.size() != crypto_sign_SECRETKEYBYTES)
        return QByteArray();
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secret(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                             reinterpret_cast<unsigned char *>(secret.data()), bytes(secretKey));
    return publicKey;
}

QByteArray ReleaseSigner::newSecretKey()
{
    if (!sodiumReady())
        return QByteArray();
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secret(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                        reinterpret_cast<unsigned char *>(secret.data()));
    return secret;
}

QByteArray ReleaseSigner::signatureLine(const QByteArray &message, const QByteArray &secretKey)
{
    if (!sodiumReady() || secretKey.size() != crypto_sign_SECRETKEYBYTES)
        return QByteArray();
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr, bytes(message),
                         quint64(message.size()), bytes(secretKey));
    return signature.toBase64() + '\n';
}

bool ReleaseSigner::signFolder(const QString &folder, const QString &version, const QByteArray &secretKey,
                               QString *error)
{
    if (secretKey.size() != crypto_sign_SECRETKEYBYTES) {
        *error = QStringLiteral("no secret key");
        return false;
    }
    ReleaseManifest manifest;
    if (!ReleaseManifest::describeFolder(folder, version, &manifest, error))
        return false;
    const QByteArray json = manifest.toJson();
    const QString manifestPath = folder + QLatin1Char('/') + QLatin1String(InstallFiles::ReleaseManifest);
    const QString signaturePath = folder + QLatin1Char('/') + QLatin1String(InstallFiles::ReleaseSignature);
    if (!writeWhole(manifestPath, json) || !writeWhole(signaturePath, signatureLine(json, secretKey))) {
        *error = QStringLiteral("cannot write %1 or %2").arg(manifestPath, signaturePath);
        return false;
    }
    return true;
}
