// The lip contour: template refusals, the deformed polygon, and the feathered alpha and delivery
// masks against references computed from their definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tessera/vesk_tessera_lip.h"
#include "tessera/vesk_tessera_pi.h"
#include "tessera_geometry_ref.h"
#include "test_util.h"

namespace {

using vesk::tessera::Box;
using vesk::tessera::LipContour;
using vesk::tessera::UnifiedPi;
using vesk::test::errorOf;
namespace ref = vesk::test::geomref;

constexpr int kN = 96;

// An eight-vertex outline, wider than tall, with a dent in the upper edge.
const char* kOutline = "[[-1,0],[-0.6,-0.8],[0,-0.6],[0.6,-0.8],[1,0],[0.6,0.9],[0,1],[-0.6,0.9]]";

std::string tpl(const std::string& extra = "", int canvas = kN) {
  return R"({"format": "lip-template-v1", "edge": "outward", "canvas": )" + std::to_string(canvas) +
         R"(, "feather_px": 3.5, "u_canon": )" + kOutline + extra + "}";
}

std::string mapJson(const std::string& row3 = "[0.1, 0, 0, 0, 0.2, 0, 0, 0]", const std::string& extra = "") {
  std::string w;
  for (int r = 0; r < 16; ++r) {
    if (r) w += ",";
    w += r == 3 ? row3 : "[" + std::to_string(0.5 * (r % 3)) + ", 0, 0, 0.25, 0, 0, 0, 0]";
  }
  std::string b = "0.5";
  for (int r = 1; r < 16; ++r) b += ", " + std::to_string(r * 0.25);
  return R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [17, 18, 19, 20], "W": [)" + w +
         R"(], "b": [)" + b + "]" + extra + "}";
}

// Lip rows 17..20 around (cx, cy), plus the rows the ellipse mask reads.
std::vector<float> lips(double cx, double cy, double ex, double up, double down) {
  std::vector<float> kp(63, 0.0f);
  auto put = [&](int r, double x, double y) {
    kp[3 * r] = static_cast<float>(x);
    kp[3 * r + 1] = static_cast<float>(y);
  };
  put(17, cx - ex, cy);
  put(18, cx + 0.01, cy - up);
  put(19, cx + ex, cy + 0.01);
  put(20, cx, cy + down);
  put(6, cx, cy - up * 0.4);
  put(12, cx, cy + down * 0.4);
  put(14, cx, cy + down * 0.7);
  return kp;
}

TEST(LipTemplate, RefusesEachDefectWithItsReason) {
  auto err = [](const std::string& json) { return errorOf([&] { (void)LipContour::fromTemplateJson(json, kN); }); };
  const std::string p = "lip_template.v1.json: ";
  EXPECT_EQ(err("[1, 2]"), p + "is not a JSON object");
  EXPECT_EQ(err(""), p + "is not parseable JSON (teeth: JSON truncated)");
  EXPECT_EQ(err(R"({"canvas": 96})"), p + "carries no string `format`");
  EXPECT_EQ(err(R"({"format": "lip-template-v2"})"),
            p + "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it");
  std::string inward = tpl();
  inward.replace(inward.find("outward"), 7, "inward");
  EXPECT_EQ(err(inward), p + "declares edge 'inward', and the contour feather is OUTWARD — refusing to serve a mask "
                             "this runtime does not compute");
  std::string numeric = tpl();
  numeric.replace(numeric.find("\"outward\""), 9, "3");
  EXPECT_EQ(err(numeric), "(no error)");
  EXPECT_EQ(err(tpl("", 128)), p + "was baked on a 128 canvas but this bundle composes on 96 — refusing to deform a "
                                   "polygon onto a canvas it does not name");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "canvas": "96"})"), p + "carries no numeric `canvas`");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "canvas": 96, "feather_px": -2})"),
            p + "declares feather_px -2.000000, which is not positive");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "canvas": 96})"), p + "carries no numeric `feather_px`");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "canvas": 96, "feather_px": 2, "u_canon": []})"),
            p + "carries no non-empty `u_canon` array");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "canvas": 96, "feather_px": 2, "u_canon": [[0,0],[1,2,3]]})"),
            p + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template");
  EXPECT_EQ(err(tpl(R"(, "lip_idx": {})")), p + "carries a `lip_idx` that is not a non-empty array");
  EXPECT_EQ(err(tpl(R"(, "lip_idx": [17, 21])")), p + "lip_idx names keypoint row 21, and a kd row is 0..20");
  EXPECT_EQ(err(tpl(R"(, "lip_idx": [1, 2, 3, 4, 5, 6, 7, 8, 9])")),
            p + "lip_idx names 9 keypoint rows, and the outline follows at most 8");
}

