// Win32 side of the platform seam: FindFirstFile listings with 8.3 names and the system's
// time-zone bias.
#include "platform.h"

#include <windows.h>

namespace velmor {

namespace {

TDateTime FromSystemTime(const SYSTEMTIME &st) {
  DateParts p;
  p.Year = st.wYear;
  p.Month = st.wMonth;
  p.Day = st.wDay;
  p.Hour = st.wHour;
  p.Minute = st.wMinute;
  p.Second = st.wSecond;
  p.Millisecond = st.wMilliseconds;
  return EncodeDateTime(p);
}

TDateTime FromFileTime(const FILETIME &utc) {
  FILETIME local{};
  SYSTEMTIME st{};
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st))
    return 0;
  return FromSystemTime(st);
}

// `listed`: found in a folder's listing, where links to folders are left out; a path given by
// name is taken as what it leads to.
ListingRecord FromFindData(const WIN32_FIND_DATAA &fd, bool listed) {
  ListingRecord r;
  r.Name = fd.cFileName;
  r.AlternateName = fd.cAlternateFileName;
  r.Attr = fd.dwFileAttributes;
  r.Size = (static_cast<std::uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
  r.LastWrite = FromFileTime(fd.ftLastWriteTime);
  // The ANSI listing gives "?" for each character the code page lacks ("?" is never part of a
  // name, nor the second byte of a double-byte character): such a name opens nothing.
  if (r.Name.find('?') != std::string::npos)
    r.Refusal = LeftOutReason::kNameOutsideCodePage;
  // The tag is in dwReserved0 only for a reparse point.
  if (listed && r.Refusal == LeftOutReason::kNone)
    r.Refusal = ListedFolderRefusal(
        r.Attr, (r.Attr & FILE_ATTRIBUTE_REPARSE_POINT) ? std::uint32_t(fd.dwReserved0) : 0);
  return r;
}

class FindHandle {
public:
  explicit FindHandle(HANDLE h) : h_(h) {}
  FindHandle(const FindHandle &) = delete;
  FindHandle &operator=(const FindHandle &) = delete;
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE)
      FindClose(h_);
  }
  HANDLE get() const { return h_; }

private:
  HANDLE h_;
};

class FileHandle {
public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;
  ~FileHandle() { close(); }
  HANDLE get() const { return h_; }
  bool close() {
    if (h_ == INVALID_HANDLE_VALUE)
      return false;
    const bool ok = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

private:
  HANDLE h_;
};

class Win32SourceFile : public SourceFile {
public:
  explicit Win32SourceFile(HANDLE h) : h_(h) {}
  std::int64_t Read(void *buffer, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      DWORD n = 0;
      const DWORD want = static_cast<DWORD>(count - done);
      if (!ReadFile(h_.get(), static_cast<char *>(buffer) + done, want, &n, nullptr))
        return done > 0 ? static_cast<std::int64_t>(done) : -1;
      if (n == 0)
        break;
      done += n;
    }
    return static_cast<std::int64_t>(done);
  }
  bool Skip(std::uint64_t count) override {
    LARGE_INTEGER by;
    by.QuadPart = static_cast<LONGLONG>(count);
    return count <= 0x7FFFFFFFFFFFFFFFull && SetFilePointerEx(h_.get(), by, nullptr, FILE_CURRENT);
  }

private:
  FileHandle h_;
};

class Win32ImageFile : public ImageFile {
public:
  explicit Win32ImageFile(HANDLE h) : h_(h) {}
  bool Write(const void *data, std::size_t count) override {
    const char *p = static_cast<const char *>(data);
    while (count > 0) {
      DWORD n = 0;
      if (!WriteFile(h_.get(), p, static_cast<DWORD>(count), &n, nullptr))
        return false;
      // A write that stops part-way is asked again, which gives the system's reason; one that
      // writes nothing and reports success is a full disk.
      if (n == 0) {
        SetLastError(ERROR_DISK_FULL);
        return false;
      }
      p += n;
      count -= n;
    }
    return true;
  }
  bool Close() override { return h_.close(); }

private:
  FileHandle h_;
};

class Win32Platform : public Platform {
public:
  char Separator() const override { return '\\'; }

  bool ListFolder(const std::string &folder, const std::string &mask,
                  std::vector<ListingRecord> &out) override {
    out.clear();
    WIN32_FIND_DATAA fd{};
    FindHandle find(FindFirstFileA((folder + mask).c_str(), &fd));
    if (find.get() == INVALID_HANDLE_VALUE)
      return GetLastError() == ERROR_FILE_NOT_FOUND; // an empty drive root lists nothing
    do {
      const std::string name = fd.cFileName;
      if (name != "." && name != "..")
        out.push_back(FromFindData(fd, true));
    } while (FindNextFileA(find.get(), &fd));
    return true;
  }

  bool Stat(const std::string &path, ListingRecord &out) override {
    WIN32_FIND_DATAA fd{};
    FindHandle find(FindFirstFileA(path.c_str(), &fd));
    if (find.get() == INVALID_HANDLE_VALUE)
      return false;
    out = FromFindData(fd, false);
    return true;
  }

  std::unique_ptr<SourceFile> OpenRead(const std::string &path) override {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      return nullptr;
    return std::make_unique<Win32SourceFile>(h);
  }

  // An existing file is emptied only when it holds something: CREATE_ALWAYS truncates even the
  // empty temporary file velmor-mkiso has just made, which Wine does with O_TRUNC, and a
  // truncated file on ext4 is written back as soon as it is closed (closing waits for the disk).
  std::unique_ptr<ImageFile> CreateImage(const std::string &path) override {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      return nullptr;
    auto image = std::make_unique<Win32ImageFile>(h);
    LARGE_INTEGER size{};
    if (GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &size) && size.QuadPart > 0 &&
        !SetEndOfFile(h))
      return nullptr;
    return image;
  }

  std::unique_ptr<ImageFile> StandardOutput() override {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (out == INVALID_HANDLE_VALUE || !out ||
        !DuplicateHandle(GetCurrentProcess(), out, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
      return nullptr;
    return std::make_unique<Win32ImageFile>(copy);
  }

  TDateTime Now() override {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return FromSystemTime(st);
  }

  int TimeZoneBiasMinutes() override {
    TIME_ZONE_INFORMATION tzi{};
    GetTimeZoneInformation(&tzi);
    return static_cast<int>(tzi.Bias);
  }

  std::uint32_t LastSystemCode() const override { return GetLastError(); }
};

} // namespace

Platform &NativePlatform() {
  static Win32Platform platform;
  return platform;
}

} // namespace velmor
