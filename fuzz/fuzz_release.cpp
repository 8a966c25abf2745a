// What a release carries is judged before it may be installed: its signed manifest
// is parsed, and its program file is judged by its headers.
#include "fuzzsupport.h"

#include "platform/programfile.h"
#include "updater/releasemanifest.h"

#include <QSet>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = FuzzSupport::bytes(data, size);

    ReleaseManifest manifest;
    QString error;
    if (ReleaseManifest::fromJson(bytes, &manifest, &error)) {
        QSet<QString> paths;
        for (const ReleaseFile &file : manifest.files) {
            FuzzSupport::require(ReleaseManifest::isPlainRelativePath(file.path), "a path outside the release passed");
            FuzzSupport::require(!paths.contains(file.path), "a path listed twice passed");
            FuzzSupport::require(file.size >= 0 && file.sha256.size() == 64, "a bad entry passed");
            paths.insert(file.path);
        }
        // What it reads, written again, reads the same.
        ReleaseManifest again;
        FuzzSupport::require(ReleaseManifest::fromJson(manifest.toJson(), &again, &error)
                                 && again.version == manifest.version && again.files == manifest.files,
                             "a manifest does not survive writing");
    } else {
        FuzzSupport::require(!error.isEmpty(), "a refusal says why");
    }

    const QString pe = Platform::peX64Defect(bytes);
    const QString elf = Platform::elfDefect(bytes);
    const QString script = Platform::scriptDefect(bytes);
    FuzzSupport::require(!pe.isEmpty() || bytes.startsWith("MZ"), "a Windows program without MZ passed");
    FuzzSupport::require(!elf.isEmpty() || bytes.startsWith("\x7f" "ELF"), "an ELF program without its magic passed");
    FuzzSupport::require(!script.isEmpty() || bytes.startsWith("#!"), "a script without #! passed");
    FuzzSupport::require(!bytes.isEmpty() || (pe == QLatin1String("empty") && elf == pe && script == pe),
                         "an empty file is not called empty");
    // A program cut in its headers is never whole.
    if (pe.isEmpty())
        FuzzSupport::require(!Platform::peX64Defect(bytes.left(0x40)).isEmpty(), "PE headers alone passed");
    if (elf.isEmpty())
        FuzzSupport::require(!Platform::elfDefect(bytes.left(16)).isEmpty(), "an ELF identification alone passed");
    return 0;
}
