// `quendal table`: the saved tables of the user's store and of the user's own
// files, shown, made and written back. Writing back goes through
// QuendalRecovery.dll, the library built from the same sources with the
// exports that Quendal.dll does not offer.
#include "TableCommands.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "DiskChoice.h"
#include "ExitCodes.h"
#include "FlashEmulator.h"
#include "QuendalRecovery.h"
#include "RewriteOutcome.h"
#include "TableStore.h"
#include "TableView.h"
#include "Terminal.h"
#include "file_io.h"
#include "platform/DynamicLibrary.h"

namespace cli {

namespace {

using E = TDiskControl::Export;

constexpr const char kRecoveryLibrary[] = "QuendalRecovery.dll";

int usage(const std::string &what) { return fail(kExitUsage, what, "see 'quendal table --help'"); }

std::string utcText(int64_t seconds) {
    const std::time_t t = std::time_t(seconds);
    std::tm utc{};
#if defined(_WIN32)
    if (gmtime_s(&utc, &t) != 0) return "?";
#else
    if (!gmtime_r(&t, &utc)) return "?";
#endif
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

std::string pageText(uint32_t page) {
    return page == tables::kNoPage ? "an unknown page" : "page " + std::to_string(page);
}

std::string copiesText(const tables::SavedTable &t) {
    const tables::SavedCopy &a = t.copies[0], &b = t.copies[1];
    if (b.present) return "two copies, at pages " + std::to_string(a.page) + " and " + std::to_string(b.page);
    return "one copy, at page " + std::to_string(a.page) + "; the other, missing, lived at " + pageText(b.page);
}

// The layout a saved table would bring back, in the words of `quendal info`.
void printSaved(const std::string &path, const tables::SavedTable &t) {
    const TableView v = decodeTable(t.content()->table.data());
    std::printf("Saved table:     %s\n", path.c_str());
    std::printf("Saved:           %s, %s\n", utcText(t.savedAt).c_str(), t.reason.c_str());
    std::printf("Disk:            %s, %u sectors (%uMByte)\n", tables::diskKey(t).c_str(), t.capacity,
                t.capacity / 2048);
    std::printf("Table:           %s, %s\n", tableKindName(v.kind), copiesText(t).c_str());
    std::printf("Layout:          kind %u, %s\n", v.layoutKind, layoutDescription(v).c_str());
    for (int i = 0; i < 3; ++i)
        if (v.areaSize[i])
            std::printf("  area %d         start %u, %u sectors, %s\n", i, v.areaStart[i], v.areaSize[i],
                        areaRole(v, i).c_str());
    std::printf("Password:        %s\n", v.passwordSet ? "set (the file holds its digest)" : "none");
}

bool readFile(const std::string &path, std::string *bytes, tables::SavedTable *table, int *rc) {
    std::string error;
    if (!fileio::readWholeFile(path, bytes)) {
        *rc = fail(kExitUsage, "cannot read " + path, "name a saved table ('quendal table list' shows them)");
        return false;
    }
    if (!tables::decode(*bytes, table, &error)) {
        *rc = fail(kExitUsage, path + " cannot be used: " + error, "name another saved table");
        return false;
    }
    return true;
}

// Binds one export of QuendalRecovery.dll that TDiskControl does not know.
template <typename F> F recoveryExport(Session &s, const char *name) {
    return reinterpret_cast<F>(platform::bindSymbol(s.dll().Module, name));
}

bool askYes(const char *question) {
    std::fprintf(stderr, "%s [y/N] ", question);
    std::fflush(stderr);
    char line[16] = {};
    if (!std::fgets(line, sizeof line, stdin)) return false;
    return line[0] == 'y' || line[0] == 'Y';
}

int cmdList() {
    std::string error;
    const std::string folder = tables::storeFolder(&error);
    if (folder.empty()) return fail(kExitDeviceFailure, "no store of saved tables: " + error, "");
    std::printf("Saved tables in %s (newest first; the last %zu of each disk are kept):\n", folder.c_str(),
                tables::kKeptPerDisk);
    const std::vector<std::string> files = tables::storedFiles();
    for (const std::string &path : files) {
        tables::SavedTable t;
        if (!tables::readSavedTable(path, &t, &error)) {
            std::printf("  %s  (cannot be used: %s)\n", path.c_str(), error.c_str());
            continue;
        }
        const TableView v = decodeTable(t.content()->table.data());
        std::printf("  %s\n      %s, %s; %u sectors, layout kind %u, password %s; %s\n", path.c_str(),
                    utcText(t.savedAt).c_str(), t.reason.c_str(), t.capacity, v.layoutKind,
                    v.passwordSet ? "set" : "none", copiesText(t).c_str());
    }
    if (files.empty()) std::printf("  none\n");
    return kExitOk;
}

int cmdShow(const std::string &path) {
    std::string bytes;
    tables::SavedTable t;
    int rc = kExitOk;
    if (!readFile(path, &bytes, &t, &rc)) return rc;
    printSaved(path, t);
    return kExitOk;
}

int cmdSave(const std::string &path) {
    if (fileio::fileExists(path))
        return fail(kExitUsage, path + " exists already", "name a new file; nothing is written over");
    Session s;
    if (int rc = s.bind({}, kRecoveryLibrary)) return rc;
    auto save = recoveryExport<decltype(&::RecoverySaveTable)>(s, "RecoverySaveTable");
    if (!save) return fail(kExitNotInstalled, "QuendalRecovery.dll lacks RecoverySaveTable", "install a complete one");
    if (int rc = chooseDisk(false)) return rc;
    if (int rc = s.open()) return rc;
    if (!save(path.c_str())) {
        const int32_t code = s.errorCode();
        return fail(kExitDeviceFailure,
                    "the table could not be saved to " + path + " (" + errorCodeText(code) + ", library code " +
                        std::to_string(code) + ")",
                    "check the folder and try again");
    }
    std::string bytes, error;
    tables::SavedTable t;
    if (fileio::readWholeFile(path, &bytes) && tables::decode(bytes, &t, &error)) printSaved(path, t);
    std::printf("The file holds the password's digest: keep it where only you can read it.\n");
    return kExitOk;
}

int cmdRestore(const std::string &path, bool yes) {
    std::string bytes;
    tables::SavedTable saved;
    int rc = kExitOk;
    if (!readFile(path, &bytes, &saved, &rc)) return rc;

    Session s;
    if ((rc = s.bind({E::GetFlashDiskInfo, E::InitVariable}, kRecoveryLibrary))) return rc;
    auto restore = recoveryExport<decltype(&::RecoveryRestoreTable)>(s, "RecoveryRestoreTable");
    if (!restore)
        return fail(kExitNotInstalled, "QuendalRecovery.dll lacks RecoveryRestoreTable", "install a complete one");
    if ((rc = chooseDisk(true))) return rc;
    if ((rc = s.openDevice())) return rc;

    // Checked here as well as in the library, to say plainly why not.
    std::array<uint8_t, 512> info{};
    if (!s.dll().GetFlashDiskInfo(info.data()))
        return fail(kExitDeviceFailure, "the disk's identity cannot be read", "replug the flash disk and try again");
    if (tables::identityOf(info.data()) != saved.identity)
        return fail(kExitUsage, path + " was saved from another disk (its identity block differs)",
                    "name a table saved from this disk ('quendal table list')");
    std::array<uint8_t, 512> current{};
    s.dll().InitVariable();
    const int32_t copies = s.dll().GetConfigTable(current.data());
    std::printf("This disk:       %s, ", deviceDescription().c_str());
    if (copies > 0) {
        const TableView now = decodeTable(current.data());
        std::printf("%s, layout kind %u, password %s, %s\n", tableKindName(now.kind), now.layoutKind,
                    now.passwordSet ? "set" : "none", copies >= 2 ? "two copies" : "one copy left");
        if (tables::tableCapacity(current.data()) != saved.capacity)
            return fail(kExitUsage,
                        path + " was saved from a disk of " + std::to_string(saved.capacity) + " sectors, not " +
                            std::to_string(tables::tableCapacity(current.data())),
                        "name a table saved from this disk ('quendal table list')");
    } else {
        std::printf("no table left (an unknown disk)\n");
    }
    printSaved(path, saved);
    std::printf("Will write:      this table and its information sectors into the disk's information blocks at "
                "%s%s.\n                 The data in the areas is not touched.\n",
                pageText(saved.copies[0].page).c_str(),
                saved.copies[1].page == tables::kNoPage ? "" : (" and " + pageText(saved.copies[1].page)).c_str());
    if (!yes) {
        if (!isTerminal(stdin))
            return fail(kExitUsage, "nothing was written: a restore is confirmed on a terminal or with --yes", "");
        if (!askYes("Write it?")) return fail(kExitUsage, "nothing was written", "");
    }
    const int32_t codeBefore = s.errorCode();
    if (!restore(reinterpret_cast<const uint8_t *>(bytes.data()), uint32_t(bytes.size()))) {
        const int32_t code = s.errorCode();
        const std::string cause = code != codeBefore ? " (" + std::string(errorCodeText(code)) + ", library code " +
                                                           std::to_string(code) + ")"
                                                     : "";
        if (code == QUENDAL_ERR_NOT_THIS_DISK || code == QUENDAL_ERR_CONTROLLER_KIND)
            return fail(kExitUsage, "nothing was written: the saved table does not fit this disk" + cause, "");
        return fail(kExitDeviceFailure, "Restore failed" + cause,
                    "replug the flash disk, run 'quendal info', and restore again if it is still not back");
    }
    std::printf("Restored. Please replug your Flash Disk before use%s.\n",
                std::getenv(flashemu::kDiskEnv) ? " ('quendal emulate DIR --replug' for the emulated disk)" : "");
    return kExitOk;
}

} // namespace

const char *libraryForRewrite(bool force) { return force ? kRecoveryLibrary : TDiskControl::kLibraryName; }

int allowLastCopy(Session &session) {
    auto allow = recoveryExport<decltype(&::RecoveryAllowLastCopy)>(session, "RecoveryAllowLastCopy");
    if (!allow)
        return fail(kExitNotInstalled, "QuendalRecovery.dll lacks RecoveryAllowLastCopy", "install a complete one");
    allow(1);
    return kExitOk;
}

int rewriteRefused(int32_t code, const char *what) {
    const std::string refused = std::string(what) + " was refused before anything was written: ";
    switch (code) {
    case QUENDAL_ERR_LAST_COPY:
        return fail(kExitWrongState,
                    refused + "only one copy of the disk's table is left, and no saved table of this disk "
                              "on this computer says where the other lived",
                    "save it first ('quendal table save FILE'), then add --force to rewrite the last copy, "
                    "or restore a saved table ('quendal table restore FILE'); see docs/recovery.md");
    case QUENDAL_ERR_TABLE_CHANGED:
        return fail(kExitWrongState, refused + "another program changed the disk's table since quendal read it",
                    "run the command again");
    case QUENDAL_ERR_TABLE_NOT_SAVED: {
        std::string error;
        const std::string folder = tables::storeFolder(&error);
        return fail(kExitDeviceFailure,
                    refused + "the disk's table could not be saved on this computer first (" +
                        (folder.empty() ? error : "in " + folder) + ")",
                    "make room there, or make that folder yours and closed to others, and try again");
    }
    default: return -1;
    }
}

int passwordChangeFailed(Session &session, const std::string &cause, const char *oldPassword,
                         const char *newPassword) {
    const std::string what = "Change Password failed!" + cause;
    switch (rewrite::passwordNow(session.dll(), oldPassword, newPassword)) {
    case rewrite::PasswordNow::Old:
        return fail(kExitDeviceFailure, what + " The disk, read again, still takes the old password",
                    "replug the flash disk and try again");
    case rewrite::PasswordNow::New:
        return fail(kExitDeviceFailure, what + " The disk, read again, takes the new password now",
                    "replug the flash disk before use");
    default:
        return fail(kExitDeviceFailure,
                    what + " It cannot be told which password opens the disk now: its table cannot be read",
                    "replug it and try the old password, then the new one; if neither works, bring a saved table "
                    "back with 'quendal table restore' (see docs/recovery.md)");
    }
}

int cmdTable(const Args &args) {
    std::vector<std::string> positional;
    bool yes = false;
    for (const std::string &a : args) {
        if (a == "--yes")
            yes = true;
        else if (a.rfind("--", 0) == 0)
            return usage("unknown option " + a);
        else
            positional.push_back(a);
    }
    if (positional.empty()) return usage("give one of list, show, save or restore");
    const std::string &what = positional[0];
    if (yes && what != "restore") return usage("--yes belongs to 'quendal table restore'");
    if (what == "list") return positional.size() == 1 ? cmdList() : usage("'list' takes no file");
    if (positional.size() != 2) return usage("'" + what + "' takes one file");
    if (what == "show") return cmdShow(positional[1]);
    if (what == "save") return cmdSave(positional[1]);
    if (what == "restore") return cmdRestore(positional[1], yes);
    return usage("unknown table command '" + what + "'");
}

const char *tableHelp() {
    return R"(Usage: quendal table list
       quendal table show FILE
       quendal table save FILE
       quendal table restore FILE [--yes]

Every program of this system saves a disk's table before it replaces it (a
format, a password change, a restore): both copies with where they live, their
information sectors, and the disk's identity and capacity, in a folder of the
user's own (Linux: $XDG_DATA_HOME/quendal/tables, by default
~/.local/share/quendal/tables; Windows: %LOCALAPPDATA%\quendal\tables). The
last ten of each disk are kept. The files hold the password's digest and are
readable by the user alone.

  list      the saved tables, newest first
  show      what one saved table holds: when and why it was saved, the layout,
            whether a password is set, where the copies live
  save      save the disk's table now, into a new FILE of your own
  restore   write a saved table back into this disk's information blocks: both
            copies, where they lived. The file must be this disk's (identity and
            capacity). Shows what it will write and asks; --yes does not ask.
            The data in the areas is not touched. Replug the disk afterwards.
            A disk that became unknown comes back with the layout and password
            of the saved table.

See docs/recovery.md.
)";
}

} // namespace cli
