#include "livesession.h"

#include "api/serverprofile.h"
#include "common/installfiles.h"
#include "common/messagebox.h"
#include "live/tickbuffer.h"
#include "live/tickline.h"
#include "live/websocketworker.h"
#include "symbols/symbolselection.h"

#include <QDir>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QUrl>

Q_DECLARE_LOGGING_CATEGORY(lcLive)

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

LiveSession::LiveSession(TickBuffer *ticks, const SymbolSelection *selection, const ServerProfile *profile,
                         const Widgets &widgets, QObject *parent)
    : QObject(parent)
    , m_ticks(ticks)
    , m_selection(selection)
    , m_profile(profile)
    , m_widgets(widgets)
{
    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setObjectName(QStringLiteral("quoteRefresh"));
    m_refreshTimer->setInterval(RefreshIntervalMs);
    connect(m_refreshTimer, &QTimer::timeout, this, &LiveSession::refreshQuotes);
    connect(m_refreshTimer, &QTimer::timeout, this, &LiveSession::refreshHealthLine);
    m_refreshTimer->start();
    m_healthClock.start();
    refreshHealthLine();
}

LiveSession::~LiveSession()
{
    stop();
}

const QStringList &LiveSession::defaultSymbols()
{
    static const QStringList symbols{QStringLiteral("BANKNIFTY-I"), QStringLiteral("CRUDEOIL-I"),
                                     QStringLiteral("GOLDM-I"),     QStringLiteral("SILVERM-I"),
                                     QStringLiteral("USDINR-I"),    QStringLiteral("INDIAVIX"),
                                     QStringLiteral("ICICIBANK"),   QStringLiteral("NIFTY-I")};
    return symbols;
}

QStringList LiveSession::subscriptionList() const
{
    return m_selection->isEmpty() ? defaultSymbols() : m_selection->symbols();
}

void LiveSession::start()
{
    const QStringList list = subscriptionList();
    if (m_worker && m_thread && m_thread->isRunning()) {
        QMetaObject::invokeMethod(m_worker, "resubscribe", Qt::QueuedConnection, Q_ARG(QStringList, list));
        return;
    }
    if (m_thread && !m_thread->isRunning()) {
        m_thread->deleteLater();
        m_thread = nullptr;
    }

    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("liveStream"));
    m_worker = new WebSocketWorker(QUrl(m_profile->websocketLink), list, QLatin1String(InstallFiles::TickFile),
                                   m_profile->clientId.simplified(), nullptr);
    m_worker->setTickBuffer(m_ticks);
    m_worker->moveToThread(m_thread);

    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_thread, &QThread::started, m_worker, &WebSocketWorker::start);
    connect(m_worker, &WebSocketWorker::rtDataDownloaded, this, &LiveSession::batchArrived, Qt::QueuedConnection);
    connect(m_worker, &WebSocketWorker::rtDataDownloaded, this, &LiveSession::scheduleQuotes, Qt::QueuedConnection);
    connect(m_worker, &WebSocketWorker::connected, this, [this]() {
        m_widgets.status->setText(QStringLiteral("Live: Connected"));
        m_health.connected();
        refreshHealthLine();
    }, Qt::QueuedConnection);
    connect(m_worker, &WebSocketWorker::disconnected, this, [this]() {
        m_widgets.status->setText(QStringLiteral("Live: Disconnected"));
        m_health.disconnected();
        refreshHealthLine();
    }, Qt::QueuedConnection);
    connect(m_worker, &WebSocketWorker::batchReceived, this, [this](int records, int kept) {
        m_health.batchReceived(healthNow(), records, kept);
    }, Qt::QueuedConnection);
    connect(m_worker, &WebSocketWorker::outageEnded, this, [this](qint64 durationMs, const QDateTime &lostAt) {
        m_health.outageEnded(durationMs, lostAt);
        refreshHealthLine();
        emit outageEnded(durationMs, lostAt);
    }, Qt::QueuedConnection);
    connect(m_worker, &WebSocketWorker::tooLargeMessageRefused, this, [this](qint64 bytes) {
        emit message(WebSocketWorker::tooLargeMessageText(bytes));
    }, Qt::QueuedConnection);

    m_thread->start(QThread::InheritPriority);
}

void LiveSession::resubscribe()
{
    // An emptied selection falls back to the default symbols, as Connect does,
    // rather than leaving the stream subscribed to nothing.
    if (m_worker) {
        QMetaObject::invokeMethod(m_worker, "resubscribe", Qt::QueuedConnection,
                                  Q_ARG(QStringList, subscriptionList()));
    }
}

