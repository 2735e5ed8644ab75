// Streaming with the 8 s frontend (no short-window pair beside the encoder), and the whole-run call.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "audio/a2x_test_util.h"
#include "audio/vesk_a2x.h"

using namespace vesk::test;

namespace {

class W2v8 : public ::testing::Test {
 protected:
  ScopedEnv w2v_{"W2V_ONNX", w2vIn("w2v_only").c_str()};
  ScopedEnv win_{"VESK_A2X_W2V_WIN_ONNX", nullptr};
  ScopedEnv right_{"VESK_A2X_W2V_RIGHT", nullptr};
  ScopedEnv prime_{"VESK_A2X_SILENCE_PRIME", nullptr};
  ScopedEnv cuda_{"VESK_A2X_CUDA", nullptr};
};

void pushChunked(vesk_a2x* a, const std::vector<float>& audio, const std::vector<size_t>& chunks) {
  size_t at = 0, c = 0;
  while (at < audio.size()) {
    const size_t n = std::min(chunks[c++ % chunks.size()], audio.size() - at);
    vesk_a2x_push(a, audio.data() + at, static_cast<int>(n));
    at += n;
  }
}

std::vector<std::vector<size_t>> chunkings(size_t total) {
  std::mt19937 rng(9);
  std::uniform_int_distribution<size_t> size(1, 20000);
  std::vector<size_t> random;
  for (int i = 0; i < 64; ++i) random.push_back(size(rng));
  return {{total}, {1}, {639}, {640}, {5119}, {5120}, random};
}

}  // namespace

TEST_F(W2v8, AllAudioBeforeTheFirstPullIsChunkInvariant) {
  // 10.3 s: three 8 s windows (frames 0..199, 200..299, 300..).
  const std::vector<float> audio = speechLike(164999);
  const size_t frames = (audio.size() + 639) / 640;
  Session s = makeSession(bundleDir());
  ASSERT_FALSE(s->short_window);
  EXPECT_EQ(s->right, 12);

  Pulled finishedRef, liveRef;
  bool first = true;
  for (const auto& ch : chunkings(audio.size())) {
    // Finish before the first pull.
    vesk_a2x_reset(s.get(), 0, 1, 1);
    pushChunked(s.get(), audio, ch);
    vesk_a2x_finish(s.get());
    Pulled fin;
    drain(s.get(), fin, 32);
    // All audio pushed, pulled live, then finished.
    vesk_a2x_reset(s.get(), 0, 1, 1);
    pushChunked(s.get(), audio, ch);
    Pulled live;
    drain(s.get(), live, 32);
    EXPECT_GT(live.frames.size(), 0u);
    vesk_a2x_finish(s.get());
    drain(s.get(), live, 32);
    EXPECT_STREQ(vesk_a2x_last_error(), "");
    EXPECT_EQ(fin.frames.size(), frames);
    EXPECT_EQ(live.frames.size(), frames);
    if (first) {
      finishedRef = fin;
      liveRef = live;
      first = false;
      continue;
    }
    EXPECT_TRUE(bitIdentical(fin, finishedRef)) << "chunk " << ch[0];
    EXPECT_TRUE(bitIdentical(live, liveRef)) << "chunk " << ch[0];
  }
}

TEST_F(W2v8, LiveInterleavingMayChangeValues) {
  // While live, an 8 s window is run on the audio there is, zeros after it, and each frame keeps
  // the value of the first run that delivered it; so pulling between pushes can change values
  // (each window's normalisation and its zero tail differ). This documents the size of the effect;
  // only the frame count is a promise.
  const std::vector<float> audio = speechLike(164999);
  Session s = makeSession(bundleDir());
  const Pulled ref = wholeUtterance(s.get(), audio);
  vesk_a2x_reset(s.get(), 0, 1, 1);
  Pulled live;
  for (size_t at = 0; at < audio.size(); at += 5120) {
    vesk_a2x_push(s.get(), audio.data() + at, static_cast<int>(std::min<size_t>(5120, audio.size() - at)));
    drain(s.get(), live, 32);
  }
  vesk_a2x_finish(s.get());
  drain(s.get(), live, 32);
  ASSERT_EQ(live.frames.size(), ref.frames.size());
  std::printf("8 s frontend, live interleaved vs finished first: max |xd difference| = %g (%s)\n",
              static_cast<double>(maxAbsDiff(live, ref)), bitIdentical(live, ref) ? "identical" : "differs");
  for (const Frame& f : live.frames)
    for (float v : f.xd) ASSERT_TRUE(std::isfinite(v));
}

