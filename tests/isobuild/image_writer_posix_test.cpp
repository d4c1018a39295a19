// Threaded image writes to real files: what reaches the disk, and the disk refusing it.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/resource.h>
#include <unistd.h>

#include "writer_platform.h"

namespace velmor::testing {
namespace {

namespace fs = std::filesystem;

class PosixWriterTest : public ::testing::Test {
protected:
  fs::path dir;
  TKavoBurner burner{NativePlatform()};
  Completion done;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmor-writer-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    burner.NewCompilation(600000, 20000);
    done.Attach(burner);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string MakeFile(const std::string &name, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
      bytes[i] = static_cast<char>(i * 7 + name.size());
    std::ofstream((dir / "src" / name).string(), std::ios::binary) << bytes;
    return bytes;
  }
  std::string Write(const fs::path &image) {
    burner.InsertFolder("\\", (dir / "src").string(), false, false, true, kAllAttributes, "*.*");
    burner.PrepareImage(true, nullptr);
    burner.WriteImage(image.string()); // a failure before the start is reported all the same
    return done.Wait();
  }
};

TEST_F(PosixWriterTest, EveryFileLiesAtItsSectorAndTheLengthIsComplete) {
  fs::create_directories(dir / "src");
  const std::map<std::string, std::string> files = {{"a.bin", MakeFile("a.bin", 5)},
                                                    {"b.bin", MakeFile("b.bin", 2 * 63488)},
                                                    {"c.bin", MakeFile("c.bin", 3 * 1048576 + 1)}};
  EXPECT_EQ(Write(dir / "out.iso"), "");
  std::ifstream in(dir / "out.iso", std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(image.size(), static_cast<std::size_t>(burner.ImageSectors() * 2048));
  for (const auto &[name, bytes] : files) {
    const TEntryNode *e = burner.FindEntry(burner.FindDir("\\"), name);
    ASSERT_NE(e, nullptr) << name;
    const std::size_t at = (burner.Layout().FirstFileSector + e->IsoSector) * 2048u;
    EXPECT_TRUE(image.compare(at, bytes.size(), bytes) == 0) << name;
  }
}

TEST_F(PosixWriterTest, TargetInAMissingFolderCannotBeCreated) {
  fs::create_directories(dir / "src");
  MakeFile("a.bin", 100);
  const fs::path target = dir / "missing" / "out.iso";
  EXPECT_EQ(Write(target), "CAN'T CREATE FILE \"" + target.string() + "\"");
  EXPECT_FALSE(fs::exists(target));
}

// A file-size limit stands in for a full disk: writes past it fail with EFBIG.
TEST_F(PosixWriterTest, FullDiskIsAFailureNamingTheImage) {
  fs::create_directories(dir / "src");
  MakeFile("a.bin", 4 * 1048576);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 1048576 + 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const fs::path target = dir / "out.iso";
  const std::string error = Write(target);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
  EXPECT_EQ(error, "CAN'T WRITE FILE \"" + target.string() + "\"");
}

} // namespace
} // namespace velmor::testing
