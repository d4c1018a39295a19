/* A UEFI application for the boot tests: writes one line through the firmware's console (which
 * OVMF copies to the serial port) and to COM1 itself, then powers the machine off. Built with
 * mingw-w64 as a PE of subsystem 10 (EFI application) without any library:
 *   x86_64-w64-mingw32-gcc -ffreestanding -nostdlib -mno-red-zone -e efi_main
 *     -Wl,--subsystem,10 -o BOOTX64.EFI efi_hello.c */
typedef unsigned long long Uintn;
typedef unsigned short Char16;

struct TextOutput {
  void *Reset;
  Uintn (*OutputString)(struct TextOutput *self, const Char16 *text);
};

struct RuntimeServices {
  char Header[24];
  void *Services[10]; /* GetTime .. GetNextHighMonotonicCount */
  void (*ResetSystem)(int type, Uintn status, Uintn size, void *data);
};

struct SystemTable {
  char Header[24];
  Char16 *FirmwareVendor;
  unsigned FirmwareRevision;
  void *ConsoleInHandle, *ConIn, *ConsoleOutHandle;
  struct TextOutput *ConOut;
  void *StandardErrorHandle, *StdErr;
  struct RuntimeServices *RuntimeServices;
};

static void Outb(unsigned short port, unsigned char value) {
  __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

static unsigned char Inb(unsigned short port) {
  unsigned char value;
  __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

Uintn efi_main(void *image, struct SystemTable *system) {
  static const char line[] = "VELMOR EFI OK\r\n";
  Char16 wide[sizeof line];
  (void)image;
  for (unsigned i = 0; i < sizeof line; ++i)
    wide[i] = (Char16)line[i];
  system->ConOut->OutputString(system->ConOut, wide);
  for (const char *p = line; *p; ++p) {
    while (!(Inb(0x3FD) & 0x20)) /* the transmitter is empty */
      ;
    Outb(0x3F8, (unsigned char)*p);
  }
  system->RuntimeServices->ResetSystem(2 /* shutdown */, 0, 0, 0);
  return 0;
}