TEST_F(W2v8, WholeRunAgreesWithStreaming) {
  // 9 s = 225 frames, inside the 400-row positional table, so neither side reuses rows. The
  // features are the same windows computed the same way; the encoder runs bands of 24 frames in the
  // whole-run call and up to 64 when streaming, and the decoder's chain is the same, so any
  // difference can only come from matrix kernels rounding a row differently for another band
  // height. It stays at float rounding level.
  const std::vector<float> audio = speechLike(144000 - 17);
  Session s = makeSession(bundleDir());
  const int n = static_cast<int>(audio.size());
  const int N = (n + 639) / 640;
  std::vector<float> out(static_cast<size_t>(N) * 63, 123.0f);
  EXPECT_EQ(vesk_a2x_deltas(s.get(), audio.data(), n, out.data(), N - 1), -2);
  EXPECT_EQ(out[0], 123.0f);
  EXPECT_EQ(vesk_a2x_deltas(s.get(), audio.data(), 0, out.data(), 0), 0);
  ASSERT_EQ(vesk_a2x_deltas(s.get(), audio.data(), n, out.data(), N), N) << vesk_a2x_last_error();

  const Pulled p = wholeUtterance(s.get(), audio);
  ASSERT_EQ(p.frames.size(), static_cast<size_t>(N));
  float worst = 0.0f;
  for (int t = 0; t < N; ++t)
    for (int k = 0; k < 63; ++k) {
      const float whole = p.frames[static_cast<size_t>(t)].xs[k] + out[static_cast<size_t>(t) * 63 + k];
      worst = std::max(worst, std::fabs(whole - p.frames[static_cast<size_t>(t)].xd[k]));
    }
  std::printf("whole-run vs streamed: max |difference| = %g\n", static_cast<double>(worst));
  EXPECT_LE(worst, 1e-5f);

  // The whole-run call leaves the stream's own state alone.
  vesk_a2x_reset(s.get(), 0, 1, 1);
  vesk_a2x_push(s.get(), audio.data(), 30000);
  ASSERT_EQ(vesk_a2x_deltas(s.get(), audio.data(), n, out.data(), N), N);
  vesk_a2x_push(s.get(), audio.data() + 30000, n - 30000);
  vesk_a2x_finish(s.get());
  Pulled again;
  drain(s.get(), again);
  EXPECT_TRUE(bitIdentical(again, p));
}

TEST_F(W2v8, LiveBlockRuleWithoutEncoderLookAhead) {
  // window 0, default hold-back 12: the first frames appear only after the second block.
  TempDir tmp;
  const std::string b = bundleCopy(tmp, bundleDir(), R"({"h": 32, "window": 0, "left": 4, "layers": 2})");
  Session s = makeSession(b);
  const std::vector<float> audio = speechLike(20000);
  vesk_a2x_push(s.get(), audio.data(), 4480);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  vesk_a2x_push(s.get(), audio.data() + 4480, 1);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  vesk_a2x_push(s.get(), audio.data() + 4481, 9600 - 4481);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  vesk_a2x_push(s.get(), audio.data() + 9600, 1);
  EXPECT_EQ(vesk_a2x_avail(s.get()), 4);
}

TEST_F(W2v8, LiveHoldBackIsTheLargerReachAndUnfilledLookAheadReadsZeros) {
  // Hold-back 12 and an encoder look-ahead of 4: at 16 audio frames frames 0..3 are reachable. The
  // frontend has delivered features 0..3 only; their look-ahead (features 4..7) is read as zeros
  // rather than waiting another block for it.
  Session s = makeSession(bundleDir());
  ASSERT_EQ(s->right_reach, 4);
  const std::vector<float> audio = speechLike(30000);
  vesk_a2x_push(s.get(), audio.data(), 9600);  // 15 audio frames
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  vesk_a2x_push(s.get(), audio.data() + 9600, 1);  // 16 audio frames
  EXPECT_EQ(vesk_a2x_avail(s.get()), 4) << vesk_a2x_last_error();
  EXPECT_EQ(s->feat_done, 4);
  ASSERT_GE(s->feat.size(), 8u * 9216u);
  size_t nonZero = 0;
  for (size_t i = 4u * 9216u; i < 8u * 9216u; ++i) nonZero += s->feat[i] != 0.0f;
  EXPECT_EQ(nonZero, 0u);
  vesk_a2x_push(s.get(), audio.data() + 9601, 14721 - 9601);  // 24 audio frames: frames 0..11
  EXPECT_EQ(vesk_a2x_avail(s.get()), 12);
  // The zeros were a stand-in only: the features that later arrive are the frontend's own.
  nonZero = 0;
  for (size_t i = 4u * 9216u; i < 8u * 9216u; ++i) nonZero += s->feat[i] != 0.0f;
  EXPECT_GT(nonZero, 0u);
}

