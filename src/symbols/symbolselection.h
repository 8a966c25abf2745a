#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// The trader's selected symbols, each with the exchange name of the feed it was
// picked from (two parallel lists, as they are stored), the feeds the selection
// has drawn on, and the most symbols the server allows. It knows nothing of
// widgets: the live stream, the live and backfill imports and the window's
// controls all read it.
class SymbolSelection : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SymbolSelection)

public:
    explicit SymbolSelection(QObject *parent = nullptr);

    const QStringList &symbols() const { return m_symbols; }
    // Entry i is the exchange name of symbol i (empty when it is not known).
    const QStringList &exchanges() const { return m_exchanges; }
    int size() const { return int(m_symbols.size()); }
    bool isEmpty() const { return m_symbols.isEmpty(); }
    bool contains(const QString &symbol) const { return m_symbols.contains(symbol); }

    // The most symbols that may be selected ("symbol_allowed").
    int limit() const { return m_limit; }
    void setLimit(int limit) { m_limit = limit; }
    bool exceedsLimit(int count) const { return m_limit < count; }

    // Feeds the selection has drawn on, each once; not stored.
    const QStringList &activeFeeds() const { return m_activeFeeds; }
    void noteFeed(const QString &feed);

    // Replaces the selection (made whole first, see normalise).
    void set(QStringList symbols, QStringList exchanges);
    // Removes the symbol at a place of the list.
    void removeAt(int index);
    void clear();

    // What the last run left in the settings store, made whole, or nothing when it
    // is over the limit; symbols of a feed that is not enabled now are left out.
    void restore(const QStringList &enabledExchanges);
    // Into the settings store ("selectedSymbolsList", "corrExchList").
    void save() const;

    // A selection read from the store or from a file, made whole again: the two
    // lists parallel (a symbol without an exchange name gets an empty one, surplus
    // names go), no blank symbols and no symbol twice.
    static void normalise(QStringList &symbols, QStringList &exchanges);

signals:
    void changed();

private:
    QStringList m_symbols;
    QStringList m_exchanges;
    QStringList m_activeFeeds;
    int m_limit = 0;
};
