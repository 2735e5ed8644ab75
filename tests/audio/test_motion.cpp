// The motion model end to end on the generated model directory: push-size invariance, exact frame
// counts, the 70/10 window advance and its live gating, the source walk, the lips following the voice,
// debugging dumps, and every refusal with its text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/vesk_motion.h"
#include "motion_test_util.h"
#include "vesk/vesk.h"
#include "vesk/vesk_a2x.h"

namespace {

using vesk::Motion;
using vesk::test::TempDir;

std::string nt8() { return vesk::test::motionModels() + "/nt8"; }
std::string nt1() { return vesk::test::motionModels() + "/nt1"; }

struct Frames {
  std::vector<int> si;
  std::vector<float> xs, xd;
  size_t size() const { return si.size(); }
  bool operator==(const Frames& o) const {
    return si == o.si && xs.size() == o.xs.size() && xd.size() == o.xd.size() &&
           std::memcmp(xs.data(), o.xs.data(), xs.size() * 4) == 0 && std::memcmp(xd.data(), o.xd.data(), xd.size() * 4) == 0;
  }
  float xdMinusXs(size_t f, int kp, int axis) const {
    const size_t k = f * 63 + static_cast<size_t>(3 * kp + axis);
    return xd[k] - xs[k];
  }
};

// Pulls until the session has nothing more to give now.
void pullAll(Motion& m, Frames& out, int max = 32) {
  std::vector<int> si(static_cast<size_t>(max));
  std::vector<float> xs(static_cast<size_t>(max) * 63), xd(static_cast<size_t>(max) * 63);
  while (int k = m.pull(si.data(), xs.data(), xd.data(), max)) {
    out.si.insert(out.si.end(), si.begin(), si.begin() + k);
    out.xs.insert(out.xs.end(), xs.begin(), xs.begin() + 63 * k);
    out.xd.insert(out.xd.end(), xd.begin(), xd.begin() + 63 * k);
  }
}

void pullAll(vesk_motion* m, Frames& out) {
  int si[32];
  float xs[32 * 63], xd[32 * 63];
  while (int k = vesk_motion_pull(m, si, xs, xd, 32)) {
    out.si.insert(out.si.end(), si, si + k);
    out.xs.insert(out.xs.end(), xs, xs + 63 * k);
    out.xd.insert(out.xd.end(), xd, xd + 63 * k);
  }
}

enum class Chunking { Whole, One, P639, P640, P5120, Random };
const Chunking kChunkings[] = {Chunking::Whole, Chunking::One, Chunking::P639, Chunking::P640, Chunking::P5120, Chunking::Random};

void pushChunked(Motion& m, const std::vector<float>& a, Chunking c) {
  uint32_t s = 12345;
  size_t i = 0;
  while (i < a.size()) {
    size_t n = a.size() - i;
    switch (c) {
      case Chunking::Whole: break;
      case Chunking::One: n = 1; break;
      case Chunking::P639: n = 639; break;
      case Chunking::P640: n = 640; break;
      case Chunking::P5120: n = 5120; break;
      case Chunking::Random:
        s = s * 1664525u + 1013904223u;
        n = 1 + (s >> 8) % 3000;
        break;
    }
    n = std::min(n, a.size() - i);
    m.push(a.data() + i, static_cast<int>(n));
    i += n;
  }
}

size_t framesOf(size_t n) { return (n + 639) / 640; }

class MotionStream : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session = new Motion(nt8(), 1, ""); }
  static void TearDownTestSuite() {
    delete session;
    session = nullptr;
  }
  void SetUp() override { session->reset(0, 1, 1); }
  static Motion* session;
};
Motion* MotionStream::session = nullptr;

// 157 frames and a partial one: three motion windows (0, 70, 140).
const std::vector<float>& testAudio() {
  static const std::vector<float> a = vesk::test::voice(640 * 157 + 123);
  return a;
}

TEST_F(MotionStream, AllAudioPushedBeforeTheFirstPullGivesTheSameFramesForEveryChunking) {
  const auto& a = testAudio();
  Frames ref;
  for (Chunking c : kChunkings) {
    session->reset(0, 1, 1);
    pushChunked(*session, a, c);
    Frames f;
    pullAll(*session, f);
    const size_t live = f.size();
    session->finish();
    pullAll(*session, f);
    EXPECT_GT(live, 0u);
    ASSERT_EQ(f.size(), framesOf(a.size())) << "chunking " << static_cast<int>(c);
    if (c == Chunking::Whole) {
      ref = f;
    } else {
      EXPECT_TRUE(f == ref) << "chunking " << static_cast<int>(c);
    }
  }
}

