// The login program's start parameter: the launcher passes the drive root of
// the folder it was started from ("E:\"), and the program finds the drive of
// the flash disk from it.
#pragma once

#include <string>

namespace sarvik {

// The whole command line after the program name, as one text (the arguments
// joined by single blanks), copied once at start.
extern std::string StartParameter;

std::string joinArguments(int argc, char **argv);

// What the program makes of a start parameter: the drive text ("E:\"), the
// bracketed text a file explorer puts into its titles ("(E:)"), and the letter.
struct DriveTexts {
    std::string driveText; // empty when the parameter names no drive
    std::string bracketed;
    char letter = 0;
};

// Only a parameter that starts with a drive root (letter, ':', '\') names a
// drive. Anything else gives no drive: its first three characters would be
// matched against every window title on the desktop, and a stray "x" would ask
// every window with an x in its title to close.
DriveTexts driveTextsOf(const std::string &parameter);

} // namespace sarvik
