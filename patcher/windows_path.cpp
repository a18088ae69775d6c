#include "windows_path.h"

#include <windows.h>

#include <shellapi.h>

namespace {

std::string to_utf8(const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string result(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(std::size_t(size - 1));
    return result;
}

bool is_absolute(const std::wstring &path)
{
    return (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') ||
        (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\');
}

} // namespace

std::wstring windows_path(const std::string &utf8)
{
    std::wstring path;
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    if (size > 0) {
        path.resize(std::size_t(size));
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &path[0], size);
    }
    for (wchar_t &c : path)
        if (c == L'/')
            c = L'\\';
    // A relative path long enough to need it is made absolute first.
    if (path.size() >= MAX_PATH - 12 && !is_absolute(path)) {
        const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
        if (length > 0) {
            std::wstring full(length, L'\0');
            const DWORD written = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
            if (written > 0 && written < length) {
                full.resize(written);
                path = full;
            }
        }
    }
    if (path.size() >= MAX_PATH - 12 && is_absolute(path) && path.rfind(L"\\\\?\\", 0) != 0)
        path = path[0] == L'\\' ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
    return path;
}

std::vector<std::string> windows_arguments()
{
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(to_utf8(wide[i]));
    LocalFree(wide);
    return arguments;
}