TEST_F(MotionStream, AllAudioPushedBeforeFinishGivesTheSameFramesForEveryChunking) {
  const auto& a = testAudio();
  Frames ref;
  for (Chunking c : kChunkings) {
    session->reset(0, 1, 1);
    pushChunked(*session, a, c);
    session->finish();
    EXPECT_EQ(session->total(), static_cast<int>(framesOf(a.size())));
    EXPECT_EQ(session->avail(), session->total());
    Frames f;
    pullAll(*session, f, 7);
    ASSERT_EQ(f.size(), framesOf(a.size()));
    if (c == Chunking::Whole) {
      ref = f;
    } else {
      EXPECT_TRUE(f == ref) << "chunking " << static_cast<int>(c);
    }
  }
  // A reset session computes the same utterance again bit for bit.
  session->reset(0, 1, 1);
  session->push(a.data(), static_cast<int>(a.size()));
  session->finish();
  Frames again;
  pullAll(*session, again);
  EXPECT_TRUE(again == ref);
}

// Live use: pulling between pushes serves frames as soon as they can be computed, and when too few are
// ready the session runs feature windows ahead on zero-padded audio. Those windows are not computed
// again when the real audio arrives, so live frames may differ from the ones of a finished stream.
// This records how much; only the frame count is part of the contract.
TEST_F(MotionStream, LiveInterleavingKeepsTheFrameCountAndMayChangeValues) {
  const auto& a = testAudio();
  session->push(a.data(), static_cast<int>(a.size()));
  session->finish();
  Frames batch;
  pullAll(*session, batch);

  for (int step : {640, 5120}) {
    session->reset(0, 1, 1);
    Frames live;
    for (size_t i = 0; i < a.size(); i += static_cast<size_t>(step)) {
      const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(step), a.size() - i));
      session->push(a.data() + i, n);
      pullAll(*session, live);
    }
    const size_t beforeFinish = live.size();
    const int eager = session->eagerWindows();
    session->finish();
    pullAll(*session, live);
    ASSERT_EQ(live.size(), batch.size());
    EXPECT_EQ(live.si, batch.si);
    size_t differ = 0;
    float worst = 0;
    for (size_t k = 0; k < live.xd.size(); ++k) {
      if (live.xd[k] != batch.xd[k]) ++differ;
      worst = std::max(worst, std::fabs(live.xd[k] - batch.xd[k]));
    }
    std::printf("[ live/%d ] %zu frames before finish, %d windows run ahead on zeros, %zu of %zu values differ, max |d| %.3g\n",
                step, beforeFinish, eager, differ, live.xd.size(), static_cast<double>(worst));
    RecordProperty("live" + std::to_string(step) + "_differing_values", static_cast<int>(differ));
    EXPECT_GT(beforeFinish, 0u);
  }
}

TEST_F(MotionStream, FinishGivesExactlyCeilOfSamplesOver640Frames) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{639}, size_t{640}, size_t{641}, size_t{4480}, size_t{44800}, size_t{52479},
                   size_t{640 * 70 + 1}, size_t{640 * 150}, size_t{640 * 151 - 1}}) {
    session->reset(0, 1, 1);
    const std::vector<float> a = vesk::test::voice(n, 3);
    session->push(a.data(), static_cast<int>(n));
    Frames f;
    pullAll(*session, f);
    EXPECT_EQ(session->total(), -1);
    session->finish();
    pullAll(*session, f);
    EXPECT_EQ(f.size(), framesOf(n)) << n << " samples";
    EXPECT_EQ(session->total(), static_cast<int>(framesOf(n)));
    int si;
    float xs[63], xd[63];
    EXPECT_EQ(session->pull(&si, xs, xd, 4), 0);
    EXPECT_EQ(session->avail(), 0);
  }
}

// Neighbouring feature windows share nine log-mel frames. Taking them over from the previous block
// must give the frames that computing them again gives, bit for bit: with all audio there, live, and
// live with windows run ahead on zeros, whose shared frames saw zeros and must not be taken over.
TEST_F(MotionStream, SharedMelFramesGiveTheSameFramesAsComputingThemAgain) {
  const auto& a = testAudio();
  struct Mode {
    const char* name;
    size_t step;  // 0: all audio, then finish
    int eager;
  };
  for (const Mode& mode : {Mode{"whole", 0, -1}, Mode{"live 640", 640, -1}, Mode{"live 640, 8 ahead", 640, 8}}) {
    SCOPED_TRACE(mode.name);
    Frames got[2];
    int reused[2] = {0, 0}, eager = 0;
    for (int reuse : {1, 0}) {
      session->reset(0, 1, 1);
      session->setMelReuse(reuse != 0);
      session->setEager(mode.eager);
      Frames& f = got[reuse];
      for (size_t i = 0; i < a.size(); i += mode.step == 0 ? a.size() : mode.step) {
        const size_t n = mode.step == 0 ? a.size() : std::min(mode.step, a.size() - i);
        session->push(a.data() + i, static_cast<int>(n));
        if (mode.step != 0) pullAll(*session, f);
      }
      session->finish();
      pullAll(*session, f);
      reused[reuse] = session->melFramesReused();
      if (reuse == 1) eager = session->eagerWindows();
    }
    session->setMelReuse(true);
    session->setEager(-1);
    EXPECT_TRUE(got[1] == got[0]);
    EXPECT_EQ(reused[0], 0);
    const int windows = static_cast<int>((framesOf(a.size()) + 4) / 5);
    if (eager == 0) {
      EXPECT_EQ(reused[1], 9 * (windows - 1));  // every window but the first
    } else {
      EXPECT_GT(reused[1], 0);
      EXPECT_LT(reused[1], 9 * (windows - 1));
    }
  }
}

