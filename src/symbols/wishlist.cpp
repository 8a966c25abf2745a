#include "wishlist.h"

#include "crypto/aescipher.h"

#include <QCryptographicHash>

namespace {

const char KeyPhrase[] = "307194628551093847216";
const char IvPhrase[] = "K41907Q5583r611m4090B2";

const QChar ListSeparator = QLatin1Char('#');
const QChar ItemSeparator = QLatin1Char(',');

} // namespace

const QByteArray &wishListKey()
{
    static const QByteArray key = QCryptographicHash::hash(QByteArray(KeyPhrase), QCryptographicHash::Sha256);
    return key;
}

const QByteArray &wishListIv()
{
    static const QByteArray iv = QCryptographicHash::hash(QByteArray(IvPhrase), QCryptographicHash::Md5);
    return iv;
}

QByteArray encodeWishList(const QStringList &symbols, const QStringList &exchanges)
{
    const QString text = symbols.join(ItemSeparator) + ListSeparator + exchanges.join(ItemSeparator);
    const AesCipher cipher(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
    return cipher.encrypt(text.toUtf8(), wishListKey(), wishListIv());
}

WishList decodeWishList(const QByteArray &file)
{
    const AesCipher cipher(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
    QByteArray plain = cipher.stripPadding(cipher.decrypt(file, wishListKey(), wishListIv()));
    const int zero = plain.indexOf('\0');
    if (zero >= 0)
        plain.truncate(zero);

    const QStringList parts = QString::fromUtf8(plain).split(ListSeparator, Qt::KeepEmptyParts);
    WishList list;
    list.symbols = parts.first().split(ItemSeparator, Qt::KeepEmptyParts);
    list.exchanges = parts.last().split(ItemSeparator, Qt::KeepEmptyParts);
    return list;
}
