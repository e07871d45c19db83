// The launcher's system calls on Windows, made directly: the launcher needs
// nothing else of the platform layer.
#include "LauncherHost.h"

#include <windows.h>
#include <shellapi.h>

#include <cctype>

namespace latchkin::host {

const char kPathSeparator = '\\';
const char *const kNoTemporaryFolder = "the system names no temporary folder (TMP, TEMP)";

bool currentDirectory(char *buffer, size_t size) {
    // The answer is the length without the NUL when the text fits, and the size
    // the buffer would need otherwise.
    DWORD n = GetCurrentDirectoryA(DWORD(size), buffer);
    return n > 0 && n < size;
}

std::string driveRootOf(const char *directory) {
    // The drive root is the directory's first three characters. A share
    // ("\\server\share\...") has no drive root, and three characters of it
    // would name nothing.
    if (std::isalpha(static_cast<unsigned char>(directory[0])) && directory[1] == ':' &&
        (directory[2] == '\\' || directory[2] == '/'))
        return {directory[0], ':', '\\'};
    return {};
}

std::string temporaryFolder() {
    // The system's answer is at most MAX_PATH + 1 characters; the launcher's
    // own limit, well below that, is checked by the run.
    char buffer[MAX_PATH + 2] = {};
    DWORD n = GetTempPathA(sizeof buffer, buffer);
    if (n == 0 || n >= sizeof buffer) return {};
    return std::string(buffer, n);
}

bool startLoginProgram(const std::string &program, const std::string &driveRoot) {
    HINSTANCE rc = ShellExecuteA(nullptr, "open", program.c_str(), driveRoot.empty() ? nullptr : driveRoot.c_str(),
                                 nullptr, SW_SHOWNORMAL);
    // Values above 32 mean success; smaller ones are error codes.
    return reinterpret_cast<INT_PTR>(rc) > 32;
}

} // namespace latchkin::host
