// The audio models a generated identity carries (vesk_bundlegen.py --audio): where they lie, and that
// each of them - streaming a2x, whole-run fca, motion - keeps this face's mouth closed in silence and
// opens it with the voice, on the identity's own target rows, far enough to see in the render.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "generated_bundles.h"
#include "test_speech.h"
#include "vesk/vesk.h"
#include "vesk/vesk_a2x.h"

namespace {

using vesk::test::bundleDir;
using vesk::test::readArray;
using vesk::test::readFile;
using vesk::test::syllables;

constexpr int kKp = 63;
constexpr int kLowerLipY = 12 * 3 + 1;  // lower lip, inner edge
constexpr int kUpperLipY = 6 * 3 + 1;   // upper lip, inner edge

struct Frames {
  std::vector<int> si;
  std::vector<float> xs, xd;
  size_t size() const { return si.size(); }
  float drop(size_t t, int k) const { return xd[t * kKp + static_cast<size_t>(k)] - xs[t * kKp + static_cast<size_t>(k)]; }
  double meanDrop(size_t from, size_t to, int k) const {
    double s = 0.0;
    for (size_t t = from; t < to; ++t) s += drop(t, k);
    return s / static_cast<double>(to - from);
  }
  float maxAbsOffset() const {
    float m = 0.0f;
    for (size_t i = 0; i < xd.size(); ++i) m = std::max(m, std::fabs(xd[i] - xs[i]));
    return m;
  }
};

using A2x = std::unique_ptr<vesk_a2x, decltype(&vesk_a2x_destroy)>;

// The utterance pushed in 1000-sample chunks, pulling as it goes, then finished and drained.
Frames streamed(vesk_a2x* a, const std::vector<float>& audio) {
  vesk_a2x_reset(a, 0, 1, 1);
  Frames f;
  std::vector<int> si(32);
  std::vector<float> xs(32 * kKp), xd(32 * kKp);
  auto drain = [&] {
    for (int n; (n = vesk_a2x_pull(a, si.data(), xs.data(), xd.data(), 32)) > 0;) {
      f.si.insert(f.si.end(), si.begin(), si.begin() + n);
      f.xs.insert(f.xs.end(), xs.begin(), xs.begin() + n * kKp);
      f.xd.insert(f.xd.end(), xd.begin(), xd.begin() + n * kKp);
    }
  };
  for (size_t i = 0; i < audio.size(); i += 1000) {
    vesk_a2x_push(a, audio.data() + i, static_cast<int>(std::min<size_t>(1000, audio.size() - i)));
    drain();
  }
  vesk_a2x_finish(a);
  drain();
  return f;
}

// 2 s of noise floor, 2 s of syllables, 2 s of noise floor.
std::vector<float> quietLoudQuiet() {
  std::vector<float> a(16000 * 6);
  std::mt19937 rng(1);
  std::normal_distribution<float> floor(0.0f, 0.002f);
  for (float& v : a) v = floor(rng);
  const std::vector<float> voice = syllables(32000, 5);
  for (size_t i = 0; i < voice.size(); ++i) a[32000 + i] += voice[i];
  return a;
}

std::vector<float> targets(const std::string& dir) { return readArray<float>(dir + "/xs_target.bin"); }

class IdentityA2x : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::internal::CaptureStderr();
    a_.reset(vesk_a2x_create(dir_.c_str(), 1));
    testing::internal::GetCapturedStderr();
    ASSERT_NE(a_, nullptr) << vesk_a2x_last_error();
  }
  const std::string dir_ = bundleDir("small");
  vesk::test::ScopedEnv w2v_{"W2V_ONNX", (dir_ + "/w2v.onnx").c_str()};
  A2x a_{nullptr, &vesk_a2x_destroy};
};

}  // namespace

