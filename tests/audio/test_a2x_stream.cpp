// Streaming with the short-window frontend: push-size invariance, the live block rules, trimming
// over long utterances, target-row walks and the meaning of the output (the voice opens the mouth).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "audio/a2x_test_util.h"
#include "audio/vesk_a2x.h"
#include "audio/vesk_a2x_frontend.h"

using namespace vesk::test;

namespace {

class ShortWindow : public ::testing::Test {
 protected:
  ScopedEnv w2v_{"W2V_ONNX", w2vIn("w2v_pair").c_str()};
  ScopedEnv right_{"VESK_A2X_W2V_RIGHT", nullptr};
  ScopedEnv prime_{"VESK_A2X_SILENCE_PRIME", nullptr};
  ScopedEnv cuda_{"VESK_A2X_CUDA", nullptr};
};

// Pushes audio in the given chunk sizes (cycled), pulling a varying number of frames after every
// push while live, then finishes and drains.
Pulled chunked(vesk_a2x* a, const std::vector<float>& audio, const std::vector<size_t>& chunks, unsigned pullSeed) {
  std::mt19937 rng(pullSeed);
  std::uniform_int_distribution<int> pullMax(0, 13);
  Pulled p;
  size_t at = 0, c = 0;
  while (at < audio.size()) {
    const size_t n = std::min(chunks[c++ % chunks.size()], audio.size() - at);
    EXPECT_EQ(vesk_a2x_push(a, audio.data() + at, static_cast<int>(n)), 1);
    at += n;
    if (pullSeed != 0) {
      const int m = pullMax(rng);
      if (m == 0) vesk_a2x_avail(a);
      else pullInto(a, p, m);
    }
  }
  vesk_a2x_finish(a);
  drain(a, p, 7);
  return p;
}

}  // namespace

TEST_F(ShortWindow, PulledFramesDoNotDependOnChunkingOrPulls) {
  const std::vector<float> audio = speechLike(97777);
  const size_t frames = (audio.size() + 639) / 640;
  Session ref = makeSession(bundleDir());
  ASSERT_TRUE(ref->short_window);
  const Pulled whole = wholeUtterance(ref.get(), audio);
  ASSERT_EQ(whole.frames.size(), frames);
  EXPECT_STREQ(vesk_a2x_last_error(), "");

  std::mt19937 rng(3);
  std::uniform_int_distribution<size_t> size(1, 9000);
  std::vector<size_t> random;
  for (int i = 0; i < 64; ++i) random.push_back(size(rng));
  const std::vector<std::vector<size_t>> chunkings = {{audio.size()}, {1}, {639}, {640}, {5119}, {5120}, random};

  Session s = makeSession(bundleDir());
  unsigned seed = 1;
  for (const auto& ch : chunkings) {
    for (const unsigned pullSeed : {0u, seed++}) {
      vesk_a2x_reset(s.get(), 0, 1, 1);
      const Pulled p = chunked(s.get(), audio, ch, pullSeed);
      EXPECT_EQ(p.frames.size(), frames) << "chunk " << ch[0];
      EXPECT_TRUE(bitIdentical(p, whole)) << "chunk " << ch[0] << " pulls " << pullSeed << " max diff "
                                          << maxAbsDiff(p, whole);
      EXPECT_EQ(vesk_a2x_total(s.get()), static_cast<int>(frames));
    }
  }
}

TEST_F(ShortWindow, FrameCountAfterFinishIsCeilOfSamples) {
  Session s = makeSession(bundleDir());
  for (const size_t n : {size_t{1}, size_t{639}, size_t{640}, size_t{641}, size_t{5120}, size_t{33333}}) {
    vesk_a2x_reset(s.get(), 0, 1, 1);
    EXPECT_EQ(vesk_a2x_total(s.get()), -1);
    const Pulled p = wholeUtterance(s.get(), speechLike(n));
    EXPECT_EQ(p.frames.size(), (n + 639) / 640);
    EXPECT_EQ(vesk_a2x_total(s.get()), static_cast<int>((n + 639) / 640));
  }
  vesk_a2x_reset(s.get(), 0, 1, 1);
  vesk_a2x_finish(s.get());
  EXPECT_EQ(vesk_a2x_total(s.get()), 0);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
}

