// The rule that a tick's date and time must name a real moment: checked
// against Qt's own date and time parsing, and against moments built from the
// input in every form the rule takes.
#include "fuzzsupport.h"

#include "amibroker/livedataupdator.h"
#include "live/tickline.h"

#include <QDate>
#include <QStringList>
#include <QTime>

namespace {

bool inRange(const QDate &date)
{
    return date.isValid() && date.year() >= 1900 && date.year() <= 2999;
}

// Qt's reading of a date in one of the forms the rule accepts.
bool qtReadsDate(QString text)
{
    if (text.size() == 8) {
        if (inRange(QDate::fromString(text, QStringLiteral("yyyyMMdd")))
            || inRange(QDate::fromString(text, QStringLiteral("ddMMyyyy"))))
            return true;
    }
    // Month names: Qt reads them capitalised only.
    if (text.size() >= 5)
        text = text.left(3) + text.mid(3).toLower();
    for (const QChar sep : {QLatin1Char('-'), QLatin1Char('/'), QLatin1Char('.')}) {
        const QStringList parts = text.split(sep);
        if (parts.size() != 3)
            continue;
        QString month = parts.at(1);
        if (month.size() == 3)
            month = month.left(1).toUpper() + month.mid(1);
        const bool yearFirst = parts.at(0).size() == 4;
        const QString year = yearFirst ? parts.at(0) : parts.at(2);
        const QString day = yearFirst ? parts.at(2) : parts.at(0);
        if (year.size() != 4 || day.isEmpty() || day.size() > 2 || month.isEmpty())
            continue;
        const QString joined = year + QLatin1Char(' ') + month + QLatin1Char(' ') + day;
        for (const char *format : {"yyyy M d", "yyyy MMM d"}) {
            if (inRange(QDate::fromString(joined, QLatin1String(format))))
                return true;
        }
    }
    return false;
}

bool qtReadsTime(QString text)
{
    const int dot = text.indexOf(QLatin1Char('.'));
    if (dot >= 0) {
        const QString fraction = text.mid(dot + 1);
        bool ok = false;
        fraction.toULongLong(&ok);
        if (!ok || fraction.size() > 9 || fraction.startsWith(QLatin1Char('+')) || fraction.contains(QLatin1Char(' ')))
            return false;
        text = text.left(dot);
    }
    for (const char *format : {"H:mm:ss", "H:mm", "HHmmss", "HHmm"}) {
        if (QTime::fromString(text, QLatin1String(format)).isValid())
            return true;
    }
    return false;
}

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

    if (isTickDate(date))
        FuzzSupport::require(qtReadsDate(date), "a date Qt cannot read passed");
    if (isTickTime(time))
        FuzzSupport::require(qtReadsTime(time), "a time Qt cannot read passed");

    // The import keeps a tick line exactly when both name a real moment.
    if (!date.contains(QLatin1Char('\n')) && !time.contains(QLatin1Char('\n')) && !time.contains(QLatin1Char(','))) {
        const QString line = QStringLiteral("t,S,%1,%2,1,1,0,0\n").arg(date, time);
        const bool kept = !liveImportLines(line.toUtf8(), {}).isEmpty();
        FuzzSupport::require(kept == (isTickDate(date.trimmed()) && isTickTime(time.trimmed())),
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
        for (const QString &form : {y + two(month) + two(day), y + QLatin1Char('-') + two(month) + QLatin1Char('-') + two(day),
                                    QString::number(day) + QLatin1Char('/') + QString::number(month) + QLatin1Char('/') + y}) {
            FuzzSupport::require(isTickDate(form) == realDay, "a built date judged wrongly");
        }
        for (const QString &form : {two(hour) + QLatin1Char(':') + two(minute) + QLatin1Char(':') + two(second),
                                    two(hour) + two(minute) + two(second) + QStringLiteral(".5")}) {
            FuzzSupport::require(isTickTime(form) == realTime, "a built time judged wrongly");
        }
    }
    return 0;
}
