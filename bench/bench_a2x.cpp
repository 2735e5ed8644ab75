// Streaming audio to keypoints: the cost of one live 8-frame block (short-window and 8 s frontends)
// and of the whole-run call per frame, each split into the time inside Session::Run (the models)
// and the rest (our bookkeeping: windows, normalisation, resampling, masks, copies, trims). The
// models are the generated stand-ins the test fixture writes (`ctest -R vesk_audio_models_gen`) into
// this build tree's audio_models; VESK_AUDIO_MODELS names another directory. The shares and the
// time per frame are counters.
#include <benchmark/benchmark.h>

#include <ctime>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "audio/vesk_a2x.h"
#include "audio/vesk_a2x_frontend.h"
#include "bench_main.h"
#include "vesk/vesk_a2x.h"

namespace {

std::string models() {
  const char* m = std::getenv("VESK_AUDIO_MODELS");
  return m != nullptr && *m != '\0' ? m : VESK_AUDIO_MODELS_DIR;
}

std::vector<float> voice(size_t n) {
  std::mt19937 rng(4);
  std::normal_distribution<float> noise(0.0f, 0.003f);
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    const double env = std::max(0.0, std::sin(2.0 * M_PI * t / 0.6));
    v[i] = static_cast<float>(0.3 * env * (std::sin(2.0 * M_PI * 140.0 * t) + 0.4 * std::sin(2.0 * M_PI * 420.0 * t))) +
           noise(rng);
  }
  return v;
}

vesk_a2x* session(bool eightSecond, benchmark::State& state) {
  ::setenv("W2V_ONNX", (models() + "/w2v_pair/w2v.onnx").c_str(), 1);
  vesk_a2x* a = vesk_a2x_create((models() + "/bundle").c_str(), 1);
  if (a == nullptr) {
    state.SkipWithError(vesk_a2x_last_error());
    return nullptr;
  }
  if (eightSecond) {
    // The short-window pair serves the process; this session is switched to the 8 s frontend.
    a->short_window = false;
    a->right = a->right_base;
  }
  return a;
}

// Processor time of this thread: the sessions run with one intra-op thread, so all of a call's work
// is here, and other processes on the machine do not count.
double cpuNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

void report(benchmark::State& state, double cpu, double frames) {
  const double inRun = static_cast<double>(vesk::runClockNanos()) * 1e-9;
  state.counters["run_share"] = cpu > 0 ? inRun / cpu : 0.0;
  state.counters["bookkeeping_share"] = cpu > 0 ? 1.0 - inRun / cpu : 0.0;
  state.counters["cpu_us_per_frame"] = frames > 0 ? 1e6 * cpu / frames : 0.0;
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  vesk::setRunClock(false);
}

// One iteration: push 5120 samples live and pull what became available.
void streamBlock(benchmark::State& state, bool eightSecond) {
  vesk_a2x* a = session(eightSecond, state);
  if (a == nullptr) return;
  const std::vector<float> audio = voice(16000 * 30);
  std::vector<int> si(64);
  std::vector<float> xs(64 * 63), xd(64 * 63);
  size_t at = 0;
  double cpu = 0.0, frames = 0.0;
  vesk::setRunClock(true);
  for (auto _ : state) {
    if (at + 5120 > audio.size()) {
      state.PauseTiming();
      vesk_a2x_reset(a, -1, 1, 1);
      at = 0;
      state.ResumeTiming();
    }
    const double t0 = cpuNow();
    vesk_a2x_push(a, audio.data() + at, 5120);
    at += 5120;
    int n;
    while ((n = vesk_a2x_pull(a, si.data(), xs.data(), xd.data(), 64)) > 0) frames += n;
    cpu += cpuNow() - t0;
  }
  report(state, cpu, frames);
  vesk_a2x_destroy(a);
}

void BM_StreamBlockShortWindow(benchmark::State& state) { streamBlock(state, false); }
void BM_StreamBlock8s(benchmark::State& state) { streamBlock(state, true); }

// One iteration: the whole-run call on 20 s of audio (500 frames).
void BM_WholeRunPerFrame(benchmark::State& state) {
  vesk_a2x* a = session(false, state);
  if (a == nullptr) return;
  const std::vector<float> audio = voice(16000 * 20);
  std::vector<float> out(500 * 63);
  double cpu = 0.0, frames = 0.0;
  vesk::setRunClock(true);
  for (auto _ : state) {
    const double t0 = cpuNow();
    const int n = vesk_a2x_deltas(a, audio.data(), static_cast<int>(audio.size()), out.data(), 500);
    cpu += cpuNow() - t0;
    if (n != 500) {
      state.SkipWithError(vesk_a2x_last_error());
      break;
    }
    frames += n;
  }
  report(state, cpu, frames);
  vesk_a2x_destroy(a);
}

}  // namespace

BENCHMARK(BM_StreamBlockShortWindow)->Unit(benchmark::kMillisecond)->Apply(vesk::bench::minTimeByDefault<2>);
BENCHMARK(BM_StreamBlock8s)->Unit(benchmark::kMillisecond)->Apply(vesk::bench::minTimeByDefault<2>);
BENCHMARK(BM_WholeRunPerFrame)->Unit(benchmark::kMillisecond)->Apply(vesk::bench::minTimeByDefault<2>);

int main(int argc, char** argv) { return vesk::bench::run(argc, argv); }
