// Test support: checks of FAT volumes and partition tables by tools that no one
// here wrote (dosfstools fsck.fat, mtools, util-linux sfdisk), run on image
// files or on byte ranges of the emulated disk's sparse data image.
//
// A Windows program cannot run those tools (under Wine a Linux program starts,
// but its exit code is lost), so the Windows build answers the same calls from
// the independent reader of FatReader.h: the same problems are looked for
// (boot sector, FAT copies, chains, cross links, lost clusters, FSInfo), the
// listing and file reads come from the root directory, and the partition table
// is read from its sector. The Linux side runs the real tools over the volumes
// the Windows programs write.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FatReader.h"
#include "TestProcess.h"

namespace fattools {

struct RunResult {
    int status = -1;    // exit status of the command
    std::string output; // standard output and standard error
};

// One partition of `sfdisk --dump` output.
using Partition = fatreader::Partition;

#ifndef _WIN32

// Quotes a word for the shell.
inline std::string quote(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

inline RunResult run(const std::string &command) {
    RunResult r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Copies [offset, offset + length) of src into a new file dst of that length,
// copying only the data extents so that holes stay holes: the volume of a
// 64 GiB disk costs what its written sectors cost.
inline bool extractRange(const std::string &src, uint64_t offset, uint64_t length, const std::string &dst) {
    int in = open(src.c_str(), O_RDONLY);
    if (in < 0) return false;
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = ftruncate(out, off_t(length)) == 0;
    std::vector<char> buf(1 << 20);
    off_t pos = off_t(offset);
    const off_t end = off_t(offset + length);
    while (ok && pos < end) {
        off_t data = lseek(in, pos, SEEK_DATA);
        if (data < 0 || data >= end) break; // no more data in range
        off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0 || hole > end) hole = end;
        for (off_t p = data; ok && p < hole;) {
            size_t want = size_t(std::min<off_t>(off_t(buf.size()), hole - p));
            ssize_t got = pread(in, buf.data(), want, p);
            if (got <= 0) {
                ok = false;
                break;
            }
            ok = pwrite(out, buf.data(), size_t(got), p - off_t(offset)) == got;
            p += got;
        }
        pos = hole;
    }
    close(in);
    close(out);
    return ok;
}

// Lines of `fsck.fat -n` that report anything but the notes the device's own
// boot sectors cause on purpose: the label with its NUL byte (a FAT12/FAT16
// label of "Morvantek" and NUL, a FAT32 label of zeros) and, when allowDirty,
// the dirty bit that template A's byte after the drive number sets. An empty
// result means the volume is sound. The exit status is given back in status.
inline std::vector<std::string> fsckProblems(const std::string &volume, bool allowDirty, int *status = nullptr,
                                             std::string *all = nullptr) {
    RunResult r = run("fsck.fat -n " + quote(volume));
    if (status) *status = r.status;
    if (all) *all = r.output;
    std::vector<std::string> problems;
    std::istringstream lines(r.output);
    std::string line;
    bool skipNext = false;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        if (skipNext) {
            // The note's explanation and the tool's offer to fix it.
            skipNext = false;
            if (line.rfind("  ", 0) == 0 || line.find("Automatically") != std::string::npos ||
                line.find("Remove") != std::string::npos || line.find("Leaving") != std::string::npos)
                continue;
        }
        if (line.rfind("fsck.fat ", 0) == 0) continue;            // version banner
        if (line.find(" files, ") != std::string::npos) continue; // summary
        if (line.find("Label") != std::string::npos && line.find("not valid") != std::string::npos) {
            skipNext = true;
            continue;
        }
        if (allowDirty && line.find("Dirty bit is set") != std::string::npos) {
            skipNext = true;
            continue;
        }
        if (line.find("Automatically removing dirty bit") != std::string::npos && allowDirty) continue;
        if (line.find("Leaving filesystem unchanged") != std::string::npos) continue;
        problems.push_back(line);
    }
    if (r.status < 0) problems.push_back("fsck.fat did not run");
    return problems;
}

inline std::string mtoolsTarget(const std::string &image, uint64_t offsetBytes) {
    return quote(image + "@@" + std::to_string(offsetBytes));
}

// `mdir` of the volume at offsetBytes in image (mtools refuses the device's
// first FAT entry, which does not repeat the media byte, unless told to skip).
// With all, hidden and system files are listed too.
inline RunResult mdir(const std::string &image, uint64_t offsetBytes, bool all = false) {
    return run(std::string("MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1 mdir ") + (all ? "-a " : "") + "-i " +
               mtoolsTarget(image, offsetBytes) + " ::");
}

// The bytes of file name read back by `mtype`; false when mtype fails.
inline bool mtype(const std::string &image, uint64_t offsetBytes, const std::string &name, std::string *content) {
    std::string cmd = "MTOOLS_SKIP_CHECK=1 mtype -i " + mtoolsTarget(image, offsetBytes) + " " + quote("::" + name);
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return false;
    content->clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) content->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

// The partitions sfdisk reads in the DOS partition table of file.
inline std::vector<Partition> sfdiskPartitions(const std::string &file, std::string *raw = nullptr) {
    RunResult r = run("sfdisk --dump " + quote(file));
    if (raw) *raw = r.output;
    std::vector<Partition> parts;
    if (r.status != 0) return parts;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(" : ");
        if (colon == std::string::npos || line.find("start=") == std::string::npos) continue;
        Partition p;
        std::istringstream fields(line.substr(colon + 3));
        std::string field;
        while (std::getline(fields, field, ',')) {
            size_t a = field.find_first_not_of(' ');
            if (a == std::string::npos) continue;
            field = field.substr(a);
            size_t eq = field.find('=');
            std::string key = field.substr(0, eq);
            std::string value = eq == std::string::npos ? "" : field.substr(eq + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (key == "start")
                p.start = std::stoull(value);
            else if (key == "size")
                p.size = std::stoull(value);
            else if (key == "type")
                p.type = value;
            else if (key == "bootable")
                p.bootable = true;
        }
        parts.push_back(p);
    }
    return parts;
}

#else // _WIN32

// Copies [offset, offset + length) of src into a new file dst of that length.
// Blocks of zeros are not written, so the copy of a sparse source stays sparse
// where the file system allows it.
inline bool extractRange(const std::string &src, uint64_t offset, uint64_t length, const std::string &dst) {
    std::ifstream in(src, std::ios::binary);
    if (!in) return false;
    std::fstream out(dst, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    if (!out) return false;
    // The length is set by writing its last byte: std::filesystem::resize_file
    // of MinGW's runtime stops at 2 GiB.
    if (length > 0 && !(out.seekp(std::streamoff(length - 1)) && out.put('\0'))) return false;
    in.seekg(0, std::ios::end);
    const uint64_t srcSize = uint64_t(std::max<std::streamoff>(in.tellg(), 0));
    std::vector<char> buf(1 << 20);
    for (uint64_t done = 0; done < length && offset + done < srcSize;) {
        const size_t want = size_t(std::min<uint64_t>({buf.size(), length - done, srcSize - offset - done}));
        in.clear();
        in.seekg(std::streamoff(offset + done));
        if (!in.read(buf.data(), std::streamsize(want))) return false;
        if (std::any_of(buf.begin(), buf.begin() + std::ptrdiff_t(want), [](char c) { return c != 0; })) {
            out.seekp(std::streamoff(done));
            if (!out.write(buf.data(), std::streamsize(want))) return false;
        }
        done += want;
    }
    return bool(out.flush());
}

// Problems the independent reader finds in the volume (empty: sound). status
// is 0 for a sound volume, 1 otherwise; all holds the problems and a summary
// "<files> files, <used>/<clusters> clusters".
inline std::vector<std::string> fsckProblems(const std::string &volume, bool /*allowDirty*/, int *status = nullptr,
                                             std::string *all = nullptr) {
    fatreader::Volume v(volume, 0);
    const std::string summary = v.check();
    std::vector<std::string> problems = v.problems();
    if (status) *status = problems.empty() ? 0 : 1;
    if (all) {
        all->clear();
        for (const auto &p : problems) *all += p + "\n";
        *all += volume + ": " + summary + "\n";
    }
    return problems;
}

// The root directory of the volume at offsetBytes in image, one line per entry
// in mdir's columns ("LOG      LOG         512"), or "No files"; status 0 when
// the volume reads. With all, hidden and system files are listed too.
inline RunResult mdir(const std::string &image, uint64_t offsetBytes, bool all = false) {
    RunResult r;
    fatreader::Volume v(image, offsetBytes);
    if (!v.valid()) {
        for (const auto &p : v.problems()) r.output += p + "\n";
        r.status = 1;
        return r;
    }
    size_t listed = 0;
    for (const auto &f : v.rootFiles()) {
        if (!all && (f.attributes & 0x06)) continue;
        std::string base(reinterpret_cast<const char *>(f.raw.data()), 8);
        std::string ext(reinterpret_cast<const char *>(f.raw.data() + 8), 3);
        char size[16];
        std::snprintf(size, sizeof size, "%10u", unsigned(f.size));
        r.output += base + " " + ext + ((f.attributes & 0x10) ? "    <DIR>  " : size) + "\n";
        ++listed;
    }
    if (listed == 0) r.output += "No files\n";
    r.status = 0;
    return r;
}

// The bytes of file name read back from the volume; false when it is not there.
inline bool mtype(const std::string &image, uint64_t offsetBytes, const std::string &name, std::string *content) {
    fatreader::Volume v(image, offsetBytes);
    content->clear();
    return v.valid() && v.readFile(name, content);
}

// The partitions of the DOS partition table at the start of file.
inline std::vector<Partition> sfdiskPartitions(const std::string &file, std::string *raw = nullptr) {
    auto parts = fatreader::partitions(file);
    if (raw) {
        raw->clear();
        for (const auto &p : parts)
            *raw += "start=" + std::to_string(p.start) + ", size=" + std::to_string(p.size) + ", type=" + p.type +
                    (p.bootable ? ", bootable" : "") + "\n";
    }
    return parts;
}

#endif

// fsckProblems of the volume that fills [offset, offset + length) of image. On
// Linux the range is cut out into a scratch file for fsck.fat; the Windows
// reader reads it in place, as reading every hole of a large sparse image
// through the Windows file interface takes longer than a test may.
inline std::vector<std::string> fsckRange(const std::string &image, uint64_t offset, uint64_t length, bool allowDirty,
                                          int *status = nullptr, std::string *all = nullptr) {
#ifdef _WIN32
    (void)allowDirty;
    fatreader::Volume v(image, offset);
    const std::string summary = v.check();
    std::vector<std::string> problems = v.problems();
    uint8_t boot[512] = {};
    {
        std::ifstream in(image, std::ios::binary);
        in.seekg(std::streamoff(offset));
        in.read(reinterpret_cast<char *>(boot), sizeof boot);
    }
    const uint64_t total = fatreader::le16(boot + 19) ? fatreader::le16(boot + 19) : fatreader::le32(boot + 32);
    if (total * 512 > length)
        problems.push_back("the volume's " + std::to_string(total) + " sectors reach past its range of " +
                           std::to_string(length / 512));
    if (status) *status = problems.empty() ? 0 : 1;
    if (all) {
        all->clear();
        for (const auto &p : problems) *all += p + "\n";
        *all += image + "@" + std::to_string(offset) + ": " + summary + "\n";
    }
    return problems;
#else
    testsupport::ScratchDir dir("quendal-fsck");
    const std::string volume = dir / "volume.img";
    if (!extractRange(image, offset, length, volume)) {
        if (status) *status = -1;
        return {"cannot cut the volume out of " + image};
    }
    return fsckProblems(volume, allowDirty, status, all);
#endif
}

} // namespace fattools
