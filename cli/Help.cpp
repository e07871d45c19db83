#include "Commands.h"
#include "TableCommands.h"

namespace cli {

const char *mainHelp() {
    return R"(Usage: quendal [--disk DIR | --device NODE] [--verbose] COMMAND [OPTIONS]

Prepares and guards a USB flash disk: divides it into areas, formats it as a
normal, secure or bootable disk, logs in to its secure area and changes its
password.

Commands:
  emulate DIR   create an emulated flash disk in the folder DIR
  list          show every flash disk quendal can use (--json)
  info          show the disk: capacity, table, layout, areas, login state
  format        format the disk (--mode, --first; asks first, --yes)
  login         log in to the secure area and show where it appears
  passwd        change the password of the secure area
  table         list, show, save or restore the disk's saved tables

Options:
  --disk DIR    use the emulated flash disk in DIR (sets FLASHDISK_EMULATOR)
  --device NODE use this USB flash disk: /dev/sgN or /dev/sdX of either of
                its units (Windows: \\.\PhysicalDriveN); sets QUENDAL_DEVICE
  -v, --verbose log every command sent to a real disk on standard error
                (sets QUENDAL_SCSI_LOG=stderr; a file path there logs to it)
  -h, --help    show this help (also: quendal COMMAND --help)
  --version     show the version

The device: the emulated flash disk named by FLASHDISK_EMULATOR (or --disk),
otherwise a USB flash disk of a known controller through the SCSI pass-through
(never a disk that is not USB). With more than one plugged in, format, login
and passwd refuse until --device names one. A disk held by another program is
in use until that program lets it go: one writer at a time.

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
  7  not possible in the disk's present state (logged in, no secure area,
     in use by another program, a volume that cannot be unmounted, one copy
     of the table left, or its table changed by another program)
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
  quendal.exe --disk C:\disk format --mode secure --password-stdin --yes < passwords.txt
  quendal.exe --disk C:\disk login
  set FLASHDISK_EMULATOR=C:\disk
)"
#else
           R"(
Examples:
  quendal emulate /tmp/disk --sectors 2097152
  quendal --disk /tmp/disk info
  quendal list
  quendal --device /dev/sg2 format --first 50
  printf '%s\n' secret secret | quendal --disk /tmp/disk format --mode secure --password-stdin --yes
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
    if (name == "list")
        return R"(Usage: quendal list [--json]

Shows every flash disk quendal can use: its node (what --device takes), its
identity, size, layout and login state, or who holds it when another program
does. Only USB disks of a controller named in known-controllers.txt beside
SCSI.dll are shown. With --json the same as a JSON array of objects with the
keys node, emulated, identity, state (ready, busy, no access, no table, gone),
holder, sectors, layout and login. Exit code 3 when there is none.
)";
    if (name == "info")
        return R"(Usage: quendal info

Shows the flash disk: capacity in sectors and MByte, the configuration table's
kind, the layout, every area with its start and size, whether a password is
set, the login state and write protection, and the drives the host shows.
)";
    if (name == "format")
        return R"(Usage: quendal format [--mode MODE] [--first PERCENT] [--password-stdin] [--yes]

Formats the flash disk. All data on it is lost. It first shows the disk (node,
identity, size, present layout) and what will be lost, and asks you to type
yes; without a terminal to ask on it refuses unless --yes is given. Every
mounted volume of the disk is unmounted before anything is written; when one
cannot be, the format does not start and the volume, what the system said and
who holds it are shown.

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
  --yes              format without asking (for scripts)
  --force            go on when only one copy of the disk's table is left and
                     where the other lived is unknown (see 'quendal table')

The disk's table is saved on this computer first ('quendal table list').
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
        return R"(Usage: quendal passwd [--password-stdin] [--force]

Changes the password of the secure area. Asks for the old password, the new
one (at most 20 characters; empty is allowed) and its confirmation; with
--password-stdin these are read from standard input, one per line, in that
order. The disk's table is saved on this computer first ('quendal table
list'). When the change fails, quendal reads the disk again and says which
password opens it now.

Options:
  --force    go on when only one copy of the disk's table is left and where
             the other lived is unknown: the change then erases that last copy
             before it writes it again
)";
    if (name == "table") return tableHelp();
    return nullptr;
}

} // namespace cli
