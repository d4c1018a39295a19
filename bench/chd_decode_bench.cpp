// Decoding a CHD as the server reads it for a drive: the whole stream in 64 KiB pieces from a
// fresh open (each hunk decoded once), and 64 KiB pieces at random places.
//   velmor_chd_bench <file.chd> [benchmark options]
// bench/chd-vs-extractcd.sh sets its rate beside chdman extractcd's on the same CHD.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "file_image.h"
#include "open_image_source.h"

namespace {

using namespace velmor::imagesource;

std::string chdPath;
constexpr uint32_t kPiece = 65536;

std::unique_ptr<ImageSource> OpenOrDie(benchmark::State &state) {
  OpenProblem problem;
  auto source = OpenImageSource(HostFile::Open(chdPath), &problem);
  if (!source)
    state.SkipWithError(problem.text.c_str());
  return source;
}

void SequentialRead(benchmark::State &state) {
  std::vector<uint8_t> piece(kPiece);
  uint64_t bytes = 0;
  for (auto _ : state) {
    auto source = OpenOrDie(state);
    if (!source)
      return;
    const uint64_t size = source->StreamSize(0);
    for (uint64_t at = 0; at < size; at += kPiece) {
      const uint32_t n = uint32_t(std::min<uint64_t>(kPiece, size - at));
      if (source->Read(0, at, piece.data(), n) != ReadResult::kOk) {
        state.SkipWithError("read failed");
        return;
      }
    }
    bytes += size;
  }
  state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(SequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void RandomRead(benchmark::State &state) {
  auto source = OpenOrDie(state);
  if (!source)
    return;
  const uint64_t size = source->StreamSize(0);
  std::vector<uint8_t> piece(kPiece);
  std::mt19937_64 random(37);
  for (auto _ : state) {
    const uint64_t at = size > kPiece ? random() % (size - kPiece) / 2048 * 2048 : 0;
    if (source->Read(0, at, piece.data(), uint32_t(std::min<uint64_t>(kPiece, size))) !=
        ReadResult::kOk) {
      state.SkipWithError("read failed");
      return;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kPiece);
}
BENCHMARK(RandomRead)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: velmor_chd_bench <file.chd> [benchmark options]\n");
    return 2;
  }
  chdPath = argv[1];
  argv[1] = argv[0];
  --argc;
  ++argv;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