TEST(IdentityAudio, EveryMemberLiesWhereTheHostsLookAndSharesTheTargetRows) {
  const std::string b = bundleDir("small");
  for (const char* m : {"a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "a2x_enc_stream.onnx", "a2x_dec.onnx", "w2v.onnx",
                        "audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx", "fca_stream.onnx",
                        "audio_encoder_8s.onnx", "model_render.onnx", "motion/meta.json", "motion/hubert_student.onnx",
                        "motion/lmdm.onnx", "motion/stitch.onnx", "motion/src_xs_info.bin", "motion/xs_target.bin"})
    EXPECT_TRUE(std::filesystem::is_regular_file(b + "/" + m)) << m;
  EXPECT_EQ(readFile(b + "/motion/xs_target.bin"), readFile(b + "/xs_target.bin"));
  EXPECT_EQ(targets(b).size(), 8u * kKp);
  const std::string meta = readFile(b + "/motion/meta.json");
  EXPECT_NE(meta.find("\"nt\": 8"), std::string::npos) << meta;
  EXPECT_NE(meta.find("\"n_src\": 8"), std::string::npos) << meta;
  EXPECT_NE(readFile(b + "/manifest.json").find("\"model_render.onnx\""), std::string::npos);
}

TEST_F(IdentityA2x, DigitalSilenceLeavesTheTargetRowsAlone) {
  EXPECT_EQ(vesk_a2x_nt(a_.get()), 8);
  const Frames f = streamed(a_.get(), std::vector<float>(16000 * 3, 0.0f));
  ASSERT_EQ(f.size(), 75u);
  EXPECT_LT(f.maxAbsOffset(), 1e-3f);
  const std::vector<float> xs = targets(dir_);
  for (size_t t = 0; t < f.size(); ++t) {
    ASSERT_EQ(f.si[t], static_cast<int>(t % 8));
    ASSERT_EQ(std::memcmp(&f.xs[t * kKp], &xs[static_cast<size_t>(f.si[t]) * kKp], kKp * sizeof(float)), 0);
  }
}

TEST_F(IdentityA2x, TheVoiceDropsTheLowerLipAndLiftsTheUpperOne) {
  const Frames f = streamed(a_.get(), quietLoudQuiet());
  ASSERT_EQ(f.size(), 150u);
  const double before = f.meanDrop(10, 45, kLowerLipY), speaking = f.meanDrop(55, 95, kLowerLipY),
               after = f.meanDrop(115, 145, kLowerLipY);
  EXPECT_LT(std::fabs(before), 0.004) << before;
  EXPECT_LT(std::fabs(after), 0.004) << after;
  EXPECT_GT(speaking, 0.015) << speaking;
  float widest = 0.0f;
  for (size_t t = 55; t < 95; ++t) widest = std::max(widest, f.drop(t, kLowerLipY));
  EXPECT_GT(widest, 0.05f);  // a loud syllable opens it fully (0.067 at this crop)
  EXPECT_LT(widest, 0.08f);
  EXPECT_LT(f.meanDrop(55, 95, kUpperLipY), -0.002);

  // The whole-run call reads the same mouth.
  const std::vector<float> audio = quietLoudQuiet();
  std::vector<float> d(150 * kKp);
  ASSERT_EQ(vesk_a2x_deltas(a_.get(), audio.data(), static_cast<int>(audio.size()), d.data(), 150), 150);
  double whole = 0.0;
  for (size_t t = 55; t < 95; ++t) whole += d[t * kKp + kLowerLipY];
  EXPECT_NEAR(whole / 40.0, speaking, 0.01);
}

