// The launcher's system calls on Linux: the drive table and the private
// temporary directory of the platform layer, and its shell "open".
#include "LauncherHost.h"

#include <unistd.h>

#include "platform/Drives.h"
#include "platform/Paths.h"
#include "platform/Shell.h"

namespace latchkin::host {

const char kPathSeparator = '/';
const char *const kNoTemporaryFolder =
    "no private temporary directory (XDG_RUNTIME_DIR, or a folder of this user's own with mode "
    "0700 under TMPDIR or /tmp)";

bool currentDirectory(char *buffer, size_t size) { return getcwd(buffer, size) != nullptr; }

std::string driveRootOf(const char *directory) {
    std::string drive = platform::driveOfDirectory(directory);
    if (drive.size() != 2 || drive[1] != ':') return {};
    return drive + "\\";
}

std::string temporaryFolder() { return platform::temporaryDirectory(); }

bool startLoginProgram(const std::string &program, const std::string &driveRoot) {
    return platform::shellOpen(program, driveRoot);
}

} // namespace latchkin::host
