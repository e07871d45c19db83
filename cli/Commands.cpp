// The subcommands: each parses its options, opens the disk through the
// library binding and runs the sequence the manager's dialogs run.
#include "Commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "DiskChoice.h"
#include "Environment.h"
#include "ExitCodes.h"
#include "FlashEmulator.h"
#include "FormatPlan.h"
#include "Session.h"
#include "TableCommands.h"
#include "Terminal.h"
#include "platform/Drives.h"

namespace cli {

using E = TDiskControl::Export;

namespace {

constexpr uint32_t kSectorsPerMByte = 2048;

// Options of one subcommand: flags and options with a value.
struct Parsed {
    std::map<std::string, std::string> values;
    std::map<std::string, bool> flags;
    std::vector<std::string> positional;
    std::string error;
};

Parsed parseOptions(const Args &args, std::initializer_list<const char *> withValue,
                    std::initializer_list<const char *> flags) {
    Parsed p;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a.rfind("--", 0) != 0 || a == "--") {
            p.positional.push_back(a);
            continue;
        }
        std::string name = a, value;
        bool inlineValue = false;
        if (auto eq = a.find('='); eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inlineValue = true;
        }
        bool known = false;
        for (const char *w : withValue) {
            if (name != w) continue;
            known = true;
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    p.error = "option " + name + " needs a value";
                    return p;
                }
                value = args[++i];
            }
            p.values[name] = value;
        }
        for (const char *f : flags) {
            if (name != f) continue;
            if (inlineValue) {
                p.error = "option " + name + " takes no value";
                return p;
            }
            known = true;
            p.flags[name] = true;
        }
        if (!known) {
            p.error = "unknown option " + name;
            return p;
        }
    }
    return p;
}

int usage(const std::string &command, const std::string &what) {
    return fail(kExitUsage, what, "see 'quendal " + command + " --help'");
}

std::string mbytes(uint64_t sectors) { return std::to_string(sectors / kSectorsPerMByte) + "MByte"; }

bool readPassword(PasswordSource &source, const char *prompt, Password *out, int *exitCode) {
    std::string error, hint;
    if (source.read(prompt, out, &error, &hint)) return true;
    *exitCode = fail(kExitUsage, error, hint);
    return false;
}

// The drive, if any, whose volume lies inside the given area of the emulated
// disk, as the drive map shows it now.
std::string driveInArea(uint32_t areaStart, uint32_t areaSize, std::string *mount) {
    const char *dir = std::getenv(flashemu::kDiskEnv);
    if (!dir || !*dir || areaSize == 0) return {};
    std::error_code ec;
    std::filesystem::path image = flashemu::dataImagePath(dir);
    const uint64_t begin = uint64_t(areaStart) * 512, end = begin + uint64_t(areaSize) * 512;
    for (const auto &d : platform::driveTable()) {
        if (!std::filesystem::equivalent(d.source, image, ec)) continue;
        if (d.offset >= begin && d.offset < end) {
            if (mount) *mount = d.mount;
            return std::string(1, d.letter) + ":";
        }
    }
    return {};
}

void printDrives() {
    const char *dir = std::getenv(flashemu::kDiskEnv);
    auto table = platform::driveTable();
    std::string line;
    for (const auto &d : table) {
        if (d.letter <= 'C' && !(dir && *dir)) continue; // the host's own drives
        line += "  " + std::string(1, d.letter) + ":  " + std::to_string(d.length / 512) + " sectors at byte " +
                std::to_string(d.offset) + (d.cdrom ? ", CD-ROM" : "") + (d.readOnly ? ", read-only" : "") +
                (d.mount.empty() ? "" : ", mounted at " + d.mount) + "\n";
    }
    std::printf("Drives:\n%s", line.empty() ? "  none\n" : line.c_str());
}

// The sink of the library's progress callback.
ProgressBar *gProgress = nullptr;

int32_t formatProgress(int32_t percent, const char *text) {
    if (gProgress) gProgress->update(percent, text);
    return 0;
}

} // namespace

bool parseNumber(const std::string &text, unsigned long long min, unsigned long long max, unsigned long long *out) {
    if (text.empty() || text.size() > 19) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v < min || v > max) return false;
    *out = v;
    return true;
}

