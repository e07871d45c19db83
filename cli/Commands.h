// The subcommands of quendal. Each takes its own arguments (after the
// subcommand's name) and returns the process's exit code.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace cli {

using Args = std::vector<std::string>;

// Options of one subcommand: flags and options with a value.
struct Parsed {
    std::map<std::string, std::string> values;           // the last value of each option
    std::map<std::string, std::vector<std::string>> all; // every value, for options that repeat
    std::map<std::string, bool> flags;
    std::vector<std::string> positional;
    std::string error; // the first thing wrong, for the user
};
Parsed parseOptions(const Args &args, std::initializer_list<const char *> withValue,
                    std::initializer_list<const char *> flags);
// Prints what is wrong with the command line and gives kExitUsage.
int usage(const std::string &command, const std::string &what);

int cmdEmulate(const Args &args);
int cmdInfo(const Args &args);
int cmdFormat(const Args &args);
int cmdLogin(const Args &args);
int cmdPasswd(const Args &args);
int cmdCheck(const Args &args);
const char *checkHelp();

// Texts of --help for the tool and for each subcommand.
const char *mainHelp();
const char *subcommandHelp(const std::string &name); // nullptr: no such subcommand

// Parses a whole decimal number in [min, max]; false for anything else.
bool parseNumber(const std::string &text, unsigned long long min, unsigned long long max, unsigned long long *out);
// "normal", "secure", "hdd-boot", "zip-boot", "zip-boot-63", "cdrom", or 0..5.
bool parseMode(const std::string &text, int *mode);
const char *modeName(int mode);

} // namespace cli
