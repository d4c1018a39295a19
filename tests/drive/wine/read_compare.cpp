// Reads an image through a drive letter (\\.\L:) and compares it with the image file.
//   read_compare L: IMAGE
//       reads the whole image; exit 0 when every byte matches, 1 otherwise
//   read_compare L: IMAGE --while-ejecting VELMOR-DRIVE
//       eight threads read random sectors while velmor-drive ejects the drive; exit 0 when
//       every read returned the image's bytes or failed cleanly, and nothing hung
//   read_compare L: --toc
//       prints the drive's table of contents ("track N LBA audio|data", "leadout LBA") and
//       geometry ("geometry CYLINDERS TRACKS SECTORS BYTES")
//   read_compare L: --raw LBA FILE OFFSET [data]
//       reads one raw sector (2,352 bytes, CD-DA mode, or with `data` the mode of a data track)
//       at LBA; exit 0 when it equals FILE's bytes at OFFSET
#include <windows.h>
// after windows.h, which defines their types
#include <ntddcdrm.h>
#include <winioctl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kSector = 2048;

std::vector<char> ReadWhole(HANDLE file) {
  LARGE_INTEGER size{};
  GetFileSizeEx(file, &size);
  std::vector<char> bytes(size_t(size.QuadPart));
  DWORD n = 0;
  if (!bytes.empty() && !ReadFile(file, bytes.data(), DWORD(bytes.size()), &n, nullptr))
    bytes.clear();
  bytes.resize(n);
  return bytes;
}

bool ReadAt(HANDLE drive, unsigned long long offset, char *into, DWORD length, DWORD *got) {
  OVERLAPPED at{}; // a device handle keeps no file position under Wine
  at.Offset = DWORD(offset);
  at.OffsetHigh = DWORD(offset >> 32);
  return ReadFile(drive, into, length, got, &at) != FALSE;
}

int CompareWhole(HANDLE drive, const std::vector<char> &image) {
  std::vector<char> got(64 * 1024);
  unsigned long long offset = 0;
  while (offset < image.size()) {
    const DWORD n = DWORD(std::min<size_t>(got.size(), image.size() - offset));
    DWORD m = 0;
    if (!ReadAt(drive, offset, got.data(), n, &m) || m != n ||
        std::memcmp(image.data() + offset, got.data(), n) != 0) {
      std::fprintf(stderr, "read_compare: bytes differ at %llu\n", offset);
      return 1;
    }
    offset += n;
  }
  std::printf("%llu bytes match\n", offset);
  return offset ? 0 : 1;
}

