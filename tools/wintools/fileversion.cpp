// Prints the version details of a program file as Windows reads them for the
// file's Properties and for Explorer: "FileVersion#=a.b.c.d" from the fixed part,
// then one "Name=value" line for each of the usual strings, from the first
// language the file lists. Exits 1 when the file has no version resource. For
// test runs under Wine.
//
//   fileversion.exe <file>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void printLine(const std::wstring &line)
{
    const std::wstring text = line + L"\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), size, nullptr, nullptr);
    std::fputs(utf8.c_str(), stdout);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 2;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    if (size == 0)
        return 1;
    std::vector<unsigned char> info(size);
    if (!GetFileVersionInfoW(argv[1], 0, size, info.data()))
        return 1;

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) && fixed) {
        printLine(L"FileVersion#=" + std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"."
                  + std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." + std::to_wstring(HIWORD(fixed->dwFileVersionLS))
                  + L"." + std::to_wstring(LOWORD(fixed->dwFileVersionLS)));
    }

    struct Translation
    {
        WORD language;
        WORD codePage;
    } *translations = nullptr;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translations), &length)
        || length < sizeof(Translation))
        return 0;
    wchar_t block[32];
    std::swprintf(block, 32, L"\\StringFileInfo\\%04x%04x\\", translations->language, translations->codePage);
    for (const wchar_t *name : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"LegalCopyright",
                                L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
        wchar_t *value = nullptr;
        if (VerQueryValueW(info.data(), (std::wstring(block) + name).c_str(), reinterpret_cast<void **>(&value), &length)
            && value)
            printLine(std::wstring(name) + L"=" + value);
    }
    return 0;
}
