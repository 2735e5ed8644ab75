// The renderer with the bundle's lip contour bound into the director's compose alpha.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_simd.h"
#include "generated_bundles.h"
#include "render_test_util.h"
#include "model_session.h"
#include "render/vesk_renderer.h"
#include "render/vesk_rewrite.h"
#include "tessera/vesk_tessera_lip.h"

using vesk::test::bundleDir;
using vesk::test::errorOf;

using vesk::test::Opened;
using vesk::test::veskLines;

namespace {

std::unique_ptr<vesk::Renderer> renderer(const Opened& b, const std::string& key, std::string& lines) {
  testing::internal::CaptureStderr();
  std::unique_ptr<vesk::Renderer> r;
  try {
    r = std::make_unique<vesk::Renderer>(b.manifest, b.identity, key, 1, "");
  } catch (...) {
    lines = testing::internal::GetCapturedStderr();
    throw;
  }
  lines = testing::internal::GetCapturedStderr();
  return r;
}

std::vector<uint8_t> bytesOf(const std::string& path) {
  const std::string s = vesk::test::readFile(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace

// Each frame's contour, rasterised from its driving keypoints, narrows the alpha: the crop is what
// the bound graph renders with that contour as its input, and not what the ellipse alone renders.
TEST(RendererLip, EachFrameRendersWithItsOwnContour) {
  Opened b(bundleDir("teeth"));
  ASSERT_FALSE(b.manifest.lip_template.empty());
  vesk::tessera::LipContour contour =
      vesk::tessera::LipContour::fromTemplateJson(b.manifest.lip_template, b.manifest.crop);
  std::string lines;
  auto r = renderer(b, "b1", lines);
  char want[256];
  std::snprintf(want, sizeof want,
                "[vesk] compose alpha: LIP CONTOUR (b1) \xE2\x80\x94 Min(a, lip_delivery) bound at load, %d verts, "
                "feather %.1f px; the graph's ellipse is not reachable in this session\n",
                contour.vertexCount(), static_cast<double>(contour.featherPx()));
  EXPECT_NE(lines.find(want), std::string::npos) << lines;
  EXPECT_EQ(lines.find("ELLIPSE ("), std::string::npos) << lines;
  EXPECT_NE(lines.find("[vesk] source-cone hoist: 'source_cone'"), std::string::npos) << lines;

  std::vector<uint8_t> bound = bytesOf(b.manifest.modelPath("b1"));
  std::string reason;
  int canvas = 0;
  ASSERT_TRUE(vesk::rewriteBindLipContour(bound, reason, &canvas)) << reason;
  vesk::test::ModelSession reference(bound);

  const int64_t crop = b.manifest.crop;
  const size_t c2 = static_cast<size_t>(crop * crop), n = 3 * c2;
  vesk::test::Feed feed;
  feed["pooled64"] = {{1, 64, 32, 32}, std::vector<float>(65536)};
  feed["P_rgb"] = {{1, 3, crop, crop}, std::vector<float>(n)};
  constexpr float kBound = 4e-6f;
  float worst = 0, fromEllipse = 0;
  for (int f = 0; f < b.drive.frames; ++f) {
    const int si = b.drive.si[static_cast<size_t>(f)];
    std::vector<float> xd(b.xs(f), b.xs(f) + 63);
    xd[12 * 3 + 1] += 0.02f * static_cast<float>(f % 3);  // the mouth opens a little on some frames
    const float* got = r->render(&si, b.xs(f), xd.data(), 1);
    vesk::halfToFloat(b.identity.pooled64(si), feed["pooled64"].second.data(), 65536);
    vesk::halfToFloat(b.identity.P(si), feed["P_rgb"].second.data(), n);
    feed["kp_source"] = {{1, 21, 3}, std::vector<float>(b.xs(f), b.xs(f) + 63)};
    feed["kp_driving"] = {{1, 21, 3}, xd};
    std::vector<float> lip(c2);
    contour.contourF32Canvas(xd.data(), lip.data());
    feed["lip_delivery"] = {{1, 1, crop, crop}, lip};
    const std::vector<float> withContour = reference(feed, "rgb");
    feed["lip_delivery"].second.assign(c2, 1.0f);
    const std::vector<float> ellipse = reference(feed, "rgb");
    for (size_t i = 0; i < n; ++i) {
      worst = std::max(worst, std::fabs(got[i] - withContour[i]));
      fromEllipse = std::max(fromEllipse, std::fabs(got[i] - ellipse[i]));
    }
  }
  EXPECT_LE(worst, kBound);
  EXPECT_GT(fromEllipse, 1e-3f);  // the contour does cut the ellipse somewhere
  std::printf("lip-bound renderer against the bound graph over %d crops: max |diff| %.3g (bound %.1g)\n",
              b.drive.frames, static_cast<double>(worst), static_cast<double>(kBound));
}

TEST(RendererLip, RefusesADirectorComposingOnAnotherCanvas) {
  vesk::test::TempDir tmp;
  const std::string dir = vesk::test::copyBundle("teeth", tmp);
  // The rewrite variants' director composes at 64; this identity's crop is 128.
  std::filesystem::copy_file(bundleDir("rwvariants") + "/model_b1.onnx", dir + "/model_b1.onnx",
                             std::filesystem::copy_options::overwrite_existing);
  Opened b(dir);
  std::string lines;
  EXPECT_EQ(errorOf([&] { renderer(b, "b1", lines); }),
            "Renderer: the director's compose canvas is 64 and this bundle's manifest declares crop 128 \xE2\x80\x94 "
            "refusing to bind a lip contour rasterised on the wrong canvas");
}

// A director bound at export already carries lip_delivery: it is not bound again, and the session
// composes with the graph's own ellipse rather than failing for an input nobody feeds.
TEST(RendererLip, AGraphBoundBeforeLoadsWithItsEllipse) {
  vesk::test::TempDir tmp;
  const std::string dir = vesk::test::copyBundle("teeth", tmp);
  std::vector<uint8_t> bound = bytesOf(dir + "/model_b1.onnx");
  std::string reason;
  int canvas = 0;
  ASSERT_TRUE(vesk::rewriteBindLipContour(bound, reason, &canvas)) << reason;
  vesk::test::writeFile(dir + "/model_b1.onnx", std::string(bound.begin(), bound.end()));
  Opened b(dir);
  std::string lines;
  auto r = renderer(b, "b1", lines);
  EXPECT_NE(lines.find("[vesk] !!! lip contour NOT bound to the compose alpha (b1): the graph already carries an input "
                       "named lip_delivery \xE2\x80\x94 this session serves the graph's own ELLIPSE\n"),
            std::string::npos)
      << lines;
  // What the unbound director renders without a template: the same ellipse.
  vesk::test::TempDir tmp2;
  const std::string plainDir = vesk::test::copyBundle("teeth", tmp2);
  std::filesystem::remove(plainDir + "/lip_template.v1.json");
  Opened p(plainDir);
  ASSERT_TRUE(p.manifest.lip_template.empty());
  auto plain = renderer(p, "b1", lines);
  const size_t n = 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  for (int f = 0; f < b.drive.frames; ++f) {
    const int si = b.drive.si[static_cast<size_t>(f)];
    std::vector<float> xd(b.xs(f), b.xs(f) + 63);
    xd[12 * 3 + 1] += 0.03f;
    const float* got = r->render(&si, b.xs(f), xd.data(), 1);
    const std::vector<float> mine(got, got + n);
    const float* want = plain->render(&si, b.xs(f), xd.data(), 1);
    float d = 0;
    for (size_t i = 0; i < n; ++i) d = std::max(d, std::fabs(mine[i] - want[i]));
    EXPECT_LE(d, 1e-6f) << f;
  }
}
