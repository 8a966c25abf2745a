#include "selectioncontroller.h"

#include "api/contracts.h"
#include "common/messagebox.h"
#include "common/settingskeys.h"
#include "symbols/symbolmappingdialog.h"
#include "symbols/symbolselection.h"
#include "symbols/wishlist.h"

#include <QAbstractButton>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QSignalBlocker>
#include <QTableWidget>

#include <exception>

namespace {

const char kWishListFilter[] = "Quillmark List(*.qmList) ";

void fillSymbolList(QListWidget *list, const QStringList &symbols, const QStringList &selected)
{
    const QSet<QString> chosen(selected.cbegin(), selected.cend());
    // Every row is one line of the same font: uniform sizes spare the view a size
    // hint per item, which dominates with 100,000 options.
    list->setUniformItemSizes(true);
    list->clear();
    list->addItems(symbols);
    // The rows were just inserted and the view lays them out later anyway; a change
    // signal per item for its tick would only cost time.
    const QSignalBlocker quiet(list->model());
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem *item = list->item(i);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(chosen.contains(item->text()) ? Qt::Checked : Qt::Unchecked);
    }
}

// Sets each item's tick from the selection, with one repaint instead of a change
// signal per item.
void syncListTicks(QListWidget *list, const QStringList &selected)
{
    const QSet<QString> chosen(selected.cbegin(), selected.cend());
    {
        const QSignalBlocker quiet(list->model());
        for (int i = 0; i < list->count(); ++i) {
            QListWidgetItem *item = list->item(i);
            item->setCheckState(chosen.contains(item->text()) ? Qt::Checked : Qt::Unchecked);
        }
    }
    list->viewport()->update();
}

} // namespace

SelectionController::SelectionController(SymbolSelection *selection, const Widgets &widgets, QObject *parent)
    : QObject(parent)
    , m_selection(selection)
    , m_widgets(widgets)
    , m_feedStates(FeedCatalogue::Count, false)
{
}

void SelectionController::syncTicks()
{
    syncListTicks(m_widgets.list, m_selection->symbols());
}

void SelectionController::removeSymbol(const QString &symbol)
{
    const int index = m_selection->symbols().indexOf(symbol);
    if (index >= 0) {
        m_widgets.table->removeRow(index);
        m_selection->removeAt(index);
    }
    emit edited();
    // A tick left on the deleted symbol would bring it back at the next "Add Symbol".
    syncTicks();
    updateCount();
}

QString SelectionController::loadCatalogue()
{
    QString failure;
    m_catalogue = fetchContracts(m_network, &failure);
    return failure;
}

void SelectionController::enableFeeds(const QString &serverFeeds)
{
    for (int i = 0; i < FeedCatalogue::Count; ++i)
        m_widgets.feeds.at(i)->setEnabled(serverFeeds.contains(QLatin1String(FeedCatalogue::feed(i).tag), Qt::CaseSensitive));
}

QStringList SelectionController::enabledExchanges() const
{
    QStringList exchanges;
    for (int i = 0; i < FeedCatalogue::Count; ++i) {
        if (m_widgets.feeds.at(i)->isEnabled())
            exchanges << QLatin1String(FeedCatalogue::feed(i).exchange);
    }
    return exchanges;
}

void SelectionController::feedToggled(int index, bool checked)
{
    if (!m_widgets.feeds.at(index)->isEnabled())
        return;
    m_feedStates[index] = checked;
    m_currentFeed = QLatin1String(FeedCatalogue::feed(index).exchange);
    m_widgets.search->clear();
    showFeedSymbols(m_currentFeed);
}

void SelectionController::showFeedSymbols(const QString &feed)
{
    QFont mono(QStringLiteral("Monospace"));
    mono.setPixelSize(12);
    m_widgets.list->setFont(mono);
    fillSymbolList(m_widgets.list, m_catalogue[feed], m_selection->symbols());
}

void SelectionController::search(const QString &text)
{
    const QStringList &all = m_catalogue[m_currentFeed];
    const QString query = text.trimmed().toUpper();
    QStringList result;
    if (query.isEmpty()) {
        result = all;
    } else {
        // Case-insensitive matching finds what upper-casing both sides finds, without
        // a copy of every symbol per keystroke.
        for (const QString &symbol : all) {
            if (symbol.contains(query, Qt::CaseInsensitive))
                result << symbol;
        }
    }
    QListWidget *list = m_widgets.list;
    const bool blocked = list->blockSignals(true);
    fillSymbolList(list, result, m_selection->symbols());
    list->blockSignals(blocked);
}

void SelectionController::selectAll()
{
    for (int i = 0; i < m_widgets.list->count(); ++i)
        m_widgets.list->item(i)->setCheckState(Qt::Checked);
}

void SelectionController::selectNone()
{
    for (int i = 0; i < m_widgets.list->count(); ++i)
        m_widgets.list->item(i)->setCheckState(Qt::Unchecked);
}

