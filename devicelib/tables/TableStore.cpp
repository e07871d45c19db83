// The user's store of saved tables: naming, keeping the last ten per disk, and
// reading them back.
#include "TableStore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "file_io.h"
#include "platform/PrivateFiles.h"

namespace tables {

namespace {

// "<key>-YYYYMMDDTHHMMSS.uuuuuu.table": fixed widths, so names sort by time.
std::string fileName(const std::string &key, std::chrono::system_clock::time_point when) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = std::time_t(micros / 1000000);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char name[96];
    std::snprintf(name, sizeof name, "%s-%04d%02d%02dT%02d%02d%02d.%06lld%s", key.c_str(), utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>(micros % 1000000), kFileSuffix);
    return name;
}

bool isSavedTableName(const std::string &name, const std::string &key) {
    const size_t suffix = sizeof kFileSuffix - 1;
    if (name.size() <= suffix || name.compare(name.size() - suffix, suffix, kFileSuffix) != 0) return false;
    return key.empty() || name.rfind(key + "-", 0) == 0;
}

} // namespace

std::string storeFolder(std::string *error) { return platform::privateDataFolder(kStoreSubfolder, error); }

bool saveToStore(const SavedTable &table, std::string *path, std::string *error) {
    const std::string folder = storeFolder(error);
    if (folder.empty()) return false;
    const std::string key = diskKey(table);
    const std::string bytes = encode(table);
    // Two saves within one microsecond (or a name taken by something else) try
    // the next microsecond rather than replace anything.
    auto when = std::chrono::system_clock::now();
    bool saved = false;
    for (int attempt = 0; attempt < 16 && !saved; ++attempt, when += std::chrono::microseconds(1)) {
        *path = folder + fileName(key, when);
        if (fileio::fileExists(*path)) continue;
        saved = platform::writeNewPrivateFile(*path, bytes, error);
    }
    if (!saved) return false;
    const std::vector<std::string> files = storedFiles(key);
    for (size_t i = kKeptPerDisk; i < files.size(); ++i) fileio::removeFile(files[i]);
    return true;
}

std::vector<std::string> storedFiles(const std::string &key) {
    std::string error;
    const std::string folder = platform::privateDataFolder(kStoreSubfolder, &error);
    std::vector<std::string> names;
    if (folder.empty()) return names;
    for (std::string &name : platform::filesInFolder(folder))
        if (isSavedTableName(name, key)) names.push_back(std::move(name));
    // Newest first: by the time in the name, the key being the same width.
    std::sort(names.begin(), names.end(),
              [](const std::string &a, const std::string &b) { return a.substr(a.find('-')) > b.substr(b.find('-')); });
    for (std::string &n : names) n = folder + n;
    return names;
}

bool readSavedTable(const std::string &path, SavedTable *table, std::string *error) {
    std::string bytes;
    if (!fileio::readWholeFile(path, &bytes)) {
        *error = "cannot read " + path;
        return false;
    }
    return decode(bytes, table, error);
}

uint32_t partnerPage(const std::string &key, uint32_t page) {
    for (const std::string &path : storedFiles(key)) {
        SavedTable t;
        std::string error;
        if (!readSavedTable(path, &t, &error) || !t.names(page)) continue;
        const uint32_t other = t.copies[0].page == page ? t.copies[1].page : t.copies[0].page;
        if (other != kNoPage && other != page) return other;
    }
    return kNoPage;
}

} // namespace tables
