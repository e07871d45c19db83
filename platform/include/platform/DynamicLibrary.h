// Loading shared libraries by bare file name and binding their exports by name,
// the way the system's programs load Quendal.dll and the library loads SCSI.dll.
// A bare name is looked for in the host program's own directory first and then
// by the loader's normal search; a name with a directory part is used as given.
// Linux: dlopen/dlsym. Windows: LoadLibrary/GetProcAddress/FreeLibrary.
#pragma once

#include <string>

namespace platform {

using LibraryHandle = void *;

// The path the loader is asked for: programDir/name when that file exists and
// name has no directory part, otherwise name itself (normal search). A file found
// in the program's directory wins even when it turns out not to be a loadable
// library; the search does not go on past it, as the original platform's does not.
std::string libraryLookupPath(const std::string &name, const std::string &programDir);

// Loads a library; null on failure. All symbols are bound at once, so a library
// with unresolved references fails here rather than at the first call. On
// Windows a library loaded by path finds the libraries it needs beside itself.
LibraryHandle loadLibrary(const std::string &name);

// Address of a name the library itself exports, or null (also when only a
// library it depends on has that name). On Windows an export the library
// forwards to another library is its own export too; its address lies in that
// other library.
void *bindSymbol(LibraryHandle library, const char *name);

// Drops one reference to the library. Nonzero when released, 0 on failure or
// for a null handle.
int unloadLibrary(LibraryHandle library);

// The exported name of a library that is already in the process (by bare name),
// without loading it and without keeping a reference; null when the library is not
// loaded or lacks the name.
void *findLoadedSymbol(const std::string &libraryName, const char *name);

// The loader's description of the last failure of this thread, or ""; asking
// clears it. On Windows "error <code>: <system message>".
std::string lastLibraryError();

} // namespace platform