void SelectionController::addSelected()
{
    QStringList symbols = m_selection->symbols();
    QStringList exchanges = m_selection->exchanges();
    QListWidget *list = m_widgets.list;
    // Membership per item against a set: the option feed lists 100,000 items.
    QSet<QString> selected(symbols.cbegin(), symbols.cend());

    QStringList newlyAdded;
    QSet<QString> newSet;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem *item = list->item(i);
        const QString symbol = item->text();
        if (item->checkState() == Qt::Checked && !selected.contains(symbol) && !newSet.contains(symbol)) {
            newSet.insert(symbol);
            newlyAdded << symbol;
        }
    }
    const int wanted = newlyAdded.size() + symbols.size();
    if (m_selection->exceedsLimit(wanted)) {
        showMessageBox(m_widgets.window, 1, QStringLiteral("Limit Exceeded"),
                       QStringLiteral("Maximum symbols limit is %1\nYou are trying to add %2").arg(m_selection->limit()).arg(wanted),
                       QMessageBox::Ok);
        return;
    }

    const QBrush added(QColor(QStringLiteral("#00ff00")));
    const QBrush plain(QColor(QStringLiteral("#ffffff")));
    {
        // One repaint after the pass instead of a change signal per item.
        const QSignalBlocker quiet(list->model());
        for (int i = 0; i < list->count(); ++i) {
            QListWidgetItem *item = list->item(i);
            const QString symbol = item->text();
            if (item->checkState() == Qt::Checked) {
                if (!selected.contains(symbol)) {
                    symbols.append(symbol);
                    exchanges.append(m_currentFeed);
                    selected.insert(symbol);
                }
                item->setBackground(added);
            } else {
                item->setBackground(plain);
                if (!symbols.isEmpty() && selected.contains(symbol)) {
                    const int index = symbols.indexOf(symbol);
                    if (index < exchanges.size()) {
                        symbols.removeAt(index);
                        exchanges.removeAt(index);
                    } else {
                        symbols.removeAll(symbol);
                    }
                    if (!symbols.contains(symbol))
                        selected.remove(symbol);
                }
            }
        }
    }
    list->viewport()->update();
    m_selection->set(symbols, exchanges);

    if (!newlyAdded.isEmpty())
        emit symbolsAdded(newlyAdded);
    emit edited();
    showRows();
}

void SelectionController::deleteAll()
{
    m_widgets.table->clear();
    m_selection->clear();
    // The stream would otherwise go on feeding the deleted symbols into AmiBroker, and
    // ticks left in the list would bring them back at the next "Add Symbol".
    emit edited();
    syncTicks();
    showRows();
}

void SelectionController::showRows()
{
    QTableWidget *table = m_widgets.table;
    QFont mono(QStringLiteral("Monospace"));
    mono.setPixelSize(12);
    table->setFont(mono);
    table->horizontalHeader()->setFont(mono);

    const QStringList symbols = m_selection->symbols();
    const QStringList exchanges = m_selection->exchanges();
    if (m_selection->exceedsLimit(int(symbols.size()))) {
        showMessageBox(m_widgets.window, 1, QStringLiteral("Limit Exceeded"),
                       QStringLiteral("Maximum limit for symbols is %1.\nYou are trying to add %2 symbols.")
                           .arg(m_selection->limit())
                           .arg(symbols.size()),
                       QMessageBox::Ok);
        return;
    }

    table->setColumnCount(5);
    table->setHorizontalHeaderLabels({QStringLiteral("SYMBOL"), QStringLiteral("LTP"), QStringLiteral("LTQ"),
                                      QStringLiteral("Backfill"), QStringLiteral("Del")});
    const int widths[] = {155, 75, 70, 95, 40};
    for (int column = 0; column < 5; ++column)
        table->setColumnWidth(column, widths[column]);
    table->setRowCount(symbols.size());

    for (int row = 0; row < symbols.size(); ++row) {
        const QString &symbol = symbols.at(row);
        const QString exchange = exchanges.value(row);

        // Prices stay with their symbol: a row that now holds another symbol (one
        // above it was removed) starts again from "0" instead of showing its neighbour's.
        bool symbolChanged = false;
        if (QTableWidgetItem *cell = table->item(row, 0)) {
            symbolChanged = cell->text() != symbol;
            cell->setText(symbol);
        } else {
            table->setItem(row, 0, new QTableWidgetItem(symbol));
        }
        for (int column = 1; column <= 2; ++column) {
            if (symbolChanged)
                delete table->takeItem(row, column);
            if (!table->item(row, column)) {
                auto *cell = new QTableWidgetItem(QStringLiteral("0"));
                cell->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
                table->setItem(row, column, cell);
            }
        }

        auto *backfill = qobject_cast<QPushButton *>(table->cellWidget(row, 3));
        if (!backfill) {
            backfill = new QPushButton(QStringLiteral("Backfill"));
            table->setCellWidget(row, 3, backfill);
        }
        backfill->setObjectName(symbol);
        backfill->setProperty("exchName", exchange);
        backfill->disconnect(this);
        connect(backfill, &QPushButton::clicked, this,
                [this, symbol, exchange] { emit rowBackfillRequested(symbol, exchange); });

        auto *remove = qobject_cast<QPushButton *>(table->cellWidget(row, 4));
        if (!remove) {
            remove = new QPushButton(QStringLiteral("X"));
            remove->setFixedWidth(30);
            table->setCellWidget(row, 4, remove);
        }
        // "1," keeps the name distinct from the Backfill button's.
        remove->setObjectName(symbol + QStringLiteral("1,") + exchange);
        remove->disconnect(this);
        connect(remove, &QPushButton::clicked, this, [this, symbol](bool checked) {
            removeSymbol(symbol);
            emit rowRemoved(checked);
        });
    }
    updateCount();
}

