; A tiny system file for the boot tests. Started by our boot sectors at
; 0070:0000, it reports on COM1 what it was handed and halts:
;   "SYSFILE cs=0070 ip=0000 dl=80 drive=80 sig=AA55 hidden=00000020
;    spt=003F heads=0010 tail=TAIL\r\n"
; "tail" is read from the file's last bytes of its fourth sector, so it only
; shows when all 2048 bytes the contract promises were loaded. The file is
; longer than that, so a loader that trusted the size alone would read more.

bits 16
cpu 386
org 0

COM1 equ 0x3F8

start:
        call .here
.here:  pop di                      ; IP of .here, to check where we run
        sub di, .here - start
        mov cx, cs
        push cs
        pop ds
        mov si, txtHead
        call puts
        mov ax, cx
        call hex16                  ; cs
        mov si, txtIp
        call puts
        mov ax, di
        call hex16
        mov si, txtDl
        call puts
        mov al, dl
        call hex8
        ; drive number in the BPB at SS:BP: FAT32 boot sectors have the
        ; extended signature 29h at 42h, the others at 26h
        mov si, txtDrive
        call puts
        mov bx, 0x24
        cmp byte [ss:bp + 0x42], 0x29
        jne .fat16
        mov bx, 0x40
.fat16: add bx, bp
        mov al, [ss:bx]
        call hex8
        mov si, txtSig
        call puts
        mov ax, [ss:bp + 0x1FE]
        call hex16
        mov si, txtHidden
        call puts
        mov ax, [ss:bp + 0x1E]
        call hex16
        mov ax, [ss:bp + 0x1C]
        call hex16
        mov si, txtSpt
        call puts
        mov ax, [ss:bp + 0x18]
        call hex16
        mov si, txtHeads
        call puts
        mov ax, [ss:bp + 0x1A]
        call hex16
        mov si, txtTail
        call puts
        mov si, tail
        call puts
        mov si, txtEnd
        call puts
.stop:  cli
        hlt
        jmp .stop

puts:   lodsb
        test al, al
        jz .done
        call putc
        jmp puts
.done:  ret

hex16:  push ax
        mov al, ah
        call hex8
        pop ax
hex8:   push ax
        shr al, 4
        call .digit
        pop ax
.digit: and al, 0x0F
        add al, '0'
        cmp al, '9'
        jbe putc
        add al, 'A' - '9' - 1
putc:   push dx
        mov dx, COM1
        out dx, al
        pop dx
        ret

txtHead:   db "SYSFILE cs=", 0
txtIp:     db " ip=", 0
txtDl:     db " dl=", 0
txtDrive:  db " drive=", 0
txtSig:    db " sig=", 0
txtHidden: db " hidden=", 0
txtSpt:    db " spt=", 0
txtHeads:  db " heads=", 0
txtTail:   db " tail=", 0
txtEnd:    db 13, 10, 0

        times 2048 - 5 - ($ - $$) db 0
tail:   db "TAIL", 0
        times 512 db 0xCC           ; a fifth sector no loader needs