// The motion network sees 80-frame windows every 70 frames. Before finish a window runs once its 80th
// conditioning row exists, and a frame is served once the motion table holds 11 rows beyond it.
TEST_F(MotionStream, WindowsAdvanceBy70AndLiveFramesWaitFor11RowsOfMargin) {
  const std::vector<float> a = vesk::test::voice(640 * 320, 5);
  Motion& m = *session;
  m.setEager(1);
  // Row 79 comes from the feature window at frame 75, whose last sample is 640 * 75 + 4479.
  m.push(a.data(), 640 * 75 + 4480 - 1);
  EXPECT_EQ(m.conditioningRows(), 0);  // nothing runs before a call that needs it
  // One sample short: the only way to a frame is to run that window on zero-padded audio.
  EXPECT_EQ(m.avail(), 69);
  EXPECT_EQ(m.eagerWindows(), 1);
  EXPECT_EQ(m.chunksRun(), 1);
  EXPECT_EQ(m.motionRows(), 80);

  m.reset(0, 1, 1);
  m.setEager(1);
  m.push(a.data(), 640 * 75 + 4480);
  EXPECT_EQ(m.avail(), 69);  // rows 0..79, frames 0..68
  EXPECT_EQ(m.eagerWindows(), 0);
  Frames f;
  pullAll(m, f, 10);
  EXPECT_EQ(f.size(), 69u);
  // The second window needs row 149: the feature window at frame 145.
  m.push(a.data() + 640 * 75 + 4480, 640 * 145 + 4480 - (640 * 75 + 4480));
  EXPECT_EQ(m.avail(), 70);  // frames 69..138 of rows 0..149
  EXPECT_EQ(m.chunksRun(), 2);
  EXPECT_EQ(m.motionRows(), 150);
  EXPECT_EQ(m.eagerWindows(), 0);
  pullAll(m, f);
  EXPECT_EQ(f.size(), 139u);

  m.push(a.data() + 640 * 145 + 4480, static_cast<int>(a.size()) - (640 * 145 + 4480));
  EXPECT_EQ(m.chunksRun(), 2);  // pushing computes nothing
  m.finish();
  EXPECT_EQ(m.chunksRun(), 5);  // windows at 0, 70, 140, 210, 280 cover 320 frames
  EXPECT_EQ(m.motionRows(), 320);
  pullAll(m, f);
  EXPECT_EQ(f.size(), 320u);
  m.setEager(-1);
}

// A long live stream holds only what later feature windows, motion windows and frames can still
// read, and gives the same frames as one that keeps everything (a dumping session keeps it all).
TEST(MotionModel, ALongLiveStreamHoldsBoundedMemoryAndTheSameFrames) {
  const std::vector<float> a = vesk::test::voice(16000 * 100 + 77, 8);
  Motion m(nt8(), 1, "");
  TempDir dump;
  setenv("VESK_MOTION_DUMP", dump.path().c_str(), 1);
  Motion ref(nt8(), 1, "");
  unsetenv("VESK_MOTION_DUMP");
  m.setEager(4);
  ref.setEager(4);
  Frames got, want;
  size_t maxSamples = 0, maxCond = 0, maxRows = 0;
  for (size_t at = 0; at < a.size(); at += 3000) {
    const int n = static_cast<int>(std::min<size_t>(3000, a.size() - at));
    m.push(a.data() + at, n);
    ref.push(a.data() + at, n);
    pullAll(m, got, 13);
    pullAll(ref, want, 13);
    maxSamples = std::max(maxSamples, m.heldSamples());
    maxCond = std::max(maxCond, m.heldConditioningRows());
    maxRows = std::max(maxRows, m.heldMotionRows());
  }
  EXPECT_GT(got.size(), 2400u);  // frames came out live all along
  m.finish();
  ref.finish();
  pullAll(m, got);
  pullAll(ref, want);
  ASSERT_EQ(got.size(), framesOf(a.size()));
  EXPECT_TRUE(got == want);
  // Bounded by a trim step and what one window, one push and the look-ahead add; 100 s of audio
  // would be 1.6 M samples and 2500 rows.
  EXPECT_LT(maxSamples, 81920u + 16000u);
  EXPECT_LT(maxCond, 128u + 96u);
  EXPECT_LT(maxRows, 128u + 128u);
  EXPECT_EQ(m.heldSamples(), 0u);  // nothing reads the audio after finish

  // All of it pushed before finish: finish runs each motion window as its rows come, and trims.
  m.reset(0, 1, 1);
  ref.reset(0, 1, 1);
  m.push(a.data(), static_cast<int>(a.size()));
  ref.push(a.data(), static_cast<int>(a.size()));
  m.finish();
  ref.finish();
  Frames once, onceRef;
  pullAll(m, once, 29);
  pullAll(ref, onceRef, 29);
  ASSERT_EQ(once.size(), framesOf(a.size()));
  EXPECT_TRUE(once == onceRef);
  EXPECT_LT(m.heldMotionRows(), 128u + 29u);
}

