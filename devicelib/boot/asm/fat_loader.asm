; Boot sector loader of the FAT12/FAT16 templates.
;
; Assembled twice: for the template with the jump EB 3E 90 (code at 40h, also
; knows WINBOOT.SYS) and for the one with EB 3C 90 (code at 3Eh). The BIOS or
; the partition table loader has put the boot sector at 0000:7C00 with the boot
; drive in DL.
;
; Finds "IO      SYS" in the root directory ("WINBOOT SYS" when IO.SYS is not
; there and the template names it), loads its first sectors and starts it; see
; START_SYSTEM_FILE for what the system file gets. All sector numbers are
; counted from the start of the disk: the volume starts at the BPB's hidden
; sector count.

bits 16
cpu 386
org 0x7C00 + CODE_OFFSET

BPB_DRIVE equ 0x24
%define CHS_TRIES 3               ; FAT12 media are often floppy-like; the FAT32
                                  ; loader has no room for retries

%include "boot_defs.inc"

start:
        ENTER_LOADER

        ; root directory = hidden + reserved + FAT count x FAT size
        movzx eax, byte [bp + BPB_FAT_COUNT]
        movzx ecx, word [bp + BPB_FAT_SIZE16]
        mul ecx
        mov cx, [bp + BPB_RESERVED]
        add eax, ecx
        add eax, [bp + BPB_HIDDEN]
        mov [bp + ROOT_START], eax
        mov cx, [bp + BPB_ROOT_ENTRIES]
        add cx, 15
        shr cx, 4                   ; 16 entries a sector
        mov [bp + ROOT_SECTORS], cx
        add eax, ecx
        mov [bp + DATA_START], eax

        mov si, nameIo
        call findInRoot
%ifdef WITH_WINBOOT
        jnc .found
        mov si, nameWinboot
        call findInRoot
%endif
        jc invalidDisk
.found:
        movzx eax, word [di + 0x1A] ; first cluster
        sub ax, 2
        jb invalidDisk
        movzx edx, byte [bp + BPB_SECTORS_PER_CLUSTER]
        mul edx
        add eax, [bp + DATA_START]
        START_SYSTEM_FILE

; Looks for the name at DS:SI in the root directory. CF clear and DI at its
; entry in the buffer when found; CF set at the end of the directory.
findInRoot:
        mov eax, [bp + ROOT_START]
        mov dx, [bp + ROOT_SECTORS]
.sector:
        mov bx, BUFFER
        call readSector
        SCAN_DIRECTORY_SECTOR .done, .none
        inc eax
        dec dx
        jnz .sector
.none:  stc
.done:  ret                         ; CF is clear after the match's test

%include "boot_tail.inc"
