// A folder of its own for one run of the probe host: the host program, a copy of
// Quendal.dll and one stand-in transport as SCSI.dll (or a file that is not a
// library), put together the way an installation puts them, and run as a
// separate process so that every run starts from a library loaded afresh.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "QuendalLib.h"
#include "TestProcess.h"

namespace probe {

namespace fs = std::filesystem;

struct Run {
    int exitCode = -1;
    std::string output;
    std::vector<std::string> results; // the value printed for each call, in order
};

// Where the probe host and the stand-ins were built (the test program itself
// may run from a copy in another folder).
inline fs::path probeDirectory() {
#ifdef QUENDAL_PROBE_DIR
    return QUENDAL_PROBE_DIR;
#else
    return testsupport::programDirectory();
#endif
}

class Rig {
public:
    static inline const std::string kHost = std::string("quendal_probe_host") + testsupport::kExeSuffix;

    // transport: a stand-in variant ("full", "no_ReadScsi", ...), "junk" for a
    // text file named SCSI.dll, or "" for no SCSI.dll beside the host.
    explicit Rig(const std::string &transport) {
        fs::path bin = probeDirectory();
        fs::copy_file(bin / kHost, dir_.path / kHost);
        fs::copy_file(fs::path(testsupport::programDirectory()) / "Quendal.dll", dir_.path / "Quendal.dll");
#ifndef _WIN32
        keepToItsOwnFolder(dir_.path / "Quendal.dll");
#endif
        if (transport == "junk") {
            std::ofstream(dir_.path / "SCSI.dll") << "not a shared library\n";
        } else if (!transport.empty()) {
            fs::copy_file(bin / "fakes" / ("scsi_" + transport + ".dll"), dir_.path / "SCSI.dll");
        }
        env_["FAKE_SCSI_LOG"] = logPath();
    }

    std::string folder() const { return dir_.str(); }
    std::string logPath() const { return (dir_.path / "transport.log").string(); }
    void setEnv(const std::string &name, const std::string &value) { env_[name] = value; }

    // A 512-byte answer of the stand-in's ReadDisk at one address.
    void setSector(uint32_t address, const std::vector<uint8_t> &bytes) {
        fs::path sectors = dir_.path / "sectors";
        fs::create_directories(sectors);
        char name[16];
        std::snprintf(name, sizeof name, "%08x", address);
        std::vector<uint8_t> sector(bytes);
        sector.resize(512);
        std::ofstream(sectors / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(sector.data()), std::streamsize(sector.size()));
        env_["FAKE_SCSI_SECTORS"] = sectors.string();
    }

    // Runs the host with the given calls; quendalFolder loads Quendal.dll from
    // elsewhere than beside the host.
    Run run(const std::vector<std::string> &calls, const std::string &quendalFolder = "") const {
        std::vector<std::string> args;
        if (!quendalFolder.empty()) args.push_back("--quendal=" + quendalFolder);
        args.insert(args.end(), calls.begin(), calls.end());
        testsupport::ProcessOptions options;
        options.env.assign(env_.begin(), env_.end());
        options.workingDirectory = folder();

        Run run;
        const testsupport::ProcessResult r = testsupport::runProcess((dir_.path / kHost).string(), args, options);
        run.output = r.output;
        run.exitCode = r.exitCode;

        // Marks print nothing; every other call prints "<call>=<result>".
        std::vector<std::string> printing;
        for (const auto &c : calls)
            if (c.rfind("Mark:", 0) != 0) printing.push_back(c);
        std::istringstream lines(run.output);
        std::string line;
        size_t next = 0;
        while (std::getline(lines, line)) {
            size_t eq = line.rfind('=');
            if (next < printing.size() && eq != std::string::npos && line.substr(0, eq) == printing[next]) {
                run.results.push_back(line.substr(eq + 1));
                ++next;
            }
        }
        return run;
    }

    // The stand-in's record of the calls it received, one per line.
    std::vector<std::string> log() const {
        std::vector<std::string> lines;
        std::ifstream in(logPath());
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }

    // The log lines between "-- from" and the next mark (or the end).
    std::vector<std::string> logSection(const std::string &from) const {
        std::vector<std::string> section;
        bool inside = false;
        for (const auto &line : log()) {
            if (line.rfind("-- ", 0) == 0) {
                inside = line == "-- " + from;
                continue;
            }
            if (inside) section.push_back(line);
        }
        return section;
    }

private:
#ifndef _WIN32
    // A library built in the build tree also looks for SCSI.dll in the build's
    // output folder after its own. The copy is cut back to its own folder (the
    // run path "$ORIGIN:<build folder>" ends after "$ORIGIN"), so that it meets
    // only the transport put beside it, as an installed copy would.
    static void keepToItsOwnFolder(const fs::path &library) {
        std::fstream file(library, std::ios::in | std::ios::out | std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const std::string origin = "$ORIGIN:";
        size_t at = bytes.find(origin);
        if (at == std::string::npos) return;
        file.clear();
        file.seekp(std::streamoff(at + origin.size() - 1));
        file.put('\0');
    }
#endif

    testsupport::TempDir dir_;
    std::map<std::string, std::string> env_;
};

inline std::vector<std::string> values(std::initializer_list<const char *> list) {
    return std::vector<std::string>(list.begin(), list.end());
}

} // namespace probe
