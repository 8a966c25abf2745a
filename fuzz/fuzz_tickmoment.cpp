// The rule that a tick's date and time must name a real moment: checked
// against Qt's own date and time reading, and against moments built from the
// input in every form the rule takes.
#include "fuzzsupport.h"

#include "amibroker/livedataupdator.h"
#include "common/quotestamp.h"

#include <QDate>

namespace {

QString two(int v)
{
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    const int comma = input.indexOf(',');
    const QString date = QString::fromUtf8(comma < 0 ? input : input.left(comma));
    const QString time = comma < 0 ? QString() : QString::fromUtf8(input.mid(comma + 1));
    const bool real = QuoteStamp::isTickMoment(date, time);

    // A real moment is a day Qt knows, and its time of day is one Qt can build.
    if (real) {
        auto realDay = [](int d) {
            return d >= 0 && d / 10000 >= 1900 && d / 10000 < 3000 && QDate(d / 10000, d / 100 % 100, d % 100).isValid();
        };
        FuzzSupport::require(realDay(QuoteStamp::readDate(date, QuoteStamp::DateOrder::YearMonthDay))
                                 || realDay(QuoteStamp::readDate(date, QuoteStamp::DateOrder::DayMonthYear)),
                             "no such day passed");
        QString clock = time.trimmed();
        if (clock.contains(QLatin1Char('.')))
            clock = clock.left(clock.indexOf(QLatin1Char('.')));
        const int hms = QuoteStamp::readTime(clock);
        FuzzSupport::require(hms >= 0 && QTime(hms / 10000, hms / 100 % 100, hms % 100).isValid(),
                             "no such time of day passed");
    }

    // The import keeps a tick line exactly when the rule does.
    if (!date.contains(QLatin1Char('\n')) && !time.contains(QLatin1Char('\n')) && !time.contains(QLatin1Char(','))) {
        const QString line = QStringLiteral("t,S,%1,%2,1,1,0,0\n").arg(date, time);
        const bool kept = !liveImportLines(line.toUtf8(), {}).isEmpty();
        FuzzSupport::require(kept == QuoteStamp::isTickMoment(date.trimmed(), time.trimmed()),
                             "the import keeps a line the rule drops, or drops one it keeps");
    }

    // A moment built from the input: every form agrees on whether it is real.
    if (size >= 6) {
        const int year = 1890 + data[0] % 120;
        const int month = data[1] % 14;
        const int day = data[2] % 33;
        const int hour = data[3] % 26;
        const int minute = data[4] % 62;
        const int second = data[5] % 62;
        const bool realDay = year >= 1900 && QDate::isValid(year, month, day);
        const bool realTime = hour <= 23 && minute <= 59 && second <= 59;
        const QString y = QString::number(year);
        const QString clock = two(hour) + QLatin1Char(':') + two(minute) + QLatin1Char(':') + two(second);
        for (const QString &form : {y + two(month) + two(day), y + QLatin1Char('-') + two(month) + QLatin1Char('-') + two(day),
                                    QString::number(day) + QLatin1Char('/') + QString::number(month) + QLatin1Char('/') + y}) {
            FuzzSupport::require(QuoteStamp::isTickMoment(form, clock) == (realDay && realTime),
                                 "a built moment judged wrongly");
        }
        FuzzSupport::require(QuoteStamp::isTickMoment(y + two(month) + two(day),
                                                      two(hour) + two(minute) + two(second) + QStringLiteral(".5"))
                                 == (realDay && realTime),
                             "a built moment with a fraction judged wrongly");
    }
    return 0;
}
