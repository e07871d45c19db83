// Files of the user's own that other users must not read. The tables saved
// before a disk's table is rewritten hold the password digest, so they live in
// a folder of the user's and are written closed to everybody else.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The user's folder for data kept between runs, without a trailing separator:
// Linux: $XDG_DATA_HOME when it is an absolute path, otherwise $HOME/.local/share.
// Windows: %LOCALAPPDATA%. "" when the system does not tell.
std::string userDataDirectory();

// Makes the folder `sub` ("quendal/tables", '/' between the names) exist inside
// userDataDirectory() and returns its path with a trailing separator; "" with
// *error set when that cannot be done.
// Linux: every folder made is created with mode 0700, and the last one must be a
// real folder (not a link) of this user, closed to group and others.
// Windows: made inside the user's profile, whose access rules are the user's.
std::string privateDataFolder(const std::string &sub, std::string *error);

// Writes a new file that only this user may read and write (mode 0600 on
// Linux): the whole content, flushed to the device, then closed. Fails, leaving
// nothing behind, when anything already has the name (a link as well).
bool writeNewPrivateFile(const std::string &path, const std::string &content, std::string *error);

// Names of the regular files in a folder (no "." or ".."), in no particular
// order; empty when the folder cannot be read.
std::vector<std::string> filesInFolder(const std::string &folder);

} // namespace platform
