// quendal's side of keeping a disk's table safe: `quendal table` (list, show,
// save, restore) over the saved tables, and what format and passwd need for
// it: the recovery library for --force, and the messages of a rewrite the
// library refused or that failed midway.
#pragma once

#include <cstdint>

#include "Commands.h"
#include "Session.h"

namespace cli {

int cmdTable(const Args &args);
const char *tableHelp();

// The library a rewrite binds: QuendalRecovery.dll when forced (only it can
// let the last copy of a table be rewritten), Quendal.dll otherwise.
const char *libraryForRewrite(bool force);
// After Session::bind with libraryForRewrite(true): lets the rewrite go on
// with one copy left. kExitOk, or a failure code after printing why.
int allowLastCopy(Session &session);

// When code (new since the call) is a refusal before anything was written,
// prints what happened and what to do and returns the exit code; else -1.
int rewriteRefused(int32_t code, const char *what);

// After a failed password change: reads the disk again and prints which
// password opens it now (or that this cannot be told). Returns the exit code.
int passwordChangeFailed(Session &session, const std::string &cause, const char *oldPassword,
                         const char *newPassword);

} // namespace cli