TEST(MotionModel, ResetReleasesTheBuffersOfALongUtterance) {
  Motion m(nt8(), 1, "");
  const std::vector<float> a(16000 * 300, 0.01f);  // 300 s pushed before anything is pulled: 19 MB
  m.push(a.data(), static_cast<int>(a.size()));
  EXPECT_GT(m.heldCapacityBytes(), 16u << 20);
  m.reset(0, 1, 1);
  EXPECT_LT(m.heldCapacityBytes(), 16u << 20);
  // A short utterance keeps its buffers for the next one.
  m.push(a.data(), 16000);
  m.finish();
  Frames f;
  pullAll(m, f);
  ASSERT_EQ(f.size(), 25u);
  const size_t kept = m.heldCapacityBytes();
  EXPECT_GT(kept, 0u);
  m.reset(0, 1, 1);
  EXPECT_EQ(m.heldCapacityBytes(), kept);
}

// A steady tone whose period divides the STFT hop gives identical conditioning rows, so inside a
// motion window every frame has the same opening. Only the rows where two windows overlap can differ:
// there the old window's rows fade into the new one's over 10 frames, and the old window's last row
// (whose three-frame smoothing ran off the window's edge) shows in frame 70 c + 9 at a tenth of its
// weight. Everything else, frames 70 c + 10 onwards included, is the steady opening.
TEST(MotionModel, NeighbouringWindowsOverlapByTenFramesEvery70) {
  Motion m(nt1(), 1, "");  // one source frame, so every frame is posed alike
  std::vector<float> a(640 * 300);
  for (size_t i = 0; i < a.size(); ++i) a[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * static_cast<double>(i % 80) / 80.0));
  m.push(a.data(), static_cast<int>(a.size()));
  m.finish();
  Frames f;
  pullAll(m, f);
  ASSERT_EQ(f.size(), 300u);
  const float steady = f.xdMinusXs(30, 12, 1);
  EXPECT_GT(steady, 0.01f);  // the first frame, the reference, is quieter: its window starts in silence
  for (int c = 1; c <= 3; ++c) {
    for (int j = 0; j < 20; ++j) {
      const int t = 70 * c + j;
      if (j == 9) {
        EXPECT_LT(f.xdMinusXs(static_cast<size_t>(t), 12, 1), steady - 5e-4f) << t;
      } else {
        EXPECT_NEAR(f.xdMinusXs(static_cast<size_t>(t), 12, 1), steady, 2e-6f) << t;
      }
    }
  }
}

TEST_F(MotionStream, TheLastConditioningRowRepeatsInAShortWindow) {
  TempDir dump;
  setenv("VESK_MOTION_DUMP", dump.path().c_str(), 1);
  Motion m(nt8(), 1, "");
  unsetenv("VESK_MOTION_DUMP");
  const std::vector<float> a = vesk::test::voice(640 * 30, 2);
  m.push(a.data(), static_cast<int>(a.size()));
  m.finish();
  Frames f;
  pullAll(m, f);
  ASSERT_EQ(f.size(), 30u);

  const std::string aud = vesk::test::readFile(dump / "lmdm0_aud.bin");
  ASSERT_EQ(aud.size(), 80u * 1103 * 4);
  const char* row29 = aud.data() + 29 * 1103 * 4;
  for (int i = 30; i < 80; ++i) EXPECT_EQ(std::memcmp(aud.data() + static_cast<size_t>(i) * 1103 * 4, row29, 1103 * 4), 0) << i;
  EXPECT_NE(std::memcmp(aud.data() + 28 * 1103 * 4, row29, 1103 * 4), 0);

  // Every dump has the size of what it records.
  auto floats = [&](const char* name) { return vesk::test::readFile(dump / name).size() / 4; };
  EXPECT_EQ(floats("mel0.bin"), 80u * 21);
  EXPECT_EQ(floats("feat0.bin"), 20u * 1024);
  EXPECT_EQ(floats("lmdm0_kp.bin"), 265u);
  EXPECT_EQ(floats("lmdm0_pred.bin"), 80u * 265);
  EXPECT_EQ(floats("cond.bin"), 30u * 1103);
  EXPECT_EQ(floats("res_post.bin"), 30u * 265);
  EXPECT_EQ(floats("final.bin"), 30u * 265);
  for (const char* n : {"xsla.bin", "xdla.bin", "xs.bin", "xd.bin"}) EXPECT_EQ(floats(n), 30u * 63) << n;
  const std::string xd = vesk::test::readFile(dump / "xd.bin");
  EXPECT_EQ(std::memcmp(xd.data(), f.xd.data(), xd.size()), 0);
  // The first dumped motion state is the rest pose of ch_xs_info.bin in the motion layout.
  const std::string kp = vesk::test::readFile(dump / "lmdm0_kp.bin");
  const std::string ch = vesk::test::readFile(nt8() + "/ch_xs_info.bin");
  const auto* k = reinterpret_cast<const float*>(kp.data());
  const auto* q = reinterpret_cast<const float*>(ch.data());
  EXPECT_EQ(k[0], q[258] - 1.0f);
  EXPECT_EQ(k[1], q[126]);
  EXPECT_EQ(k[67], q[262]);
  EXPECT_EQ(k[133], q[192]);
  EXPECT_EQ(k[199], q[259]);
  EXPECT_EQ(k[202], q[0]);
}

