// Closes a top-level window the way a click on its title bar's X does: posts
// WM_CLOSE to every visible top-level window whose title starts with the given
// text; with --owned, windows owned by another (message boxes, dialogs) too.
// Exits 0 when at least one was found, 1 otherwise. For test runs under Wine.
//
//   winclose.exe [--owned] <title prefix>

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

struct Search
{
    std::wstring prefix;
    bool owned = false;
    int found = 0;
};

BOOL CALLBACK visit(HWND window, LPARAM data)
{
    auto *search = reinterpret_cast<Search *>(data);
    if (!IsWindowVisible(window) || (!search->owned && GetWindow(window, GW_OWNER)))
        return TRUE;
    wchar_t title[512] = {};
    GetWindowTextW(window, title, 512);
    if (std::wcsncmp(title, search->prefix.c_str(), search->prefix.size()) == 0) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        ++search->found;
    }
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    Search search;
    int first = 1;
    if (argc > 1 && std::wcscmp(argv[1], L"--owned") == 0) {
        search.owned = true;
        first = 2;
    }
    if (argc != first + 1 || !*argv[first])
        return 2;
    search.prefix = argv[first];
    EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    return search.found > 0 ? 0 : 1;
}