TEST(LipTemplate, RefusesEachMapDefect) {
  auto err = [](const std::string& extra) {
    return errorOf([&] { (void)LipContour::fromTemplateJson(tpl(extra), kN); });
  };
  const std::string p = "lip_template.v1.json: ";
  EXPECT_EQ(err(mapJson()), "(no error)");
  EXPECT_EQ(err(R"(, "lip_map": [])"), p + "lip_map is not a JSON object");
  EXPECT_EQ(err(R"(, "lip_map": {"schema": 2})"),
            p + "lip_map declares schema '?', not 'lip-map-v1' — this runtime cannot evaluate it");
  EXPECT_EQ(err(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "affine"})"),
            p + "lip_map kind is not 'anchor-linear'");
  EXPECT_EQ(err(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": []})"),
            p + "lip_map lip_idx is not 1..8 kd rows");
  EXPECT_EQ(err(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [3.5]})"),
            p + "lip_map lip_idx names a row outside 0..20");
  EXPECT_EQ(err(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "W": []})"),
            p + "lip_map carries no W/b arrays");
  EXPECT_EQ(err(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "W": [[1]], "b": [1]})"),
            p + "lip_map W/b have 1/1 rows, not 2*nv=16");
  EXPECT_EQ(err(mapJson("[0, 0, 0, 0, 0, 0, 0, 0, 0]")), p + "lip_map W row 3 is not 8 wide");
  EXPECT_EQ(err(mapJson("[0, 0, 0, 0, 0, 0, 0, \"x\"]")), p + "lip_map carries a non-finite coefficient");
  EXPECT_EQ(err(mapJson("[0, 0, 0, 0, 0, 0, 0, 1e999]")), p + "lip_map carries a non-finite coefficient");
  EXPECT_EQ(err(mapJson("[0, 0, 0, 0, 0, 0, 0, 0]", R"(, "canvas": 512)")),
            p + "lip_map was fitted on another canvas than this bundle composes on");
  LipContour c = LipContour::fromTemplateJson(tpl(), kN);
  const std::vector<double> w(16 * 8, 0.0), b(16, 0.0);
  const int rows[4] = {17, 18, 19, 20};
  EXPECT_EQ(errorOf([&] { c.attachMap(w.data(), b.data(), 16, 7, rows, 4); }),
            p + "lip_map shape does not match the template");
}

