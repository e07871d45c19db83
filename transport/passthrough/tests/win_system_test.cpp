// The Windows pass-through's real system side, as far as a machine without the
// flash disk can take it: the Win32 calls answer for devices that are not there
// as the back end expects, so InitDisk says "no device" rather than failing
// some other way.
#include <gtest/gtest.h>

#include "Backend.h"
#include "ScsiTransport.h"
#include "PassthroughBackend.h"
#include "WinDisks.h"

using namespace passthrough::win;

TEST(WinSystem, MissingDevicesAreNotFoundAndNothingIsTaken) {
    WinSystemOps &os = windowsSystem();
    uint32_t error = 0;
    EXPECT_EQ(os.open(physicalDrivePath(31), false, &error), kNoHandle);
    EXPECT_NE(error, 0u);
    EXPECT_NE(error, kErrorAccessDenied) << "a missing drive must not read as a refused one";
    error = 0;
    EXPECT_EQ(os.open(physicalDrivePath(31), true, &error), kNoHandle);
    EXPECT_NE(error, kErrorAccessDenied);

    // The whole back end on this machine: no known flash disk is attached.
    passthrough::Options o;
    o.known = passthrough::parseKnownControllers("MORVAN\tFLASH DISK\n");
    WinDisks disks(os);
    passthrough::PassthroughBackend b(disks, o);
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);
    EXPECT_EQ(b.getDiskVolume(0), 0);

    EXPECT_NE(os.logicalDrives() & (1u << 2), 0u) << "C: is there";
    EXPECT_EQ(scsi::systemGeneration(), 2) << "the NT family";
}
