// The compose-mask geometry: the manifest's unified block, the masks against references computed
// from their definitions, the frame shift, and the corpus match that names the bank's frame.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tessera/vesk_tessera_pi.h"
#include "tessera_geometry_ref.h"
#include "test_util.h"

namespace {

using vesk::tessera::Box;
using vesk::tessera::UnifiedPi;
using vesk::test::errorOf;
namespace ref = vesk::test::geomref;

std::string manifest(const std::string& pi, const std::string& crop = R"("crop": {"canvas": 64},)") {
  return R"({"format": "vesk-bundle-v0", "W": 320, "unified": {)" + crop + R"( "pi": {)" + pi + "}}}";
}

const char* kPi =
    R"("mode": "prop", "corner_recovery": false, "prop_gate_scale": 1.0, "lip_idx": [6, 12, 14, 17, 19, 20],
       "lip_geom_params": [0.10, 0.08, 0.074])";

// A mouth centred at (cx, cy) in normalised units: corners ex apart, lips open by `open`.
std::vector<float> mouth(double cx, double cy, double ex, double open) {
  std::vector<float> kp(63, 0.0f);
  auto put = [&](int r, double x, double y) {
    kp[3 * r] = static_cast<float>(x);
    kp[3 * r + 1] = static_cast<float>(y);
  };
  put(6, cx, cy - open);
  put(12, cx, cy + open);
  put(14, cx, cy + open + 0.03);
  put(17, cx - ex, cy);
  put(19, cx + ex, cy);
  put(20, cx, cy + open + 0.06);
  put(18, cx, cy - 0.05);
  return kp;
}

TEST(UnifiedPiManifest, ReadsTheUnifiedBlock) {
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(kPi), 64);
  EXPECT_EQ(pi.canvas(), 64);
  EXPECT_EQ(pi.mode(), "prop");
  EXPECT_FALSE(pi.cornerRecovery());
  EXPECT_EQ(pi.lipIdx(), (std::vector<int32_t>{6, 12, 14, 17, 19, 20}));
  EXPECT_FLOAT_EQ(pi.lipGeomParams()[2], 0.074f);
  EXPECT_FLOAT_EQ(pi.gridX()[0], -1.0f);
  EXPECT_FLOAT_EQ(pi.gridX()[63], 1.0f);
  // No crop object: any canvas.
  EXPECT_EQ(UnifiedPi::fromManifestJson(manifest(kPi, ""), 200).canvas(), 200);
  const std::string half = R"("mode": "prop", "corner_recovery": "lip_landmark_half", "prop_gate_scale": 1,
                              "lip_idx": [17, 19], "lip_geom_params": [0.1, 0.08, 0.07])";
  EXPECT_TRUE(UnifiedPi::fromManifestJson(manifest(half), 64).cornerRecovery());
}

TEST(UnifiedPiManifest, RefusesWhatItCannotName) {
  auto err = [](const std::string& m, int canvas = 64) {
    return errorOf([&] { (void)UnifiedPi::fromManifestJson(m, canvas); });
  };
  EXPECT_EQ(err(R"({"format": "vesk-bundle-v0"})"),
            "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state "
            "the pi geometry it was baked with; refusing to guess one");
  EXPECT_EQ(err(R"({"unified": {"crop": {}}})"), "teeth: member JSON lacks key 'pi'");
  EXPECT_EQ(err(manifest(R"("mode": "prop", "lip_idx": [1], "lip_geom_params": [0, 0, 0])")),
            "teeth: member JSON lacks key 'prop_gate_scale'");
  EXPECT_EQ(err(manifest(R"("mode": 3)")), "teeth-pi: unified.pi.mode is not a string");
  EXPECT_EQ(err(manifest(R"("mode": "ellipse")")),
            "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name — fail loud, never "
            "adapt (the stamped-geometry rule)");
  std::string corner = kPi;
  corner.replace(corner.find("false"), 5, "\"corner\"");
  EXPECT_EQ(err(manifest(corner)),
            "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must "
            "never be guessed");
  std::string two = kPi;
  two.replace(two.find("[0.10, 0.08, 0.074]"), 19, "[0.10, 0.08]");
  EXPECT_EQ(err(manifest(two)), "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  std::string empty = kPi;
  empty.replace(empty.find("[6, 12, 14, 17, 19, 20]"), 23, "[]");
  EXPECT_EQ(err(manifest(empty)), "teeth-pi: unified.pi.lip_idx is not a non-empty array");
  std::string row21 = kPi;
  row21.replace(row21.find("[6, 12"), 6, "[21, 12");
  EXPECT_EQ(err(manifest(row21)), "teeth-pi: unified.pi.lip_idx names keypoint row 21, and a kd row is 0..20");
  EXPECT_EQ(err(manifest(kPi), 512), "teeth-pi: engine renders at canvas 512 but unified.crop.canvas is 64");
}

struct MaskCase {
  const char* name;
  double open;
  float gate_scale;
  bool corner;
  int n;
};

void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.name; }

