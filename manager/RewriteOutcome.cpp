#include "RewriteOutcome.h"

#include <array>

namespace rewrite {

namespace {

constexpr Message kTableChanged{"TABLECHANGED", "Another program changed your FlashDisk's table. Nothing was changed. "
                                                "Please replug your Flash Disk and try again."};
constexpr Message kLastCopy{"LASTCOPY", "Only one copy of your FlashDisk's table is left and where the other was "
                                        "is unknown. Nothing was changed. See recovery.md."};
constexpr Message kNotSaved{"TABLENOTSAVED",
                            "The table of your FlashDisk could not be saved on this computer first, so nothing "
                            "was changed."};
constexpr Message kOldOpens{"CHANGEKOOLD", "Change Password failed! The old password still opens your Flash Disk."};
constexpr Message kNewOpens{"CHANGEKONEW", "Change Password failed! The new password now opens your Flash Disk."};
constexpr Message kUnknown{"CHANGEKOUNKNOWN", "Change Password failed! It cannot be told which password opens your "
                                              "Flash Disk now. Please replug it and see recovery.md."};

} // namespace

const Message *refusal(int32_t code) {
    switch (code) {
    case QUENDAL_ERR_TABLE_CHANGED: return &kTableChanged;
    case QUENDAL_ERR_LAST_COPY: return &kLastCopy;
    case QUENDAL_ERR_TABLE_NOT_SAVED: return &kNotSaved;
    default: return nullptr;
    }
}

int32_t errorCode(const TDiskControl &dc) { return dc.GetErrorCode ? dc.GetErrorCode() : 0; }

PasswordNow passwordNow(TDiskControl &dc, const char *oldPassword, const char *newPassword) {
    if (!dc.InitVariable || !dc.GetConfigTable || !dc.UpdateParam || !dc.VerifyPassword) return PasswordNow::Unknown;
    std::array<uint8_t, 512> table{};
    dc.InitVariable();
    if (dc.GetConfigTable(table.data()) <= 0 || !dc.UpdateParam()) return PasswordNow::Unknown;
    // The old one first: a change to the same password left it valid.
    if (dc.VerifyPassword(oldPassword, 0)) return PasswordNow::Old;
    if (dc.VerifyPassword(newPassword, 0)) return PasswordNow::New;
    return PasswordNow::Unknown;
}

Message failedChange(TDiskControl &dc, int32_t codeBefore, const char *oldPassword, const char *newPassword) {
    const int32_t code = errorCode(dc);
    if (const Message *m = code != codeBefore ? refusal(code) : nullptr) return *m;
    switch (passwordNow(dc, oldPassword, newPassword)) {
    case PasswordNow::Old: return kOldOpens;
    case PasswordNow::New: return kNewOpens;
    default: return kUnknown;
    }
}

} // namespace rewrite