TEST_F(ShortWindow, LiveOutputWaitsForWholeBlocksAndTheHoldBack) {
  // Hold-back 12 + 8 frames and an encoder look-ahead of 4: the third block's first sample makes
  // 24 audio frames, so 4 frames.
  Session s = makeSession(bundleDir());
  EXPECT_EQ(s->right, 20);
  const std::vector<float> audio = speechLike(40000);
  auto pushTo = [&](size_t n) {
    const size_t have = static_cast<size_t>(s->dropped) + s->samples.size();
    vesk_a2x_push(s.get(), audio.data() + have, static_cast<int>(n - have));
  };
  pushTo(4480);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  pushTo(4481);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  pushTo(14720);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  pushTo(14721);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 4);
  EXPECT_EQ(s->feat_done, 8);  // exactly one block of features, computed once
  pushTo(19840);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 4);
  pushTo(19841);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 12);
  EXPECT_EQ(vesk_a2x_total(s.get()), -1);
  vesk_a2x_finish(s.get());
  Pulled p;
  drain(s.get(), p);
  EXPECT_EQ(p.frames.size(), 32u);  // ceil(19841 / 640)
}

TEST_F(ShortWindow, LiveBlockRuleWithoutEncoderLookAhead) {
  // window 0: only the frontend's hold-back counts; with VESK_A2X_W2V_RIGHT=0 that is 8 frames.
  ScopedEnv right("VESK_A2X_W2V_RIGHT", "0");
  TempDir tmp;
  const std::string b = bundleCopy(tmp, bundleDir(), R"({"h": 32, "window": 0, "left": 4, "layers": 2})");
  Session s = makeSession(b);
  EXPECT_EQ(s->right, 8);
  const std::vector<float> audio = speechLike(20000);
  vesk_a2x_push(s.get(), audio.data(), 4480);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  vesk_a2x_push(s.get(), audio.data() + 4480, 1);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);  // 8 audio frames, all held back
  vesk_a2x_push(s.get(), audio.data() + 4481, 9601 - 4481);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 8);
}

TEST_F(ShortWindow, LongUtteranceIsTrimmedWithoutReadingBehind) {
  // 64 s: every retained buffer is trimmed many times, and the positional table (400 rows) is
  // reused cyclically past its end.
  const std::vector<float> audio = speechLike(64 * 16000 + 123, 11);
  Session s = makeSession(bundleDir());
  Pulled live;
  int audioTrims = 0, featTrims = 0, encTrims = 0, deltaTrims = 0;
  size_t maxSamples = 0, maxFeat = 0, maxEnc = 0, maxDeltas = 0;
  for (size_t at = 0; at < audio.size(); at += 3000) {
    const int n = static_cast<int>(std::min<size_t>(3000, audio.size() - at));
    vesk_a2x_push(s.get(), audio.data() + at, n);
    const int64_t d0 = s->dropped;
    const int32_t f0 = s->feat_base, e0 = s->enc_base, g0 = s->delta_base;
    pullInto(s.get(), live, 32);
    ASSERT_STREQ(vesk_a2x_last_error(), "");
    audioTrims += s->dropped != d0;
    featTrims += s->feat_base != f0;
    encTrims += s->enc_base != e0;
    deltaTrims += s->delta_base != g0;
    maxSamples = std::max(maxSamples, s->samples.size());
    maxFeat = std::max(maxFeat, s->feat.size() / 9216);
    maxEnc = std::max(maxEnc, s->enc_rows.size() / 32);
    maxDeltas = std::max(maxDeltas, s->deltas.size() / 63);
  }
  vesk_a2x_finish(s.get());
  drain(s.get(), live);
  EXPECT_STREQ(vesk_a2x_last_error(), "");
  EXPECT_EQ(live.frames.size(), (audio.size() + 639) / 640);
  EXPECT_GE(audioTrims, 5);
  EXPECT_GE(featTrims, 5);
  EXPECT_GE(encTrims, 5);
  EXPECT_GE(deltaTrims, 5);
  // Bounded by a trim step plus what one push and the look-ahead add.
  EXPECT_LT(maxSamples, 81920u + 32000u + 20u * 640u + 2u * 5120u + 3000u);
  EXPECT_LT(maxFeat, 128u + 64u);
  EXPECT_LT(maxEnc, 128u + 64u);
  EXPECT_LT(maxDeltas, 128u + 64u);

  Session ref = makeSession(bundleDir());
  EXPECT_TRUE(bitIdentical(wholeUtterance(ref.get(), audio), live));
}

