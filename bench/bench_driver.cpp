// Driver cursor decode of a 1920x1080 H.264 MP4 (BM_DriverDecode/vesk) against the ffmpeg command
// line decoding the same file to RGB24 (BM_DriverDecode/baseline), timed in the same run. The clip is
// written on first use, only when a selected benchmark needs it, and removed at exit.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench_main.h"
#include "driver/vesk_driver.h"

namespace {

constexpr int kW = 1920, kH = 1080, kNT = 100;

std::string clipDir() {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk_bench_driver." + std::to_string(::getpid());
}

// Every child writes to standard error only: standard output is the report's.
const std::string& clip() {
  static const std::string path = [] {
    const std::string dir = clipDir();
    const std::string f = dir + "/f.mp4";
    const std::string cmd = "mkdir -p '" + dir +
                            "' && ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:"
                            "rate=25 -frames:v " +
                            std::to_string(kNT) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 -bf 2 '" + f +
                            "' 1>&2";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot make the benchmark clip");
    return f;
  }();
  return path;
}

bool haveClip(benchmark::State& state) {
  try {
    clip();
    return true;
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return false;
  }
}

void driverCursor(benchmark::State& state) {
  if (!haveClip(state)) return;
  auto cursor = vesk::DriverCursor::over(vesk::driver::openMp4(clip(), kNT, kW, kH), 2, 11);
  int si = 0;
  for (auto _ : state) {
    // One pass over the whole clip; the loop back to frame 0 rewinds and decodes again.
    for (int k = 0; k < kNT; ++k) benchmark::DoNotOptimize(cursor->pull(&si));
  }
  state.SetItemsProcessed(state.iterations() * kNT);
  state.SetLabel(cursor->name());
}

void ffmpegCli(benchmark::State& state) {
  if (!haveClip(state)) return;
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -threads 4 -i '" + clip() +
                          "' -f rawvideo -pix_fmt rgb24 -y /dev/null 1>&2";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kNT);
}

}  // namespace

// One iteration decodes the whole clip: a few say enough.
BENCHMARK(driverCursor)
    ->Name("BM_DriverDecode/vesk")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Apply(vesk::bench::iterationsByDefault<4>);
BENCHMARK(ffmpegCli)
    ->Name("BM_DriverDecode/baseline")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Apply(vesk::bench::iterationsByDefault<4>);

int main(int argc, char** argv) {
  const int rc = vesk::bench::run(argc, argv);
  std::error_code ec;
  std::filesystem::remove_all(clipDir(), ec);
  return rc;
}
