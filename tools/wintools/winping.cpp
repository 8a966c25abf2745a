// Tells how long a window takes to answer: sends WM_NULL to the first visible
// top-level window whose title starts with the given text and prints the
// milliseconds until its thread handled it (a hung window times out after 5 s and
// prints 5000). Exits 0 when it answered, 1 when no such window, 2 when it hung.
// For test runs under Wine: the program's window must stay responsive whatever
// AmiBroker does.
//
//   winping.exe <title prefix>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Search
{
    std::wstring prefix;
    HWND found = nullptr;
};

BOOL CALLBACK visit(HWND window, LPARAM data)
{
    auto *search = reinterpret_cast<Search *>(data);
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER))
        return TRUE;
    wchar_t title[512] = {};
    GetWindowTextW(window, title, 512);
    if (std::wcsncmp(title, search->prefix.c_str(), search->prefix.size()) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2 || !*argv[1])
        return 3;
    Search search;
    search.prefix = argv[1];
    EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    if (!search.found)
        return 1;
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    DWORD_PTR result = 0;
    const LRESULT answered = SendMessageTimeoutW(search.found, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
    QueryPerformanceCounter(&end);
    const double ms = double(end.QuadPart - start.QuadPart) * 1000.0 / double(frequency.QuadPart);
    std::printf("%.1f\n", answered ? ms : 5000.0);
    return answered ? 0 : 2;
}
