// The renderer with its source cone hoisted into a prep session: crops equal to the whole graph's
// in any playback order, the next-frame prediction, and a failed cone run that stays failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_simd.h"
#include "generated_bundles.h"
#include "render_test_util.h"
#include "model_session.h"
#include "render/vesk_renderer.h"
#include "render/vesk_source_predictor.h"

using vesk::test::bundleDir;
using vesk::test::errorOf;

using vesk::test::Opened;
using vesk::test::veskLines;

namespace {

std::unique_ptr<vesk::Renderer> renderer(const Opened& b, const std::string& key, std::string* lines = nullptr) {
  testing::internal::CaptureStderr();
  std::unique_ptr<vesk::Renderer> r;
  try {
    r = std::make_unique<vesk::Renderer>(b.manifest, b.identity, key, 1, "");
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
  const std::string err = testing::internal::GetCapturedStderr();
  if (lines != nullptr) *lines = err;
  return r;
}

std::vector<int32_t> predictions(const std::vector<int32_t>& frames, int32_t w) {
  vesk::SourcePredictor p;
  std::vector<int32_t> out;
  for (int32_t s : frames) out.push_back(p.next(s, w));
  return out;
}

}  // namespace

// The hoisted renderer, with every default rewrite, against the whole original graph run bare on
// the same inputs: forward, backward, looping, jumping and standing playback.
TEST(RendererHoist, CropsEqualTheWholeGraphInEveryPlaybackOrder) {
  Opened b(bundleDir("small"));
  std::string lines;
  auto r = renderer(b, "b1", &lines);
  ASSERT_NE(lines.find("[vesk] source-cone hoist: 'source_cone' [1,12,128,128]"), std::string::npos) << lines;
  const std::string path = b.manifest.modelPath("b1");
  const std::string text = vesk::test::readFile(path);
  vesk::test::ModelSession whole(std::vector<uint8_t>(text.begin(), text.end()));

  const int64_t crop = b.manifest.crop;
  const size_t n = static_cast<size_t>(3 * crop * crop);
  vesk::test::Feed feed;
  feed["pooled64"] = {{1, 64, 32, 32}, std::vector<float>(65536)};
  feed["P_rgb"] = {{1, 3, crop, crop}, std::vector<float>(n)};
  const int w = b.identity.NT;
  ASSERT_GE(w, 6);
  const std::vector<std::vector<int>> orders = {
      {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2},  // forward, then the loop
      {7, 6, 5, 4, 3, 2, 1, 0, 1, 2},     // backward, bouncing at 0
      {0, 5, 2, 7, 3, 3, 3, 6, 1},        // jumps and a held frame
  };
  constexpr float kBound = 4e-6f;
  float worst = 0;
  int renders = 0;
  for (const auto& order : orders) {
    for (size_t k = 0; k < order.size(); ++k) {
      const int si = order[k] % w;
      const int f = static_cast<int>(k) % b.drive.frames;
      std::vector<float> xd(b.xs(f), b.xs(f) + 63);
      xd[12 * 3 + 1] += 0.01f * static_cast<float>(k % 3);
      const float* got = r->render(&si, b.xs(f), xd.data(), 1);
      vesk::halfToFloat(b.identity.pooled64(si), feed["pooled64"].second.data(), 65536);
      vesk::halfToFloat(b.identity.P(si), feed["P_rgb"].second.data(), n);
      feed["kp_source"] = {{1, 21, 3}, std::vector<float>(b.xs(f), b.xs(f) + 63)};
      feed["kp_driving"] = {{1, 21, 3}, xd};
      const std::vector<float> want = whole(feed, "rgb");
      float d = 0;
      for (size_t i = 0; i < n; ++i) d = std::max(d, std::fabs(got[i] - want[i]));
      EXPECT_LE(d, kBound) << "source frame " << si << " at step " << k;
      worst = std::max(worst, d);
      ++renders;
    }
  }
  std::printf("hoisted and rewritten director against the whole graph over %d crops: max |diff| %.3g (bound %.1g)\n",
              renders, static_cast<double>(worst), static_cast<double>(kBound));
}

TEST(RendererHoist, PredictionFollowsThePlaybackDirectionAndLearnsTheLoop) {
  // Forward: s + 1, bouncing at the end until the loop is seen, wrapping after it.
  EXPECT_EQ(predictions({0, 1, 2, 3, 4}, 5), (std::vector<int32_t>{1, 2, 3, 4, 3}));
  EXPECT_EQ(predictions({3, 4, 0, 1, 4, 0}, 5), (std::vector<int32_t>{4, 3, 1, 2, 0, 1}));
  // Backward turns the step; going down at 0 bounces to 1.
  EXPECT_EQ(predictions({4, 3, 2, 1, 0}, 5), (std::vector<int32_t>{3, 2, 1, 0, 1}));
  // A jump keeps the step it had.
  EXPECT_EQ(predictions({4, 3, 0}, 6), (std::vector<int32_t>{5, 2, 1}));
  EXPECT_EQ(predictions({1, 4}, 6), (std::vector<int32_t>{2, 5}));
  // Two frames that loop alternate.
  EXPECT_EQ(predictions({0, 1, 0, 1}, 2), (std::vector<int32_t>{1, 0, 1, 0}));
  // One frame, or none: the frame itself.
  EXPECT_EQ(predictions({0, 0}, 1), (std::vector<int32_t>{0, 0}));
  // A held frame keeps the direction.
  EXPECT_EQ(predictions({2, 1, 1, 1}, 5), (std::vector<int32_t>{3, 0, 0, 0}));
}

// A prior that cannot be read fails the cone run; that failure is kept, and every later render
// reports it, even for frames that would render.
TEST(RendererHoist, AFailedConeRunFailsThisAndEveryLaterRender) {
  vesk::test::TempDir tmp;
  const std::string dir = vesk::test::copyBundle("unified", tmp);
  Opened b(dir);
  ASSERT_FALSE(b.identity.hasMappedP());
  std::string lines;
  auto r = renderer(b, "b1", &lines);
  ASSERT_NE(lines.find("[vesk] source-cone hoist: 'source_cone'"), std::string::npos) << lines;
  // The prior video is opened on its first frame: break it now.
  {
    std::ofstream f(dir + "/source_frames.hevc", std::ios::binary | std::ios::trunc);
    f << "not a video";
  }
  const int si = 0;
  testing::internal::CaptureStderr();
  const std::string first = errorOf([&] { r->render(&si, b.xs(0), b.xs(0), 1); });
  EXPECT_EQ(first.rfind("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 ", 0), 0u) << first;
  EXPECT_GT(first.size(), std::string("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 ").size());
  // The video is back, but the session stays failed with the first text.
  std::filesystem::copy_file(bundleDir("unified") + "/source_frames.hevc", dir + "/source_frames.hevc",
                             std::filesystem::copy_options::overwrite_existing);
  for (int k = 1; k < 4; ++k) {
    const int s = k;
    EXPECT_EQ(errorOf([&] { r->render(&s, b.xs(0), b.xs(0), 1); }), first) << k;
  }
  testing::internal::GetCapturedStderr();
  // A renderer built afresh renders.
  auto fresh = renderer(b, "b1");
  EXPECT_NE(fresh->render(&si, b.xs(0), b.xs(0), 1), nullptr);
}
