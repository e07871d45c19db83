// TDiskControl: the one object through which a program of this system reaches
// the device control library. It loads Quendal.dll by bare file name, binds 27
// of its exports by name into function pointers and unloads it again.
//
// The programs call the bound pointers directly. A library that lacks a name a
// caller is about to use must never be called through a null pointer, so every
// caller first asks MissingName()/HasAll() for the exports it needs and treats
// the library as unusable when one is absent.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "Quendal.h"

class TDiskControl {
public:
    // The exports in the order they are looked up (and in which the pointer
    // fields below are declared).
    enum class Export : uint8_t {
        InitFlashDisk,
        FreeFlashDisk,
        FreeDiskLib,
        InitVariable,
        DiskRemove,
        LoadDiskLib,
        UpdateParam,
        GetConfigTable,
        SendCfgTable,
        ReverseWriteStatusIfProtect,
        GetFlashDiskInfo,
        GetDiskCapacity,
        GetDiskSize,
        GetErrorCode,
        HaveCfgTbl,
        FormatDisk,
        CreateNewCfgtblV2,
        ResetDisk,
        WaitDiskResume,
        VerifyPassword,
        ChangePassword,
        LoginState,
        ReadFlashDisk,
        WriteFlashDisk,
        GetVolume,
        GetSecureDiskVolume,
        IsLocalDisk
    };
    static constexpr int kExportCount = 27;
    static constexpr const char kLibraryName[] = "Quendal.dll";

    // Field order is part of the contract: module, state, then the pointers in
    // binding order.
    void *Module = nullptr;
    bool Loaded = false;
    decltype(&::InitFlashDisk) InitFlashDisk = nullptr;
    decltype(&::FreeFlashDisk) FreeFlashDisk = nullptr;
    decltype(&::FreeDiskLib) FreeDiskLib = nullptr;
    decltype(&::InitVariable) InitVariable = nullptr;
    decltype(&::DiskRemove) DiskRemove = nullptr;
    decltype(&::LoadDiskLib) LoadDiskLib = nullptr;
    decltype(&::UpdateParam) UpdateParam = nullptr;
    decltype(&::GetConfigTable) GetConfigTable = nullptr;
    decltype(&::SendCfgTable) SendCfgTable = nullptr;
    decltype(&::ReverseWriteStatusIfProtect) ReverseWriteStatusIfProtect = nullptr;
    decltype(&::GetFlashDiskInfo) GetFlashDiskInfo = nullptr;
    decltype(&::GetDiskCapacity) GetDiskCapacity = nullptr;
    decltype(&::GetDiskSize) GetDiskSize = nullptr;
    decltype(&::GetErrorCode) GetErrorCode = nullptr;
    decltype(&::HaveCfgTbl) HaveCfgTbl = nullptr;
    decltype(&::FormatDisk) FormatDisk = nullptr;
    decltype(&::CreateNewCfgtblV2) CreateNewCfgtblV2 = nullptr;
    decltype(&::ResetDisk) ResetDisk = nullptr;
    decltype(&::WaitDiskResume) WaitDiskResume = nullptr;
    decltype(&::VerifyPassword) VerifyPassword = nullptr;
    decltype(&::ChangePassword) ChangePassword = nullptr;
    decltype(&::LoginState) LoginState = nullptr;
    decltype(&::ReadFlashDisk) ReadFlashDisk = nullptr;
    decltype(&::WriteFlashDisk) WriteFlashDisk = nullptr;
    decltype(&::GetVolume) GetVolume = nullptr;
    decltype(&::GetSecureDiskVolume) GetSecureDiskVolume = nullptr;
    decltype(&::IsLocalDisk) IsLocalDisk = nullptr;

    TDiskControl() = default;
    ~TDiskControl();
    TDiskControl(const TDiskControl &) = delete;
    TDiskControl &operator=(const TDiskControl &) = delete;

    // Loads the library and binds the exports. False when already tried once
    // (Module set), when the library cannot be loaded, or when it lacks
    // InitFlashDisk (the library then stays loaded and Loaded stays false).
    // library: another library with the same exports (quendal's QuendalRecovery.dll).
    bool BindLibrary(const char *library = kLibraryName);
    // Releases a bound library (FreeDiskLib, then unload). Does nothing unless
    // Loaded; Module keeps its value so that no second binding is attempted.
    void UnbindLibrary();

    // The name of the first of `needed` that is not bound (or, when the library
    // is not bound at all, the first of them), or nullptr when all are there.
    const char *MissingName(std::initializer_list<Export> needed) const;
    bool HasAll(std::initializer_list<Export> needed) const { return MissingName(needed) == nullptr; }

    static const char *ExportName(Export e);
    // The bound address of one export (nullptr when absent).
    void *Address(Export e) const;
};
