#include "DiskFiles.h"

#include "text_io.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "byteorder.h"
#include "file_io.h"
#include "table_layout.h"

namespace flashemu {
namespace {

std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unhex(const std::string &s, std::vector<uint8_t> *out) {
    if (s.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = nibble(s[i]), lo = nibble(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

bool parseU32(const std::string &s, uint32_t *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    unsigned long long x = std::strtoull(s.c_str(), &end, 0);
    if (*end || x > 0xFFFFFFFFull) return false;
    *v = uint32_t(x);
    return true;
}

// Texts are stored escaped so that a blank or '=' in an identity survives.
std::string escape(const std::string &s) { return hex(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }
std::string unescape(const std::string &s) {
    std::vector<uint8_t> b;
    if (!unhex(s, &b)) return {};
    return std::string(b.begin(), b.end());
}

bool ioAt(const std::string &path, bool write, uint64_t offset, uint8_t *buf, size_t len) {
    fileio::File f;
    if (!f.open(path, write ? fileio::File::Mode::ReadWrite : fileio::File::Mode::Read)) return false;
    // Past the end of a sparse image nothing was ever written: it reads as zeros.
    bool ok = write ? f.writeAt(offset, buf, len) : f.readAtZeroFilled(offset, buf, len);
    // A failed close can be a lost write.
    return f.close() && ok;
}

} // namespace

DiskLock::DiskLock(const std::string &dir, bool makingDisk) {
    if (!makingDisk && !fileio::fileExists(confPath(dir))) return;
    lock_ = std::make_unique<fileio::ExclusiveLock>(joinPath(dir, ".lock"));
}

DiskLock::~DiskLock() = default;

namespace {
std::string writerLockPath(const std::string &dir) { return joinPath(dir, ".writer"); }
std::string writerPidPath(const std::string &dir) { return joinPath(dir, "writer.pid"); }
} // namespace

WriterLock::WriterLock(const std::string &dir) {
    lock_ = std::make_unique<fileio::ExclusiveLock>(writerLockPath(dir), false);
    // The lock itself cannot be read while it is held (Windows locks bytes),
    // so who holds it is told in a file beside it.
    if (lock_->locked()) writeFileAtomic(writerPidPath(dir), std::to_string(fileio::currentProcessId()) + "\n");
}

WriterLock::~WriterLock() = default;

bool WriterLock::held() const { return lock_ && lock_->locked(); }

std::string writerOf(const std::string &dir) {
    {
        fileio::ExclusiveLock probe(writerLockPath(dir), false);
        if (probe.locked()) return {};
    }
    std::string pid;
    if (!readWholeFile(writerPidPath(dir), &pid)) return "another program";
    pid = withoutLineEnd(pid.substr(0, pid.find('\n')));
    std::string name;
    if (fileio::readWholeFile("/proc/" + pid + "/comm", &name) && !name.empty())
        return withoutLineEnd(name.substr(0, name.find('\n'))) + " (pid " + pid + ")";
    return "the program with pid " + pid;
}

std::string joinPath(const std::string &dir, const std::string &name) {
    // Forward slashes are accepted by both systems, so one disk directory serves
    // the Linux and the Windows builds alike.
    if (dir.empty()) return name;
    char last = dir.back();
    if (last == '/' || last == '\\') return dir + name;
    return dir + "/" + name;
}

std::string confPath(const std::string &dir) { return joinPath(dir, "device.conf"); }
std::string infoImagePath(const std::string &dir) { return joinPath(dir, "info.img"); }
std::string logPath(const std::string &dir) { return joinPath(dir, "commands.log"); }
std::string commitPath(const std::string &dir) { return joinPath(dir, "commit.bin"); }

// Read through fileio::File, which lets a writer in another process rename a new
// copy over the file while it is open (on Windows a C runtime stream would refuse
// that rename).
bool readWholeFile(const std::string &path, std::string *content) {
    fileio::File f;
    if (!f.open(path, fileio::File::Mode::Read)) return false;
    auto size = f.size();
    if (!size || *size > (uint64_t(1) << 30)) return false;
    std::string bytes(size_t(*size), '\0');
    if (!bytes.empty() && !f.readAt(0, bytes.data(), bytes.size())) return false;
    *content = std::move(bytes);
    return true;
}

bool writeFileAtomic(const std::string &path, const std::string &content) {
#if defined(_WIN32)
    // A reader that opened the file without sharing its deletion (another
    // program's stream, a virus scanner) refuses the replacing rename for as long
    // as it holds the file; such readers let go within moments, so try again
    // rather than lose the device's new state.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (fileio::writeFileAtomic(path, content)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
#else
    return fileio::writeFileAtomic(path, content);
#endif
}

std::string withoutLineEnd(std::string line) {
    // A text file of the disk may have passed through a Windows editor.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool saveState(const std::string &dir, const DiskState &s) {
    textio::Builder o;
    o << "# Emulated flash disk. Text fields are hex-encoded bytes.\n";
    o << "sectors=" << s.sectors << "\n";
    o << "page_sectors_raw=" << s.pageSectorsRaw << "\n";
    o << "page_flag_bit0=" << int(s.pageFlagBit0) << "\n";
    o << "block_unit=" << s.blockUnit << "\n";
    o << "vendor=" << escape(s.vendor) << "\n";
    o << "product=" << escape(s.product) << "\n";
    o << "revision=" << escape(s.revision) << "\n";
    o << "fault_refuse_raw_access=" << int(s.faults.refuseRawAccess) << "\n";
    o << "fault_absent=" << int(s.faults.absent) << "\n";
    o << "write_protected=" << int(s.faults.writeProtected) << "\n";
    o << "strict_prepare=" << int(s.faults.strictPrepare) << "\n";
    o << "fail_write_kind=" << escape(s.faults.failKind) << "\n";
    o << "fail_write_nth=" << s.faults.failNth << "\n";
    o << "fail_read_kind=" << escape(s.faults.failReadKind) << "\n";
    o << "fail_read_nth=" << s.faults.failReadNth << "\n";
    o << "writes_of_kind=" << s.writesOfKind << "\n";
    o << "reads_of_kind=" << s.readsOfKind << "\n";
    o << "logged_in=" << int(s.loggedIn) << "\n";
    o << "login_pending=" << int(s.loginPending) << "\n";
    o << "whole_disk=" << int(s.wholeDisk) << "\n";
    o << "dismounted=" << int(s.dismounted) << "\n";
    o << "commits=" << s.commits << "\n";
    o << "logging=" << int(s.logging) << "\n";
    o << "table=" << (s.haveTable ? hex(s.table.data(), s.table.size()) : std::string()) << "\n";
    return writeFileAtomic(confPath(dir), o.str());
}

bool loadState(const std::string &dir, DiskState *out) {
    std::string text;
    if (!readWholeFile(confPath(dir), &text)) return false;
    DiskState s;
    bool haveSectors = false;
    textio::LineReader in(text);
    std::string line;
    while (in.next(line)) {
        line = withoutLineEnd(line);
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), val = line.substr(eq + 1);
        uint32_t n = 0;
        bool num = parseU32(val, &n);
        if (key == "sectors" && num) {
            s.sectors = n;
            haveSectors = true;
        } else if (key == "page_sectors_raw" && num) {
            s.pageSectorsRaw = uint16_t(n);
        } else if (key == "page_flag_bit0" && num) {
            s.pageFlagBit0 = n != 0;
        } else if (key == "block_unit" && num) {
            s.blockUnit = uint16_t(n);
        } else if (key == "vendor") {
            s.vendor = unescape(val);
        } else if (key == "product") {
            s.product = unescape(val);
        } else if (key == "revision") {
            s.revision = unescape(val);
        } else if (key == "fault_refuse_raw_access" && num) {
            s.faults.refuseRawAccess = n != 0;
        } else if (key == "fault_absent" && num) {
            s.faults.absent = n != 0;
        } else if (key == "write_protected" && num) {
            s.faults.writeProtected = n != 0;
        } else if (key == "strict_prepare" && num) {
            s.faults.strictPrepare = n != 0;
        } else if (key == "fail_write_kind") {
            s.faults.failKind = unescape(val);
        } else if (key == "fail_write_nth" && num) {
            s.faults.failNth = n;
        } else if (key == "fail_read_kind") {
            s.faults.failReadKind = unescape(val);
        } else if (key == "fail_read_nth" && num) {
            s.faults.failReadNth = n;
        } else if (key == "writes_of_kind" && num) {
            s.writesOfKind = n;
        } else if (key == "reads_of_kind" && num) {
            s.readsOfKind = n;
        } else if (key == "logged_in" && num) {
            s.loggedIn = n != 0;
        } else if (key == "login_pending" && num) {
            s.loginPending = n != 0;
        } else if (key == "whole_disk" && num) {
            s.wholeDisk = n != 0;
        } else if (key == "dismounted" && num) {
            s.dismounted = n != 0;
        } else if (key == "commits" && num) {
            s.commits = n;
        } else if (key == "logging" && num) {
            s.logging = n != 0;
        } else if (key == "table") {
            std::vector<uint8_t> b;
            if (unhex(val, &b) && b.size() == s.table.size()) {
                std::copy(b.begin(), b.end(), s.table.begin());
                s.haveTable = true;
            }
        }
    }
    if (!haveSectors) return false;
    *out = s;
    return true;
}

bool readSectors(const std::string &dir, uint64_t first, uint32_t count, uint8_t *out) {
    return ioAt(dataImagePath(dir), false, first * kSector, out, size_t(count) * kSector);
}

bool writeSectors(const std::string &dir, uint64_t first, uint32_t count, const uint8_t *in) {
    return ioAt(dataImagePath(dir), true, first * kSector, const_cast<uint8_t *>(in), size_t(count) * kSector);
}

// info.img holds every byte inverted, so the holes of the sparse file (zeros)
// read as erased flash (0xFF) and an erase is a write of zeros.
bool readInfo(const std::string &dir, uint32_t page, uint32_t slot, uint8_t *out512) {
    if (page >= kInfoPages || slot >= kInfoSlots) return false;
    if (!ioAt(infoImagePath(dir), false, (uint64_t(page) * kInfoSlots + slot) * kSector, out512, kSector)) return false;
    for (uint32_t i = 0; i < kSector; ++i) out512[i] ^= 0xFF;
    return true;
}

bool writeInfo(const std::string &dir, uint32_t page, uint32_t slot, const uint8_t *in512) {
    if (page >= kInfoPages || slot >= kInfoSlots) return false;
    uint8_t buf[kSector];
    for (uint32_t i = 0; i < kSector; ++i) buf[i] = in512[i] ^ 0xFF;
    return ioAt(infoImagePath(dir), true, (uint64_t(page) * kInfoSlots + slot) * kSector, buf, kSector);
}

bool eraseInfoPages(const std::string &dir, uint32_t firstPage, uint32_t pages) {
    if (firstPage >= kInfoPages || pages > kInfoPages - firstPage) return false;
    std::vector<uint8_t> zeros(size_t(pages) * kInfoSlots * kSector, 0);
    return ioAt(infoImagePath(dir), true, uint64_t(firstPage) * kInfoSlots * kSector, zeros.data(), zeros.size());
}

void appendLog(const std::string &dir, const LogEntry &e) {
    textio::Builder o;
    o << e.op << '\t' << e.address << '\t' << e.count << '\t' << e.length << '\t'
      << (e.hasCdb ? hex(e.cdb.data(), e.cdb.size()) : std::string("-")) << '\t' << e.result << '\t'
      << (e.data.empty() ? std::string("-") : hex(e.data.data(), e.data.size())) << '\n';
    fileio::File out(logPath(dir), fileio::File::Mode::CreateReadWrite);
    if (auto end = out.isOpen() ? out.size() : std::nullopt) out.writeAt(*end, o.str().data(), o.str().size());
}

bool parseLogLine(const std::string &text, LogEntry *e) {
    const std::string line = withoutLineEnd(text);
    std::vector<std::string> f;
    size_t start = 0;
    while (true) {
        size_t tab = line.find('\t', start);
        f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (f.size() != 7) return false;
    LogEntry r;
    r.op = f[0];
    if (!parseU32(f[1], &r.address) || !parseU32(f[2], &r.count) || !parseU32(f[3], &r.length)) return false;
    char *end = nullptr;
    long v = std::strtol(f[5].c_str(), &end, 10);
    if (f[5].empty() || *end) return false;
    r.result = int32_t(v);
    std::vector<uint8_t> b;
    if (f[4] != "-") {
        if (!unhex(f[4], &b) || b.size() != r.cdb.size()) return false;
        std::copy(b.begin(), b.end(), r.cdb.begin());
        r.hasCdb = true;
    }
    if (f[6] != "-") {
        if (!unhex(f[6], &r.data)) return false;
    }
    *e = r;
    return true;
}

} // namespace flashemu

namespace flashemu {

std::array<uint8_t, 512> buildDeviceInfo(const DiskState &s) {
    std::array<uint8_t, 512> b{};
    b[0] = 0x02; // controller family byte; the host does not read it
    b[cfgtbl::kDevFlags] = s.pageFlagBit0 ? 0x01 : 0x00;
    bo::putLE16(b.data() + cfgtbl::kDevBlockUnit, s.blockUnit);
    bo::putLE16(b.data() + cfgtbl::kDevPageSectors, s.pageSectorsRaw);
    bo::putLE32(b.data() + 16, s.sectors); // raw capacity in sectors, for a rig to read
    std::memcpy(b.data() + 32, s.vendor.data(), std::min<size_t>(s.vendor.size(), 8));
    std::memcpy(b.data() + 40, s.product.data(), std::min<size_t>(s.product.size(), 16));
    std::memcpy(b.data() + 56, s.revision.data(), std::min<size_t>(s.revision.size(), 4));
    b[cfgtbl::kDevLoginStatus] = s.loggedIn ? 1 : 0;
    b[cfgtbl::kDevWriteProtect] = s.faults.writeProtected ? 1 : 0;
    return b;
}

} // namespace flashemu
