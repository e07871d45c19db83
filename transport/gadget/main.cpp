// flashdisk-gadget: serves an emulated flash disk (a folder made with
// `quendal emulate`) to the Linux kernel as a USB mass-storage device, through
// the USB gadget framework: a configfs gadget with one FunctionFS function that
// speaks the Bulk-Only Transport, bound to a USB device controller (dummy_udc
// in the test machine, where the kernel's own usb-storage, sd and sg drivers
// then sit between our pass-through and the device model).
//
//   flashdisk-gadget --disk DIR [--udc UDC] [--name NAME] [--ready-file FILE] [--verbose]
//
// Plugging the disk in starts its controller afresh. SIGHUP pulls the disk out
// and plugs it in again; SIGTERM or SIGINT unplugs it and takes down all this
// program made. One thread answers the control endpoint, one serves the bulk
// endpoints; the main thread only waits for signals.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "BulkOnly.h"
#include "ConfigFs.h"
#include "EmulatorBackend.h"
#include "FlashEmulator.h"
#include "FunctionFs.h"
#include "Md5.h"
#include "ScsiTarget.h"

namespace {

// The Linux Foundation's id for a composite gadget, which the kernel's own
// gadget examples use; usb-storage binds by the interface class, not the id.
constexpr uint16_t kVendorId = 0x1D6B, kProductId = 0x0104;
// Interrupts a thread's blocking endpoint I/O (its handler does nothing).
constexpr int kInterruptSignal = SIGUSR1;
// The bulk thread asks the main thread to enumerate the device afresh.
constexpr int kReenumerateSignal = SIGUSR2;

const char kUsage[] = "usage: flashdisk-gadget --disk DIR [--udc UDC] [--name NAME] [--ready-file FILE] [--verbose]\n"
                      "\n"
                      "Serves the emulated flash disk in DIR (made with `quendal emulate DIR --sectors N`)\n"
                      "as a USB flash disk through the kernel's USB gadget framework (configfs and\n"
                      "FunctionFS; needs root and the modules libcomposite and usb_f_fs).\n"
                      "\n"
                      "  --disk DIR         the emulated disk folder\n"
                      "  --udc UDC          the USB device controller to bind (default: the first in\n"
                      "                     /sys/class/udc, e.g. dummy_udc.0)\n"
                      "  --name NAME        the gadget's name in configfs; FunctionFS is mounted at\n"
                      "                     /dev/ffs-NAME (default: flashdisk)\n"
                      "  --ready-file FILE  written once the gadget is bound; removed at the end\n"
                      "  --verbose          log each command block wrapper and control event\n"
                      "\n"
                      "SIGHUP unplugs the disk and plugs it in again; SIGTERM or SIGINT ends.\n";

struct Options {
    std::string disk, udc, name = "flashdisk", readyFile;
    bool verbose = false;
};

void say(const std::string &text) { std::fprintf(stderr, "flashdisk-gadget: %s\n", text.c_str()); }

bool validName(const std::string &name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return false;
    return name != "." && name != "..";
}

// 0 when the options are usable; otherwise the exit code (0 for --help).
int parse(int argc, char **argv, Options *o, bool *help) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string *into) {
            if (i + 1 >= argc) return false;
            *into = argv[++i];
            return true;
        };
        bool ok = true;
        if (a == "--disk")
            ok = value(&o->disk);
        else if (a == "--udc")
            ok = value(&o->udc);
        else if (a == "--name")
            ok = value(&o->name);
        else if (a == "--ready-file")
            ok = value(&o->readyFile);
        else if (a == "--verbose")
            o->verbose = true;
        else if (a == "--help" || a == "-h")
            *help = true;
        else {
            say("unknown option " + a + "\n" + kUsage);
            return 2;
        }
        if (!ok) {
            say(a + " needs a value\n" + kUsage);
            return 2;
        }
    }
    if (*help) return 0;
    if (o->disk.empty()) {
        say(std::string("--disk DIR is required\n") + kUsage);
        return 2;
    }
    if (!validName(o->name)) {
        say("--name takes letters, digits, '_', '-' and '.' only");
        return 2;
    }
    return 0;
}

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// A serial number of its own for each disk folder, the same every time.
std::string serialOf(const std::string &dir) {
    std::error_code ec;
    std::string path = std::filesystem::weakly_canonical(dir, ec).string();
    if (ec) path = dir;
    auto d = flashemu::md5(reinterpret_cast<const uint8_t *>(path.data()), path.size());
    char out[13];
    for (int i = 0; i < 6; ++i) std::snprintf(out + 2 * i, 3, "%02X", d[i]);
    return out;
}

