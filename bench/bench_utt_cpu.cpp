// What an utterance session costs while nothing is being said, in CPU seconds of the whole process
// per wall second (counter cpu_per_wall), on the 1920x1080 demo identity with its own a2x model:
//
//   BM_UttIdleCpu/vesk            a session without speech, its host pulling at 25 frames a second;
//   BM_UttIdleCpu/baseline        the same host taking the same driver frames straight from the
//                                 context (vesk_target_frame) on the same 40 ms clock: the idle loop's
//                                 floor;
//   BM_UttFinishingCpu/vesk       a session finishing an utterance that nobody pulls (the output
//                                 ring is full) while the host pushes the next sentence, 640
//                                 samples every 40 ms;
//   BM_UttFinishingCpu/baseline   the same host pushing into a vector of its own.
//
// Each iteration is two seconds of the host's clock; sessions are created and brought to their
// state before the timing starts.
//
//   build/release/bench/vesk_bench_utt_cpu [--benchmark_format=json]
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_main.h"
#include "vesk/vesk.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(40);
constexpr int kTicks = 50;  // two seconds per iteration
constexpr int kChunk = 640;

std::string demoBundle() {
  const char* d = std::getenv("VESK_DEMO_BUNDLE");
  return d != nullptr && *d != '\0' ? d : VESK_DEMO_BUNDLE_DIR;
}

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::vector<int16_t> speech(int n) {
  std::vector<int16_t> pcm(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double t = i / 16000.0;
    const double env = std::pow(std::max(0.0, std::sin(2 * M_PI * 3.0 * t)), 2.0);
    pcm[static_cast<size_t>(i)] =
        static_cast<int16_t>(14000.0 * env * (std::sin(2 * M_PI * 150 * t) + 0.5 * std::sin(2 * M_PI * 450 * t)));
  }
  return pcm;
}