class UnifiedPiMasks : public ::testing::TestWithParam<MaskCase> {};

TEST_P(UnifiedPiMasks, MatchTheDefinitionsPixelForPixel) {
  const MaskCase c = GetParam();
  ref::Geometry g;
  g.n = c.n;
  g.gate_scale = c.gate_scale;
  g.corner = c.corner;
  const UnifiedPi pi(c.n, c.corner, c.gate_scale, {6, 12, 14, 17, 19, 20}, g.pad_x, g.pad_y, g.down);
  const std::vector<float> kp = mouth(0.03, 0.31, 0.21, c.open);
  const size_t plane = static_cast<size_t>(c.n) * c.n;

  const std::vector<uint8_t> want = ref::piU8(g, kp.data());
  std::vector<uint8_t> got(plane), boxed(plane, 7);
  pi.piU8(kp.data(), got.data());
  EXPECT_EQ(got, want);
  pi.piU8Boxed(kp.data(), boxed.data());
  EXPECT_EQ(boxed, want) << "the boxes must hold every non-zero byte";

  ref::Ell lip, gate;
  double s;
  ref::ellipses(g, kp.data(), &lip, &gate, &s);
  std::vector<float> lm(plane), gm(plane);
  pi.lipMask(kp.data(), lm.data());
  pi.propTeethGate(kp.data(), gm.data());
  for (int y = 0; y < c.n; ++y)
    for (int x = 0; x < c.n; ++x) {
      const size_t i = static_cast<size_t>(y) * c.n + x;
      ASSERT_EQ(lm[i], static_cast<float>(ref::ellAt(g, lip, y, x))) << x << "," << y;
      ASSERT_EQ(gm[i], static_cast<float>(ref::ellAt(g, gate, y, x) * s)) << x << "," << y;
    }

  // Shrunk by an alpha that is 0.5 on the left half and 0 on the right, inside a box.
  std::vector<float> alpha(plane, 0.0f);
  for (int y = 0; y < c.n; ++y)
    for (int x = 0; x < c.n / 2; ++x) alpha[static_cast<size_t>(y) * c.n + x] = 0.5f;
  const Box box{c.n / 8, c.n / 4, c.n - 2, c.n};
  const Box sup = pi.supportBox(kp.data());
  std::vector<uint8_t> shrunk(plane, 9);
  pi.piU8ShrunkBy(kp.data(), alpha.data(), box, shrunk.data());
  for (int y = 0; y < c.n; ++y)
    for (int x = 0; x < c.n; ++x) {
      const bool in = x >= std::max(box.x0, sup.x0) && x < std::min(box.x1, sup.x1) && y >= std::max(box.y0, sup.y0) &&
                      y < std::min(box.y1, sup.y1);
      const float a = alpha[static_cast<size_t>(y) * c.n + x];
      const uint8_t expect = in && a > 0.0f ? ref::byteOf(std::min<double>(a, ref::piAt(g, kp.data(), y, x))) : 0;
      ASSERT_EQ(shrunk[static_cast<size_t>(y) * c.n + x], expect) << x << "," << y;
    }

  // The shift is the whole-pixel offset of the centroid of bytes >= 128 from c_canon.
  double cx = 0, cy = 0;
  ASSERT_TRUE(ref::centroid(want, c.n, &cx, &cy));
  const double canon[2] = {cx - 2.5, cy + 3.5};
  std::vector<uint8_t> m(plane);
  int dy = 0, dx = 0;
  ASSERT_TRUE(pi.piU8AndShift(kp.data(), canon, m.data(), &dy, &dx));
  EXPECT_EQ(dx, static_cast<int>(std::nearbyint(cx - canon[0])));
  EXPECT_EQ(dy, static_cast<int>(std::nearbyint(cy - canon[1])));
  EXPECT_EQ(m, want);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnifiedPiMasks,
                         ::testing::Values(MaskCase{"open", 0.05, 1.0f, false, 64},
                                           MaskCase{"open_wide_gate", 0.06, 1.7f, false, 80},
                                           MaskCase{"corner_recovery", 0.04, 1.0f, true, 64},
                                           MaskCase{"closed", 0.0, 1.0f, false, 63}),
                         [](const auto& c) { return std::string(c.param.name); });

