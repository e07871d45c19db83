// A stand-in for Quendal.dll with a chosen subset of the exports, so that the
// binding can be tried against libraries that lack names. Each call of
// FreeDiskLib is recorded as a line in the file named by STANDIN_LOG.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#define STANDIN_API extern "C" __declspec(dllexport)
#else
#define STANDIN_API extern "C" __attribute__((visibility("default")))
#endif

namespace {
[[maybe_unused]] void record(const char *what) {
    const char *path = std::getenv("STANDIN_LOG");
    if (!path) return;
    if (FILE *f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", what);
        std::fclose(f);
    }
}
} // namespace

#ifndef STANDIN_WITHOUT_INITFLASHDISK
STANDIN_API int32_t InitFlashDisk(void *) { return 0; }
#endif
#ifndef STANDIN_WITHOUT_FREEDISKLIB
STANDIN_API int32_t FreeDiskLib(void) {
    record("FreeDiskLib");
    return 1;
}
#endif
#ifdef STANDIN_WITH_LOADDISKLIB
STANDIN_API uint8_t LoadDiskLib(void) { return 1; }
STANDIN_API int32_t LoginState(void) { return 0; }
#endif
