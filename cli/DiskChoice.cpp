#include "DiskChoice.h"

#include <cstdio>
#include <cstdlib>

#include "Environment.h"
#include "ExitCodes.h"
#include "FlashEmulator.h"
#include "PassthroughBackend.h"
#include "platform/Drives.h"
#include "ScsiTransport.h"
#include "Session.h"
#include "TableView.h"
#include "Terminal.h"

namespace cli {
namespace {

using passthrough::Candidate;

constexpr uint32_t kSectorsPerMByte = 2048;

std::string envText(const char *name) {
    const char *v = std::getenv(name);
    return v ? v : "";
}

bool emulated() { return !envText(flashemu::kDiskEnv).empty(); }

// The real disk this run works on, once chooseDisk has looked.
struct Chosen {
    bool have = false;
    Candidate candidate;
    size_t of = 0; // candidates seen
} gChosen;

std::string identityText(const passthrough::Identity &id) {
    std::string s;
    for (const std::string *f : {&id.vendor, &id.product, &id.revision})
        if (!f->empty()) s += (s.empty() ? "" : " ") + *f;
    return s;
}

std::string candidateText(const Candidate &c) {
    std::string s = c.disk.node + " (" + identityText(c.disk.identity) + ")";
    if (c.state == Candidate::State::Busy)
        s += ", in use by " + (c.detail.empty() ? std::string("another program") : c.detail);
    if (c.state == Candidate::State::Refused) s += ", no raw access for this user";
    return s;
}

// The candidates as the pass-through sees them now; *problem when --device
// names a disk that is none.
std::vector<Candidate> lookAtDisks(std::string *problem) {
    passthrough::PassthroughBackend core(passthrough::machineDisks(), passthrough::machineOptions());
    if (!envText(passthrough::kDeviceEnv).empty() && core.eligible({}, problem).empty()) return {};
    return core.survey();
}

std::string jsonText(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string loginText(int32_t state) {
    return state == 1 ? "logged in" : state == 0 ? "logged out" : state < 0 ? "no secure area" : "unknown";
}

// One line of 'quendal list'.
struct Row {
    std::string node, identity, state = "ready", holder, layout, login;
    bool emulated = false;
    uint32_t sectors = 0;
};

void readInto(Session &s, Row *row) {
    const int32_t found = s.readDisk();
    if (found == 0) {
        row->sectors = uint32_t(s.capacity());
        row->layout = layoutDescription(s.view());
        row->login = loginText(s.loginState());
    } else if (found == Session::kUnknownDisk) {
        row->state = "no table";
    } else if (found == SCSI_INIT_BUSY) {
        row->state = "busy";
        if (row->emulated) row->holder = flashemu::writerOf(row->node);
    } else if (found == SCSI_INIT_RAW_REFUSED) {
        row->state = "no access";
    } else {
        row->state = "gone";
    }
    if (s.dll().FreeFlashDisk) s.dll().FreeFlashDisk();
}

void printRows(const std::vector<Row> &rows, bool json) {
    if (json) {
        std::printf("[");
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row &r = rows[i];
            std::printf("%s\n  {\"node\": %s, \"emulated\": %s, \"identity\": %s, \"state\": %s", i ? "," : "",
                        jsonText(r.node).c_str(), r.emulated ? "true" : "false", jsonText(r.identity).c_str(),
                        jsonText(r.state).c_str());
            if (!r.holder.empty()) std::printf(", \"holder\": %s", jsonText(r.holder).c_str());
            if (r.state == "ready")
                std::printf(", \"sectors\": %u, \"layout\": %s, \"login\": %s", r.sectors, jsonText(r.layout).c_str(),
                            jsonText(r.login).c_str());
            std::printf("}");
        }
        std::printf("%s]\n", rows.empty() ? "" : "\n");
        return;
    }
    for (const Row &r : rows) {
        std::printf("%s  %s", r.node.c_str(), r.identity.c_str());
        if (r.state == "ready")
            std::printf("  %u sectors (%uMByte)  %s  %s\n", r.sectors, r.sectors / kSectorsPerMByte, r.layout.c_str(),
                        r.login.c_str());
        else if (r.state == "busy")
            std::printf("  in use by %s\n", r.holder.empty() ? "another program" : r.holder.c_str());
        else if (r.state == "no access")
            std::printf("  this user may not send it raw commands\n");
        else if (r.state == "no table")
            std::printf("  no configuration table: quendal cannot prepare it\n");
        else
            std::printf("  went away while it was looked at\n");
    }
}

} // namespace

int chooseDisk(bool writes) {
    const std::string named = envText(passthrough::kDeviceEnv);
    if (emulated()) {
        if (!named.empty())
            return fail(kExitUsage, "--device names a real disk and --disk an emulated one", "give only one of them");
        return kExitOk;
    }
    std::string problem;
    const auto found = lookAtDisks(&problem);
    if (!problem.empty())
        return fail(kExitNoDisk, "no flash disk at " + named + ": " + problem,
                    "'quendal list' shows the disks quendal can use");
    if (found.empty()) return kExitOk; // opening the disk tells that there is none
    if (found.size() > 1 && named.empty() && writes) {
        std::string list;
        for (const Candidate &c : found) list += (list.empty() ? "" : "; ") + candidateText(c);
        return fail(kExitUsage, std::to_string(found.size()) + " flash disks are plugged in: " + list,
                    "name the one to use with --device NODE (see 'quendal list'); nothing was changed");
    }
    gChosen = {true, found.front(), found.size()};
    // The transport takes exactly this one, even if another is plugged in meanwhile.
    if (!setEnvironment(passthrough::kDeviceEnv, found.front().disk.node))
        return fail(kExitUsage, "cannot name the disk " + found.front().disk.node + " to the library",
                    "set QUENDAL_DEVICE instead");
    return kExitOk;
}

std::string deviceDescription() {
    if (emulated()) return "emulated flash disk in " + envText(flashemu::kDiskEnv);
    if (!gChosen.have) return "USB flash disk";
    const passthrough::DiskEntry &d = gChosen.candidate.disk;
    std::string s = d.node + " (" + identityText(d.identity) + ")";
    if (gChosen.of > 1 && envText(passthrough::kDeviceEnv) == d.node)
        s += ", the first of " + std::to_string(gChosen.of) + " flash disks (choose another with --device)";
    return s;
}

std::string diskHolder() {
    std::string who = emulated()     ? flashemu::writerOf(envText(flashemu::kDiskEnv))
                      : gChosen.have ? gChosen.candidate.detail
                                     : std::string();
    return who.empty() ? "another program" : who;
}

std::vector<std::string> mountedVolumes() {
    std::vector<std::string> out;
    if (emulated() || !gChosen.have) return out;
    for (const auto &v : passthrough::machineDisks().mountedVolumes(gChosen.candidate.disk))
        out.push_back(v.device + " at " + v.mountPoint);
    return out;
}

int unmountVolumes() {
    if (emulated() || !gChosen.have) return kExitOk;
    const auto failures = passthrough::unmountBeforeFormat(passthrough::machineDisks(), gChosen.candidate.disk);
    if (failures.empty()) return kExitOk;
    std::string text;
    for (const std::string &f : failures) text += (text.empty() ? "" : "; ") + f;
    return fail(kExitWrongState, "cannot unmount " + text,
                "nothing was written: close what uses the volume (or unmount it yourself) and try again");
}

bool releaseVolume(const std::string &mountPoint, std::string *why) {
    for (const platform::DriveEntry &d : platform::driveTable())
        if (d.mount == mountPoint) return passthrough::machineDisks().unmount({d.source, d.mount}, why);
    return true;
}

int confirmFormat(Session &s, bool yes) {
    if (yes) return kExitOk;
    if (!isTerminal(stdin))
        return fail(kExitUsage,
                    "a format erases the whole disk and is asked for first, but there is no terminal to ask on",
                    "add --yes to format without asking; nothing was changed");
    const TableView &v = s.view();
    const uint32_t capacity = uint32_t(s.capacity());
    std::printf("About to format %s: %u sectors (%uMByte).\n", deviceDescription().c_str(), capacity,
                capacity / kSectorsPerMByte);
    std::printf("It holds now: %s", layoutDescription(v).c_str());
    for (int i = 0; i < 3; ++i)
        if (v.areaSize[i]) std::printf("; %s %u sectors", areaRole(v, i).c_str(), v.areaSize[i]);
    std::printf(".\n");
    std::printf("Everything on it will be lost: every file in every area%s.\n",
                v.passwordSet ? ", and the secure area with its password" : "");
    const auto mounted = mountedVolumes();
    for (const std::string &m : mounted) std::printf("Mounted now, unmounted before the format: %s\n", m.c_str());
    std::printf("Type yes to format it: ");
    std::fflush(stdout);
    char line[64] = {};
    if (!std::fgets(line, sizeof line, stdin)) line[0] = 0;
    std::string answer(line);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' '))
        answer.pop_back();
    if (answer != "yes" && answer != "YES" && answer != "Yes")
        return fail(kExitUsage, "not confirmed", "nothing was changed; type yes to format, or add --yes");
    return kExitOk;
}

