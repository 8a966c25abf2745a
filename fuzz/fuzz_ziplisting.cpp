// Archives from the server (backfill data and releases) are judged by reading
// their directory before any unpacker sees them.
#include "fuzzsupport.h"

#include "backfill/ziplisting.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

QString archivePath;

// What an unpacker would make of a name, whatever its encoding: any ASCII
// "..", leading slash or drive colon survives both decodings of the name.
bool looksEscaping(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))
        || name.contains(QLatin1Char(':')) || name.contains(QChar(0)))
        return true;
    QString normalized = name;
    normalized.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return normalized.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/qmfuzzzip-XXXXXX"));
    archivePath = dir.filePath(QStringLiteral("backfilldata.zip"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = FuzzSupport::bytes(data, size);
    const ZipListing listing = ZipListing::fromData(bytes);
    QString why;
    const bool safe = listing.isSafeToExtract(&why);
    FuzzSupport::require(!safe || listing.isValid(), "only a readable archive is safe");
    FuzzSupport::require(safe || !why.isEmpty(), "a refusal says why");
    FuzzSupport::require(listing.isValid() || listing.entries().isEmpty(), "an unreadable archive lists nothing");
    if (safe) {
        for (const ZipListing::Entry &e : listing.entries()) {
            FuzzSupport::require(!e.isSymlink, "links are refused");
            FuzzSupport::require(!looksEscaping(e.name) && !looksEscaping(e.localName)
                                     && (e.unicodeName.isEmpty() || !looksEscaping(e.unicodeName)),
                                 "an escaping name passed");
            FuzzSupport::require(e.localHeaderOffset + 30 <= quint64(bytes.size()), "local header outside the data");
        }
    }

    // The file path (memory-mapped) judges the same bytes the same way.
    QFile file(archivePath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()) {
        file.close();
        const ZipListing fromFile = ZipListing::fromFile(archivePath);
        FuzzSupport::require(fromFile.isSafeToExtract() == safe || bytes.isEmpty(), "file and memory disagree");
        FuzzSupport::require(fromFile.names() == listing.names(), "file and memory list different names");
    }

    // However a name is dressed, a ".." step or a leading slash never passes.
    const QByteArray name = bytes.left(64);
    FuzzSupport::require(ZipListing::isUnsafeName("../" + name), "leading .. passed");
    FuzzSupport::require(ZipListing::isUnsafeName("/" + name), "absolute name passed");
    FuzzSupport::require(ZipListing::isUnsafeName(name + "\\..\\x"), "inner .. passed");
    return 0;
}