TEST(LipPolygon, FollowsTheAnchorsWithAndWithoutAMap) {
  const LipContour plain = LipContour::fromTemplateJson(tpl(), kN);
  EXPECT_EQ(plain.anchors(), (std::vector<int32_t>{17, 18, 19, 20}));
  EXPECT_EQ(plain.vertexCount(), 8);
  const std::vector<float> kp = lips(0.1, 0.2, 0.3, 0.1, 0.15);
  double X[4], Y[4], gx = 0, gy = 0;
  for (int j = 0; j < 4; ++j) {
    X[j] = (kp[3 * (17 + j)] + 1.0) * (kN * 0.5);
    Y[j] = (kp[3 * (17 + j) + 1] + 1.0) * (kN * 0.5);
    gx += X[j] / 4;
    gy += Y[j] / 4;
  }
  double sx = 0, sy = 0;
  for (int j = 0; j < 4; ++j) {
    sx = std::max(sx, std::fabs(X[j] - gx));
    sy = std::max(sy, std::fabs(Y[j] - gy));
  }
  std::vector<double> poly(16);
  plain.polygon(kp.data(), poly.data());
  EXPECT_DOUBLE_EQ(poly[2], -0.6 * sx + gx);
  EXPECT_DOUBLE_EQ(poly[3], -0.8 * sy + gy);

  const LipContour mapped = LipContour::fromTemplateJson(tpl(mapJson()), kN);
  mapped.polygon(kp.data(), poly.data());
  // Row 0: x = gx + b0 + 0.25 a3; row 3: y = gy + b3 + 0.1 a0 + 0.2 a4.
  EXPECT_NEAR(poly[0], gx + 0.5 + 0.25 * (Y[1] - gy), 1e-9);
  EXPECT_NEAR(poly[3], gy + 0.75 + 0.1 * (X[0] - gx) + 0.2 * (X[2] - gx), 1e-9);

  // Anchors on one point collapse the outline onto it.
  const std::vector<float> dot = lips(0.0, 0.0, 0.0, 0.0, 0.0);
  std::vector<float> same = dot;
  for (int r = 17; r <= 20; ++r) same[3 * r] = same[3 * r + 1] = 0.25f;
  plain.polygon(same.data(), poly.data());
  for (int v = 0; v < 8; ++v) {
    EXPECT_NEAR(poly[2 * v], 60.0, 1e-5);
    EXPECT_NEAR(poly[2 * v + 1], 60.0, 1e-5);
  }
}

class LipAlpha : public ::testing::TestWithParam<bool> {};

