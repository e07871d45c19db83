// The launcher's one run, start to end.
#include "Launcher.h"

#include <memory>
#include <string>

#include "LauncherHost.h"
#include "LzariDecoder.h"
#include "MemoryStreams.h"
#include "Payload.h"
#include "PayloadTable.h"
#include "PrivateFile.h"

namespace latchkin {

namespace {

// The sizes of the original's fixed buffers, NUL included. A text that does not
// fit is not cut: the run stops before anything is written or started, since a
// cut path would name some other file.
constexpr size_t kCurrentDirBuffer = 100;
constexpr size_t kTempDirBuffer = 200;
constexpr size_t kPathBuffer = 200;

// Each row is decoded into its final name plus this, beside it, and renamed
// into place whole: a login program still running from an earlier start keeps
// the files it runs from and the libraries it loaded unchanged.
constexpr char kFreshSuffix[] = ".new";

bool endsWith(const char *name, const char *suffix) {
    std::string n(name), s(suffix);
    return n.size() >= s.size() && n.compare(n.size() - s.size(), s.size(), s) == 0;
}

// The program and the libraries must be executable/mappable; the rest is data.
unsigned modeFor(const char *finalName) {
    return endsWith(finalName, ".exe") || endsWith(finalName, ".dll") ? 0700 : 0600;
}

// Puts a freshly decoded file in place of the earlier one. Windows refuses
// while the earlier file is loaded by a login program still running from it:
// that copy serves when it is byte for byte the one carried, and otherwise the
// user is told how to get the right one in.
bool placeFile(const std::string &fresh, const std::string &unpacked, std::FILE *err) {
    if (lzari::replaceWith(fresh, unpacked)) return true;
    const bool same = lzari::sameContent(fresh, unpacked);
    lzari::removeName(fresh);
    if (same) return true;
    std::fprintf(err,
                 "Latchkin: %s is in use, most likely by a login program started earlier that is still running, "
                 "and it is not the one this launcher carries. Close that login program and start again.\n",
                 unpacked.c_str());
    return false;
}

// True when the file at path is, byte for byte, the login program this
// launcher carries, decoded from its own resource rather than from anything
// in the temporary folder.
bool isCarriedLoginProgram(const std::string &path) {
    const auto stored = findResource(kLoginProgramId);
    if (!stored) return false;
    lzari::MemoryInput in(*stored);
    lzari::VectorOutput out;
    auto decoder = std::make_unique<lzari::LzariDecoder>();
    return decoder->decode(in, out) == lzari::DecodeResult::Done && lzari::fileHolds(path, out.bytes);
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
        const std::string fresh = std::string(row.finalName) + kFreshSuffix;
        for (const char *name : {row.intermediateName, row.finalName, fresh.c_str()}) {
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

    bool allInPlace = true;
    for (const PayloadRow &row : kPayloadTable) {
        const std::string stored = temp + row.intermediateName;
        const std::string unpacked = temp + row.finalName;
        const std::string fresh = unpacked + kFreshSuffix;
        ExtractResource(row.resourceId, stored);
        lzari::removeName(fresh);
        auto decoder = std::make_unique<lzari::LzariDecoder>();
        lzari::DecodeResult result = decoder->decodeFile(stored, fresh, modeFor(row.finalName));
        switch (result) {
        case lzari::DecodeResult::Done:
            if (!placeFile(fresh, unpacked, err)) allInPlace = false;
            break;
        case lzari::DecodeResult::CannotOpen:
            // As the original: the row is skipped and an earlier run's file, if
            // any, stays. The login program is started below only when its file
            // is the one carried.
            lzari::removeName(fresh);
            std::fprintf(err,
                         "Latchkin: %s was not unpacked (%s could not be opened or %s not "
                         "created).\n",
                         row.finalName, stored.c_str(), fresh.c_str());
            break;
        case lzari::DecodeResult::ReadError:
            // The output exists and is empty, as the original leaves it.
            placeFile(fresh, unpacked, err);
            std::fprintf(err, "%s\n", lzari::describe(result));
            return 1;
        case lzari::DecodeResult::WriteError:
            // A half-written file never takes the place of a whole one.
            lzari::removeName(fresh);
            std::fprintf(err,
                         "Latchkin: %s could not be written completely; nothing was "
                         "started.\n",
                         unpacked.c_str());
            return 1;
        }
    }
    ExtractResource(kSettingsId, temp + kSettingsName);

    const std::string program = temp + kLoginProgramName;
    if (!allInPlace) {
        std::fprintf(err, "Latchkin: %s was not started.\n", program.c_str());
        return 1;
    }
    if (!isCarriedLoginProgram(program)) {
        std::fprintf(err,
                     "Latchkin: %s is not the login program this launcher carries (it could not be unpacked "
                     "over what was there); it was not started.\n",
                     program.c_str());
        return 1;
    }
    if (!host::startLoginProgram(program, driveRoot))
        std::fprintf(err, "Latchkin: %s could not be started.\n", program.c_str());
    return 0;
}

} // namespace latchkin
