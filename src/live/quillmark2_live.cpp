// The main window's live controls: starting the stream, keeping its symbol list
// in step with the selection, and the quote table.
#include "app/quillmark2.h"
#include "ui_quillmark2.h"

#include "amibroker/livedataupdator.h"
#include "app/messagebox.h"
#include "backfill/backfillpump.h"
#include "live/tickbuffer.h"
#include "live/tickline.h"
#include "live/websocketworker.h"
#include "platform/windowfront.h"
#include "symbols/symbolselection.h"

#include <QDebug>
#include <QDir>
#include <QHash>
#include <QVector>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QSignalBlocker>
#include <QTableWidgetItem>
#include <QThread>
#include <QTimer>

#include <cstring>

namespace {

const QColor kRising(173, 216, 230);
const QColor kFalling(255, 192, 203);

// Where a symbol's latest quote sits in the batch: its price and quantity fields
// (no data: no quote in this batch).
struct Quote
{
    QLatin1String price;
    QLatin1String quantity;
};

// The latest quote of every selected symbol in a batch of tick lines, as views into
// batch, by the symbol's slot. Read byte by byte and looked up without a string per
// line: with thousands of symbols the table is refreshed many times a second.
QVector<Quote> latestQuotes(const QByteArray &batch, const QHash<QByteArray, int> &slotOfSymbol, int slotCount)
{
    QVector<Quote> quotes(slotCount);
    forEachTextLine(batch, [&](const char *line, const char *lineEnd) {
        QLatin1String fields[6];
        if (line == lineEnd || mentionsFailed(line, lineEnd) || splitFields(line, lineEnd, fields, 6) < 6)
            return;
        const auto slot = slotOfSymbol.constFind(QByteArray::fromRawData(fields[1].data(), fields[1].size()));
        if (slot != slotOfSymbol.cend())
            quotes[slot.value()] = Quote{fields[4], fields[5]};
    });
    return quotes;
}

// Sets a quote cell's text, colouring it by the direction of the change; whether it changed.
bool updateQuoteCell(QTableWidgetItem *cell, QLatin1String field)
{
    // Most refreshes change few cells: compare before making the new text.
    const QString old = cell->text();
    const bool ascii = isAscii(field.data(), field.data() + field.size());
    if (ascii && old == field)
        return false;
    const QString text = QString::fromUtf8(field.data(), field.size());
    if (!ascii && old == text)
        return false;
    bool oldOk = false;
    bool newOk = false;
    const double oldValue = old.toDouble(&oldOk);
    const double newValue = text.toDouble(&newOk);
    if (oldOk && newOk) {
        if (newValue > oldValue)
            cell->setBackground(kRising);
        else if (newValue < oldValue)
            cell->setBackground(kFalling);
    } else {
        cell->setBackground(Qt::white);
    }
    cell->setText(text);
    return true;
}

} // namespace

QStringList quillmark2::liveSubscriptionList() const
{
    return m_selection->isEmpty() ? defaultLiveSymbols : m_selection->symbols();
}

