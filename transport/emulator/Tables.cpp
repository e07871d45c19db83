#include "Tables.h"

#include <cstring>
#include <vector>

#include "DiskFiles.h"
#include "Md5.h"
#include "byteorder.h"
#include "table_layout.h"

namespace flashemu {
namespace {

constexpr size_t kMakerDelta = 152;
constexpr uint32_t kMaxInfoSectors = 200; // the host's information buffer

bool signatureOk(const uint8_t *t) { return bo::getLE32(t) == 0x5A5A5A5Au; }

uint32_t xorWords(const uint8_t *p, size_t words) {
    uint32_t x = 0;
    for (size_t i = 0; i < words; ++i) x ^= bo::getLE32(p + 4 * i);
    return x;
}

void sealVersionTable(uint8_t *t) {
    bo::putLE32(t + cfgtbl::kCheckWord, 0);
    bo::putLE32(t + cfgtbl::kCheckWord, xorWords(t, 128));
}

void sealInfoHalf(uint8_t *half) {
    bo::putLE32(half + cfgtbl::kInfoMark, cfgtbl::kInfoMarkValue);
    bo::putLE32(half + cfgtbl::kInfoCheck, xorWords(half, 1023));
}

// Sector n of the information sectors after a table at page p.
void infoPlace(uint32_t p, uint32_t n, uint16_t ps, uint32_t *page, uint32_t *slot) {
    *page = p + 1 + n / ps;
    *slot = (n % ps) & 3u;
}

} // namespace

Kind tableKind(const uint8_t *t) {
    if (!signatureOk(t)) return Kind::None;
    if (std::memcmp(t + cfgtbl::kMakerName, cfgtbl::kMakerNameText, 9) == 0) return Kind::Maker;
    if (std::memcmp(t + cfgtbl::kVersionText, cfgtbl::kVersionTextValue, 4) == 0) return Kind::Version;
    return Kind::None;
}

Layout readLayout(const uint8_t *t) {
    Layout l;
    Kind k = tableKind(t);
    if (k == Kind::None) return l;
    size_t d = k == Kind::Maker ? kMakerDelta : 0;
    l.kind = t[cfgtbl::kLayoutKind - d];
    l.cdrom = (t[cfgtbl::kFlags232 - d] & cfgtbl::kFlagCdrom) != 0;
    l.size[0] = bo::getLE32(t + cfgtbl::kArea0Size - d);
    l.size[1] = bo::getLE32(t + cfgtbl::kArea1Size - d);
    l.size[2] = bo::getLE32(t + cfgtbl::kArea2Size - d);
    l.start[0] = 0;
    l.start[1] = bo::getLE32(t + cfgtbl::kArea1Start - d);
    l.start[2] = bo::getLE32(t + cfgtbl::kArea2Start - d);
    std::memcpy(l.digest.data(), t + cfgtbl::kDigest - d, 16);
    return l;
}

uint16_t pageSectors(uint16_t raw, bool flagBit0) { return flagBit0 ? raw : uint16_t(raw >> 1); }

bool writeFactoryTable(const std::string &dir, const DiskOptions &o, std::string *error) {
    auto fail = [&](const char *why) {
        if (error) *error = why;
        return false;
    };
    if (o.table == TableKind::None) return true;
    uint16_t ps = pageSectors(o.pageSectorsRaw, o.pageFlagBit0);
    if (ps == 0) return fail("page size of 0 sectors");
    std::vector<int32_t> pages{o.primaryPage};
    if (o.backupPage != -1) pages.push_back(o.backupPage);
    for (int32_t p : pages)
        if (p < 0 || p % 4 != 0 || p > 4092) return fail("table pages must be multiples of 4 from 0 to 4092");

    std::array<uint8_t, 512> t{};
    uint32_t n = o.infoSectors;
    std::vector<uint8_t> info;
    bo::putLE32(t.data(), 0x5A5A5A5Au);
    if (o.table == TableKind::Version) {
        if (n != 8 && n != 16) return fail("a VersionTable has 8 or 16 information sectors");
        t[cfgtbl::kVariantFlag] = o.variantFlag;
        t[cfgtbl::kInfoSectors] = uint8_t(n);
        std::string label = o.label.substr(0, cfgtbl::kLabelLength);
        label.resize(cfgtbl::kLabelLength, ' ');
        std::memcpy(t.data() + cfgtbl::kLabel, label.data(), cfgtbl::kLabelLength);
        std::memcpy(t.data() + cfgtbl::kVersionText, cfgtbl::kVersionTextValue, 4);
        t[cfgtbl::kFlags232] = o.interleave2 ? cfgtbl::kFlagInterleave2 : 0;
        t[cfgtbl::kRemovable] = 0x80;
        t[cfgtbl::kLayoutKind] = 0;
        bo::putLE32(t.data() + cfgtbl::kArea0Size, o.sectors);
        t[cfgtbl::kFlags272] = o.interleaved ? cfgtbl::kFlagInterleaved : 0;
        info.assign(size_t(n) * kSector, 0);
        for (size_t half = 0; half < info.size(); half += cfgtbl::kInfoHalf) sealInfoHalf(info.data() + half);
    } else {
        if (n < 1 || n > 16) return fail("a MakerTable has 1 to 16 information sectors");
        t[cfgtbl::kMakerInfoSectors] = uint8_t(n);
        t[cfgtbl::kMakerLayoutKind] = 0;
        bo::putLE32(t.data() + cfgtbl::kMakerAreas, o.sectors);
        std::memcpy(t.data() + cfgtbl::kMakerName, cfgtbl::kMakerNameText, 9);
        info.assign(size_t(n) * kSector, 0);
    }

    for (int32_t p : pages) {
        std::array<uint8_t, 512> copy = t;
        std::vector<uint8_t> infoCopy = info;
        if (o.table == TableKind::Version) {
            bo::putLE16(copy.data() + cfgtbl::kBlockPage, uint16_t(p));
            sealVersionTable(copy.data());
        } else {
            // The seal is the MD5 of the whole run with its own 16 bytes zeroed.
            std::vector<uint8_t> run(copy.begin(), copy.end());
            run.insert(run.end(), infoCopy.begin(), infoCopy.end());
            std::memset(run.data() + run.size() - 16, 0, 16);
            auto seal = md5(run.data(), run.size());
            std::memcpy(infoCopy.data() + infoCopy.size() - 16, seal.data(), 16);
        }
        if (!writeInfo(dir, uint32_t(p), 0, copy.data())) return fail("cannot write the information area");
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t page, slot;
            infoPlace(uint32_t(p), i, ps, &page, &slot);
            if (!writeInfo(dir, page, slot, infoCopy.data() + size_t(i) * kSector))
                return fail("cannot write the information area");
        }
    }
    return true;
}

