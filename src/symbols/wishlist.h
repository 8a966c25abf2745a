#pragma once

#include <QByteArray>
#include <QStringList>

// Wish list files ("*.qmList"): the symbol selection, enciphered whole with
// AES-256-CBC and ISO/IEC 7816-4 padding, no header. The plaintext is the symbols
// joined by "," then "#" then their exchange names joined by ",".
struct WishList
{
    QStringList symbols;
    QStringList exchanges;
};

// The fixed key (SHA-256 of the key phrase) and vector (MD5 of the vector phrase),
// computed once and shared by saving and loading.
const QByteArray &wishListKey();
const QByteArray &wishListIv();

// The file content for a selection.
QByteArray encodeWishList(const QStringList &symbols, const QStringList &exchanges);

// The selection held by a file. A file that is no wish list is not rejected: it
// reads as whatever its deciphered text says, at worst one empty symbol with an
// empty exchange name.
WishList decodeWishList(const QByteArray &file);
