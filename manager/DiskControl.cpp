// Loading and binding of the device control library for the programs.
#include "DiskControl.h"

#include <iterator>
#include <type_traits>

#include "platform/DynamicLibrary.h"

namespace {

// Calls f(export id, export name, pointer field) for every export, in binding order.
#define DISKCONTROL_EXPORTS(X)                                                                                         \
    X(InitFlashDisk)                                                                                                   \
    X(FreeFlashDisk) X(FreeDiskLib) X(InitVariable) X(DiskRemove) X(LoadDiskLib) X(UpdateParam) X(GetConfigTable)      \
        X(SendCfgTable) X(ReverseWriteStatusIfProtect) X(GetFlashDiskInfo) X(GetDiskCapacity) X(GetDiskSize)           \
            X(GetErrorCode) X(HaveCfgTbl) X(FormatDisk) X(CreateNewCfgtblV2) X(ResetDisk) X(WaitDiskResume)            \
                X(VerifyPassword) X(ChangePassword) X(LoginState) X(ReadFlashDisk) X(WriteFlashDisk) X(GetVolume)      \
                    X(GetSecureDiskVolume) X(IsLocalDisk)

template <class Control, class F> void forEachExport(Control &c, F &&f) {
#define DISKCONTROL_VISIT(name) f(TDiskControl::Export::name, #name, c.name);
    DISKCONTROL_EXPORTS(DISKCONTROL_VISIT)
#undef DISKCONTROL_VISIT
}

} // namespace

TDiskControl::~TDiskControl() { UnbindLibrary(); }

bool TDiskControl::BindLibrary(const char *library) {
    // One attempt per object: a library rejected below stays loaded, and a
    // released one is not loaded again.
    if (Module) return false;
    Module = platform::loadLibrary(library);
    if (!Module) return false;
    void *module = Module;
    forEachExport(*this, [module](Export, const char *name, auto &field) {
        field = reinterpret_cast<std::remove_reference_t<decltype(field)>>(platform::bindSymbol(module, name));
    });
    if (!InitFlashDisk) return false;
    Loaded = true;
    return true;
}

void TDiskControl::UnbindLibrary() {
    if (!Loaded) return;
    // A library may lack FreeDiskLib (only InitFlashDisk is required to bind);
    // it then has no transport of ours to let go of.
    if (FreeDiskLib) FreeDiskLib();
    platform::unloadLibrary(Module);
    Loaded = false;
}

const char *TDiskControl::ExportName(Export e) {
#define DISKCONTROL_NAME(name) #name,
    static constexpr const char *kNames[] = {DISKCONTROL_EXPORTS(DISKCONTROL_NAME)};
#undef DISKCONTROL_NAME
    static_assert(std::size(kNames) == kExportCount, "one name per bound export");
    auto index = static_cast<size_t>(e);
    return index < std::size(kNames) ? kNames[index] : "";
}

void *TDiskControl::Address(Export e) const {
    void *result = nullptr;
    forEachExport(*this, [&](Export id, const char *, auto &field) {
        if (id == e) result = reinterpret_cast<void *>(field);
    });
    return result;
}

const char *TDiskControl::MissingName(std::initializer_list<Export> needed) const {
    for (Export e : needed) {
        if (!Loaded || !Address(e)) return ExportName(e);
    }
    return nullptr;
}
