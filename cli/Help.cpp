#include "Commands.h"

namespace cli {

const char *mainHelp() {
    return R"(Usage: quendal [--disk DIR] [--verbose] COMMAND [OPTIONS]

Prepares and guards a USB flash disk: divides it into areas, formats it as a
normal, secure or bootable disk, logs in to its secure area and changes its
password.

Commands:
  emulate DIR   create an emulated flash disk in the folder DIR
  info          show the disk: capacity, table, layout, areas, login state
  format        format the disk (--mode, --first)
  login         log in to the secure area and show where it appears
  passwd        change the password of the secure area

Options:
  --disk DIR    use the emulated flash disk in DIR (sets FLASHDISK_EMULATOR)
  -v, --verbose log every command sent to a real disk on standard error
                (sets QUENDAL_SCSI_LOG=stderr; a file path there logs to it)
  -h, --help    show this help (also: quendal COMMAND --help)
  --version     show the version

The device: the emulated flash disk named by FLASHDISK_EMULATOR (or --disk),
otherwise the USB flash disk through the SCSI pass-through.

Passwords are read from the terminal without echo, or with --password-stdin one
per line from standard input (UTF-8); never from the command line. A password
is kept as its text in the code page of the user's language (LC_ALL,
LC_MESSAGES or LANG: 1252, or 950, 936, 949 for Chinese and Korean), as every
program of the system keeps it; a character outside that code page is refused.

Exit codes:
  0  success
  1  the device or the library failed the operation
  2  usage error or bad input (also a confirmation that does not match)
  3  no flash disk found
  4  unknown flash disk (no configuration table)
  5  wrong password
  6  Quendal.dll or SCSI.dll missing or incomplete
  7  not possible in the disk's present state (logged in, no secure area)
)"
    // The examples in the shell and with the folder names of the system at
    // hand: a Linux path or printf would only mislead at a Windows prompt.
#if defined(_WIN32)
           R"(
On Windows passwords come from the console without echo. When standard input
is not a console (a pipe, or a terminal such as mintty that hands input over
one), each password is the next line read from it.

Examples (Command Prompt):
  quendal.exe emulate C:\disk --sectors 2097152
  quendal.exe --disk C:\disk info
  quendal.exe --disk C:\disk format --mode secure --password-stdin < passwords.txt
  quendal.exe --disk C:\disk login
  set FLASHDISK_EMULATOR=C:\disk
)"
#else
           R"(
Examples:
  quendal emulate /tmp/disk --sectors 2097152
  quendal --disk /tmp/disk info
  printf '%s\n' secret secret | quendal --disk /tmp/disk format --mode secure --password-stdin
  quendal --disk /tmp/disk login
  export FLASHDISK_EMULATOR=/tmp/disk
)"
#endif
        ;
}

const char *subcommandHelp(const std::string &name) {
    if (name == "emulate")
        return R"(Usage: quendal emulate DIR [OPTIONS]
       quendal emulate DIR --replug

Creates a factory-fresh emulated flash disk in the folder DIR (created when
missing). Use it with FLASHDISK_EMULATOR=DIR or quendal --disk DIR.
With --replug, unplugs the existing emulated disk and plugs it in again: it
is logged out and shows the layout stored in its table (a login holds across
programs until then, as on a real disk).

Options:
  --sectors N          capacity in 512-byte sectors (default 2000000)
  --table KIND         configuration table: version (default), maker or none
  --page-sectors N     sectors per page of the information area, 1 to 4 (default 4)
  --block-unit N       pages per block (default 4)
  --info-sectors N     information sectors after the table: 8 (default) or 16
  --label TEXT         table label, at most 11 characters (default FLASH DISK)
  --refuse-raw         the disk refuses raw access (opening answers 2)
  --absent             no device is present
  --write-protected    the disk starts write-protected
  --fail KIND:N        fail the N-th write of KIND: data, info, info-table,
                       prepare, whole-disk, store-table, login, reset, commit, any
  --fail-read KIND:N   fail the N-th read of KIND: device-info, table, info,
                       data, any
  --log                log every command the disk receives
  --force              replace a disk that already exists in DIR
)";
    if (name == "info")
        return R"(Usage: quendal info

Shows the flash disk: capacity in sectors and MByte, the configuration table's
kind, the layout, every area with its start and size, whether a password is
set, the login state and write protection, and the drives the host shows.
)";
    if (name == "format")
        return R"(Usage: quendal format [--mode MODE] [--first PERCENT] [--password-stdin]

Formats the flash disk. All data on it is lost.

Options:
  --mode MODE        normal (default), secure, hdd-boot, zip-boot, zip-boot-63,
                     cdrom (also the numbers 0 to 5)
  --first PERCENT    the first part's share of the disk, 0 to 100 (default 100).
                     A part under 1 MByte is not made: the whole disk becomes
                     one area. A secure disk takes a login area of 2500 sectors
                     from the first part (when it is over 4096 sectors),
                     otherwise from the second part.
  --password-stdin   read the secure disk's password and its confirmation from
                     standard input, one per line

A secure disk asks for a password (at most 20 characters; empty is allowed)
and its confirmation. A disk that is logged in must be replugged first. After
the format, replug the disk before use.
)";
    if (name == "login")
        return R"(Usage: quendal login [--password-stdin]

Checks the password of the secure area, logs the disk in and shows the drive
that now shows the secure area. With --password-stdin the password is read
from the first line of standard input. The login holds until the disk is
replugged (the emulated disk: quendal emulate DIR --replug).
)";
    if (name == "passwd")
        return R"(Usage: quendal passwd [--password-stdin]

Changes the password of the secure area. Asks for the old password, the new
one (at most 20 characters; empty is allowed) and its confirmation; with
--password-stdin these are read from standard input, one per line, in that
order.
)";
    return nullptr;
}

} // namespace cli
