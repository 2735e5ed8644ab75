// The teeth pass against the reference of tessera_pass_ref.h: construction refusals, the donor
// index, retrieval over a run of frames (the carried weights make each frame depend on the ones
// before), the selection rules, and the emitted windows with their sticky donor sets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "alloc_watch.h"
#include "core/vesk_half.h"
#include "tessera/vesk_tessera.h"
#include "tessera_pass_ref.h"

namespace {

using vesk::GeometryStamp;
using vesk::tessera::BankData;
using vesk::tessera::FrameResult;
using vesk::tessera::HeadWeights;
using vesk::tessera::ServeConfig;
using vesk::tessera::TeethPass;
namespace ref = vesk::test::teethref;

constexpr int kN = 32;  // canvas

GeometryStamp smallStamp() {
  GeometryStamp s;
  s.canvas_w = s.canvas_h = kN;
  s.window_x0 = 8, s.window_y0 = 12, s.window_w = 16, s.window_h = 8;
  s.pad = 3;
  s.band_r0 = 2, s.band_r1 = 6, s.band_c0 = 2, s.band_c1 = 14;
  s.shift_margin = 1;
  return s;
}

BankData smallBank(int n, unsigned seed) {
  BankData b;
  b.stamp = smallStamp();
  b.n_donors = n;
  b.c_canon = {16.0, 15.5};
  std::mt19937 rng(seed);
  const size_t bytes = static_cast<size_t>(n) * b.stamp.bandH() * b.stamp.bandW() * 3;
  for (size_t i = 0; i < bytes; ++i) b.pixels.push_back(static_cast<uint8_t>(rng() % 256));
  std::uniform_real_distribution<double> off(-4.0, 4.0), ap(0.5, 1.5);
  for (int d = 0; d < n; ++d) {
    b.cent.push_back(b.c_canon[0] + off(rng));
    b.cent.push_back(b.c_canon[1] + off(rng));
    b.aperture.push_back(ap(rng));
  }
  return b;
}

HeadWeights randomHead(unsigned seed, float scale = 0.3f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-scale, scale);
  auto fill = [&](size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
  };
  HeadWeights h;
  h.cand0_w = fill(16 * 7 * 9), h.cand0_b = fill(16);
  h.cand2_w = fill(16 * 16 * 9), h.cand2_b = fill(16);
  h.cand4_w = fill(16 * 9), h.cand4_b = fill(1);
  return h;
}

ServeConfig smallConfig() {
  ServeConfig c;
  c.kshort = 5, c.cut = 4, c.K = 6, c.hysteresis = 3, c.lookahead = 2, c.aperture_tol = 0.3;
  return c;
}

struct Frame {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(kN * kN * 3);
  std::vector<uint8_t> mask = std::vector<uint8_t>(kN * kN);
};

// Dark skin, a mouth mask around (cx, cy) and bright low-saturation teeth in its middle rows.
Frame mouthFrame(double cx, double cy, unsigned seed, int teethRows = 2) {
  Frame f;
  std::mt19937 rng(seed);
  for (int y = 0; y < kN; ++y)
    for (int x = 0; x < kN; ++x) {
      uint8_t* p = f.rgb.data() + (y * kN + x) * 3;
      const double e = std::hypot((x - cx) / 7.0, (y - cy) / 3.5);
      f.mask[static_cast<size_t>(y * kN + x)] = e < 0.8 ? 255 : e < 1.0 ? 140 : e < 1.2 ? 60 : 0;
      const int base = 50 + static_cast<int>(rng() % 30);
      p[0] = static_cast<uint8_t>(base + 40), p[1] = static_cast<uint8_t>(base), p[2] = static_cast<uint8_t>(base);
      if (e < 1.0 && std::fabs(y - cy) < teethRows) {
        const int t = 190 + static_cast<int>(rng() % 50);
        p[0] = static_cast<uint8_t>(t), p[1] = static_cast<uint8_t>(t - static_cast<int>(rng() % 10));
        p[2] = static_cast<uint8_t>(t - 20);
      }
    }
  return f;
}

