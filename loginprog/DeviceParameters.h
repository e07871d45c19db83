// The parameter block with which the login program opens the device: the
// identification texts of "FlashDisk.ini", section SETTING, which the launcher
// writes beside the program.
#pragma once

#include <string>

#include "Quendal.h"

namespace sarvik {

constexpr const char kSettingsFileName[] = "FlashDisk.ini";
// The product text is cut to 16 characters: the SCSI INQUIRY product
// identification it is compared with has 16.
constexpr size_t kProductChars = 16;

// Zero-fills block, then puts VENDERSTRING, PROCEDURESTR and VERSIONSTR of
// settingsFile into it; a missing file or key gives an empty text. Every text
// keeps its terminating NUL inside its field, whatever the file holds.
void fillParameterBlock(const std::string &settingsFile, InitDiskParams *block);

} // namespace sarvik
