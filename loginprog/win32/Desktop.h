// What the login program asks of the Windows desktop: the explorer windows that
// show the flash disk's drive closed before the login changes its medium, the
// drive opened in the explorer afterwards, the standard message box, and the
// password edits read and wiped.
#pragma once

#include <string>

#include <windows.h>

namespace sarvik {

// Asks every top-level window whose title contains text (code-page bytes of
// the system's ANSI code page, as "E:\" and "(E:)" are) to close. The number asked.
int closeWindowsShowing(const std::string &text);

// The shell's "explore" on the drive text ("E:\"), maximised; false when the
// shell could not do it.
bool exploreDrive(const std::string &driveText);

// The standard message box with an OK button, titled after its owner.
void showMessage(HWND owner, const std::wstring &text);

// The text of a password edit as UTF-8, at most platform::kMaxPasswordChars
// characters (the login sequence makes the library's bytes of it). The edit
// keeps its text; wipePassword removes it.
std::string readPassword(HWND edit);
// Overwrites the edit's text where it lies, then empties it and its undo buffer.
void wipePassword(HWND edit);
// Zeroes a string's bytes before it is let go.
void wipe(std::string &secret);

} // namespace sarvik
