#include "feedcatalogue.h"

namespace FeedCatalogue {

namespace {
const Feed Feeds[Count] = {
    {"CASH", "CASH", "cashBox"},        {"FUTURE", "FUTURE", "futureBox"},  {"OPTION", "OPTION", "optionBox"},
    {"COMM", "MCX", "commBox"},         {"CURR", "CURRENCY", "currBox"},    {"SPOT", "SPOTINDEX", "spotBox"},
    {"SXOPT", "NCDEX", "SXOPTBox"},     {"CMOPT", "CMOPT", "SXOPTBox2"},    {"FOREX", "FOREX", "ForexBox"},
};
} // namespace

const Feed &feed(int index)
{
    return Feeds[qBound(0, index, Count - 1)];
}

QStringList exchanges()
{
    QStringList names;
    for (const Feed &f : Feeds)
        names << QLatin1String(f.exchange);
    return names;
}

int indexOfExchange(const QString &exchange)
{
    for (int i = 0; i < Count; ++i) {
        if (exchange == QLatin1String(Feeds[i].exchange))
            return i;
    }
    return -1;
}

} // namespace FeedCatalogue
