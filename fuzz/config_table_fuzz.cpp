// Fuzz target: the configuration-table scan over an information area made from
// the input, and the rewrite of the copies it found (a password change writes
// exactly this way), on a model of the controller's flash: a page is programmed
// only while erased, and a block prepare erases whole blocks.
//
// Input: an 8-byte header, then records.
//   header  0: device information byte 1 (bit 0 clear: page size halved)
//           1: block unit, LE16     3: raw sectors per page, LE16
//           5: fail the n-th read of the information area (0 none)
//           6: fail the n-th write (0 none)
//           7: bit 0: rewrite the copies after the scan
//   record  0: page, LE16 (13 bits)  2: sector in page (2 bits)  3: stamps
//           4: up to 512 content bytes (the rest of the sector is zero)
//   stamps  0x01 table signature, 0x02 "2.00", 0x04 "Morvantek",
//           0x08 XOR seal of a table sector, 0x10 information mark at 504,
//           0x20 maker seal over the run at this page (applied after all records)
// Stamps let the fuzzer reach sound tables, which random bytes almost never are.
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <stdexcept>

#include "FuzzTargets.h"
#include "Internal.h"
#include "byteorder.h"
#include "table_layout.h"

namespace fuzz {

namespace {

using Sector = std::array<uint8_t, 512>;
constexpr uint32_t kPages = 8192; // pages of 4 sectors in the information area

struct FlashModel {
    std::map<uint32_t, Sector> sectors; // page * 4 + slot; absent: erased
    Sector deviceInfo{};
    uint16_t blockUnit = 0;
    // Pages a prepare erases at least: the controller erases the whole
    // information block, also where it runs into a second erase block.
    uint32_t infoBlockPages = 0;
    uint32_t reads = 0, writes = 0;
    uint32_t failRead = 0, failWrite = 0;
    bool readFailed = false, writeFailed = false;

