; FAT12/FAT16 boot sector loader (first version: reports and stops).
bits 16
cpu 386
org 0x7C00 + CODE_OFFSET

start:
        xor ax, ax
        mov ds, ax
        mov si, msgInvalid
.next:  lodsb
        test al, al
        jz .stop
        out 0xE9, al
        mov ah, 0x0E
        mov bx, 7
        int 0x10
        jmp .next
.stop:  hlt
        jmp .stop

msgInvalid: db 13, 10, "Invalid system disk", 0
msgIoError: db 13, 10, "Disk I/O error", 0
msgReplace: db 13, 10, "Replace the disk, and then press any key", 13, 10, 0

%ifdef WITH_WINBOOT
names_len equ 33
%else
names_len equ 22
%endif
        times (0x1FE - CODE_OFFSET) - names_len - ($ - $$) db 0
names:  db "IO      SYS"
        db "MSDOS   SYS"
%ifdef WITH_WINBOOT
        db "WINBOOT SYS"
%endif
