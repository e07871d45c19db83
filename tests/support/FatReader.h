// Test support: a FAT12/FAT16/FAT32 volume read straight from its bytes in an
// image file, written from the on-disk format alone and sharing nothing with
// the library's FAT builder. Where fsck.fat and mtools cannot run (the Windows
// build), the volume checks, listings and file reads of FatTools.h come from
// here; on Linux it is checked against those tools.
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fatreader {

inline uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t *p) { return uint32_t(le16(p)) | (uint32_t(le16(p + 2)) << 16); }

enum class Kind { Fat12, Fat16, Fat32 };

struct File {
    std::string name; // "NAME.EXT" as stored, blanks dropped
    std::array<uint8_t, 11> raw{};
    uint8_t attributes = 0;
    uint32_t firstCluster = 0;
    uint32_t size = 0;
};

// One volume at a byte offset of an image file. Every problem found while
// reading it is collected in problems(); a volume whose boot sector cannot be
// read as FAT is not valid() and has no files.
class Volume {
public:
    Volume(const std::string &image, uint64_t offset) : in_(image, std::ios::binary), offset_(offset) {
        if (!in_) {
            problem("cannot open " + image);
            return;
        }
        in_.seekg(0, std::ios::end);
        fileBytes_ = uint64_t(std::max<std::streamoff>(in_.tellg(), 0));
        parseBootSector();
    }

    bool valid() const { return valid_; }
    Kind kind() const { return kind_; }
    uint32_t clusters() const { return clusters_; }
    uint32_t clusterBytes() const { return sectorsPerCluster_ * bytesPerSector_; }
    const std::vector<std::string> &problems() const { return problems_; }

    // The files and folders of the root directory, in directory order (no
    // deleted entries, long-name pieces or the volume label).
    std::vector<File> rootFiles() {
        std::vector<File> files;
        if (valid_) readDirectory(rootDirectoryBytes(), files, false);
        return files;
    }

    // The content of a root-directory file by 8.3 name ("FLASHDIS.INI"); false
    // when there is no such file or its chain cannot be followed.
    bool readFile(const std::string &name, std::string *content) {
        const auto wanted = shortName(name);
        for (const File &f : rootFiles()) {
            if (f.raw != wanted || (f.attributes & 0x10)) continue;
            content->clear();
            if (f.size == 0) return true;
            std::vector<uint32_t> chain;
            if (!followChain(f.firstCluster, &chain, nullptr)) return false;
            std::string bytes = readClusters(chain);
            if (bytes.size() < f.size) return false;
            content->assign(bytes, 0, f.size);
            return true;
        }
        return false;
    }

    // A full check in the manner of a file-system checker: boot sector fields,
    // FAT copies alike, every directory entry's name and cluster chain, no
    // cluster used twice or allocated but unused, and the FAT32 FSInfo free
    // count. Problems go to problems(); the summary is "<files> files,
    // <used>/<clusters> clusters".
    std::string check() {
        if (!valid_) return "not a FAT volume";
        std::vector<uint8_t> first = fatCopy(0);
        for (uint32_t i = 1; i < numFats_; ++i)
            if (fatCopy(i) != first) problem("FATs differ: copy " + std::to_string(i + 1) + " is not copy 1");

        std::vector<uint8_t> owner(size_t(clusters_) + 2, 0);
        for (uint32_t c = 2; c < clusters_ + 2; ++c) {
            const uint32_t v = entry(c);
            if (v == 1 || (v >= clusters_ + 2 && v < badMark()))
                problem("cluster " + std::to_string(c) + ": bad FAT entry " + std::to_string(v));
        }
        size_t files = 0;
        if (kind_ == Kind::Fat32) {
            std::vector<uint32_t> chain;
            if (!followChain(rootCluster_, &chain, &owner)) problem("root directory chain is broken");
        }
        walk(rootDirectoryBytes(), "", owner, files, 0);

        uint32_t used = 0, freeCount = 0;
        for (uint32_t c = 2; c < clusters_ + 2; ++c) {
            const uint32_t v = entry(c);
            if (v == 0) {
                ++freeCount;
                continue;
            }
            if (v == badMark()) continue;
            ++used;
            if (!owner[c]) problem("cluster " + std::to_string(c) + " is allocated but belongs to no file");
        }
        if (kind_ == Kind::Fat32) checkFsInfo(freeCount);
        return std::to_string(files) + " files, " + std::to_string(used) + "/" + std::to_string(clusters_) +
               " clusters";
    }

