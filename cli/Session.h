// The device as quendal sees it: the library bound through TDiskControl, its
// transport loaded, the disk opened and its configuration table read, in the
// order the manager's detection uses.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "DiskControl.h"
#include "ExitCodes.h"
#include "TableView.h"

namespace cli {

// Prints the one-line failure message and gives its exit code.
int fail(int code, const std::string &what, const std::string &todo);

class Session {
public:
    // Binds the library and checks that it has every export in `needed`.
    // Returns kExitOk or a failure code after printing why.
    // library: another build of the library to bind (QuendalRecovery.dll).
    int bind(std::initializer_list<TDiskControl::Export> needed, const char *library = TDiskControl::kLibraryName);
    // Loads the transport, opens the disk, reads the table, the capacity and
    // the login state. Returns kExitOk or a failure code after printing why.
    int open();
    // The two halves of open(): the transport loaded and the disk opened
    // (printing why not); the table, capacity and login state read.
    // fileLoginWill: a disk this user may not send raw commands to is taken
    // for the login by file (fileLogin() then tells), not refused.
    int openDevice(bool fileLoginWill = false);
    int readTable();
    bool fileLogin() const { return fileLogin_; }
    // Loading the transport (once), and opening the disk the transport chooses
    // now and reading it, without a word: the InitFlashDisk answer, or
    // kUnknownDisk when the disk has no table.
    int load();
    int32_t readDisk();
    static constexpr int32_t kUnknownDisk = 100;

    TDiskControl &dll() { return control_; }
    const std::array<uint8_t, 512> &table() const { return table_; }
    const TableView &view() const { return view_; }
    int tableCopies() const { return copies_; }
    int32_t capacity() const { return capacity_; }
    int32_t loginState() const { return loginState_; }
    // Library error code now, for telling the user what a failure was about.
    int32_t errorCode();

private:
    int32_t initDisk();
    bool loadTable();

    TDiskControl control_;
    std::array<uint8_t, 512> table_{};
    TableView view_;
    int copies_ = 0;
    int32_t capacity_ = 0;
    int32_t loginState_ = -1;
    bool loaded_ = false;
    bool fileLogin_ = false;
};

// The library's error codes in words.
const char *errorCodeText(int32_t code);

} // namespace cli
