#pragma once

#include "symbols/feedcatalogue.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QListWidget;
class QNetworkAccessManager;
class QPushButton;
class QTableWidget;
class QWidget;
class SymbolSelection;

// The window's symbol controls: the feed buttons, the contract catalogue shown in
// the symbol list with its search, the selected-symbols table with each row's
// "Backfill" and "X" buttons (a row knows its symbol; nothing is read back out of
// an object name), wish lists and the mapping dialog. It edits the selection and
// tells whoever wires it what followed from an edit.
class SelectionController : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SelectionController)

public:
    // Column of the selected-symbols table that holds each row's "Backfill" button,
    // and the one with its "X".
    static constexpr int BackfillColumn = 3;
    static constexpr int RemoveColumn = 4;

    struct Widgets
    {
        QWidget *window = nullptr;         // parent of boxes and dialogs
        QListWidget *list = nullptr;       // the current feed's symbols, ticked when selected
        QLineEdit *search = nullptr;       // narrows the list
        QTableWidget *table = nullptr;     // the selected symbols
        QLabel *count = nullptr;           // "S:(n)"
        QPushButton *mapping = nullptr;    // opens the mapping dialog
        std::array<QAbstractButton *, FeedCatalogue::Count> feeds{}; // in FeedCatalogue's order
    };

    SelectionController(SymbolSelection *selection, const Widgets &widgets, QObject *parent = nullptr);

    // The contracts of every exchange, from the server (the network manager of the
    // start-up); what went wrong when they could not be had.
    void setNetworkManager(QNetworkAccessManager *network) { m_network = network; }
    QString loadCatalogue();
    void setCatalogue(const QHash<QString, QStringList> &catalogue) { m_catalogue = catalogue; }
    const QHash<QString, QStringList> &catalogue() const { return m_catalogue; }

    // The feeds: which the server enabled (its "feeds" text holds their tags), which
    // the trader checked (in FeedCatalogue's order) and the one chosen last.
    void enableFeeds(const QString &serverFeeds);
    QStringList enabledExchanges() const;
    const QVector<bool> &feedStates() const { return m_feedStates; }
    QString currentFeed() const { return m_currentFeed; }
    void feedToggled(int index, bool checked);

    // The list: a feed's symbols, or those of the current feed holding a text.
    void showFeedSymbols(const QString &feed);
    void search(const QString &text);
    void selectAll();
    void selectNone();
    // The list's ticks become the selection (within the limit); new symbols are told.
    void addSelected();
    void deleteAll();
    void removeSymbol(const QString &symbol);
    // The selected-symbols table from the selection, and its count.
    void showRows();
    void updateCount();
    // The selection the last run left, its feeds checked again.
    void restore();

    void saveWishList();
    void loadWishList();
    void editMapping();
    // The symbol maps as the mapping dialog left them.
    const QMap<QString, QString> &oldToNewMap() const { return m_oldToNew; }
    const QMap<QString, QString> &newToOldMap() const { return m_newToOld; }

signals:
    // Symbols that joined the selection (for their backfill).
    void symbolsAdded(const QStringList &symbols);
    // The selection was edited (the stream follows it).
    void edited();
    // A row's "Backfill" was pressed.
    void rowBackfillRequested(const QString &symbol, const QString &exchange);
    // A row's "X" was pressed.
    void rowRemoved(bool checked);

private:
    void syncTicks();

    SymbolSelection *m_selection;
    Widgets m_widgets;
    QNetworkAccessManager *m_network = nullptr;
    QHash<QString, QStringList> m_catalogue;
    QVector<bool> m_feedStates;
    QString m_currentFeed;
    QMap<QString, QString> m_oldToNew;
    QMap<QString, QString> m_newToOld;
};
