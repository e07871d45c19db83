// Fuzz target: the drive table's parsers. Byte 0 picks the parser, the rest is
// its input: a boot sector's total size, a drive map, a mount table, or a
// login file written into an unmounted volume whose first sectors are the input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <string>

#include "FuzzTargets.h"
#include "byteorder.h"
#include "fat_layout.h"
#include "platform/Drives.h"

namespace fuzz {

namespace {

constexpr size_t kVolumeBytes = 64 * 1024;

void checkTable(const std::vector<platform::DriveEntry> &table) {
    char previous = 0;
    for (const platform::DriveEntry &e : table) {
        FUZZ_CHECK(e.letter >= 'C' && e.letter <= 'Z');
        FUZZ_CHECK(e.letter > previous); // letter order, one line per letter
        previous = e.letter;
    }
}

void bootSector(const uint8_t *data, size_t size) {
    std::array<uint8_t, 512> bs{};
    std::memcpy(bs.data(), data, std::min<size_t>(size, 512));
    const auto geometry = fat::readGeometry(bs.data());
    if (!geometry) return;
    const uint64_t total = geometry->dataBytes();
    // Data clusters never hold more than the volume's sectors.
    uint64_t sectors = bo::getLE16(bs.data() + 19);
    if (sectors == 0) sectors = bo::getLE32(bs.data() + 32);
    const uint64_t bytesPerSector = bo::getLE16(bs.data() + 11);
    FUZZ_CHECK(total > 0);
    FUZZ_CHECK(total <= sectors * bytesPerSector);
    FUZZ_CHECK(total % (uint64_t(bs[13]) * bytesPerSector) == 0);
}

std::string scratchVolume() {
    static const std::string path = [] {
        std::error_code ec;
        std::filesystem::path dir = std::filesystem::exists("/dev/shm", ec) ? "/dev/shm" : "/tmp";
        return (dir / ("quendal-volume-fuzz-" + std::to_string(::getpid()) + ".img")).string();
    }();
    return path;
}

// The library writes "\log.log" into the login volume of a disk it did not
// format: the volume's boot sector and FATs are whatever is on the medium.
void loginFile(const uint8_t *data, size_t size) {
    const std::string path = scratchVolume();
    std::vector<uint8_t> volume(kVolumeBytes, 0);
    std::memcpy(volume.data(), data, std::min(size, kVolumeBytes));
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    // The volume sits between two guard areas of the file that must stay untouched.
    std::vector<uint8_t> guard(4096, 0xC3);
    bool ok = ::write(fd, guard.data(), guard.size()) == ssize_t(guard.size()) &&
              ::write(fd, volume.data(), volume.size()) == ssize_t(volume.size()) &&
              ::write(fd, guard.data(), guard.size()) == ssize_t(guard.size());
    ::close(fd);
    if (!ok) return;
    std::array<uint8_t, 512> record{};
    record.fill(0);
    record[0] = record[1] = record[2] = record[3] = 0xA5;
    const bool written = platform::writeFatRootFile(path, guard.size(), kVolumeBytes, "LOG     LOG", record.data(),
                                                    record.size(), platform::kAttrHidden, 0);
    struct stat st {};
    FUZZ_CHECK(::stat(path.c_str(), &st) == 0);
    FUZZ_CHECK(uint64_t(st.st_size) == kVolumeBytes + 2 * guard.size());
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(in >= 0);
    std::vector<uint8_t> head(guard.size()), tail(guard.size());
    const bool read = ::pread(in, head.data(), head.size(), 0) == ssize_t(head.size()) &&
                      ::pread(in, tail.data(), tail.size(), off_t(guard.size() + kVolumeBytes)) == ssize_t(tail.size());
    ::close(in);
    FUZZ_CHECK(read);
    FUZZ_CHECK(head == guard && tail == guard);
    if (!written) return;

    // A FAT12/16 reader finds the file in the root directory, 512 bytes long.
    std::vector<uint8_t> after(kVolumeBytes);
    const int again = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(again >= 0);
    const bool whole = ::pread(again, after.data(), after.size(), off_t(guard.size())) == ssize_t(after.size());
    ::close(again);
    FUZZ_CHECK(whole);
    const uint32_t bps = bo::getLE16(after.data() + 11);
    const uint32_t fatSize = bo::getLE16(after.data() + 22);
    if (fatSize == 0 || bps == 0) return; // FAT32: the root is a cluster chain
    const uint64_t rootAt = (uint64_t(bo::getLE16(after.data() + 14)) + uint64_t(after[16]) * fatSize) * bps;
    const uint64_t rootEnd = rootAt + uint64_t(bo::getLE16(after.data() + 17)) * 32;
    bool found = false;
    for (uint64_t at = rootAt; at + 32 <= rootEnd && at + 32 <= after.size(); at += 32) {
        if (after[at] == 0) break;
        if (std::memcmp(after.data() + at, "LOG     LOG", 11) == 0 && !(after[at + 11] & 0x08)) {
            found = bo::getLE32(after.data() + at + 28) == 512;
            break;
        }
    }
    if (rootEnd <= after.size()) FUZZ_CHECK(found);
}

} // namespace

void driveTable(const uint8_t *data, size_t size) {
    if (size == 0) return;
    const uint8_t which = data[0] % 4;
    ++data;
    --size;
    const std::string text(reinterpret_cast<const char *>(data), size);
    switch (which) {
    case 0: bootSector(data, size); break;
    case 1: checkTable(platform::parseDriveMap(text)); break;
    case 2: {
        const auto table = platform::parseMountInfo(text);
        checkTable(table);
        if (!table.empty()) FUZZ_CHECK(table.front().letter != 'C' || table.front().mount == "/");
        break;
    }
    case 3: loginFile(data, size); break;
    }
}

std::vector<Input> driveTableSeeds() {
    auto seed = [](uint8_t which, const std::string &body) {
        Input in{which};
        in.insert(in.end(), body.begin(), body.end());
        return in;
    };
    // A FAT16 boot sector of 60000 sectors, 4 sectors per cluster.
    std::string fat16(512, '\0');
    auto put16 = [](std::string &s, size_t at, uint16_t v) {
        s[at] = char(v & 0xFF);
        s[at + 1] = char(v >> 8);
    };
    put16(fat16, 11, 512);
    fat16[13] = 4;
    put16(fat16, 14, 1);
    fat16[16] = 2;
    put16(fat16, 17, 512);
    put16(fat16, 19, 60000);
    put16(fat16, 22, 59);
    fat16[510] = char(0x55);
    fat16[511] = char(0xAA);
    // A FAT12 volume of 128 sectors with an empty root directory, for the login file.
    std::string fat12(kVolumeBytes, '\0');
    put16(fat12, 11, 512);
    fat12[13] = 1;
    put16(fat12, 14, 1);
    fat12[16] = 2;
    put16(fat12, 17, 16);
    put16(fat12, 19, 128);
    fat12[21] = char(0xF8);
    put16(fat12, 22, 1);
    fat12[510] = char(0x55);
    fat12[511] = char(0xAA);
    fat12[512] = char(0xF8);
    fat12[513] = fat12[514] = char(0xFF);
    fat12[1024] = char(0xF8);
    fat12[1025] = fat12[1026] = char(0xFF);
    fat12.resize(4096);
    return {
        seed(0, fat16),
        seed(1, "# letter\tsource\toffset\tlength\tflags\tmount\nE:\t/d/data.img\t16384\t1280000\trw\n"
                "F:\t/d/data.img\t1294336\t1022722048\tro,cdrom\t/media/u/S\nE:\tdup\t0\t0\trw\nZ:\tx\n"),
        seed(2, "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                "40 22 8:17 / /media/u/FLASH rw - vfat /dev/sdb1 rw\n"
                "41 22 0:5 / /proc rw - proc proc rw\n"
                "42 22 8:18 /sub /mnt/bind rw - vfat /dev/sdb2 rw\n"),
        seed(3, fat12),
    };
}

} // namespace fuzz
