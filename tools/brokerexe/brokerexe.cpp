// AmiBroker's stand-in for Windows test machines: Broker.exe, a program of its own
// as AmiBroker is, serving "Broker.Application" as a COM local server. Its IDispatch
// accepts the calls the program makes and hands each to BrokerStandIn, so a run
// under Windows (or Wine) journals exactly what a run elsewhere does:
// "Amibroker/automation.log", "imported.txt", "quotes.txt", "import.log" under C:\Quillmark.
//
// It misbehaves as AmiBroker does, as "Amibroker\control.txt" says (read every
// 100 ms; see BrokerStandIn): "busy SECONDS" refuses every call with
// RPC_E_SERVERCALL_RETRYLATER (from GetIDsOfNames and Invoke, which is what a
// client without a retrying message filter sees from AmiBroker behind a modal
// dialog; its message filter says SERVERCALL_RETRYLATER too, for Windows, which
// honours it); "slow MS" makes each Import take that long; "crash" ends the process
// at once, without clean-up; "closed" ends it cleanly and keeps COM from starting
// it again until the file says otherwise.
//
//   Broker.exe /regserver     registers it for this user (LocalServer32); machine-wide
//                             too where COM reads no per-user classes (Wine)
//   Broker.exe /unregserver   removes that
//   Broker.exe [-Embedding]   runs it (COM starts it with -Embedding; it then ends
//                             when the last object is released)

#include "platform/brokerautomation.h"
#include "standin/brokerstandin.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>

#include <cwchar>
#include <new>

namespace {

// {5B0E8F43-2C7D-4A51-9E36-7D14C2A9B3F0}
const CLSID kStandInClsid = {0x5b0e8f43, 0x2c7d, 0x4a51, {0x9e, 0x36, 0x7d, 0x14, 0xc2, 0xa9, 0xb3, 0xf0}};
constexpr UINT_PTR ControlTimer = 1;
constexpr UINT ControlEveryMs = 100;

LONG g_liveObjects = 0;
LONG g_serverLocks = 0;
bool g_embedded = false;
DWORD g_mainThread = 0;

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

// The server ends when COM started it and nobody holds anything of it any more.
void objectReleased()
{
    if (g_embedded && g_liveObjects == 0 && g_serverLocks == 0)
        PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);
}

bool busyNow()
{
    BrokerStandIn::followControlFile();
    return BrokerStandIn::isBusy();
}

// COM objects end through Release(), never by a delete through an interface
// pointer: the interfaces have no virtual destructor, by design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

class BrokerApplication final : public IDispatch
{
public:
    BrokerApplication() { InterlockedIncrement(&g_liveObjects); }
    ~BrokerApplication()
    {
        InterlockedDecrement(&g_liveObjects);
        objectReleased();
    }

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
        if (busyNow())
            return RPC_E_SERVERCALL_RETRYLATER;
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
        if (busyNow())
            return RPC_E_SERVERCALL_RETRYLATER;
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
        const Broker::Reply reply = m_standIn.call(text, separate);
        switch (reply.outcome) {
        case Broker::Outcome::Busy:
            return RPC_E_SERVERCALL_RETRYLATER;
        case Broker::Outcome::Gone:
            return RPC_E_DISCONNECTED;
        case Broker::Outcome::Failed:
            return DISP_E_EXCEPTION;
        case Broker::Outcome::Done:
            break;
        }
        if (result) {
            VariantInit(result);
            result->vt = VT_BOOL;
            result->boolVal = reply.value.toBool() ? VARIANT_TRUE : VARIANT_FALSE;
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
    // The factory is a static object: it lives as long as the process.
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
        if (lock) {
            InterlockedIncrement(&g_serverLocks);
        } else {
            InterlockedDecrement(&g_serverLocks);
            objectReleased();
        }
        return S_OK;
    }
};