int CompareWhileEjecting(const std::string &drivePath, const char *letter,
                         const std::vector<char> &image, const char *tool) {
  const unsigned sectors = unsigned(image.size() / kSector);
  std::atomic<bool> ejected{false};
  std::atomic<int> wrong{0}, good{0}, failed{0};
  std::vector<std::thread> readers;
  for (unsigned t = 0; t < 8; ++t)
    readers.emplace_back([&, t] {
      HANDLE drive = CreateFileA(drivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
      if (drive == INVALID_HANDLE_VALUE)
        return; // the eject came first
      std::vector<char> got(4 * kSector);
      unsigned seed = 2654435761u * (t + 1);
      // Reads go on until a while after the eject, through the handle opened before it.
      for (int afterEject = 0; afterEject < 50;) {
        seed = seed * 1103515245u + 12345u;
        const unsigned count = 1 + seed % 4;
        const unsigned first = (seed >> 8) % (sectors - count);
        DWORD n = 0;
        if (ReadAt(drive, 1ull * first * kSector, got.data(), count * kSector, &n)) {
          if (n != count * kSector ||
              std::memcmp(got.data(), image.data() + 1ull * first * kSector, n) != 0)
            ++wrong;
          else
            ++good;
        } else {
          ++failed;
        }
        if (ejected)
          ++afterEject;
      }
      CloseHandle(drive);
    });

  // The eject starts once the readers have read something, however slow the machine.
  for (int i = 0; i < 6000 && good == 0 && wrong == 0; ++i)
    Sleep(10);
  const std::string command = std::string("\"") + tool + "\" eject " + letter;
  STARTUPINFOA start{};
  start.cb = sizeof(start);
  PROCESS_INFORMATION process{};
  std::vector<char> line(command.begin(), command.end());
  line.push_back(0);
  DWORD ejectStatus = 1;
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                     &process)) {
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
      GetExitCodeProcess(process.hProcess, &ejectStatus);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  ejected = true;
  for (std::thread &reader : readers)
    reader.join();
  std::printf("reads while ejecting: %d right, %d failed, %d wrong; eject exit %lu\n", good.load(),
              failed.load(), wrong.load(), ejectStatus);
  HANDLE gone = CreateFileA(drivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  const bool stillThere = gone != INVALID_HANDLE_VALUE;
  if (stillThere)
    CloseHandle(gone);
  return wrong == 0 && good > 0 && ejectStatus == 0 && !stillThere ? 0 : 1;
}

int PrintToc(HANDLE drive) {
  CDROM_TOC toc{};
  DISK_GEOMETRY geometry{};
  DWORD n = 0;
  if (!DeviceIoControl(drive, IOCTL_CDROM_READ_TOC, nullptr, 0, &toc, sizeof toc, &n, nullptr) ||
      !DeviceIoControl(drive, IOCTL_CDROM_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                       sizeof geometry, &n, nullptr)) {
    std::fprintf(stderr, "read_compare: no table of contents (error %lu)\n", GetLastError());
    return 1;
  }
  for (int i = 0; i <= toc.LastTrack - toc.FirstTrack; ++i) {
    const TRACK_DATA &t = toc.TrackData[i];
    const long lba = (t.Address[1] * 60L + t.Address[2]) * 75 + t.Address[3] - 150;
    std::printf("track %d %ld %s\n", t.TrackNumber, lba, t.Control & 4 ? "data" : "audio");
  }
  const TRACK_DATA &end = toc.TrackData[toc.LastTrack - toc.FirstTrack + 1];
  std::printf("leadout %ld\n", (end.Address[1] * 60L + end.Address[2]) * 75 + end.Address[3] - 150);
  std::printf("geometry %lld %lu %lu %lu\n", geometry.Cylinders.QuadPart,
              geometry.TracksPerCylinder, geometry.SectorsPerTrack, geometry.BytesPerSector);
  return 0;
}

int CompareRaw(HANDLE drive, long lba, const char *path, unsigned long long offset, bool data) {
  RAW_READ_INFO info{};
  info.DiskOffset.QuadPart = 2048LL * lba;
  info.SectorCount = 1;
  info.TrackMode = data ? YellowMode2 : CDDA;
  std::vector<char> got(2352), want(2352);
  DWORD n = 0;
  if (!DeviceIoControl(drive, IOCTL_CDROM_RAW_READ, &info, sizeof info, got.data(),
                       DWORD(got.size()), &n, nullptr) ||
      n != got.size()) {
    std::fprintf(stderr, "read_compare: raw read at %ld failed (error %lu)\n", lba, GetLastError());
    return 1;
  }
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE || !ReadAt(file, offset, want.data(), 2352, &n) || n != 2352) {
    std::fprintf(stderr, "read_compare: %s has no sector at %llu\n", path, offset);
    return 1;
  }
  CloseHandle(file);
  if (got != want) {
    std::fprintf(stderr, "read_compare: raw sector %ld differs\n", lba);
    return 1;
  }
  std::printf("raw sector %ld matches\n", lba);
  return 0;
}

// The drive's own requests, which need no image file.
int AskDrive(const std::string &drivePath, int argc, char **argv) {
  HANDLE drive = CreateFileA(drivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (drive == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "read_compare: %s does not open\n", drivePath.c_str());
    return 1;
  }
  const int result = argc == 3 ? PrintToc(drive)
                               : CompareRaw(drive, std::atol(argv[3]), argv[4],
                                            std::strtoull(argv[5], nullptr, 10),
                                            argc == 7 && std::strcmp(argv[6], "data") == 0);
  CloseHandle(drive);
  return result;
}

} // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && std::strlen(argv[1]) == 2 &&
      ((argc == 3 && std::strcmp(argv[2], "--toc") == 0) ||
       ((argc == 6 || argc == 7) && std::strcmp(argv[2], "--raw") == 0))) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    return AskDrive(std::string("\\\\.\\") + argv[1], argc, argv);
  }
  const bool ejecting = argc == 5 && std::strcmp(argv[3], "--while-ejecting") == 0;
  if ((argc != 3 && !ejecting) || std::strlen(argv[1]) != 2) {
    std::fprintf(stderr, "usage: read_compare L: IMAGE [--while-ejecting VELMOR-DRIVE]\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string drivePath = std::string("\\\\.\\") + argv[1];
  HANDLE file =
      CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "read_compare: %s does not open\n", argv[2]);
    return 1;
  }
  const std::vector<char> image = ReadWhole(file);
  CloseHandle(file);
  if (ejecting)
    return CompareWhileEjecting(drivePath, argv[1], image, argv[4]);
  HANDLE drive = CreateFileA(drivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (drive == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "read_compare: %s does not open\n", drivePath.c_str());
    return 1;
  }
  const int result = CompareWhole(drive, image);
  CloseHandle(drive);
  return result;
}
