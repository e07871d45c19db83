// The controller's view of a configuration table: building the factory tables,
// finding the table in force in the information area as the controller does at a
// reset, and reading the layout fields of either table kind.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "FlashEmulator.h"

namespace flashemu {

enum class Kind { None, Version, Maker };

Kind tableKind(const uint8_t *table512);

// Layout fields at the offsets of a VersionTable; a MakerTable keeps them 152 bytes lower.
struct Layout {
    uint8_t kind = 0;
    bool cdrom = false;
    uint32_t size[3] = {0, 0, 0};
    uint32_t start[3] = {0, 0, 0};
    std::array<uint8_t, 16> digest{};
};
Layout readLayout(const uint8_t *table512);

uint16_t pageSectors(uint16_t raw, bool flagBit0);

// Writes the factory table and its information sectors into the information area.
bool writeFactoryTable(const std::string &dir, const DiskOptions &options, std::string *error);

// Scans candidate pages 0, 4, ..., 4092 for the first sound copy, as at a reset.
std::optional<std::array<uint8_t, 512>> scanActiveTable(const std::string &dir, uint16_t pageSectorsValue);

struct DiskState;
// The controller starting afresh, as after a reset or a replug: logged out, the
// whole-disk table and a dismount forgotten, the layout taken again from the
// table stored in the information area.
void restartController(const std::string &dir, DiskState *state);

} // namespace flashemu
