#include "windowfront.h"

#include <windows.h>

namespace Platform {

bool bringWindowToFront(const QString &title)
{
    HWND window = FindWindowW(nullptr, reinterpret_cast<LPCWSTR>(title.utf16()));
    if (!window)
        return false;
    SetForegroundWindow(window);
    ShowWindow(window, SW_SHOW);
    return true;
}

} // namespace Platform
