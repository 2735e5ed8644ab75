// Driver cursor decode of a 1920x1080 H.264 MP4 against the ffmpeg command line decoding the same
// file to RGB24, timed in the same run; prints the frames-per-second ratio.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/vesk_driver.h"

namespace {

constexpr int kW = 1920, kH = 1080, kNT = 100;

const std::string& clip() {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk_bench_driver." + std::to_string(::getpid());
    const std::string f = dir + "/f.mp4";
    const std::string cmd = "mkdir -p '" + dir +
                            "' && ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:"
                            "rate=25 -frames:v " + std::to_string(kNT) +
                            " -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 -bf 2 '" + f + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot make the benchmark clip");
    return f;
  }();
  return path;
}

void BM_DriverCursorDecode(benchmark::State& state) {
  auto cursor = vesk::DriverCursor::over(vesk::driver::openMp4(clip(), kNT, kW, kH), 2, 11);
  int si = 0;
  for (auto _ : state) {
    // One pass over the whole clip; the loop back to frame 0 rewinds and decodes again.
    for (int k = 0; k < kNT; ++k) benchmark::DoNotOptimize(cursor->pull(&si));
  }
  state.SetItemsProcessed(state.iterations() * kNT);
  state.SetLabel(cursor->name());
}
BENCHMARK(BM_DriverCursorDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

void BM_FfmpegCliDecode(benchmark::State& state) {
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -threads 4 -i '" + clip() +
                          "' -f rawvideo -pix_fmt rgb24 -y /dev/null";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kNT);
}
BENCHMARK(BM_FfmpegCliDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

// Keeps each benchmark's frames per second so the ratio can be printed after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end()) fps[r.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> fps;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  clip();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double ours = 0, cli = 0;
  for (const auto& [name, v] : reporter.fps) {
    if (name.rfind("BM_DriverCursorDecode", 0) == 0) ours = v;
    if (name.rfind("BM_FfmpegCliDecode", 0) == 0) cli = v;
  }
  if (ours > 0 && cli > 0)
    std::printf("driver cursor %.1f fps, ffmpeg CLI %.1f fps, ratio (cursor / CLI) %.2f\n", ours, cli, ours / cli);
  const std::string dir = clip().substr(0, clip().rfind('/'));
  std::system(("rm -rf '" + dir + "'").c_str());
  benchmark::Shutdown();
  return 0;
}
