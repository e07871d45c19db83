// The shell's "open" operation: start a program with one parameter and go on
// without waiting for it; and "explore": show a folder in the file manager.
// On Windows both are ShellExecute; on Linux the program is started directly
// and a folder is shown through xdg-open.
#pragma once

#include <string>

namespace platform {

// Starts program (a path to an executable file) with parameter as its one
// argument (none when parameter is empty). The program inherits the current
// directory and the environment, and is detached: it is not the caller's child,
// so nothing needs to wait for it. True when the program was started, false when
// it could not be (missing, not executable, no processes left).
// On Windows a file that is no program opens with the program registered for
// its kind, as the system's "open" does.
bool shellOpen(const std::string &program, const std::string &parameter);

// Shows directory ("E:\", or a host folder) in the file manager without
// waiting for it. False when no file manager could be started for it.
bool shellExplore(const std::string &directory);

} // namespace platform
