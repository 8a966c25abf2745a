#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

namespace Platform {

// One late-bound call as the automation object's callers write it: "Import(0,C:\a.txt,C:\f.dll)"
// carries its values inline; "LoadDatabase(QString&)" names the parameter types and takes
// its one value separately.
struct DispatchCall
{
    QString name;            // the method name, the text before "("
    QVariantList arguments;  // in call order
    bool valid = false;      // false for a text without a name or with unbalanced brackets
};

// Splits a call text into the method name and its arguments. With a separate
// argument the brackets hold parameter types and the argument is the one value (an
// integer stays an integer, anything else is passed as a string). Without one, the
// bracket text is split at commas outside nested brackets and double quotes; each
// part, trimmed, is an integer when it reads as a 32-bit one and a string otherwise.
DispatchCall parseDispatchCall(const QString &function, const QVariant &separateArgument = QVariant());

} // namespace Platform
