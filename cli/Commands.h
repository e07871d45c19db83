// The subcommands of quendal. Each takes its own arguments (after the
// subcommand's name) and returns the process's exit code.
#pragma once

#include <string>
#include <vector>

namespace cli {

using Args = std::vector<std::string>;

int cmdEmulate(const Args &args);
int cmdInfo(const Args &args);
int cmdFormat(const Args &args);
int cmdLogin(const Args &args);
int cmdPasswd(const Args &args);

// Texts of --help for the tool and for each subcommand.
const char *mainHelp();
const char *subcommandHelp(const std::string &name); // nullptr: no such subcommand

// Parses a whole decimal number in [min, max]; false for anything else.
bool parseNumber(const std::string &text, unsigned long long min, unsigned long long max, unsigned long long *out);
// "normal", "secure", "hdd-boot", "zip-boot", "zip-boot-63", "cdrom", or 0..5.
bool parseMode(const std::string &text, int *mode);
const char *modeName(int mode);

} // namespace cli
