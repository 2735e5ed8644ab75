// Whole-run fca deltas on the generated encoder and fca_stream model: frame counts, the capacity
// refusal, which encoder window each frame's feature comes from, the voiced mean against a direct
// reference, lips that follow the voice, and the refusals of the C calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio/vesk_fca.h"
#include "motion_test_util.h"
#include "vesk/vesk_a2x.h"

namespace {

using vesk::Fca;

std::string dir() { return vesk::test::motionModels() + "/fca"; }
std::string encoder() { return dir() + "/audio_encoder_8s.onnx"; }
std::string stream() { return dir() + "/fca_stream.onnx"; }

class FcaRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fca = new Fca(encoder(), stream(), 1); }
  static void TearDownTestSuite() {
    delete fca;
    fca = nullptr;
  }
  static Fca* fca;
};
Fca* FcaRun::fca = nullptr;

TEST_F(FcaRun, FramesAreCeilOfSamplesOver640) {
  EXPECT_EQ(Fca::framesFor(0), 0);
  EXPECT_EQ(Fca::framesFor(-3), 0);
  EXPECT_EQ(Fca::framesFor(1), 1);
  EXPECT_EQ(Fca::framesFor(640), 1);
  EXPECT_EQ(Fca::framesFor(641), 2);
  const std::vector<float> a = vesk::test::voice(641);
  std::vector<float> out(3 * 63, -7.0f);
  EXPECT_EQ(fca->deltas(a.data(), 640, out.data(), 3), 1);
  EXPECT_EQ(fca->deltas(a.data(), 641, out.data(), 3), 2);
  EXPECT_EQ(out[2 * 63], -7.0f);  // nothing past the frames
  EXPECT_EQ(fca->deltas(a.data(), 0, out.data(), 0), 0);
}

TEST_F(FcaRun, OneCallGivesOneOffsetPerFrameAndTheLipsFollowTheVoice) {
  const std::vector<float> a = vesk::test::voice(16000 * 4, 9);  // voiced to 2.2 s, silent to 3.8 s
  std::vector<float> out(100 * 63);
  ASSERT_EQ(fca->deltas(a.data(), static_cast<int>(a.size()), out.data(), 100), 100);
  const int lips[] = {6, 12, 14, 17, 19, 20};
  float maxVoiced = 0, minVoiced = 1, maxSilent = 0;
  for (int t = 0; t < 100; ++t) {
    for (int kp = 0; kp < 21; ++kp) {
      if (std::find(std::begin(lips), std::end(lips), kp) != std::end(lips)) continue;
      for (int ax = 0; ax < 3; ++ax) ASSERT_EQ(out[static_cast<size_t>(t * 63 + 3 * kp + ax)], 0.0f);
    }
    const float open = out[static_cast<size_t>(t * 63 + 3 * 12 + 1)];
    if (t >= 8 && t < 50) {
      maxVoiced = std::max(maxVoiced, open);
      minVoiced = std::min(minVoiced, open);
    }
    if (t >= 62 && t < 90) maxSilent = std::max(maxSilent, open);
  }
  EXPECT_GT(maxVoiced, 0.02f);
  EXPECT_LT(minVoiced, maxVoiced * 0.6f);
  EXPECT_LT(maxSilent, maxVoiced * 0.1f);

  // The same utterance again gives the same offsets.
  std::vector<float> again(100 * 63);
  ASSERT_EQ(fca->deltas(a.data(), static_cast<int>(a.size()), again.data(), 100), 100);
  EXPECT_EQ(out, again);
}

