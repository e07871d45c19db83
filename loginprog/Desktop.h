// What the login program asks of the desktop: other programs' windows that
// show the flash disk's drive closed before the login changes its medium, the
// drive opened in the file manager afterwards, and the standard message box.
#pragma once

#include <QString>
#include <functional>
#include <string>

#include "LoginSequence.h"

class QMessageBox;
class QWidget;

namespace sarvik {

// Asks every top-level window whose title contains text to close, without
// waiting for it (X11; without a display nothing is asked). The number asked.
int closeWindowsShowing(const std::string &text);

// Opens the drive ("E:\") in the file manager: xdg-open of the directory the
// drive table mounts it on. *folder receives that directory ("" when none).
ExploreResult exploreDrive(const std::string &driveText, std::string *folder = nullptr);

// Starts the file manager on a directory; true when it was started. Tests put
// a recorder here; programs leave the default (xdg-open found on PATH).
extern std::function<bool(const std::string &directory)> OpenFolder;

// The platform's standard message box with an OK button, titled after the
// owner window. Returns when it is dismissed.
void showMessage(QWidget *owner, const QString &text);

// Called with the box once it is shown (from its own event loop), so that a
// test can read it and dismiss it. Programs never set it.
extern std::function<void(QMessageBox *)> MessageResponder;

} // namespace sarvik
