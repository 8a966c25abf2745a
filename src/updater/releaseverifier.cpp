#include "releaseverifier.h"

#include "common/installfiles.h"
#include "buildconfig.h"
#include "updater/releasemanifest.h"

#include <QFile>
#include <QHash>
#include <QStringList>

#include <sodium.h>

namespace {

// A real manifest is a few KiB; anything far larger is not one of ours.
constexpr qint64 MaxManifestBytes = 4 * 1024 * 1024;
constexpr qint64 MaxSignatureBytes = 1024;
// A log line names this many faults and counts the rest.
constexpr int ReasonsNamed = 5;

bool readSmallFile(const QString &path, qint64 limit, QByteArray *content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *content = file.read(limit + 1);
    return content->size() <= limit;
}

} // namespace

QByteArray ReleaseVerifier::trustedKey()
{
    return decodeKeyText(QByteArrayLiteral(QUILLMARK_RELEASE_PUBLIC_KEY), crypto_sign_PUBLICKEYBYTES);
}

QByteArray ReleaseVerifier::decodeKeyText(const QByteArray &text, int bytes)
{
    QByteArray line = text;
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    const auto decoded = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != bytes)
        return QByteArray();
    return decoded.decoded;
}

bool ReleaseVerifier::signatureMatches(const QByteArray &message, const QByteArray &signature,
                                       const QByteArray &publicKey)
{
    // Thread-safe once: the check runs on the update worker's thread.
    static const bool sodiumReady = sodium_init() >= 0;
    if (!sodiumReady || signature.size() != crypto_sign_BYTES || publicKey.size() != crypto_sign_PUBLICKEYBYTES)
        return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       quint64(message.size()),
                                       reinterpret_cast<const unsigned char *>(publicKey.constData()))
        == 0;
}

QString ReleaseVerifier::verify(const QString &folder, const QString &announcedVersion, const QByteArray &publicKey)
{
    const QString manifestName = QLatin1String(InstallFiles::ReleaseManifest);
    const QString signatureName = QLatin1String(InstallFiles::ReleaseSignature);
    QByteArray manifestBytes;
    QByteArray signatureText;
    if (!QFile::exists(folder + QLatin1Char('/') + manifestName))
        return QStringLiteral("unsigned release (no %1)").arg(manifestName);
    if (!QFile::exists(folder + QLatin1Char('/') + signatureName))
        return QStringLiteral("unsigned release (no %1)").arg(signatureName);
    if (!readSmallFile(folder + QLatin1Char('/') + manifestName, MaxManifestBytes, &manifestBytes))
        return QStringLiteral("%1 unreadable or too large").arg(manifestName);
    if (!readSmallFile(folder + QLatin1Char('/') + signatureName, MaxSignatureBytes, &signatureText))
        return QStringLiteral("bad signature (%1 unreadable)").arg(signatureName);

    const QByteArray signature = decodeKeyText(signatureText, crypto_sign_BYTES);
    if (signature.isEmpty())
        return QStringLiteral("bad signature (%1 is not one signature in base64)").arg(signatureName);
    if (!signatureMatches(manifestBytes, signature, publicKey))
        return QStringLiteral("bad signature");

    // Signed by us from here on: what it says is what we released.
    ReleaseManifest listed;
    QString why;
    if (!ReleaseManifest::fromJson(manifestBytes, &listed, &why))
        return QStringLiteral("%1 unreadable: %2").arg(manifestName, why);
    if (listed.version != announcedVersion)
        return QStringLiteral("version %1 offered as %2").arg(listed.version, announcedVersion);

    ReleaseManifest present;
    if (!ReleaseManifest::describeFolder(folder, listed.version, &present, &why))
        return why;
    QHash<QString, ReleaseFile> expected;
    for (const ReleaseFile &file : qAsConst(listed.files))
        expected.insert(file.path, file);
    QStringList faults;
    for (const ReleaseFile &file : qAsConst(present.files)) {
        const auto it = expected.constFind(file.path);
        if (it == expected.constEnd())
            faults << QStringLiteral("file %1 not listed").arg(file.path);
        else if (!(*it == file))
            faults << QStringLiteral("file %1 differs").arg(file.path);
        expected.remove(file.path);
    }
    for (const ReleaseFile &file : qAsConst(listed.files)) {
        if (expected.contains(file.path))
            faults << QStringLiteral("file %1 missing").arg(file.path);
    }
    if (faults.size() > ReasonsNamed) {
        const int more = faults.size() - ReasonsNamed;
        faults = faults.mid(0, ReasonsNamed);
        faults << QStringLiteral("%1 more").arg(more);
    }
    return faults.join(QStringLiteral("; "));
}
