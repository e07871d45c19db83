#include "DeviceFinder.h"

#include "text_io.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace passthrough {
namespace {

std::string fieldText(const uint8_t *p, size_t size) {
    size_t n = 0;
    while (n < size && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

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

bool fieldMatches(const std::string &want, const std::string &have) { return want.empty() || want == have; }

} // namespace

std::string ScsiDisk::node() const {
    if (!genericName.empty()) return "/dev/" + genericName;
    if (!blockName.empty()) return "/dev/" + blockName;
    return {};
}

Wanted parseParams(const void *params40) {
    Wanted w;
    if (!params40) return w;
    const uint8_t *p = static_cast<const uint8_t *>(params40);
    w.vendor = fieldText(p + 0, 12);
    w.product = fieldText(p + 12, 20);
    w.revision = fieldText(p + 32, 8);
    return w;
}

std::string trimTrailingBlanks(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t' || s.back() == '\0')) s.pop_back();
    return s;
}

Identity identityFromInquiry(const uint8_t *data, uint32_t length) {
    Identity id;
    if (!data || length < 36) return id;
    id.vendor = trimTrailingBlanks(std::string(reinterpret_cast<const char *>(data + 8), 8));
    id.product = trimTrailingBlanks(std::string(reinterpret_cast<const char *>(data + 16), 16));
    id.revision = trimTrailingBlanks(std::string(reinterpret_cast<const char *>(data + 32), 4));
    return id;
}

std::vector<KnownController> parseKnownControllers(const std::string &text) {
    std::vector<KnownController> list;
    textio::LineReader in(text);
    std::string line;
    while (in.next(line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        KnownController k;
        k.vendor = trimTrailingBlanks(f[0]);
        if (f.size() > 1) k.product = trimTrailingBlanks(f[1]);
        if (f.size() > 2) k.revision = trimTrailingBlanks(f[2]);
        // A line that names nothing would match every disk of the machine.
        if (k.vendor.empty() && k.product.empty()) continue;
        list.push_back(k);
    }
    return list;
}

bool matchesWanted(const Identity &id, const Wanted &wanted) {
    return fieldMatches(wanted.vendor, id.vendor) && fieldMatches(wanted.product, id.product) &&
           fieldMatches(wanted.revision, id.revision);
}

bool isKnown(const Identity &id, const std::vector<KnownController> &known) {
    return std::any_of(known.begin(), known.end(), [&](const KnownController &k) {
        return fieldMatches(k.vendor, id.vendor) && fieldMatches(k.product, id.product) &&
               fieldMatches(k.revision, id.revision);
    });
}

std::vector<ScsiDisk> enumerateDisks(SystemOps &os, const std::string &sysRoot) {
    struct Entry {
        unsigned long hctl[4];
        ScsiDisk disk;
    };
    std::vector<Entry> found;
    const std::string base = sysRoot + "/bus/scsi/devices";
    for (const std::string &name : os.listDirectory(base)) {
        Entry e;
        if (!parseHctl(name, e.hctl)) continue;
        const std::string dir = base + "/" + name;
        auto type = os.readText(dir + "/type");
        if (!type || std::atoi(type->c_str()) != 0) continue;
        ScsiDisk &d = e.disk;
        d.hctl = name;
        d.identity.vendor = trimTrailingBlanks(firstLine(os.readText(dir + "/vendor").value_or("")));
        d.identity.product = trimTrailingBlanks(firstLine(os.readText(dir + "/model").value_or("")));
        d.identity.revision = trimTrailingBlanks(firstLine(os.readText(dir + "/rev").value_or("")));
        auto blocks = os.listDirectory(dir + "/block");
        if (!blocks.empty()) d.blockName = blocks.front();
        auto generics = os.listDirectory(dir + "/scsi_generic");
        if (!generics.empty()) d.genericName = generics.front();
        if (!d.blockName.empty()) {
            d.removable = firstLine(os.readText(sysRoot + "/block/" + d.blockName + "/removable").value_or("0")) == "1";
            d.dev = firstLine(os.readText(sysRoot + "/block/" + d.blockName + "/dev").value_or(""));
        }
        auto real = os.realPath(dir);
        d.usb = real && real->find("/usb") != std::string::npos;
        if (d.node().empty()) continue;
        found.push_back(e);
    }
    std::sort(found.begin(), found.end(), [](const Entry &a, const Entry &b) {
        return std::lexicographical_compare(a.hctl, a.hctl + 4, b.hctl, b.hctl + 4);
    });
    std::vector<ScsiDisk> disks;
    for (auto &e : found) disks.push_back(std::move(e.disk));
    return disks;
}

std::vector<ScsiDisk> candidates(const std::vector<ScsiDisk> &disks, const Wanted &wanted,
                                 const std::vector<KnownController> &known) {
    std::vector<ScsiDisk> out;
    for (const ScsiDisk &d : disks) {
        if (wanted.empty()) {
            // With nothing asked for, only a removable USB disk of a controller
            // we know is taken: never a fixed disk of the machine.
            if (d.removable && d.usb && isKnown(d.identity, known)) out.push_back(d);
        } else if (matchesWanted(d.identity, wanted)) {
            out.push_back(d);
        }
    }
    return out;
}

} // namespace passthrough