static const char *const kModeNames[] = {"normal", "secure", "hdd-boot", "zip-boot", "zip-boot-63", "cdrom"};

bool parseMode(const std::string &text, int *mode) {
    for (int i = 0; i < 6; ++i) {
        if (text == kModeNames[i] || text == std::to_string(i)) {
            *mode = i;
            return true;
        }
    }
    return false;
}

const char *modeName(int mode) { return mode >= 0 && mode < 6 ? kModeNames[mode] : "?"; }

// ---------------------------------------------------------------------------

int cmdEmulate(const Args &args) {
    Parsed p = parseOptions(args,
                            {"--sectors", "--table", "--page-sectors", "--block-unit", "--info-sectors", "--label",
                             "--fail", "--fail-read"},
                            {"--refuse-raw", "--absent", "--write-protected", "--log", "--force", "--replug"});
    if (!p.error.empty()) return usage("emulate", p.error);
    if (p.positional.size() != 1) return usage("emulate", "give exactly one disk folder");
    // Made absolute here as for --disk: the emulator is handed one plain name
    // (Windows' "D:disk" is relative to drive D:'s current folder, which the
    // file functions do not all resolve alike).
    const std::string dir = absoluteName(p.positional[0]);

    if (p.flags["--replug"]) {
        // Unplugging and plugging in the disk again: the controller starts afresh.
        if (args.size() != 2) return usage("emulate", "--replug takes no other option");
        if (!flashemu::isDisk(dir))
            return fail(kExitNoDisk, "there is no emulated disk in " + dir, "create one with 'quendal emulate DIR'");
        if (!flashemu::replug(dir))
            return fail(kExitDeviceFailure, "cannot replug the emulated disk in " + dir,
                        "check that the folder is writable");
        std::printf("Replugged the emulated flash disk in %s: logged out, its stored layout in force\n", dir.c_str());
        return kExitOk;
    }

    flashemu::DiskOptions options;
    unsigned long long n = 0;
    if (p.values.count("--sectors")) {
        if (!parseNumber(p.values["--sectors"], 1, 0x7FFFFFFF, &n))
            return usage("emulate", "--sectors must be a number of sectors from 1 to 2147483647");
        options.sectors = uint32_t(n);
    }
    if (p.values.count("--table")) {
        const std::string &t = p.values["--table"];
        if (t == "version")
            options.table = flashemu::TableKind::Version;
        else if (t == "maker")
            options.table = flashemu::TableKind::Maker;
        else if (t == "none")
            options.table = flashemu::TableKind::None;
        else
            return usage("emulate", "--table must be version, maker or none");
    }
    if (p.values.count("--page-sectors")) {
        // A command address carries only two bits of the sector in a page.
        if (!parseNumber(p.values["--page-sectors"], 1, 4, &n))
            return usage("emulate", "--page-sectors must be 1 to 4");
        // Flag bit 0 set: the device reports sectors per page as they are.
        options.pageFlagBit0 = true;
        options.pageSectorsRaw = uint16_t(n);
    }
    if (p.values.count("--block-unit")) {
        if (!parseNumber(p.values["--block-unit"], 1, 256, &n))
            return usage("emulate", "--block-unit must be 1 to 256");
        options.blockUnit = uint16_t(n);
    }
    if (p.values.count("--info-sectors")) {
        const std::string &v = p.values["--info-sectors"];
        if (v != "8" && v != "16") return usage("emulate", "--info-sectors must be 8 or 16");
        options.infoSectors = uint8_t(std::stoi(v));
    }
    if (p.values.count("--label")) {
        const std::string &l = p.values["--label"];
        if (l.size() > 11) return usage("emulate", "--label takes at most 11 characters");
        options.label = l;
    }

    flashemu::Faults faults;
    auto parseFault = [&](const char *option, std::initializer_list<const char *> kinds, std::string *kind,
                          uint32_t *nth) -> bool {
        if (!p.values.count(option)) return true;
        const std::string &v = p.values[option];
        auto colon = v.rfind(':');
        if (colon == std::string::npos) return false;
        std::string k = v.substr(0, colon);
        unsigned long long count = 0;
        if (!parseNumber(v.substr(colon + 1), 1, 0xFFFFFFFF, &count)) return false;
        for (const char *known : kinds) {
            if (k == known) {
                *kind = k;
                *nth = uint32_t(count);
                return true;
            }
        }
        return false;
    };
    if (!parseFault(
            "--fail",
            {"data", "info", "info-table", "prepare", "whole-disk", "store-table", "login", "reset", "commit", "any"},
            &faults.failKind, &faults.failNth))
        return usage("emulate", "--fail takes KIND:N, KIND one of data, info, info-table, prepare, "
                                "whole-disk, store-table, login, reset, commit, any");
    if (!parseFault("--fail-read", {"device-info", "table", "info", "data", "any"}, &faults.failReadKind,
                    &faults.failReadNth))
        return usage("emulate", "--fail-read takes KIND:N, KIND one of device-info, table, info, "
                                "data, any");
    faults.refuseRawAccess = p.flags["--refuse-raw"];
    faults.absent = p.flags["--absent"];
    faults.writeProtected = p.flags["--write-protected"];

    if (flashemu::isDisk(dir) && !p.flags["--force"])
        return fail(kExitUsage, "an emulated disk already exists in " + dir,
                    "add --force to replace it (its data is lost)");
    std::error_code ec;
    if (std::filesystem::exists(dir, ec) && !std::filesystem::is_directory(dir, ec))
        return fail(kExitUsage, dir + " is not a folder", "name a folder for the emulated disk");

    std::string error;
    if (!flashemu::createDisk(dir, options, &error))
        return fail(kExitDeviceFailure,
                    "cannot create the emulated disk in " + dir + (error.empty() ? "" : ": " + error),
                    "check the folder and the options");
    if (!flashemu::setFaults(dir, faults))
        return fail(kExitDeviceFailure, "cannot set the faults of the emulated disk in " + dir,
                    "check that the folder is writable");
    if (p.flags["--log"] && !flashemu::setLogging(dir, true))
        return fail(kExitDeviceFailure, "cannot switch on the command log in " + dir,
                    "check that the folder is writable");
    std::printf("Created an emulated flash disk of %u sectors (%s) in %s\n", options.sectors,
                mbytes(options.sectors).c_str(), dir.c_str());
#if defined(_WIN32)
    std::printf("Use it with: quendal --disk %s info   (or set FLASHDISK_EMULATOR=%s)\n", dir.c_str(), dir.c_str());
#else
    std::printf("Use it with: quendal --disk %s info   (or FLASHDISK_EMULATOR=%s)\n", dir.c_str(), dir.c_str());
#endif
    return kExitOk;
}

