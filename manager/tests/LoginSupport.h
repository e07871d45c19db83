// Shared by the login and change password tests: a secure disk with a known
// password on the emulated flash disk, and a drive map of one's own.
#pragma once

#include "DialogSupport.h"

namespace dialogs {

inline int32_t quietProgress(int32_t, const char *) { return 0; }

// An emulated disk formatted as a secure disk (login area, secure area and a
// public area) with the given password, then replugged: logged out.
struct SecureDisk : Disk {
    explicit SecureDisk(const char *password, uint32_t sectors = 100000) : Disk(sectors) {
        {
            Main m;
            if (!m.startOnDisk()) throw std::runtime_error("no library");
            FormatSettings s{};
            s.areaSize[0] = 2500;
            s.areaSize[1] = sectors / 2 - 2500;
            s.areaSize[2] = sectors - sectors / 2;
            s.mode = QUENDAL_MODE_SECURE;
            std::strncpy(s.password, password, sizeof s.password - 1);
            s.areaCount = 3;
            if (!m.frm.DiskControl->FormatDisk(&s, quietProgress)) throw std::runtime_error("format failed");
        }
        flashemu::replug(str());
    }
    bool loggedIn() const {
        flashemu::DiskStatus st;
        return flashemu::getStatus(str(), &st) && st.loggedIn;
    }
};

} // namespace dialogs
