// POSIX side of the platform seam: no alternate names, regular files carry the archive
// attribute.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmor {

namespace {

TDateTime LocalDateTime(std::time_t seconds, long nanoseconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  DateParts p;
  p.Year = local.tm_year + 1900;
  p.Month = local.tm_mon + 1;
  p.Day = local.tm_mday;
  p.Hour = local.tm_hour;
  p.Minute = local.tm_min;
  p.Second = std::min(local.tm_sec, 59);
  p.Millisecond = static_cast<int>(nanoseconds / 1000000);
  return EncodeDateTime(p);
}

bool MatchesMask(const std::string &mask, const std::string &name) {
  // "*.*" means every name, as on Windows.
  if (mask.empty() || mask == "*" || mask == "*.*")
    return true;
  return fnmatch(mask.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

// Fills a record from the path's status. Inside a folder, symbolic links are followed to files
// only: a link to a folder could loop, and an ISO 9660 image has no way to keep it. Devices,
// pipes and sockets are not files to copy. Such names get a record with the reason they are left
// out; false only when nothing is there.
bool RecordFromPath(const std::string &path, const std::string &name, ListingRecord &out,
                    bool followFolderLinks) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0)
    return false;
  out = ListingRecord{};
  out.Name = name;
  if (S_ISLNK(st.st_mode)) {
    if (stat(path.c_str(), &st) != 0) {
      out.Refusal = LeftOutReason::kBrokenLink;
      return true;
    }
    if (S_ISDIR(st.st_mode) && !followFolderLinks) {
      out.Refusal = LeftOutReason::kLinkToFolder;
      return true;
    }
  }
  if (S_ISDIR(st.st_mode)) {
    out.Attr = kAttrDirectory;
  } else if (S_ISREG(st.st_mode)) {
    out.Attr = kAttrArchive;
    out.Size = static_cast<std::uint64_t>(st.st_size);
  } else {
    out.Refusal = LeftOutReason::kNotFileOrFolder;
    return true;
  }
  out.LastWrite = LocalDateTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return true;
}

class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

private:
  int fd_;
};

class PosixSourceFile : public SourceFile {
public:
  explicit PosixSourceFile(int fd) : fd_(fd) {}
  std::int64_t Read(void *buffer, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = ::read(fd_.get(), static_cast<char *>(buffer) + done, count - done);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return done > 0 ? static_cast<std::int64_t>(done) : -1;
      if (n == 0)
        break;
      done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
  }
  bool Skip(std::uint64_t count) override {
    return count <= static_cast<std::uint64_t>(INT64_MAX) &&
           ::lseek(fd_.get(), static_cast<off_t>(count), SEEK_CUR) >= 0;
  }

private:
  Descriptor fd_;
};

// Collects small writes (the image of many small files is a stream of single sectors) into
// large ones.
class PosixImageFile : public ImageFile {
public:
  explicit PosixImageFile(int fd) : fd_(fd) {
    buffer_.reserve(kBufferBytes);
    // A pipe or a device cannot seek or be truncated, and a file opened for appending writes at
    // its end whatever the offset: their zeros are written out.
    struct stat st {};
    holes_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !(::fcntl(fd, F_GETFL) & O_APPEND);
  }
  bool Write(const void *data, std::size_t count) override {
    if (!SettleZeros())
      return false;
    const char *p = static_cast<const char *>(data);
    // Large pieces go straight to the file; small ones are gathered first.
    if (count >= kDirectBytes)
      return Flush() && WriteAll(p, count);
    if (buffer_.size() + count > kBufferBytes && !Flush())
      return false;
    buffer_.insert(buffer_.end(), p, p + count);
    return true;
  }
  bool WriteZeros(std::uint64_t count) override {
    pendingZeros_ += count;
    return true;
  }
  bool Close() override {
    bool ok = SettleZeros() && Flush();
    if (ok && endsInHole_) {
      const off_t end = ::lseek(fd_.get(), 0, SEEK_CUR);
      ok = end >= 0 && ::ftruncate(fd_.get(), end) == 0;
    }
    const int fd = fd_.release();
    return fd >= 0 && ::close(fd) == 0 && ok;
  }

private:
  static constexpr std::size_t kBufferBytes = 1 << 20;
  static constexpr std::size_t kDirectBytes = 64 << 10;

