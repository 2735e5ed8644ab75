// The utterance session with its teeth pass, seen through the C calls: attach refusals, the
// one-frame hold (a speech frame is delivered once the next crop arrives, or when the end of speech
// drains it), fail-closed delivery after a skipped frame, a new attach bringing serving back,
// interrupts dropping the held frame, inline and on the teeth thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "generated_bundles.h"
#include "tessera/vesk_bundle_tessera.h"
#include "tessera/vesk_tessera_bank.h"
#include "test_util.h"
#include "utt_host.h"
#include "vesk/vesk.h"

namespace vesk::test {
namespace {

// The teeth identity's members, decoded the way a host arms the stage.
struct Members {
  TesseraAttachInputs in;
  std::vector<uint8_t> bank;

  explicit Members(const std::string& dir) : in(loadTesseraMembers(dir)) {
    const std::string track = readFile(in.bank_track_path);
    bank =
        tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), in.n_donors, in.band_h,
                                 in.band_w, std::vector<int>(in.track_order.begin(), in.track_order.end()));
  }
};

// The generated motion model with the teeth identity's own target table, which the stage identifies
// the identity's compose geometry by.
std::string motionDirFor(const TempDir& tmp, const std::string& bundle) {
  const std::filesystem::path from = std::string(VESK_MOTION_MODELS_DIR) + "/nt8";
  const std::filesystem::path to = tmp / "motion";
  std::filesystem::create_directories(to);
  for (const auto& e : std::filesystem::directory_iterator(from))
    if (e.path().filename() != "xs_target.bin") std::filesystem::create_symlink(e.path(), to / e.path().filename());
  std::filesystem::copy_file(bundle + "/xs_target.bin", to / "xs_target.bin");
  return to.string();
}

class Pipe {
 public:
  explicit Pipe(bool on) { ::setenv("VESK_UTT_PIPELINE_PASTE", on ? "1" : "0", 1); }
  ~Pipe() { ::unsetenv("VESK_UTT_PIPELINE_PASTE"); }
};

int attach(vesk_utt* utt, const Members& m, std::string* err, const double* c_canon = nullptr, int n = -1) {
  char buf[1024];
  const int r =
      vesk_utt_tessera_attach(utt, m.bank.data(), n < 0 ? m.in.n_donors : n, m.in.cent.data(),
                              c_canon != nullptr ? c_canon : m.in.c_canon.data(), m.in.aperture.data(),
                              m.in.stamp.values().data(), m.in.head_pt.data(), static_cast<int>(m.in.head_pt.size()),
                              m.in.head_json.c_str(), m.in.manifest_json.c_str(), buf, sizeof buf);
  *err = buf;
  return r;
}

struct Stats {
  int r = 0;
  int64_t emitted = -1, skipped = -1;
  std::string text;
};
Stats teethStats(vesk_utt* utt) {
  Stats s;
  char buf[512];
  s.r = vesk_utt_tessera_stats(utt, &s.emitted, &s.skipped, buf, sizeof buf);
  s.text = buf;
  return s;
}

