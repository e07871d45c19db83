// Opening and creating the launcher's files on Windows. The temporary folder is
// the user's own there, but a name in it may still be a junction or a symbolic
// link another program of the user's left; FILE_FLAG_OPEN_REPARSE_POINT opens
// the link itself, which is then refused, so its target is never touched. The
// handle is handed to the C runtime as a descriptor, so that reading and
// writing are the same as on Linux.
#include "PrivateFile.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

namespace lzari {

namespace {

// Only a plain file on a disk: not a directory, a link, a device ("NUL",
// "COM1") or a pipe.
bool isPlainFile(HANDLE h) {
    if (GetFileType(h) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return false;
    return (info.dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

int toDescriptor(HANDLE h, int flags) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}

} // namespace

int openRegularForReading(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    if (!isPlainFile(h)) {
        CloseHandle(h);
        return -1;
    }
    return toDescriptor(h, _O_RDONLY);
}

int createRegularFile(const std::string &path, unsigned /*mode: the folder is private already*/) {
    // Not CREATE_ALWAYS: emptying waits until the name is known to be a plain
    // file. A program still running from the file keeps it from being opened
    // for writing at all, and the caller then leaves it as it is.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    if (!isPlainFile(h) || !SetEndOfFile(h)) {
        CloseHandle(h);
        return -1;
    }
    return toDescriptor(h, _O_WRONLY);
}

bool removeName(const std::string &path) {
    // DeleteFileA removes a symbolic link itself, not its target.
    return DeleteFileA(path.c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool replaceWith(const std::string &from, const std::string &to) {
    // A link at to is replaced, not followed. A running Sarvik.exe, or a
    // library it has loaded, makes this fail with ERROR_ACCESS_DENIED.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace lzari
