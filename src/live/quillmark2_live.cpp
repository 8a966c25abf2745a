// The main window's live controls: starting the stream, keeping its symbol list
// in step with the selection, and the quote table.
#include "app/quillmark2.h"
#include "ui_quillmark2.h"

#include "amibroker/livedataupdator.h"
#include "app/messagebox.h"
#include "backfill/backfillpump.h"
#include "live/tickbuffer.h"
#include "live/websocketworker.h"
#include "platform/windowfront.h"

#include <QDebug>
#include <QDir>
#include <QHash>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTableWidgetItem>
#include <QThread>
#include <QTimer>

namespace {

const QColor kRising(173, 216, 230);
const QColor kFalling(255, 192, 203);

struct Quote
{
    QString price;
    QString quantity;
};

// The latest quote per symbol in a batch of tick lines.
QHash<QString, Quote> latestQuotes(const QByteArray &batch)
{
    QHash<QString, Quote> quotes;
    const QStringList lines = QString::fromUtf8(batch).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(QLatin1String("Failed"), Qt::CaseInsensitive))
            continue;
        const QStringList fields = line.split(QLatin1Char(','));
        if (fields.size() < 6)
            continue;
        quotes.insert(fields.at(1), Quote{fields.at(4), fields.at(5)});
    }
    return quotes;
}

// Sets a quote cell's text, colouring it by the direction of the change.
void updateQuoteCell(QTableWidgetItem *cell, const QString &text)
{
    if (cell->text() == text)
        return;
    bool oldOk = false;
    bool newOk = false;
    const double oldValue = cell->text().toDouble(&oldOk);
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
}

} // namespace

QStringList quillmark2::liveSubscriptionList() const
{
    return updater->selectedSymbols.isEmpty() ? defaultLiveSymbols : updater->selectedSymbols;
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
    liveWorker = new WebSocketWorker(QUrl(websocketLink), list, QStringLiteral("rtsocket.txt"),
                                     ui->machineIDLabel->text().simplified(), nullptr);
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
    connect(liveWorker, &WebSocketWorker::rtDataDownloaded, this, &quillmark2::updateDisplayTable,
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

    liveThread->start(QThread::InheritPriority);
}

void quillmark2::on_connectButton_clicked()
{
    startLiveStream();
    Platform::bringWindowToFront(QStringLiteral("AmiBroker"));
    if (updater->amiBroker)
        updater->amiBroker->dynamicCall("LoadDatabase(QString&)", databasePath);
    ui->connectButton->setEnabled(false);
}

void quillmark2::updateThreads()
{
    if (!updater->activeFeeds.contains(currentFeed))
        updater->activeFeeds.append(currentFeed);
    // An emptied selection falls back to the default symbols, as Connect does,
    // rather than leaving the stream subscribed to nothing.
    if (liveWorker) {
        QMetaObject::invokeMethod(liveWorker, "resubscribe", Qt::QueuedConnection,
                                  Q_ARG(QStringList, liveSubscriptionList()));
    }
}

void quillmark2::updateDisplayTable()
{
    if (!ui || !updater)
        return;
    const QHash<QString, Quote> quotes = latestQuotes(latestBatchCopy());

    const QStringList symbols = updater->selectedSymbols;
    if (symbols.isEmpty())
        return;

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

    for (int row = 0; row < symbols.size(); ++row) {
        const QString &sym = symbols.at(row);
        if (QTableWidgetItem *cell = table->item(row, 0)) {
            if (cell->text() != sym)
                cell->setText(sym);
        } else {
            table->setItem(row, 0, new QTableWidgetItem(sym));
        }
        for (int column = 1; column <= 2; ++column) {
            if (!table->item(row, column)) {
                auto *cell = new QTableWidgetItem(QStringLiteral("0"));
                cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                table->setItem(row, column, cell);
            }
        }
        const auto quote = quotes.constFind(sym);
        if (quote == quotes.constEnd())
            continue;
        updateQuoteCell(table->item(row, 1), quote->price);
        updateQuoteCell(table->item(row, 2), quote->quantity);
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
