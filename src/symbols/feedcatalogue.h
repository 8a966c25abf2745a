#pragma once

#include <QString>
#include <QStringList>

// The nine feeds a trader picks symbols from, in their fixed order: the order of
// the window's feed buttons and of the stored "checkbox%1" keys. Each is known by
// three names: the tag the server lists it under in "feeds", the exchange name of
// its contracts (and of a selected symbol), and its button on the window's form.
namespace FeedCatalogue {

struct Feed
{
    const char *tag;
    const char *exchange;
    const char *button;
};

inline constexpr int Count = 9;

const Feed &feed(int index);
// Exchange names in feed order ("CASH" ... "FOREX").
QStringList exchanges();
// The feed of an exchange name; -1 when there is none.
int indexOfExchange(const QString &exchange);

} // namespace FeedCatalogue
