// quendal: the command-line front end over the library binding.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Commands.h"
#include "DiskChoice.h"
#include "Environment.h"
#include "ExitCodes.h"
#include "FlashEmulator.h"
#include "PassthroughBackend.h"
#include "Session.h"
#include "TableCommands.h"

#ifndef QUENDAL_VERSION
#define QUENDAL_VERSION "0"
#endif

int main(int argc, char **argv) {
    using namespace cli;
    std::string command;
    Args rest;
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--disk" || a.rfind("--disk=", 0) == 0) {
            std::string dir;
            if (a == "--disk") {
                if (i + 1 >= argc) return fail(kExitUsage, "option --disk needs a folder", "see 'quendal --help'");
                dir = argv[++i];
            } else {
                dir = a.substr(7);
            }
            if (dir.empty()) return fail(kExitUsage, "option --disk needs a folder", "see 'quendal --help'");
            // The transport reads the disk folder from the environment when it is opened.
            if (!setEnvironment(flashemu::kDiskEnv, dir))
                return fail(kExitUsage, "cannot name the disk folder " + dir + " to the library",
                            "set FLASHDISK_EMULATOR instead");
        } else if (a == "--device" || a.rfind("--device=", 0) == 0) {
            std::string node = a == "--device" ? (i + 1 < argc ? argv[++i] : "") : a.substr(9);
            if (node.empty()) return fail(kExitUsage, "option --device needs a disk node", "see 'quendal --help'");
            // The transport reads the choice from the environment when it opens the disk.
            if (!setEnvironment(passthrough::kDeviceEnv, node))
                return fail(kExitUsage, "cannot name the disk " + node + " to the library",
                            "set QUENDAL_DEVICE instead");
        } else if (a == "-v" || a == "--verbose") {
            // The transport logs every command block, its outcome and sense data.
            setEnvironment("QUENDAL_SCSI_LOG", "stderr");
        } else if (a == "-h" || a == "--help") {
            help = true;
        } else if (a == "--version" && command.empty()) {
            std::printf("quendal %s\n", QUENDAL_VERSION);
            return kExitOk;
        } else if (command.empty() && a.rfind("-", 0) != 0) {
            command = a;
        } else if (command.empty()) {
            return fail(kExitUsage, "unknown option " + a, "see 'quendal --help'");
        } else {
            rest.push_back(a);
        }
    }
    anchorDiskPaths();
    if (command.empty()) {
        if (help) {
            std::fputs(mainHelp(), stdout);
            return kExitOk;
        }
        std::fputs(mainHelp(), stderr);
        return kExitUsage;
    }
    const char *text = subcommandHelp(command);
    if (!text) return fail(kExitUsage, "unknown command '" + command + "'", "see 'quendal --help'");
    if (help) {
        std::fputs(text, stdout);
        return kExitOk;
    }
    if (command == "emulate") return cmdEmulate(rest);
    if (command == "info") return cmdInfo(rest);
    if (command == "list") return cmdList(rest);
    if (command == "format") return cmdFormat(rest);
    if (command == "login") return cmdLogin(rest);
    if (command == "table") return cmdTable(rest);
    return cmdPasswd(rest);
}
