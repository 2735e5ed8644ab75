// The utterance pipeline on the 1920x1080 demo identity, offline (all audio
// pushed at once, frames pulled as fast as they come), against its stages run
// one after another in the same process: the audio model over the whole
// utterance, then render and paste frame by frame. The ratio of the two frame
// rates is what the pipeline's threads overlap.
//
//   build/release/bench/vesk_bench_utt
//   VESK_PASTE_THREADS=1 build/release/bench/vesk_bench_utt --benchmark_filter='threads:1'
// Counters: speech_fps (frames per second of wall time), first_frame_ms (first
// push to the first speech frame pulled), realtime_x (speech_fps / 25).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_main.h"
#include "core/vesk_file.h"
#include "tessera/vesk_tessera_bank.h"
#include "vesk/vesk.h"
#include "vesk/vesk_a2x.h"
#include "vesk/vesk_tessera.h"

namespace {

constexpr int kSeconds = 4;
constexpr int kSamples = kSeconds * 16000;

std::string demoBundle() {
  const char* d = std::getenv("VESK_DEMO_BUNDLE");
  return d != nullptr && *d != '\0' ? d : VESK_DEMO_BUNDLE_DIR;
}

void useBundleEncoder() {
  const std::string w2v = demoBundle() + "/w2v.onnx";
  ::setenv("W2V_ONNX", w2v.c_str(), 0);
}

std::vector<int16_t> speech() {
  std::vector<int16_t> pcm(kSamples);
  for (int i = 0; i < kSamples; ++i) {
    const double t = i / 16000.0;
    const double env = std::pow(std::max(0.0, std::sin(2 * M_PI * 3.0 * t)), 2.0);
    pcm[static_cast<size_t>(i)] =
        static_cast<int16_t>(14000.0 * env * (std::sin(2 * M_PI * 150 * t) + 0.5 * std::sin(2 * M_PI * 450 * t)));
  }
  return pcm;
}

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// The baseline: the same utterance through the same stages, one after another on one thread,
// on a context of its own (a session's context belongs to the session while it lives).
struct Serial {
  Serial(const std::string& bundle, int threads) {
    ctx = vesk_create(bundle.c_str(), "b1", threads, "");
    if (ctx != nullptr) a2x = vesk_a2x_create(bundle.c_str(), threads);
  }
  ~Serial() {
    vesk_a2x_destroy(a2x);
    vesk_destroy(ctx);
  }
  // Seconds for the utterance; frames in *frames.
  double run(const std::vector<float>& pcm, int* frames) {
    const int n = (static_cast<int>(pcm.size()) + 639) / 640;
    si.resize(static_cast<size_t>(n));
    xs.resize(static_cast<size_t>(n) * 63);
    xd.resize(static_cast<size_t>(n) * 63);
    frame.resize(static_cast<size_t>(vesk_width(ctx)) * vesk_height(ctx) * 3);
    const auto t0 = std::chrono::steady_clock::now();
    vesk_a2x_reset(a2x, 0, 1, 1);
    vesk_a2x_push(a2x, pcm.data(), static_cast<int>(pcm.size()));
    vesk_a2x_finish(a2x);
    int got = 0;
    while (got < n) {
      const int k = vesk_a2x_pull(a2x, si.data() + got, xs.data() + got * 63, xd.data() + got * 63, n - got);
      if (k <= 0) break;
      got += k;
    }
    const auto t1 = std::chrono::steady_clock::now();
    audio_s += seconds(t0, t1);
    for (int i = 0; i < got; ++i) {
      const auto r0 = std::chrono::steady_clock::now();
      const float* crop = vesk_render_kp_crop(ctx, si[i], xs.data() + i * 63, xd.data() + i * 63);
      const auto r1 = std::chrono::steady_clock::now();
      vesk_paste_crop(ctx, si[i], crop, frame.data(), frame.size());
      const auto r2 = std::chrono::steady_clock::now();
      render_s += seconds(r0, r1);
      paste_s += seconds(r1, r2);
      benchmark::DoNotOptimize(frame.data());
    }
    *frames = got;
    return seconds(t0, std::chrono::steady_clock::now());
  }
  vesk_ctx* ctx = nullptr;
  vesk_a2x* a2x = nullptr;
  std::vector<int> si;
  std::vector<float> xs, xd;
  std::vector<uint8_t> frame;
  double audio_s = 0, render_s = 0, paste_s = 0;
};

// Arguments: pipelined paste (0/1), steady chunk renderer (0 "-", 1 the default "b24_fp32"), the
// context's thread count (the director's intra-op threads and the audio model's). The paste's
// worker pool is sized once per process: run with VESK_PASTE_THREADS=1 for single-threaded stages.
void BM_UttOffline(benchmark::State& state) {
  useBundleEncoder();
  ::setenv("VESK_UTT_PIPELINE_PASTE", state.range(0) != 0 ? "1" : "0", 1);
  const std::string bundle = demoBundle();
  const int threads = static_cast<int>(state.range(2));
  Serial serial(bundle, threads);
  vesk_ctx* ctx = vesk_create(bundle.c_str(), "b1", threads, "");
  if (ctx == nullptr || serial.a2x == nullptr) {
    state.SkipWithError(ctx == nullptr ? vesk_last_error() : vesk_a2x_last_error());
    vesk_destroy(ctx);
    return;
  }
  vesk_utt_opts o{};
  o.motion_dir = bundle.c_str();
  o.end_silence_s = -1;
  o.steady_model = state.range(1) != 0 ? nullptr : "-";
  vesk_utt* utt = vesk_utt_create(ctx, &o);
  int ready = 0;
  while (utt != nullptr && (ready = vesk_utt_ready(utt)) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (utt == nullptr || ready != 1) {
    state.SkipWithError(vesk_utt_last_error());
    vesk_utt_destroy(utt);
    vesk_destroy(ctx);
    return;
  }
  const auto pcm = speech();
  std::vector<float> pcmf(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) pcmf[i] = pcm[i] * (1.0f / 32768.0f);
  std::vector<uint8_t> frame(static_cast<size_t>(vesk_width(ctx)) * vesk_height(ctx) * 3);
  vesk_utt_frame_info info{};
  double speech_frames = 0, speech_secs = 0, first_ms = 0, serial_frames = 0, serial_secs = 0;
  for (auto _ : state) {
    int sf = 0;
    serial_secs += serial.run(pcmf, &sf);
    serial_frames += sf;

    // Idle frames already queued are not part of the utterance.
    while (vesk_utt_pull_frame(utt, frame.data(), frame.size(), &info) == 1) {
    }
    const auto t0 = std::chrono::steady_clock::now();
    vesk_utt_push_audio(utt, pcm.data(), kSamples);
    vesk_utt_end_utterance(utt);
    std::chrono::steady_clock::time_point first{}, last{};
    int n = 0;
    for (;;) {
      if (vesk_utt_pull_frame(utt, frame.data(), frame.size(), &info) != 1) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      if (info.kind == VESK_UTT_SPEECH) {
        if (n++ == 0) first = std::chrono::steady_clock::now();
        last = std::chrono::steady_clock::now();
      } else if (n > 0) {
        break;
      }
    }
    speech_frames += n;
    speech_secs += seconds(t0, last);
    first_ms += 1000.0 * seconds(t0, first);
    // Let the ramp finish so the next utterance starts from idle.
    while (info.kind != VESK_UTT_IDLE) {
      if (vesk_utt_pull_frame(utt, frame.data(), frame.size(), &info) != 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  const double iters = static_cast<double>(state.iterations());
  const double fps = speech_frames / speech_secs;
  const double serial_fps = serial_frames / serial_secs;
  state.counters["speech_fps"] = fps;
  state.counters["serial_fps"] = serial_fps;
  state.counters["overlap_x"] = fps / serial_fps;
  state.counters["realtime_x"] = fps / 25.0;
  state.counters["first_frame_ms"] = first_ms / iters;
  state.counters["serial_audio_ms"] = 1000.0 * serial.audio_s / serial_frames;
  state.counters["serial_render_ms"] = 1000.0 * serial.render_s / serial_frames;
  state.counters["serial_paste_ms"] = 1000.0 * serial.paste_s / serial_frames;
  vesk_utt_destroy(utt);
  vesk_destroy(ctx);
  ::unsetenv("VESK_UTT_PIPELINE_PASTE");
}
BENCHMARK(BM_UttOffline)
    ->ArgNames({"pipelined_paste", "steady_chunk", "threads"})
    ->Args({0, 0, 2})
    ->Args({1, 0, 2})
    ->Args({0, 1, 2})
    ->Args({1, 1, 2})
    ->Args({0, 0, 1})
    ->Args({1, 0, 1})
    ->Unit(benchmark::kMillisecond)
    ->Apply(vesk::bench::iterationsByDefault<2>)
    ->UseRealTime();

// Arms a session with the demo identity's teeth pass; false (with the reason in *why) when it cannot.
bool armTeeth(vesk_utt* utt, const std::string& bundle, std::string* why) {
  char err[1024] = "";
  vesk_tessera_members* m = vesk_tessera_members_open(bundle.c_str(), err, sizeof err);
  if (m == nullptr) {
    *why = err;
    return false;
  }
  bool ok = false;
  try {
    const int n = vesk_tessera_members_n_donors(m);
    const std::string track = vesk::readWholeFile(vesk_tessera_members_bank_track_path(m));
    std::vector<int> order(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
    const auto decoded =
        vesk::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), n,
                                       vesk_tessera_members_band_h(m), vesk_tessera_members_band_w(m), order);
    std::vector<uint8_t> bank(decoded.size());
    ok = vesk_tessera_members_reorder(m, decoded.data(), bank.data(), err, sizeof err) == 0 &&
         vesk_utt_tessera_attach(utt, bank.data(), n, vesk_tessera_members_cent(m), vesk_tessera_members_c_canon(m),
                                 vesk_tessera_members_aperture(m), vesk_tessera_members_stamp(m),
                                 vesk_tessera_members_head_pt(m), vesk_tessera_members_head_pt_len(m),
                                 vesk_tessera_members_head_json(m), vesk_tessera_members_manifest_json(m), err,
                                 sizeof err) == 0;
    if (!ok) *why = err;
  } catch (const std::exception& e) {
    *why = e.what();
  }
  vesk_tessera_members_close(m);
  return ok;
}

// The session's speech frames per second with the teeth stage (vesk) and without it (baseline),
// offline on the demo identity. Argument: pipelined paste (0: the stage runs inline on the run
// thread; 1: on its own thread between render and paste). Counters: speech_fps, teeth_emitted.
void uttTeeth(benchmark::State& state, bool teeth) {
  useBundleEncoder();
  ::setenv("VESK_UTT_PIPELINE_PASTE", state.range(0) != 0 ? "1" : "0", 1);
  const std::string bundle = demoBundle();
  vesk_ctx* ctx = vesk_create(bundle.c_str(), "b1", 2, "");
  if (ctx == nullptr) {
    state.SkipWithError(vesk_last_error());
    return;
  }
  vesk_utt_opts o{};
  o.motion_dir = bundle.c_str();
  o.end_silence_s = -1;
  o.steady_model = "-";
  vesk_utt* utt = vesk_utt_create(ctx, &o);
  int ready = 0;
  while (utt != nullptr && (ready = vesk_utt_ready(utt)) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::string why = vesk_utt_last_error();
  if (utt == nullptr || ready != 1 || (teeth && !armTeeth(utt, bundle, &why))) {
    state.SkipWithError(why.c_str());
    vesk_utt_destroy(utt);
    vesk_destroy(ctx);
    return;
  }
  const auto pcm = speech();
  std::vector<uint8_t> frame(static_cast<size_t>(vesk_width(ctx)) * vesk_height(ctx) * 3);
  vesk_utt_frame_info info{};
  double speech_frames = 0, speech_secs = 0;
  for (auto _ : state) {
    while (vesk_utt_pull_frame(utt, frame.data(), frame.size(), &info) == 1) {
    }
    const auto t0 = std::chrono::steady_clock::now();
    vesk_utt_push_audio(utt, pcm.data(), kSamples);
    vesk_utt_end_utterance(utt);
    std::chrono::steady_clock::time_point last{};
    int n = 0;
    for (;;) {
      if (vesk_utt_pull_frame(utt, frame.data(), frame.size(), &info) != 1) {
        if (teeth && vesk_utt_tessera_stats(utt, nullptr, nullptr, nullptr, 0) < 0) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      if (info.kind == VESK_UTT_SPEECH) {
        ++n;
        last = std::chrono::steady_clock::now();
      } else if (n > 0) {
        break;
      }
    }
    speech_frames += n;
    speech_secs += seconds(t0, last);
    while (info.kind != VESK_UTT_IDLE) {
      if (teeth && vesk_utt_tessera_stats(utt, nullptr, nullptr, nullptr, 0) < 0) break;
      if (vesk_utt_pull_frame(utt, frame.data(), frame.size(), &info) != 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  char text[256] = "";
  int64_t emitted = 0;
  if (teeth && vesk_utt_tessera_stats(utt, &emitted, nullptr, text, sizeof text) < 0)
    state.SkipWithError((std::string("the teeth pass failed: ") + text).c_str());
  state.counters["speech_fps"] = speech_secs > 0 ? speech_frames / speech_secs : 0.0;
  state.counters["teeth_emitted"] = static_cast<double>(emitted);
  vesk_utt_destroy(utt);
  vesk_destroy(ctx);
  ::unsetenv("VESK_UTT_PIPELINE_PASTE");
}
void BM_UttTeeth_vesk(benchmark::State& state) { uttTeeth(state, true); }
void BM_UttTeeth_baseline(benchmark::State& state) { uttTeeth(state, false); }
BENCHMARK(BM_UttTeeth_vesk)
    ->Name("BM_UttTeeth/vesk")
    ->ArgName("pipelined_paste")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Apply(vesk::bench::iterationsByDefault<2>)
    ->UseRealTime();
BENCHMARK(BM_UttTeeth_baseline)
    ->Name("BM_UttTeeth/baseline")
    ->ArgName("pipelined_paste")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Apply(vesk::bench::iterationsByDefault<2>)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return vesk::bench::run(argc, argv); }