    static std::array<uint8_t, 11> shortName(const std::string &name) {
        std::array<uint8_t, 11> out;
        out.fill(' ');
        const size_t dot = name.find('.');
        const std::string base = name.substr(0, dot);
        const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
        for (size_t i = 0; i < base.size() && i < 8; ++i) out[i] = uint8_t(std::toupper((unsigned char)base[i]));
        for (size_t i = 0; i < ext.size() && i < 3; ++i) out[8 + i] = uint8_t(std::toupper((unsigned char)ext[i]));
        return out;
    }

private:
    void problem(const std::string &text) { problems_.push_back(text); }

    bool readBytes(uint64_t at, void *out, size_t n) {
        if (at + n > fileBytes_) return false;
        in_.clear();
        in_.seekg(std::streamoff(at));
        return bool(in_.read(static_cast<char *>(out), std::streamsize(n)));
    }
    std::vector<uint8_t> readSectors(uint64_t sector, uint64_t count) {
        std::vector<uint8_t> bytes(size_t(count * bytesPerSector_), 0);
        if (!readBytes(offset_ + sector * bytesPerSector_, bytes.data(), bytes.size()))
            problem("sectors " + std::to_string(sector) + "+" + std::to_string(count) + " lie past the image's end");
        return bytes;
    }

    void parseBootSector() {
        uint8_t b[512];
        if (!readBytes(offset_, b, sizeof b)) {
            problem("no boot sector at offset " + std::to_string(offset_));
            return;
        }
        if (b[510] != 0x55 || b[511] != 0xAA) problem("boot sector lacks the 55 AA signature");
        bytesPerSector_ = le16(b + 11);
        sectorsPerCluster_ = b[13];
        reserved_ = le16(b + 14);
        numFats_ = b[16];
        rootEntries_ = le16(b + 17);
        totalSectors_ = le16(b + 19) ? le16(b + 19) : le32(b + 32);
        fatSectors_ = le16(b + 22) ? le16(b + 22) : le32(b + 36);
        auto powerOfTwo = [](uint32_t v) { return v && (v & (v - 1)) == 0; };
        if (bytesPerSector_ < 512 || bytesPerSector_ > 4096 || !powerOfTwo(bytesPerSector_))
            return problem("bad bytes per sector " + std::to_string(bytesPerSector_));
        if (!powerOfTwo(sectorsPerCluster_))
            return problem("bad sectors per cluster " + std::to_string(sectorsPerCluster_));
        if (reserved_ == 0) return problem("no reserved sectors");
        if (numFats_ == 0) return problem("no FAT");
        if (fatSectors_ == 0) return problem("FAT size 0");
        const uint32_t rootSectors = (rootEntries_ * 32 + bytesPerSector_ - 1) / bytesPerSector_;
        firstDataSector_ = reserved_ + numFats_ * fatSectors_ + rootSectors;
        if (totalSectors_ <= firstDataSector_) return problem("total sectors leave no data area");
        clusters_ = (totalSectors_ - firstDataSector_) / sectorsPerCluster_;
        // The kind is decided by the number of clusters alone, as every reader does.
        kind_ = clusters_ < 4085 ? Kind::Fat12 : clusters_ < 65525 ? Kind::Fat16 : Kind::Fat32;
        if (kind_ == Kind::Fat32) {
            if (rootEntries_ != 0) problem("FAT32 volume with a fixed root directory");
            rootCluster_ = le32(b + 44);
            fsInfoSector_ = le16(b + 48);
        } else if (rootEntries_ == 0) {
            return problem("FAT12/FAT16 volume without root directory entries");
        }
        const uint64_t entryBits = kind_ == Kind::Fat12 ? 12 : kind_ == Kind::Fat16 ? 16 : 32;
        if ((uint64_t(clusters_) + 2) * entryBits > uint64_t(fatSectors_) * bytesPerSector_ * 8)
            return problem("FAT too small for " + std::to_string(clusters_) + " clusters");
        if (offset_ + uint64_t(totalSectors_) * bytesPerSector_ > fileBytes_)
            problem("image ends before the volume's last sector");
        fat_ = readSectors(reserved_, fatSectors_);
        valid_ = true;
    }