// 0.32 s of silence (the mouth at rest in the first frame, which the others are measured from), then
// 4 s of voice: syllables three times a second for 2.2 s, silence from 2.2 s to 3.8 s. The lips open
// with the syllables and close between them and in the pause; the other keypoints stay within
// `others` of the target rows.
void expectLipsFollowTheVoice(Motion& m, float others) {
  std::vector<float> a(640 * 8, 0.0f);
  const std::vector<float> v = vesk::test::voice(16000 * 4 - a.size(), 9);
  a.insert(a.end(), v.begin(), v.end());
  m.push(a.data(), static_cast<int>(a.size()));
  m.finish();
  Frames f;
  pullAll(m, f);
  ASSERT_EQ(f.size(), 100u);
  const int lips[] = {6, 12, 14, 17, 19, 20};
  float maxOpen = 0, minOpenVoiced = 1, maxOpenSilent = 0;
  for (size_t t = 0; t < f.size(); ++t) {
    for (int kp = 0; kp < 21; ++kp) {
      if (std::find(std::begin(lips), std::end(lips), kp) != std::end(lips)) continue;
      for (int ax = 0; ax < 3; ++ax) ASSERT_LE(std::fabs(f.xdMinusXs(t, kp, ax)), others) << "frame " << t << " keypoint " << kp;
    }
    const float open = f.xdMinusXs(t, 12, 1);  // the lower lip drops
    if (std::getenv("VESK_TEST_VERBOSE")) std::printf("%zu %.4f\n", t, static_cast<double>(open));
    EXPECT_GE(open, -1e-4f - others);
    if (t >= 8 && t < 60) {
      maxOpen = std::max(maxOpen, open);
      minOpenVoiced = std::min(minOpenVoiced, open);
    }
    if (t >= 66 && t < 95) maxOpenSilent = std::max(maxOpenSilent, open);
    if (open > 0.01f) {
      EXPECT_LT(f.xdMinusXs(t, 6, 1), 0.0f) << t;  // the upper lip lifts
    }
  }
  EXPECT_GT(maxOpen, 0.03f);
  EXPECT_LT(minOpenVoiced, maxOpen * 0.5f);  // and closes between syllables
  EXPECT_LT(maxOpenSilent, 0.003f);
}

TEST_F(MotionStream, TheLipsOpenWithTheVoiceAndNothingElseMoves) { expectLipsFollowTheVoice(*session, 0.0f); }

// The realistic-size models (build target motion_models_full, not made for the tests) do the same
// job; their stitch network moves every keypoint a little.
TEST(MotionModel, RealisticSizeModelsFollowTheVoiceToo) {
  const std::string full = vesk::test::motionModels() + "/full";
  if (!std::filesystem::exists(full + "/meta.json")) GTEST_SKIP() << "no " << full << " (build target motion_models_full)";
  Motion m(full, 1, "");
  expectLipsFollowTheVoice(m, 2e-4f);
}

TEST_F(MotionStream, TheSourceWalkWrapsOrBounces) {
  const std::vector<float> a = vesk::test::voice(640 * 20, 4);
  auto walk = [&](int start, int dir, int wrap) {
    session->reset(start, dir, wrap);
    session->push(a.data(), static_cast<int>(a.size()));
    session->finish();
    Frames f;
    pullAll(*session, f);
    return std::vector<int>(f.si.begin(), f.si.begin() + 12);
  };
  EXPECT_EQ(walk(6, 1, 1), (std::vector<int>{6, 7, 0, 1, 2, 3, 4, 5, 6, 7, 0, 1}));
  EXPECT_EQ(walk(1, -1, 1), (std::vector<int>{1, 0, 7, 6, 5, 4, 3, 2, 1, 0, 7, 6}));
  EXPECT_EQ(walk(6, 1, 0), (std::vector<int>{6, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3}));
  EXPECT_EQ(walk(1, -7, 0), (std::vector<int>{1, 0, 1, 2, 3, 4, 5, 6, 7, 6, 5, 4}));
  EXPECT_EQ(walk(100, 1, 0)[0], 7);
  EXPECT_EQ(walk(-5, 1, 1)[0], 0);

  // The delivered target row is the source frame's row of xs_target.bin.
  const std::string tgt = vesk::test::readFile(nt8() + "/xs_target.bin");
  session->reset(3, 1, 1);
  session->push(a.data(), static_cast<int>(a.size()));
  session->finish();
  Frames f;
  pullAll(*session, f);
  for (size_t t = 0; t < f.size(); ++t)
    EXPECT_EQ(std::memcmp(&f.xs[t * 63], tgt.data() + static_cast<size_t>(f.si[t]) * 252, 252), 0);
}

