// The audio models' cost per video frame and how much of it is our own work rather than ONNX Runtime's:
// each case reports the time per frame and the share of it spent outside Session::Run (the ratio of
// our code to the runtime it drives, measured in the same run).
//
//   motion/finished   10 s of voice pushed whole, finish, pull every frame
//   motion/live       the same voice pushed 640 samples at a time, pulling after every push
//   fca/whole_run     one vesk_fca deltas call over 10 s of voice
//
// The models come from the generator; run `ctest -R vesk_motion_models` in the build tree first.
//   build/release/bench/vesk_bench_motion [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/motion_test_util.h"
#include "audio/vesk_fca.h"
#include "audio/vesk_motion.h"

namespace {

const std::string kModels = VESK_MOTION_MODELS_DIR;
const std::vector<float>& voice10s() {
  static const std::vector<float> a = vesk::test::voice(16000 * 10, 3);
  return a;
}

bool haveModels(benchmark::State& st) {
  if (std::filesystem::exists(kModels + "/nt8/meta.json") && std::filesystem::exists(kModels + "/fca/fca_stream.onnx")) return true;
  st.SkipWithError(("no models under " + kModels + ": run ctest -R vesk_motion_models first").c_str());
  return false;
}

void report(benchmark::State& st, double seconds, double runSeconds, double frames) {
  st.counters["us_per_frame"] = benchmark::Counter(seconds * 1e6 / frames);
  st.counters["outside_run_share"] = benchmark::Counter((seconds - runSeconds) / seconds);
  st.SetItemsProcessed(static_cast<int64_t>(frames));
}

void pullAll(vesk::Motion& m, int& frames) {
  int si[32];
  float xs[32 * 63], xd[32 * 63];
  while (int k = m.pull(si, xs, xd, 32)) frames += k;
}

void BM_Motion(benchmark::State& st, bool live) {
  if (!haveModels(st)) return;
  vesk::Motion m(kModels + "/nt8", 1, "");
  const auto& a = voice10s();
  double seconds = 0, frames = 0;
  const double run0 = m.runSeconds();
  for (auto _ : st) {
    const auto t0 = std::chrono::steady_clock::now();
    m.reset(0, 1, 1);
    int n = 0;
    if (live) {
      for (size_t i = 0; i < a.size(); i += 640) {
        m.push(a.data() + i, static_cast<int>(std::min<size_t>(640, a.size() - i)));
        pullAll(m, n);
      }
    } else {
      m.push(a.data(), static_cast<int>(a.size()));
    }
    m.finish();
    pullAll(m, n);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    frames += n;
  }
  report(st, seconds, m.runSeconds() - run0, frames);
}

void BM_FcaWholeRun(benchmark::State& st) {
  if (!haveModels(st)) return;
  vesk::Fca f(kModels + "/fca/audio_encoder_8s.onnx", kModels + "/fca/fca_stream.onnx", 1);
  const auto& a = voice10s();
  const int cap = vesk::Fca::framesFor(static_cast<int>(a.size()));
  std::vector<float> out(static_cast<size_t>(cap) * 63);
  double seconds = 0, frames = 0;
  const double run0 = f.runSeconds();
  for (auto _ : st) {
    const auto t0 = std::chrono::steady_clock::now();
    frames += f.deltas(a.data(), static_cast<int>(a.size()), out.data(), cap);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  report(st, seconds, f.runSeconds() - run0, frames);
}

BENCHMARK_CAPTURE(BM_Motion, finished, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Motion, live, true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FcaWholeRun)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