TEST_F(W2v8, WidthOutputIsServedFromTheGraph) {
  const std::string wnBundle = modelsDir() + "/bundle_wn";
  ::testing::internal::CaptureStderr();
  Session s = makeSession(wnBundle);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[vesk_a2x] WARNING: a2x_meta width=0 but the encoder declares 2 output(s) \xe2\x80\x94 serving "
                     "the GRAPH (width=1). Repackage this bundle.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(vesk_a2x_width(s.get()), 1);

  const std::vector<float> audio = speechLike(640 * 50 + 9);
  const int n = static_cast<int>(audio.size());
  const int N = 51;
  std::vector<float> out(63u * N), wn(N, -7.0f);
  ASSERT_EQ(vesk_a2x_deltas_wn(s.get(), audio.data(), n, out.data(), wn.data(), N), N);
  vesk_a2x_push(s.get(), audio.data(), n);
  vesk_a2x_finish(s.get());
  Pulled p;
  drain(s.get(), p, 32, true);
  ASSERT_EQ(p.frames.size(), static_cast<size_t>(N));
  bool nonZero = false;
  for (int t = 0; t < N; ++t) {
    EXPECT_NEAR(p.frames[static_cast<size_t>(t)].wn, wn[static_cast<size_t>(t)], 1e-5f) << t;
    nonZero |= wn[static_cast<size_t>(t)] != 0.0f;
  }
  EXPECT_TRUE(nonZero);

  // A meta that states the width agrees with the graph: no warning.
  TempDir tmp;
  const std::string b = bundleCopy(tmp, wnBundle, R"({"h": 32, "window": 2, "left": 4, "layers": 2, "width": true})");
  ::testing::internal::CaptureStderr();
  Session quiet = makeSession(b);
  EXPECT_EQ(::testing::internal::GetCapturedStderr().find("WARNING"), std::string::npos);
}

TEST_F(W2v8, WidthRefusedWithoutTheOutput) {
  Session s = makeSession(bundleDir());
  EXPECT_EQ(vesk_a2x_width(s.get()), 0);
  std::vector<float> audio(6400, 0.1f), out(630), wn(10);
  EXPECT_EQ(vesk_a2x_deltas_wn(s.get(), audio.data(), 6400, out.data(), wn.data(), 10), -3);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x_deltas_wn: encoder declares no wn output");
  // pull_wn gives zeros where the encoder has no width output.
  vesk_a2x_push(s.get(), audio.data(), 6400);
  vesk_a2x_finish(s.get());
  Pulled p;
  drain(s.get(), p, 4, true);
  ASSERT_EQ(p.frames.size(), 10u);
  for (const Frame& f : p.frames) EXPECT_EQ(f.wn, 0.0f);
}

TEST_F(W2v8, ShortPositionalTableIsReusedCyclically) {
  // 40 rows: frames 40.. take rows 20 + ((i - 40) mod 20); streaming and whole-run agree past the
  // table's end (the stream caps its first bands at the table, so frames near row 40 may differ).
  TempDir tmp;
  const std::string b = bundleCopy(tmp, bundleDir());
  std::vector<float> pos(40 * 32);
  std::FILE* f = std::fopen((bundleDir() + "/a2x_pos.f32").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fread(pos.data(), sizeof(float), pos.size(), f), pos.size());
  std::fclose(f);
  writeFile(b + "/a2x_pos.f32", std::string(reinterpret_cast<const char*>(pos.data()), pos.size() * sizeof(float)));
  Session s = makeSession(b);
  const std::vector<float> audio = speechLike(640 * 120);
  std::vector<float> out(63u * 120);
  ASSERT_EQ(vesk_a2x_deltas(s.get(), audio.data(), 640 * 120, out.data(), 120), 120);
  const Pulled p = wholeUtterance(s.get(), audio);
  ASSERT_EQ(p.frames.size(), 120u);
  float late = 0.0f;
  for (size_t t = 60; t < 120; ++t)
    for (int k = 0; k < 63; ++k) late = std::max(late, std::fabs(p.frames[t].xs[k] + out[t * 63 + k] - p.frames[t].xd[k]));
  EXPECT_LE(late, 1e-5f);
}
