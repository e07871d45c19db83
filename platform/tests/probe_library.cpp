// A library for the library-loading tests on Windows: two exports of its own,
// one function it keeps to itself, one export forwarded to kernel32, and a
// reference to a kernel32 function it imports but does not export.
#include <windows.h>

extern "C" {

// Not exported: with any export marked, the linker exports only those.
int probeHidden(void) { return 7; }

__declspec(dllexport) int ProbeValue(void) { return 42 + probeHidden() - 7; }

__declspec(dllexport) unsigned ProbeTicksAreCounted(void) { return GetTickCount() != 0 || true; }
}