TEST(MotionModel, OneSourceFrameServesEveryFrame) {
  Motion m(nt1(), 1, "");
  EXPECT_EQ(m.nt(), 1);
  const std::vector<float> a = vesk::test::voice(640 * 12, 4);
  for (int wrap : {0, 1})
    for (int dir : {-1, 1}) {
      m.reset(0, dir, wrap);
      m.push(a.data(), static_cast<int>(a.size()));
      m.finish();
      Frames f;
      pullAll(m, f);
      ASSERT_EQ(f.size(), 12u);
      for (int s : f.si) EXPECT_EQ(s, 0);
    }
}

// The same networks declared with free dimensions (a batch, a time axis), as exported models often
// are: fed in the shapes the model contract states, their outputs taken in whatever shape they come.
TEST(MotionModel, NetworksDeclaredWithFreeDimensionsGiveTheSameFrames) {
  const std::vector<float> a = vesk::test::voice(640 * 157 + 123, 6);
  Frames ref, dyn;
  Motion r(nt8(), 1, "");
  r.push(a.data(), static_cast<int>(a.size()) / 2);
  pullAll(r, ref);
  r.push(a.data() + a.size() / 2, static_cast<int>(a.size() - a.size() / 2));
  r.finish();
  pullAll(r, ref);
  Motion d(vesk::test::motionModels() + "/nt8_dyn", 1, "");
  d.push(a.data(), static_cast<int>(a.size()) / 2);
  pullAll(d, dyn);
  d.push(a.data() + a.size() / 2, static_cast<int>(a.size() - a.size() / 2));
  d.finish();
  pullAll(d, dyn);
  ASSERT_EQ(dyn.size(), framesOf(a.size()));
  EXPECT_TRUE(dyn == ref);
}

std::string readMeta(const std::string& dir) { return vesk::test::readFile(dir + "/meta.json"); }

void replaceIn(std::string& s, const std::string& from, const std::string& to) {
  const size_t at = s.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  s.replace(at, from.size(), to);
}

TEST(MotionModel, ZeroBridgeGainDeliversTheTargetRows) {
  TempDir t;
  const std::string dir = t / "m";
  vesk::test::copyDir(nt8(), dir);
  std::string meta = readMeta(dir);
  replaceIn(meta, "\"s_bridge\": 1.0", "\"s_bridge\": 0");
  vesk::test::writeFile(dir + "/meta.json", meta);
  Motion m(dir, 1, "");
  const std::vector<float> a = vesk::test::voice(16000, 9);
  m.push(a.data(), static_cast<int>(a.size()));
  m.finish();
  Frames f;
  pullAll(m, f);
  ASSERT_EQ(f.size(), 25u);
  EXPECT_EQ(f.xs, f.xd);
}

TEST(MotionModel, PitchOffsetTiltsTheDrivenFaceAndStitchPullsItBack) {
  TempDir t;
  const std::string dir = t / "m";
  vesk::test::copyDir(nt8(), dir);
  std::string meta = readMeta(dir);
  replaceIn(meta, "\"delta_pitch\": 0.0", "\"delta_pitch\": 4");
  vesk::test::writeFile(dir + "/meta.json", meta);
  Motion m(dir, 1, "");
  const std::vector<float> a(640 * 3, 0.0f);
  m.push(a.data(), static_cast<int>(a.size()));
  m.finish();
  Frames f;
  pullAll(m, f);
  ASSERT_EQ(f.size(), 3u);
  // In silence only the pose differs: the chin (row 13, off the lips) moves by 3/4 of the tilt, the
  // stitch network taking back a quarter.
  const float dy = f.xdMinusXs(0, 13, 1), dz = f.xdMinusXs(0, 13, 2);
  EXPECT_GT(std::fabs(dy) + std::fabs(dz), 0.01f);
}

TEST(MotionModel, MembersResolveThroughTheUnifiedAlias) {
  TempDir t;
  const std::string dir = t / "m";
  vesk::test::copyDir(nt8(), dir);
  std::filesystem::rename(dir + "/xs_target.bin", dir + "/target_keypoints.bin");
  Motion m(dir, 1, "");
  EXPECT_EQ(m.nt(), 8);
}

// ---- the C calls ----------------------------------------------------------------------------------

std::string createError(const std::string& dir, const char* ep = "") {
  vesk_motion* m = vesk_motion_create(dir.c_str(), 1, ep);
  const std::string e = vesk_motion_last_error();
  vesk_motion_destroy(m);
  return m == nullptr ? e : "created";
}

