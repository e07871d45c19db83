// What every program tells its user after a rewrite of the disk's table
// (format, password change) failed: a refusal that wrote nothing, or, after a
// change cut off midway, which password opens the disk now, read off the disk
// rather than assumed. Qt-free: the manager, the login program (both forms)
// and quendal share it.
#pragma once

#include <cstdint>

#include "DiskControl.h"

namespace rewrite {

// A message key of section MSGSTRING with its English default.
struct Message {
    const char *key;
    const char *text;
};

// The message for a refusal before anything was written (library codes 18 to
// 20), or nullptr for any other code.
const Message *refusal(int32_t code);

enum class PasswordNow { Old, New, Unknown };

// After a ChangePassword that failed: reads the table again (InitVariable,
// GetConfigTable, UpdateParam, as after a change) and checks the two passwords
// against it. Unknown when no table can be read.
PasswordNow passwordNow(TDiskControl &dc, const char *oldPassword, const char *newPassword);

// What to show after ChangePassword failed, given the library's error code
// from before the call: the refusal, or which password opens the disk now.
Message failedChange(TDiskControl &dc, int32_t codeBefore, const char *oldPassword, const char *newPassword);

// The library's error code now, or 0 when the library lacks GetErrorCode.
int32_t errorCode(const TDiskControl &dc);

} // namespace rewrite
