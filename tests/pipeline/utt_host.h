// A host for utterance-session tests: owns a context and a session, pushes
// speech-like audio and pulls frames the way an application does, and keeps
// what it pulled for the checks.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "generated_bundles.h"
#include "vesk/vesk.h"

namespace vesk::test {

struct Pulled {
  vesk_utt_frame_info info;
  std::vector<uint8_t> bytes;
};

// n samples of a voiced, loudness-modulated tone: enough for an audio model to
// move the lips.
inline std::vector<int16_t> speechPcm(int n, int seed = 0) {
  std::vector<int16_t> pcm(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double t = i / 16000.0;
    const double env = 0.5 + 0.5 * std::sin(2 * M_PI * (3.0 + seed % 3) * t);
    pcm[static_cast<size_t>(i)] =
        static_cast<int16_t>(12000.0 * env * (std::sin(2 * M_PI * 180 * t) + 0.4 * std::sin(2 * M_PI * 540 * t)));
  }
  return pcm;
}

class UttHost {
 public:
  UttHost(const std::string& bundle, const vesk_utt_opts& opts, int threads = 2) {
    ctx = vesk_create(bundle.c_str(), "b1", threads, "");
    if (ctx == nullptr) throw std::runtime_error(vesk_last_error());
    utt = vesk_utt_create(ctx, &opts);
    if (utt == nullptr) {
      const std::string e = vesk_utt_last_error();
      vesk_destroy(ctx);
      throw std::runtime_error(e);
    }
    bytes = static_cast<size_t>(vesk_width(ctx)) * static_cast<size_t>(vesk_height(ctx)) * 3;
    nt = vesk_nt(ctx);
  }
  ~UttHost() {
    vesk_utt_destroy(utt);
    vesk_destroy(ctx);
  }
  UttHost(const UttHost&) = delete;
  UttHost& operator=(const UttHost&) = delete;

  // Waits for the audio model; the result of vesk_utt_ready.
  int waitReady(double seconds = 60) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int r;
    while ((r = vesk_utt_ready(utt)) == 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return r;
  }

  // One pulled frame, waiting up to `seconds` for it; false on time-out.
  bool pull(Pulled* out, double seconds = 30) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    out->bytes.resize(bytes);
    while (std::chrono::steady_clock::now() < until) {
      if (vesk_utt_pull_frame(utt, out->bytes.data(), out->bytes.size(), &out->info) == 1) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  // Pulls frames until pred(frame) holds or max frames went by; every frame is
  // kept in `frames`.
  template <class Pred>
  bool pullUntil(Pred pred, int max = 2000) {
    for (int i = 0; i < max; ++i) {
      Pulled p;
      if (!pull(&p)) return false;
      frames.push_back(std::move(p));
      if (pred(frames.back())) return true;
    }
    return false;
  }

  void push(const std::vector<int16_t>& pcm) {
    ASSERT_EQ(vesk_utt_push_audio(utt, pcm.data(), static_cast<int>(pcm.size())), 1);
  }

  vesk_ctx* ctx = nullptr;
  vesk_utt* utt = nullptr;
  size_t bytes = 0;
  int nt = 0;
  std::vector<Pulled> frames;
};

}  // namespace vesk::test