// Encoder windows start every 100 frames and cover 200; a frame keeps the first window that delivers
// it, later windows deliver from their 50th frame on. So audio from frame 250 on changes no frame
// below 200, and changes frames 200..249 only through the normalisation of the window at 100.
// The encoder declared [batch, seq] -> [layers, frames, channels] and fca_stream with a free batch
// and hidden-state axis: fed [1, 128000] and [1, 1, 384], they give the same offsets.
TEST_F(FcaRun, ModelsDeclaredWithFreeDimensionsGiveTheSameOffsets) {
  const std::string dyn = vesk::test::motionModels() + "/fca_dyn";
  Fca d(dyn + "/audio_encoder_8s.onnx", dyn + "/fca_stream.onnx", 1);
  const std::vector<float> a = vesk::test::voice(16000 * 9 + 77, 3);  // two encoder windows
  const int n = static_cast<int>(a.size());
  const int frames = Fca::framesFor(n);
  std::vector<float> ref(static_cast<size_t>(frames) * 63), got(ref.size());
  ASSERT_EQ(fca->deltas(a.data(), n, ref.data(), frames), frames);
  ASSERT_EQ(d.deltas(a.data(), n, got.data(), frames), frames);
  EXPECT_EQ(got, ref);
}

TEST_F(FcaRun, EachFrameComesFromTheFirstWindowThatDeliversIt) {
  const std::vector<float> a = vesk::test::voice(640 * 330, 2);
  std::vector<float> b = a;
  for (size_t i = 640 * 250; i < b.size(); ++i) b[i] *= 3.0f;
  const std::vector<float> fa = fca->features(a.data(), static_cast<int>(a.size()));
  const std::vector<float> fb = fca->features(b.data(), static_cast<int>(b.size()));
  ASSERT_EQ(fa.size(), 330u * 768);
  EXPECT_EQ(std::memcmp(fa.data(), fb.data(), 200 * 768 * 4), 0);
  EXPECT_NE(std::memcmp(fa.data() + 200 * 768, fb.data() + 200 * 768, 50 * 768 * 4), 0);
}

// The direct form: sort all energies so far at every frame.
std::vector<float> voicedMeanReference(const std::vector<float>& feat, int frames) {
  std::vector<float> out(feat.size());
  std::vector<double> energies, sum(768, 0.0);
  int k = 0;
  for (int t = 0; t < frames; ++t) {
    double e2 = 0;
    for (int c = 0; c < 768; ++c) e2 += static_cast<double>(feat[static_cast<size_t>(t * 768 + c)]) * feat[static_cast<size_t>(t * 768 + c)];
    energies.push_back(std::sqrt(e2));
    std::vector<double> s = energies;
    std::sort(s.begin(), s.end());
    double thr = 0;
    if (t > 6) {
      const double p = 0.2 * t;
      const double lo = s[static_cast<size_t>(std::floor(p))], hi = s[static_cast<size_t>(std::ceil(p))];
      thr = lo + (hi - lo) * (p - std::floor(p));
    }
    if (energies.back() > thr) {
      for (int c = 0; c < 768; ++c) sum[static_cast<size_t>(c)] += feat[static_cast<size_t>(t * 768 + c)];
      ++k;
    }
    for (int c = 0; c < 768; ++c)
      out[static_cast<size_t>(t * 768 + c)] =
          static_cast<float>(feat[static_cast<size_t>(t * 768 + c)] - sum[static_cast<size_t>(c)] / std::max(k, 1));
  }
  return out;
}

TEST(FcaVoicedMean, MatchesTheDirectForm) {
  const int frames = 60;
  std::vector<float> f(static_cast<size_t>(frames) * 768);
  uint32_t s = 7;
  for (int t = 0; t < frames; ++t) {
    const float level = (t % 9 < 3) ? 0.05f : 1.0f + 0.1f * static_cast<float>(t % 5);
    for (int c = 0; c < 768; ++c) {
      s = s * 1664525u + 1013904223u;
      f[static_cast<size_t>(t * 768 + c)] = level * (0.5f + static_cast<float>(s >> 8) / 16777216.0f);
    }
  }
  const std::vector<float> ref = voicedMeanReference(f, frames);
  Fca::subtractVoicedMean(f, frames);
  EXPECT_EQ(f, ref);
}

