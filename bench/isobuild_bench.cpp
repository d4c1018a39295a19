// Gathering, layout and header of large synthetic compilations, read from an in-memory file
// source. The time per entry should stay flat as the trees grow.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>

#include "kavo_burner.h"
#include "mock_platform.h"

namespace {

using velmor::TKavoBurner;
using velmor::testing::MockPlatform;

// A tree of `dirs` folders (root folder included, fan-out 30) holding `entries` entries in all.
std::unique_ptr<MockPlatform> MakeTree(int dirs, int entries) {
  auto fs = std::make_unique<MockPlatform>();
  std::vector<std::string> paths{"D:\\T"};
  fs->AddFolder("D:\\T");
  for (int i = 1; i < dirs; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "\\Folder %05d", i);
    paths.push_back(paths[static_cast<std::size_t>((i - 1) / 30)] + name);
    fs->AddFolder(paths.back());
  }
  const int files = entries - (dirs - 1);
  for (int i = 0; i < files; ++i) {
    char name[40];
    std::snprintf(name, sizeof name, "\\file number %06d.dat", i);
    fs->AddFile(paths[static_cast<std::size_t>(i % dirs)] + name, 1000);
  }
  return fs;
}

void Build(benchmark::State &state, MockPlatform &fs, int entries) {
  for (auto _ : state) {
    auto burner = std::make_unique<TKavoBurner>(fs);
    burner->NewCompilation(600000, 20000);
    burner->InsertFolder("\\", "D:\\T", false, true, true, velmor::kAllAttributes, "*.*");
    burner->PrepareImage(true, nullptr);
    benchmark::DoNotOptimize(burner->ImageSectors());
    // Releasing the compilation is no part of gathering it: whichever of the two frees it, it is
    // not timed.
    state.PauseTiming();
    burner.reset();
    { TKavoBurner drop(fs); }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * entries);
}

void BM_Tree(benchmark::State &state) {
  static std::map<int, std::unique_ptr<MockPlatform>> trees;
  const int dirs = static_cast<int>(state.range(0));
  const int entries = dirs * 30;
  auto &fs = trees[dirs];
  if (!fs)
    fs = MakeTree(dirs, entries);
  Build(state, *fs, entries);
}
BENCHMARK(BM_Tree)->Arg(2500)->Arg(5000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_OneFolder(benchmark::State &state) {
  static std::map<int, std::unique_ptr<MockPlatform>> trees;
  const int files = static_cast<int>(state.range(0));
  auto &fs = trees[files];
  if (!fs)
    fs = MakeTree(1, files);
  Build(state, *fs, files);
}
BENCHMARK(BM_OneFolder)
    ->Arg(12500)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

// The layout alone (identifiers fitted, directories numbered and sized, every sector placed) of
// 600,000 entries in 20,000 folders, gathered once. Must stay under a second.
void BM_Layout(benchmark::State &state) {
  static const std::unique_ptr<MockPlatform> fs = MakeTree(20000, 600000);
  TKavoBurner burner(*fs);
  burner.NewCompilation(600000, 20000);
  burner.InsertFolder("\\", "D:\\T", false, true, true, velmor::kAllAttributes, "*.*");
  for (auto _ : state) {
    burner.ComputeLayout(true, nullptr);
    benchmark::DoNotOptimize(burner.ImageSectors());
  }
  state.SetItemsProcessed(state.iterations() * 600000);
}
BENCHMARK(BM_Layout)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
