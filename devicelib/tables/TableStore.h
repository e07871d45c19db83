// The user's store of saved tables: one folder of the user's own
// ($XDG_DATA_HOME/quendal/tables/ on Linux, %LOCALAPPDATA%\quendal\tables\ on
// Windows), closed to other users because the tables hold password digests.
// Each file is named after its disk and the time it was saved, so that the
// newest of a disk sort last; the last ten of each disk are kept.
#pragma once

#include <string>
#include <vector>

#include "SavedTable.h"

namespace tables {

constexpr size_t kKeptPerDisk = 10;
constexpr const char kStoreSubfolder[] = "quendal/tables";
constexpr const char kFileSuffix[] = ".table";

// The store's folder with a trailing separator, made when missing; "" with
// *error set when it cannot be made private to the user.
std::string storeFolder(std::string *error);

// Saves the table into the store under a new name and drops the oldest files
// of its disk beyond kKeptPerDisk. *path names the new file.
bool saveToStore(const SavedTable &table, std::string *path, std::string *error);

// The store's files, newest first; only those of one disk when key is not "".
std::vector<std::string> storedFiles(const std::string &key = "");

// Reads and decodes one saved-table file.
bool readSavedTable(const std::string &path, SavedTable *table, std::string *error);

// Where the second copy of a disk lived whose only copy left is at page: the
// other page of the newest saved table of that disk that names page, or
// kNoPage when none tells.
uint32_t partnerPage(const std::string &key, uint32_t page);

} // namespace tables
