// Paths of the host process: its executable, its current directory, the user's
// private temporary directory, and the mapping of the system's backslash paths
// (".\PWD", "X:\log.log") onto host paths. On Windows those paths are native.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Full path of the executable of this process (the host program, not a library
// it loaded); "" when the system does not tell.
std::string executablePath();

// Directory of executablePath() without a trailing separator (but "/" or "C:\"
// for a root); "" when unknown.
std::string programDirectory();

std::string currentDirectory();
bool setCurrentDirectory(const std::string &path);

// The user's private temporary directory, always ending in the separator, so a
// file name can be appended directly.
// Linux: ends in '/'; $XDG_RUNTIME_DIR when it is set and is a real directory
// (not a link) owned by the user and closed to group and others; otherwise a
// folder of the user's own under $TMPDIR (or /tmp), created with mode 0700. An
// existing folder of that name must pass the same check; otherwise "" is
// returned and nothing is written anywhere. Files in it are to be created
// without following links (fileio::File::Mode::CreateNew).
// Windows: ends in '\'; the user's own temporary folder as GetTempPath names it
// (%TMP%, %TEMP%, the profile's), created when missing; "" when something other
// than a folder is in the way.
std::string temporaryDirectory();

// Maps a drive letter ('E') to the host directory holding that drive's files, or
// "" when the drive has none (not present, or a volume that is not mounted).
using DriveRootFn = std::function<std::string(char letter)>;

// Maps a path written the system's way onto a host path.
// Linux: backslashes become '/', "X:" followed by a path is resolved through
// driveRoot. Returns "" for a drive path whose drive has no host directory (or
// when driveRoot is empty).
// Windows: the path is native and comes back as it is, except that with a
// driveRoot a drive path is resolved through it as on Linux (a drive of a drive
// map that lives in some folder), "" when that drive has no folder.
std::string hostPath(std::string_view systemPath, const DriveRootFn &driveRoot = nullptr);

} // namespace platform
