#include "brokerview.h"

#include "amibroker/livedataupdator.h"

#include "common/quotestamp.h"
#include "common/installfiles.h"
#include "platform/installroot.h"
#include "testenv.h"

#include <QFile>
#include <QSet>

namespace {

constexpr int SampleCount = 5;

QString describe(const QuoteKey &key, const ViewQuote *quote)
{
    const QString where = QStringLiteral("%1 %2").arg(key.first).arg(key.second);
    if (!quote)
        return where + QStringLiteral(" (none)");
    return where + QStringLiteral(" price %1 quantity %2 oi %3").arg(quote->price).arg(quote->quantity).arg(quote->openInterest);
}

} // namespace

void addTicks(QuoteView &view, const QByteArray &tickLines, const QHash<QString, QString> &map)
{
    for (const QByteArray &raw : tickLines.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.toLower().contains("failed"))
            continue;
        const QList<QByteArray> parts = line.split(',');
        if (parts.size() < 8)
            continue;
        QString symbol = QString::fromUtf8(parts.at(1).trimmed());
        symbol = map.value(symbol, symbol);
        const qint64 stamp = QuoteStamp::stamp(QString::fromUtf8(parts.at(2)), QString::fromUtf8(parts.at(3)));
        bool ok = false;
        const double price = parts.at(4).trimmed().toDouble(&ok);
        if (symbol.isEmpty() || stamp < 0 || !ok || !(price > 0))
            continue;
        ViewQuote &quote = view[QuoteKey(symbol, stamp)];
        quote.price = price;
        quote.quantity += qRound64(parts.at(5).trimmed().toDouble());
        quote.openInterest = parts.at(6).trimmed().toDouble();
    }
}

QuoteView streamView(const QByteArray &tickLines, const QHash<QString, QString> &map)
{
    QuoteView view;
    addTicks(view, tickLines, map);
    return view;
}

QuoteView quotesView(const QByteArray &quotesText)
{
    QuoteView view;
    for (const QByteArray &line : quotesText.split('\n')) {
        const QList<QByteArray> parts = line.split(',');
        if (parts.size() != 9)
            continue;
        const qint64 stamp = QuoteStamp::stamp(QString::fromUtf8(parts.at(1)), QString::fromUtf8(parts.at(2)),
                                               QuoteStamp::DateOrder::YearMonthDay, true);
        ViewQuote &quote = view[QuoteKey(QString::fromUtf8(parts.at(0)), stamp)];
        quote.price = parts.at(6).toDouble();
        quote.quantity = qRound64(parts.at(7).toDouble());
        quote.openInterest = parts.at(8).toDouble();
    }
    return view;
}

QuoteView brokerView()
{
    return quotesView(readFile(Platform::installPath(QLatin1String(InstallFiles::StandInQuotes))));
}

int viewDifferences(const QuoteView &want, const QuoteView &got, QStringList *samples)
{
    int differences = 0;
    auto note = [&](const QuoteKey &key, const ViewQuote *wanted, const ViewQuote *held) {
        if (samples && samples->size() < SampleCount)
            *samples << QStringLiteral("want %1, got %2").arg(describe(key, wanted), describe(key, held));
        ++differences;
    };
    for (auto it = want.cbegin(); it != want.cend(); ++it) {
        const auto held = got.constFind(it.key());
        if (held == got.cend())
            note(it.key(), &it.value(), nullptr);
        else if (held->price != it->price || held->quantity != it->quantity || held->openInterest != it->openInterest)
            note(it.key(), &it.value(), &held.value());
    }
    for (auto it = got.cbegin(); it != got.cend(); ++it) {
        if (!want.contains(it.key()))
            note(it.key(), nullptr, &it.value());
    }
    return differences;
}

int linesOffTheStream(const QByteArray &importedLines, const QByteArray &tickLines)
{
    QHash<QuoteKey, qint64> sums;
    QSet<QByteArray> states;
    for (const QByteArray &line : tickLines.split('\n')) {
        QList<QByteArray> parts = line.split(',');
        if (parts.size() != 8)
            continue;
        const QuoteKey key(QString::fromUtf8(parts.at(1)),
                           QuoteStamp::stamp(QString::fromUtf8(parts.at(2)), QString::fromUtf8(parts.at(3))));
        qint64 &sum = sums[key];
        sum += parts.at(5).toLongLong();
        parts[5] = QByteArray::number(sum);
        states.insert(parts.join(','));
    }
    int off = 0;
    for (QByteArray line : importedLines.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty() && !states.contains(line))
            ++off;
    }
    return off;
}

bool installFormatDefinitions()
{
    for (const char *name : {InstallFiles::LiveFormat, InstallFiles::BackfillFormat, InstallFiles::EodFormat}) {
        const QString target = Platform::installPath(QLatin1String(name));
        QFile::remove(target);
        if (!QFile::copy(QStringLiteral(QM_SOURCE_DIR "/resources/") + QLatin1String(name), target))
            return false;
    }
    return true;
}

void waitForAmiBrokersThread(liveDataUpdator *u)
{
    QMetaObject::invokeMethod(u->amiBroker, [] {}, Qt::BlockingQueuedConnection);
}
