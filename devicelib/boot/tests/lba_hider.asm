; Boot sector of a floppy image for the boot tests: hides the BIOS's LBA
; extensions for the hard disk, then boots the hard disk as the BIOS would
; (sector 0 to 0000:7C00, DL = 80h). Our loaders then must read by CHS.
; With a nonzero byte at 01FDh every other CHS read of the hard disk after
; the first fails, as a drive that needs a second try would.

bits 16
cpu 386
org 0x7C00

start:
        xor ax, ax
        mov ss, ax
        mov sp, 0x7C00
        mov ds, ax
        mov es, ax
        ; keep 1 KiB at the top of conventional memory for the hook
        dec word [0x413]
        int 0x12
        shl ax, 6                   ; KiB -> paragraphs
        mov es, ax
        cld
        mov si, hook
        xor di, di
        mov cx, hookEnd - hook
        rep movsb
        mov eax, [0x13 * 4]
        mov [es:oldInt13 - hook], eax
        mov al, [flakyFlag]
        mov [es:flaky - hook], al
        cli
        mov word [0x13 * 4], 0
        mov [0x13 * 4 + 2], es
        sti
        ; read the hard disk's sector 0 over ourselves from a copy elsewhere
        xor ax, ax
        mov es, ax
        mov si, relocated
        mov di, 0x0600
        mov cx, 0x100
        rep movsb
        jmp 0:0x0600 + (boot - relocated)

relocated:
boot:   mov ax, 0x0201
        mov bx, 0x7C00
        mov cx, 0x0001
        mov dx, 0x0080
        int 0x13
        jc boot
        jmp 0:0x7C00

; Runs at offset 0 of its own segment.
hook:   cmp dl, 0x80
        jb .pass
        cmp ah, 0x02
        jne .lba
        cmp byte [cs:flaky - hook], 0
        je .pass
        inc byte [cs:reads - hook]
        test byte [cs:reads - hook], 1
        jnz .pass                   ; the 1st, 3rd, ... read works
        mov ah, 0x80                ; timeout
        jmp .fail
.lba:   cmp ah, 0x41
        jb .pass
        cmp ah, 0x48
        ja .pass
        mov ah, 0x01                ; invalid function
.fail:  push bp
        mov bp, sp
        or byte [bp + 6], 1         ; CF in the caller's flags
        pop bp
        iret
.pass:  db 0xEA                     ; jmp far to the BIOS's handler
oldInt13 equ $
        dd 0
flaky:  db 0
reads:  db 0
hookEnd:

        times 509 - ($ - $$) db 0
flakyFlag:
        db 0
        dw 0xAA55
