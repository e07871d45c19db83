// A disk formatted by Quendal.dll in a boot mode, on the emulated flash disk,
// boots in qemu: the emulator's data image is the disk the BIOS sees. The test
// system file is put into the new volume with mtools (not by the library), so
// the whole chain of table, boot sector and volume the format wrote is checked
// by an outside writer and a real BIOS.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "EmulatedDisk.h"
#include "QemuBoot.h"

using namespace tabletest;
using namespace boottest;

namespace {

FormatSettings bootSettings(uint8_t mode, uint32_t firstArea, uint32_t secondArea) {
    FormatSettings s{};
    s.mode = mode;
    s.areaCount = 2;
    s.areaSize[0] = firstArea;
    s.areaSize[1] = secondArea;
    return s;
}

// mcopy into the volume at `offset` bytes of the image; 0 on success.
int mcopy(const std::string &image, uint64_t offset, const std::string &file, const std::string &name) {
    std::string cmd = "MTOOLS_SKIP_CHECK=1 mcopy -o -i '" + image + "@@" + std::to_string(offset) + "' '" + file +
                      "' ::" + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str());
}

TEST(BootAfterFormat, EveryBootModeGivesADiskThatStartsTheSystemFile) {
    auto qemu = findQemu();
    if (!qemu) GTEST_SKIP() << "qemu-system-i386 / qemu-system-x86_64 not installed: boot code not run";
    if (std::system("command -v mcopy >/dev/null 2>&1") != 0) GTEST_SKIP() << "mtools not installed";
    TempDir runtime; // the format's reference image goes here, not into the user's folder
    ASSERT_TRUE(runtime.ok());
    setenv("XDG_RUNTIME_DIR", runtime.file("").c_str(), 1);

    struct Case {
        uint8_t mode;
        uint32_t firstArea;
        uint32_t volumeStart;
    };
    for (const Case &c : {Case{QUENDAL_MODE_HDD_BOOT, 30000, 63}, Case{QUENDAL_MODE_ZIP_BOOT, 30000, 32},
                          Case{QUENDAL_MODE_ZIP_BOOT_63, 30000, 32}, Case{QUENDAL_MODE_HDD_BOOT, 3000, 0},
                          Case{QUENDAL_MODE_HDD_BOOT, 4'200'000, 63}}) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " area " + std::to_string(c.firstArea));
        flashemu::DiskOptions o;
        o.sectors = c.firstArea + 2000;
        EmulatedDisk disk(o);
        ASSERT_EQ(disk.open(), 0);
        ASSERT_NE(disk.loadTable(), 0);
        q().GetDiskCapacity();
        FormatSettings s = bootSettings(c.mode, c.firstArea, 2000);
        ASSERT_EQ(q().FormatDisk(&s, [](int32_t, const char *) -> int32_t { return 0; }), 1)
            << "error " << q().GetErrorCode();
        q().FreeFlashDisk();

        const std::string image = flashemu::dataImagePath(disk.dir());
        ASSERT_EQ(mcopy(image, uint64_t(c.volumeStart) * 512, BOOT_TEST_SYSTEM_FILE, "IO.SYS"), 0);

        TempDir run;
        ASSERT_TRUE(run.ok());
        BootOutput out = boot(*qemu, run, {image, {}, false}, "\r\n");
        EXPECT_NE(out.serial.find("SYSFILE cs=0070 ip=0000 dl=80 drive=80 sig=AA55 hidden=" + hex(c.volumeStart, 8)),
                  std::string::npos)
            << "serial: " << out.serial << "\nconsole: " << out.console;
        EXPECT_NE(out.serial.find(" tail=TAIL\r\n"), std::string::npos) << out.serial;
    }
    unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
