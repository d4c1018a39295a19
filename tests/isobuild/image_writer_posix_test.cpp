// Threaded image writes to real files that the system refuses. Complete images written through
// velmor-mkiso are read back by other tools in the peer check.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
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

  void MakeFile(const std::string &name, std::size_t size) {
    fs::create_directories(dir / "src");
    std::ofstream((dir / "src" / name).string(), std::ios::binary) << std::string(size, 'x');
  }
  std::string Write(const fs::path &image) {
    burner.InsertFolder("\\", (dir / "src").string(), false, false, true, kAllAttributes, "*.*");
    burner.PrepareImage(true, nullptr);
    burner.WriteImage(image.string()); // a failure before the start is reported all the same
    return done.Wait();
  }
};

TEST_F(PosixWriterTest, TargetInAMissingFolderCannotBeCreated) {
  MakeFile("a.bin", 100);
  const fs::path target = dir / "missing" / "out.iso";
  EXPECT_EQ(Write(target), "CAN'T CREATE FILE \"" + target.string() + "\"");
  EXPECT_FALSE(fs::exists(target));
}

// A file-size limit stands in for a full disk: writes past it fail with EFBIG.
TEST_F(PosixWriterTest, FullDiskIsAFailureNamingTheImage) {
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
