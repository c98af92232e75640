#include "music/file_system.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>

PathKind pathKind(const std::string& path, std::string& error)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        const int code = errno;
        error = std::strerror(code);
        return code == ENOENT || code == ENOTDIR ? PathKind::MISSING : PathKind::UNREADABLE;
    }
    return S_ISDIR(info.st_mode) ? PathKind::FOLDER : PathKind::FILE;
}

bool listFolder(const std::string& path, std::vector<std::string>& names, std::string& error)
{
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    names.clear();
    int code = 0;
    while (true) {
        errno = 0; // readdir's end and its failure differ only in errno
        const dirent* entry = readdir(folder);
        if (entry == nullptr) {
            code = errno;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    closedir(folder);
    if (code != 0) {
        error = std::strerror(code);
        return false;
    }
    return true;
}

std::string canonicalPath(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string out = resolved;
    std::free(resolved);
    return out;
}

bool isAbsolutePath(std::string_view path)
{
    return path.starts_with('/');
}

std::string joinPath(std::string_view folder, std::string_view name)
{
    if (folder.empty() || isAbsolutePath(name)) {
        return std::string(name);
    }
    return std::string(folder) + (folder.ends_with('/') ? "" : "/") + std::string(name);
}

std::string folderOf(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

std::string_view fileNameOf(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}
