// The shell's "open" operation: start a program with one parameter and go on
// without waiting for it.
#pragma once

#include <string>

namespace platform {

// Starts program (a path to an executable file) with parameter as its one
// argument (none when parameter is empty). The program inherits the current
// directory and the environment, and is detached: it is not the caller's child,
// so nothing needs to wait for it. True when the program was started, false when
// it could not be (missing, not executable, no processes left).
bool shellOpen(const std::string &program, const std::string &parameter);

} // namespace platform
