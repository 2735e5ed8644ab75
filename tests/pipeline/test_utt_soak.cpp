// Load: two hosts, each on its own session (one of them in hybrid mode), run 100 utterances apiece with
// random lengths, random interrupts, ends by call or by silence and
// back-to-back starts, pulling at 25 frames per second. Every pulled frame must
// be whole and in order; every utterance that was not interrupted must deliver
// exactly one speech frame per 640 samples.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "generated_bundles.h"
#include "utt_host.h"
#include "vesk/vesk.h"

namespace vesk::test {
namespace {

constexpr int kUtterances = 100;

void soak(unsigned seed, int eager) {
  const std::string dir = std::string(VESK_MOTION_MODELS_DIR) + "/nt8";
  vesk_utt_opts o{};
  o.motion_dir = dir.c_str();
  o.end_silence_s = 0.2;
  o.ramp_frames = 3;
  o.eager = eager;
  UttHost h(bundleDir("small"), o, 1);
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  std::mt19937 rng(seed);
  std::vector<uint8_t> frame(h.bytes);
  vesk_utt_frame_info info{};
  int64_t last_seq = -1;
  bool interrupt_since_pull = false;
  auto tick = std::chrono::steady_clock::now();
  int64_t speech_total = 0, frames_total = 0;

  for (int u = 0; u < kUtterances; ++u) {
    const int n = std::uniform_int_distribution<int>(300, 5120)(rng);
    const int expected = (n + 639) / 640;
    const int interrupt_at = rng() % 10 < 3 ? std::uniform_int_distribution<int>(0, expected - 1)(rng) : -1;
    const bool end_call = rng() % 2 == 0;
    const bool back_to_back = rng() % 4 == 0;
    const auto pcm = speechPcm(n, u);
    ASSERT_EQ(vesk_utt_push_audio(h.utt, pcm.data(), n), 1);
    if (end_call) vesk_utt_end_utterance(h.utt);

    int speech = 0;
    bool interrupted = false, done = false;
    for (int t = 0; t < 750 && !done; ++t) {
      tick += std::chrono::milliseconds(40);
      std::this_thread::sleep_until(tick);
      if (vesk_utt_pull_frame(h.utt, frame.data(), frame.size(), &info) != 1) continue;
      ++frames_total;
      ASSERT_GE(info.si, 0);
      ASSERT_LT(info.si, h.nt);
      ASSERT_GE(info.kind, 0);
      ASSERT_LE(info.kind, 2);
      if (last_seq >= 0) {
        if (interrupt_since_pull) {
          ASSERT_GT(info.seq, last_seq);
        } else {
          ASSERT_EQ(info.seq, last_seq + 1) << "utterance " << u;
        }
      }
      last_seq = info.seq;
      interrupt_since_pull = false;
      if (info.kind == VESK_UTT_SPEECH) {
        ASSERT_FALSE(interrupted) << "a speech frame after the interrupt, utterance " << u;
        ASSERT_EQ(info.index, speech) << "utterance " << u;
        ++speech;
        ++speech_total;
        if (speech - 1 == interrupt_at) {
          vesk_utt_interrupt(h.utt);
          interrupted = interrupt_since_pull = true;
        } else if (back_to_back && speech == expected) {
          done = true;  // the next utterance's audio arrives while this one
                        // ramps out
        }
      } else {
        ASSERT_EQ(info.index, -1);
        if (info.kind == VESK_UTT_IDLE && (interrupted || speech == expected)) done = true;
      }
    }
    ASSERT_TRUE(done) << "utterance " << u << " did not finish (" << speech << " of " << expected << " frames)";
    if (!interrupted) {
      EXPECT_EQ(speech, expected) << "utterance " << u;
    }
  }
  vesk_utt_stats st{};
  vesk_utt_get_stats(h.utt, &st);
  EXPECT_EQ(st.frames, frames_total);
  EXPECT_EQ(st.speech_frames, speech_total);
  int64_t failures = -1;
  EXPECT_EQ(vesk_utt_render_status(h.utt, nullptr, 0, &failures), 0);
  EXPECT_EQ(failures, 0);
}

TEST(UttSoak, TwoHostsTwoHundredUtterances) {
  std::thread a([] { soak(11, 0); });
  std::thread b([] { soak(29, -2); });  // hybrid: the run thread does not wait for the model
  a.join();
  b.join();
}

}  // namespace
}  // namespace vesk::test
