#include "TableView.h"

#include <cstring>

#include "byteorder.h"
#include "table_layout.h"

namespace cli {

namespace {
constexpr size_t kMakerShift = 152;

bool hasSignature(const uint8_t *t) { return t[0] == 0x5A && t[1] == 0x5A && t[2] == 0x5A && t[3] == 0x5A; }
} // namespace

bool isSecureLayoutKind(uint8_t kind) { return cfgtbl::isSecureLayout(kind); }

TableView decodeTable(const uint8_t *t) {
    TableView v;
    if (!hasSignature(t)) return v;
    size_t shift = 0;
    if (std::memcmp(t + cfgtbl::kMakerName, cfgtbl::kMakerNameText, 9) == 0) {
        v.kind = TableView::Kind::Maker;
        shift = kMakerShift;
    } else if (std::memcmp(t + cfgtbl::kVersionText, cfgtbl::kVersionTextValue, 4) == 0) {
        v.kind = TableView::Kind::Version;
    } else {
        return v;
    }
    v.layoutKind = t[cfgtbl::kLayoutKind - shift];
    v.areaSize[0] = bo::getLE32(t + cfgtbl::kArea0Size - shift);
    v.areaSize[1] = bo::getLE32(t + cfgtbl::kArea1Size - shift);
    v.areaSize[2] = bo::getLE32(t + cfgtbl::kArea2Size - shift);
    v.areaStart[0] = 0;
    v.areaStart[1] = bo::getLE32(t + cfgtbl::kArea1Start - shift);
    v.areaStart[2] = bo::getLE32(t + cfgtbl::kArea2Start - shift);
    const uint8_t *digest = t + cfgtbl::kDigest - shift;
    for (int i = 0; i < 16; ++i) v.passwordSet |= digest[i] != 0;
    if (v.kind == TableView::Kind::Version) {
        v.cdrom = (t[cfgtbl::kFlags232] & cfgtbl::kFlagCdrom) != 0;
        v.removable = t[cfgtbl::kRemovable] != 0;
        std::string label(reinterpret_cast<const char *>(t + cfgtbl::kLabel), cfgtbl::kLabelLength);
        label = label.substr(0, label.find('\0'));
        while (!label.empty() && label.back() == ' ') label.pop_back();
        for (char &c : label)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
        v.label = label;
    }
    return v;
}

const char *tableKindName(TableView::Kind kind) {
    switch (kind) {
    case TableView::Kind::Version: return "version table 2.00";
    case TableView::Kind::Maker: return "maker table";
    default: return "none";
    }
}

std::string layoutDescription(const TableView &v) {
    if (v.cdrom) return "CD-ROM with autorun, then a public area";
    if (isSecureLayoutKind(v.layoutKind))
        return v.areaSize[2] ? "secure disk: login area, secure area, public area"
                             : "secure disk: login area, secure area";
    std::string what = v.areaSize[2] ? "two public areas" : "one public area";
    if (!v.removable) what += ", presented as a fixed disk (HDD boot)";
    return what;
}

std::string areaRole(const TableView &v, int index) {
    if (isSecureLayoutKind(v.layoutKind)) {
        static const char *const kRoles[] = {"login area", "secure area", "public area"};
        return kRoles[index];
    }
    if (index == 0) return v.cdrom ? "CD-ROM area" : "first area";
    if (index == 1) return "unused";
    return "second area";
}

} // namespace cli
