// Real-mode x86 code carried in the partition table sector and the three FAT
// boot-sector templates. Each blob is assembled from this folder at build time
// and is copied verbatim into its template at the offset given beside it.
//
// The blobs fill their space exactly (up to the 0x55 0xAA signature at 0x1FE),
// so the builder copies kXxxSize bytes and never pads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bootcode {

// Partition table sector, offset 0x000. At most 218 bytes, the partition
// entries start at 0x1BE.
inline constexpr size_t kPartitionLoaderOffset = 0x000;
extern const uint8_t kPartitionLoader[];
extern const size_t kPartitionLoaderSize;

// Template A (FAT12 and FAT16, jump EB 3E 90): offset 0x40 up to 0x1FE.
inline constexpr size_t kFatLoaderAOffset = 0x40;
extern const uint8_t kFatLoaderA[];
extern const size_t kFatLoaderASize;

// Template B (FAT16 behind a 63-sector partition, jump EB 3C 90): 0x3E up to 0x1FE.
inline constexpr size_t kFatLoaderBOffset = 0x3E;
extern const uint8_t kFatLoaderB[];
extern const size_t kFatLoaderBSize;

// Template C (FAT32, jump EB 5A 90): sector 0 from 0x5C up to 0x1FE.
inline constexpr size_t kFatLoaderCOffset = 0x5C;
extern const uint8_t kFatLoaderC[];
extern const size_t kFatLoaderCSize;

} // namespace bootcode