// ---------------------------------------------------------------------------

int cmdInfo(const Args &args) {
    Parsed p = parseOptions(args, {}, {});
    if (!p.error.empty()) return usage("info", p.error);
    if (!p.positional.empty()) return usage("info", "unexpected argument " + p.positional[0]);

    Session s;
    if (int rc = s.bind({E::GetDiskSize, E::GetFlashDiskInfo, E::HaveCfgTbl})) return rc;
    if (int rc = chooseDisk(false)) return rc;
    if (int rc = s.open()) return rc;
    const TableView &v = s.view();
    const uint32_t capacity = uint32_t(s.capacity());

    std::printf("Device:          %s\n", deviceDescription().c_str());
    std::printf("Capacity:        %u sectors (%s)%s\n", capacity, mbytes(capacity).c_str(),
                v.kind == TableView::Kind::Maker ? ", as the library reads it off a maker table" : "");
    std::printf("Table:           %s, %s\n", tableKindName(v.kind),
                s.tableCopies() >= 2 ? "primary and backup copy" : "one copy (no backup)");
    if (v.kind == TableView::Kind::Version && !v.label.empty()) std::printf("Label:           %s\n", v.label.c_str());
    std::printf("Layout:          kind %u, %s\n", v.layoutKind, layoutDescription(v).c_str());
    std::printf("Areas:           start (sectors)   size (sectors)   size\n");
    for (int i = 0; i < 3; ++i) {
        if (v.areaSize[i] == 0) continue;
        std::printf("  area %d         %10u   %14u   %8s   %s\n", i, v.areaStart[i], v.areaSize[i],
                    mbytes(v.areaSize[i]).c_str(), areaRole(v, i).c_str());
    }
    std::printf("Password:        %s\n", v.passwordSet ? "set" : "none");
    const int32_t login = s.loginState();
    std::printf("Login state:     %s\n", login == 1   ? "logged in (the secure area is open)"
                                         : login == 0 ? "logged out"
                                         : login < 0  ? "no secure area"
                                                      : "unknown");
    std::array<uint8_t, 512> info{};
    if (s.dll().GetFlashDiskInfo(info.data()))
        std::printf("Write protect:   %s\n", info[294] ? "on" : "off");
    else
        std::printf("Write protect:   unknown (the device information cannot be read)\n");
    printDrives();
    return kExitOk;
}

