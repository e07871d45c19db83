// Fuzz target: the INI reader the language files and FlashDisk.ini go through,
// and the writer of a single key.
//
// Input: byte 0 sets how many of the following bytes name the looked-up
// section and key ("section|key"); the rest is the file's text.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "FuzzTargets.h"
#include "platform/IniFile.h"

namespace fuzz {

namespace {

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// Letters and digits only, so the name survives trimming and quoting unchanged.
std::string plainName(const std::string &s, const char *fallback) {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string out;
    for (unsigned char c : s) out += kAlphabet[c % (sizeof kAlphabet - 1)];
    return out.empty() ? fallback : out.substr(0, 40);
}

std::string scratchFile() {
    static const std::string path = [] {
        std::error_code ec;
        std::filesystem::path dir = std::filesystem::exists("/dev/shm", ec) ? "/dev/shm" : "/tmp";
        return (dir / ("quendal-ini-fuzz-" + std::to_string(::getpid()) + ".ini")).string();
    }();
    return path;
}

} // namespace

void iniFile(const uint8_t *data, size_t size) {
    if (size == 0) return;
    const size_t queryLength = std::min<size_t>(data[0] % 48, size - 1);
    const std::string query(reinterpret_cast<const char *>(data + 1), queryLength);
    const std::string text(reinterpret_cast<const char *>(data + 1 + queryLength), size - 1 - queryLength);
    const size_t bar = query.find('|');
    const std::string section = query.substr(0, bar);
    const std::string key = bar == std::string::npos ? std::string() : query.substr(bar + 1);

    const platform::IniFile ini = platform::IniFile::parse(text);
    FUZZ_CHECK(ini.exists());
    const auto v = ini.value(section, key);
    if (v) FUZZ_CHECK(v->size() <= platform::kProfileValueMax);
    // Sections and keys are found without regard to ASCII case.
    FUZZ_CHECK(ini.value(upper(section), upper(key)) == v);
    for (const std::string &line : ini.sectionLines(section)) {
        FUZZ_CHECK(line.find('=') != std::string::npos);
        FUZZ_CHECK(!line.empty() && line.front() != ';');
    }

    // A key written into the file reads back, and nothing else of what the
    // file said about other sections changes.
    const std::string file = scratchFile();
    {
        FILE *f = std::fopen(file.c_str(), "wb");
        if (!f) return;
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    const std::string wSection = plainName(section, "S");
    const std::string wKey = plainName(key, "K");
    const std::string wValue = plainName(text.substr(0, std::min<size_t>(text.size(), 12)), "V");
    const std::string otherSection = wSection + "x";
    const auto otherBefore = ini.value(otherSection, wKey);
    if (platform::writeProfileString(file, wSection, wKey, wValue)) {
        FUZZ_CHECK(platform::getProfileString(file, wSection, wKey, "") == wValue);
        FUZZ_CHECK(platform::IniFile::load(file).value(otherSection, wKey) == otherBefore);
    }
    std::remove(file.c_str());
}

std::vector<Input> iniFileSeeds() {
    auto seed = [](const std::string &query, const std::string &text) {
        Input in;
        in.push_back(uint8_t(query.size()));
        in.insert(in.end(), query.begin(), query.end());
        in.insert(in.end(), text.begin(), text.end());
        return in;
    };
    return {
        seed("MSGSTRING|NODISK", "[MSGSTRING]\r\nNODISK=No Flash Disk.\r\nFORMATOK=Format OK\r\n"),
        seed("TMainFrm|Caption", "; language file\n[TMainFrm]\n  Caption = \"Orvane\" \n[TMainFrm]\nCaption=second\n"),
        seed("Disk|Vendor", "[Disk]\nVendor=MORVAN\nProduct=FLASH DISK\nVersion=2.00\n"),
        seed("a|b", "[a\nb=1\n[ a ]\n;b=2\nb\n=x\n" + std::string(3000, 'v') + "\n"),
        seed("", ""),
        seed("x|y", "[x]\ny=\xB2\xC4\xA4\xE5\r\n\r\n[z]\ny='q'\n"),
    };
}

} // namespace fuzz
