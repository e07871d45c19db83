// quendal check: the disk shown whole through QuendalRecovery.dll, every
// sector read (and first written, with --destructive) through the library's
// READ(10)/WRITE(10) exports, and the verdict told as text or JSON, as an exit
// code and, when asked, as a plot.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>

#include "Commands.h"
#include "DiskCheck.h"
#include "DiskChoice.h"
#include "ExitCodes.h"
#include "QuendalRecovery.h"
#include "Session.h"
#include "SpeedPlot.h"
#include "TableCommands.h"
#include "Terminal.h"
#include "file_io.h"

#if defined(__linux__)
#include "SystemOps.h"
#endif

namespace cli {

namespace {

using E = TDiskControl::Export;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSectorsPerMByte = 2048;
// Bad sectors named one by one in the text report; the rest are counted.
constexpr size_t kNamedRanges = 20;
// The bar is redrawn at most this often, so that drawing costs the disk nothing.
constexpr double kRedrawSeconds = 0.2;

// The disk through the library's exports, whatever SCSI.dll's back end is.
class LibraryDisk final : public CheckedDisk {
public:
    explicit LibraryDisk(TDiskControl &dll) : dll_(dll) {}
    bool read(uint32_t first, uint32_t count, uint8_t *out) override {
        return dll_.ReadFlashDisk(first, count, out) != 0;
    }
    bool write(uint32_t first, uint32_t count, const uint8_t *in) override {
        return dll_.WriteFlashDisk(first, count, in) != 0;
    }
    bool answers() override {
        uint8_t info[512];
        return dll_.GetFlashDiskInfo(info) != 0;
    }

private:
    TDiskControl &dll_;
};

std::string duration(double seconds) {
    const long s = long(seconds + 0.5);
    char b[32];
    if (s >= 3600)
        std::snprintf(b, sizeof b, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(b, sizeof b, "%ld:%02ld", s / 60, s % 60);
    return b;
}

// The bar with the speed of the last moments and the time the whole check
// still needs at the speed it has had so far.
class CheckBar {
public:
    explicit CheckBar(FILE *out) : bar_(out), start_(Clock::now()), last_(start_) {}
    void operator()(const char *phase, uint64_t done, uint64_t total) {
        const auto now = Clock::now();
        const double sinceLast = std::chrono::duration<double>(now - last_).count();
        if (phase == phase_ && sinceLast < kRedrawSeconds && done < total) return;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        std::string detail;
        if (phase == phase_ && sinceLast > 0) {
            char b[64];
            std::snprintf(b, sizeof b, "%.1f MB/s", double(done - lastDone_) * 512 / 1e6 / sinceLast);
            detail = b;
        }
        if (done > 0 && done < total)
            detail += (detail.empty() ? "" : ", ") + duration(elapsed * double(total - done) / double(done)) + " left";
        bar_.update(int(done * 100 / total), phase, detail);
        phase_ = phase;
        last_ = now;
        lastDone_ = done;
    }
    void finish() { bar_.finish(); }

private:
    ProgressBar bar_;
    Clock::time_point start_, last_;
    std::string phase_;
    uint64_t lastDone_ = 0;
};

// Ctrl-C ends the check after the command under way, so that a read-only
// check still gives the disk its own layout back.
volatile std::sig_atomic_t gStopAsked = 0;
extern "C" void askToStop(int) { gStopAsked = 1; }

class StopOnInterrupt {
public:
    StopOnInterrupt() {
        gStopAsked = 0;
        previous_ = std::signal(SIGINT, askToStop);
    }
    ~StopOnInterrupt() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }
    StopOnInterrupt(const StopOnInterrupt &) = delete;
    StopOnInterrupt &operator=(const StopOnInterrupt &) = delete;

private:
    void (*previous_)(int);
};

std::string stopText(const CheckResult &r) {
    return (r.cutOff ? "the check was cut off at sector " : "the disk stopped answering at sector ") +
           std::to_string(r.stoppedAt);
}

const char *verdictText(int code) {
    switch (code) {
    case kExitOk: return "sound";
    case kExitFakeCapacity: return "fake capacity";
    case kExitBadSectors: return "bad sectors";
    default: return "could not test";
    }
}

int verdictOf(const CheckResult &r) {
    if (!r.finished) return kExitNotTested;
    if (r.realSectors) return kExitFakeCapacity;
    return r.bad.empty() ? kExitOk : kExitBadSectors;
}

std::string rangeText(const FlawRange &f) {
    std::string s = std::to_string(f.first);
    if (f.count > 1) s += "-" + std::to_string(f.first + f.count - 1);
    return s + " (" + flawName(f.flaw) + ")";
}

std::string speedText(const PassResult &p) {
    char b[96];
    std::snprintf(b, sizeof b, "%.1f MB/s (%.1f MB in %.1f s)", p.megabytesPerSecond(), double(p.sectors) * 512 / 1e6,
                  p.seconds);
    return b;
}

void printText(const CheckResult &r, int verdict, const std::string &plot) {
    if (r.write.ran) std::printf("Write speed:     %s\n", speedText(r.write).c_str());
    if (r.read.ran) std::printf("Read speed:      %s\n", speedText(r.read).c_str());
    if (!r.finished) {
        std::printf("Stopped:         %s\n", stopText(r).c_str());
    } else if (r.destructive) {
        if (r.realSectors)
            std::printf("Real capacity:   %u sectors (%uMByte) of the %u the disk reports. From sector %u on,\n"
                        "                 what is written lands on flash that lower addresses use, or is lost.\n",
                        *r.realSectors, *r.realSectors / kSectorsPerMByte, r.sectors, *r.realSectors);
        else
            std::printf("Real capacity:   all %u sectors hold their own data\n", r.sectors);
    }
    if (r.finished || !r.bad.empty()) {
        std::string list;
        for (size_t i = 0; i < r.bad.size() && i < kNamedRanges; ++i)
            list += (list.empty() ? "" : ", ") + rangeText(r.bad[i]);
        if (r.bad.size() > kNamedRanges) list += ", and more";
        std::printf("Bad sectors:     %s\n",
                    r.bad.empty() ? "none" : (std::to_string(r.badCount()) + ": " + list).c_str());
    }
    if (!plot.empty()) std::printf("Plot:            %s\n", plot.c_str());
    std::printf("Result:          %s\n", verdictText(verdict));
}

void printJson(const CheckResult &r, int verdict, const std::string &plot) {
    auto pass = [](const PassResult &p) {
        char b[160];
        std::snprintf(b, sizeof b, "{\"megabytes_per_second\": %.2f, \"seconds\": %.3f, \"sectors\": %llu}",
                      p.megabytesPerSecond(), p.seconds, static_cast<unsigned long long>(p.sectors));
        return std::string(b);
    };
    std::printf("{\"device\": %s, \"mode\": \"%s\", \"sectors\": %u, \"result\": \"%s\", \"finished\": %s",
                jsonText(deviceDescription()).c_str(), r.destructive ? "destructive" : "read-only", r.sectors,
                verdictText(verdict), r.finished ? "true" : "false");
    if (!r.finished) std::printf(", \"stopped_at\": %u, \"cut_off\": %s", r.stoppedAt, r.cutOff ? "true" : "false");
    if (r.destructive && r.finished) {
        if (r.realSectors)
            std::printf(", \"real_sectors\": %u", *r.realSectors);
        else
            std::printf(", \"real_sectors\": %u", r.sectors);
    }
    std::printf(", \"bad_sector_count\": %llu, \"bad_sectors\": [", static_cast<unsigned long long>(r.badCount()));
    for (size_t i = 0; i < r.bad.size(); ++i)
        std::printf("%s{\"first\": %u, \"count\": %u, \"kind\": \"%s\"}", i ? ", " : "", r.bad[i].first, r.bad[i].count,
                    flawName(r.bad[i].flaw));
    std::printf("]");
    if (r.write.ran) std::printf(", \"write\": %s", pass(r.write).c_str());
    if (r.read.ran) std::printf(", \"read\": %s", pass(r.read).c_str());
    std::printf(", \"plot\": %s}\n", plot.empty() ? "null" : jsonText(plot).c_str());
}

std::string plotTitle(const CheckResult &r, int verdict) {
    std::string t = std::string(r.destructive ? "Destructive" : "Read-only") + " check of " + deviceDescription() +
                    ": " + verdictText(verdict);
    return t;
}

bool isPng(const std::string &file) {
    if (file.size() < 4) return false;
    std::string end = file.substr(file.size() - 4);
    for (char &c : end) c = char(std::tolower(static_cast<unsigned char>(c)));
    return end == ".png";
}

// Writes the plot and gives the file written, or nothing after saying why. A
// PNG is drawn from the SVG, kept beside it, by rsvg-convert (Debian's
// librsvg2-bin), found at run time so that quendal needs no drawing library;
// without it the SVG is what the user gets.
std::string writePlot(const std::string &file, const std::string &svg) {
    const bool png = isPng(file);
    const std::string svgFile = png ? file.substr(0, file.size() - 4) + ".svg" : file;
    if (!fileio::writeFileAtomic(svgFile, svg)) {
        std::fprintf(stderr,
                     "quendal: the plot could not be written to %s. Name a file in a folder you can write to.\n",
                     svgFile.c_str());
        return {};
    }
    if (!png) return svgFile;
#if defined(__linux__)
    std::string output;
    const int rc = passthrough::linuxSystem().runProgram({"rsvg-convert", "-o", file, svgFile}, &output);
    if (rc == 0) return file;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    if (rc == 127)
        std::fprintf(stderr,
                     "quendal: the PNG is drawn by rsvg-convert, which is missing: install it (Debian package "
                     "librsvg2-bin). The plot is in %s.\n",
                     svgFile.c_str());
    else
        std::fprintf(stderr, "quendal: rsvg-convert could not draw %s (%s). The plot is in %s.\n", file.c_str(),
                     output.c_str(), svgFile.c_str());
#else
    std::fprintf(stderr, "quendal: a PNG is drawn by rsvg-convert on Linux only. The plot is in %s.\n",
                 svgFile.c_str());
#endif
    return svgFile;
}

uint64_t freshSeed() {
    std::random_device device;
    const uint64_t now = uint64_t(Clock::now().time_since_epoch().count());
    return (uint64_t(device()) << 32 ^ device()) ^ now;
}

// The check up to its verdict; any code but a verdict or a usage error means
// it could not be made.
int check(const Args &args) {
    Parsed p = parseOptions(args, {"--plot"}, {"--destructive", "--yes", "--json"});
    if (!p.error.empty()) return usage("check", p.error);
    if (!p.positional.empty()) return usage("check", "unexpected argument " + p.positional[0]);
    const bool destructive = p.flags["--destructive"], json = p.flags["--json"];
    const std::string plot = p.values.count("--plot") ? p.values["--plot"] : std::string();
    if (p.values.count("--plot") && plot.empty()) return usage("check", "--plot needs a file name");

    Session s;
    if (int rc = s.bind({E::ReadFlashDisk, E::WriteFlashDisk, E::GetFlashDiskInfo, E::ResetDisk, E::HaveCfgTbl},
                        libraryForRewrite(true)))
        return rc;
    auto wholeDisk = recoveryExport<decltype(&::RecoveryWholeDiskLayout)>(s, "RecoveryWholeDiskLayout");
    if (!wholeDisk)
        return fail(kExitNotInstalled, "QuendalRecovery.dll lacks RecoveryWholeDiskLayout", "install a complete one");
    // Both kinds send the whole-disk table and a reset: commands that change
    // what the disk shows, for one chosen disk only.
    if (int rc = chooseDisk(true)) return rc;
    if (int rc = s.open()) return rc;
    if (!s.dll().HaveCfgTbl())
        return fail(kExitNoDisk, "None Flash Disk detect.", "plug in the flash disk and try again");
    if (s.view().kind == TableView::Kind::Maker)
        return fail(kExitWrongState, "this disk carries a maker table, which quendal neither lays out nor checks",
                    "nothing was changed");
    if (destructive) {
        const EraseWords words = {"a destructive check", "wipe and check",
                                  "The check writes over every sector of every area; the disk must be "
                                  "formatted afterwards ('quendal format')."};
        if (int rc = confirmErase(s, p.flags["--yes"], words)) return rc;
    }
    FILE *out = json ? stderr : stdout;
    // The disk is shown whole while it is checked; a mounted volume would
    // stand on a layout that is gone, and the transport refuses it.
    const auto mounted = mountedVolumes();
    if (int rc = unmountVolumes()) return rc;
    for (const std::string &m : mounted) std::fprintf(out, "Unmounted for the check: %s\n", m.c_str());

    const int32_t codeBefore = s.errorCode();
    const uint32_t sectors = uint32_t(std::max<int32_t>(wholeDisk(destructive ? 1 : 0), 0));
    if (sectors == 0) {
        const int32_t code = s.errorCode();
        if (int rc = code != codeBefore ? rewriteRefused(code, "the check") : -1; rc >= 0) return rc;
        return fail(kExitDeviceFailure,
                    "the disk cannot be shown whole for the check" +
                        (code != codeBefore ? std::string(" (") + errorCodeText(code) + ")" : std::string()),
                    "nothing was written; replug the flash disk and try again");
    }
    std::fprintf(out, "Checking %s: %u sectors (%uMByte), every sector of every area; %s\n",
                 deviceDescription().c_str(), sectors, sectors / kSectorsPerMByte,
                 destructive ? "writing a pattern over all of it, then reading it back."
                             : "reading only, nothing is written.");
    if (destructive) std::fprintf(out, "The disk's table was saved on this computer first ('quendal table list').\n");
    std::fflush(out);

    LibraryDisk disk(s.dll());
    CheckBar bar(out);
    CheckResult result;
    {
        StopOnInterrupt interrupt;
        result =
            runCheck(disk, sectors, destructive, freshSeed(), [&](const char *phase, uint64_t done, uint64_t total) {
                bar(phase, done, total);
                return gStopAsked == 0;
            });
    }
    bar.finish();
    const int verdict = verdictOf(result);

    const std::string plotWritten =
        plot.empty() ? plot : writePlot(plot, speedPlotSvg(result, plotTitle(result, verdict)));
    if (json)
        printJson(result, verdict, plotWritten);
    else
        printText(result, verdict, plotWritten);

    if (!destructive) {
        // The device takes its own layout again only when it restarts.
        if (s.dll().ResetDisk())
            std::fprintf(out, "The disk was reset: its own layout is back, and a secure area is logged out.\n");
        else
            std::fprintf(out, "The disk could not be reset: replug it to get its own layout back. Nothing on it "
                              "was changed.\n");
    } else if (result.finished || result.write.sectors > 0) {
        std::fprintf(out, "Every area was written over: format the disk before use ('quendal format').\n");
    }
    if (result.cutOff) return fail(kExitNotTested, stopText(result), "run it again to check the whole disk");
    if (!result.finished)
        return fail(kExitNotTested, stopText(result),
                    "replug it and check again; a disk that keeps stopping is not to be trusted");
    return verdict;
}

} // namespace

int cmdCheck(const Args &args) {
    const int rc = check(args);
    switch (rc) {
    case kExitOk:
    case kExitUsage:
    case kExitFakeCapacity:
    case kExitBadSectors: return rc;
    default: return kExitNotTested;
    }
}

const char *checkHelp() {
    return R"(Usage: quendal check [--destructive [--yes]] [--json] [--plot FILE]

Checks the flash disk: reads every sector of every area (the secure area too,
without showing it) in commands of up to 128 sectors, and reports unreadable
sectors and the read speed along the disk. For this the disk is shown as one
volume over all of it until the check ends: its mounted volumes are unmounted
first, and it is reset afterwards, which brings its own layout back and logs a
secure area out. Nothing on the disk is changed.

With --destructive it first writes a pseudo-random pattern over every sector,
each sector naming its own address, then reads it back, and reports the real
capacity (the first address whose data turns out to be another's, as on a
counterfeit disk whose flash is smaller than it claims), bad sectors, and the
write and read speed. EVERY AREA IS LOST, the secure area with it: it asks
first (type yes), and --yes skips the question for scripts. The disk's table
is saved on this computer before (see 'quendal table'); afterwards the disk
stays shown whole and must be formatted ('quendal format').

Options:
  --destructive   write, then read back (all data is lost)
  --yes           with --destructive: do not ask
  --json          print the result as one JSON object (device, mode, sectors,
                  result, finished, stopped_at, cut_off, real_sectors,
                  bad_sector_count, bad_sectors [{first, count, kind}],
                  write and read {megabytes_per_second, seconds, sectors},
                  plot) on standard output; messages and progress go to
                  standard error
  --plot FILE     write an SVG picture of read and write speed against the
                  position on the disk, bad sectors and the real capacity
                  marked; FILE ending in .png: also a PNG, drawn from the SVG
                  (kept beside it) by rsvg-convert (Debian librsvg2-bin)

On a terminal a bar shows the speed and the time left. Ctrl-C stops the check
after the command under way (exit code 10); a read-only check still gives the
disk its own layout back.

Exit codes:
  0   sound: every sector read (and held its own data)
  8   fake capacity: the flash holds less than the disk reports
  9   bad sectors: some sectors cannot be read, written or keep no data
  10  could not test: no disk, the disk in use or stopped answering, a
      library missing, ...; the message says which
  2   bad command line, or the destructive check not confirmed
)";
}

} // namespace cli
