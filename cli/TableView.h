// What a configuration table sector says about the disk's layout, decoded for
// display. Both table kinds are read; the fields of a maker table sit 152 bytes
// below those of a version table.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace cli {

struct TableView {
    enum class Kind { None, Maker, Version } kind = Kind::None;
    uint8_t layoutKind = 0;
    uint32_t areaSize[3] = {0, 0, 0};
    uint32_t areaStart[3] = {0, 0, 0};
    bool passwordSet = false; // a nonzero digest is stored
    bool cdrom = false;       // version table only
    bool removable = true;    // version table only: false presents a fixed disk
    std::string label;        // version table only, blanks trimmed
};

TableView decodeTable(const uint8_t *table512);

bool isSecureLayoutKind(uint8_t kind);
const char *tableKindName(TableView::Kind kind);
// A short description of what the host sees of the layout.
std::string layoutDescription(const TableView &view);
// The role of area i in this layout ("login area", "secure area", ...).
std::string areaRole(const TableView &view, int index);

} // namespace cli
