// The user's private data folder and private files on Windows. The folder
// lies in the user's profile (%LOCALAPPDATA%), whose access rules already keep
// other users out; new files inherit them.
#include "platform/PrivateFiles.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace {

std::string systemError(const std::string &what) {
    return what + " (Windows error " + std::to_string(GetLastError()) + ")";
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

} // namespace

std::string userDataDirectory() {
    const char *local = std::getenv("LOCALAPPDATA");
    if (!local || !*local) return {};
    std::string path = local;
    while (path.size() > 3 && isSeparator(path.back())) path.pop_back();
    return path;
}

std::string privateDataFolder(const std::string &sub, std::string *error) {
    std::string path = userDataDirectory();
    if (path.empty()) {
        *error = "LOCALAPPDATA names no folder";
        return {};
    }
    size_t start = 0;
    while (start < sub.size()) {
        size_t end = sub.find('/', start);
        if (end == std::string::npos) end = sub.size();
        if (!isSeparator(path.back())) path += '\\';
        path += sub.substr(start, end - start);
        if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *error = systemError("cannot create " + path);
            return {};
        }
        start = end + 1;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *error = path + " is not a folder";
        return {};
    }
    return path + '\\';
}

bool writeNewPrivateFile(const std::string &path, const std::string &content, std::string *error) {
    // CREATE_NEW refuses any existing name; no sharing while it is written.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = systemError("cannot create " + path);
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<size_t>(content.size() - done, 1u << 20));
        ok = WriteFile(h, content.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    ok = ok && FlushFileBuffers(h);
    if (!ok) *error = systemError("cannot write " + path);
    CloseHandle(h);
    if (!ok) DeleteFileA(path.c_str());
    return ok;
}

std::vector<std::string> filesInFolder(const std::string &folder) {
    std::vector<std::string> names;
    std::string pattern = folder;
    if (!pattern.empty() && !isSeparator(pattern.back())) pattern += '\\';
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((pattern + "*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            names.push_back(found.cFileName);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return names;
}

} // namespace platform