    std::vector<uint8_t> fatCopy(uint32_t index) {
        return readSectors(reserved_ + uint64_t(index) * fatSectors_, fatSectors_);
    }

    uint32_t badMark() const { return kind_ == Kind::Fat12 ? 0xFF7 : kind_ == Kind::Fat16 ? 0xFFF7 : 0x0FFFFFF7; }
    bool endOfChain(uint32_t v) const { return v > badMark(); }

    uint32_t entry(uint32_t cluster) const {
        switch (kind_) {
        case Kind::Fat12: {
            const size_t at = cluster + cluster / 2;
            const uint16_t v = le16(&fat_[at]);
            return cluster & 1 ? v >> 4 : v & 0xFFF;
        }
        case Kind::Fat16: return le16(&fat_[size_t(cluster) * 2]);
        case Kind::Fat32: return le32(&fat_[size_t(cluster) * 4]) & 0x0FFFFFFF;
        }
        return 0;
    }

    // The clusters of a chain from first; false on a free, out-of-range or
    // repeated cluster. With owner, each cluster is claimed there; one already
    // claimed is a cross link.
    bool followChain(uint32_t first, std::vector<uint32_t> *chain, std::vector<uint8_t> *owner) {
        std::set<uint32_t> seen;
        for (uint32_t c = first;;) {
            if (c < 2 || c >= clusters_ + 2) return false;
            if (!seen.insert(c).second) return false; // a loop
            if (owner) {
                if ((*owner)[c]) {
                    problem("cluster " + std::to_string(c) + " is shared by two files");
                    return false;
                }
                (*owner)[c] = 1;
            }
            chain->push_back(c);
            const uint32_t next = entry(c);
            if (endOfChain(next)) return true;
            if (next == 0) return false;
            c = next;
        }
    }

    std::string readClusters(const std::vector<uint32_t> &chain) {
        std::string bytes;
        for (uint32_t c : chain) {
            auto part = readSectors(firstDataSector_ + uint64_t(c - 2) * sectorsPerCluster_, sectorsPerCluster_);
            bytes.append(part.begin(), part.end());
        }
        return bytes;
    }

    std::string rootDirectoryBytes() {
        if (kind_ != Kind::Fat32) {
            auto bytes = readSectors(reserved_ + uint64_t(numFats_) * fatSectors_,
                                     (rootEntries_ * 32 + bytesPerSector_ - 1) / bytesPerSector_);
            return std::string(bytes.begin(), bytes.end());
        }
        std::vector<uint32_t> chain;
        followChain(rootCluster_, &chain, nullptr);
        return readClusters(chain);
    }

