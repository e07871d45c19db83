// Setting the settings the library and its transport read from the process's
// environment (getenv) when they are opened: the emulated disk's folder, the
// drive map, the command log.
#pragma once

#include <string>

namespace cli {

// Sets name=value for this process and the programs it starts. False when the
// environment cannot be changed. On Windows both the C runtime's copy (what
// getenv reads) and the process's own block (what GetEnvironmentVariable and
// child processes see) are set; each is a copy the other does not follow.
bool setEnvironment(const char *name, const std::string &value);

// A folder or file name made absolute and plain (no "." or "..", no trailing
// separator), or the name unchanged when that fails. On Windows "D:disk" is
// relative to the current folder of drive D:.
std::string absoluteName(const std::string &name);

// The disk folder and drive map named in the environment made absolute, so that
// they stay valid while the library works in another current directory.
void anchorDiskPaths();

} // namespace cli
