#include "Session.h"

#include <cstdio>
#include <cstdlib>

#include "DiskChoice.h"
#include "FlashEmulator.h"
#include "Quendal.h"
#include "ScsiTransport.h"

namespace cli {

int fail(int code, const std::string &what, const std::string &todo) {
    // One line: what happened, then what to do, each a sentence.
    auto sentence = [](std::string s) {
        if (s.empty()) return s;
        if (s[0] >= 'a' && s[0] <= 'z') s[0] = char(s[0] - 'a' + 'A');
        char last = s.back();
        if (last != '.' && last != '!' && last != '?') s += '.';
        return s;
    };
    std::string line = sentence(what);
    if (!todo.empty()) line += " " + sentence(todo);
    std::fprintf(stderr, "quendal: %s\n", line.c_str());
    return code;
}

int Session::bind(std::initializer_list<TDiskControl::Export> needed, const char *library) {
    using E = TDiskControl::Export;
    if (!control_.BindLibrary(library))
        return fail(kExitNotInstalled, std::string("Can't load ") + library,
                    std::string("keep ") + library + " and SCSI.dll beside the quendal program");
    // Every session opens the disk and reads its table first.
    for (auto list : {std::initializer_list<E>{E::LoadDiskLib, E::InitFlashDisk, E::GetConfigTable, E::UpdateParam,
                                               E::GetDiskCapacity, E::LoginState, E::GetErrorCode},
                      needed}) {
        if (const char *missing = control_.MissingName(list))
            return fail(kExitNotInstalled, std::string("Quendal.dll lacks the function ") + missing,
                        "install a complete Quendal.dll beside the quendal program");
    }
    return kExitOk;
}

int Session::load() {
    if (loaded_) return kExitOk;
    if (!control_.LoadDiskLib()) {
        int32_t code = control_.GetErrorCode();
        std::string why = code == QUENDAL_ERR_TRANSPORT_OPS ? " (it lacks a required operation)" : "";
        return fail(kExitNotInstalled, "Can't load SCSI.dll" + why, "install a complete SCSI.dll beside Quendal.dll");
    }
    loaded_ = true;
    return kExitOk;
}

int32_t Session::initDisk() {
    // An empty parameter block matches any device (the one QUENDAL_DEVICE
    // names, when it names one).
    InitDiskParams params{};
    return control_.InitFlashDisk(&params);
}

bool Session::loadTable() {
    // A disk read before in this process must not lend its table to this one.
    if (control_.InitVariable) control_.InitVariable();
    const int copies = control_.GetConfigTable(table_.data());
    if (copies <= 0) return false;
    copies_ = copies;
    view_ = decodeTable(table_.data());
    control_.UpdateParam();
    capacity_ = control_.GetDiskCapacity();
    loginState_ = control_.LoginState();
    return true;
}

int32_t Session::readDisk() {
    const int32_t found = initDisk();
    if (found != 0) return found;
    return loadTable() ? 0 : kUnknownDisk;
}

int Session::openDevice(bool fileLoginWill) {
    if (int rc = load()) return rc;
    const int32_t found = initDisk();
    fileLogin_ = found == SCSI_INIT_RAW_REFUSED && fileLoginWill;
    if (fileLogin_) return kExitOk;
    if (found == SCSI_INIT_RAW_REFUSED)
        return fail(kExitNoDisk, "the flash disk is present but this user may not open it for raw access",
                    "run quendal as a user with access to the device (see docs/real-disks.md)");
    if (found == SCSI_INIT_BUSY)
        return fail(kExitWrongState, "the flash disk is in use by " + diskHolder(),
                    "wait until that program is done with it (or close it) and try again");
    if (found != 0) {
        const char *dir = std::getenv(flashemu::kDiskEnv);
        if (dir && *dir)
            return fail(kExitNoDisk, std::string("No Flash Disk: no emulated flash disk present in ") + dir,
                        "create one with 'quendal emulate " + std::string(dir) + "' and try again");
        return fail(kExitNoDisk, "No Flash Disk: no USB flash disk of this kind is plugged in",
                    "plug it in (or use an emulated disk with --disk DIR) and try again; 'quendal list' shows "
                    "the disks quendal can use");
    }
    return kExitOk;
}

int Session::readTable() {
    if (!loadTable())
        return fail(
            kExitUnknownDisk, "Unknow Flash Disk: no configuration table on the disk",
            "a table saved on this computer brings it back: see 'quendal table list' and 'quendal table restore'");
    return kExitOk;
}

int Session::open() {
    if (int rc = openDevice()) return rc;
    return readTable();
}

int32_t Session::errorCode() { return control_.GetErrorCode ? control_.GetErrorCode() : 0; }

const char *errorCodeText(int32_t code) {
    switch (code) {
    case QUENDAL_ERR_READ_TABLE: return "reading the configuration table failed";
    case QUENDAL_ERR_SETTINGS: return "the disk cannot be divided this way (an area under 1000 sectors)";
    case QUENDAL_ERR_WHOLE_DISK_TABLE: return "sending the whole-disk table failed";
    case QUENDAL_ERR_CONTROLLER_KIND: return "the disk's table kind does not allow this";
    case QUENDAL_ERR_TRANSPORT_OPS: return "SCSI.dll lacks a required operation";
    case QUENDAL_ERR_TRANSPORT_LOAD: return "SCSI.dll could not be loaded";
    case QUENDAL_ERR_NO_TABLE: return "no valid configuration table";
    case QUENDAL_ERR_DEVICE_INFO: return "reading the device information failed";
    case QUENDAL_ERR_DATA_WRITE: return "a write to the disk failed";
    case QUENDAL_ERR_NO_PRIMARY_BLOCK: return "the disk's information block is unknown";
    case QUENDAL_ERR_RESUME_TIMEOUT: return "the disk did not come back in time";
    case QUENDAL_ERR_WRONG_PASSWORD: return "wrong password";
    case QUENDAL_ERR_FILE_LOGIN_MODE: return "no raw access to the disk";
    case QUENDAL_ERR_NO_LOGIN_VOLUME: return "the login volume was not found";
    case QUENDAL_ERR_ZERO_PAGE_SECTORS: return "the device reports 0 sectors per page";
    case QUENDAL_ERR_TABLE_CHANGED: return "another program changed the disk's table";
    case QUENDAL_ERR_LAST_COPY: return "one copy of the table is left and the other's place is unknown";
    case QUENDAL_ERR_TABLE_NOT_SAVED: return "the table could not be saved on this computer first";
    case QUENDAL_ERR_NOT_THIS_DISK: return "the saved table is not this disk's";
    default: return "unknown cause";
    }
}

} // namespace cli
