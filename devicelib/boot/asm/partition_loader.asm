; Partition table sector loader (first version: reports and stops).
bits 16
cpu 386
org 0x7C00

start:
        xor ax, ax
        mov ds, ax
        mov si, msgMissing
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

msgInvalid: db "Invalid partition table", 0
msgError:   db "Error loading operating system", 0
msgMissing: db "Missing operating system", 0

        times 218 - ($ - $$) db 0
