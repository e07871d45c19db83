// Byte offsets of the controller's configuration table sector and of its
// information sectors, shared by the device library and the flash-disk emulator
// so that both sides name the same bytes. The values are the device's; they are
// not ours to change.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byteorder.h"

namespace cfgtbl {

constexpr size_t kSectorSize = 512;

// VersionTable (controller kind 2).
constexpr size_t kSignature = 0; // 5A 5A 5A 5A
constexpr size_t kCheckWord = 4; // XOR of all 128 words is 0
constexpr size_t kVariantFlag = 25;
constexpr size_t kInfoSectors = 26;
constexpr size_t kLabel = 111; // 11 bytes
constexpr size_t kLabelLength = 11;
constexpr size_t kVersionText = 204; // "2.00"
constexpr size_t kDigest = 208;      // 16 bytes of MD5
constexpr size_t kBlockPage = 228;   // 16-bit page of the information block
constexpr size_t kFlags232 = 232;    // bit 1 CD-ROM, bit 5 interleave 2
constexpr size_t kRemovable = 233;   // 0x80 removable, 0 fixed disk
constexpr size_t kLayoutKind = 234;
constexpr size_t kArea0Size = 236;
constexpr size_t kArea1Size = 240;
constexpr size_t kArea2Size = 244;
constexpr size_t kArea1Start = 248;
constexpr size_t kArea2Start = 252;
constexpr size_t kFlags272 = 272; // bit 4 interleaved information write

constexpr uint8_t kFlagCdrom = 0x02;
constexpr uint8_t kFlagInterleave2 = 0x20;
constexpr uint8_t kFlagInterleaved = 0x10;

// MakerTable (controller kind 1): its fields sit 152 bytes below the VersionTable's.
constexpr size_t kMakerInfoSectors = 16;
constexpr size_t kMakerDigest = 56;
constexpr size_t kMakerLayoutKind = 82;
constexpr size_t kMakerAreas = 84;
constexpr size_t kMakerName = 503; // "Morvantek", 9 bytes
constexpr const char kMakerNameText[] = "Morvantek";
constexpr const char kVersionTextValue[] = "2.00";

// Information sectors come in halves of 4096 bytes, each with a mark and a check word.
constexpr size_t kInfoHalf = 4096;
constexpr size_t kInfoMark = 4088;
constexpr size_t kInfoCheck = 4092;
constexpr uint32_t kInfoMarkValue = 0xA5A5A5A5u;

// Candidate pages of the table scan: 0, 4, ..., 4092.
constexpr uint32_t kCandidateStep = 4;
constexpr uint32_t kCandidateCount = 1024;

// Device information block (read from 0x30000000).
constexpr size_t kDevFlags = 1;        // bit 0 clear: page sectors halved
constexpr size_t kDevBlockUnit = 4;    // 16-bit pages per block
constexpr size_t kDevPageSectors = 10; // 16-bit raw sectors per page
constexpr size_t kDevLoginStatus = 292;
constexpr size_t kDevWriteProtect = 294;

// Secure layout kinds: the first volume shows area 1 while logged in.
inline bool isSecureLayout(uint8_t kind) { return kind == 1 || kind == 2 || kind == 5; }

inline uint16_t pageSectorsFromInfo(const uint8_t *info) {
    uint16_t raw = bo::getLE16(info + kDevPageSectors);
    return (info[kDevFlags] & 1) ? raw : uint16_t(raw >> 1);
}

// Vendor command addresses.
namespace addr {
constexpr uint32_t kDeviceInfo = 0x30000000u;
constexpr uint32_t kReadPageBase = 0x10000000u; // + page, sector 0
constexpr uint32_t kStoreTable = 0x22000000u;
constexpr uint32_t kWholeDiskTable = 0x22800000u;
constexpr uint32_t kInfoTableFlag = 0x00800000u; // (0x20000000 + page) | flag
constexpr uint32_t kBlockPrepare = 0x40000000u;
constexpr uint32_t kLogin = 0x60000000u;
constexpr uint32_t kReset = 0xA0000000u;
constexpr uint32_t kWriteProtect = 0x50000000u; // READ(10), 3 blocks
constexpr uint32_t kCommit = 0x70000000u;       // WRITE(10), 8 blocks
constexpr uint32_t kFirstVendor = 0x10000000u;

// One sector of the information area: code = base + (sector-in-page AND 3).
inline uint32_t infoPage(bool write, uint32_t sectorInPage, uint32_t page) {
    uint32_t code = (write ? 8u : 4u) + (sectorInPage & 3u);
    return (code << 26) | page;
}
} // namespace addr

} // namespace cfgtbl