// ---------------------------------------------------------------------------

int cmdFormat(const Args &args) {
    Parsed p = parseOptions(args, {"--mode", "--first"}, {"--password-stdin", "--yes", "--force"});
    if (!p.error.empty()) return usage("format", p.error);
    if (!p.positional.empty()) return usage("format", "unexpected argument " + p.positional[0]);
    int mode = QUENDAL_MODE_NORMAL;
    if (p.values.count("--mode") && !parseMode(p.values["--mode"], &mode))
        return usage("format", "unknown mode '" + p.values["--mode"] +
                                   "' (normal, secure, hdd-boot, zip-boot, zip-boot-63, cdrom)");
    unsigned long long percent = 100;
    if (p.values.count("--first") && !parseNumber(p.values["--first"], 0, 100, &percent))
        return usage("format", "--first must be a whole percentage from 0 to 100");

    Session s;
    const bool force = p.flags["--force"];
    if (int rc = s.bind({E::GetDiskSize, E::HaveCfgTbl, E::FormatDisk}, libraryForRewrite(force))) return rc;
    if (int rc = chooseDisk(true)) return rc;
    if (int rc = force ? allowLastCopy(s) : kExitOk) return rc;
    if (int rc = s.open()) return rc;
    if (!s.dll().HaveCfgTbl())
        return fail(kExitNoDisk, "None Flash Disk detect.", "plug in the flash disk and try again");
    if (s.loginState() == 1)
        return fail(kExitWrongState, "Your FlashDisk is in Login state",
                    "please replug your Flash Disk before formatting");
    // The library formats only disks with a version table; on a maker table it
    // does nothing and reports failure, so say so before asking for anything.
    if (s.view().kind == TableView::Kind::Maker)
        return fail(kExitWrongState, "this disk carries a maker table, which cannot be formatted",
                    "nothing was changed");

    if (int rc = confirmFormat(s, p.flags["--yes"])) return rc;

    const uint32_t diskSize = uint32_t(s.dll().GetDiskSize());
    Password password;
    if (mode == QUENDAL_MODE_SECURE) {
        PasswordSource source(p.flags["--password-stdin"]);
        Password confirm;
        int rc = kExitOk;
        if (!readPassword(source, "Password: ", &password, &rc)) return rc;
        if (!readPassword(source, "Confirm Password: ", &confirm, &rc)) return rc;
        if (!(password == confirm))
            return fail(kExitUsage, "Confirm Password is not same as new password!",
                        "nothing was formatted; type the same password twice");
    }
    FormatPlan plan = planFormat(diskSize, int(percent), uint8_t(mode), password.bytes);
    if (!plan.ok) return usage("format", plan.error);

    std::printf("Formatting %s (%u sectors) as a %s disk:", deviceDescription().c_str(), diskSize, modeName(mode));
    for (int i = 0; i < 3; ++i)
        if (plan.area[i]) std::printf(" area %d %u sectors;", i, plan.area[i]);
    std::printf(" %u area(s)\n", plan.areaCount);
    std::fflush(stdout);
    // The transport refuses the first write while a volume stays mounted; here
    // the user learns which one and who holds it before anything starts.
    if (int rc = unmountVolumes()) return rc;

    const int32_t codeBefore = s.errorCode();
    ProgressBar bar(stdout);
    gProgress = &bar;
    const bool ok = s.dll().FormatDisk(&plan.settings, formatProgress) != 0;
    gProgress = nullptr;
    bar.finish();
    if (!ok) {
        const int32_t code = s.errorCode();
        if (int rc = code != codeBefore ? rewriteRefused(code, "the format") : -1; rc >= 0) return rc;
        // The library never clears its code: only a new one tells about this failure.
        std::string cause = code != codeBefore ? std::string(" (") + errorCodeText(code) + ", library code " +
                                                     std::to_string(code) + ")"
                                               : "";
        // The transport refuses the layout while a volume is mounted (again).
        for (const std::string &m : mountedVolumes()) cause += "; still mounted: " + m;
        return fail(kExitDeviceFailure, "Format Failed!" + cause,
                    "please replug your Flash Disk and run 'quendal info' before use");
    }
    std::printf("Format Complete! Please replug your Flash Disk before use.\n");
    return kExitOk;
}