    Sector get(uint32_t page, uint32_t slot) const {
        auto it = sectors.find(page * 4 + slot);
        if (it != sectors.end()) return it->second;
        Sector s;
        s.fill(0xFF);
        return s;
    }
    bool erased(uint32_t page, uint32_t slot) const {
        auto it = sectors.find(page * 4 + slot);
        return it == sectors.end() ||
               std::all_of(it->second.begin(), it->second.end(), [](uint8_t b) { return b == 0xFF; });
    }
    bool program(uint32_t page, uint32_t slot, const uint8_t *data) {
        if (page >= kPages || !erased(page, slot)) return false;
        std::memcpy(sectors[page * 4 + slot].data(), data, 512);
        return true;
    }
};

FlashModel *gFlash = nullptr;

int32_t modelRead(uint32_t address, uint32_t count, void *buffer) {
    FlashModel &f = *gFlash;
    if (count != 1 || !buffer) return 0;
    if (address == cfgtbl::addr::kDeviceInfo) {
        std::memcpy(buffer, f.deviceInfo.data(), 512);
        return 1;
    }
    if (f.failRead && ++f.reads == f.failRead) {
        f.readFailed = true;
        return 0;
    }
    uint32_t page, slot;
    const uint32_t code = address >> 26;
    if ((address >> 28) == 1) {
        page = address - cfgtbl::addr::kReadPageBase;
        slot = 0;
    } else if (code >= 4 && code <= 7) {
        page = address & 0x03FFFFFFu;
        slot = code & 3;
    } else {
        return 0;
    }
    if (page >= kPages) return 0;
    const Sector s = f.get(page, slot);
    std::memcpy(buffer, s.data(), 512);
    return 1;
}

int32_t modelWrite(uint32_t address, uint32_t count, const void *data) {
    FlashModel &f = *gFlash;
    if (count != 1 || !data) return 0;
    if (f.failWrite && ++f.writes == f.failWrite) {
        f.writeFailed = true;
        return 0;
    }
    const auto *bytes = static_cast<const uint8_t *>(data);
    if (address == cfgtbl::addr::kBlockPrepare) {
        const uint64_t first = bo::getLE32(bytes + 4);
        const uint64_t pages = std::max<uint64_t>(uint64_t(bo::getLE32(bytes + 8)) * f.blockUnit, f.infoBlockPages);
        for (uint64_t p = first; p < first + pages && p < kPages; ++p)
            for (uint32_t s = 0; s < 4; ++s) f.sectors.erase(uint32_t(p * 4 + s));
        return 1;
    }
    const uint32_t code = address >> 26;
    if (code == 8 && (address & cfgtbl::addr::kInfoTableFlag))
        return f.program(address & 0x007FFFFFu, 0, bytes) ? 1 : 0;
    if (code >= 8 && code <= 11) return f.program(address & 0x03FFFFFFu, code - 8, bytes) ? 1 : 0;
    return 0;
}

int32_t modelScsi(const uint8_t *, void *, uint32_t) { return 0; }

void stampVersion(uint8_t *s) { std::memcpy(s + cfgtbl::kVersionText, "2.00", 4); }

void sealXor(uint8_t *s) {
    uint32_t x = 0;
    for (size_t off = 0; off < 512; off += 4)
        if (off != cfgtbl::kCheckWord) x ^= bo::getLE32(s + off);
    bo::putLE32(s + cfgtbl::kCheckWord, x);
}

// The sectors the library reads after the table at page p, as it addresses them.
std::pair<uint32_t, uint32_t> infoLocation(uint32_t p, uint32_t i, uint32_t pageSectors) {
    return {p + 1 + i / pageSectors, (i % pageSectors) & 3};
}

void sealMaker(FlashModel &f, uint32_t p, uint32_t pageSectors) {
    Sector table = f.get(p, 0);
    const uint32_t n = table[cfgtbl::kMakerInfoSectors];
    if (n > 16 || pageSectors == 0) return;
    std::vector<uint8_t> run(size_t(n + 1) * 512);
    std::memcpy(run.data(), table.data(), 512);
    for (uint32_t i = 0; i < n; ++i) {
        auto [page, slot] = infoLocation(p, i, pageSectors);
        if (page >= kPages) return;
        const Sector s = f.get(page, slot);
        std::memcpy(run.data() + (i + 1) * 512, s.data(), 512);
    }
    std::memset(run.data() + run.size() - 16, 0, 16);
    const quendal::Digest d = quendal::md5(run.data(), run.size());
    std::memcpy(run.data() + run.size() - 16, d.data(), 16);
    // The seal lies in the last sector of the run.
    if (n == 0) {
        std::memcpy(f.sectors[p * 4].data(), run.data(), 512);
    } else {
        auto [page, slot] = infoLocation(p, n - 1, pageSectors);
        std::memcpy(f.sectors[page * 4 + slot].data(), run.data() + n * 512, 512);
    }
}

// Pages a copy's rewrite erases (its table page and information pages, in blocks).
uint32_t erasedSpan(uint32_t infoSectors, uint32_t pageSectors, uint32_t blockUnit) {
    const uint32_t pages = 1 + (infoSectors + pageSectors - 1) / pageSectors;
    return (pages + blockUnit - 1) / blockUnit * blockUnit;
}

} // namespace

void configTable(const uint8_t *data, size_t size) {
    using namespace quendal;
    uint8_t header[8] = {};
    if (size) std::memcpy(header, data, std::min<size_t>(size, 8));
    FlashModel flash;
    gFlash = &flash;
    flash.deviceInfo[cfgtbl::kDevFlags] = header[0];
    flash.deviceInfo[cfgtbl::kDevBlockUnit] = header[1];
    flash.deviceInfo[cfgtbl::kDevBlockUnit + 1] = header[2];
    flash.deviceInfo[cfgtbl::kDevPageSectors] = header[3];
    flash.deviceInfo[cfgtbl::kDevPageSectors + 1] = header[4];
    flash.blockUnit = bo::getLE16(header + 1);
    const uint16_t pageSectors = cfgtbl::pageSectorsFromInfo(flash.deviceInfo.data());
    const bool rewrite = header[7] & 1;

    std::vector<uint32_t> makerSeals;
    for (size_t pos = 8; pos + 4 <= size;) {
        const uint32_t page = bo::getLE16(data + pos) & (kPages - 1);
        const uint32_t slot = data[pos + 2] & 3;
        const uint8_t stamps = data[pos + 3];
        pos += 4;
        Sector s{};
        const size_t n = std::min<size_t>(512, size - pos);
        std::memcpy(s.data(), data + pos, n);
        pos += n;
        if (stamps & 0x01) bo::putLE32(s.data(), 0x5A5A5A5Au);
        if (stamps & 0x02) stampVersion(s.data());
        if (stamps & 0x04) std::memcpy(s.data() + cfgtbl::kMakerName, cfgtbl::kMakerNameText, 9);
        if (stamps & 0x10) bo::putLE32(s.data() + 504, cfgtbl::kInfoMarkValue);
        if (stamps & 0x08) sealXor(s.data());
        if (stamps & 0x20) makerSeals.push_back(page);
        flash.sectors[page * 4 + slot] = s;
    }
    for (uint32_t p : makerSeals) sealMaker(flash, p, pageSectors);
    flash.failRead = header[5];
    flash.failWrite = header[6];

    // A bound transport over the model, as LoadDiskLib and InitFlashDisk leave it.
    LibraryState &st = state();
    st = LibraryState{};
    st.ops.ReadDisk = modelRead;
    st.ops.WriteDisk = modelWrite;
    st.ops.ReadScsi = modelScsi;
    st.ops.WriteScsi = [](const uint8_t *, const void *, uint32_t) -> int32_t { return 0; };
    st.TransportReady = true;
    InitVariable();

    std::array<uint8_t, 512> table{};
    const int32_t r = GetConfigTable(table.data());
    FUZZ_CHECK(r >= 0 && r <= 2);
    if (r == 0) {
        FUZZ_CHECK(!st.HaveTable);
        FUZZ_CHECK(st.LastError == QUENDAL_ERR_NO_TABLE);
        FUZZ_CHECK(UpdateParam() == 0);
        gFlash = nullptr;
        return;
    }
    // The loaded copy is a candidate page's own table sector, of the kind it names.
    FUZZ_CHECK(st.HaveTable);
    FUZZ_CHECK(st.PrimaryInfoBlock >= 0 && st.PrimaryInfoBlock % 4 == 0 && st.PrimaryInfoBlock <= 4092);
    const Sector primary = flash.get(uint32_t(st.PrimaryInfoBlock), 0);
    FUZZ_CHECK(std::memcmp(table.data(), primary.data(), 512) == 0);
    FUZZ_CHECK(std::memcmp(st.TableCopy.data(), primary.data(), 512) == 0);
    FUZZ_CHECK(bo::getLE32(primary.data()) == 0x5A5A5A5Au);
    const bool maker = std::memcmp(primary.data() + cfgtbl::kMakerName, cfgtbl::kMakerNameText, 9) == 0;
    FUZZ_CHECK(st.ControllerKind == (maker ? kMakerTable : kVersionTable));
    if (r == 2)
        FUZZ_CHECK(st.BackupInfoBlock > st.PrimaryInfoBlock && st.BackupInfoBlock % 4 == 0);
    else
        FUZZ_CHECK(st.BackupInfoBlock == -1);

    FUZZ_CHECK(UpdateParam() == 1);
    const uint32_t sum = bo::getLE32(primary.data() + cfgtbl::kArea0Size) +
                         bo::getLE32(primary.data() + cfgtbl::kArea1Size) +
                         bo::getLE32(primary.data() + cfgtbl::kArea2Size);
    if (!flash.readFailed) FUZZ_CHECK(uint32_t(GetDiskCapacity()) == sum);

    if (!rewrite || st.ControllerKind != kVersionTable) {
        gFlash = nullptr;
        return;
    }
    // Rewrite every copy with a new digest, as a password change does.
    const bool scanSawEverything = !flash.readFailed;
    std::vector<int32_t> written = {st.PrimaryInfoBlock};
    if (st.BackupInfoBlock != -1)
        written.push_back(st.BackupInfoBlock);
    else if (st.MissingInfoBlock >= 0)
        written.push_back(st.MissingInfoBlock);
    const bool hadTwoCopies = r == 2;
    std::array<uint8_t, 16> oldDigest, newDigest;
    std::memcpy(oldDigest.data(), st.TableCopy.data() + cfgtbl::kDigest, 16);
    std::array<uint8_t, 512> changed = st.TableCopy;
    for (int i = 0; i < 16; ++i) changed[cfgtbl::kDigest + i] ^= 0xA5;
    std::memcpy(newDigest.data(), changed.data() + cfgtbl::kDigest, 16);
    if (pageSectors >= 1 && flash.blockUnit >= 1)
        flash.infoBlockPages = erasedSpan(st.InfoSectors, pageSectors, flash.blockUnit);
    const int ok = WriteInfoBlocks(changed.data());

    // The plain write form on a sane geometry whose copies do not share a block:
    // there the rewrite must keep a sound copy whatever write fails.
    bool apart =
        !st.InterleavedInfo && pageSectors >= 1 && pageSectors <= 64 && flash.blockUnit >= 1 && flash.blockUnit <= 64;
    if (apart) {
        const uint32_t span = erasedSpan(st.InfoSectors, pageSectors, flash.blockUnit);
        for (size_t i = 0; i < written.size(); ++i)
            for (size_t j = 0; j < written.size(); ++j)
                if (i != j && written[j] >= written[i] && uint32_t(written[j] - written[i]) < span) apart = false;
    }
    flash.failRead = flash.failWrite = 0;
    InitVariable();
    std::array<uint8_t, 512> again{};
    const int32_t r2 = GetConfigTable(again.data());
    if (apart && scanSawEverything) {
        if (ok) {
            FUZZ_CHECK(r2 >= 1);
            FUZZ_CHECK(std::memcmp(again.data() + cfgtbl::kDigest, newDigest.data(), 16) == 0);
        } else if (flash.writeFailed && hadTwoCopies) {
            // Either password, never neither.
            FUZZ_CHECK(r2 >= 1);
            FUZZ_CHECK(std::memcmp(again.data() + cfgtbl::kDigest, newDigest.data(), 16) == 0 ||
                       std::memcmp(again.data() + cfgtbl::kDigest, oldDigest.data(), 16) == 0);
        }
    }
    gFlash = nullptr;
}

// ---------------------------------------------------------------------------

namespace {

void putRecord(Input &in, uint32_t page, uint32_t slot, uint8_t stamps, const Sector &s) {
    in.push_back(uint8_t(page));
    in.push_back(uint8_t(page >> 8));
    in.push_back(uint8_t(slot));
    in.push_back(stamps);
    in.insert(in.end(), s.begin(), s.end());
}

// A version-table copy at page p with n information sectors on 4-sector pages.
void putVersionCopy(Input &in, uint32_t p, uint8_t n, uint8_t flags272, uint32_t area0) {
    Sector t{};
    t[cfgtbl::kInfoSectors] = n;
    std::memcpy(t.data() + cfgtbl::kLabel, "FLASH DISK ", 11);
    t[cfgtbl::kFlags272] = flags272;
    t[cfgtbl::kBlockPage] = uint8_t(p);
    t[cfgtbl::kBlockPage + 1] = uint8_t(p >> 8);
    bo::putLE32(t.data() + cfgtbl::kArea0Size, area0);
    putRecord(in, p, 0, 0x01 | 0x02 | 0x08, t);
    for (uint32_t i = 0; i < n; ++i) {
        Sector s{};
        s[0] = uint8_t(i);
        putRecord(in, p + 1 + i / 4, i % 4, (i % 8 == 7) ? 0x10 : 0, s);
    }
}

Input header(uint8_t failRead, uint8_t failWrite, bool rewrite, uint16_t unit = 4) {
    // Raw page size 8 with bit 0 clear: 4 sectors per page, as the emulated disk.
    return Input{0x00, uint8_t(unit), uint8_t(unit >> 8), 8, 0, failRead, failWrite, uint8_t(rewrite ? 1 : 0)};
}

} // namespace

std::vector<Input> configTableSeeds() {
    std::vector<Input> seeds;
    seeds.push_back({});
    // Two copies at the emulated disk's pages, with every write of a rewrite failing in turn.
    for (uint8_t failWrite : {0, 1, 2, 3, 5, 10, 11, 12, 20}) {
        Input in = header(0, failWrite, true);
        putVersionCopy(in, 8, 8, 0, 2'000'000);
        putVersionCopy(in, 40, 8, 0, 2'000'000);
        seeds.push_back(in);
    }
    // Sixteen information sectors, the only copy at the last candidate page.
    {
        Input in = header(0, 0, true);
        putVersionCopy(in, 4092, 16, 0, 123456);
        seeds.push_back(in);
    }
    // A read failing during the scan.
    {
        Input in = header(3, 0, true);
        putVersionCopy(in, 0, 8, 0, 1000);
        putVersionCopy(in, 64, 8, 0, 1000);
        seeds.push_back(in);
    }
    // Interleaved information writes.
    {
        Input in = header(0, 0, true, 1);
        putVersionCopy(in, 8, 8, 0x10, 4096);
        seeds.push_back(in);
    }
    // A maker table with four information sectors, sealed by MD5.
    {
        Input in = header(0, 0, false);
        Sector t{};
        t[cfgtbl::kMakerInfoSectors] = 4;
        putRecord(in, 16, 0, 0x01 | 0x04, t);
        for (uint32_t i = 0; i < 4; ++i) {
            Sector s{};
            s[1] = uint8_t(i + 1);
            putRecord(in, 17, i, i == 3 ? 0x20 : 0, s);
        }
        // The seal is applied at the table's page.
        in[in.size() - 516 + 3] = 0;
        in.push_back(16);
        in.push_back(0);
        in.push_back(0);
        in.push_back(0x01 | 0x04 | 0x20);
        in.insert(in.end(), t.begin(), t.end());
        seeds.push_back(in);
    }
    return seeds;
}

} // namespace fuzz
