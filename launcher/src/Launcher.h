// The whole launcher: unpack the payload into the user's private temporary
// directory, write the login program's settings file, start the login program
// with the drive root of the current directory, and end without waiting.
#pragma once

#include <cstdio>

namespace latchkin {

// Returns the process exit code: 0 after the login program was handed to the
// shell, 1 when the run stopped early (the reason went to err).
int runLauncher(std::FILE *err);

} // namespace latchkin
