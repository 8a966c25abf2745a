// Closes a top-level window the way a click on its title bar's X does: posts
// WM_CLOSE to every visible top-level window whose title starts with the given
// text. Exits 0 when at least one was found, 1 otherwise. For test runs under Wine.
//
//   winclose.exe <title prefix>

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

struct Search
{
    std::wstring prefix;
    int found = 0;
};

BOOL CALLBACK visit(HWND window, LPARAM data)
{
    auto *search = reinterpret_cast<Search *>(data);
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER))
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
    if (argc < 2 || !*argv[1])
        return 2;
    Search search;
    search.prefix = argv[1];
    EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    return search.found > 0 ? 0 : 1;
}
