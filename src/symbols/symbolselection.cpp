#include "symbolselection.h"

#include "common/settingskeys.h"

#include <QSet>
#include <QSettings>

SymbolSelection::SymbolSelection(QObject *parent)
    : QObject(parent)
{
}

void SymbolSelection::noteFeed(const QString &feed)
{
    if (!m_activeFeeds.contains(feed))
        m_activeFeeds.append(feed);
}

void SymbolSelection::set(QStringList symbols, QStringList exchanges)
{
    normalise(symbols, exchanges);
    if (symbols == m_symbols && exchanges == m_exchanges)
        return;
    m_symbols = symbols;
    m_exchanges = exchanges;
    emit changed();
}

void SymbolSelection::removeAt(int index)
{
    if (index < 0 || index >= m_symbols.size())
        return;
    m_symbols.removeAt(index);
    if (index < m_exchanges.size())
        m_exchanges.removeAt(index);
    emit changed();
}

void SymbolSelection::clear()
{
    set({}, {});
}

void SymbolSelection::restore(const QStringList &enabledExchanges)
{
    QSettings settings;
    QStringList symbols = settings.value(QLatin1String(Keys::SelectedSymbolsList)).toStringList();
    QStringList exchanges = settings.value(QLatin1String(Keys::CorrExchList)).toStringList();
    normalise(symbols, exchanges);
    if (exceedsLimit(int(symbols.size()))) {
        symbols.clear();
        exchanges.clear();
    }
    for (int i = int(exchanges.size()) - 1; i >= 0; --i) {
        if (!enabledExchanges.contains(exchanges.at(i))) {
            symbols.removeAt(i);
            exchanges.removeAt(i);
        }
    }
    set(symbols, exchanges);
}

void SymbolSelection::save() const
{
    QSettings settings;
    settings.setValue(QLatin1String(Keys::SelectedSymbolsList), m_symbols);
    settings.setValue(QLatin1String(Keys::CorrExchList), m_exchanges);
}

void SymbolSelection::normalise(QStringList &symbols, QStringList &exchanges)
{
    QStringList keptSymbols;
    QStringList keptExchanges;
    QSet<QString> seen;
    for (int i = 0; i < symbols.size(); ++i) {
        const QString &symbol = symbols.at(i);
        if (symbol.trimmed().isEmpty() || seen.contains(symbol))
            continue;
        seen.insert(symbol);
        keptSymbols << symbol;
        keptExchanges << exchanges.value(i);
    }
    symbols = keptSymbols;
    exchanges = keptExchanges;
}
