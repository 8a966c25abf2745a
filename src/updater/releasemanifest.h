#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// One file of a release: its path under the release's root ("/" between folders),
// size in bytes and SHA-256 (lower-case hex).
struct ReleaseFile
{
    QString path;
    qint64 size = 0;
    QByteArray sha256;

    bool operator==(const ReleaseFile &other) const
    {
        return path == other.path && size == other.size && sha256 == other.sha256;
    }
};

// What "release.json" says of a release: its version and every file it holds but
// the manifest and its signature, sorted by path. The signature covers the
// manifest's exact bytes, so what is read back is what was written.
class ReleaseManifest
{
public:
    QString version;
    QVector<ReleaseFile> files;

    // Describes every file under folder (folders themselves are not listed). False,
    // with the reason, when something there is not a plain file or cannot be read.
    static bool describeFolder(const QString &folder, const QString &version, ReleaseManifest *out,
                               QString *error);

    QByteArray toJson() const;
    // False, with the reason, for anything but a manifest as toJson() writes one:
    // bad JSON, a missing or mistyped member, a path that leaves the root, a path twice.
    static bool fromJson(const QByteArray &json, ReleaseManifest *out, QString *error);

    // A path as the manifest may name it: relative, "/" separated, no "." or ".."
    // steps, no backslash or drive.
    static bool isPlainRelativePath(const QString &path);
};
