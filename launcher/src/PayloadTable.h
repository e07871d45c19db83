// What the launcher unpacks, in the order it unpacks it. The order matters only
// for what exists when a run stops early.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace latchkin {

constexpr size_t kNameSlot = 50; // each name sits zero-padded in a 50-byte slot

struct PayloadRow {
    int32_t resourceId;
    char intermediateName[kNameSlot]; // the stored stream, as extracted
    char finalName[kNameSlot];        // the unpacked file
};

// The ASPI layer (wnaspi32.dll, resource 132) of the original platform is left
// out: nothing here has an ASPI layer, and no program of the system calls it.
// Resource ids are not ascending: "1042.ini" is 146 and "2052.ini" is 142.
constexpr std::array<PayloadRow, 7> kPayloadTable = {{
    {130, "Sarvik.ex~", "Sarvik.exe"},
    {131, "SCSI.dl~", "SCSI.dll"},
    {138, "Quendal.dl~", "Quendal.dll"},
    {140, "1028.in~", "1028.ini"},
    {141, "1033.in~", "1033.ini"},
    {146, "1042.in~", "1042.ini"},
    {142, "2052.in~", "2052.ini"},
}};

constexpr int32_t kLoginProgramId = 130;
// Stored unpacked: the device parameters the login program reads.
constexpr int32_t kSettingsId = 144;
constexpr char kSettingsName[] = "FlashDisk.ini";
constexpr char kLoginProgramName[] = "Sarvik.exe";

// Writes resource id's bytes unchanged into path (created, or emptied). True
// when the resource exists, also when the file could not be written: a row
// whose file fails is noticed by the decoder, which then finds nothing.
bool ExtractResource(int32_t id, const std::string &path);

} // namespace latchkin
