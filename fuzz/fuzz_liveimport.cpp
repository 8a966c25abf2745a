// Queued tick lines into the live import file (the text AmiBroker imports).
#include "fuzzsupport.h"

#include "amibroker/livedataupdator.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    const QHash<QString, QString> map{{QStringLiteral("NIFTY-I"), QStringLiteral("NIFTY")},
                                      {QStringLiteral("A"), QStringLiteral("B B")}};
    int kept = -1;
    const QByteArray out = liveImportLines(input, map, &kept);
    FuzzSupport::require(kept == out.count('\n'), "kept counts the lines written");
    FuzzSupport::require(kept <= input.count('\n') + 1, "never more lines than came in");
    if (out.isEmpty())
        return 0;
    FuzzSupport::require(out.endsWith('\n'), "import lines end with a line feed");
    for (const QByteArray &line : out.left(out.size() - 1).split('\n')) {
        FuzzSupport::require(line.count(',') == 7, "import line has eight fields");
        bool ok = false;
        const double price = line.split(',').at(4).toDouble(&ok);
        FuzzSupport::require(ok && price > 0, "import line price above 0");
    }
    // Already clean lines pass through unchanged.
    FuzzSupport::require(liveImportLines(out, {}) == out, "import lines are a fixed point");

    // With seconds summed: never more lines, each still a clean line, and a
    // discarded cycle leaves the sums as they were, so its retry imports the same.
    static SecondSums sums;
    int summedKept = -1;
    const QByteArray summed = liveImportLines(input, map, &summedKept, &sums);
    FuzzSupport::require(summedKept == summed.count('\n') && summedKept <= kept, "summing never adds lines");
    FuzzSupport::require(liveImportLines(summed, {}).count('\n') == summedKept, "summed lines are clean lines");
    sums.discard();
    FuzzSupport::require(liveImportLines(input, map, nullptr, &sums) == summed, "a retried cycle imports the same sums");
    sums.commit();
    return 0;
}