TEST(UnifiedPiMasksEdge, ClosedLipsLeaveTheLipEllipseAlone) {
  ref::Geometry g;
  const UnifiedPi pi(64, false, 1.0f, {6, 12, 14, 17, 19, 20}, g.pad_x, g.pad_y, g.down);
  // Vertical spread at most 0.02: the gate is shut.
  std::vector<float> kp = mouth(0.0, 0.3, 0.2, 0.0);
  kp[3 * 14 + 1] = kp[3 * 20 + 1] = 0.3f + 0.015f;
  double gate = -1;
  (void)pi.gateParams(kp.data(), &gate);
  EXPECT_EQ(gate, 0.0);
  std::vector<float> gm(64 * 64, 1.0f), lm(64 * 64);
  std::vector<uint8_t> m(64 * 64);
  pi.propTeethGate(kp.data(), gm.data());
  pi.lipMask(kp.data(), lm.data());
  pi.piU8(kp.data(), m.data());
  for (size_t i = 0; i < m.size(); ++i) {
    ASSERT_EQ(gm[i], 0.0f);
    ASSERT_EQ(m[i], ref::byteOf(lm[i]));
  }
}

TEST(UnifiedPiMasksEdge, OnePixelCanvasIsAllMinusOneAndOneBox) {
  const UnifiedPi pi(1, false, 1.0f, {17, 19}, 0.1f, 0.08f, 0.07f);
  EXPECT_EQ(pi.gridX(), std::vector<float>{-1.0f});
  const Box b = pi.ellBox(pi.lipParams(mouth(0, 0, 0.2, 0.05).data()));
  EXPECT_EQ(b.x0, 0);
  EXPECT_EQ(b.y0, 0);
  EXPECT_EQ(b.x1, 1);
  EXPECT_EQ(b.y1, 1);
}

TEST(UnifiedPiMasksEdge, EmptyMaskHasNoCentroidOrShift) {
  const UnifiedPi pi(32, false, 1.0f, {6, 12}, 0.1f, 0.08f, 0.07f);
  std::vector<uint8_t> zero(32 * 32, 127);
  double cx, cy;
  EXPECT_FALSE(pi.piU8Centroid(zero.data(), &cx, &cy));
  // Lips far off the canvas: nothing reaches 128.
  const std::vector<float> kp = mouth(5.0, 5.0, 0.1, 0.05);
  const double canon[2] = {16, 16};
  int dy = 0, dx = 0;
  EXPECT_FALSE(pi.piU8AndShift(kp.data(), canon, zero.data(), &dy, &dx));
  EXPECT_EQ(errorOf([&] { pi.canonicalCentroid(kp.data(), 1, &cx, &cy); }),
            "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame "
            "is identified by");
}

