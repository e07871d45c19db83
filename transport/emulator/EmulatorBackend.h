// The emulated flash disk as a back end of SCSI.dll.
#pragma once

#include <memory>
#include <string>

#include "Backend.h"

namespace flashemu {

std::unique_ptr<scsi::Backend> makeEmulatorBackend(const std::string &dir);

} // namespace flashemu