// ---------------------------------------------------------------------------

namespace {
// Login and password change need a secure disk that is not logged in.
int requireLoggedOut(Session &s, const char *what) {
    const int32_t state = s.loginState();
    if (state == 0) return kExitOk;
    if (state == 1)
        return fail(kExitWrongState,
                    std::string("the secure area is already open (logged in); ") + what + " needs a logged-out disk",
                    std::getenv(flashemu::kDiskEnv)
                        ? "replug the flash disk to log out ('quendal emulate DIR --replug' "
                          "for the emulated disk)"
                        : "replug the flash disk to log out");
    if (state < 0)
        return fail(kExitWrongState, "this disk has no secure area",
                    "format it with 'quendal format --mode secure' first");
    return fail(kExitWrongState, "the disk reports an unknown login state " + std::to_string(state),
                "replug the flash disk and try again");
}
} // namespace

// A user who may not send the disk raw commands logs in as the login program
// does then: the library writes the login file onto the login volume, where
// the device finds it. Nothing can check the password first; the device takes
// the file only when its digest is the disk's.
int loginByFile(Session &s, const Password &password) {
    char volume[10] = {};
    s.dll().GetSecureDiskVolume(volume);
    volume[sizeof(volume) - 1] = '\0';
    if (!s.dll().VerifyPassword(password.c_str(), 1)) {
        if (s.errorCode() == QUENDAL_ERR_NO_LOGIN_VOLUME || !volume[0])
            return fail(kExitNoDisk, "This user may not send the flash disk raw commands, and its login volume is "
                                     "not mounted either",
                        "mount the login volume (your file manager does when you open it) and try again, or run "
                        "quendal as a user with access to the device (see docs/real-disks.md)");
        return fail(kExitDeviceFailure, std::string("The login file could not be written on ") + volume,
                    "check that the login volume is mounted writable for you and try again");
    }
    std::printf("Login file written on %s (this user may not send the disk raw commands).\n"
                "When the password is right, the disk shows the secure area in the login volume's place; "
                "when it does not, nothing changes.\n",
                volume);
    // A disk leaves its login volume in place while a volume of it is mounted,
    // as a mounted medium must stay: the login takes effect once it is let go.
    std::string mount;
    for (const platform::DriveEntry &d : platform::driveTable())
        if (d.letter == volume[0]) mount = d.mount;
    if (mount.empty() || !platform::driveMapPath().empty()) return kExitOk;
    std::string why;
    if (releaseVolume(mount, &why)) {
        std::printf("The login volume was unmounted from %s; the secure area takes its place.\n", mount.c_str());
        return kExitOk;
    }
    std::printf("The login volume stays mounted at %s (%s): unmount (eject) it in your file manager, and the "
                "secure area takes its place.\n",
                mount.c_str(), why.c_str());
    return kExitOk;
}

