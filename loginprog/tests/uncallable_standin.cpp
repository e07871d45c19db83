// Stands in for Quendal.dll with everything the login program needs to open a
// secure disk that is logged out, but without the password exports: a form
// that trusted it would enable Login and then call through a null pointer.
#include <cstdint>

#define STANDIN_API extern "C" __attribute__((visibility("default")))

STANDIN_API uint8_t LoadDiskLib(void) { return 1; }
STANDIN_API int32_t FreeDiskLib(void) { return 1; }
STANDIN_API int32_t InitFlashDisk(void *) { return 0; }
STANDIN_API int32_t InitVariable(void) { return 0; }
STANDIN_API int32_t GetConfigTable(uint8_t *) { return 1; }
STANDIN_API int32_t UpdateParam(void) { return 0; }
STANDIN_API int32_t LoginState(void) { return 0; }
