// Library loading on Linux through the dynamic loader (dlopen/dlsym).
#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include "platform/Paths.h"

namespace platform {

namespace {

bool isRegularFile(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// dlsym on a handle also searches the libraries it depends on; binding by name
// means the library's own export, so a name found only in a dependency counts as
// missing (a transport that lacks an operation must not borrow it).
void *ownSymbol(void *handle, const char *name) {
    void *symbol = ::dlsym(handle, name);
    if (!symbol) return nullptr;
    struct link_map *own = nullptr;
    struct link_map *holder = nullptr;
    Dl_info info{};
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 ||
        !::dladdr1(symbol, &info, reinterpret_cast<void **>(&holder), RTLD_DL_LINKMAP))
        return nullptr;
    return holder == own ? symbol : nullptr;
}

} // namespace

std::string libraryLookupPath(const std::string &name, const std::string &programDir) {
    if (name.empty() || name.find('/') != std::string::npos || programDir.empty()) return name;
    std::string candidate = programDir;
    if (candidate.back() != '/') candidate += '/';
    candidate += name;
    return isRegularFile(candidate) ? candidate : name;
}

LibraryHandle loadLibrary(const std::string &name) {
    if (name.empty()) return nullptr;
    std::string path = libraryLookupPath(name, programDirectory());
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void *bindSymbol(LibraryHandle library, const char *name) {
    if (!library || !name) return nullptr;
    return ownSymbol(library, name);
}

int unloadLibrary(LibraryHandle library) {
    if (!library) return 0;
    return ::dlclose(library) == 0 ? 1 : 0;
}

void *findLoadedSymbol(const std::string &libraryName, const char *name) {
    if (libraryName.empty() || !name) return nullptr;
    // RTLD_NOLOAD hands back the object already in the process, or nothing. It
    // adds a reference, which is dropped again at once: the object stays as long as
    // whoever loaded it keeps it, and the address stays valid as long as that.
    void *handle = ::dlopen(libraryName.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return nullptr;
    void *symbol = ownSymbol(handle, name);
    ::dlclose(handle);
    return symbol;
}

std::string lastLibraryError() {
    const char *text = ::dlerror();
    return text ? std::string(text) : std::string();
}

} // namespace platform
