// AmiBroker's stand-in for Windows test machines: an in-process COM server
// registered as "Broker.Application" whose IDispatch accepts the calls the program
// makes and hands each to BrokerStandIn, so a run under Windows (or Wine) journals
// exactly what a run elsewhere does: "Amibroker/automation.log" and
// "Amibroker/imported.txt" under the install root.
//
// Registered with regsvr32 (DllRegisterServer) in a test machine's registry only.

#include "platform/brokerautomation.h"
#include "platform/brokerstandin.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <new>

namespace {

// {5B0E8F43-2C7D-4A51-9E36-7D14C2A9B3F0}
const CLSID kStandInClsid = {0x5b0e8f43, 0x2c7d, 0x4a51, {0x9e, 0x36, 0x7d, 0x14, 0xc2, 0xa9, 0xb3, 0xf0}};

HMODULE g_module = nullptr;
LONG g_liveObjects = 0;
LONG g_serverLocks = 0;

// AmiBroker's methods that the program calls. Those with a parameter list are
// called with their value apart from the text ("LoadDatabase(QString&)" and the
// path), and are journalled that way.
struct Method
{
    const wchar_t *name;
    DISPID id;
    const char *parameterList;
};
const Method kMethods[] = {
    {L"LoadDatabase", 1, "QString&"}, {L"Import", 2, nullptr},     {L"RefreshAll", 3, nullptr},
    {L"ExecuteCommand", 4, "int"},    {L"SaveDatabase", 5, nullptr}, {L"SaveLayout", 6, nullptr},
};

const Method *methodById(DISPID id)
{
    for (const Method &m : kMethods) {
        if (m.id == id)
            return &m;
    }
    return nullptr;
}

QVariant valueOf(VARIANT *v)
{
    if (v->vt == VT_I4)
        return QVariant(int(v->lVal));
    if (v->vt == VT_BSTR)
        return QVariant(QString::fromWCharArray(v->bstrVal, int(SysStringLen(v->bstrVal))));
    VARIANT text;
    VariantInit(&text);
    if (SUCCEEDED(VariantChangeType(&text, v, 0, VT_BSTR))) {
        const QString s = QString::fromWCharArray(text.bstrVal, int(SysStringLen(text.bstrVal)));
        VariantClear(&text);
        return QVariant(s);
    }
    return QVariant(QString());
}

// COM objects end through Release(), never by a delete through an interface
// pointer: the interfaces have no virtual destructor, by design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

class BrokerApplication final : public IDispatch
{
public:
    BrokerApplication() { InterlockedIncrement(&g_liveObjects); }
    ~BrokerApplication() { InterlockedDecrement(&g_liveObjects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *out = static_cast<IDispatch *>(this);
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

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **info) override
    {
        if (info)
            *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override
    {
        if (!names || !ids || count == 0)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i)
            ids[i] = DISPID_UNKNOWN;
        // Names after the first would be parameter names, which these methods have not.
        for (UINT i = 1; i < count; ++i)
            hr = DISP_E_UNKNOWNNAME;
        for (const Method &m : kMethods) {
            if (_wcsicmp(names[0], m.name) == 0) {
                ids[0] = m.id;
                return hr;
            }
        }
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS *params, VARIANT *result,
                                     EXCEPINFO *, UINT *) override
    {
        const Method *method = methodById(id);
        if (!method)
            return DISP_E_MEMBERNOTFOUND;
        QVariantList args;
        const UINT count = params ? params->cArgs : 0;
        // IDispatch passes the arguments last to first.
        for (UINT i = 0; i < count; ++i)
            args.prepend(valueOf(&params->rgvarg[i]));

        const QString name = QString::fromWCharArray(method->name);
        QString text;
        QVariant separate;
        if (method->parameterList && args.size() == 1) {
            text = name + QLatin1Char('(') + QLatin1String(method->parameterList) + QLatin1Char(')');
            separate = args.first();
        } else {
            QStringList inlineValues;
            for (const QVariant &a : args)
                inlineValues << a.toString();
            text = name + QLatin1Char('(') + inlineValues.join(QLatin1Char(',')) + QLatin1Char(')');
        }
        const QVariant answer = m_standIn.dynamicCall(text.toUtf8().constData(), separate);
        if (result) {
            VariantInit(result);
            result->vt = VT_BOOL;
            result->boolVal = answer.toBool() ? VARIANT_TRUE : VARIANT_FALSE;
        }
        return S_OK;
    }

private:
    LONG m_refs = 1;
    BrokerStandIn m_standIn;
};

class Factory final : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is a static object: it lives as long as the module.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto *object = new (std::nothrow) BrokerApplication;
        if (!object)
            return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(riid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            InterlockedIncrement(&g_serverLocks);
        else
            InterlockedDecrement(&g_serverLocks);
        return S_OK;
    }
};

#pragma GCC diagnostic pop

Factory g_factory;

QString clsidText()
{
    wchar_t text[64] = {};
    StringFromGUID2(kStandInClsid, text, 64);
    return QString::fromWCharArray(text);
}

bool setKey(const QString &path, const QString &name, const QString &value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(path.utf16()), 0, nullptr, 0, KEY_WRITE, nullptr,
                        &key, nullptr)
        != ERROR_SUCCESS)
        return false;
    const LONG rc = RegSetValueExW(key, name.isEmpty() ? nullptr : reinterpret_cast<LPCWSTR>(name.utf16()), 0, REG_SZ,
                                   reinterpret_cast<const BYTE *>(value.utf16()), DWORD((value.size() + 1) * 2));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID *out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kStandInClsid))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, out);
}

STDAPI DllCanUnloadNow()
{
    return (g_liveObjects == 0 && g_serverLocks == 0) ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer()
{
    wchar_t modulePath[MAX_PATH] = {};
    if (!GetModuleFileNameW(g_module, modulePath, MAX_PATH))
        return SELFREG_E_CLASS;
    const QString progId = QLatin1String(BrokerProgId);
    const QString clsid = clsidText();
    const QString classKey = QStringLiteral("CLSID\\") + clsid;
    const bool ok = setKey(progId, QString(), QStringLiteral("AmiBroker stand-in"))
                    && setKey(progId + QStringLiteral("\\CLSID"), QString(), clsid)
                    && setKey(classKey, QString(), QStringLiteral("AmiBroker stand-in"))
                    && setKey(classKey + QStringLiteral("\\ProgID"), QString(), progId)
                    && setKey(classKey + QStringLiteral("\\InprocServer32"), QString(),
                              QString::fromWCharArray(modulePath))
                    && setKey(classKey + QStringLiteral("\\InprocServer32"), QStringLiteral("ThreadingModel"),
                              QStringLiteral("Apartment"));
    return ok ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer()
{
    const QString classKey = QStringLiteral("CLSID\\") + clsidText();
    RegDeleteTreeW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(classKey.utf16()));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(QString::fromLatin1(BrokerProgId).utf16()));
    return S_OK;
}