// A context on the demo identity and, unless bare, a session on it with the model loaded.
struct Host {
  explicit Host(bool bare) {
    const std::string bundle = demoBundle();
    const std::string w2v = bundle + "/w2v.onnx";
    ::setenv("W2V_ONNX", w2v.c_str(), 0);
    ctx = vesk_create(bundle.c_str(), "b1", 2, "");
    if (ctx == nullptr) {
      error = vesk_last_error();
      return;
    }
    frame.resize(static_cast<size_t>(vesk_width(ctx)) * vesk_height(ctx) * 3);
    if (bare) return;
    vesk_utt_opts o{};
    o.motion_dir = bundle.c_str();
    o.end_silence_s = -1;
    utt = vesk_utt_create(ctx, &o);
    int ready = 0;
    while (utt != nullptr && (ready = vesk_utt_ready(utt)) == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (utt == nullptr || ready != 1) error = vesk_utt_last_error();
  }
  ~Host() {
    vesk_utt_destroy(utt);
    vesk_destroy(ctx);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  bool pull() { return vesk_utt_pull_frame(utt, frame.data(), frame.size(), nullptr) == 1; }

  vesk_ctx* ctx = nullptr;
  vesk_utt* utt = nullptr;
  std::vector<uint8_t> frame;
  std::string error;
};

// Runs tick() on the 40 ms clock for each iteration and reports the process's CPU per wall second.
template <class Tick>
void onTheClock(benchmark::State& state, Tick&& tick) {
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double c0 = processCpuSeconds();
    const auto t0 = Clock::now();
    auto next = t0;
    for (int k = 0; k < kTicks; ++k) {
      next += kTick;
      std::this_thread::sleep_until(next);
      tick(k);
    }
    cpu += processCpuSeconds() - c0;
    wall += secondsSince(t0);
  }
  state.counters["cpu_per_wall"] = cpu / wall;
}

void BM_UttIdleCpu_vesk(benchmark::State& state) {
  Host h(false);
  if (!h.error.empty()) {
    state.SkipWithError(h.error.c_str());
    return;
  }
  // Past the start-up: the ring is full of idle frames and the decoder is warm.
  for (int k = 0; k < 25; ++k) {
    std::this_thread::sleep_for(kTick);
    h.pull();
  }
  long pulled = 0;
  onTheClock(state, [&](int) { pulled += h.pull(); });
  state.counters["pulled_per_s"] = benchmark::Counter(static_cast<double>(pulled), benchmark::Counter::kIsRate);
}

void BM_UttIdleCpu_baseline(benchmark::State& state) {
  Host h(true);
  if (!h.error.empty()) {
    state.SkipWithError(h.error.c_str());
    return;
  }
  const int nt = vesk_nt(h.ctx);
  int si = 0;
  auto take = [&] {
    const uint8_t* f = vesk_target_frame(h.ctx, si);
    if (f != nullptr) std::memcpy(h.frame.data(), f, h.frame.size());
    si = (si + 1) % nt;
    return f != nullptr;
  };
  for (int k = 0; k < 25; ++k) take();
  long pulled = 0;
  onTheClock(state, [&](int) { pulled += take(); });
  state.counters["pulled_per_s"] = benchmark::Counter(static_cast<double>(pulled), benchmark::Counter::kIsRate);
}

void BM_UttFinishingCpu_vesk(benchmark::State& state) {
  Host h(false);
  if (!h.error.empty()) {
    state.SkipWithError(h.error.c_str());
    return;
  }
  const auto utterance = speech(4 * 16000);
  vesk_utt_push_audio(h.utt, utterance.data(), static_cast<int>(utterance.size()));
  vesk_utt_end_utterance(h.utt);
  // Bring the session to rest: the ring full, the model and the renderer done with what they can
  // do before the host pulls (a 250 ms window under half a core), within 60 s.
  const auto until = Clock::now() + std::chrono::seconds(60);
  while (vesk_utt_frames_available(h.utt) < 8 && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (;;) {
    const double c0 = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (processCpuSeconds() - c0 < 0.125 || Clock::now() > until) break;
  }
  vesk_utt_stats st{};
  vesk_utt_get_stats(h.utt, &st);
  if (vesk_utt_frames_available(h.utt) < 8 || st.state != 2) {
    state.SkipWithError("the session did not come to rest finishing its utterance");
    return;
  }
  const auto next = speech(kTicks * kChunk);
  onTheClock(state, [&](int k) { vesk_utt_push_audio(h.utt, next.data() + static_cast<size_t>(k) * kChunk, kChunk); });
  vesk_utt_get_stats(h.utt, &st);
  if (st.state != 2) state.SkipWithError("the utterance stopped finishing during the measurement");
}

void BM_UttFinishingCpu_baseline(benchmark::State& state) {
  const auto next = speech(kTicks * kChunk);
  std::vector<float> pending;
  onTheClock(state, [&](int k) {
    const int16_t* src = next.data() + static_cast<size_t>(k) * kChunk;
    const size_t old = pending.size();
    pending.resize(old + kChunk);
    for (int i = 0; i < kChunk; ++i) pending[old + static_cast<size_t>(i)] = src[i] * (1.0f / 32768.0f);
    benchmark::DoNotOptimize(pending.data());
  });
}

// The CPU column is the whole process's, like the counter.
#define VESK_CPU_BENCH(fn, name) \
  BENCHMARK(fn)->Name(name)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()
VESK_CPU_BENCH(BM_UttIdleCpu_vesk, "BM_UttIdleCpu/vesk");
VESK_CPU_BENCH(BM_UttIdleCpu_baseline, "BM_UttIdleCpu/baseline");
VESK_CPU_BENCH(BM_UttFinishingCpu_vesk, "BM_UttFinishingCpu/vesk");
VESK_CPU_BENCH(BM_UttFinishingCpu_baseline, "BM_UttFinishingCpu/baseline");

}  // namespace

int main(int argc, char** argv) { return vesk::bench::run(argc, argv); }
