#include "liveimport.h"

#include "common/quotestamp.h"
#include "amibroker/secondsums.h"
#include "live/tickline.h"

#include <QVector>

#include <cmath>

namespace {

constexpr int TickFields = 8;

QLatin1String trimmedBytes(const char *b, const char *e)
{
    trimBlanks(&b, &e);
    return QLatin1String(b, int(e - b));
}

// The first eight fields of a tick line, trimmed, as views into the line (or into
// spare, for a line past ASCII); false for a line that is dropped before its
// fields are read: empty, "Failed", fewer than eight fields.
bool tickFields(const char *b, const char *e, QLatin1String (&parts)[TickFields], QByteArray (&spare)[TickFields])
{
    const QLatin1String line = trimmedBytes(b, e);
    b = line.data();
    e = b + line.size();
    if (!isAscii(b, e)) {
        // Rare: white space and case past ASCII as the text's characters have them.
        const QString text = QString::fromUtf8(b, int(e - b)).trimmed();
        if (text.isEmpty() || text.contains(QLatin1String("Failed"), Qt::CaseInsensitive))
            return false;
        const QStringList fields = text.split(QLatin1Char(','));
        if (fields.size() < TickFields)
            return false;
        for (int i = 0; i < TickFields; ++i) {
            spare[i] = fields.at(i).trimmed().toUtf8();
            parts[i] = QLatin1String(spare[i].constData(), spare[i].size());
        }
        return true;
    }
    if (b == e || mentionsFailed(b, e) || splitFields(b, e, parts, TickFields) < TickFields)
        return false;
    for (QLatin1String &part : parts)
        part = trimmedBytes(part.data(), part.data() + part.size());
    return true;
}

void appendField(QByteArray &out, QLatin1String field)
{
    out.append(field.data(), field.size());
}

} // namespace

QByteArray liveImportLines(const QByteArray &pending, const QHash<QString, QString> &symbolMap, int *kept,
                           SecondSums *sums)
{
    QHash<QByteArray, QByteArray> renames;
    for (auto it = symbolMap.cbegin(); it != symbolMap.cend(); ++it)
        renames.insert(it.key().toUtf8(), it.value().toUtf8());

    // Lines in import order. The second in progress of a symbol keeps the place of
    // its first line in this cycle and takes the text of its latest.
    QVector<QByteArray> lines;
    QHash<QByteArray, int> placeOfSecond;
    QLatin1String parts[TickFields];
    QByteArray spare[TickFields];
    forEachTextLine(pending, [&](const char *lineStart, const char *lineEnd) {
        if (!tickFields(lineStart, lineEnd, parts, spare) || !QuoteStamp::isTickMoment(parts[2], parts[3])
            || !tickLineFieldsAllowed(parts, TickFields))
            return;

        QByteArray symbol = QByteArray::fromRawData(parts[1].data(), parts[1].size());
        if (!symbol.isEmpty() && !renames.isEmpty()) {
            const auto mapped = renames.constFind(symbol);
            if (mapped != renames.cend())
                symbol = mapped.value();
            if (holdsForbiddenTickCharacter(symbol.constBegin(), symbol.constEnd()))
                return;
        }
        double price = 0;
        if (!readDecimal(parts[4], &price) || price <= 0 || price > MaxTickNumber)
            return;
        double quantity = 0;
        if (!readDecimal(parts[5], &quantity))
            quantity = 0;
        if (std::fabs(quantity) > MaxTickNumber)
            return;
        qint64 carried = roundHalfUp(quantity);

        int place = -1;
        bool opensPlace = false;
        // A stamp AmiBroker cannot read gives a line it refuses anyway: passed on as it is.
        const qint64 stamp = sums ? QuoteStamp::stamp(parts[2], parts[3]) : -1;
        if (stamp >= 0) {
            switch (sums->add(symbol, stamp, &carried)) {
            case SecondSums::Kind::NewSecond:
                opensPlace = true;
                break;
            case SecondSums::Kind::SameSecond:
                place = placeOfSecond.value(symbol, -1);
                opensPlace = place < 0;
                break;
            case SecondSums::Kind::Late:
                break;
            }
        }

        QByteArray text;
        text.reserve(int(lineEnd - lineStart) + symbol.size() + 32);
        appendField(text, parts[0]);
        text.append(',');
        text.append(symbol);
        text.append(',');
        appendField(text, parts[2]);
        text.append(',');
        appendField(text, parts[3]);
        text.append(',');
        appendPrice(text, price);
        text.append(',');
        text.append(QByteArray::number(carried));
        text.append(',');
        appendField(text, parts[6]);
        text.append(',');
        appendField(text, parts[7]);
        text.append('\n');
        if (place >= 0) {
            lines[place] = std::move(text);
        } else {
            lines.append(std::move(text));
            if (opensPlace)
                placeOfSecond.insert(QByteArray(symbol.constData(), symbol.size()), lines.size() - 1);
        }
    });
    if (kept)
        *kept = lines.size();
    int total = 0;
    for (const QByteArray &line : qAsConst(lines))
        total += line.size();
    QByteArray out;
    out.reserve(total);
    for (const QByteArray &line : qAsConst(lines))
        out += line;
    return out;
}