TEST_P(LipAlpha, MatchesScanlineChamferAndSmoothstepPixelForPixel) {
  LipContour c = LipContour::fromTemplateJson(tpl(GetParam() ? mapJson() : ""), kN);
  // Near the canvas edge too, so the box is clipped.
  for (const std::vector<float>& kp : {lips(0.05, 0.3, 0.35, 0.12, 0.2), lips(0.85, -0.9, 0.3, 0.1, 0.1)}) {
    std::vector<double> poly(16);
    c.polygon(kp.data(), poly.data());
    const Box b = c.box(poly.data());
    const int w = b.x1 - b.x0, h = b.y1 - b.y0;
    ASSERT_GT(w, 0);
    ASSERT_GT(h, 0);
    const std::vector<uint8_t> want_in = ref::inside(poly, b.x0, b.y0, w, h);
    std::vector<uint8_t> in(static_cast<size_t>(w) * h, 1);
    c.fillScanline(poly.data(), b, in.data());
    EXPECT_EQ(in, want_in);

    const std::vector<float> want = ref::alpha(want_in, w, h, 3.5f);
    std::vector<float> plane(kN * kN, -1.0f);
    c.contourF32Canvas(kp.data(), plane.data());
    for (int y = 0; y < kN; ++y)
      for (int x = 0; x < kN; ++x) {
        const bool inBox = x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1;
        const float e = inBox ? want[static_cast<size_t>(y - b.y0) * w + (x - b.x0)] : 0.0f;
        ASSERT_EQ(plane[static_cast<size_t>(y) * kN + x], e) << x << "," << y;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(MapOrNot, LipAlpha, ::testing::Bool(),
                         [](const auto& c) { return std::string(c.param ? "map" : "plain"); });

TEST(LipAlphaEdge, OneInsideAndZeroOneFeatherOutside) {
  // A square outline with flat sides: the chamfer distance along a row is 0.955 per pixel.
  const double sq[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
  const int rows[4] = {17, 18, 19, 20};
  LipContour c(kN, 2.0f, sq, 4, rows, 4);
  std::vector<double> poly = {40, 40, 60, 40, 60, 60, 40, 60};
  const Box b = c.box(poly.data());
  std::vector<float> plane(kN * kN, 0.0f);
  c.contourF32(poly.data(), b, plane.data());
  EXPECT_EQ(plane[50 * kN + 50], 1.0f);
  EXPECT_EQ(plane[50 * kN + 40], 1.0f);
  EXPECT_GT(plane[50 * kN + 61], 0.0f);
  EXPECT_EQ(plane[50 * kN + 63], 0.0f);  // 3 x 0.955 > 2 px out
}

TEST(LipDelivery, CutsTheComposeMaskToTheContour) {
  const UnifiedPi pi(kN, false, 1.0f, {6, 12, 14, 17, 19, 20}, 0.10f, 0.08f, 0.074f);
  LipContour c = LipContour::fromTemplateJson(tpl(), kN);
  const std::vector<float> kp = lips(0.02, 0.25, 0.3, 0.1, 0.16);
  ref::Geometry g;
  g.n = kN;
  std::vector<double> poly(16);
  c.polygon(kp.data(), poly.data());
  const Box b = c.box(poly.data());
  const int w = b.x1 - b.x0;
  const std::vector<float> a = ref::alpha(ref::inside(poly, b.x0, b.y0, w, b.y1 - b.y0), w, b.y1 - b.y0, 3.5f);
  const Box sup = pi.supportBox(kp.data());

  std::vector<uint8_t> out(kN * kN, 5);
  c.deliveredU8(kp.data(), pi, out.data());
  const std::vector<uint8_t> ellipse = ref::piU8(g, kp.data());
  std::vector<uint8_t> shrunk = ellipse;
  for (int y = 0; y < kN; ++y)
    for (int x = 0; x < kN; ++x) {
      const size_t i = static_cast<size_t>(y) * kN + x;
      const bool inBox = x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1;
      const bool inSup = x >= sup.x0 && x < sup.x1 && y >= sup.y0 && y < sup.y1;
      const float ai = inBox ? a[static_cast<size_t>(y - b.y0) * w + (x - b.x0)] : 0.0f;
      const uint8_t want =
          inBox && inSup && ai > 0 ? ref::byteOf(std::min<double>(ai, ref::piAt(g, kp.data(), y, x))) : 0;
      ASSERT_EQ(out[i], want) << x << "," << y;
      if (inSup) shrunk[i] = inBox ? std::min(ellipse[i], ref::byteOf(ai)) : 0;
    }

  // The stream's form: shift from the ellipse, then the contour over the support box.
  double cx, cy;
  ASSERT_TRUE(ref::centroid(ellipse, kN, &cx, &cy));
  const double canon[2] = {cx + 1.2, cy - 2.6};
  int dy = 0, dx = 0;
  std::vector<uint8_t> m(kN * kN, 3);
  ASSERT_TRUE(c.deliveredU8AndShift(kp.data(), pi, canon, m.data(), &dy, &dx));
  EXPECT_EQ(dx, -1);
  EXPECT_EQ(dy, 3);
  EXPECT_EQ(m, shrunk);
}

TEST(LipDelivery, ShrinkOverABoxThatMissesTheContourClearsIt) {
  LipContour c = LipContour::fromTemplateJson(tpl(), kN);
  const std::vector<float> kp = lips(-0.5, -0.5, 0.1, 0.05, 0.05);
  std::vector<uint8_t> m(kN * kN, 200);
  const Box far{70, 70, 90, 90};
  EXPECT_FALSE(c.shrinkU8InPlace(kp.data(), far, m.data()));
  for (int y = 0; y < kN; ++y)
    for (int x = 0; x < kN; ++x) {
      const bool in = x >= 70 && x < 90 && y >= 70 && y < 90;
      ASSERT_EQ(m[static_cast<size_t>(y) * kN + x], in ? 0 : 200);
    }
}

}  // namespace