int cmdLogin(const Args &args) {
    Parsed p = parseOptions(args, {}, {"--password-stdin"});
    if (!p.error.empty()) return usage("login", p.error);
    if (!p.positional.empty()) return usage("login", "unexpected argument " + p.positional[0]);

    Session s;
    if (int rc = s.bind({E::VerifyPassword, E::GetSecureDiskVolume})) return rc;
    if (int rc = chooseDisk(true)) return rc;
    if (int rc = s.openDevice(true)) return rc;
    PasswordSource source(p.flags["--password-stdin"]);
    Password password;
    int rc = kExitOk;
    if (s.fileLogin()) {
        if (!readPassword(source, "Password: ", &password, &rc)) return rc;
        return loginByFile(s, password);
    }
    if (int rc = s.readTable()) return rc;
    if (int rc = requireLoggedOut(s, "login")) return rc;

    if (!readPassword(source, "Password: ", &password, &rc)) return rc;
    if (!s.dll().VerifyPassword(password.c_str(), 0))
        return fail(kExitWrongPassword, "Password Error.", "the secure area stays closed; try again");

    // The login volume as the host shows it before the login; the same drive
    // changes its medium to the secure area when the login takes effect.
    char before[10] = {};
    s.dll().GetSecureDiskVolume(before);
    before[sizeof(before) - 1] = '\0';
    if (!s.dll().VerifyPassword(password.c_str(), 1))
        return fail(kExitDeviceFailure, "Login failed.", "replug the flash disk and try again");

    if (before[0]) std::printf("Login volume:    %s (before the login)\n", before);
    const TableView &v = s.view();
    std::string mount;
    std::string drive = driveInArea(v.areaStart[1], v.areaSize[1], &mount);
    if (drive.empty()) drive = before;
    if (drive.empty()) {
        std::printf("Logged in. Please open you FlashDisk from your file manager.\n");
    } else {
        std::printf("Logged in. The secure area shows as %s%s\n", drive.c_str(),
                    mount.empty() ? "" : (" (mounted at " + mount + ")").c_str());
    }
    // The disk as it is now: the next opening of the device is a replug, which
    // logs it out again.
    const int32_t state = s.dll().LoginState();
    std::printf("Login state:     %s\n",
                state == 1 ? "logged in (the secure area is open)" : "not confirmed by the device");
    printDrives();
    return kExitOk;
}

// ---------------------------------------------------------------------------

int cmdPasswd(const Args &args) {
    Parsed p = parseOptions(args, {}, {"--password-stdin", "--force"});
    if (!p.error.empty()) return usage("passwd", p.error);
    if (!p.positional.empty()) return usage("passwd", "unexpected argument " + p.positional[0]);

    Session s;
    const bool force = p.flags["--force"];
    if (int rc = s.bind({E::VerifyPassword, E::ChangePassword, E::InitVariable}, libraryForRewrite(force))) return rc;
    if (int rc = chooseDisk(true)) return rc;
    if (int rc = force ? allowLastCopy(s) : kExitOk) return rc;
    if (int rc = s.open()) return rc;
    if (int rc = requireLoggedOut(s, "a password change")) return rc;

    PasswordSource source(p.flags["--password-stdin"]);
    Password oldPassword, newPassword, confirm;
    int rc = kExitOk;
    if (!readPassword(source, "Old Password: ", &oldPassword, &rc)) return rc;
    if (!s.dll().VerifyPassword(oldPassword.c_str(), 0))
        return fail(kExitWrongPassword, "Old Password Error.", "the password was not changed");
    if (!readPassword(source, "New Password: ", &newPassword, &rc)) return rc;
    if (!readPassword(source, "Confirm Password: ", &confirm, &rc)) return rc;
    if (!(newPassword == confirm))
        return fail(kExitUsage, "Confirm Password is not same as new password!",
                    "the password was not changed; type the new password twice alike");
    const int32_t codeBefore = s.errorCode();
    if (!s.dll().ChangePassword(oldPassword.c_str(), newPassword.c_str())) {
        if (s.view().kind == TableView::Kind::Maker)
            return fail(kExitDeviceFailure, "Change Password failed! (this disk's table kind keeps its password)",
                        "the old password stays valid");
        const int32_t code = s.errorCode();
        if (int rc = code != codeBefore ? rewriteRefused(code, "the password change") : -1; rc >= 0) return rc;
        const std::string cause = code != codeBefore ? std::string(" (") + errorCodeText(code) + ", library code " +
                                                           std::to_string(code) + ")"
                                                     : "";
        return passwordChangeFailed(s, cause, oldPassword.c_str(), newPassword.c_str());
    }
    // Let the library drop and re-read its copy of the table, as the new
    // password counts only from the next read.
    std::array<uint8_t, 512> table{};
    s.dll().InitVariable();
    s.dll().GetConfigTable(table.data());
    s.dll().UpdateParam();
    std::printf("Change Password Complete!\n");
    return kExitOk;
}

} // namespace cli
