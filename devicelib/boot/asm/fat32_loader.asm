; Boot sector loader of the FAT32 template (jump EB 5A 90, code at 5Ch).
;
; The partition table loader has put the boot sector at 0000:7C00 with the
; boot drive in DL. Finds "IO      SYS" ("WINBOOT SYS" when IO.SYS is not
; there) in the first cluster of the root directory, loads the file's first
; sectors and starts it; see START_SYSTEM_FILE for what the system file gets.
; Our FAT32 volumes keep the root directory in one cluster (files are only ever
; added into it), so its chain is not followed; that also keeps the code
; within the 418 bytes the template leaves. All sector numbers are counted from the start of the disk: the
; volume starts at the BPB's hidden sector count. Only the boot sector itself
; is needed; the template's other two sectors hold no code.

bits 16
cpu 386
org 0x7C00 + CODE_OFFSET

BPB_DRIVE        equ 0x40
BPB_FAT_SIZE32   equ 0x24
BPB_ROOT_CLUSTER equ 0x2C

%include "boot_defs.inc"

start:
        ENTER_LOADER

        ; data area = hidden + reserved + FAT count x FAT size
        movzx eax, byte [bp + BPB_FAT_COUNT]
        mul dword [bp + BPB_FAT_SIZE32]
        movzx ecx, word [bp + BPB_RESERVED]
        add eax, ecx
        add eax, [bp + BPB_HIDDEN]
        mov [bp + DATA_START], eax

        mov si, nameIo
        call findInRoot
        jnc .found
        mov si, nameWinboot
        call findInRoot
        jc invalidDisk
.found:
        mov ax, [di + 0x14]         ; first cluster, high word
        shl eax, 16
        mov ax, [di + 0x1A]
        call clusterToSector
        START_SYSTEM_FILE

; Looks for the name at DS:SI in the root directory's first cluster. CF clear
; and DI at its entry in the buffer when found; CF set otherwise.
findInRoot:
        mov eax, [bp + BPB_ROOT_CLUSTER]
        call clusterToSector
        movzx dx, byte [bp + BPB_SECTORS_PER_CLUSTER]
.sector:
        mov bx, BUFFER
        call readSector
        SCAN_DIRECTORY_SECTOR .done, .none
        inc eax
        dec dx
        jnz .sector
.none:  stc
.done:  ret                         ; CF is clear after the match's test

; EAX = cluster number -> EAX = its first sector. Clusters 0 and 1 do not exist.
clusterToSector:
        sub eax, 2
        jb invalidDisk
        movzx ecx, byte [bp + BPB_SECTORS_PER_CLUSTER]
        mul ecx
        add eax, [bp + DATA_START]
        ret

%include "boot_tail.inc"
