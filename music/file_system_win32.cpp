#include "music/file_system.h"

#include "music/win32_errors.h"

#include <windows.h>

namespace {

std::wstring wide(std::string_view utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    }
    return out;
}

std::string narrow(std::wstring_view text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                            nullptr);
    }
    return out;
}

bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

// Where the last part of `path` starts: after its last separator or drive.
std::size_t lastPartAt(std::string_view path)
{
    const std::size_t at = path.find_last_of("\\/:");
    return at == std::string_view::npos ? 0 : at + 1;
}

} // namespace

PathKind pathKind(const std::string& path, std::string& error)
{
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        error = win32ErrorText(code);
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? PathKind::MISSING
                                                                            : PathKind::UNREADABLE;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::FOLDER : PathKind::FILE;
}

bool listFolder(const std::string& path, std::vector<std::string>& names, std::string& error)
{
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(wide(joinPath(path, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        error = win32ErrorText(GetLastError());
        return false;
    }
    names.clear();
    do {
        const std::string name = narrow(found.cFileName);
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found) != 0);
    const DWORD code = GetLastError();
    FindClose(search);
    if (code != ERROR_NO_MORE_FILES) {
        error = win32ErrorText(code);
        return false;
    }
    return true;
}

std::string canonicalPath(const std::string& path)
{
    const std::wstring name = wide(path);
    const DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return path;
    }
    std::wstring full(n, L'\0');
    const DWORD written = GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
    if (written == 0 || written >= n) {
        return path;
    }
    full.resize(written);
    // Names differ only in case on Windows' file systems.
    CharLowerBuffW(full.data(), written);
    return narrow(full);
}

bool isAbsolutePath(std::string_view path)
{
    if (!path.empty() && isSeparator(path[0])) {
        return true;
    }
    return path.size() >= 3 && path[1] == ':' && isSeparator(path[2]);
}

std::string joinPath(std::string_view folder, std::string_view name)
{
    if (folder.empty() || isAbsolutePath(name)) {
        return std::string(name);
    }
    const bool ends = isSeparator(folder.back()) || folder.back() == ':';
    return std::string(folder) + (ends ? "" : "\\") + std::string(name);
}

std::string folderOf(std::string_view path)
{
    const std::size_t at = lastPartAt(path);
    if (at == 0) {
        return {};
    }
    // Keep the separator of a root ("C:\", "\") and a bare drive ("C:").
    const bool root = at == 1 || (at == 3 && path[1] == ':') || path[at - 1] == ':';
    return std::string(path.substr(0, root ? at : at - 1));
}

std::string_view fileNameOf(std::string_view path)
{
    return path.substr(lastPartAt(path));
}