int cmdList(const Args &args) {
    bool json = false;
    for (const std::string &a : args) {
        if (a == "--json")
            json = true;
        else
            return fail(kExitUsage, "unexpected argument " + a, "see 'quendal list --help'");
    }
    std::vector<Row> rows;
    if (emulated()) {
        Row r;
        r.node = envText(flashemu::kDiskEnv);
        r.emulated = true;
        r.identity = "emulated flash disk";
        if (flashemu::isDisk(r.node)) rows.push_back(r);
    } else {
        std::string problem;
        for (const Candidate &c : lookAtDisks(&problem)) {
            Row r;
            r.node = c.disk.node;
            r.identity = identityText(c.disk.identity);
            if (c.state == Candidate::State::Busy) {
                r.state = "busy";
                r.holder = c.detail;
            } else if (c.state == Candidate::State::Refused) {
                r.state = "no access";
            }
            rows.push_back(r);
        }
        if (!problem.empty())
            return fail(kExitNoDisk, "no flash disk at " + envText(passthrough::kDeviceEnv) + ": " + problem,
                        "leave out --device to see every disk quendal can use");
    }
    bool any = false;
    for (const Row &r : rows) any = any || r.state == "ready";
    if (any) {
        Session s;
        if (int rc = s.bind({})) return rc;
        if (int rc = s.load()) return rc;
        for (Row &r : rows) {
            if (r.state != "ready") continue;
            if (!r.emulated) setEnvironment(passthrough::kDeviceEnv, r.node);
            readInto(s, &r);
        }
    }
    printRows(rows, json);
    if (rows.empty() && !json)
        std::fprintf(stderr, "quendal: No USB flash disk of a known controller is plugged in. Plug one in, or see "
                             "docs/real-disks.md for what quendal looks for.\n");
    return rows.empty() ? kExitNoDisk : kExitOk;
}

} // namespace cli