std::string refusal(const BankData& b) {
  try {
    TeethPass pass(b, randomHead(1), smallConfig());
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(built)";
}

TEST(TeethPassBuild, IncoherentStampIsRefusedWithEveryBrokenRuleInOrder) {
  BankData b = smallBank(3, 1);
  b.stamp.pad = 0;
  b.stamp.band_c1 = 17;  // beyond window_w 16
  EXPECT_EQ(refusal(b),
            "teeth: GeometryStamp incoherent: band cols escape window; pad/shift_margin must be positive; stored "
            "band cols escape patch;");

  struct Case {
    void (*breakIt)(GeometryStamp&);
    const char* text;
  };
  const Case cases[] = {
      {[](GeometryStamp& s) { s.window_h = 0, s.band_r0 = 0, s.band_r1 = 0; }, " window dims must be positive;"},
      {[](GeometryStamp& s) { s.window_x0 = 20; }, " window x-range escapes canvas;"},
      {[](GeometryStamp& s) { s.window_y0 = -1; }, " window y-range escapes canvas;"},
      {[](GeometryStamp& s) { s.band_r1 = s.band_r0; }, " band rows escape window;"},
      {[](GeometryStamp& s) { s.band_c0 = -1; }, " band cols escape window;"},
      {[](GeometryStamp& s) { s.shift_margin = -1; }, " pad/shift_margin must be positive;"},
      {[](GeometryStamp& s) { s.band_r0 = 0, s.shift_margin = 4; }, " stored band rows escape patch;"},
      {[](GeometryStamp& s) { s.band_c1 = 16, s.shift_margin = 4, s.band_r1 = 4, s.band_r0 = 3; },
       " stored band cols escape patch;"},
  };
  for (const Case& c : cases) {
    GeometryStamp s = smallStamp();
    c.breakIt(s);
    try {
      s.validate();
      ADD_FAILURE() << c.text << " not refused";
    } catch (const std::runtime_error& e) {
      // Breaking one rule can break a later one too; the first failure named is this rule's.
      EXPECT_EQ(std::string(e.what()).rfind(std::string("teeth: GeometryStamp incoherent:") + c.text, 0), 0u)
          << e.what();
    }
  }
  EXPECT_NO_THROW(smallStamp().validate());
}

TEST(TeethPassBuild, BankSizeAndSidecarArraysMustMatchTheDonorCount) {
  BankData b = smallBank(3, 2);
  b.pixels.pop_back();
  EXPECT_EQ(refusal(b),
            "teeth: reference track is 755 bytes, the stamp requires 756 (n * stored_h * stored_w * 3) "
            "— a decoder that delivered a different pixel format would land here");
  b = smallBank(3, 2);
  b.aperture.pop_back();
  EXPECT_EQ(refusal(b), "teeth: bank sidecar arrays disagree with n_donors");
  b = smallBank(3, 2);
  b.cent.push_back(1.0);
  EXPECT_EQ(refusal(b), "teeth: bank sidecar arrays disagree with n_donors");
}

TEST(TeethPassBuild, OffsetsBandMaskAndPooledIndexFollowTheCanonicalPlacement) {
  BankData b = smallBank(5, 3);
  b.cent[0] = b.c_canon[0] + 2.5;  // ties round to even
  b.cent[1] = b.c_canon[1] - 1.5;
  b.cent[2] = b.c_canon[0] + 9.0;  // beyond the pad: clamped on placement
  const TeethPass pass(b, randomHead(2), smallConfig());
  const ref::Pass r(b, randomHead(2), smallConfig());
  EXPECT_EQ(pass.offsetX(0), 2);
  EXPECT_EQ(pass.offsetY(0), -2);
  const GeometryStamp s = smallStamp();
  for (int y = 0; y < s.window_h; ++y)
    for (int x = 0; x < s.window_w; ++x)
      EXPECT_EQ(pass.bandMask()[static_cast<size_t>(y * s.window_w + x)],
                y >= s.band_r0 && y < s.band_r1 && x >= s.band_c0 && x < s.band_c1 ? 1 : 0);
  const size_t plane = static_cast<size_t>(s.window_h) * s.window_w;
  std::vector<uint16_t> win(3 * plane);
  for (int d = 0; d < 5; ++d) {
    EXPECT_EQ(pass.offsetX(d), r.ox[static_cast<size_t>(d)]) << d;
    EXPECT_EQ(pass.offsetY(d), r.oy[static_cast<size_t>(d)]) << d;
    pass.canonicalWindowF16(d, win.data());
    std::vector<float> f(3 * plane), pooled;
    for (int ch = 0; ch < 3; ++ch)
      for (int y = 0; y < s.window_h; ++y)
        for (int x = 0; x < s.window_w; ++x) {
          const int v = r.donor(d, r.oy[static_cast<size_t>(d)], r.ox[static_cast<size_t>(d)], y, x, ch);
          const size_t at = ch * plane + static_cast<size_t>(y * s.window_w + x);
          ASSERT_EQ(win[at], v < 0 ? 0 : vesk::half::fromFloat(static_cast<float>(v) / 255.0f)) << d;
          f[at] = v < 0 ? 0.0f : ref::h(static_cast<float>(v) / 255.0f);
        }
    ref::pool(f, 3, s.window_h, s.window_w, 4, &pooled);
    for (size_t i = 0; i < pooled.size(); ++i)
      ASSERT_EQ(pass.pooledIndex(d)[i], vesk::half::fromFloat(pooled[i])) << d << " " << i;
    // Only the asked rows change.
    std::vector<uint16_t> rows(3 * plane, 0x1234);
    pass.canonicalWindowF16Rows(d, rows.data(), 3, 5);
    for (size_t i = 0; i < 3 * plane; ++i) {
      const int y = static_cast<int>((i % plane) / s.window_w);
      EXPECT_EQ(rows[i], y >= 3 && y < 5 ? win[i] : 0x1234) << i;
    }
  }
  // The difference table is the half-precision difference, whichever byte comes first.
  const float* T = TeethPass::dTable();
  EXPECT_EQ(T[0], 0.0f);
  EXPECT_EQ(T[255], 1.0f);
  EXPECT_EQ(T[17 * 256 + 200], T[200 * 256 + 17]);
  EXPECT_EQ(T[3 * 256 + 4], std::fabs(ref::h(ref::h(4 / 255.0f) - ref::h(3 / 255.0f))));
}

TEST(TeethPassRetrieval, ShiftIsTheMaskCentroidWithinThePad) {
  BankData b = smallBank(3, 4);
  TeethPass pass(b, randomHead(3), smallConfig());
  int dy = 99, dx = 99;
  std::string why;
  std::vector<uint8_t> mask(kN * kN, 127);
  EXPECT_FALSE(pass.deriveShift(mask.data(), nullptr, &dy, &dx, &why));
  EXPECT_EQ(why, "empty-pi");
  // Centroid (18.5, 14): dx = round-half-even(2.5) = 2, dy = round(-1.5) = -2.
  mask.assign(kN * kN, 0);
  mask[14 * kN + 18] = 128, mask[14 * kN + 19] = 255;
  ASSERT_TRUE(pass.deriveShift(mask.data(), nullptr, &dy, &dx, &why));
  EXPECT_EQ(dx, 2);
  EXPECT_EQ(dy, -2);
  const int32_t given[2] = {-3, 3};
  ASSERT_TRUE(pass.deriveShift(mask.data(), given, &dy, &dx, &why));
  EXPECT_EQ(dy, -3);
  EXPECT_EQ(dx, 3);
  const int32_t far[2] = {0, 4};
  EXPECT_FALSE(pass.deriveShift(mask.data(), far, &dy, &dx, &why));
  EXPECT_EQ(why, "shift-out-of-range");

  // A centroid 9 pixels from c_canon with pad 8.
  b.stamp.pad = 8;
  TeethPass wide(b, randomHead(3), smallConfig());
  mask.assign(kN * kN, 0);
  mask[static_cast<size_t>(15 * kN + 16 + 9)] = 200;
  mask[static_cast<size_t>(16 * kN + 16 + 9)] = 200;
  EXPECT_FALSE(wide.deriveShift(mask.data(), nullptr, &dy, &dx, &why));
  EXPECT_EQ(why, "shift-out-of-range");
  mask[static_cast<size_t>(15 * kN + 16 + 9)] = 0;
  mask[static_cast<size_t>(15 * kN + 16 + 8)] = 200;
  mask[static_cast<size_t>(16 * kN + 16 + 9)] = 0;
  mask[static_cast<size_t>(16 * kN + 16 + 8)] = 200;
  ASSERT_TRUE(wide.deriveShift(mask.data(), nullptr, &dy, &dx, &why));
  EXPECT_EQ(dx, 8);
}

TEST(TeethPassRetrieval, FewTeethPixelsFallBackToTheWholeMaskAndWeightsCarryOver) {
  BankData b = smallBank(3, 5);
  TeethPass pass(b, randomHead(4), smallConfig());
  ref::Pass r(b, randomHead(4), smallConfig());
  Frame f = mouthFrame(16, 15.5, 7, 0);  // no teeth rows yet
  // Exactly 20 bright, low-saturation pixels inside the mask.
  int painted = 0;
  for (int y = 14; y < 18 && painted < 20; ++y)
    for (int x = 10; x < 22 && painted < 20; ++x)
      if (f.mask[static_cast<size_t>(y * kN + x)] > 128) {
        uint8_t* p = f.rgb.data() + (y * kN + x) * 3;
        p[0] = p[1] = p[2] = 230;
        ++painted;
      }
  ASSERT_EQ(painted, 20);
  vesk::tessera::RetrieveWork w;
  pass.retrievePrepare(f.rgb.data(), f.mask.data(), 0, 0, &w);
  const GeometryStamp s = smallStamp();
  float sum = 0;
  for (int y = 0; y < s.window_h; ++y)
    for (int x = 0; x < s.window_w; ++x) {
      const bool inMask = f.mask[static_cast<size_t>((s.window_y0 + y) * kN + s.window_x0 + x)] >= 128;
      EXPECT_EQ(w.weights[static_cast<size_t>(y * s.window_w + x)], inMask ? 1.0f : 0.0f) << x << "," << y;
      sum += w.weights[static_cast<size_t>(y * s.window_w + x)];
    }
  EXPECT_EQ(w.total, sum);
  const ref::Pass::Work rw = r.prepare(f.rgb, f.mask, 0, 0);
  EXPECT_EQ(w.weights, rw.w);

  // The next frame's mask moved away: the carried weights keep 0.6 of the old ones.
  Frame g = mouthFrame(16, 15.5, 8);
  std::fill(g.mask.begin(), g.mask.end(), 0);
  pass.retrievePrepare(g.rgb.data(), g.mask.data(), 0, 0, &w);
  const ref::Pass::Work rg = r.prepare(g.rgb, g.mask, 0, 0);
  EXPECT_EQ(w.weights, rg.w);
  for (size_t p = 0; p < w.weights.size(); ++p) EXPECT_EQ(w.weights[p], rw.w[p] * 0.6f);
  EXPECT_EQ(w.total, rg.total);
  EXPECT_EQ(w.row_lo, rg.lo);
  EXPECT_EQ(w.row_hi, rg.hi);
}

TEST(TeethPassRetrieval, TermsAndRankingMatchTheReferenceOverARunOfFrames) {
  const BankData b = smallBank(7, 6);
  TeethPass pass(b, randomHead(5), smallConfig());
  ref::Pass r(b, randomHead(5), smallConfig());
  const double centres[][2] = {{16, 15.5}, {17.2, 15.1}, {15.4, 16.6}, {18.6, 13.9}, {16.0, 17.4}, {14.1, 15.5}};
  unsigned seed = 20;
  for (const auto& c : centres) {
    const Frame f = mouthFrame(c[0], c[1], seed, 1 + static_cast<int>(seed % 2));
    ++seed;
    int dy, dx;
    std::string why;
    ASSERT_TRUE(pass.deriveShift(f.mask.data(), nullptr, &dy, &dx, &why));
    ref::Pass::Work rw;
    const std::vector<int32_t> want = r.retrieve(f.rgb, f.mask, dy, dx, &rw);
    const std::vector<int32_t> got = pass.retrieve(f.rgb.data(), f.mask.data(), dy, dx);
    EXPECT_EQ(got, want) << "frame at " << c[0] << "," << c[1];
    ASSERT_EQ(got.size(), 6u);
    for (int d = 0; d < 7; ++d) {
      const float e = pass.exactTermFromBand(d, f.rgb.data(), rw.y0, rw.x0, kN, rw.w.data(), rw.lo, rw.hi);
      EXPECT_EQ(e, r.exactTerm(d, f.rgb, rw)) << d;
    }
    EXPECT_EQ(pass.retrieveSelect(rw.pooled, rw.exact), want);
  }
}

TEST(TeethPassRetrieval, SelectionKeepsOrderOnTiesFiltersApertureAndPadsToK) {
  BankData b = smallBank(3, 7);
  b.aperture = {1.0, 1.0, 1.0};
  ServeConfig c = smallConfig();
  c.K = 64, c.kshort = 3, c.cut = 3;
  {
    const TeethPass pass(b, randomHead(6), c);
    // Equal pooled terms keep donor order, equal exact terms keep pooled order.
    const std::vector<int32_t> got = pass.retrieveSelect({0.5f, 0.2f, 0.5f}, {0.3f, 0.3f, 0.3f});
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(got[1], 0);
    EXPECT_EQ(got[2], 2);
    for (size_t i = 3; i < 64; ++i) EXPECT_EQ(got[i], 2);
  }
  // Donor 0's aperture is beyond 0.3 x the best one's: never in the list unless it is the best.
  b.aperture = {1.5, 1.0, 1.0};
  const TeethPass pass(b, randomHead(6), c);
  std::vector<int32_t> got = pass.retrieveSelect({0.1f, 0.2f, 0.3f}, {0.2f, 0.1f, 0.15f});
  ASSERT_EQ(got.size(), 64u);
  EXPECT_EQ(got[0], 1);
  EXPECT_EQ(got[1], 2);
  for (int32_t d : got) EXPECT_NE(d, 0);
  // The exact terms come in pooled order: here pooled order is (2, 1, 0).
  got = pass.retrieveSelect({0.3f, 0.2f, 0.1f}, {0.3f, 0.1f, 0.2f});
  EXPECT_EQ(got[0], 1);
  EXPECT_EQ(got[1], 2);
  got = pass.retrieveSelect({0.1f, 0.2f, 0.3f}, {0.05f, 0.1f, 0.15f});
  for (int32_t d : got) EXPECT_EQ(d, 0) << "1.0 is too far from 1.5";
}

// Pushes frames through the pass and the reference side by side and compares every emission.
struct Twin {
  BankData bank;
  ServeConfig cfg;
  HeadWeights head;
  TeethPass pass;
  ref::Pass r;
  Twin(const BankData& b, const ServeConfig& c, const HeadWeights& h)
      : bank(b), cfg(c), head(h), pass(b, h, c), r(b, h, c) {}

  void expectSame(const FrameResult& got, const FrameResult& want, const std::string& what) {
    EXPECT_EQ(got.skipped, want.skipped) << what;
    EXPECT_EQ(got.reason, want.reason) << what;
    EXPECT_EQ(got.donors, want.donors) << what;
    ASSERT_EQ(got.pixels.size(), want.pixels.size()) << what;
    size_t diff = 0;
    for (size_t i = 0; i < got.pixels.size(); ++i) diff += got.pixels[i] != want.pixels[i];
    EXPECT_EQ(diff, 0u) << what;
    EXPECT_EQ(pass.stickySet(), r.sticky) << what;
    EXPECT_EQ(pass.lastEmitted(), r.last) << what;
  }
  bool push(int frame, const Frame& f, const int32_t* shift, const std::string& what) {
    FrameResult got, want;
    const bool g = pass.push(frame, f.rgb.data(), f.mask.data(), shift, &got);
    const bool w = r.push(frame, f.rgb, f.mask, shift, &want);
    EXPECT_EQ(g, w) << what;
    if (g && w) expectSame(got, want, what);
    return g;
  }
  bool flush(const std::string& what) {
    FrameResult got, want;
    const bool g = pass.flush(&got);
    const bool w = r.flush(&want);
    EXPECT_EQ(g, w) << what;
    if (g && w) expectSame(got, want, what);
    return g;
  }
};

TEST(TeethPassEmission, FramesLeaveOneLateWithStickyDonorsMatchingTheReference) {
  ServeConfig c = smallConfig();
  c.kshort = 7, c.cut = 7, c.K = 6, c.hysteresis = 3, c.lookahead = 2, c.aperture_tol = 2.0;
  Twin t(smallBank(7, 8), c, randomHead(7));
  FrameResult untouched;
  untouched.reason = "mine";
  const Frame f10 = mouthFrame(16, 15.5, 40);
  EXPECT_FALSE(t.pass.push(10, f10.rgb.data(), f10.mask.data(), nullptr, &untouched));
  EXPECT_EQ(untouched.reason, "mine");
  EXPECT_TRUE(untouched.pixels.empty());
  t.r.push(10, f10.rgb, f10.mask, nullptr, &untouched);

  t.push(11, mouthFrame(17, 15, 41), nullptr, "frame 10");
  EXPECT_EQ(t.pass.lastEmitted(), 10);
  const std::vector<int32_t> after10 = t.pass.stickySet();
  ASSERT_EQ(after10.size(), 3u);
  t.push(12, mouthFrame(15, 16, 42), nullptr, "frame 11");
  // Frame 11 follows 10: its set starts with frame 10's heaviest donors.
  ASSERT_GE(t.r.lastSet.size(), 3u);
  EXPECT_EQ(std::vector<int32_t>(t.r.lastSet.begin(), t.r.lastSet.begin() + 3), after10);
  t.push(14, mouthFrame(16, 15, 43), nullptr, "frame 12");
  t.push(15, mouthFrame(16.5, 15.5, 44), nullptr, "frame 14 after a gap");

  // A skipped frame comes out skipped and leaves the sticky set and the last index alone.
  Frame empty = mouthFrame(16, 15.5, 45);
  std::fill(empty.mask.begin(), empty.mask.end(), 0);
  t.push(16, empty, nullptr, "frame 15");
  const int32_t shift[2] = {1, -1};
  t.push(17, mouthFrame(17, 14.5, 46), shift, "frame 16 (skipped)");
  EXPECT_EQ(t.pass.lastEmitted(), 15);
  t.push(18, mouthFrame(16, 15.5, 47), nullptr, "frame 17 after a skip");
  EXPECT_TRUE(t.flush("frame 18"));
  EXPECT_FALSE(t.flush("nothing held"));
  // After a flush the next push emits nothing but continues the hysteresis.
  EXPECT_FALSE(t.push(19, mouthFrame(16, 15.5, 48), nullptr, "frame 19"));
  EXPECT_TRUE(t.flush("frame 19"));
}

TEST(TeethPassEmission, SkippedFrameCarriesItsReasonAndNoDonors) {
  TeethPass pass(smallBank(4, 9), randomHead(8), smallConfig());
  Frame empty = mouthFrame(16, 15.5, 50);
  std::fill(empty.mask.begin(), empty.mask.end(), 0);
  FrameResult out;
  out.donors = 7;
  out.pixels.assign(5, 1);
  EXPECT_FALSE(pass.push(0, empty.rgb.data(), empty.mask.data(), nullptr, &out));
  ASSERT_TRUE(pass.flush(&out));
  EXPECT_TRUE(out.skipped);
  EXPECT_EQ(out.reason, "empty-pi");
  EXPECT_EQ(out.donors, 0);
  EXPECT_TRUE(out.pixels.empty());
  EXPECT_EQ(pass.lastEmitted(), -2);
}

TEST(TeethPassEmission, EqualLogitsShareWeightEquallyAndUnmaskedPixelsKeepTheFrame) {
  const BankData b = smallBank(4, 10);
  HeadWeights zero = randomHead(9);
  for (auto* v : {&zero.cand0_w, &zero.cand0_b, &zero.cand2_w, &zero.cand2_b, &zero.cand4_w, &zero.cand4_b})
    std::fill(v->begin(), v->end(), 0.0f);
  zero.cand4_b[0] = 0.7f;
  TeethPass pass(b, zero, smallConfig());
  const int h = 8, w = 16, v = 3;
  const size_t plane = static_cast<size_t>(h) * w;
  std::vector<float> cands(v * 3 * plane), query(3 * plane), blended(3 * plane), weights((v + 1) * plane);
  std::mt19937 rng(3);
  for (float& x : cands) x = static_cast<float>(rng() % 256) / 255.0f;
  for (float& x : query) x = static_cast<float>(rng() % 256) / 255.0f;
  std::vector<uint8_t> mask(plane, 0);
  for (size_t p = 0; p < plane; p += 3) mask[p] = 1;
  pass.headForward(cands.data(), v, query.data(), mask.data(), blended.data(), weights.data());
  for (size_t p = 0; p < plane; ++p) {
    for (int k = 0; k < v; ++k) EXPECT_FLOAT_EQ(weights[k * plane + p], 1.0f / v);
    EXPECT_EQ(weights[v * plane + p], 0.0f);
    for (int ch = 0; ch < 3; ++ch) {
      if (mask[p] == 1) {
        EXPECT_NEAR(blended[ch * plane + p],
                    (cands[ch * plane + p] + cands[(3 + ch) * plane + p] + cands[(6 + ch) * plane + p]) / 3, 1e-6);
      } else {
        EXPECT_EQ(blended[ch * plane + p], query[ch * plane + p]);
      }
    }
  }

  // An emitted window: outside the compose mask every pixel is the frame's own, whatever its
  // mask value; the share statistics are 0.
  const Frame f = mouthFrame(16, 15.5, 51);
  FrameResult out;
  out.share_mean = out.share_max = 5.0f;
  pass.push(0, f.rgb.data(), f.mask.data(), nullptr, &out);
  ASSERT_TRUE(pass.flush(&out));
  ASSERT_FALSE(out.skipped);
  EXPECT_EQ(out.share_mean, 0.0f);
  EXPECT_EQ(out.share_max, 0.0f);
  EXPECT_EQ(pass.stats().masked_emissions, 1);
  EXPECT_EQ(pass.stats().share_sum, 0.0);
  const GeometryStamp s = smallStamp();
  for (int y = s.band_r1; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int ch = 0; ch < 3; ++ch)
        EXPECT_EQ(out.pixels[static_cast<size_t>((y * w + x) * 3 + ch)],
                  f.rgb[static_cast<size_t>(((s.window_y0 + y) * kN + s.window_x0 + x) * 3 + ch)]);
}

TEST(TeethPassEmission, WarmedPassPushesWithoutAllocating) {
  TeethPass pass(smallBank(7, 11), randomHead(10), smallConfig());
  std::vector<Frame> frames;
  for (unsigned i = 0; i < 6; ++i) frames.push_back(mouthFrame(15.0 + i % 3, 15.0 + i % 2, 60 + i));
  FrameResult out;
  for (int i = 0; i < 3; ++i) pass.push(i, frames[i].rgb.data(), frames[i].mask.data(), nullptr, &out);
  vesk::test::AllocationLimit none(1);
  for (int i = 3; i < 6; ++i) pass.push(i, frames[i].rgb.data(), frames[i].mask.data(), nullptr, &out);
  pass.flush(&out);
  EXPECT_EQ(none.refused(), 0u);
  EXPECT_FALSE(out.skipped);
}

}  // namespace
