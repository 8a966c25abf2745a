#pragma once

#include "platform/brokerautomation.h"

#include <QObject>
#include <QString>
#include <QVariant>

struct IDispatch;
struct IMessageFilter;
class RetryingMessageFilter;

// A late-bound automation object on Windows: the COM object registered under a
// ProgID, driven through IDispatch (GetIDsOfNames, then Invoke) with calls written
// as text, "Import(0,C:\a.txt,C:\f.dll)" or "LoadDatabase(QString&)" plus a value
// (see parseDispatchCall). It stands where ActiveQt's QAxObject would: ActiveQt is
// not part of the Qt we can build.
//
// COM is initialised on the thread that constructs the object, and the object must
// be used and destroyed on that thread only (its apartment); callers on other
// threads hand their calls over with a blocking queued invocation of the one-string
// dynamicCall.
class ComDispatchObject : public QObject, public BrokerAutomation
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ComDispatchObject)

public:
    explicit ComDispatchObject(const QString &progId, QObject *parent = nullptr);
    ~ComDispatchObject() override;

    // True when the object could not be created (no such ProgID, server failed).
    bool isNull() const { return m_dispatch == nullptr; }

    // The call's result, or an invalid variant when there is no object, the method
    // is unknown or the call failed. A call that succeeded without a result
    // returns an invalid variant too, as ActiveQt does.
    QVariant dynamicCall(const char *function, const QVariant &arg = QVariant());
    Q_INVOKABLE QVariant dynamicCall(const QString &function);

    // One call and what became of it (busy, gone or failed by its HRESULT).
    Broker::Reply call(const QString &function, const QVariant &arg = QVariant()) override;

    // How long COM tries a call again that AmiBroker refuses as busy, through the
    // message filter this object registers on its thread (every
    // Broker::RetryEveryMs); 0 gives up at once.
    void setRetryBudgetMs(int ms) override;

private:
    IDispatch *m_dispatch = nullptr;
    bool m_comInitialised = false;
    RetryingMessageFilter *m_filter = nullptr;
    IMessageFilter *m_previousFilter = nullptr;
};