TEST(MotionC, CreationRefusalsCarryTheCallsName) {
  EXPECT_EQ(vesk_motion_create(nullptr, 1, ""), nullptr);
  EXPECT_STREQ(vesk_motion_last_error(), "vesk_motion_create: NULL motion_dir");
  EXPECT_EQ(createError(nt8(), "cuda"), "vesk_motion_create: vesk_motion: unknown ep 'cuda'");
  EXPECT_EQ(createError("/nonexistent/dir"), "vesk_motion_create: cannot open /nonexistent/dir/meta.json");

  TempDir t;
  auto broken = [&](const std::string& name, auto&& change) {
    const std::string dir = t / name;
    vesk::test::copyDir(nt8(), dir);
    change(dir);
    return createError(dir);
  };
  auto withMeta = [&](const std::string& name, const std::string& from, const std::string& to) {
    return broken(name, [&](const std::string& dir) {
      std::string meta = readMeta(dir);
      replaceIn(meta, from, to);
      vesk::test::writeFile(dir + "/meta.json", meta);
    });
  };
  EXPECT_EQ(withMeta("nsrc", "\"n_src\": 8", "\"n_src\": 7"), "vesk_motion_create: vesk_motion: n_src != nt unsupported");
  EXPECT_EQ(withMeta("noemo", "\"n_emo\"", "\"n_emotions\""), "vesk_motion_create: meta.json: missing n_emo");
  EXPECT_EQ(withMeta("badbridge", "\"s_bridge\": 1.0", "\"s_bridge\": x"), "vesk_motion_create: meta.json: bad s_bridge");
  EXPECT_EQ(withMeta("zeront", "\"nt\": 8", "\"nt\": 0"), "vesk_motion_create: meta.json: bad nt");
  EXPECT_EQ(broken("lastkey", [](const std::string& dir) { vesk::test::writeFile(dir + "/meta.json", "{\"nt\": 8, \"n_src\": 8, \"n_emo\": 4, \"s_bridge\"}"); }),
            "vesk_motion_create: meta.json: bad s_bridge");
  EXPECT_EQ(broken("emo", [](const std::string& dir) { std::filesystem::remove(dir + "/emo.bin"); }),
            "vesk_motion_create: cannot open " + t / "emo" + "/emo.bin");
  EXPECT_EQ(broken("sc", [](const std::string& dir) { vesk::test::writeFile(dir + "/ch_sc.bin", std::string(62 * 4, '\0')); }),
            "vesk_motion_create: " + t / "sc" + "/ch_sc.bin: 62 floats, expected 63");
  EXPECT_EQ(broken("odd", [](const std::string& dir) { vesk::test::writeFile(dir + "/ch_eye_ball.bin", std::string(25, '\0')); }),
            "vesk_motion_create: short read " + t / "odd" + "/ch_eye_ball.bin");
  EXPECT_EQ(broken("tgt", [](const std::string& dir) { vesk::test::writeFile(dir + "/xs_target.bin", std::string(63 * 4 * 7, '\0')); }),
            "vesk_motion_create: " + t / "tgt" + "/xs_target.bin: 441 floats, expected 504");
  EXPECT_EQ(broken("minmax", [](const std::string& dir) {
              std::string mm = vesk::test::readFile(dir + "/v_min_max.bin");
              const float big = 1e9f;
              std::memcpy(mm.data() + 4 * 3, &big, 4);
              vesk::test::writeFile(dir + "/v_min_max.bin", mm);
            }),
            "vesk_motion_create: " + t / "minmax" + "/v_min_max.bin: minimum above maximum at dimension 3");
  EXPECT_EQ(broken("net", [](const std::string& dir) {
              std::filesystem::copy_file(dir + "/stitch.onnx", dir + "/lmdm.onnx", std::filesystem::copy_options::overwrite_existing);
            }),
            "vesk_motion_create: " + t / "net" + "/lmdm.onnx: input 'kp_source' holds 63 values, expected 265");
  // Free dimensions are filled from the contract only where the rank agrees.
  EXPECT_EQ(broken("rank",
                   [](const std::string& dir) {
                     std::filesystem::copy_file(vesk::test::motionModels() + "/fca_dyn/audio_encoder_8s.onnx",
                                                dir + "/hubert_student.onnx",
                                                std::filesystem::copy_options::overwrite_existing);
                   }),
            "vesk_motion_create: " + t / "rank" +
                "/hubert_student.onnx: input 'input_values' declared [?, ?] cannot be fed [1, 80, 21]");
}

TEST(MotionC, AMissingRequiredKeyAndAKeyWithoutColonAreTold) {
  TempDir t;
  const std::string dir = t / "m";
  vesk::test::copyDir(nt8(), dir);
  vesk::test::writeFile(dir + "/meta.json", "{\"nt\": 8, \"n_src\": 8, \"n_emo\": 4}");
  EXPECT_EQ(createError(dir), "vesk_motion_create: meta.json: missing s_bridge");
  vesk::test::writeFile(dir + "/meta.json", "{\"nt\": 8, \"n_src\": 8, \"n_emo\": 4, \"s_bridge\": 0.5}");
  EXPECT_EQ(createError(dir), "created");  // delta_pitch is optional
  vesk::test::writeFile(dir + "/meta.json", "{\"nt\": 8, \"n_src\": 8, \"n_emo\": 4, \"s_bridge\": 0.5, \"delta_pitch\"}");
  EXPECT_EQ(createError(dir), "vesk_motion_create: meta.json: bad delta_pitch");
}