void LiveSession::stop()
{
    if (m_worker) {
        m_worker->deleteLater(); // its destructor stops the stream on its own thread
        m_worker = nullptr;
    }
    if (!m_thread)
        return;
    m_thread->quit();
    if (!m_thread->wait(2000)) {
        m_thread->terminate();
        m_thread->wait();
    }
    m_thread->deleteLater();
    m_thread = nullptr;
}

void LiveSession::scheduleQuotes()
{
    // Each refresh reads the newest batch, so refreshes already waiting would only
    // repeat it: one waits at a time, behind the window's other events.
    if (m_quotesScheduled)
        return;
    m_quotesScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_quotesScheduled = false;
            refreshQuotes();
        },
        Qt::QueuedConnection);
}

void LiveSession::refreshQuotes()
{
    const QByteArray batch = m_ticks->latestBatch(); // the quotes below are views into it

    const QStringList symbols = m_selection->symbols();
    if (symbols.isEmpty())
        return;
    // A slot per distinct symbol, made again only when the selection changed.
    if (m_rows.symbols != symbols || m_rows.slotOfRow.size() != symbols.size()) {
        m_rows.symbols = symbols;
        m_rows.slotOfSymbol.clear();
        m_rows.slotOfRow.resize(symbols.size());
        for (int row = 0; row < symbols.size(); ++row) {
            const QByteArray name = symbols.at(row).toUtf8();
            auto slot = m_rows.slotOfSymbol.constFind(name);
            if (slot == m_rows.slotOfSymbol.cend())
                slot = m_rows.slotOfSymbol.insert(name, m_rows.slotOfSymbol.size());
            m_rows.slotOfRow[row] = slot.value();
        }
    }
    const QVector<Quote> quotes = latestQuotes(batch, m_rows.slotOfSymbol, m_rows.slotOfSymbol.size());

    QTableWidget *table = m_widgets.quotes;
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
            const Quote &quote = quotes.at(m_rows.slotOfRow.at(row));
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

void LiveSession::ticksImported(int ticks)
{
    m_health.ticksImported(ticks);
}

void LiveSession::importBlocked(const QString &reason, const QString &importFile)
{
    m_blockedReason = reason;
    m_importFile = importFile;
    qCInfo(lcLive).noquote() << "live import blocked:" << QDir::toNativeSeparators(importFile) << reason;
    if (!m_warningDelay) {
        m_warningDelay = new QTimer(this);
        m_warningDelay->setObjectName(QStringLiteral("importWarningDelay"));
        m_warningDelay->setSingleShot(true);
        connect(m_warningDelay, &QTimer::timeout, this, &LiveSession::showImportWarning);
    }
    m_warningDelay->start(ImportWarningDelayMs);
}

void LiveSession::importResumed()
{
    qCInfo(lcLive) << "live import resumed";
    if (m_warningDelay)
        m_warningDelay->stop();
    if (m_warning)
        m_warning->close();
}

void LiveSession::showImportWarning()
{
    const QString text = QStringLiteral("Live ticks cannot be written to\n%1\n(%2).\n"
                                        "They are kept and will be imported into AmiBroker as soon as "
                                        "the file can be written again.")
                             .arg(QDir::toNativeSeparators(m_importFile), m_blockedReason);
    if (!m_warning) {
        m_warning = new QMessageBox(m_widgets.window);
        m_warning->setAttribute(Qt::WA_DeleteOnClose);
        // Not modal: the selection, backfill and the stream stay usable meanwhile.
        m_warning->setModal(false);
    }
    prepareMessageBox(*m_warning, QMessageBox::Warning, QStringLiteral("Live Import"), text, QMessageBox::Ok);
    m_warning->show();
}

void LiveSession::amiBrokerState(LiveHealth::BrokerState state, const QDateTime &since, qint64 heldTicks)
{
    // The health line runs on its own monotonic clock.
    const qint64 ago = qMax<qint64>(0, since.msecsTo(QDateTime::currentDateTime()));
    m_health.amiBroker(state, healthNow() - ago, heldTicks);
    refreshHealthLine();
}

void LiveSession::refreshHealthLine()
{
    const qint64 now = healthNow();
    QLabel *line = m_widgets.health;
    line->setText(m_health.text(now));
    const QString style = LiveHealth::styleSheet(m_health.colour(now));
    if (line->styleSheet() != style)
        line->setStyleSheet(style);
    line->setToolTip(m_health.toolTip());
}
