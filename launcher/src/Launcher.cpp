// The launcher's one run, start to end.
#include "Launcher.h"

#include <memory>
#include <string>

#include "LauncherHost.h"
#include "LzariDecoder.h"
#include "Payload.h"
#include "PayloadTable.h"

namespace latchkin {

namespace {

// The sizes of the original's fixed buffers, NUL included. A text that does not
// fit is not cut: the run stops before anything is written or started, since a
// cut path would name some other file.
constexpr size_t kCurrentDirBuffer = 100;
constexpr size_t kTempDirBuffer = 200;
constexpr size_t kPathBuffer = 200;

bool endsWith(const char *name, const char *suffix) {
    std::string n(name), s(suffix);
    return n.size() >= s.size() && n.compare(n.size() - s.size(), s.size(), s) == 0;
}

// The program and the libraries must be executable/mappable; the rest is data.
unsigned modeFor(const char *finalName) {
    return endsWith(finalName, ".exe") || endsWith(finalName, ".dll") ? 0700 : 0600;
}

} // namespace

int runLauncher(std::FILE *err) {
    char current[kCurrentDirBuffer] = {};
    if (!host::currentDirectory(current, sizeof current)) {
        std::fprintf(err,
                     "Latchkin: the current directory cannot be read or is longer than %zu "
                     "characters; nothing was unpacked or started.\n",
                     kCurrentDirBuffer - 1);
        return 1;
    }
    const std::string driveRoot = host::driveRootOf(current);

    std::string temp = host::temporaryFolder();
    if (temp.empty()) {
        std::fprintf(err, "Latchkin: %s; nothing was unpacked or started.\n", host::kNoTemporaryFolder);
        return 1;
    }
    if (temp.back() != host::kPathSeparator) temp += host::kPathSeparator;
    if (temp.size() >= kTempDirBuffer) {
        std::fprintf(err,
                     "Latchkin: the temporary directory %s is longer than %zu characters; "
                     "nothing was unpacked or started.\n",
                     temp.c_str(), kTempDirBuffer - 1);
        return 1;
    }
    // Every path is checked before the first file is written, so a run never
    // stops halfway for want of room.
    for (const PayloadRow &row : kPayloadTable) {
        for (const char *name : {row.intermediateName, row.finalName}) {
            if ((temp + name).size() >= kPathBuffer) {
                std::fprintf(err,
                             "Latchkin: the path %s%s is longer than %zu characters; nothing "
                             "was unpacked or started.\n",
                             temp.c_str(), name, kPathBuffer - 1);
                return 1;
            }
        }
    }
    if ((temp + kSettingsName).size() >= kPathBuffer) {
        std::fprintf(err,
                     "Latchkin: the path %s%s is longer than %zu characters; nothing was "
                     "unpacked or started.\n",
                     temp.c_str(), kSettingsName, kPathBuffer - 1);
        return 1;
    }
    if (!findResource(kLoginProgramId)) {
        std::fprintf(err,
                     "Latchkin: this build carries no %s (the login program was not built); "
                     "nothing was unpacked or started.\n",
                     kLoginProgramName);
        return 1;
    }

    for (const PayloadRow &row : kPayloadTable) {
        const std::string stored = temp + row.intermediateName;
        const std::string unpacked = temp + row.finalName;
        ExtractResource(row.resourceId, stored);
        auto decoder = std::make_unique<lzari::LzariDecoder>();
        lzari::DecodeResult result = decoder->decodeFile(stored, unpacked, modeFor(row.finalName));
        switch (result) {
        case lzari::DecodeResult::Done: break;
        case lzari::DecodeResult::CannotOpen:
            // As the original: the row is skipped and an earlier run's file, if
            // any, stays (the login program may still be running from it).
            std::fprintf(err,
                         "Latchkin: %s was not unpacked (%s could not be opened or %s not "
                         "created).\n",
                         row.finalName, stored.c_str(), unpacked.c_str());
            break;
        case lzari::DecodeResult::ReadError: std::fprintf(err, "%s\n", lzari::describe(result)); return 1;
        case lzari::DecodeResult::WriteError:
            // Starting a program from a half-written file would run damaged code.
            std::fprintf(err,
                         "Latchkin: %s could not be written completely; nothing was "
                         "started.\n",
                         unpacked.c_str());
            return 1;
        }
    }
    ExtractResource(kSettingsId, temp + kSettingsName);

    const std::string program = temp + kLoginProgramName;
    if (!host::startLoginProgram(program, driveRoot))
        std::fprintf(err, "Latchkin: %s could not be started.\n", program.c_str());
    return 0;
}

} // namespace latchkin
