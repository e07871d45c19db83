// Exit codes of quendal. Scripts rely on them; they do not change.
#pragma once

namespace cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitDeviceFailure = 1, // the device or the library failed an operation
    kExitUsage = 2,         // bad command line or bad input (also a mismatched confirmation)
    kExitNoDisk = 3,        // no flash disk found
    kExitUnknownDisk = 4,   // a disk without a configuration table
    kExitWrongPassword = 5,
    kExitNotInstalled = 6, // Quendal.dll or its transport SCSI.dll cannot be used
    kExitWrongState = 7,   // not possible in the disk's present state (logged in, no secure area)
    // quendal check's verdicts besides kExitOk (sound):
    kExitFakeCapacity = 8, // the disk's flash holds less than it reports
    kExitBadSectors = 9,   // sectors that cannot be read (or written, or keep no data)
    kExitNotTested = 10,   // the check could not be made or was cut off; the message says why
};

} // namespace cli
