#include "symbolmappingdialog.h"

#include "common/messagebox.h"
#include "symbols/mappingstore.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const char ButtonStyle[] =
    "QPushButton {  background-color: #edf0f5;  color: black;  font-family: Verdana;  font-size: 10pt;  "
    "border-radius: 1px;  padding: 4px 10px;  min-height: 36px;  max-height: 30px; } "
    "QPushButton:hover { background-color: #d0d0d0; } "
    "QPushButton:pressed { background-color: #b0b0b0; }";

// The narrowest the old-symbol column gets, and the room kept beside its text.
constexpr int MinOldColumnWidth = 150;
constexpr int OldColumnPadding = 24;
constexpr int MinWidthCap = 100;

} // namespace

SymbolMappingDialog::SymbolMappingDialog(QWidget *parent)
    : QDialog(parent)
    , m_view(new QTableView(this))
    , m_model(new QStandardItemModel(0, 2, this))
{
    setWindowTitle(QStringLiteral("Symbol Mapping"));
    setMinimumSize(550, 350);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setFont(QFont(QStringLiteral("Verdana"), 10));

    m_model->setHorizontalHeaderLabels({QStringLiteral("Old Symbol"), QStringLiteral("New Symbol")});
    m_view->setModel(m_model);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->verticalHeader()->setVisible(false);
    m_view->horizontalHeader()->setStretchLastSection(true);
    m_view->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked
                            | QAbstractItemView::EditKeyPressed);

    m_addButton = new QPushButton(QStringLiteral("Add"), this);
    m_removeButton = new QPushButton(QStringLiteral("Remove"), this);
    m_saveButton = new QPushButton(QStringLiteral("Save"), this);
    m_applyButton = new QPushButton(QStringLiteral("Save && Close"), this);
    for (QPushButton *b : {m_addButton, m_removeButton, m_saveButton, m_applyButton})
        b->setStyleSheet(QLatin1String(ButtonStyle));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_addButton);
    buttons->addWidget(m_removeButton);
    buttons->addStretch();
    buttons->addWidget(m_saveButton);
    buttons->addWidget(m_applyButton);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_view);
    layout->addLayout(buttons);

    connect(m_addButton, &QPushButton::clicked, this, &SymbolMappingDialog::addRow);
    connect(m_removeButton, &QPushButton::clicked, this, &SymbolMappingDialog::removeSelectedRows);
    connect(m_saveButton, &QPushButton::clicked, this, &SymbolMappingDialog::saveClicked);
    connect(m_applyButton, &QPushButton::clicked, this, &SymbolMappingDialog::applyClicked);

    loadFromRegistry();

    connect(m_model, &QAbstractItemModel::rowsInserted, this, &SymbolMappingDialog::adjustOldSymbolColumnWidth);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &SymbolMappingDialog::adjustOldSymbolColumnWidth);
}

SymbolMappingDialog::~SymbolMappingDialog() = default;

QString SymbolMappingDialog::cellText(int row, int column) const
{
    const QStandardItem *item = m_model->item(row, column);
    return item ? item->text() : QString();
}

void SymbolMappingDialog::saveClicked()
{
    if (saveToRegistry())
        showMessageBox(this, 1, QStringLiteral("Save mapping"), QStringLiteral("Mappings saved."), QMessageBox::Ok);
    else
        showMessageBox(this, 2, QStringLiteral("Save mapping"), QStringLiteral("Failed to save mappings."),
                       QMessageBox::Ok);
}

void SymbolMappingDialog::applyClicked()
{
    if (saveToRegistry()) {
        emit mappingsChanged();
        accept();
    } else {
        showMessageBox(this, 2, QStringLiteral("Apply"), QStringLiteral("Could not save mappings (apply aborted)."),
                       QMessageBox::Ok);
    }
}

bool SymbolMappingDialog::loadFromFile(QString path)
{
    Q_UNUSED(path)
    return loadFromRegistry();
}

bool SymbolMappingDialog::saveToFile(QString path)
{
    Q_UNUSED(path)
    return saveToRegistry();
}

QMap<QString, QString> SymbolMappingDialog::oldToNewMap()
{
    QMap<QString, QString> map;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QString oldName = cellText(row, 0).trimmed();
        const QString newName = cellText(row, 1).trimmed();
        if (!oldName.isEmpty() && !newName.isEmpty())
            map.insert(oldName, newName);
    }
    return map;
}

QMap<QString, QString> SymbolMappingDialog::newToOldMap()
{
    QMap<QString, QString> map;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QString oldName = cellText(row, 0).trimmed();
        const QString newName = cellText(row, 1).trimmed();
        if (!oldName.isEmpty() && !newName.isEmpty())
            map.insert(newName, oldName);
    }
    return map;
}

bool SymbolMappingDialog::loadFromRegistry()
{
    const QVector<MappingEntry> entries = readMappingEntries();
    m_model->removeRows(0, m_model->rowCount());
    for (const MappingEntry &e : entries)
        m_model->appendRow({new QStandardItem(e.oldName), new QStandardItem(e.newName)});
    adjustOldSymbolColumnWidth();
    return true;
}

bool SymbolMappingDialog::saveToRegistry()
{
    QStringList stored;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QString entry = formatMappingEntry(cellText(row, 0), cellText(row, 1));
        if (!entry.isEmpty())
            stored.append(entry);
    }
    writeMappingEntries(stored);
    return true;
}

void SymbolMappingDialog::addRow()
{
    m_model->appendRow({new QStandardItem, new QStandardItem});
    const QModelIndex cell = m_model->index(m_model->rowCount() - 1, 0);
    m_view->setCurrentIndex(cell);
    m_view->edit(cell);
}

void SymbolMappingDialog::removeSelectedRows()
{
    const QModelIndexList selected = m_view->selectionModel()->selectedRows(0);
    QVector<int> rows;
    for (const QModelIndex &index : selected)
        rows.append(index.row());
    // Bottom-up, so removing one row does not shift the others still to go.
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : rows)
        m_model->removeRow(row);
    if (!rows.isEmpty())
        adjustOldSymbolColumnWidth();
}

void SymbolMappingDialog::loadDefaultPath()
{
    loadFromRegistry();
}

void SymbolMappingDialog::adjustOldSymbolColumnWidth()
{
    if (!m_view || m_model->columnCount() < 2)
        return;

    const int available = parentWidget() ? parentWidget()->width() : width();
    const int cap = std::max(MinWidthCap, static_cast<int>(available * 0.5));

    int width = std::min(cap, MinOldColumnWidth);
    if (m_model->rowCount() > 0) {
        const QFontMetrics metrics(m_view->font());
        int widest = 0;
        for (int row = 0; row < m_model->rowCount(); ++row)
            widest = std::max(widest, metrics.horizontalAdvance(cellText(row, 0)));
        width = std::min(cap, std::max(widest + OldColumnPadding, MinOldColumnWidth));
    }

    m_view->setColumnWidth(0, width);
    m_view->horizontalHeader()->setStretchLastSection(false);
}

void SymbolMappingDialog::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    // The new size is only in effect once this event has been handled.
    QTimer::singleShot(0, this, &SymbolMappingDialog::adjustOldSymbolColumnWidth);
}
