#include "LinuxDisks.h"

#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "PassthroughBackend.h"
#include "platform/Drives.h"

namespace passthrough {
namespace {

// SCSI peripheral types a flash disk's unit presents: a disk, or a CD-ROM when
// its first area is the emulated CD-ROM.
constexpr int kTypeDisk = 0;
constexpr int kTypeCdrom = 5;
constexpr size_t kMostHolders = 5;

std::string firstLine(std::string s) {
    size_t nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    return s;
}

// "6:0:0:0" -> its four numbers; false for other entries (host6, target6:0:0).
bool parseHctl(const std::string &name, unsigned long out[4]) {
    const char *p = name.c_str();
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') return false;
        char *end = nullptr;
        out[i] = std::strtoul(p, &end, 10);
        p = end;
        if (i < 3) {
            if (*p != ':') return false;
            ++p;
        }
    }
    return *p == 0;
}

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// mountinfo escapes blanks and a few other characters as \ooo.
std::string unescapeMountField(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && isOctal(s[i + 1]) && isOctal(s[i + 2]) && isOctal(s[i + 3])) {
            out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A helper's output as one line: its lines joined, blanks at the ends gone.
std::string oneLine(const std::string &text) {
    std::string out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) out += (out.empty() ? "" : " ") + line;
    }
    return out;
}

bool isNumber(const std::string &s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

LinuxDisks::LinuxDisks(SystemOps &os, std::string sysRoot, std::string procRoot)
    : os_(os), sys_(std::move(sysRoot)), proc_(std::move(procRoot)) {}

std::vector<DiskEntry> LinuxDisks::listDisks() {
    struct Unit {
        unsigned long hctl[4];
        std::string dir, block, generic;
    };
    std::vector<Unit> units;
    const std::string base = sys_ + "/bus/scsi/devices";
    for (const std::string &name : os_.listDirectory(base)) {
        Unit u;
        if (!parseHctl(name, u.hctl)) continue;
        u.dir = base + "/" + name;
        auto type = os_.readText(u.dir + "/type");
        if (!type) continue;
        const int t = std::atoi(type->c_str());
        if (t != kTypeDisk && t != kTypeCdrom) continue;
        auto blocks = os_.listDirectory(u.dir + "/block");
        if (!blocks.empty()) u.block = blocks.front();
        auto generics = os_.listDirectory(u.dir + "/scsi_generic");
        if (!generics.empty()) u.generic = generics.front();
        if (u.block.empty() && u.generic.empty()) continue;
        units.push_back(u);
    }
    std::sort(units.begin(), units.end(), [](const Unit &a, const Unit &b) {
        return std::lexicographical_compare(a.hctl, a.hctl + 4, b.hctl, b.hctl + 4);
    });

    std::vector<DiskEntry> disks;
    for (size_t i = 0; i < units.size();) {
        // The units of one target are one device; its lowest unit takes the commands.
        size_t j = i;
        DiskEntry d;
        const Unit &first = units[i];
        d.node = "/dev/" + (first.generic.empty() ? first.block : first.generic);
        for (; j < units.size() && std::equal(first.hctl, first.hctl + 3, units[j].hctl); ++j) {
            for (const std::string *n : {&units[j].generic, &units[j].block})
                if (!n->empty()) d.names.push_back("/dev/" + *n);
            if (!units[j].block.empty()) d.units.push_back(units[j].block);
        }
        auto field = [&](const char *f) {
            return trimTrailingBlanks(firstLine(os_.readText(first.dir + "/" + f).value_or("")));
        };
        d.identity = {field("vendor"), field("model"), field("rev")};
        auto real = os_.realPath(first.dir);
        d.usb = real && real->find("/usb") != std::string::npos;
        if (!first.block.empty())
            d.sectors = std::strtoull(os_.readText(sys_ + "/block/" + first.block + "/size").value_or("0").c_str(),
                                      nullptr, 10);
        disks.push_back(std::move(d));
        i = j;
    }
    return disks;
}

std::string LinuxDisks::canonicalNode(const std::string &name) { return os_.realPath(name).value_or(name); }

OpenStatus LinuxDisks::open(const DiskEntry &disk, Handle *handle, std::string *why) {
    const int fd = os_.openDevice(disk.node);
    if (fd >= 0) {
        *handle = fd;
        return OpenStatus::Opened;
    }
    *why = std::strerror(-fd);
    if (fd == -EACCES || fd == -EPERM) return OpenStatus::Refused;
    if (fd == -EBUSY) return OpenStatus::Busy;
    return OpenStatus::Failed;
}

void LinuxDisks::close(Handle handle) { os_.closeDevice(int(handle)); }

Result LinuxDisks::exchange(Handle handle, SgExchange &x, std::string * /*note*/) {
    return classify(os_.exchange(int(handle), x), x);
}

std::vector<std::string> LinuxDisks::blockDevices(const DiskEntry &disk) {
    std::vector<std::string> names;
    for (const std::string &unit : disk.units) {
        names.push_back(unit);
        // A partition is a folder of its disk named after it: sdb1 under sdb.
        for (const std::string &child : os_.listDirectory(sys_ + "/block/" + unit))
            if (child.size() > unit.size() && child.rfind(unit, 0) == 0) names.push_back(unit + "/" + child);
    }
    return names;
}

std::vector<MountedVolume> LinuxDisks::mountedVolumes(const DiskEntry &disk) {
    std::vector<std::string> numbers;
    for (const std::string &path : blockDevices(disk))
        if (auto dev = os_.readText(sys_ + "/block/" + path + "/dev")) numbers.push_back(trimTrailingBlanks(*dev));
    std::vector<MountedVolume> mounts;
    std::istringstream in(os_.readText(proc_ + "/self/mountinfo").value_or(""));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, parent, dev, root, point;
        if (!(f >> id >> parent >> dev >> root >> point)) continue;
        if (std::find(numbers.begin(), numbers.end(), dev) == numbers.end()) continue;
        std::string word, fstype, source;
        while (f >> word && word != "-") {}
        f >> fstype >> source;
        mounts.push_back({unescapeMountField(source), unescapeMountField(point)});
    }
    // Innermost mounts first, so a mount on top of another goes before it.
    std::reverse(mounts.begin(), mounts.end());
    return mounts;
}