TEST_F(IdentityA2x, TheOpenedMouthRendersOpenAndTheRestOfTheFaceStays) {
  const Frames f = streamed(a_.get(), quietLoudQuiet());
  size_t loud = 55;
  for (size_t t = 55; t < 95; ++t)
    if (f.drop(t, kLowerLipY) > f.drop(loud, kLowerLipY)) loud = t;
  const int si = f.si[loud];
  const float* xs = &f.xs[loud * kKp];
  testing::internal::CaptureStderr();
  vesk_ctx* ctx = vesk_create(dir_.c_str(), "b1", 1, "");
  ASSERT_NE(ctx, nullptr) << vesk_last_error();
  const int c = vesk_crop(ctx);
  const size_t plane = static_cast<size_t>(c) * c;
  const float* r = vesk_render_kp_crop(ctx, si, xs, xs);
  ASSERT_NE(r, nullptr) << vesk_last_error();
  const std::vector<float> closed(r, r + 3 * plane);
  r = vesk_render_kp_crop(ctx, si, xs, &f.xd[loud * kKp]);
  ASSERT_NE(r, nullptr) << vesk_last_error();
  const std::vector<float> open(r, r + 3 * plane);
  vesk_destroy(ctx);
  testing::internal::GetCapturedStderr();

  auto pix = [&](float k) { return static_cast<int>(std::lround((k + 1.0f) * 0.5f * static_cast<float>(c - 1))); };
  // The mouth box: lip corners across, upper lip top down to the chin. Dark pixels are the mouth's
  // interior.
  auto dark = [&](const std::vector<float>& img) {
    int n = 0;
    for (int y = pix(xs[18 * 3 + 1]); y <= pix(xs[13 * 3 + 1]); ++y)
      for (int x = pix(xs[17 * 3]); x <= pix(xs[19 * 3]); ++x) {
        const size_t i = static_cast<size_t>(y) * c + x;
        n += img[i] + img[plane + i] + img[2 * plane + i] < 0.6f;
      }
    return n;
  };
  EXPECT_GT(dark(open), dark(closed) * 3 / 2) << dark(closed) << " -> " << dark(open);
  // Above the nose nothing moves.
  double eyes = 0.0;
  const int top = pix(xs[9 * 3 + 1]);
  for (size_t ch = 0; ch < 3; ++ch)
    for (int y = 0; y < top; ++y)
      for (int x = 0; x < c; ++x) {
        const size_t i = ch * plane + static_cast<size_t>(y) * c + x;
        eyes = std::max(eyes, static_cast<double>(std::fabs(open[i] - closed[i])));
      }
  EXPECT_LT(eyes, 0.02);
}

TEST(IdentityAudio, FcaOpensTheMouthWithTheVoiceAndClosesItAfter) {
  const std::string b = bundleDir("small");
  vesk_fca* f = vesk_fca_create((b + "/audio_encoder_8s.onnx").c_str(), (b + "/fca_stream.onnx").c_str(), 1);
  ASSERT_NE(f, nullptr) << vesk_fca_last_error();
  // Voice first, then silence: the opening is relative to the utterance's voiced level.
  std::vector<float> a = syllables(16000 * 2, 8);
  a.resize(16000 * 4, 0.0f);
  std::vector<float> d(100 * kKp);
  ASSERT_EQ(vesk_fca_deltas(f, a.data(), static_cast<int>(a.size()), d.data(), 100), 100);
  vesk_fca_destroy(f);
  double voiced = 0.0, silent = 0.0;
  for (size_t t = 5; t < 45; ++t) voiced = std::max(voiced, static_cast<double>(d[t * kKp + kLowerLipY]));
  for (size_t t = 60; t < 100; ++t) silent = std::max(silent, static_cast<double>(std::fabs(d[t * kKp + kLowerLipY])));
  EXPECT_GT(voiced, 0.05);
  EXPECT_LT(silent, 0.01);
}

TEST(IdentityAudio, MotionDrivesTheIdentitysOwnRows) {
  const std::string b = bundleDir("small");
  testing::internal::CaptureStderr();
  vesk_motion* m = vesk_motion_create((b + "/motion").c_str(), 1, "");
  testing::internal::GetCapturedStderr();
  ASSERT_NE(m, nullptr) << vesk_motion_last_error();
  EXPECT_EQ(vesk_motion_nt(m), 8);
  const std::vector<float> a = quietLoudQuiet();
  ASSERT_EQ(vesk_motion_push(m, a.data(), static_cast<int>(a.size())), 1);
  vesk_motion_finish(m);
  Frames f;
  f.si.resize(150);
  f.xs.resize(150 * kKp);
  f.xd.resize(150 * kKp);
  ASSERT_EQ(vesk_motion_pull(m, f.si.data(), f.xs.data(), f.xd.data(), 150), 150) << vesk_motion_last_error();
  vesk_motion_destroy(m);
  const std::vector<float> xs = targets(b);
  for (size_t t = 0; t < f.size(); ++t)
    ASSERT_EQ(std::memcmp(&f.xs[t * kKp], &xs[static_cast<size_t>(f.si[t]) * kKp], kKp * sizeof(float)), 0) << t;
  EXPECT_GT(f.meanDrop(55, 95, kLowerLipY), f.meanDrop(10, 45, kLowerLipY) + 0.015);
  EXPECT_GT(f.meanDrop(55, 95, kLowerLipY), f.meanDrop(115, 145, kLowerLipY) + 0.015);
}