void SelectionController::updateCount()
{
    m_widgets.count->setText(QStringLiteral("S:(%1)").arg(m_selection->size()));
    m_widgets.count->adjustSize();
}

void SelectionController::restore()
{
    QSettings settings;
    m_selection->restore(enabledExchanges());

    for (int i = 0; i < FeedCatalogue::Count; ++i) {
        if (settings.value(QString::fromLatin1(Keys::CheckboxPattern).arg(i), false).toBool())
            m_widgets.feeds.at(i)->click();
    }
    // The list was filled when the window was built, before the catalogue came; a
    // feed already checked then (the first run's SPOT) is not toggled again by a click.
    if (!m_currentFeed.isEmpty())
        showFeedSymbols(m_currentFeed);
    addSelected();
}

void SelectionController::saveWishList()
{
    const QString name = QFileDialog::getSaveFileName(m_widgets.window, QStringLiteral("Save Wishlist To"), QString(),
                                                      QLatin1String(kWishListFilter));
    if (name.isEmpty())
        return;
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        showMessageBox(m_widgets.window, 2, QStringLiteral("Error"), QStringLiteral("Failed to open file for writing"),
                       QMessageBox::Ok);
        return;
    }
    const QByteArray data = encodeWishList(m_selection->symbols(), m_selection->exchanges());
    const bool written = file.write(data) == data.size() && file.flush();
    file.close();
    if (!written) {
        // A partial wish list would load as a different selection: do not leave it.
        file.remove();
        showMessageBox(m_widgets.window, 2, QStringLiteral("Error"), QStringLiteral("Failed to write the wish list file"),
                       QMessageBox::Ok);
    }
}

void SelectionController::loadWishList()
{
    const QString name = QFileDialog::getOpenFileName(m_widgets.window, QStringLiteral("Import Wishlist"), QString(),
                                                      QLatin1String(kWishListFilter));
    if (name.isEmpty())
        return;
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        showMessageBox(m_widgets.window, 2, QStringLiteral("Error"), QStringLiteral("Failed to open file for reading"),
                       QMessageBox::Ok);
        return;
    }
    const QByteArray data = file.readAll();
    file.close();

    WishList list = decodeWishList(data);
    SymbolSelection::normalise(list.symbols, list.exchanges);
    // A list over the limit is refused before it replaces anything: the selection in
    // use stays, rather than being lost to a file that cannot be taken.
    if (m_selection->exceedsLimit(int(list.symbols.size()))) {
        showMessageBox(m_widgets.window, 1, QStringLiteral("Limit Exceeded"),
                       QStringLiteral("Cannot add %1 symbols.\nMaximum limit is %2.")
                           .arg(list.symbols.size())
                           .arg(m_selection->limit()),
                       QMessageBox::Ok);
        return;
    }
    m_selection->set(list.symbols, list.exchanges);
    // The stream and the list's ticks follow the new selection now, not at the next change.
    emit edited();
    syncTicks();
    showRows();
}

void SelectionController::editMapping()
{
    m_widgets.mapping->setEnabled(false);
    try {
        SymbolMappingDialog dialog(m_widgets.window);
        if (dialog.exec() == QDialog::Accepted) {
            SymbolMappingDialog reader(nullptr);
            if (reader.loadFromRegistry()) {
                m_oldToNew = reader.oldToNewMap();
                m_newToOld = reader.newToOldMap();
            } else {
                showMessageBox(m_widgets.window, 2, QStringLiteral("Mapping"),
                               QStringLiteral("Unable to read mappings from application settings after dialog closed."),
                               QMessageBox::Ok);
            }
        }
    } catch (const std::exception &error) {
        showMessageBox(m_widgets.window, 3, QStringLiteral("Mapping - Error"),
                       QStringLiteral("Unexpected error: %1").arg(QString::fromLocal8Bit(error.what())), QMessageBox::Ok);
    } catch (...) {
        showMessageBox(m_widgets.window, 3, QStringLiteral("Mapping - Error"),
                       QStringLiteral("Unknown error while opening mapping dialog"), QMessageBox::Ok);
    }
    m_widgets.mapping->setEnabled(true);
}