bool LinuxDisks::unmount(const MountedVolume &volume, std::string *message) {
    std::string output;
    // The desktop's own service first: it may unmount what the user mounted
    // through it without root, and it tells the desktop the volume went.
    if (os_.udisksRunning() &&
        os_.runProgram({"udisksctl", "unmount", "--no-user-interaction", "--block-device", volume.device}, &output) ==
            0)
        return true;
    if (os_.runProgram({"umount", volume.mountPoint}, &output) == 0) return true;
    *message = oneLine(output);
    return false;
}

bool LinuxDisks::refresh(const DiskEntry &disk) {
    // The SCSI layer's rescan makes the disk driver read the unit's size again
    // (also under a mounted volume); the partition table is read again only
    // where nothing of the unit is in use. Both are root's.
    bool all = true;
    for (const std::string &unit : disk.units) {
        if (os_.writeText(sys_ + "/block/" + unit + "/device/rescan", "1") != 0) {
            all = false;
            continue;
        }
        const int rc = os_.rereadPartitions("/dev/" + unit);
        if (rc != 0 && rc != -EBUSY) all = false;
    }
    return all && !disk.units.empty();
}

uint32_t LinuxDisks::driveMask(const DiskEntry &disk) {
    std::vector<std::string> names;
    for (const std::string &path : blockDevices(disk)) names.push_back("/dev/" + path.substr(path.rfind('/') + 1));
    uint32_t mask = 0;
    for (const platform::DriveEntry &d : platform::driveTable()) {
        // The exact device: /dev/sdb must not claim /dev/sdba1.
        const std::string source = os_.realPath(d.source).value_or(d.source);
        const bool ours = std::find(names.begin(), names.end(), source) != names.end();
        if (ours && d.letter >= 'A' && d.letter <= 'Z') mask |= 1u << (d.letter - 'A');
    }
    return mask;
}

std::vector<std::string> LinuxDisks::holders(const std::string &target) {
    // A device node is held by descriptors on it; a mounted volume by any file
    // or working folder that lies on it.
    const bool node = target.rfind("/dev/", 0) == 0;
    const std::optional<std::string> volume = node ? std::nullopt : os_.deviceOf(target);
    if (!node && !volume) return {};
    auto holds = [&](const std::string &link) {
        return node ? os_.realPath(link) == target : os_.deviceOf(link) == volume;
    };
    std::vector<std::string> found;
    for (const std::string &pid : os_.listDirectory(proc_)) {
        if (!isNumber(pid)) continue;
        const std::string dir = proc_ + "/" + pid;
        bool held = !node && holds(dir + "/cwd");
        for (const std::string &fd : held ? std::vector<std::string>{} : os_.listDirectory(dir + "/fd"))
            if ((held = holds(dir + "/fd/" + fd))) break;
        if (!held) continue;
        found.push_back(trimTrailingBlanks(firstLine(os_.readText(dir + "/comm").value_or("?"))) + " (pid " + pid +
                        ")");
        if (found.size() == kMostHolders) break;
    }
    return found;
}

namespace {
std::string libraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&machineOptions), &info) && info.dli_fname)
        return std::filesystem::path(info.dli_fname).parent_path().string();
    return {};
}
} // namespace

DiskSystem &machineDisks() {
    static LinuxDisks disks(linuxSystem());
    return disks;
}

Options machineOptions() { return optionsFromEnvironment(libraryDirectory()); }

} // namespace passthrough

namespace scsi {
std::unique_ptr<Backend> makePassthroughBackend() {
    return std::make_unique<passthrough::PassthroughBackend>(passthrough::machineDisks(),
                                                             passthrough::machineOptions());
}
} // namespace scsi
