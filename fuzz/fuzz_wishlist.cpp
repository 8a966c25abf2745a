// Wish-list files opened by the user: any bytes must decode to some selection.
#include "fuzzsupport.h"

#include "symbols/wishlist.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file = FuzzSupport::bytes(data, size);
    const WishList list = decodeWishList(file);
    FuzzSupport::require(!list.symbols.isEmpty() && !list.exchanges.isEmpty(), "at least one entry each");

    // A selection whose names hold no separator comes back as it was saved.
    bool plain = true;
    for (const QString &name : list.symbols + list.exchanges)
        plain = plain && !name.contains(QLatin1Char('#')) && !name.contains(QLatin1Char(','));
    if (plain) {
        const WishList again = decodeWishList(encodeWishList(list.symbols, list.exchanges));
        FuzzSupport::require(again.symbols == list.symbols && again.exchanges == list.exchanges,
                             "wish list round trip");
    }
    // The file read as a plain-text selection, saved and read back.
    const QStringList parts = QString::fromUtf8(file).split(QLatin1Char('#'));
    const QStringList symbols = parts.value(0).split(QLatin1Char(','));
    const QStringList exchanges = parts.value(1).split(QLatin1Char(','));
    if (parts.size() <= 2) {
        const WishList again = decodeWishList(encodeWishList(symbols, exchanges));
        FuzzSupport::require(again.symbols == symbols && again.exchanges == exchanges, "text selection round trip");
    }
    return 0;
}
