// The file system questions of the encode/decode program on Windows: file
// attributes, and the volume and file index that tell one file from another
// whatever names reach it.
#include "adpcm/file_status.h"

#include "adpcm/win32_error.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace adpcm {

namespace {

/// The volume and index of the file at `path`; false when it cannot be opened.
bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& identity)
{
    // No access asked and everything shared: this works on files that others
    // hold open, and backup semantics open directories too.
    const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool known = GetFileInformationByHandle(file, &identity) != 0;
    CloseHandle(file);
    return known;
}

} // namespace

bool isDirectory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isSameFile(const std::string& first, const std::string& second)
{
    BY_HANDLE_FILE_INFORMATION one{};
    BY_HANDLE_FILE_INFORMATION other{};
    return fileIdentity(first, one) && fileIdentity(second, other) &&
           one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

int outputFolderProblem(const std::string& path)
{
    // Either slash ends a folder; "D:name" lies in drive D's current folder.
    // The folder is asked after without its last slash: with it, Windows
    // reports a file in the folder's place as a path not found.
    const std::size_t slash = path.find_last_of("/\\");
    std::string folder = ".";
    if (slash != std::string::npos) {
        folder = path.substr(0, slash);
        if (folder.empty() || folder.back() == ':') {
            folder += path[slash];
        }
    } else if (path.size() >= 2 && path[1] == ':') {
        folder = path.substr(0, 2) + ".";
    }
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return errnoOfWin32(GetLastError());
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ENOTDIR;
    }
    // Whether the folder takes new files is up to its access list, which
    // only making one tells for sure: the write itself reports a refusal,
    // still before anything is left behind.
    return 0;
}

bool isStandardOutput(const std::string& path)
{
    // The same file as the handle standard output holds, when it holds a file.
    BY_HANDLE_FILE_INFORMATION named{};
    BY_HANDLE_FILE_INFORMATION standard{};
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output != INVALID_HANDLE_VALUE && output != nullptr && fileIdentity(path, named) &&
           GetFileInformationByHandle(output, &standard) != 0 &&
           named.dwVolumeSerialNumber == standard.dwVolumeSerialNumber &&
           named.nFileIndexHigh == standard.nFileIndexHigh && named.nFileIndexLow == standard.nFileIndexLow;
}

void interruptibleReading(bool)
{
    // Windows has no FIFO whose open waits for a writer: Ctrl-C keeps its
    // default, ending the program.
}

int openForReading(const std::string& path)
{
    return _open(path.c_str(), _O_RDONLY | _O_BINARY);
}

} // namespace adpcm