TEST_F(ShortWindow, TargetRowWalks) {
  Session s = makeSession(bundleDir());
  ASSERT_EQ(vesk_a2x_nt(s.get()), 50);
  const std::vector<float> audio = speechLike(640 * 60);
  auto indices = [&](int start, int dir, int wrap) {
    EXPECT_EQ(vesk_a2x_reset(s.get(), start, dir, wrap), dir < 0 ? -1 : 1);
    std::vector<int> si;
    for (const Frame& f : wholeUtterance(s.get(), audio).frames) si.push_back(f.si);
    return si;
  };
  const std::vector<int> wrapDown = indices(2, -5, 1);
  ASSERT_EQ(wrapDown.size(), 60u);
  EXPECT_EQ((std::vector<int>(wrapDown.begin(), wrapDown.begin() + 4)), (std::vector<int>{2, 1, 0, 49}));
  const std::vector<int> bounce = indices(47, 1, 0);
  EXPECT_EQ((std::vector<int>(bounce.begin(), bounce.begin() + 6)), (std::vector<int>{47, 48, 49, 48, 47, 46}));
  // The target values are the rows of xs_target.bin.
  const Pulled p = wholeUtterance((vesk_a2x_reset(s.get(), 3, 1, 1), s.get()), audio);
  for (const Frame& f : p.frames)
    EXPECT_EQ(std::memcmp(f.xs.data(), s->xs_target.data() + 63 * f.si, 63 * sizeof(float)), 0);

  // A negative start continues the walk: after 60 frames from 47 bouncing, the 61st index.
  vesk_a2x_reset(s.get(), 47, 1, 0);
  wholeUtterance(s.get(), audio);
  vesk_a2x_reset(s.get(), -1, 1, 0);
  const std::vector<int> next = [&] {
    std::vector<int> si;
    for (const Frame& f : wholeUtterance(s.get(), speechLike(640 * 3)).frames) si.push_back(f.si);
    return si;
  }();
  EXPECT_EQ(next, (std::vector<int>{vesk::a2x::walkIndex(47, 60, 1, 0, 50), vesk::a2x::walkIndex(47, 61, 1, 0, 50),
                                    vesk::a2x::walkIndex(47, 62, 1, 0, 50)}));
  EXPECT_EQ(next[0], 9);  // 47, 48, 49, 48 ... 0 (k = 51), 1 ... 9 (k = 60)
}

TEST(Walk, WrapAndBounceIndices) {
  using vesk::a2x::walkIndex;
  for (int k = 0; k < 10; ++k) EXPECT_EQ(walkIndex(5, k, 1, 0, 1), 0);
  const int bounce[] = {0, 1, 2, 1, 0, 1, 2, 1};
  const int wrap[] = {0, 1, 2, 0, 1, 2, 0, 1};
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(walkIndex(0, k, 1, 0, 3), bounce[k]);
    EXPECT_EQ(walkIndex(0, k, 1, 1, 3), wrap[k]);
  }
  EXPECT_EQ(walkIndex(0, 1, -1, 1, 3), 2);
  EXPECT_EQ(walkIndex(0, 1, -1, 0, 3), 1);
  EXPECT_EQ(walkIndex(2000000000, 2000000000, 1, 1, 7), static_cast<int>(4000000000ll % 7));
}

TEST_F(ShortWindow, TheVoiceOpensTheMouth) {
  // 2 s of silence, 2 s of speech, 2 s of silence: the lips (rows 17 and 19) part during speech.
  std::vector<float> audio(16000 * 6, 0.0f);
  const std::vector<float> voice = speechLike(16000 * 2, 5);
  std::mt19937 rng(1);
  std::normal_distribution<float> floor(0.0f, 0.002f);
  for (float& v : audio) v = floor(rng);
  for (size_t i = 0; i < voice.size(); ++i) audio[32000 + i] = voice[i] * 3.0f + floor(rng);
  Session s = makeSession(bundleDir());
  const Pulled p = wholeUtterance(s.get(), audio);
  ASSERT_EQ(p.frames.size(), 150u);
  auto opening = [&](size_t from, size_t to) {
    double sum = 0.0;
    for (size_t i = from; i < to; ++i) {
      const Frame& f = p.frames[i];
      sum += (f.xd[19 * 3 + 1] - f.xd[17 * 3 + 1]) - (f.xs[19 * 3 + 1] - f.xs[17 * 3 + 1]);
    }
    return sum / static_cast<double>(to - from);
  };
  const double quiet = opening(10, 45), speaking = opening(55, 95), after = opening(115, 145);
  EXPECT_GT(speaking, quiet + 0.05) << quiet << " " << speaking;
  EXPECT_GT(speaking, after + 0.05) << after << " " << speaking;
}

TEST_F(ShortWindow, SilencePrimeSetsTheStartingState) {
  const std::vector<float> audio = speechLike(640 * 40);
  Session plain = makeSession(bundleDir());
  const Pulled a = wholeUtterance(plain.get(), audio);

  ScopedEnv prime("VESK_A2X_SILENCE_PRIME", "20");
  ::testing::internal::CaptureStderr();
  Session primed = makeSession(bundleDir());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[vesk_a2x] silence-primed AR state cached (20 frames)\n"), std::string::npos) << err;
  ASSERT_EQ(primed->primed_prev.size(), 63u);
  ASSERT_EQ(primed->primed_h.size(), 32u);
  const Pulled b = wholeUtterance(primed.get(), audio);
  EXPECT_GT(maxAbsDiff(a, b), 0.0f);
  // Every reset starts from the primed state again.
  vesk_a2x_reset(primed.get(), 0, 1, 1);
  EXPECT_TRUE(bitIdentical(wholeUtterance(primed.get(), audio), b));
}

