// Which disk quendal works on: the emulated disk named by --disk, or one real
// USB flash disk among those the pass-through can use. The choice reaches the
// transport only through the environment (QUENDAL_DEVICE), as it would for any
// program that loads it.
#pragma once

#include <string>
#include <vector>

#include "Commands.h"

namespace cli {

// Before a command opens the disk. With real disks, looks at the candidates
// and names the one to use in QUENDAL_DEVICE, so that the transport takes that
// one and no other. A command that writes refuses, listing them, when more than
// one is plugged in and --device names none. kExitOk, or a failure code after
// printing why.
int chooseDisk(bool writes);

// The disk in use, for the user: "emulated flash disk in DIR", or "/dev/sg2
// (MORVAN FLASH DISK 2.00)".
std::string deviceDescription();
// Who holds the chosen disk open, as far as the system tells.
std::string diskHolder();

// The mounted volumes of the chosen real disk, each as "/dev/sdb1 at
// /media/u/PUBLIC"; none for the emulated disk.
std::vector<std::string> mountedVolumes();
// Unmounts them before a format. kExitOk, or a failure code after naming each
// volume that stays, what the system said and who holds it.
int unmountVolumes();
// Unmounts the one volume mounted at mountPoint, as the user could; false with
// what the system said.
bool releaseVolume(const std::string &mountPoint, std::string *why);

class Session;
// Shows the opened disk (node, identity, size, layout) and what a format will
// lose, and asks on the terminal; yes skips the question. kExitOk when the
// format may start, or a failure code after printing why (nothing changed).
int confirmFormat(Session &session, bool yes);

int cmdList(const Args &args);

} // namespace cli