// Pulls whatever arrives until nothing more has come for `quiet` seconds; the kinds pulled.
std::vector<vesk_utt_frame_info> drainQuiet(UttHost& h, double quiet, int max = 400) {
  std::vector<vesk_utt_frame_info> got;
  std::vector<uint8_t> frame(h.bytes);
  auto last = std::chrono::steady_clock::now();
  while (static_cast<int>(got.size()) < max &&
         std::chrono::steady_clock::now() - last < std::chrono::duration<double>(quiet)) {
    vesk_utt_frame_info info{};
    if (vesk_utt_pull_frame(h.utt, frame.data(), frame.size(), &info) == 1) {
      got.push_back(info);
      last = std::chrono::steady_clock::now();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return got;
}

int countKind(const std::vector<vesk_utt_frame_info>& v, int kind) {
  int n = 0;
  for (const auto& f : v) n += f.kind == kind ? 1 : 0;
  return n;
}

// Long enough for the model to serve frames before the end call.
constexpr int kLong = 160000;

class UttTeeth : public testing::TestWithParam<bool> {
 protected:
  std::string bundle = bundleDir("teeth");
  TempDir tmp;
  std::string motion = motionDirFor(tmp, bundle);
  Members members{bundle};

  vesk_utt_opts opts() const {
    vesk_utt_opts o{};
    o.motion_dir = motion.c_str();
    o.end_silence_s = -1;
    o.ramp_frames = 3;
    o.steady_model = "-";
    return o;
  }
};

TEST_P(UttTeeth, AttachRefusalsLeaveTheSessionServingWithoutTeeth) {
  const Pipe pipe(GetParam());
  UttHost h(bundle, opts());
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  char buf[256] = "x";
  EXPECT_EQ(vesk_utt_tessera_stats(h.utt, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(vesk_utt_tessera_geometry(h.utt, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  double mean = -7, max = -7;
  int64_t count = -7;
  EXPECT_EQ(vesk_utt_tessera_synth_w(h.utt, &mean, &max, &count), 0);

  std::string err;
  EXPECT_EQ(attach(h.utt, members, &err, nullptr, 0), 1);
  EXPECT_EQ(err, "vesk_utt_tessera_attach: n_donors <= 0");
  EXPECT_EQ(vesk_utt_tessera_attach(nullptr, nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                                    nullptr, buf, sizeof buf),
            1);
  EXPECT_STREQ(buf, "vesk_utt_tessera_attach: null session");
  EXPECT_EQ(vesk_utt_tessera_attach(h.utt, members.bank.data(), 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
                                    nullptr, nullptr, buf, sizeof buf),
            1);
  EXPECT_STREQ(buf,
               "vesk_utt_tessera_attach: a required member is null \xE2\x80\x94 this ABI has no partial-attach state");
  std::array<int32_t, 12> stamp = members.in.stamp.values();
  stamp[0] = stamp[1] = 512;
  EXPECT_EQ(vesk_utt_tessera_attach(h.utt, members.bank.data(), members.in.n_donors, members.in.cent.data(),
                                    members.in.c_canon.data(), members.in.aperture.data(), stamp.data(),
                                    members.in.head_pt.data(), static_cast<int>(members.in.head_pt.size()),
                                    members.in.head_json.c_str(), members.in.manifest_json.c_str(), buf, sizeof buf),
            1);
  EXPECT_STREQ(buf, "vesk_utt_tessera_attach: bank canvas 512 != this bundle's render crop 128");
  EXPECT_EQ(vesk_utt_tessera_stats(h.utt, nullptr, nullptr, nullptr, 0), 0);

  h.push(speechPcm(640 * 4));
  vesk_utt_end_utterance(h.utt);
  const auto got = drainQuiet(h, 1.5);
  EXPECT_EQ(countKind(got, VESK_UTT_SPEECH), 4);
}

TEST_P(UttTeeth, SpeechFramesArriveOneLateAndTheEndDrainsTheLast) {
  const Pipe pipe(GetParam());
  // Without teeth: how many speech frames the model gives before the end call.
  int before_plain;
  {
    UttHost h(bundle, opts());
    ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
    h.push(speechPcm(kLong));
    before_plain = countKind(drainQuiet(h, 1.5), VESK_UTT_SPEECH);
  }
  ASSERT_GE(before_plain, 2) << "the model gives no frame before the end call: nothing to see a hold by";

  UttHost h(bundle, opts());
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  std::string err;
  ASSERT_EQ(attach(h.utt, members, &err), 0) << err;
  char geometry[512];
  EXPECT_EQ(vesk_utt_tessera_geometry(h.utt, geometry, sizeof geometry), 1);
  EXPECT_GT(std::strlen(geometry), 0u);
  EXPECT_EQ(teethStats(h.utt).r, 1);
  h.push(speechPcm(kLong));
  const auto before = drainQuiet(h, 1.5);
  // The last crop rendered is held for the pass's look-ahead.
  EXPECT_EQ(countKind(before, VESK_UTT_SPEECH), before_plain - 1);
  vesk_utt_end_utterance(h.utt);
  auto after = drainQuiet(h, 1.5);
  after.insert(after.begin(), before.begin(), before.end());
  int index = 0;
  for (const auto& f : after)
    if (f.kind == VESK_UTT_SPEECH) {
      EXPECT_EQ(f.index, index++);
    }
  EXPECT_EQ(index, kLong / 640);
  EXPECT_EQ(countKind(after, VESK_UTT_RAMP), 3);
  for (size_t k = 1; k < after.size(); ++k) EXPECT_EQ(after[k].seq, after[k - 1].seq + 1);
  const Stats s = teethStats(h.utt);
  EXPECT_EQ(s.r, 1) << s.text;
  EXPECT_EQ(s.emitted, kLong / 640 + 3);
  EXPECT_EQ(s.skipped, 0);
}

TEST_P(UttTeeth, ASkippedFrameStopsDeliveryUntilANewAttach) {
  const Pipe pipe(GetParam());
  UttHost h(bundle, opts());
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  // A canonical centroid further from where this identity's mouths sit than the stamp's pad (yet
  // close enough to name its geometry): the pass skips the first frame it answers.
  std::string err;
  const double far[2] = {members.in.c_canon[0], members.in.c_canon[1] - members.in.stamp.pad - 1.5};
  ASSERT_EQ(attach(h.utt, members, &err, far), 0) << err;
  h.push(speechPcm(640 * 6));
  vesk_utt_end_utterance(h.utt);
  const auto got = drainQuiet(h, 1.5);
  EXPECT_EQ(countKind(got, VESK_UTT_SPEECH), 0);
  const Stats s = teethStats(h.utt);
  EXPECT_EQ(s.r, -1);
  EXPECT_EQ(s.skipped, 1);
  EXPECT_EQ(s.emitted, 0);
  EXPECT_EQ(s.text, "shift-out-of-range");
  EXPECT_TRUE(drainQuiet(h, 0.5).empty()) << "idle frames too stop once the stage has failed";

  ASSERT_EQ(attach(h.utt, members, &err), 0) << err;
  EXPECT_EQ(teethStats(h.utt).r, 1);
  EXPECT_FALSE(drainQuiet(h, 0.5, 5).empty()) << "a new attach serves again";
  h.push(speechPcm(640 * 4));
  vesk_utt_end_utterance(h.utt);
  EXPECT_EQ(countKind(drainQuiet(h, 1.5), VESK_UTT_SPEECH), 4);
  EXPECT_EQ(teethStats(h.utt).r, 1);
  double mean = 0, max = 0;
  int64_t count = 0;
  if (vesk_utt_tessera_synth_w(h.utt, &mean, &max, &count) == 1) {
    EXPECT_GT(count, 0);
    EXPECT_LE(mean, max);
  }
}

TEST_P(UttTeeth, AnInterruptDropsTheHeldFrame) {
  const Pipe pipe(GetParam());
  vesk_utt_opts o = opts();
  o.interrupt_ramp_frames = 2;
  UttHost h(bundle, o);
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  std::string err;
  ASSERT_EQ(attach(h.utt, members, &err), 0) << err;
  h.push(speechPcm(kLong));
  const auto before = drainQuiet(h, 1.5);
  const int spoken = countKind(before, VESK_UTT_SPEECH);
  ASSERT_GE(spoken, 1);
  vesk_utt_interrupt(h.utt);
  const auto after = drainQuiet(h, 1.5, 20);
  // No speech frame of the interrupted utterance comes after the interrupt: the held one is gone.
  EXPECT_EQ(countKind(after, VESK_UTT_SPEECH), 0);
  EXPECT_EQ(countKind(after, VESK_UTT_RAMP), 2);
  EXPECT_GT(countKind(after, VESK_UTT_IDLE), 0);
  EXPECT_EQ(teethStats(h.utt).r, 1);
  // The next utterance is served with teeth from its first frame.
  h.push(speechPcm(640 * 3));
  vesk_utt_end_utterance(h.utt);
  EXPECT_EQ(countKind(drainQuiet(h, 1.5), VESK_UTT_SPEECH), 3);
}

// Host threads at once: one pushes utterances and interrupts some, one pulls, one attaches the
// pass again and again and reads its queries. Under ThreadSanitizer this is the stage's race check;
// everywhere, frames must keep coming in sequence order and the session must stay serving.
TEST_P(UttTeeth, SoakPushPullInterruptAndReattachFromThreeThreads) {
  const Pipe pipe(GetParam());
  UttHost h(bundle, opts());
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  std::string err;
  ASSERT_EQ(attach(h.utt, members, &err), 0) << err;
  std::atomic<bool> done{false};
  std::atomic<int> attaches{0};
  std::thread pusher([&] {
    for (int k = 0; k < 6; ++k) {
      const std::vector<int16_t> pcm = speechPcm(640 * 12, k);
      vesk_utt_push_audio(h.utt, pcm.data(), static_cast<int>(pcm.size()));
      if (k % 3 == 2)
        vesk_utt_interrupt(h.utt);
      else
        vesk_utt_end_utterance(h.utt);
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
  });
  std::thread attacher([&] {
    while (!done.load()) {
      std::string e;
      if (attach(h.utt, members, &e) == 0) attaches.fetch_add(1);
      (void)teethStats(h.utt);
      char g[256];
      (void)vesk_utt_tessera_geometry(h.utt, g, sizeof g);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  std::vector<vesk_utt_frame_info> got;
  std::vector<uint8_t> frame(h.bytes);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    vesk_utt_frame_info info{};
    if (vesk_utt_pull_frame(h.utt, frame.data(), frame.size(), &info) == 1)
      got.push_back(info);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pusher.join();
  done = true;
  attacher.join();
  EXPECT_GT(attaches.load(), 0);
  ASSERT_FALSE(got.empty());
  for (size_t k = 1; k < got.size(); ++k) EXPECT_GT(got[k].seq, got[k - 1].seq);
  // Still serving: one more utterance comes out with its teeth.
  vesk_utt_interrupt(h.utt);
  drainQuiet(h, 0.5);
  h.push(speechPcm(640 * 3, 9));
  vesk_utt_end_utterance(h.utt);
  EXPECT_EQ(countKind(drainQuiet(h, 1.5), VESK_UTT_SPEECH), 3);
  EXPECT_EQ(teethStats(h.utt).r, 1);
}

INSTANTIATE_TEST_SUITE_P(Stage, UttTeeth, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) { return p.param ? "Pipelined" : "Inline"; });

}  // namespace
}  // namespace vesk::test
