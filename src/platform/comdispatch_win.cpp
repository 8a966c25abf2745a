#include "comdispatch_win.h"

#include "platform/dispatchcall.h"

#include <QLoggingCategory>
#include <QVector>

#include <atomic>

#include <windows.h>
#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

Q_LOGGING_CATEGORY(lcCom, "quillmark.broker", QtInfoMsg)

namespace {

QString hresultText(HRESULT hr)
{
    return QStringLiteral("0x%1").arg(quint32(hr), 8, 16, QLatin1Char('0'));
}

void toVariant(const QVariant &value, VARIANT *out)
{
    VariantInit(out);
    switch (value.userType()) {
    case QMetaType::Int:
        out->vt = VT_I4;
        out->lVal = value.toInt();
        break;
    case QMetaType::Bool:
        out->vt = VT_BOOL;
        out->boolVal = value.toBool() ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case QMetaType::Double:
        out->vt = VT_R8;
        out->dblVal = value.toDouble();
        break;
    default: {
        const QString text = value.toString();
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.utf16()), UINT(text.size()));
        break;
    }
    }
}

QVariant fromVariant(VARIANT *value)
{
    switch (value->vt) {
    case VT_EMPTY:
    case VT_NULL:
        return QVariant();
    case VT_BOOL:
        return QVariant(value->boolVal != VARIANT_FALSE);
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_UI1:
    case VT_UI2: {
        VARIANT asInt;
        VariantInit(&asInt);
        if (SUCCEEDED(VariantChangeType(&asInt, value, 0, VT_I4)))
            return QVariant(int(asInt.lVal));
        break;
    }
    case VT_R4:
    case VT_R8:
        return QVariant(value->vt == VT_R8 ? value->dblVal : double(value->fltVal));
    default:
        break;
    }
    VARIANT asText;
    VariantInit(&asText);
    if (SUCCEEDED(VariantChangeType(&asText, value, 0, VT_BSTR))) {
        // Never a null string: the call was made, and callers test the result for null.
        QString text = QString::fromWCharArray(asText.bstrVal, int(SysStringLen(asText.bstrVal)));
        VariantClear(&asText);
        return QVariant(text.isNull() ? QStringLiteral("") : text);
    }
    return QVariant(true);
}

} // namespace

// COM asks this when AmiBroker refuses a call (a modal dialog is up): try again
// every Broker::RetryEveryMs until the budget is spent. While a call waits, nothing
// of ours may start another one on this thread (a cycle inside a cycle), so
// pending messages stay queued until it returns.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class RetryingMessageFilter final : public IMessageFilter
{
public:
    std::atomic<int> budgetMs{Broker::RetryBudgetMs};

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMessageFilter)) {
            *out = static_cast<IMessageFilter *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&m_refs);
        if (left == 0)
            delete this;
        return ULONG(left);
    }
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override
    {
        return SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD elapsedMs, DWORD rejectType) override
    {
        if (rejectType == SERVERCALL_RETRYLATER && elapsedMs + Broker::RetryEveryMs <= DWORD(budgetMs.load()))
            return Broker::RetryEveryMs;
        return DWORD(-1); // give up: the call fails as rejected
    }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITNOPROCESS; }

private:
    LONG m_refs = 1;
};
#pragma GCC diagnostic pop

ComDispatchObject::ComDispatchObject(const QString &progId, QObject *parent)
    : QObject(parent)
{
    // The GUI thread is already initialised by Qt (OLE, single-threaded apartment):
    // S_FALSE then, balanced by CoUninitialize like S_OK. RPC_E_CHANGED_MODE means
    // the thread lives in another apartment model, which serves as well.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    m_comInitialised = SUCCEEDED(init);
    m_filter = new RetryingMessageFilter;
    if (FAILED(CoRegisterMessageFilter(m_filter, &m_previousFilter))) {
        m_filter->Release();
        m_filter = nullptr;
    }

    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(progId.utf16()), &clsid);
    if (FAILED(hr)) {
        qCWarning(lcCom) << "no automation server registered as" << progId << hresultText(hr);
        return;
    }
    void *object = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, &object);
    if (FAILED(hr) || !object) {
        qCWarning(lcCom) << "cannot create" << progId << hresultText(hr);
        return;
    }
    m_dispatch = static_cast<IDispatch *>(object);
}

ComDispatchObject::~ComDispatchObject()
{
    if (m_dispatch)
        m_dispatch->Release();
    m_dispatch = nullptr;
    if (m_filter) {
        IMessageFilter *ours = nullptr;
        CoRegisterMessageFilter(m_previousFilter, &ours);
        if (ours)
            ours->Release();
        if (m_previousFilter)
            m_previousFilter->Release();
        m_filter->Release();
    }
    if (m_comInitialised)
        CoUninitialize();
}

QVariant ComDispatchObject::dynamicCall(const char *function, const QVariant &arg)
{
    const Broker::Reply reply = call(QString::fromUtf8(function), arg);
    return reply.done() ? reply.value : QVariant();
}

QVariant ComDispatchObject::dynamicCall(const QString &function)
{
    const Broker::Reply reply = call(function, QVariant());
    return reply.done() ? reply.value : QVariant();
}

void ComDispatchObject::setRetryBudgetMs(int ms)
{
    if (m_filter)
        m_filter->budgetMs = qMax(0, ms);
}

Broker::Reply ComDispatchObject::call(const QString &function, const QVariant &arg)
{
    using Broker::Outcome;
    if (!m_dispatch)
        return Broker::Reply{Outcome::Gone, QVariant()};
    const Platform::DispatchCall call = Platform::parseDispatchCall(function, arg);
    if (!call.valid) {
        qCWarning(lcCom) << "cannot read the call" << function;
        return Broker::Reply{Outcome::Failed, QVariant()};
    }

    std::wstring name = call.name.toStdWString();
    LPOLESTR names[] = {&name[0]};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = m_dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) {
        // A busy or vanished AmiBroker refuses already here.
        const Outcome outcome = Broker::outcomeOfFailure(quint32(hr));
        if (outcome == Outcome::Failed)
            qCWarning(lcCom) << "unknown method" << call.name << hresultText(hr);
        else
            qCInfo(lcCom) << "call" << function << Broker::outcomeName(outcome) << hresultText(hr);
        return Broker::Reply{outcome, QVariant()};
    }

    // IDispatch takes its arguments last to first.
    QVector<VARIANT> args(call.arguments.size());
    for (int i = 0; i < call.arguments.size(); ++i)
        toVariant(call.arguments.at(i), &args[call.arguments.size() - 1 - i]);
    DISPPARAMS params = {};
    params.rgvarg = args.isEmpty() ? nullptr : args.data();
    params.cArgs = UINT(args.size());

    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception = {};
    UINT badArgument = 0;
    hr = m_dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &exception,
                            &badArgument);
    for (VARIANT &v : args)
        VariantClear(&v);
    if (FAILED(hr)) {
        QString why = hresultText(hr);
        if (hr == DISP_E_EXCEPTION && exception.bstrDescription)
            why += QLatin1Char(' ') + QString::fromWCharArray(exception.bstrDescription);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        const Outcome outcome = Broker::outcomeOfFailure(quint32(hr));
        if (outcome == Outcome::Failed)
            qCWarning(lcCom) << "call failed:" << function << why;
        else
            qCInfo(lcCom) << "call" << function << Broker::outcomeName(outcome) << why;
        return Broker::Reply{outcome, QVariant()};
    }
    const QVariant value = fromVariant(&result);
    VariantClear(&result);
    return Broker::Reply{Outcome::Done, value};
}
