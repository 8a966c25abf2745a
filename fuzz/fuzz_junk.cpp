// Downloaded backfill files: the junk check reads whatever the server sent.
#include "fuzzsupport.h"

#include "amibroker/livedataupdator.h"

#include <QFile>
#include <QTemporaryDir>

namespace {
QString probePath;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/qmfuzzjunk-XXXXXX"));
    probePath = dir.filePath(QStringLiteral("backfill.txt"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose the probe length, negative ones included.
    const int probe = int(qint16(quint16(data[0]) << 8 | data[1]));
    const QByteArray content = FuzzSupport::bytes(data + 2, size - 2);
    QFile file(probePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return 0;
    file.close();
    const bool junk = isJunkBackfillFile(probePath, probe);
    if (content.size() < 100)
        FuzzSupport::require(junk, "short files are junk");
    if (content.size() >= 100 && probe <= 0)
        FuzzSupport::require(!junk, "nothing probed, nothing found");
    if (content.size() >= 100 && probe >= 9 && content.startsWith("<!DOCTYPE"))
        FuzzSupport::require(junk, "an HTML page is junk");
    FuzzSupport::require(isJunkBackfillFile(probePath + QStringLiteral(".missing"), probe), "unreadable is junk");
    return 0;
}