void quillmark2::startLiveStream()
{
    const QStringList list = liveSubscriptionList();

    if (liveWorker && liveThread && liveThread->isRunning()) {
        QMetaObject::invokeMethod(liveWorker, "resubscribe", Qt::QueuedConnection, Q_ARG(QStringList, list));
        return;
    }
    if (liveThread && !liveThread->isRunning()) {
        liveThread->deleteLater();
        liveThread = nullptr;
    }

    liveThread = new QThread(this);
    liveThread->setObjectName(QStringLiteral("liveStream"));
    liveWorker = new WebSocketWorker(QUrl(m_profile.websocketLink), list, QStringLiteral("rtsocket.txt"),
                                     m_profile.clientId.simplified(), nullptr);
    liveWorker->moveToThread(liveThread);

    connect(liveThread, &QThread::finished, liveWorker, &QObject::deleteLater);
    connect(liveThread, &QThread::started, liveWorker, &WebSocketWorker::start);
    // Copies of the pointers: the window's members are gone by the time destroyed is emitted.
    QPointer<WebSocketWorker> worker(liveWorker);
    QPointer<QThread> thread(liveThread);
    connect(this, &QObject::destroyed, liveWorker, [worker, thread]() {
        if (worker)
            QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
        if (thread)
            thread->quit();
    }, Qt::DirectConnection);
    connect(liveWorker, &WebSocketWorker::rtDataDownloaded, updater, &liveDataUpdator::scheduleLiveImport,
            Qt::QueuedConnection);
    connect(liveWorker, &WebSocketWorker::rtDataDownloaded, this, &quillmark2::scheduleDisplayTable,
            Qt::QueuedConnection);
    connect(liveWorker, &WebSocketWorker::connected, this, [this]() {
        ui->statusLabel->setText(QStringLiteral("Live: Connected"));
        liveHealth.connected();
        refreshHealthLine();
    }, Qt::QueuedConnection);
    connect(liveWorker, &WebSocketWorker::disconnected, this, [this]() {
        ui->statusLabel->setText(QStringLiteral("Live: Disconnected"));
        liveHealth.disconnected();
        refreshHealthLine();
    }, Qt::QueuedConnection);
    connect(liveWorker, &WebSocketWorker::batchReceived, this, [this](int records, int kept) {
        liveHealth.batchReceived(healthClock.elapsed(), records, kept);
    }, Qt::QueuedConnection);
    connect(liveWorker, &WebSocketWorker::outageEnded, this, &quillmark2::liveOutageEnded, Qt::QueuedConnection);
    connect(liveWorker, &WebSocketWorker::tooLargeMessageRefused, this, [this](qint64 bytes) {
        appendMessage(WebSocketWorker::tooLargeMessageText(bytes));
    }, Qt::QueuedConnection);

    liveThread->start(QThread::InheritPriority);
}

void quillmark2::on_connectButton_clicked()
{
    startLiveStream();
    Platform::bringWindowToFront(QStringLiteral("AmiBroker"));
    // Not waited for: AmiBroker may be behind a dialog, and the window must not be.
    updater->loadDatabase();
    ui->connectButton->setEnabled(false);
}

void quillmark2::updateThreads()
{
    m_selection->noteFeed(currentFeed);
    // An emptied selection falls back to the default symbols, as Connect does,
    // rather than leaving the stream subscribed to nothing.
    if (liveWorker) {
        QMetaObject::invokeMethod(liveWorker, "resubscribe", Qt::QueuedConnection,
                                  Q_ARG(QStringList, liveSubscriptionList()));
    }
}

void quillmark2::scheduleDisplayTable()
{
    // Each refresh reads the newest batch, so refreshes already waiting would only
    // repeat it: one waits at a time, behind the window's other events.
    if (displayTableScheduled)
        return;
    displayTableScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            displayTableScheduled = false;
            updateDisplayTable();
        },
        Qt::QueuedConnection);
}

