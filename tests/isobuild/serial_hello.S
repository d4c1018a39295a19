/* A 2 KiB boot image that writes one line to COM1 and halts; the boot tests look for that line.
 * It serves as a no-emulation image and as the first sector of an emulated floppy (hence the
 * signature at 510). Assembled with GNU as, linked for 0x7C00 and cut to a flat binary:
 *   as --32 -o hello.o serial_hello.S
 *   ld -m elf_i386 -Ttext 0x7C00 --oformat binary -o hello.bin hello.o */
        .code16
        .text
        .globl _start
_start:
        jmp     start
        .org    64                      /* bytes 8-63 are left to a boot information table */
start:
        /* The BIOS may enter as 07C0:0000 or 0000:7C00; a far jump makes CS 0 either way. */
        ljmp    $0, $flat
flat:
        cli
        xor     %ax, %ax
        mov     %ax, %ds
        mov     %ax, %ss
        mov     $0x7C00, %sp
        mov     $message, %si
        cld
next:
        lodsb
        test    %al, %al
        jz      halt
        mov     %al, %ah
        mov     $0x3FD, %dx             /* line status: wait until the transmitter is empty */
wait:
        in      %dx, %al
        test    $0x20, %al
        jz      wait
        mov     $0x3F8, %dx             /* COM1 data */
        mov     %ah, %al
        out     %al, %dx
        jmp     next
halt:
        hlt
        jmp     halt

message:
        .asciz  "VELMOR BOOT OK\r\n"

        .org    510
        .byte   0x55, 0xAA
        .org    2048