TEST_F(ShortWindow, SilencePrimeIsCappedAt200Frames) {
  ScopedEnv prime("VESK_A2X_SILENCE_PRIME", "500");
  ::testing::internal::CaptureStderr();
  Session s = makeSession(bundleDir());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[vesk_a2x] silence-primed AR state cached (200 frames)\n"), std::string::npos) << err;
}

TEST_F(ShortWindow, DecoderOutputsInAnyLayoutOfTheirValues) {
  // The same decoder with "m" declared [63] and "h_out" [b, h] (a free dimension): the same frames,
  // streamed and whole-run.
  Session ref = makeSession(bundleDir());
  Session other = makeSession(modelsDir() + "/bundle_dec_layout");
  ASSERT_NE(other, nullptr);
  const std::vector<float> audio = speechLike(640 * 60 + 17);
  const Pulled a = wholeUtterance(ref.get(), audio);
  const Pulled b = wholeUtterance(other.get(), audio);
  EXPECT_STREQ(vesk_a2x_last_error(), "");
  ASSERT_EQ(b.frames.size(), 61u);
  EXPECT_TRUE(bitIdentical(a, b));
  std::vector<float> outA(63u * 61), outB(63u * 61);
  ASSERT_EQ(vesk_a2x_deltas(ref.get(), audio.data(), static_cast<int>(audio.size()), outA.data(), 61), 61);
  ASSERT_EQ(vesk_a2x_deltas(other.get(), audio.data(), static_cast<int>(audio.size()), outB.data(), 61), 61);
  EXPECT_EQ(outA, outB);
}

TEST_F(ShortWindow, DecodingAllocatesNoNewTensorsPerFrame) {
  // The decoder's tensors stay bound to the same buffers through resets and whole-run calls.
  Session s = makeSession(bundleDir());
  const float* prev = s->prev.data();
  const float* hs = s->hstate.data();
  wholeUtterance(s.get(), speechLike(640 * 20));
  vesk_a2x_reset(s.get(), 0, 1, 1);
  EXPECT_EQ(s->prev.data(), prev);
  EXPECT_EQ(s->hstate.data(), hs);
}

TEST(FeatureRounding, VectorAndScalarAgreeAndFlushBelowTheSmallestNormal) {
  std::vector<float> v = {0.0f, -0.0f, 1.0f, -1.0f, 65504.0f, 65520.0f, -70000.0f, 6.103515625e-05f,
                          6.1035e-05f, -6.1035e-05f, 6.1e-05f, 3e-08f, -3e-08f, 1.00048828125f, 1.000732421875f,
                          0.333333f, std::numeric_limits<float>::infinity()};
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-8.0f, 8.0f);
  for (int i = 0; i < 5000; ++i) v.push_back(u(rng) * std::pow(10.0f, static_cast<float>(i % 9 - 6)));
  std::vector<float> bulk(v.size());
  vesk::roundFeatures(v.data(), bulk.data(), v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    const float s = vesk::roundFeature(v[i]);
    EXPECT_EQ(std::memcmp(&s, &bulk[i], sizeof s), 0) << v[i];
  }
  EXPECT_EQ(vesk::roundFeature(6.1035e-05f), 0.0f);  // just below 2^-14: zero, though it rounds up to it
  EXPECT_TRUE(std::signbit(vesk::roundFeature(-3e-08f)));
  EXPECT_EQ(vesk::roundFeature(6.103515625e-05f), 6.103515625e-05f);
  EXPECT_EQ(vesk::roundFeature(65520.0f), std::numeric_limits<float>::infinity());
  EXPECT_EQ(vesk::roundFeature(1.00048828125f), 1.0f);  // ties go to even
  EXPECT_EQ(vesk::roundFeature(1.00146484375f), 1.001953125f);
}

TEST(FeatureRounding, WindowNormalisation) {
  std::vector<float> w(32000);
  for (size_t i = 0; i < w.size(); ++i) w[i] = 3.0f + 0.5f * std::sin(0.01f * static_cast<float>(i));
  vesk::normaliseWindow(w.data(), w.size());
  double mean = 0.0, var = 0.0;
  for (float x : w) mean += x;
  mean /= static_cast<double>(w.size());
  for (float x : w) var += (x - mean) * (x - mean);
  var /= static_cast<double>(w.size());
  EXPECT_NEAR(mean, 0.0, 1e-5);
  EXPECT_NEAR(var, 1.0, 1e-4);
  std::vector<float> flat(1000, 0.25f);
  vesk::normaliseWindow(flat.data(), flat.size());
  for (float x : flat) EXPECT_EQ(x, 0.0f);
}
