#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

// Stands in for AmiBroker's automation object where there is no AmiBroker: it
// records every call in "<root>/Amibroker/automation.log" (the method text, then
// a tab and the argument for calls that carry one) and performs "Import(0,<data>,
// <format>)" by appending the data file's lines to "<root>/Amibroker/imported.txt".
// Tests, benchmarks and people read those two files to see what AmiBroker got.
class BrokerStandIn : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BrokerStandIn)

public:
    explicit BrokerStandIn(QObject *parent = nullptr);

    // The late-bound call as the ActiveX container offers it.
    QVariant dynamicCall(const char *function, const QVariant &arg = QVariant());

    // The generic one-string call, reachable by name with a blocking queued
    // invocation from another thread.
    Q_INVOKABLE QVariant dynamicCall(const QString &function);

    // Always false: the stand-in is never a missing object.
    bool isNull() const { return false; }

private:
    QVariant call(const QString &function, const QVariant &arg);
    bool performImport(const QString &function);
};