std::optional<std::array<uint8_t, 512>> scanActiveTable(const std::string &dir, uint16_t ps) {
    std::array<uint8_t, 512> t{};
    std::vector<uint8_t> work;
    for (uint32_t p = 0; p < cfgtbl::kCandidateCount * cfgtbl::kCandidateStep; p += cfgtbl::kCandidateStep) {
        if (!readInfo(dir, p, 0, t.data())) continue;
        Kind k = tableKind(t.data());
        if (k == Kind::None || ps == 0) continue;
        if (k == Kind::Maker) {
            uint32_t n = t[cfgtbl::kMakerInfoSectors];
            if (n > 16) continue;
            std::vector<uint8_t> run(t.begin(), t.end());
            run.resize(size_t(n + 1) * kSector);
            bool ok = true;
            for (uint32_t i = 0; i < n && ok; ++i) {
                uint32_t page, slot;
                infoPlace(p, i, ps, &page, &slot);
                ok = readInfo(dir, page, slot, run.data() + size_t(i + 1) * kSector);
            }
            if (!ok) continue;
            std::array<uint8_t, 16> stored;
            std::memcpy(stored.data(), run.data() + run.size() - 16, 16);
            std::memset(run.data() + run.size() - 16, 0, 16);
            if (md5(run.data(), run.size()) != stored) continue;
            return t;
        }
        if (xorWords(t.data(), 128) != 0) continue;
        uint32_t n = t[cfgtbl::kInfoSectors];
        if (n > kMaxInfoSectors) continue;
        uint32_t toRead = (t[cfgtbl::kFlags272] & cfgtbl::kFlagInterleaved) ? n / ps * ps : n;
        work.assign(size_t(kMaxInfoSectors) * kSector, 0);
        for (uint32_t i = 0; i < toRead; ++i) {
            uint32_t page, slot;
            infoPlace(p, i, ps, &page, &slot);
            if (!readInfo(dir, page, slot, work.data() + size_t(i) * kSector)) break;
        }
        if (bo::getLE32(work.data() + cfgtbl::kInfoMark) != cfgtbl::kInfoMarkValue) continue;
        if (n == 16 && bo::getLE32(work.data() + cfgtbl::kInfoHalf + cfgtbl::kInfoMark) != cfgtbl::kInfoMarkValue)
            continue;
        return t;
    }
    return std::nullopt;
}

void restartController(const std::string &dir, DiskState *s) {
    s->loggedIn = false;
    s->loginPending = false;
    s->wholeDisk = false;
    s->dismounted = false;
    auto t = scanActiveTable(dir, pageSectors(s->pageSectorsRaw, s->pageFlagBit0));
    s->haveTable = t.has_value();
    s->table = t ? *t : std::array<uint8_t, 512>{};
}

} // namespace flashemu