// "2.00" -> 0x0200: the revision as the device release, in binary-coded decimal.
uint16_t releaseOf(const std::string &revision) {
    unsigned major = 0, minor = 0;
    if (std::sscanf(revision.c_str(), "%u.%2u", &major, &minor) < 1 || major > 99) return 0x0100;
    return uint16_t(((major / 10) << 12) | ((major % 10) << 8) | ((minor / 10) << 4) | (minor % 10));
}

bool writeReadyFile(const std::string &path, const std::string &udc) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = std::fprintf(f, "%s\n", udc.c_str()) > 0;
    return std::fclose(f) == 0 && ok;
}

// A thread whose blocking endpoint I/O can be interrupted until it has taken
// notice: the signal may land between two calls and be missed, so it is sent
// again until done() says so or the limit passes.
bool interruptUntil(std::thread &t, const std::function<bool()> &done,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        pthread_kill(t.native_handle(), kInterruptSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    bool help = false;
    if (int rc = parse(argc, argv, &o, &help); rc || help) {
        if (help) std::fputs(kUsage, stdout);
        return rc;
    }
    if (!flashemu::isDisk(o.disk)) {
        say(o.disk + " is not an emulated disk folder: make one with `quendal emulate " + o.disk + " --sectors N`");
        return 2;
    }
    if (geteuid() != 0) {
        say("needs root: it makes a USB gadget in configfs and mounts FunctionFS");
        return 1;
    }
    if (o.udc.empty()) o.udc = gadget::ConfigFsGadget::firstController();
    if (o.udc.empty()) {
        say("no USB device controller in /sys/class/udc: load one (modprobe dummy_hcd) or name it with --udc");
        return 1;
    }

    // Every thread keeps these for the main thread's sigwait; the interrupt
    // signal gets a handler without SA_RESTART so that blocked I/O returns EINTR.
    sigset_t waited;
    sigemptyset(&waited);
    for (int s : {SIGTERM, SIGINT, SIGHUP, kReenumerateSignal}) sigaddset(&waited, s);
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sigaction(kInterruptSignal, &sa, nullptr);

    // Plugging the disk in powers its controller up afresh.
    if (!flashemu::replug(o.disk)) {
        say("cannot start the emulated disk in " + o.disk);
        return 1;
    }
    auto disk = flashemu::makeEmulatedDisk(o.disk);
    flashemu::Identity id;
    if (!disk->identity(&id)) {
        say("cannot read the identity of the disk in " + o.disk);
        return 1;
    }
    if (int r = disk->open(nullptr); r != 0)
        say(r == 2 ? "the disk was made to refuse raw access: its vendor commands will fail (make it without "
                     "--refuse-raw)"
                   : "the disk is set to be absent: it will show no medium");

    const std::string serial = serialOf(o.disk);
    gadget::ScsiTarget target(*disk, serial);
    gadget::ConfigFsGadget usb;
    gadget::GadgetIdentity gid{kVendorId,          kProductId,          releaseOf(trimmed(id.revision)),
                               trimmed(id.vendor), trimmed(id.product), serial};
    std::string error;
    if (!usb.create(o.name, gid, &error)) {
        say(error);
        return 1;
    }
    gadget::FunctionFs ffs;
    if (!ffs.open(usb.mountPoint(), &error)) {
        say(error);
        ffs.close();
        return 1;
    }

    auto log = [&](const std::string &line) {
        if (o.verbose) say(line);
    };
    gadget::BulkOnlyServer bot(ffs, target, log);
    bot.onReenumerate([] { kill(getpid(), kReenumerateSignal); });

    std::atomic<bool> bulkDone{false}, controlDone{false}, stopping{false};
    int bulkError = 0;
    std::thread bulk([&] {
        bulkError = bot.serve();
        if (bulkError) say(std::string("bulk endpoints: ") + std::strerror(bulkError));
        bulkDone = true;
    });
    gadget::FunctionFs::Events events;
    events.enable = [&] { bot.powerOn(); };
    // The command at hand is dropped: a transfer of it still waiting for the
    // endpoints would go out once they are enabled again, and the host would
    // take the old command's status for its next command's data.
    auto dropCommand = [&] {
        const uint64_t ticket = bot.reset();
        if (!interruptUntil(bulk, [&] { return bot.resetsTaken() >= ticket || bulkDone; }))
            say("the bulk endpoints did not take the reset in time");
    };
    // A Bulk-Only Mass Storage Reset: before its status stage tells the host
    // that the device is ready for its next command block. Unconfigured by a
    // port reset: before the host configures the device again.
    events.reset = dropCommand;
    events.disable = dropCommand;
    std::mutex unbindMutex;
    std::condition_variable unbindSeen;
    uint64_t unbinds = 0;
    events.unbound = [&] {
        std::lock_guard<std::mutex> hold(unbindMutex);
        ++unbinds;
        unbindSeen.notify_all();
    };
    events.log = log;
    std::thread control([&] {
        ffs.serveControl(events, [&] { return stopping.load(); });
        controlDone = true;
    });

    int rc = 0;
    if (!usb.bind(o.udc, &error)) {
        say(error);
        rc = 1;
    } else if (!o.readyFile.empty() && !writeReadyFile(o.readyFile, o.udc)) {
        say("cannot write " + o.readyFile + ": " + std::strerror(errno));
        rc = 1;
    } else {
        say("serving " + o.disk + " on " + o.udc + " as " + trimmed(id.vendor) + " " + trimmed(id.product) +
            ", serial " + serial);
    }
    while (rc == 0) {
        int sig = 0;
        if (sigwait(&waited, &sig) != 0) continue;
        if (sig == SIGTERM || sig == SIGINT) break;
        // Pulled out and plugged in again; a new peripheral type needs only
        // the new enumeration, a replug also restarts the controller.
        say(sig == SIGHUP ? "unplugging and plugging in again" : "enumerating again for the new peripheral type");
        uint64_t unbindsBefore;
        {
            std::lock_guard<std::mutex> hold(unbindMutex);
            unbindsBefore = unbinds;
        }
        if (!usb.unbind(&error)) say(error);
        log("unplugged");
        // The old host's events (an unconfiguration may or may not come) are
        // handled before the next host is let in, and whatever command the
        // old host left is dropped here: a block that came in just before
        // the unplug, or its status waiting for the endpoints.
        {
            std::unique_lock<std::mutex> hold(unbindMutex);
            if (!unbindSeen.wait_for(hold, std::chrono::seconds(5), [&] { return unbinds != unbindsBefore; }))
                say("FunctionFS did not report the unplug in time");
        }
        dropCommand();
        if (sig == SIGHUP && !flashemu::replug(o.disk)) say("cannot restart the emulated disk in " + o.disk);
        if (!usb.bind(o.udc, &error)) say(error);
        log("plugged in");
    }

    if (!usb.unbind(&error)) say(error);
    stopping = true;
    bot.stop();
    interruptUntil(bulk, [&] { return bulkDone.load(); });
    interruptUntil(control, [&] { return controlDone.load(); });
    // A thread still blocked here would hold the endpoint files; leave it to
    // the process's end rather than hang.
    for (std::thread *t : {&bulk, &control}) {
        if ((t == &bulk ? bulkDone.load() : controlDone.load()))
            t->join();
        else
            t->detach();
    }
    ffs.close();
    usb.destroy();
    if (!o.readyFile.empty()) std::remove(o.readyFile.c_str());
    return rc;
}
