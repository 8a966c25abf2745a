#include "dispatchcall.h"

namespace Platform {

namespace {

QVariant inlineValue(const QString &text)
{
    bool isInt = false;
    const int number = text.toInt(&isInt);
    if (isInt)
        return QVariant(number);
    return QVariant(text);
}

QVariant separateValue(const QVariant &argument)
{
    switch (argument.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
        return QVariant(argument.toInt());
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        bool fits = false;
        const int number = argument.toString().toInt(&fits);
        if (fits)
            return QVariant(number);
        break;
    }
    default:
        break;
    }
    return QVariant(argument.toString());
}

} // namespace

DispatchCall parseDispatchCall(const QString &function, const QVariant &separateArgument)
{
    DispatchCall call;
    const QString text = function.trimmed();
    const int open = text.indexOf(QLatin1Char('('));
    call.name = (open < 0 ? text : text.left(open)).trimmed();
    if (call.name.isEmpty())
        return call;
    if (open >= 0 && !text.endsWith(QLatin1Char(')')))
        return call;

    if (separateArgument.isValid()) {
        call.arguments.append(separateValue(separateArgument));
        call.valid = true;
        return call;
    }
    if (open < 0) {
        call.valid = true;
        return call;
    }

    const QString inner = text.mid(open + 1, text.size() - open - 2);
    if (inner.trimmed().isEmpty()) {
        call.valid = true;
        return call;
    }
    int depth = 0;
    bool quoted = false;
    int start = 0;
    for (int i = 0; i <= inner.size(); ++i) {
        const QChar c = i < inner.size() ? inner.at(i) : QChar(QLatin1Char(','));
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (!quoted && c == QLatin1Char('(')) {
            ++depth;
        } else if (!quoted && c == QLatin1Char(')')) {
            if (--depth < 0)
                return call;
        } else if (!quoted && depth == 0 && c == QLatin1Char(',')) {
            call.arguments.append(inlineValue(inner.mid(start, i - start).trimmed()));
            start = i + 1;
        }
    }
    if (depth != 0 || quoted) {
        call.arguments.clear();
        return call;
    }
    call.valid = true;
    return call;
}

} // namespace Platform
