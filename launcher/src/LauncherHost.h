// What the launcher asks of the system it runs on: its current directory and
// the drive that holds it, the user's temporary folder, and the shell's "open"
// of the login program. One implementation per system (LauncherHostPosix.cpp,
// LauncherHostWin.cpp); the run itself (Launcher.cpp) is the same on both.
#pragma once

#include <cstddef>
#include <string>

namespace latchkin::host {

// The separator the temporary folder's path must end in before file names are
// appended to it.
extern const char kPathSeparator;

// What a user is told when there is no temporary folder to unpack into.
extern const char *const kNoTemporaryFolder;

// The current directory into buffer (size bytes, NUL included). False when it
// cannot be read or does not fit: the text is then not to be used.
bool currentDirectory(char *buffer, size_t size);

// "E:\" for a directory on drive E:; "" when no drive holds it, and the login
// program then asks the user to open the disk by hand.
std::string driveRootOf(const char *directory);

// The user's own temporary folder as the system names it (it may lack the
// trailing separator); "" when there is none.
std::string temporaryFolder();

// Starts the login program with the drive root as its one parameter (none when
// empty), without waiting for it. False when it could not be started.
bool startLoginProgram(const std::string &program, const std::string &driveRoot);

} // namespace latchkin::host
