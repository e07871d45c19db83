// The owner's password: checked against the digest of the loaded table, sent
// to the device to log in (or written as the login file where raw access is
// refused), and replaced in both information blocks on a change.
#include <cstring>

#include "Internal.h"
#include "table_layout.h"

namespace quendal {

namespace {

constexpr size_t kRecordDigest = 16; // both login records carry the digest at 16..31

bool sendLoginDigest(const Digest &d) {
    std::array<uint8_t, kSectorSize> record{};
    std::memcpy(record.data() + kRecordDigest, d.data(), d.size());
    return state().ops.WriteDisk(cfgtbl::addr::kLogin, 1, record.data()) != 0;
}

bool fileLogin(const Digest &d) {
    std::array<uint8_t, kSectorSize> record{};
    bo::putLE32(record.data(), 0xA5A5A5A5u);
    std::memcpy(record.data() + kRecordDigest, d.data(), d.size());
    char drive[4] = {};
    if (!GetSecureDiskVolume(drive)) {
        setError(QUENDAL_ERR_NO_LOGIN_VOLUME);
        return false;
    }
    drive[2] = '\0';
    return writeLoginFile(drive, record.data());
}

} // namespace

} // namespace quendal

using namespace quendal;

extern "C" {

QUENDAL_API uint8_t VerifyPassword(const char *password, uint8_t login) {
    LibraryState &st = state();
    if (!st.TransportReady || !password) return 0;
    const Digest d = loginDigest(password);
    if (st.FileLoginMode) {
        // No table was read on this path, so there is nothing to compare with;
        // the device judges the digest in the file.
        if (!login) return 0;
        return fileLogin(d) ? 1 : 0;
    }
    if (std::memcmp(d.data(), st.StoredDigest.data(), d.size()) != 0) {
        setError(QUENDAL_ERR_WRONG_PASSWORD);
        return 0;
    }
    if (!login) return 1;
    return sendLoginDigest(d) ? 1 : 0;
}

QUENDAL_API uint8_t ChangePassword(const char *oldPassword, const char *newPassword) {
    LibraryState &st = state();
    if (!st.TransportReady || !oldPassword || !newPassword) return 0;
    if (!VerifyPassword(oldPassword, 0)) return 0;
    const Digest n = loginDigest(newPassword);
    switch (st.ControllerKind) {
    case kVersionTable: {
        // StoredDigest and TableCopy stay as they are: the new password counts
        // once the caller has read the table again.
        std::array<uint8_t, kSectorSize> table = st.TableCopy;
        std::memcpy(table.data() + cfgtbl::kDigest, n.data(), n.size());
        if (!infoBlockWritePossible() || !guardRewrite("before a password change")) return 0;
        return WriteInfoBlocks(table.data()) ? 1 : 0;
    }
    case kMakerTable: return 0; // the maker's table keeps its password
    default: setError(QUENDAL_ERR_CONTROLLER_KIND); return 0;
    }
}

} // extern "C"