TEST(FcaVoicedMean, EveryFrameWithEnergyCountsForTheFirstSeven) {
  // Frames 0..6: 1, 0, 3, ... along channel 0 (frame 1 silent). Each normalised frame is its feature
  // less the mean of the non-silent frames so far.
  std::vector<float> f(8 * 768, 0.0f);
  const float v[8] = {1, 0, 3, 5, 2, 4, 6, 100};
  for (int t = 0; t < 8; ++t) f[static_cast<size_t>(t * 768)] = v[t];
  Fca::subtractVoicedMean(f, 8);
  EXPECT_FLOAT_EQ(f[0 * 768], 0.0f);                // 1 - 1
  EXPECT_FLOAT_EQ(f[1 * 768], -1.0f);               // 0 - 1: silent, not counted
  EXPECT_FLOAT_EQ(f[2 * 768], 3.0f - 2.0f);         // mean of 1, 3
  EXPECT_FLOAT_EQ(f[6 * 768], 6.0f - 21.0f / 6.0f);  // 1, 3, 5, 2, 4, 6
  // Frame 7: the 0.2 quantile of 8 energies (position 1.4 of 0,1,2,3,...) is 1.4, 100 is above.
  EXPECT_FLOAT_EQ(f[7 * 768], 100.0f - 121.0f / 7.0f);
}

TEST(FcaC, RefusalsAndTheCapacityRule) {
  EXPECT_EQ(vesk_fca_create(nullptr, stream().c_str(), 1), nullptr);
  EXPECT_STREQ(vesk_fca_last_error(), "vesk_fca_create: NULL encoder_path/fca_path");
  EXPECT_EQ(vesk_fca_create("/nonexistent.onnx", stream().c_str(), 1), nullptr);
  EXPECT_STREQ(vesk_fca_last_error(), "vesk_fca_create: cannot open /nonexistent.onnx");
  EXPECT_EQ(vesk_fca_create(encoder().c_str(), encoder().c_str(), 1), nullptr);
  EXPECT_EQ(std::string(vesk_fca_last_error()), "vesk_fca_create: " + encoder() + ": 1 inputs and 1 outputs, expected 3 and 2");
  const std::string stitch = vesk::test::motionModels() + "/nt8/stitch.onnx";
  EXPECT_EQ(vesk_fca_create(stitch.c_str(), stream().c_str(), 1), nullptr);
  EXPECT_EQ(std::string(vesk_fca_last_error()), "vesk_fca_create: " + stitch + ": 2 inputs and 1 outputs, expected 1 and 1");

  const std::string student = vesk::test::motionModels() + "/nt8/hubert_student.onnx";
  EXPECT_EQ(vesk_fca_create(student.c_str(), stream().c_str(), 1), nullptr);
  EXPECT_EQ(std::string(vesk_fca_last_error()), "vesk_fca_create: " + student + ": no input named 'input_values'");

  vesk_fca* f = vesk_fca_create(encoder().c_str(), stream().c_str(), 0);
  ASSERT_NE(f, nullptr) << vesk_fca_last_error();
  EXPECT_STREQ(vesk_fca_last_error(), "");
  const std::vector<float> a = vesk::test::voice(640 * 10);
  std::vector<float> out(10 * 63, -7.0f);
  EXPECT_EQ(vesk_fca_deltas(f, a.data(), 640 * 10, out.data(), 9), -1);
  EXPECT_STREQ(vesk_fca_last_error(), "vesk_fca_deltas: output holds 9 frames, 10 needed");
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return x == -7.0f; }));
  EXPECT_EQ(vesk_fca_deltas(f, nullptr, 640, out.data(), 10), -1);
  EXPECT_STREQ(vesk_fca_last_error(), "vesk_fca_deltas: bad args");
  EXPECT_EQ(vesk_fca_deltas(nullptr, a.data(), 640, out.data(), 10), -1);
  EXPECT_EQ(vesk_fca_deltas(f, nullptr, 0, nullptr, 0), 0);
  EXPECT_STREQ(vesk_fca_last_error(), "");
  EXPECT_EQ(vesk_fca_deltas(f, a.data(), 640 * 10, out.data(), 10), 10);
  EXPECT_STREQ(vesk_fca_last_error(), "");
  vesk_fca_destroy(f);
  vesk_fca_destroy(nullptr);
}

}  // namespace