// The corpus match on a symmetric mouth centred on an odd canvas: every centroid has x = 256
// exactly, so distances along x are exact.
class CorpusMatch : public ::testing::Test {
 protected:
  static constexpr int kN = 513;
  void SetUp() override {
    kp_ = mouth(0.0, 0.3, 0.2, 0.05);
    for (const UnifiedPi::Corpus& c : UnifiedPi::corpus()) {
      const UnifiedPi pi(kN, false, 1.0f, {6, 12, 14, 17, 19, 20}, c.pad_x, c.pad_y, c.down);
      double x, y;
      pi.canonicalCentroid(kp_.data(), 1, &x, &y);
      cx_.push_back(x);
      cy_.push_back(y);
    }
  }
  std::string match(const double* canon, std::string* label) {
    return errorOf(
        [&] { (void)UnifiedPi::corpusFromManifestJson(manifest(kPi, ""), kN, kp_.data(), 1, canon, label); });
  }
  // c_canon on the line from v1's centroid towards v2's, where the runner-up is `margin` behind.
  std::vector<double> between(double margin) {
    double lo = 0, hi = 1;
    for (int i = 0; i < 200; ++i) {
      const double t = (lo + hi) / 2;
      const double x = cx_[0] + t * (cx_[1] - cx_[0]), y = cy_[0] + t * (cy_[1] - cy_[0]);
      const double d1 = std::hypot(x - cx_[0], y - cy_[0]);
      const double d2 = std::min(std::hypot(x - cx_[1], y - cy_[1]), std::hypot(x - cx_[2], y - cy_[2]));
      (d2 - d1 > margin ? lo : hi) = t;
    }
    return {cx_[0] + lo * (cx_[1] - cx_[0]), cy_[0] + lo * (cy_[1] - cy_[0])};
  }
  std::vector<float> kp_;
  std::vector<double> cx_, cy_;
};

TEST_F(CorpusMatch, NamesTheNearestGeometry) {
  ASSERT_EQ(cx_[0], 256.0);
  std::string label;
  const double canon[2] = {cx_[0], cy_[0]};
  EXPECT_EQ(match(canon, &label), "(no error)");
  EXPECT_EQ(label, "v1");
  const UnifiedPi pi = UnifiedPi::corpusFromManifestJson(manifest(kPi, ""), kN, kp_.data(), 1, canon, nullptr);
  EXPECT_FLOAT_EQ(pi.lipGeomParams()[0], 0.05f);
  EXPECT_FLOAT_EQ(pi.lipGeomParams()[2], 0.015f);
}

TEST_F(CorpusMatch, AcceptsEightPixelsAndRefusesMore) {
  std::string label;
  const double at8[2] = {cx_[0] + 8.0, cy_[0]};
  EXPECT_EQ(match(at8, &label), "(no error)");
  EXPECT_EQ(label, "v1");
  const double far[2] = {cx_[0] + 8.01, cy_[0]};
  const std::string e = match(far, nullptr);
  EXPECT_EQ(e.rfind("teeth-pi: no corpus pi geometry matches this bank's c_canon (264.01,", 0), 0u) << e;
  EXPECT_NE(e.find(") within 8.00px — v1=8.01px v"), std::string::npos) << e;
  EXPECT_NE(e.find("px — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can name"),
            std::string::npos)
      << e;
}

TEST_F(CorpusMatch, RefusesARunnerUpWithinThreePixels) {
  const std::vector<double> close = between(2.99);
  const std::string e = match(close.data(), nullptr);
  EXPECT_EQ(e.rfind("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — v1=", 0), 0u) << e;
  EXPECT_NE(e.find("px — refusing to guess the bank frame"), std::string::npos) << e;
  const std::vector<double> clear = between(3.0 + 1e-9);
  std::string label;
  EXPECT_EQ(match(clear.data(), &label), "(no error)");
  EXPECT_EQ(label, "v1");
}

TEST_F(CorpusMatch, NeedsTheBundlesOwnKeypoints) {
  const double canon[2] = {256, 300};
  const std::string want =
      "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — refusing to "
      "fall back to the stamped geometry, which is the GRAPH's compose field";
  EXPECT_EQ(errorOf([&] { (void)UnifiedPi::corpusFromManifestJson(manifest(kPi), 64, nullptr, 1, canon, nullptr); }),
            want);
  EXPECT_EQ(errorOf([&] { (void)UnifiedPi::corpusFromManifestJson(manifest(kPi), 64, kp_.data(), 0, canon, nullptr); }),
            want);
}

}  // namespace
