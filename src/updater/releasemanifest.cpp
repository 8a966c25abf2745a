#include "releasemanifest.h"

#include "common/installfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>

namespace {

QByteArray sha256Of(QFile &file)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

bool isHexDigest(const QString &text)
{
    if (text.size() != 64)
        return false;
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
    });
}

} // namespace

bool ReleaseManifest::isPlainRelativePath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char('\\')) || path.contains(QLatin1Char(':'))
        || path.contains(QChar(0)))
        return false;
    const QStringList steps = path.split(QLatin1Char('/'));
    return std::none_of(steps.cbegin(), steps.cend(), [](const QString &step) {
        return step.isEmpty() || step == QLatin1String(".") || step == QLatin1String("..");
    });
}

bool ReleaseManifest::describeFolder(const QString &folder, const QString &version, ReleaseManifest *out,
                                     QString *error)
{
    ReleaseManifest manifest;
    manifest.version = version;
    const QDir root(folder);
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString path = root.relativeFilePath(info.filePath());
        // A link could make the installed program reach anywhere; only plain files and folders belong.
        if (info.isSymLink() || (!info.isFile() && !info.isDir())) {
            *error = QStringLiteral("file %1 is not a plain file").arg(path);
            return false;
        }
        if (info.isDir())
            continue;
        if (path == QLatin1String(InstallFiles::ReleaseManifest) || path == QLatin1String(InstallFiles::ReleaseSignature))
            continue;
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("file %1 cannot be read").arg(path);
            return false;
        }
        ReleaseFile entry;
        entry.path = path;
        entry.size = file.size();
        entry.sha256 = sha256Of(file);
        if (entry.sha256.isEmpty()) {
            *error = QStringLiteral("file %1 cannot be read").arg(path);
            return false;
        }
        manifest.files.append(entry);
    }
    std::sort(manifest.files.begin(), manifest.files.end(),
              [](const ReleaseFile &a, const ReleaseFile &b) { return a.path < b.path; });
    *out = manifest;
    return true;
}

QByteArray ReleaseManifest::toJson() const
{
    QJsonArray list;
    for (const ReleaseFile &file : files) {
        list.append(QJsonObject{{QStringLiteral("path"), file.path},
                                {QStringLiteral("size"), double(file.size)},
                                {QStringLiteral("sha256"), QString::fromLatin1(file.sha256)}});
    }
    const QJsonObject object{{QStringLiteral("version"), version}, {QStringLiteral("files"), list}};
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

bool ReleaseManifest::fromJson(const QByteArray &json, ReleaseManifest *out, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("not a JSON object");
        return false;
    }
    const QJsonObject object = document.object();
    const QJsonValue version = object.value(QLatin1String("version"));
    const QJsonValue files = object.value(QLatin1String("files"));
    if (!version.isString() || !files.isArray()) {
        *error = QStringLiteral("no \"version\" text or no \"files\" list");
        return false;
    }
    ReleaseManifest manifest;
    manifest.version = version.toString();
    QSet<QString> seen;
    const QJsonArray list = files.toArray();
    for (const QJsonValue &value : list) {
        const QJsonObject entry = value.toObject();
        const QJsonValue path = entry.value(QLatin1String("path"));
        const QJsonValue size = entry.value(QLatin1String("size"));
        const QJsonValue sha256 = entry.value(QLatin1String("sha256"));
        // Sizes are whole numbers JSON's doubles hold exactly.
        const double bytes = size.toDouble(-1);
        if (!path.isString() || !size.isDouble() || bytes < 0 || bytes > 9007199254740992.0
            || bytes != double(qint64(bytes)) || !sha256.isString() || !isHexDigest(sha256.toString())) {
            *error = QStringLiteral("a file entry without a path, a size or a SHA-256");
            return false;
        }
        const QString name = path.toString();
        if (!isPlainRelativePath(name)) {
            *error = QStringLiteral("a path outside the release: %1").arg(name);
            return false;
        }
        if (seen.contains(name)) {
            *error = QStringLiteral("%1 listed twice").arg(name);
            return false;
        }
        seen.insert(name);
        manifest.files.append(ReleaseFile{name, qint64(bytes), sha256.toString().toLatin1()});
    }
    *out = manifest;
    return true;
}
