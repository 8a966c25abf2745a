// The installer package's custom action CloseQuillmark: before Windows Installer
// replaces or removes the program's files (install over an older release,
// uninstall), a running Quillmark is asked to close the way a click on its
// window's X asks it, so that it saves the selection and has AmiBroker save its
// database on the way out. Every visible top-level window of a process started
// from the package's Quillmark.exe gets WM_CLOSE; the action then waits for
// those processes to end. It never ends a process itself and never fails the
// install: a program still running after the wait is left to Windows
// Installer's files-in-use handling (it asks, or replaces the files at the next
// restart). Progress goes to the installer's log.
//
// Windows Installer calls it with the session handle; the folder comes from the
// package's QuillmarkFolder property. Plain Win32 and fixed buffers: the DLL
// runs inside the installer's custom action host, with nothing beside it.

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <cwchar>

namespace {

// The close handler stops the live stream (up to 2 s), has AmiBroker save its
// database and pauses 1 s before ending AmiBroker; a busy AmiBroker can hold the
// save for a while.
constexpr DWORD CloseWaitMs = 30000;

constexpr wchar_t ProgramFile[] = L"Quillmark.exe";
constexpr wchar_t FolderProperty[] = L"QuillmarkFolder";

struct Search
{
    wchar_t program[MAX_PATH] = {};
    HANDLE processes[MAXIMUM_WAIT_OBJECTS] = {};
    DWORD ids[MAXIMUM_WAIT_OBJECTS] = {};
    DWORD count = 0;
    int windows = 0;
};

void logLine(MSIHANDLE install, const wchar_t *text)
{
    PMSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

bool isProgram(DWORD processId, const wchar_t *program)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return false;
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const bool known = QueryFullProcessImageNameW(process, 0, image, &size);
    CloseHandle(process);
    return known && CompareStringOrdinal(image, -1, program, -1, TRUE) == CSTR_EQUAL;
}

bool alreadyAsked(const Search &search, DWORD processId)
{
    for (DWORD i = 0; i < search.count; ++i) {
        if (search.ids[i] == processId)
            return true;
    }
    return false;
}

BOOL CALLBACK visit(HWND window, LPARAM data)
{
    auto *search = reinterpret_cast<Search *>(data);
    // The windows a user can click: visible and not owned by another (dialogs
    // close with their owner).
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER))
        return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const bool known = alreadyAsked(*search, processId);
    if (!known && (search->count == MAXIMUM_WAIT_OBJECTS || !isProgram(processId, search->program)))
        return TRUE;
    if (!known) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
        if (!process)
            return TRUE;
        search->processes[search->count] = process;
        search->ids[search->count] = processId;
        ++search->count;
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    ++search->windows;
    return TRUE;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall CloseQuillmark(MSIHANDLE install)
{
    Search search;
    DWORD size = MAX_PATH;
    if (MsiGetPropertyW(install, FolderProperty, search.program, &size) != ERROR_SUCCESS || size == 0
        || size + std::wcslen(ProgramFile) >= MAX_PATH) {
        logLine(install, L"CloseQuillmark: no install folder; nothing asked to close");
        return ERROR_SUCCESS;
    }
    std::wcscat(search.program, ProgramFile);

    EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    wchar_t line[MAX_PATH + 160];
    if (search.count == 0) {
        std::swprintf(line, sizeof line / sizeof *line, L"CloseQuillmark: %ls is not running", search.program);
        logLine(install, line);
        return ERROR_SUCCESS;
    }
    std::swprintf(line, sizeof line / sizeof *line, L"CloseQuillmark: asked %lu window(s) of %lu %ls process(es) to close",
                  static_cast<unsigned long>(search.windows), static_cast<unsigned long>(search.count), search.program);
    logLine(install, line);
    const DWORD waited = WaitForMultipleObjects(search.count, search.processes, TRUE, CloseWaitMs);
    for (DWORD i = 0; i < search.count; ++i)
        CloseHandle(search.processes[i]);
    if (waited == WAIT_TIMEOUT || waited == WAIT_FAILED) {
        std::swprintf(line, sizeof line / sizeof *line,
                      L"CloseQuillmark: Quillmark is still running after %lu s; its files are left to the files-in-use check",
                      static_cast<unsigned long>(CloseWaitMs / 1000));
    } else {
        std::swprintf(line, sizeof line / sizeof *line, L"CloseQuillmark: Quillmark has closed");
    }
    logLine(install, line);
    return ERROR_SUCCESS;
}
