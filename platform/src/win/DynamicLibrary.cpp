// Library loading on Windows through the system loader (LoadLibrary,
// GetProcAddress, FreeLibrary).
#include "platform/DynamicLibrary.h"

#include <windows.h>

#include "platform/Paths.h"

namespace platform {

namespace {

// The loader's failure of this thread, kept apart from GetLastError, which any
// later system call may overwrite; reading it clears it, as dlerror does.
thread_local DWORD lastError = 0;

void noteFailure() {
    lastError = GetLastError();
    if (lastError == 0) lastError = ERROR_MOD_NOT_FOUND;
}

bool hasDirectoryPart(const std::string &name) { return name.find_first_of("\\/:") != std::string::npos; }

bool isRegularFile(const std::string &path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

std::string libraryLookupPath(const std::string &name, const std::string &programDir) {
    if (name.empty() || hasDirectoryPart(name) || programDir.empty()) return name;
    std::string candidate = programDir;
    if (candidate.back() != '\\' && candidate.back() != '/') candidate += '\\';
    candidate += name;
    return isRegularFile(candidate) ? candidate : name;
}

LibraryHandle loadLibrary(const std::string &name) {
    if (name.empty()) {
        lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    std::string path = libraryLookupPath(name, programDirectory());
    // No "cannot load" message box: the caller reports the failure itself.
    DWORD oldMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    // With a full path the libraries it depends on are looked for beside it
    // first (SCSI.dll beside Quendal.dll), not beside whoever loads it.
    // (The altered search is defined for full paths only.)
    bool full = (path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
                (path.size() > 1 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'));
    HMODULE module =
        full ? LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) : LoadLibraryA(path.c_str());
    if (!module) noteFailure();
    SetThreadErrorMode(oldMode, nullptr);
    return reinterpret_cast<LibraryHandle>(module);
}

// GetProcAddress looks only at the module's own export table, never at the
// libraries it imports from, so a name the library lacks is not borrowed from
// a dependency. An export the library forwards to another module ("NAME =
// other.NAME" in its export table) is still one of its own exports, and comes
// back as the address in that other module, as the system's programs see it.
void *bindSymbol(LibraryHandle library, const char *name) {
    if (!library || !name) return nullptr;
    FARPROC symbol = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
    if (!symbol) noteFailure();
    return reinterpret_cast<void *>(symbol);
}

int unloadLibrary(LibraryHandle library) {
    if (!library) return 0;
    if (!FreeLibrary(reinterpret_cast<HMODULE>(library))) {
        noteFailure();
        return 0;
    }
    return 1;
}

void *findLoadedSymbol(const std::string &libraryName, const char *name) {
    if (libraryName.empty() || !name) return nullptr;
    // GetModuleHandle neither loads the library nor adds a reference.
    HMODULE module = GetModuleHandleA(libraryName.c_str());
    if (!module) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(module, name));
}

std::string lastLibraryError() {
    DWORD code = lastError;
    lastError = 0;
    if (code == 0) return {};
    char *text = nullptr;
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message;
    if (n && text) message.assign(text, n);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return "error " + std::to_string(code) + (message.empty() ? "" : ": " + message);
}

} // namespace platform