void quillmark2::updateDisplayTable()
{
    if (!ui || !updater)
        return;
    const QByteArray batch = latestBatchCopy(); // the quotes below are views into it

    const QStringList symbols = m_selection->symbols();
    if (symbols.isEmpty())
        return;
    // A slot per distinct symbol, made again only when the selection changed.
    if (quoteRows.symbols != symbols || quoteRows.slotOfRow.size() != symbols.size()) {
        quoteRows.symbols = symbols;
        quoteRows.slotOfSymbol.clear();
        quoteRows.slotOfRow.resize(symbols.size());
        for (int row = 0; row < symbols.size(); ++row) {
            const QByteArray name = symbols.at(row).toUtf8();
            auto slot = quoteRows.slotOfSymbol.constFind(name);
            if (slot == quoteRows.slotOfSymbol.cend())
                slot = quoteRows.slotOfSymbol.insert(name, quoteRows.slotOfSymbol.size());
            quoteRows.slotOfRow[row] = slot.value();
        }
    }
    const QVector<Quote> quotes = latestQuotes(batch, quoteRows.slotOfSymbol, quoteRows.slotOfSymbol.size());

    QTableWidget *table = ui->displayTableWidget;
    if (table->columnCount() < 3)
        table->setColumnCount(3);
    const QString headers[] = {QStringLiteral("SYMBOL"), QStringLiteral("LTP"), QStringLiteral("LTQ")};
    for (int column = 0; column < 3; ++column) {
        const QTableWidgetItem *header = table->horizontalHeaderItem(column);
        if (!header || header->text() != headers[column])
            table->setHorizontalHeaderItem(column, new QTableWidgetItem(headers[column]));
    }
    if (table->rowCount() != symbols.size())
        table->setRowCount(symbols.size());

    // Thousands of cells may change per refresh: the view hears of them once, as
    // one range, instead of once per cell and role.
    int firstChanged = -1;
    int lastChanged = -1;
    {
        const QSignalBlocker quiet(table->model());
        for (int row = 0; row < symbols.size(); ++row) {
            const QString &sym = symbols.at(row);
            bool changed = false;
            if (QTableWidgetItem *cell = table->item(row, 0)) {
                if (cell->text() != sym) {
                    cell->setText(sym);
                    changed = true;
                }
            } else {
                table->setItem(row, 0, new QTableWidgetItem(sym));
                changed = true;
            }
            for (int column = 1; column <= 2; ++column) {
                if (!table->item(row, column)) {
                    auto *cell = new QTableWidgetItem(QStringLiteral("0"));
                    cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                    table->setItem(row, column, cell);
                    changed = true;
                }
            }
            const Quote &quote = quotes.at(quoteRows.slotOfRow.at(row));
            if (quote.price.data()) {
                changed = updateQuoteCell(table->item(row, 1), quote.price) | changed;
                changed = updateQuoteCell(table->item(row, 2), quote.quantity) | changed;
            }
            if (changed) {
                if (firstChanged < 0)
                    firstChanged = row;
                lastChanged = row;
            }
        }
    }
    if (firstChanged >= 0) {
        QAbstractItemModel *model = table->model();
        emit model->dataChanged(model->index(firstChanged, 0), model->index(lastChanged, 2));
    }
}

void quillmark2::liveImportBlocked(const QString &reason)
{
    liveImportBlockedReason = reason;
    qDebug().noquote() << "[live import] blocked:" << QDir::toNativeSeparators(updater->rtImportPath) << reason;
    if (!liveImportWarningDelay) {
        liveImportWarningDelay = new QTimer(this);
        liveImportWarningDelay->setSingleShot(true);
        connect(liveImportWarningDelay, &QTimer::timeout, this, &quillmark2::showLiveImportWarning);
    }
    liveImportWarningDelay->start(LiveImportWarningDelayMs);
}

void quillmark2::liveImportResumed()
{
    qDebug().noquote() << "[live import] resumed";
    if (liveImportWarningDelay)
        liveImportWarningDelay->stop();
    if (liveImportWarning)
        liveImportWarning->close();
}

void quillmark2::showLiveImportWarning()
{
    const QString text = QStringLiteral("Live ticks cannot be written to\n%1\n(%2).\n"
                                        "They are kept and will be imported into AmiBroker as soon as "
                                        "the file can be written again.")
                             .arg(QDir::toNativeSeparators(updater->rtImportPath), liveImportBlockedReason);
    if (!liveImportWarning) {
        liveImportWarning = new QMessageBox(this);
        liveImportWarning->setAttribute(Qt::WA_DeleteOnClose);
        // Not modal: the selection, backfill and the stream stay usable meanwhile.
        liveImportWarning->setModal(false);
    }
    prepareMessageBox(*liveImportWarning, QMessageBox::Warning, QStringLiteral("Live Import"), text, QMessageBox::Ok);
    liveImportWarning->show();
}

void quillmark2::liveOutageEnded(qint64 durationMs, const QDateTime &lostAt)
{
    liveHealth.outageEnded(durationMs, lostAt);
    refreshHealthLine();
    if (backfillPump)
        backfillPump->fillGap(durationMs);
}

void quillmark2::refreshHealthLine()
{
    if (!ui)
        return;
    const qint64 now = healthClock.elapsed();
    QLabel *line = ui->healthLabel;
    line->setText(liveHealth.text(now));
    const QString style = LiveHealth::styleSheet(liveHealth.colour(now));
    if (line->styleSheet() != style)
        line->setStyleSheet(style);
    line->setToolTip(liveHealth.toolTip());
}
