// The audio models' cost per video frame and how much of it is our own work rather than ONNX Runtime's:
// each stream case reports the time per frame and the share of it spent outside Session::Run (the
// ratio of our code to the runtime it drives, measured in the same run) as counters; the mel block's
// speed-up over its baseline goes to standard error after the run.
//
//   mel_block/vesk       one feature window's log-mel block (the packed real transform, frames in SIMD lanes)
//   mel_block/baseline   the same block the plain way (a 512-point complex FFT per frame, in float)
//   motion/finished      10 s of voice pushed whole, finish, pull every frame      (tiny test models)
//   motion/live          the same voice pushed 640 samples at a time, pulling after every push
//   motion_full/...      both again on the realistic-size models
//   fca/whole_run        one vesk_fca deltas call over 10 s of voice
//
// The models come from the generator, not from this program: `ctest -R vesk_motion_models` writes the
// tiny ones, the build target motion_models_full the realistic-size ones (about 225 MB, bench only):
//   cmake --build build/release --target vesk_bench_motion motion_models_full
//   build/release/bench/vesk_bench_motion [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/motion_mel_reference.h"
#include "audio/motion_test_util.h"
#include "audio/vesk_fca.h"
#include "audio/vesk_motion.h"
#include "audio/vesk_motion_net.h"
#include "bench_main.h"

namespace {

const std::string kModels = VESK_MOTION_MODELS_DIR;
const std::vector<float>& voice10s() {
  static const std::vector<float> a = vesk::test::voice(16000 * 10, 3);
  return a;
}

bool haveModels(benchmark::State& st, const std::string& sub, const char* how) {
  if (std::filesystem::exists(kModels + "/" + sub)) return true;
  st.SkipWithError(("no " + kModels + "/" + sub + ": " + how).c_str());
  return false;
}
const char* kTinyHow = "run ctest -R vesk_motion_models first";
const char* kFullHow = "build the target motion_models_full first";

void report(benchmark::State& st, double seconds, double runSeconds, double frames) {
  st.counters["us_per_frame"] = benchmark::Counter(seconds * 1e6 / frames);
  st.counters["outside_run_share"] = benchmark::Counter((seconds - runSeconds) / seconds);
  st.SetItemsProcessed(static_cast<int64_t>(frames));
}

void BM_MelBlock(benchmark::State& st, bool ours) {
  if (!haveModels(st, "nt8/meta.json", kTinyHow)) return;
  const std::string dir = kModels + "/nt8";
  vesk::Motion m(dir, 1, "");
  vesk::ref::MelReference ref(vesk::readFloatFile(dir + "/hubert_stft_window.bin", 512),
                              vesk::readFloatFile(dir + "/hubert_stft_binmat.bin", 257 * 80));
  const float* win = voice10s().data() + 16000;
  std::vector<float> out(80 * 21);
  for (auto _ : st) {
    if (ours) {
      m.melBlock(win, out.data());
    } else {
      ref.floatBlock(win, out.data());
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations());
}

void pullAll(vesk::Motion& m, int& frames) {
  int si[32];
  float xs[32 * 63], xd[32 * 63];
  while (int k = m.pull(si, xs, xd, 32)) frames += k;
}

void BM_Motion(benchmark::State& st, const std::string& sub, bool live) {
  if (!haveModels(st, sub + "/meta.json", sub == "full" ? kFullHow : kTinyHow)) return;
  vesk::Motion m(kModels + "/" + sub, 1, "");
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
  if (!haveModels(st, "fca/fca_stream.onnx", kTinyHow)) return;
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

BENCHMARK_CAPTURE(BM_Motion, finished, std::string("nt8"), false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Motion, live, std::string("nt8"), true)->Unit(benchmark::kMillisecond);
// A realistic-size stream takes seconds: a few iterations say enough.
BENCHMARK_CAPTURE(BM_Motion, full_finished, std::string("full"), false)
    ->Unit(benchmark::kMillisecond)
    ->Apply(vesk::bench::iterationsByDefault<3>);
BENCHMARK_CAPTURE(BM_Motion, full_live, std::string("full"), true)
    ->Unit(benchmark::kMillisecond)
    ->Apply(vesk::bench::iterationsByDefault<3>);
BENCHMARK(BM_FcaWholeRun)->Unit(benchmark::kMillisecond);
// Last: a CSV report takes its counter columns from the first benchmark, and these have fewer.
BENCHMARK_CAPTURE(BM_MelBlock, vesk, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MelBlock, baseline, false)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return vesk::bench::run(argc, argv); }
