#include "ScsiTarget.h"

#include <algorithm>
#include <cstring>

#include "byteorder.h"
#include "table_layout.h"

namespace gadget {
namespace {

using flashemu::UnitResult;
using flashemu::UnitView;

// Operation codes (SPC, SBC, MMC).
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kStartStopUnit = 0x1B;
constexpr uint8_t kPreventAllow = 0x1E;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kSynchronizeCache10 = 0x35;
constexpr uint8_t kReadToc = 0x43;
constexpr uint8_t kGetConfiguration = 0x46;
constexpr uint8_t kGetEventStatus = 0x4A;
constexpr uint8_t kModeSense10 = 0x5A;
constexpr uint8_t kServiceActionIn16 = 0x9E;
constexpr uint8_t kReadCapacity16 = 0x10; // its service action
constexpr uint8_t kReportLuns = 0xA0;

// Sense keys and additional sense codes.
constexpr uint8_t kNotReady = 0x02, kMediumError = 0x03, kIllegalRequest = 0x05, kUnitAttention = 0x06,
                  kDataProtect = 0x07;
constexpr uint8_t kAscWriteError = 0x0C, kAscUnrecoveredRead = 0x11, kAscInvalidOpcode = 0x20, kAscLbaOutOfRange = 0x21,
                  kAscInvalidField = 0x24, kAscLunNotSupported = 0x25, kAscWriteProtected = 0x27,
                  kAscMediumChanged = 0x28, kAscResetOccurred = 0x29, kAscSavingNotSupported = 0x39,
                  kAscMediumNotPresent = 0x3A;

// Below this address READ(10)/WRITE(10) reach data sectors; from it up, the controller.
constexpr uint32_t kFirstVendorAddress = cfgtbl::addr::kFirstVendor;
constexpr uint32_t kSector = 512;
constexpr uint32_t kCdBlock = 2048;
// One command's data is held whole; the kernel's USB disks move at most a few
// hundred KiB at a time, so anything past this is refused rather than buffered.
constexpr uint32_t kMaxTransferBytes = 16u << 20;
constexpr size_t kInquiryLength = 36;
constexpr size_t kFixedSenseLength = 18;

uint32_t blockBytes(const UnitView &v) { return v.cdrom ? kCdBlock : kSector; }
uint64_t capacityBlocks(const UnitView &v) { return v.length / (blockBytes(v) / kSector); }

bool isVendor(const uint8_t *cdb) {
    return (cdb[0] == kRead10 || cdb[0] == kWrite10) && bo::getBE32(cdb + 2) >= kFirstVendorAddress;
}

void putPadded(std::vector<uint8_t> &out, size_t at, const std::string &text, size_t width) {
    for (size_t i = 0; i < width; ++i) out[at + i] = i < text.size() ? uint8_t(text[i]) : ' ';
}

// An LBA as MMC's minutes, seconds and frames (75 a second, 2 seconds of lead-in).
void putAddress(uint8_t *p, uint32_t lba, bool msf) {
    if (!msf) return bo::putBE32(p, lba);
    uint32_t f = lba + 150;
    p[0] = 0;
    p[1] = uint8_t(f / (75 * 60));
    p[2] = uint8_t(f / 75 % 60);
    p[3] = uint8_t(f % 75);
}

void clip(std::vector<uint8_t> *out, size_t allocation) {
    if (out->size() > allocation) out->resize(allocation);
}

} // namespace

ScsiTarget::ScsiTarget(flashemu::EmulatedDisk &disk, std::string serial) : disk_(disk), serial_(std::move(serial)) {
    powerOnReset();
}

void ScsiTarget::powerOnReset() {
    disk_.lockMedium(false); // a reset ends any prevention of removal
    view_ = disk_.units();
    for (uint8_t l = 0; l < kLuns; ++l) {
        resetPending_[l] = true;
        seen_[l] = view_[l];
        enumeratedType_[l] = peripheralType(view_[l]);
        sense_[l] = {};
    }
    reenumerate_ = false;
}

bool ScsiTarget::takeReenumerationNeed() {
    bool need = reenumerate_;
    reenumerate_ = false;
    return need;
}

Intent ScsiTarget::intent(uint8_t lun, const uint8_t *cdb, size_t cdbLength) {
    if (!cdb || cdbLength < 6) return {};
    switch (cdb[0]) {
    case kRequestSense:
    case kModeSense6: return {DataDir::In, cdb[4]};
    case kInquiry: return {DataDir::In, bo::getBE16(cdb + 3)};
    case kReadCapacity10: return {DataDir::In, 8};
    case kReportLuns: return cdbLength >= 12 ? Intent{DataDir::In, bo::getBE32(cdb + 6)} : Intent{};
    case kServiceActionIn16:
        return cdbLength >= 16 && (cdb[1] & 0x1F) == kReadCapacity16 ? Intent{DataDir::In, bo::getBE32(cdb + 10)}
                                                                     : Intent{};
    case kModeSense10:
    case kReadToc:
    case kGetConfiguration:
    case kGetEventStatus: return cdbLength >= 10 ? Intent{DataDir::In, bo::getBE16(cdb + 7)} : Intent{};
    case kRead10:
    case kWrite10: {
        if (cdbLength < 10 || lun >= kLuns) return {};
        uint32_t block = kSector;
        if (!isVendor(cdb)) block = blockBytes(disk_.units()[lun]);
        uint64_t bytes = uint64_t(bo::getBE16(cdb + 7)) * block;
        return {cdb[0] == kRead10 ? DataDir::In : DataDir::Out, uint32_t(std::min<uint64_t>(bytes, UINT32_MAX))};
    }
    default: return {};
    }
}

bool ScsiTarget::fail(uint8_t lun, uint8_t key, uint8_t asc, uint8_t ascq) {
    sense_[lun] = {key, asc, ascq, false, 0};
    return false;
}

bool ScsiTarget::execute(uint8_t lun, const uint8_t *cdb, size_t cdbLength, const std::vector<uint8_t> &dataOut,
                         std::vector<uint8_t> *dataIn) {
    dataIn->clear();
    if (lun >= kLuns) {
        // Only INQUIRY says anything about a unit that is not there.
        if (!cdb || cdbLength < 6 || cdb[0] != kInquiry) return false;
        dataIn->assign(kInquiryLength, 0);
        (*dataIn)[0] = 0x7F; // qualifier 3: no unit at this LUN
        clip(dataIn, bo::getBE16(cdb + 3));
        return true;
    }
    if (!cdb || cdbLength < 6) return fail(lun, kIllegalRequest, kAscInvalidOpcode);
    // The file system's writes into the login volume go on landing there; any
    // other command lets a login the device noticed from them take effect.
    if (!(lun == 0 && cdbLength >= 10 && cdb[0] == kWrite10 && !isVendor(cdb))) disk_.hostCommand();
    if (cdb[0] == kRequestSense) {
        const Sense s = sense_[lun];
        sense_[lun] = {};
        dataIn->assign(kFixedSenseLength, 0);
        uint8_t *p = dataIn->data();
        p[0] = 0x70 | (s.infoValid ? 0x80 : 0);
        p[2] = s.key;
        bo::putBE32(p + 3, s.info);
        p[7] = kFixedSenseLength - 8;
        p[12] = s.asc;
        p[13] = s.ascq;
        clip(dataIn, cdb[4]);
        return true;
    }
    view_ = disk_.units();
    bool ok = run(lun, cdb, cdbLength, dataOut, dataIn);
    if (ok) sense_[lun] = {};
    return ok;
}

bool ScsiTarget::run(uint8_t lun, const uint8_t *cdb, size_t cdbLength, const std::vector<uint8_t> &dataOut,
                     std::vector<uint8_t> *dataIn) {
    const uint8_t op = cdb[0];
    const UnitView &v = view_[lun];
    if (op != kInquiry && op != kReportLuns) {
        // A change of what the host sees is told once, before anything else runs.
        if (resetPending_[lun]) {
            resetPending_[lun] = false;
            seen_[lun] = v;
            return fail(lun, kUnitAttention, kAscResetOccurred);
        }
        if (!(v == seen_[lun])) {
            seen_[lun] = v;
            return fail(lun, kUnitAttention, kAscMediumChanged);
        }
    }
    const bool ten = cdbLength >= 10;
    switch (op) {
    case kInquiry: return inquiry(lun, cdb, dataIn);
    case kTestUnitReady:
    case kSynchronizeCache10: return v.present || fail(lun, kNotReady, kAscMediumNotPresent);
    case kStartStopUnit: return true; // nothing to spin
    case kPreventAllow:
        // Prevented while the host has a volume of the unit open (mounted). The
        // login volume's medium stays in place until the host lets go of it.
        if (lun == 0) {
            disk_.lockMedium(cdb[4] & 1);
            if (!(cdb[4] & 1)) disk_.hostCommand();
        }
        return true;
    case kModeSense6: return modeSense(lun, cdb, false, dataIn);
    case kModeSense10: return ten ? modeSense(lun, cdb, true, dataIn) : fail(lun, kIllegalRequest, kAscInvalidField);
    case kReadCapacity10: return readCapacity(lun, false, dataIn);
    case kServiceActionIn16:
        if (cdbLength < 16 || (cdb[1] & 0x1F) != kReadCapacity16) return fail(lun, kIllegalRequest, kAscInvalidField);
        if (!readCapacity(lun, true, dataIn)) return false;
        clip(dataIn, bo::getBE32(cdb + 10));
        return true;
    case kRead10:
    case kWrite10:
        if (!ten) return fail(lun, kIllegalRequest, kAscInvalidField);
        if (isVendor(cdb)) return vendor(lun, cdb, dataOut, dataIn);
        if (op == kRead10) return readBlocks(lun, bo::getBE32(cdb + 2), bo::getBE16(cdb + 7), dataIn);
        return writeBlocks(lun, bo::getBE32(cdb + 2), bo::getBE16(cdb + 7), dataOut);
    case kReportLuns: {
        if (cdbLength < 12 || bo::getBE32(cdb + 6) < 16) return fail(lun, kIllegalRequest, kAscInvalidField);
        dataIn->assign(8 + 8 * kLuns, 0);
        bo::putBE32(dataIn->data(), 8 * kLuns);
        for (uint8_t l = 0; l < kLuns; ++l) (*dataIn)[8 + 8 * l + 1] = l;
        clip(dataIn, bo::getBE32(cdb + 6));
        return true;
    }
    case kReadToc:
    case kGetConfiguration:
    case kGetEventStatus:
        if (!v.cdrom || !ten) return fail(lun, kIllegalRequest, kAscInvalidOpcode);
        if (op == kReadToc && !readToc(lun, cdb, dataIn)) return false;
        if (op == kGetConfiguration && !getConfiguration(lun, dataIn)) return false;
        if (op == kGetEventStatus && !eventStatus(lun, cdb, dataIn)) return false;
        clip(dataIn, bo::getBE16(cdb + 7));
        return true;
    default: return fail(lun, kIllegalRequest, kAscInvalidOpcode);
    }
}

bool ScsiTarget::inquiry(uint8_t lun, const uint8_t *cdb, std::vector<uint8_t> *out) {
    const uint8_t type = peripheralType(view_[lun]);
    const bool evpd = cdb[1] & 1;
    const uint8_t page = cdb[2];
    if (!evpd && page != 0) return fail(lun, kIllegalRequest, kAscInvalidField);
    if (evpd && page == 0x00) {
        *out = {type, 0x00, 0x00, 2, 0x00, 0x80}; // the pages there are: this one and the serial number
    } else if (evpd && page == 0x80) {
        *out = {type, 0x80, 0x00, uint8_t(serial_.size())};
        out->insert(out->end(), serial_.begin(), serial_.end());
    } else if (evpd) {
        return fail(lun, kIllegalRequest, kAscInvalidField);
    } else {
        flashemu::Identity id;
        if (!disk_.identity(&id)) return fail(lun, kNotReady, kAscMediumNotPresent);
        out->assign(kInquiryLength, 0);
        (*out)[0] = type;
        (*out)[1] = 0x80; // removable medium
        (*out)[2] = 0x02; // SCSI-2, as USB flash disks answer
        (*out)[3] = 0x02; // response data format
        (*out)[4] = kInquiryLength - 5;
        putPadded(*out, 8, id.vendor, 8);
        putPadded(*out, 16, id.product, 16);
        putPadded(*out, 32, id.revision, 4);
    }
    clip(out, bo::getBE16(cdb + 3));
    return true;
}

bool ScsiTarget::modeSense(uint8_t lun, const uint8_t *cdb, bool ten, std::vector<uint8_t> *out) {
    const UnitView &v = view_[lun];
    const uint8_t control = cdb[2] >> 6, page = cdb[2] & 0x3F, subpage = cdb[3];
    if (control == 3) return fail(lun, kIllegalRequest, kAscSavingNotSupported);
    if (subpage != 0 && subpage != 0xFF) return fail(lun, kIllegalRequest, kAscInvalidField);
    const bool changeable = control == 1; // nothing can be changed: all zeros
    std::vector<uint8_t> pages;
    auto addPage = [&](uint8_t code, uint8_t length, std::initializer_list<std::pair<size_t, uint8_t>> values) {
        size_t at = pages.size();
        pages.resize(at + 2 + length, 0);
        pages[at] = code;
        pages[at + 1] = length;
        if (!changeable)
            for (auto [offset, value] : values) pages[at + offset] = value;
    };
    // Caching: no write cache to flush, reads not cached either way.
    if (page == 0x08 || page == 0x3F) addPage(0x08, 0x12, {});
    // CD capabilities: reads CD-ROM media, can eject; a read speed in kB/s.
    if (v.cdrom && (page == 0x2A || page == 0x3F)) addPage(0x2A, 0x14, {{6, 0x29}, {8, 0x02}, {9, 0xC0}});
    if (pages.empty()) return fail(lun, kIllegalRequest, kAscInvalidField);
    const uint8_t deviceSpecific = v.present && v.readOnly && !v.cdrom ? 0x80 : 0; // write protect
    const size_t header = ten ? 8 : 4;
    out->assign(header, 0);
    out->insert(out->end(), pages.begin(), pages.end());
    if (ten) {
        bo::putBE16(out->data(), uint16_t(out->size() - 2));
        (*out)[3] = deviceSpecific;
        clip(out, bo::getBE16(cdb + 7));
    } else {
        (*out)[0] = uint8_t(out->size() - 1);
        (*out)[2] = deviceSpecific;
        clip(out, cdb[4]);
    }
    return true;
}

bool ScsiTarget::readCapacity(uint8_t lun, bool sixteen, std::vector<uint8_t> *out) {
    const UnitView &v = view_[lun];
    if (!v.present) return fail(lun, kNotReady, kAscMediumNotPresent);
    uint64_t blocks = capacityBlocks(v);
    uint64_t last = blocks ? blocks - 1 : 0;
    if (sixteen) {
        out->assign(32, 0);
        bo::putBE32(out->data(), uint32_t(last >> 32));
        bo::putBE32(out->data() + 4, uint32_t(last));
        bo::putBE32(out->data() + 8, blockBytes(v));
    } else {
        out->assign(8, 0);
        bo::putBE32(out->data(), uint32_t(std::min<uint64_t>(last, UINT32_MAX)));
        bo::putBE32(out->data() + 4, blockBytes(v));
    }
    return true;
}

// The model moves at most kMaxUnitSectors a command, so a longer transfer is
// several; move(first, count, byteOffset) does one. On a failure *moved tells
// the blocks that went before it (a read keeps them for the host).
template <typename Move>
bool ScsiTarget::inPieces(uint8_t lun, uint32_t lba, uint32_t blocks, bool write, uint32_t *moved, Move &&move) {
    const uint32_t perBlock = blockBytes(view_[lun]) / kSector;
    const uint64_t first = uint64_t(lba) * perBlock;
    const uint32_t count = blocks * perBlock;
    *moved = blocks;
    for (uint32_t done = 0; done < count;) {
        uint32_t n = std::min(count - done, flashemu::kMaxUnitSectors);
        UnitResult r = move(first + done, n, size_t(done) * kSector);
        if (r != UnitResult::Ok) {
            *moved = done / perBlock;
            if (r == UnitResult::NoMedium) return fail(lun, kNotReady, kAscMediumNotPresent);
            if (r == UnitResult::OutOfRange) return fail(lun, kIllegalRequest, kAscLbaOutOfRange);
            if (r == UnitResult::WriteProtected) return fail(lun, kDataProtect, kAscWriteProtected);
            fail(lun, kMediumError, write ? kAscWriteError : kAscUnrecoveredRead);
            sense_[lun].infoValid = true;
            sense_[lun].info = lba + *moved;
            return false;
        }
        done += n;
    }
    return true;
}

bool ScsiTarget::readBlocks(uint8_t lun, uint32_t lba, uint32_t blocks, std::vector<uint8_t> *out) {
    const UnitView &v = view_[lun];
    if (!v.present) return fail(lun, kNotReady, kAscMediumNotPresent);
    if (uint64_t(lba) + blocks > capacityBlocks(v)) return fail(lun, kIllegalRequest, kAscLbaOutOfRange);
    if (uint64_t(blocks) * blockBytes(v) > kMaxTransferBytes) return fail(lun, kIllegalRequest, kAscInvalidField);
    out->resize(size_t(blocks) * blockBytes(v));
    uint32_t moved = 0;
    bool ok = inPieces(lun, lba, blocks, false, &moved, [&](uint64_t first, uint32_t n, size_t at) {
        return disk_.readUnit(lun, first, n, out->data() + at);
    });
    out->resize(size_t(moved) * blockBytes(v));
    return ok;
}

bool ScsiTarget::writeBlocks(uint8_t lun, uint32_t lba, uint32_t blocks, const std::vector<uint8_t> &in) {
    const UnitView &v = view_[lun];
    if (!v.present) return fail(lun, kNotReady, kAscMediumNotPresent);
    if (v.readOnly) return fail(lun, kDataProtect, kAscWriteProtected);
    if (uint64_t(lba) + blocks > capacityBlocks(v)) return fail(lun, kIllegalRequest, kAscLbaOutOfRange);
    if (in.size() < size_t(blocks) * blockBytes(v)) return fail(lun, kIllegalRequest, kAscInvalidField);
    uint32_t moved = 0;
    return inPieces(lun, lba, blocks, true, &moved, [&](uint64_t first, uint32_t n, size_t at) {
        return disk_.writeUnit(lun, first, n, in.data() + at);
    });
}

// The controller's own commands go to it as SCSI.dll's emulator back end hands
// them over: the 10-byte block in a 12-byte one, the data length from its count.
bool ScsiTarget::vendor(uint8_t lun, const uint8_t *cdb, const std::vector<uint8_t> &dataOut,
                        std::vector<uint8_t> *dataIn) {
    uint8_t cdb12[12] = {};
    std::memcpy(cdb12, cdb, 10);
    const uint32_t length = uint32_t(bo::getBE16(cdb + 7)) * kSector;
    bool ok;
    if (cdb[0] == kRead10) {
        dataIn->assign(length, 0);
        ok = (disk_.readScsi(cdb12, dataIn->data(), length) & 0xFFFF) != 0;
        if (!ok) dataIn->clear();
    } else {
        ok = dataOut.size() >= length && (disk_.writeScsi(cdb12, dataOut.data(), length) & 0xFFFF) != 0;
        // A controller restarted with another kind of first unit (disk or
        // CD-ROM) drops off the bus and comes back as that kind. Other view
        // changes keep the enumeration: the whole-disk table of a format in
        // progress must not take the device away from the program formatting it.
        if (ok && bo::getBE32(cdb + 2) == cfgtbl::addr::kReset) {
            auto now = disk_.units();
            for (uint8_t l = 0; l < kLuns; ++l)
                if (now[l].present && peripheralType(now[l]) != enumeratedType_[l]) reenumerate_ = true;
        }
    }
    // The controller says no more than yes or no; a refusal is told as a field
    // of the command block it did not take.
    return ok || fail(lun, kIllegalRequest, kAscInvalidField);
}

bool ScsiTarget::readToc(uint8_t lun, const uint8_t *cdb, std::vector<uint8_t> *out) {
    const UnitView &v = view_[lun];
    if (!v.present) return fail(lun, kNotReady, kAscMediumNotPresent);
    const bool msf = cdb[1] & 0x02;
    uint8_t format = cdb[2] & 0x0F;
    if (format == 0) format = cdb[9] >> 6; // the older place of the format
    const uint8_t track = cdb[6];
    const uint32_t leadOut = uint32_t(capacityBlocks(v));
    auto descriptor = [&](uint8_t number, uint32_t lba) {
        size_t at = out->size();
        out->resize(at + 8, 0);
        (*out)[at + 1] = 0x14; // data track, digital copy permitted
        (*out)[at + 2] = number;
        putAddress(out->data() + at + 4, lba, msf);
    };
    out->assign(4, 0);
    (*out)[2] = 1; // first track or session
    (*out)[3] = 1; // last
    if (format == 0) {
        if (track > 1 && track != 0xAA) return fail(lun, kIllegalRequest, kAscInvalidField);
        if (track <= 1) descriptor(1, 0);
        descriptor(0xAA, leadOut);
    } else if (format == 1) {
        descriptor(1, 0); // the first track of the last session
    } else {
        return fail(lun, kIllegalRequest, kAscInvalidField);
    }
    bo::putBE16(out->data(), uint16_t(out->size() - 2));
    return true;
}

bool ScsiTarget::getConfiguration(uint8_t lun, std::vector<uint8_t> *out) {
    const uint16_t profile = view_[lun].present ? 0x0008 : 0x0000; // CD-ROM
    // The header, then the profile list feature naming the one profile.
    *out = {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x03, 0x04, 0x00, 0x08, uint8_t(profile ? 1 : 0), 0};
    bo::putBE32(out->data(), uint32_t(out->size() - 4));
    bo::putBE16(out->data() + 6, profile);
    return true;
}

bool ScsiTarget::eventStatus(uint8_t lun, const uint8_t *cdb, std::vector<uint8_t> *out) {
    if (!(cdb[1] & 0x01)) return fail(lun, kIllegalRequest, kAscInvalidField); // only polled
    constexpr uint8_t kMediaClass = 0x10;
    if (cdb[4] & kMediaClass) // no event: a medium change is told as a unit attention
        *out = {0, 6, 0x04, kMediaClass, 0x00, uint8_t(view_[lun].present ? 0x02 : 0x00), 0, 0};
    else
        *out = {0, 2, 0x80, kMediaClass}; // no event of the classes asked for
    return true;
}

} // namespace gadget