  // Long runs of zeros become a hole (the file gets its length when it is closed); short ones
  // are written.
  bool SettleZeros() {
    std::uint64_t zeros = pendingZeros_;
    pendingZeros_ = 0;
    if (zeros >= kBufferBytes && holes_) {
      if (!Flush() || ::lseek(fd_.get(), static_cast<off_t>(zeros), SEEK_CUR) < 0)
        return false;
      endsInHole_ = true;
      return true;
    }
    while (zeros > 0) {
      if (buffer_.size() == kBufferBytes && !Flush())
        return false;
      const std::uint64_t n = std::min<std::uint64_t>(zeros, kBufferBytes - buffer_.size());
      buffer_.resize(buffer_.size() + static_cast<std::size_t>(n), 0);
      zeros -= n;
    }
    return true;
  }

  bool Flush() {
    const bool ok = WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }
  bool WriteAll(const char *p, std::size_t count) {
    if (count > 0)
      endsInHole_ = false;
    while (count > 0) {
      const ssize_t n = ::write(fd_.get(), p, count);
      if (n < 0 && errno == EINTR)
        continue;
      // A write that stops part-way is asked again, which gives the system's reason; one that
      // writes nothing and gives none is a full disk.
      if (n == 0)
        errno = ENOSPC;
      if (n <= 0)
        return false;
      p += n;
      count -= static_cast<std::size_t>(n);
    }
    return true;
  }

  Descriptor fd_;
  std::vector<char> buffer_;
  std::uint64_t pendingZeros_ = 0;
  bool endsInHole_ = false;
  bool holes_ = false;
};

class PosixPlatform : public Platform {
public:
  char Separator() const override { return '/'; }

  bool ListFolder(const std::string &folder, const std::string &mask,
                  std::vector<ListingRecord> &out) override {
    out.clear();
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
      return false;
    std::vector<std::string> names;
    while (const dirent *e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != ".." && MatchesMask(mask, name))
        names.push_back(name);
    }
    ::closedir(dir);
    // Directory order of the file system is arbitrary; sorted names make images repeatable.
    std::sort(names.begin(), names.end());
    out.reserve(names.size());
    ListingRecord record;
    for (const std::string &name : names)
      if (RecordFromPath(folder + name, name, record, false))
        out.push_back(std::move(record));
    return true;
  }

  bool Stat(const std::string &path, ListingRecord &out) override {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
      trimmed.pop_back();
    const std::size_t slash = trimmed.find_last_of('/');
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    return RecordFromPath(trimmed, name, out, true);
  }

  std::unique_ptr<SourceFile> OpenRead(const std::string &path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return nullptr;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::make_unique<PosixSourceFile>(fd);
  }

  // An existing file is emptied only when it holds something. Truncating a file, even an empty
  // one such as the temporary file velmor-mkiso has just made, marks it on ext4 to be written
  // back as soon as it is closed: closing a 1 GiB image then waits for the disk.
  std::unique_ptr<ImageFile> CreateImage(const std::string &path) override {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0)
      return nullptr;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 ||
        (S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd.get(), 0) != 0))
      return nullptr;
    return std::make_unique<PosixImageFile>(fd.release());
  }

  std::unique_ptr<ImageFile> StandardOutput() override {
    const int fd = ::dup(STDOUT_FILENO);
    if (fd < 0)
      return nullptr;
    return std::make_unique<PosixImageFile>(fd);
  }

  bool CaseSensitiveNames() const override { return true; }

  TDateTime Now() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return LocalDateTime(ts.tv_sec, ts.tv_nsec);
  }

  int TimeZoneBiasMinutes() override {
    tzset();
    return static_cast<int>(timezone / 60); // seconds west of UTC, standard time
  }

  std::uint32_t LastSystemCode() const override { return static_cast<std::uint32_t>(errno); }
};

} // namespace

Platform &NativePlatform() {
  static PosixPlatform platform;
  return platform;
}

} // namespace velmor