    void readDirectory(const std::string &bytes, std::vector<File> &files, bool subdirectory) {
        for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
            const auto *e = reinterpret_cast<const uint8_t *>(bytes.data() + at);
            if (e[0] == 0x00) break; // the end of the directory
            if (e[0] == 0xE5) continue;
            const uint8_t attributes = e[11];
            if ((attributes & 0x3F) == 0x0F) continue; // a piece of a long name
            if (attributes & 0x08) continue;           // the volume label
            File f;
            std::memcpy(f.raw.data(), e, 11);
            if (f.raw[0] == 0x05) f.raw[0] = 0xE5; // a name really starting with E5
            if (subdirectory && (f.raw[0] == '.')) continue;
            f.attributes = attributes;
            f.firstCluster = le16(e + 26) | (kind_ == Kind::Fat32 ? uint32_t(le16(e + 20)) << 16 : 0);
            f.size = le32(e + 28);
            std::string base(reinterpret_cast<const char *>(f.raw.data()), 8),
                ext(reinterpret_cast<const char *>(f.raw.data() + 8), 3);
            base.erase(base.find_last_not_of(' ') + 1);
            ext.erase(ext.find_last_not_of(' ') + 1);
            f.name = ext.empty() ? base : base + "." + ext;
            files.push_back(f);
        }
    }

    void walk(const std::string &bytes, const std::string &path, std::vector<uint8_t> &owner, size_t &files,
              int depth) {
        std::vector<File> entries;
        readDirectory(bytes, entries, depth > 0);
        std::set<std::array<uint8_t, 11>> names;
        for (const File &f : entries) {
            const std::string where = path + "/" + f.name;
            if (!names.insert(f.raw).second) problem(where + ": duplicate directory entry");
            for (size_t i = 0; i < 11; ++i) {
                const uint8_t c = f.raw[i];
                if ((c < 0x20 && !(i == 0 && c == 0x05)) || c == 0x7F || (c != 0 && std::strchr("*?<>|\"\\/:", c)))
                    problem(where + ": bad character in name");
            }
            if (f.raw[0] == ' ') problem(where + ": name starts with a blank");
            const bool folder = f.attributes & 0x10;
            if (f.firstCluster == 0) {
                if (folder)
                    problem(where + ": folder without clusters");
                else if (f.size)
                    problem(where + ": " + std::to_string(f.size) + " bytes but no clusters");
                ++files;
                continue;
            }
            std::vector<uint32_t> chain;
            if (!followChain(f.firstCluster, &chain, &owner)) {
                problem(where + ": broken cluster chain");
                continue;
            }
            ++files;
            if (folder) {
                if (depth < 16) walk(readClusters(chain), where, owner, files, depth + 1);
                continue;
            }
            const uint64_t need = (uint64_t(f.size) + clusterBytes() - 1) / clusterBytes();
            if (chain.size() != need)
                problem(where + ": " + std::to_string(f.size) + " bytes in a chain of " + std::to_string(chain.size()) +
                        " clusters");
        }
    }

    void checkFsInfo(uint32_t freeCount) {
        if (fsInfoSector_ == 0 || fsInfoSector_ >= reserved_) return problem("no FSInfo sector");
        auto s = readSectors(fsInfoSector_, 1);
        if (le32(&s[0]) != 0x41615252 || le32(&s[484]) != 0x61417272 || le32(&s[508]) != 0xAA550000)
            return problem("FSInfo sector lacks its signatures");
        const uint32_t counted = le32(&s[488]);
        if (counted != 0xFFFFFFFF && counted != freeCount)
            problem("free cluster summary wrong (" + std::to_string(counted) + " instead of " +
                    std::to_string(freeCount) + ")");
    }

    std::ifstream in_;
    uint64_t offset_ = 0;
    uint64_t fileBytes_ = 0;
    bool valid_ = false;
    Kind kind_ = Kind::Fat12;
    uint32_t bytesPerSector_ = 512, sectorsPerCluster_ = 1, reserved_ = 0, numFats_ = 0, rootEntries_ = 0;
    uint32_t totalSectors_ = 0, fatSectors_ = 0, firstDataSector_ = 0, clusters_ = 0;
    uint32_t rootCluster_ = 0, fsInfoSector_ = 0;
    std::vector<uint8_t> fat_;
    std::vector<std::string> problems_;
};

// The primary partitions of a DOS partition table at the start of file, in
// table order; none when the sector lacks its 55 AA signature.
struct Partition {
    uint64_t start = 0;
    uint64_t size = 0;
    std::string type; // hexadecimal without 0x, e.g. "6" or "b"
    bool bootable = false;
};

inline std::vector<Partition> partitions(const std::string &file) {
    std::vector<Partition> out;
    std::ifstream in(file, std::ios::binary);
    uint8_t s[512];
    if (!in.read(reinterpret_cast<char *>(s), sizeof s) || s[510] != 0x55 || s[511] != 0xAA) return out;
    for (int i = 0; i < 4; ++i) {
        const uint8_t *e = s + 446 + 16 * i;
        if (e[4] == 0) continue;
        Partition p;
        p.bootable = e[0] == 0x80;
        p.start = le32(e + 8);
        p.size = le32(e + 12);
        static const char hex[] = "0123456789abcdef";
        if (e[4] >= 0x10) p.type += hex[e[4] >> 4];
        p.type += hex[e[4] & 15];
        out.push_back(p);
    }
    return out;
}

} // namespace fatreader