TEST(MotionC, CoreMLFallsBackToTheCpuWhereTheRuntimeLacksIt) {
  testing::internal::CaptureStderr();
  vesk_motion* m = vesk_motion_create(nt8().c_str(), 1, "coreml:ane");
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(m, nullptr) << vesk_motion_last_error();
  EXPECT_NE(err.find("[vesk] vesk_motion: CoreML provider unavailable ("), std::string::npos) << err;
  EXPECT_NE(err.find("); running on the CPU provider\n"), std::string::npos) << err;
  vesk_motion_destroy(m);
}

TEST(MotionC, CallsRefuseBadArgumentsAndPushAfterFinish) {
  vesk_motion* m = vesk_motion_create(nt8().c_str(), 1, nullptr);
  ASSERT_NE(m, nullptr) << vesk_motion_last_error();
  EXPECT_STREQ(vesk_motion_last_error(), "");
  EXPECT_EQ(vesk_motion_nt(m), 8);
  EXPECT_EQ(vesk_motion_nt(nullptr), 0);
  EXPECT_EQ(vesk_motion_total(m), -1);
  EXPECT_EQ(vesk_motion_total(nullptr), -1);

  const std::vector<float> a = vesk::test::voice(640 * 5);
  EXPECT_EQ(vesk_motion_push(m, nullptr, 5), 0);
  EXPECT_STREQ(vesk_motion_last_error(), "vesk_motion_push: bad args / already finished");
  EXPECT_EQ(vesk_motion_push(m, a.data(), -1), 0);
  EXPECT_STREQ(vesk_motion_last_error(), "vesk_motion_push: bad args / already finished");
  EXPECT_EQ(vesk_motion_push(nullptr, a.data(), 5), 0);
  EXPECT_EQ(vesk_motion_push(m, a.data(), 0), 1);
  EXPECT_STREQ(vesk_motion_last_error(), "");
  EXPECT_EQ(vesk_motion_push(m, a.data(), static_cast<int>(a.size())), 1);

  int si[4];
  float xs[4 * 63], xd[4 * 63];
  EXPECT_EQ(vesk_motion_pull(m, nullptr, xs, xd, 4), 0);
  EXPECT_STREQ(vesk_motion_last_error(), "vesk_motion_pull: bad args");
  EXPECT_EQ(vesk_motion_pull(m, si, xs, xd, -1), 0);
  EXPECT_STREQ(vesk_motion_last_error(), "vesk_motion_pull: bad args");
  EXPECT_EQ(vesk_motion_pull(m, si, xs, xd, 0), 0);
  EXPECT_STREQ(vesk_motion_last_error(), "");
  EXPECT_EQ(vesk_motion_avail(m), 0);  // 5 frames are too few for a motion window before finish

  EXPECT_EQ(vesk_motion_finish(m), 1);
  EXPECT_EQ(vesk_motion_total(m), 5);
  EXPECT_EQ(vesk_motion_avail(m), 5);
  EXPECT_EQ(vesk_motion_push(m, a.data(), 1), 0);
  EXPECT_STREQ(vesk_motion_last_error(), "vesk_motion_push: bad args / already finished");
  EXPECT_EQ(vesk_motion_finish(m), 1);  // a second finish changes nothing
  Frames f;
  pullAll(m, f);
  EXPECT_EQ(f.size(), 5u);

  // Errors stay in their family.
  EXPECT_EQ(vesk_motion_push(m, a.data(), 1), 0);
  EXPECT_STREQ(vesk_last_error(), "");
  EXPECT_STREQ(vesk_fca_last_error(), "");

  vesk_motion_reset(m, 2, -1, 0);
  EXPECT_STREQ(vesk_motion_last_error(), "");
  EXPECT_EQ(vesk_motion_total(m), -1);
  EXPECT_EQ(vesk_motion_push(m, a.data(), static_cast<int>(a.size())), 1);
  EXPECT_EQ(vesk_motion_finish(m), 1);
  Frames g;
  pullAll(m, g);
  EXPECT_EQ(g.si, (std::vector<int>{2, 1, 0, 1, 2}));

  vesk_motion_set_eager(m, 4);
  EXPECT_STREQ(vesk_motion_last_error(), "");
  for (auto call : {+[] { return vesk_motion_avail(nullptr); }, +[] { return vesk_motion_finish(nullptr); }}) EXPECT_EQ(call(), 0);
  vesk_motion_reset(nullptr, 0, 1, 1);
  EXPECT_STREQ(vesk_motion_last_error(), "vesk_motion_reset: NULL session");
  vesk_motion_destroy(m);
  vesk_motion_destroy(nullptr);
}

TEST(MotionC, TheEagerCountFollowsTheSetting) {
  Motion m(nt8(), 1, "");
  EXPECT_GE(m.eagerCount(), 1);
  EXPECT_LE(m.eagerCount(), 8);
  m.setEager(5);
  EXPECT_EQ(m.eagerCount(), 5);
  m.setEager(0);
  EXPECT_GE(m.eagerCount(), 1);
  EXPECT_LE(m.eagerCount(), 8);
}

}  // namespace
