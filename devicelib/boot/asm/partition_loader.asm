; Loader of the partition table sector (sector 0 of a boot area).
;
; The BIOS loads this sector to 0000:7C00 with the boot drive in DL. The code
; moves itself to 0000:0600 so that the volume's boot sector can take its place,
; picks the first active entry (flag 80h), reads the first sector of that
; volume to 0000:7C00 and jumps there with DL = the boot drive and DS:SI at the
; entry, which is what a boot sector expects from a partition table loader.
;
; The volume's first sector is read through the BIOS's LBA extensions (int 13h,
; 41h and 42h) from the entry's 32-bit start. Only when the BIOS lacks them, or
; its packet read fails, is the entry's start CHS used. Those bytes are fixed in
; our table (head 1, sector 1, cylinder 0): they name sector 63 under a 63-sector
; geometry and sector 32 under a 32-sector one (ZIP drives), so a CHS-only BIOS
; boots a volume at 32 only when it shows the disk with 32 sectors per track.
;
; Every message also goes to port 0E9h, where emulators show it on a debug
; console (nothing listens there on a PC), so that tests can read it.
;
; The code must stay within 218 bytes: the sector is zero from there up to the
; first entry at 01BEh. That leaves no room for a geometry query.

bits 16
cpu 386

RELOC      equ 0x0600
LOADADDR   equ 0x7C00
ENTRIES    equ RELOC + 0x1BE

org RELOC

start:
        ; The library's volume discovery tells this sector from a boot sector
        ; by its first bytes, FA 33 (cli; xor ax, ax in that encoding): keep them.
        cli
        db 0x33, 0xC0               ; xor ax, ax
        mov ss, ax
        mov sp, LOADADDR
        sti
        mov ds, ax
        mov es, ax
        cld
        mov si, sp
        mov di, RELOC
        mov ch, 1                   ; at least 256 words: the whole sector
        rep movsw
        jmp 0:relocated             ; some BIOSes enter at 07C0:0000

        ; The entry's flag byte keeps the drive (80h stays 80h for a fixed
        ; disk), as DOS-era loaders did.
activeEntry:
        mov [di], dl
        mov ah, 0x41
        mov bx, 0x55AA
        int 0x13
        jc readChs

        ; Disk address packet on the stack: 16 bytes, one sector to 0000:7C00.
        push dword 0
        push dword [di + 8]
        push es
        push LOADADDR
        push byte 1
        push byte 16
        mov si, sp
        mov ah, 0x42                ; DL is still the drive: 41h returns none there
        int 0x13
        jnc checkSignature

readChs:
        mov ax, 0x0201
        mov bx, LOADADDR
        mov cx, [di + 2]
        mov dx, [di]                ; dl = drive, dh = start head
        int 0x13
        jc loadError

checkSignature:
        cmp word [LOADADDR + 0x1FE], 0xAA55
        jne missingSystem
        mov si, di                  ; int 13h left DL alone
        jmp 0:LOADADDR

relocated:
        mov di, ENTRIES
        mov cl, 4
.scan:  cmp byte [di], 0x80
        je activeEntry
        add di, 16
        loop .scan
        ; no active entry: fall into the message
invalidTable:
        mov si, msgInvalid
        db 0xB9                     ; mov cx, imm16: skips the next mov's opcode and
                                    ; low byte; its high byte (06h) is a push es

loadError:
        mov si, msgError
        db 0xB9                     ; likewise
missingSystem:
        mov si, msgMissing
print:  lodsb
        test al, al
        jz stop
        out 0xE9, al
        mov ah, 0x0E
        mov bx, 7
        int 0x10
        jmp print
stop:   hlt
        jmp stop

msgInvalid: db "Invalid partition table", 0
msgError:   db "Error loading operating system", 0
msgMissing: db "Missing operating system", 0

        ; The skips above rely on the messages' high address byte being 06h.
        times (((msgError - $$ + RELOC) >> 8) == 6 && ((msgMissing - $$ + RELOC) >> 8) == 6) - 1 db 0

        times 218 - ($ - $$) db 0