// What real Windows asks a server before it hands it a call: behind a modal
// dialog, AmiBroker says "later", and the client's own filter decides to retry.
class ServerFilter final : public IMessageFilter
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMessageFilter)) {
            *out = static_cast<IMessageFilter *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override
    {
        return busyNow() ? SERVERCALL_RETRYLATER : SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return DWORD(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

#pragma GCC diagnostic pop

Factory g_factory;
ServerFilter g_filter;

QString clsidText()
{
    wchar_t text[64] = {};
    StringFromGUID2(kStandInClsid, text, 64);
    return QString::fromWCharArray(text);
}

// Where classes are registered: per user (HKCU\Software\Classes), and machine-wide
// (HKEY_CLASSES_ROOT) where COM does not read per-user classes, as under Wine.
struct ClassesRoot
{
    HKEY root;
    QString prefix;
};
const ClassesRoot PerUser{HKEY_CURRENT_USER, QStringLiteral("Software\\Classes\\")};
const ClassesRoot Machine{HKEY_CLASSES_ROOT, QString()};

bool setKey(const ClassesRoot &where, const QString &path, const QString &name, const QString &value)
{
    HKEY key = nullptr;
    const QString full = where.prefix + path;
    if (RegCreateKeyExW(where.root, reinterpret_cast<LPCWSTR>(full.utf16()), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr)
        != ERROR_SUCCESS)
        return false;
    const LONG rc = RegSetValueExW(key, name.isEmpty() ? nullptr : reinterpret_cast<LPCWSTR>(name.utf16()), 0, REG_SZ,
                                   reinterpret_cast<const BYTE *>(value.utf16()), DWORD((value.size() + 1) * 2));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool registerIn(const ClassesRoot &where)
{
    wchar_t modulePath[MAX_PATH] = {};
    if (!GetModuleFileNameW(nullptr, modulePath, MAX_PATH))
        return false;
    const QString progId = QLatin1String(BrokerProgId);
    const QString clsid = clsidText();
    const QString classKey = QStringLiteral("CLSID\\") + clsid;
    const QString command = QLatin1Char('"') + QString::fromWCharArray(modulePath) + QLatin1Char('"');
    return setKey(where, progId, QString(), QStringLiteral("AmiBroker stand-in"))
           && setKey(where, progId + QStringLiteral("\\CLSID"), QString(), clsid)
           && setKey(where, classKey, QString(), QStringLiteral("AmiBroker stand-in"))
           && setKey(where, classKey + QStringLiteral("\\ProgID"), QString(), progId)
           && setKey(where, classKey + QStringLiteral("\\LocalServer32"), QString(), command);
}

bool comFindsUs()
{
    CLSID found;
    return SUCCEEDED(CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(QString::fromLatin1(BrokerProgId).utf16()), &found))
           && IsEqualCLSID(found, kStandInClsid);
}

int registerServer()
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool ok = registerIn(PerUser);
    if (ok && !comFindsUs())
        ok = registerIn(Machine) && comFindsUs();
    CoUninitialize();
    return ok ? 0 : 1;
}

int unregisterServer()
{
    for (const ClassesRoot &where : {PerUser, Machine}) {
        const QString classKey = where.prefix + QStringLiteral("CLSID\\") + clsidText();
        const QString progKey = where.prefix + QLatin1String(BrokerProgId);
        RegDeleteTreeW(where.root, reinterpret_cast<LPCWSTR>(classKey.utf16()));
        RegDeleteTreeW(where.root, reinterpret_cast<LPCWSTR>(progKey.utf16()));
    }
    return 0;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
        if (wParam == ControlTimer) {
            const auto command = BrokerStandIn::followControlFile();
            if (command && command->behaviour == BrokerStandIn::Behaviour::Crash)
                ExitProcess(3); // as a crash does: nothing released, nothing saved
            if (command && command->behaviour == BrokerStandIn::Behaviour::Closed)
                DestroyWindow(window);
        }
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool hasArgument(int argc, wchar_t **argv, const wchar_t *name)
{
    for (int i = 1; i < argc; ++i) {
        const wchar_t *arg = argv[i];
        if (*arg == L'/' || *arg == L'-')
            ++arg;
        if (_wcsicmp(arg, name) == 0)
            return true;
    }
    return false;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (hasArgument(argc, argv, L"regserver"))
        return registerServer();
    if (hasArgument(argc, argv, L"unregserver"))
        return unregisterServer();
    g_embedded = hasArgument(argc, argv, L"Embedding");
    g_mainThread = GetCurrentThreadId();

    // A crash written before this process began is not this process's; a closed
    // AmiBroker that COM tries to start does not start, one started by hand does.
    const auto start = BrokerStandIn::followControlFile(true);
    if (start && start->behaviour == BrokerStandIn::Behaviour::Closed) {
        if (g_embedded)
            return 1;
        BrokerStandIn::behaveNormally();
    }

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    IMessageFilter *previous = nullptr;
    CoRegisterMessageFilter(&g_filter, &previous);

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"QuillmarkBrokerStandIn";
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"AmiBroker", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 480, 320, nullptr, nullptr, instance, nullptr);
    if (window) {
        ShowWindow(window, show == SW_HIDE ? SW_SHOWNOACTIVATE : show);
        SetTimer(window, ControlTimer, ControlEveryMs, nullptr);
    }

    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(kStandInClsid, &g_factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
        CoUninitialize();
        return 1;
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    CoRevokeClassObject(cookie);
    CoRegisterMessageFilter(previous, nullptr);
    CoUninitialize();
    LocalFree(argv);
    return 0;
}
