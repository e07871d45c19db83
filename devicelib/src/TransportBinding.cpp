// Loading and releasing the transport SCSI.dll, the error-code register, the
// re-exported GetOsVersion, and the move into the host program's folder.
#include <cstdlib>
#include <string>

#include "Internal.h"
#include "LibraryState.h"
#include "Quendal.h"
#include "platform/DynamicLibrary.h"
#include "platform/Paths.h"

using quendal::state;

namespace {

constexpr const char kTransportName[] = "SCSI.dll";

template <typename Fn> Fn bindOp(void *module, const char *name) {
    return reinterpret_cast<Fn>(platform::bindSymbol(module, name));
}

} // namespace

extern "C" {

QUENDAL_API uint8_t LoadDiskLib(void) {
    auto &s = state();
    if (s.TransportModule) return 0;

    void *module = platform::loadLibrary(kTransportName);
    if (!module) {
        quendal::setError(QUENDAL_ERR_TRANSPORT_LOAD);
        return 0;
    }
    s.TransportModule = module;

    // Bound in the order the transport's operations are listed for the device.
    s.ops.InitDisk = bindOp<InitDiskFn>(module, "InitDisk");
    s.ops.DiskFree = bindOp<DiskFreeFn>(module, "DiskFree");
    s.ops.ReadDisk = bindOp<ReadDiskFn>(module, "ReadDisk");
    s.ops.WriteDisk = bindOp<WriteDiskFn>(module, "WriteDisk");
    s.ops.WriteScsi = bindOp<WriteScsiFn>(module, "WriteScsi");
    s.ops.ReadScsi = bindOp<ReadScsiFn>(module, "ReadScsi");
    s.ops.GetDiskVolume = bindOp<GetDiskVolumeFn>(module, "GetDiskVolume");
    s.ops.DisMountDisk = bindOp<DisMountDiskFn>(module, "DisMountDisk");
    s.ops.GetOsVersion = bindOp<GetOsVersionFn>(module, "GetOsVersion");

    if (!s.ops.InitDisk || !s.ops.ReadDisk || !s.ops.WriteDisk || !s.ops.WriteScsi || !s.ops.ReadScsi) {
        // The module stays loaded (and blocks another LoadDiskLib) until FreeDiskLib.
        quendal::setError(QUENDAL_ERR_TRANSPORT_OPS);
        s.TransportReady = false;
        return 0;
    }

    s.TransportReady = true;
    s.ops.InitDisk(nullptr); // prepares the transport; what it answers is not ours
    InitVariable();
    return 1;
}

QUENDAL_API int32_t FreeDiskLib(void) {
    auto &s = state();
    FreeFlashDisk();
    int32_t released = 0;
    if (s.TransportModule) released = platform::unloadLibrary(s.TransportModule);
    s.TransportModule = nullptr;
    s.ops = quendal::TransportOps{};
    s.TransportReady = false;
    return released;
}

QUENDAL_API int32_t InitFlashDisk(void *params) {
    auto &s = state();
    if (!s.TransportReady) return -1;
    int32_t result = s.ops.InitDisk(params);
    if (result == SCSI_INIT_RAW_REFUSED) s.FileLoginMode = true;
    return result;
}

QUENDAL_API int32_t FreeFlashDisk(void) {
    auto &s = state();
    return s.ops.DiskFree ? s.ops.DiskFree() : 0;
}

QUENDAL_API int32_t InitVariable(void) {
    auto &s = state();
    s.PrimaryInfoBlock = -1;
    s.BackupInfoBlock = -1;
    s.DeviceInfoValid = false;
    s.HaveTable = false;
    s.InterleavedInfo = false;
    quendal::forgetScannedCopies();
    return 0;
}

QUENDAL_API int32_t GetErrorCode(void) { return state().LastError; }

#if defined(_WIN32)
// On Windows the transport's GetOsVersion is imported from SCSI.dll through its
// import library; that import is what makes the loader bring SCSI.dll in with
// this library and refuse to load this library without it. Our own export of
// the same name is this function under another name, renamed in Quendal.def,
// so that a call to GetOsVersion here reaches the import and never comes back.
int32_t QuendalGetOsVersion(void) { return GetOsVersion(); }
#else
// Re-exported from the transport this library is linked against. The name is
// ours too, so the call goes to the transport object itself rather than through
// the global scope, where it would find this very function again.
QUENDAL_API int32_t GetOsVersion(void) {
    auto fn = reinterpret_cast<GetOsVersionFn>(platform::findLoadedSymbol(kTransportName, "GetOsVersion"));
    if (!fn || fn == &GetOsVersion) return 0;
    return fn();
}
#endif

} // extern "C"

namespace quendal {

void EnterProgramDirectory() {
    // A folder named in the environment stands in for the program's folder
    // (see Quendal.h); one that cannot be entered leaves the specified folder.
    if (const char *inputs = std::getenv(QUENDAL_FORMAT_INPUTS_ENV); inputs && *inputs)
        if (platform::setCurrentDirectory(inputs)) return;
    std::string path = platform::executablePath();
    // Cut at the last separator, looking back no further than the second
    // character; without one the path goes to the system unchanged. A program in
    // the root folder has its only separator first: its folder is the root itself.
#if defined(_WIN32)
    size_t cut = path.find_last_of("\\/");
#else
    size_t cut = path.rfind('/');
#endif
    if (cut != std::string::npos && cut >= 1)
        path.resize(cut);
    else if (cut == 0)
        path.resize(1);
    platform::setCurrentDirectory(path);
}

} // namespace quendal
