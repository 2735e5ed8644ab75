// Every kernel on every compiled target the machine supports, against the scalar references, bit
// for bit, on random and edge inputs at every tail length and at unaligned offsets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/simd_reference.h"
#include "core/simd_targets.h"
#include "core/vesk_simd.h"
#include "core/vesk_simd_targets.h"
#include "hwy/targets.h"

namespace {

using vesk::ref::bits;
using vesk::ref::fromBits;

// Longer than three vectors of bytes on the widest target compiled here (and SVE up to 512 bits),
// plus an odd rest: covers every tail length.
constexpr size_t kMaxLen = 3 * 64 + 7;

using vesk::test::targetsToTest;

// Float results: the same bits, or NaN on both sides (which NaN an arithmetic operation on two NaNs
// returns is the processor's choice, not the kernel's).
::testing::AssertionResult sameFloat(float want, float got) {
  if (bits(want) == bits(got) || (std::isnan(want) && std::isnan(got))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "want " << want << " (0x" << std::hex << bits(want) << ") got " << got
                                       << " (0x" << bits(got) << ")";
}

class Kernels : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override {
    hwy::SetSupportedTargetsForTest(GetParam());
    ASSERT_STREQ(vesk::simd::target(), hwy::TargetName(GetParam()));
  }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
  std::mt19937 rng{12345};

  uint16_t randomHalf() { return static_cast<uint16_t>(rng()); }
  // Mostly ordinary values, with specials and random bit patterns mixed in.
  float randomFloat() {
    switch (rng() % 8) {
      case 0: return fromBits(static_cast<uint32_t>(rng()));
      case 1: return vesk::ref::f16ToF32(randomHalf());
      default: return std::uniform_real_distribution<float>(-4.0f, 4.0f)(rng);
    }
  }
};

std::vector<float> edgeFloats() {
  std::vector<float> v = {0.0f, -0.0f, 1.0f, -1.0f, 65504.0f, 65519.0f, 65520.0f, -65520.0f, 1e10f, -1e10f,
                          INFINITY, -INFINITY, std::numeric_limits<float>::quiet_NaN(),
                          fromBits(0x7F800001u), fromBits(0xFFBFFFFFu), fromBits(0x7FC02000u),
                          1.0f + std::ldexp(1.0f, -11), 1.0f + 3 * std::ldexp(1.0f, -11),
                          std::ldexp(1.0f, -14), std::ldexp(1.0f, -24), std::ldexp(1.0f, -25),
                          std::ldexp(1.0f, -25) * 1.0000001f, std::ldexp(1.0f, -26), std::ldexp(3.0f, -25),
                          std::ldexp(1.0f, -126), std::ldexp(1.0f, -149), -std::ldexp(1.0f, -149),
                          std::ldexp(1023.5f, -24), std::ldexp(2047.0f, -25), 3.4028235e38f};
  // Around every binary16 value: the value, the ties between neighbours and one ulp either side.
  for (uint32_t h = 0; h < 0x7C00u; h += 7) {
    const float lo = vesk::ref::f16ToF32(static_cast<uint16_t>(h));
    const float hi = vesk::ref::f16ToF32(static_cast<uint16_t>(h + 1));
    const float mid = lo + (hi - lo) / 2;
    for (float f : {lo, mid, std::nextafter(mid, 0.0f), std::nextafter(mid, INFINITY)}) {
      v.push_back(f);
      v.push_back(-f);
    }
  }
  return v;
}

TEST(HalfScalar, EdgeValues) {
  EXPECT_EQ(vesk::f32ToF16(65520.0f), 0x7C00);
  EXPECT_EQ(vesk::f32ToF16(65519.0f), 0x7BFF);
  EXPECT_EQ(vesk::f32ToF16(1.0f + std::ldexp(1.0f, -11)), 0x3C00);
  EXPECT_EQ(vesk::f32ToF16(std::ldexp(1.0f, -25)), 0x0000);             // a tie to the even zero
  EXPECT_EQ(vesk::f32ToF16(std::ldexp(3.0f, -25)), 0x0002);             // a tie to the even 2
  EXPECT_EQ(vesk::f32ToF16(-std::ldexp(1.0f, -26)), 0x8000);            // signed zero
  EXPECT_EQ(vesk::f32ToF16(std::numeric_limits<float>::quiet_NaN()), 0x7C00);
  EXPECT_EQ(vesk::f32ToF16(-std::numeric_limits<float>::quiet_NaN()), 0xFC00);
  EXPECT_EQ(vesk::f32ToF16(-INFINITY), 0xFC00);
  for (float f : edgeFloats()) ASSERT_EQ(vesk::f32ToF16(f), vesk::ref::f32ToF16(f, true)) << f;
}

TEST(HalfScalar, HalfToFloatAllValues) {
  std::vector<uint16_t> h(65536);
  for (uint32_t i = 0; i < 65536; ++i) h[i] = static_cast<uint16_t>(i);
  std::vector<float> got(65536);
  vesk::halfToFloat(h.data(), got.data(), h.size());
  for (uint32_t i = 0; i < 65536; ++i) ASSERT_EQ(bits(got[i]), bits(vesk::ref::f16ToF32(h[i]))) << i;
}

TEST_P(Kernels, F16ToF32AllValuesAndTails) {
  std::vector<uint16_t> h(65536 + 8);
  for (uint32_t i = 0; i < h.size(); ++i) h[i] = static_cast<uint16_t>(i * 7919u);
  std::vector<float> got(h.size());
  for (size_t off = 0; off < 4; ++off) {
    vesk::simd::f16ToF32(h.data() + off, got.data() + off, 65536);
    for (size_t i = off; i < off + 65536; ++i) ASSERT_EQ(bits(got[i]), bits(vesk::ref::f16ToF32(h[i]))) << h[i];
  }
  for (size_t n = 0; n <= kMaxLen; ++n) {
    std::vector<float> out(n + 2, 42.0f);
    vesk::simd::f16ToF32(h.data() + 1, out.data() + 1, n);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(bits(out[i + 1]), bits(vesk::ref::f16ToF32(h[i + 1])));
    ASSERT_EQ(out[0], 42.0f);
    ASSERT_EQ(out[n + 1], 42.0f) << "wrote past the end, n=" << n;
  }
}

TEST_P(Kernels, F32ToF16EdgesAndTails) {
  std::vector<float> src = edgeFloats();
  for (int i = 0; i < 20000; ++i) src.push_back(randomFloat());
  std::vector<uint16_t> got(src.size() + 4);
  for (size_t off = 0; off < 4; ++off) {
    vesk::simd::f32ToF16(src.data() + off, got.data() + off, src.size() - off);
    for (size_t i = off; i < src.size(); ++i)
      ASSERT_EQ(got[i], vesk::ref::f32ToF16(src[i])) << std::hexfloat << src[i] << " at " << i;
  }
  const float specials[3] = {65520.0f, 65519.0f, 1.0f + std::ldexp(1.0f, -11)};
  uint16_t h[3];
  vesk::simd::f32ToF16(specials, h, 3);
  EXPECT_EQ(h[0], 0x7C00);
  EXPECT_EQ(h[1], 0x7BFF);
  EXPECT_EQ(h[2], 0x3C00);
  // A NaN stays a quiet NaN with the input's top mantissa bits.
  const float nans[2] = {fromBits(0x7F802000u), fromBits(0xFFC00000u)};
  vesk::simd::f32ToF16(nans, h, 2);
  EXPECT_EQ(h[0], 0x7E01);
  EXPECT_EQ(h[1], 0xFE00);
  for (size_t n = 0; n <= kMaxLen; ++n) {
    std::vector<uint16_t> out(n + 2, 0xABCD);
    vesk::simd::f32ToF16(src.data() + 3, out.data() + 1, n);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i + 1], vesk::ref::f32ToF16(src[i + 3]));
    ASSERT_EQ(out[n + 1], 0xABCD) << "wrote past the end, n=" << n;
  }
}

TEST_P(Kernels, Rgb8ToPlanarF16) {
  // Every byte value, then random pixels at each length and offset.
  std::vector<uint8_t> all(3 * 256);
  for (int i = 0; i < 256; ++i) all[3 * i] = all[3 * i + 1] = all[3 * i + 2] = static_cast<uint8_t>(i);
  std::vector<uint16_t> planes(3 * 256);
  vesk::simd::rgb8ToPlanarF16(all.data(), planes.data(), 256, 256);
  EXPECT_EQ(planes[255], 0x3C00);
  EXPECT_EQ(planes[0], 0);
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 256; ++i)
      ASSERT_EQ(planes[c * 256 + i], vesk::ref::f32ToF16(static_cast<float>(i) / 255.0f)) << i;

  std::vector<uint8_t> rgb(3 * kMaxLen + 8);
  for (auto& b : rgb) b = static_cast<uint8_t>(rng());
  for (size_t n = 0; n <= kMaxLen; ++n) {
    const size_t off = n % 4;
    const size_t stride = n + 3;
    std::vector<uint16_t> got(3 * stride + 1, 0x5555), want(3 * stride + 1, 0x5555);
    vesk::simd::rgb8ToPlanarF16(rgb.data() + off, got.data() + 1, stride, n);
    vesk::ref::rgb8ToPlanarF16(rgb.data() + off, want.data() + 1, stride, n);
    ASSERT_EQ(got, want) << "n=" << n;
  }
}

TEST_P(Kernels, RoundF16Mul) {
  std::vector<float> a = edgeFloats(), b;
  a.resize(a.size() + 4000);
  for (size_t i = 0; i < a.size(); ++i) {
    if (i >= a.size() - 4000) a[i] = randomFloat();
    b.push_back(i % 5 == 0 ? randomFloat() : std::uniform_real_distribution<float>(-2.0f, 2.0f)(rng));
  }
  for (size_t off = 0; off < 4; ++off) {
    const size_t n = a.size() - off;
    std::vector<float> got(n), want(n);
    vesk::simd::roundF16Mul(a.data() + off, b.data() + off, got.data(), n);
    vesk::ref::roundF16Mul(a.data() + off, b.data() + off, want.data(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(sameFloat(want[i], got[i])) << "a=" << a[i + off] << " b=" << b[i + off];
  }
  // In place, over the second operand.
  {
    std::vector<float> inPlace(b.begin(), b.begin() + 101), want(101);
    vesk::ref::roundF16Mul(a.data(), inPlace.data(), want.data(), 101);
    vesk::simd::roundF16Mul(a.data(), inPlace.data(), inPlace.data(), 101);
    for (size_t i = 0; i < 101; ++i) ASSERT_TRUE(sameFloat(want[i], inPlace[i]));
  }
  for (size_t n = 0; n <= kMaxLen; ++n) {
    std::vector<float> got(n + 1, 7.0f), want(n);
    vesk::simd::roundF16Mul(a.data() + 1, b.data() + 2, got.data(), n);
    vesk::ref::roundF16Mul(a.data() + 1, b.data() + 2, want.data(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(sameFloat(want[i], got[i]));
    ASSERT_EQ(got[n], 7.0f);
  }
}

struct Planes {
  std::vector<uint16_t> a, b, w;
  std::vector<float> wf;
};

TEST_P(Kernels, RetrievalTerms) {
  auto make = [&](size_t n, int kind) {
    Planes p;
    p.a.resize(3 * n + 3);
    p.b.resize(3 * n + 3);
    p.w.resize(n + 3);
    p.wf.resize(n + 3);
    std::uniform_real_distribution<float> pix(0.0f, 1.0f), wt(0.0f, 2.0f);
    for (size_t i = 0; i < p.a.size(); ++i) {
      p.a[i] = vesk::ref::f32ToF16(pix(rng));
      p.b[i] = kind == 1 ? p.a[i] : vesk::ref::f32ToF16(pix(rng));
      if (kind == 2 && rng() % 7 == 0) p.a[i] = randomHalf();  // specials, subnormals, NaNs
    }
    for (size_t i = 0; i < p.w.size(); ++i) {
      p.w[i] = vesk::ref::f32ToF16(rng() % 4 == 0 ? 0.0f : wt(rng));
      p.wf[i] = rng() % 4 == 0 ? (rng() % 2 ? 0.0f : -0.0f) : wt(rng);
      if (kind == 2 && rng() % 11 == 0) p.wf[i] = randomFloat();
    }
    return p;
  };
  for (int kind = 0; kind < 3; ++kind) {
    for (size_t n = 0; n <= kMaxLen; ++n) {
      const Planes p = make(n, kind);
      const size_t off = n % 3;
      const uint16_t* a = p.a.data() + off;
      const uint16_t* b = p.b.data() + off;
      EXPECT_TRUE(sameFloat(vesk::ref::retrieveTermPooled(a, b, p.w.data() + off, n),
                            vesk::simd::retrieveTermPooled(a, b, p.w.data() + off, n)))
          << "pooled n=" << n << " kind=" << kind;
      EXPECT_TRUE(sameFloat(vesk::ref::retrieveTermExactRange(a, b, p.wf.data() + off, n, 0, n),
                            vesk::simd::retrieveTermExact(a, b, p.wf.data() + off, n)))
          << "exact n=" << n << " kind=" << kind;
      const size_t begin = n / 3, end = n - n / 5;
      EXPECT_TRUE(sameFloat(vesk::ref::retrieveTermExactRange(a, b, p.wf.data() + off, n, begin, end),
                            vesk::simd::retrieveTermExactRange(a, b, p.wf.data() + off, n, begin, end)))
          << "range n=" << n << " kind=" << kind;
      if (kind == 1) {
        EXPECT_EQ(vesk::simd::retrieveTermExact(a, b, p.wf.data() + off, n), 0.0f);
      }
    }
  }
  // All weights zero gives 0 whatever the pixels.
  Planes p = make(77, 2);
  std::fill(p.wf.begin(), p.wf.end(), 0.0f);
  EXPECT_EQ(bits(vesk::simd::retrieveTermExact(p.a.data(), p.b.data(), p.wf.data(), 77)), 0u);
  EXPECT_THROW(vesk::simd::retrieveTermExactRange(p.a.data(), p.b.data(), p.wf.data(), 77, 10, 78),
               std::runtime_error);
}

TEST_P(Kernels, Conv3x3Range) {
  struct Shape {
    int N, Cin, H, W, Cout;
  };
  const Shape shapes[] = {{1, 1, 1, 1, 1}, {1, 3, 1, 1, 5}, {2, 2, 3, 2, 3},  {1, 3, 5, 17, 6},
                          {2, 4, 4, 35, 5}, {1, 1, 2, 70, 9}, {1, 5, 3, 1, 4}, {1, 2, 9, 64 + 2, 7}};
  for (const Shape& s : shapes) {
    const size_t plane = static_cast<size_t>(s.H) * s.W;
    std::vector<float> in(static_cast<size_t>(s.N) * s.Cin * plane + 1), w(static_cast<size_t>(s.Cout) * s.Cin * 9 + 1),
        bias(s.Cout);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto& v : in) v = dist(rng);
    for (auto& v : w) v = dist(rng);
    for (auto& v : bias) v = dist(rng);
    const int planes = s.N * s.Cout;
    for (int begin : {0, 1, planes / 2}) {
      for (int end : {planes, planes - 1, begin + 1}) {
        if (end < begin || end > planes) continue;
        std::vector<float> got(static_cast<size_t>(planes) * plane + 1, 3.0f);
        std::vector<float> want = got;
        // Unaligned buffers: everything one float in.
        vesk::simd::conv3x3Range(in.data() + 1, s.N, s.Cin, s.H, s.W, w.data() + 1, bias.data(), s.Cout,
                                 got.data() + 1, begin, end);
        vesk::ref::conv3x3Range(in.data() + 1, s.N, s.Cin, s.H, s.W, w.data() + 1, bias.data(), s.Cout,
                                want.data() + 1, begin, end);
        for (size_t i = 0; i < got.size(); ++i)
          ASSERT_EQ(bits(got[i]), bits(want[i])) << "shape " << s.N << "x" << s.Cin << "x" << s.H << "x" << s.W
                                                 << " -> " << s.Cout << " [" << begin << "," << end << ") at " << i;
      }
    }
  }
  // A 1x1 image uses only the centre taps.
  const float in1[2] = {2.0f, 3.0f};
  float w1[18];
  for (int i = 0; i < 18; ++i) w1[i] = 100.0f + static_cast<float>(i);
  const float b1 = 0.5f;
  float out1 = 0.0f;
  vesk::simd::conv3x3Range(in1, 1, 2, 1, 1, w1, &b1, 1, &out1, 0, 1);
  EXPECT_EQ(out1, 0.5f + (2.0f * 104.0f + 3.0f * 113.0f));
  EXPECT_THROW(vesk::simd::conv3x3Range(in1, 1, 2, 1, 1, w1, &b1, 1, &out1, 0, 2), std::runtime_error);
}

TEST_P(Kernels, ReluInPlaceKeepsNaNAndSignedZero) {
  std::vector<float> v = edgeFloats();
  for (int i = 0; i < 100; ++i) v.push_back(randomFloat());
  for (size_t off = 0; off < 4; ++off) {
    std::vector<float> got(v.begin() + static_cast<std::ptrdiff_t>(off), v.end());
    vesk::simd::reluInPlace(got.data(), got.size());
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_TRUE(sameFloat(std::max(v[i + off], 0.0f), got[i])) << "x=" << v[i + off];
  }
}

TEST_P(Kernels, ElementWiseUpdatesMatchTheirScalarStatements) {
  std::vector<float> a = edgeFloats(), b, c;
  for (int i = 0; i < 300; ++i) a.push_back(randomFloat());
  for (size_t i = 0; i < a.size(); ++i) {
    b.push_back(i % 7 == 0 ? randomFloat() : std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng));
    c.push_back(a[(i * 31) % a.size()]);
  }
  for (size_t off = 0; off < 3; ++off) {
    const size_t n = a.size() - off;
    const float* x = b.data() + off;
    const float* y = c.data() + off;
    std::vector<float> m(a.begin() + static_cast<std::ptrdiff_t>(off), a.end()), s = m, d = m, p = m;
    vesk::simd::maxInPlace(m.data(), x, n);
    vesk::simd::addInPlace(s.data(), x, n);
    vesk::simd::divInPlace(d.data(), x, n);
    vesk::simd::addProduct(p.data(), x, y, n);
    for (size_t i = 0; i < n; ++i) {
      const float v = a[i + off];
      ASSERT_TRUE(sameFloat(std::max(v, x[i]), m[i])) << "max " << v << " " << x[i];
      ASSERT_TRUE(sameFloat(v + x[i], s[i])) << "add " << v << " " << x[i];
      ASSERT_TRUE(sameFloat(v / x[i], d[i])) << "div " << v << " " << x[i];
      const float prod = x[i] * y[i];  // rounded on its own: no fused multiply-add
      ASSERT_TRUE(sameFloat(v + prod, p[i])) << "addProduct " << v << " " << x[i] << " " << y[i];
    }
  }
}

TEST_P(Kernels, Yuv420RowToRgb24) {
  // Black, white and the odd last pixel.
  {
    const uint8_t y[3] = {16, 235, 100};
    const uint8_t u[2] = {128, 90}, v[2] = {128, 200};
    uint8_t rgb[9];
    vesk::simd::yuv420RowToRgb24(y, u, v, 2, 1, rgb);
    EXPECT_EQ(rgb[0], 0);
    EXPECT_EQ(rgb[1], 0);
    EXPECT_EQ(rgb[2], 0);
    EXPECT_EQ(rgb[3], 255);
    EXPECT_EQ(rgb[4], 255);
    EXPECT_EQ(rgb[5], 255);
  }
  std::vector<uint8_t> y(kMaxLen + 8), u(kMaxLen + 8), v(kMaxLen + 8), uv(2 * kMaxLen + 8);
  auto fill = [&](int mode) {
    for (auto* vec : {&y, &u, &v, &uv})
      for (auto& b : *vec) {
        const uint32_t r = rng();
        b = mode == 0 ? static_cast<uint8_t>(r) : (r % 2 ? 0 : 255);  // random, or the extremes
      }
  };
  for (int mode = 0; mode < 2; ++mode) {
    fill(mode);
    for (int width = 0; width <= static_cast<int>(kMaxLen); ++width) {
      const size_t off = static_cast<size_t>(width) % 4;
      std::vector<uint8_t> got(3 * static_cast<size_t>(width) + 4, 0x77), want(got);
      // Planar chroma.
      vesk::simd::yuv420RowToRgb24(y.data() + off, u.data() + off, v.data() + 1, width, 1, got.data() + 1);
      vesk::ref::yuv420RowToRgb24(y.data() + off, u.data() + off, v.data() + 1, width, 1, want.data() + 1);
      ASSERT_EQ(got, want) << "planar width=" << width;
      // NV12, NV21 and a chroma layout without a vector path.
      const uint8_t* base = uv.data() + off;
      const std::pair<const uint8_t*, const uint8_t*> layouts[3] = {
          {base, base + 1}, {base + 1, base}, {base, base + 2 * static_cast<ptrdiff_t>(kMaxLen / 2 + 1)}};
      for (const auto& [cu, cv] : layouts) {
        const int step = 2;
        vesk::simd::yuv420RowToRgb24(y.data() + 1, cu, cv, width, step, got.data() + 1);
        vesk::ref::yuv420RowToRgb24(y.data() + 1, cu, cv, width, step, want.data() + 1);
        ASSERT_EQ(got, want) << "interleaved width=" << width;
      }
    }
  }
  // Every luma against every chroma pair at once: 256 x 256 x 256 combinations are covered in
  // slices of (y, u) with v sweeping.
  std::vector<uint8_t> ys(512), us(256), vs(256), got(3 * 512), want(3 * 512);
  for (int uval = 0; uval < 256; uval += 3) {
    for (int i = 0; i < 512; ++i) ys[i] = static_cast<uint8_t>(i * 37 + uval);
    for (int i = 0; i < 256; ++i) {
      us[i] = static_cast<uint8_t>(uval);
      vs[i] = static_cast<uint8_t>(i);
    }
    vesk::simd::yuv420RowToRgb24(ys.data(), us.data(), vs.data(), 512, 1, got.data());
    vesk::ref::yuv420RowToRgb24(ys.data(), us.data(), vs.data(), 512, 1, want.data());
    ASSERT_EQ(got, want) << "u=" << uval;
  }
  EXPECT_THROW(vesk::simd::yuv420RowToRgb24(ys.data(), us.data(), vs.data(), -1, 1, got.data()), std::runtime_error);
}

// A paste setup: crop, mask, filter tables and a row of source coordinates.
struct PasteCase {
  int side = 0;
  std::vector<float> src4;
  std::vector<uint8_t> mask;
  std::vector<float> lanczos, bilinear;
  std::vector<int> colU, colV;
};

PasteCase makePaste(std::mt19937& rng, int side, int width, int mode) {
  PasteCase c;
  c.side = side;
  c.src4.resize(static_cast<size_t>(side) * side * 4);
  std::uniform_real_distribution<float> pix(-20.0f, 275.0f);
  for (size_t i = 0; i < c.src4.size(); ++i) c.src4[i] = (i % 4 == 3) ? 0.0f : pix(rng);
  c.mask.resize(static_cast<size_t>(side) * side);
  for (auto& m : c.mask) {
    const uint32_t r = rng() % 4;
    m = mode == 1 ? 255 : (r == 0 ? 0 : (r == 1 ? 255 : static_cast<uint8_t>(rng())));
  }
  c.lanczos.resize(32 * 8);
  c.bilinear.resize(32 * 2);
  for (int p = 0; p < 32; ++p) {
    const float t = static_cast<float>(p) / 32.0f;
    float sum = 0.0f;
    for (int k = 0; k < 8; ++k) {
      const float d = static_cast<float>(k - 3) - t;
      const float w = d == 0.0f ? 1.0f
                                : std::sin(3.14159265f * d) * std::sin(3.14159265f * d / 4.0f) /
                                      (3.14159265f * 3.14159265f * d * d / 4.0f);
      c.lanczos[p * 8 + k] = w;
      sum += w;
    }
    for (int k = 0; k < 8; ++k) c.lanczos[p * 8 + k] /= sum;
    c.bilinear[2 * p] = 1.0f - t;
    c.bilinear[2 * p + 1] = t;
  }
  // Source coordinates sweep across the crop and past both of its edges.
  const int span = (side + 8) * 1024;
  for (int i = 0; i < width; ++i) {
    c.colU.push_back(static_cast<int>(rng() % static_cast<uint32_t>(span)) - 5 * 1024 + 16);
    c.colV.push_back(static_cast<int>(rng() % 2048) - 1024);
  }
  return c;
}

TEST_P(Kernels, PasteLanczos8Row) {
  for (int mode = 0; mode < 2; ++mode) {
    for (int side : {1, 4, 9, 24}) {
      const int width = 40;
      PasteCase c = makePaste(rng, side, width, mode);
      std::vector<uint8_t> frame(3 * 64);
      for (auto& b : frame) b = static_cast<uint8_t>(rng());
      for (int rowV = -6 * 1024; rowV < (side + 5) * 1024; rowV += 357) {
        for (int x0 : {0, 3}) {
          const int x1 = x0 + width - 1 - (rowV & 7);
          std::vector<uint8_t> got = frame, want = frame;
          vesk::simd::pasteLanczos8Row(c.src4.data(), side, c.mask.data(), c.lanczos.data(), c.bilinear.data(),
                                       c.colU.data(), c.colV.data(), 0, rowV, x0, x1, got.data());
          vesk::ref::pasteLanczos8Row(c.src4.data(), side, c.mask.data(), c.lanczos.data(), c.bilinear.data(),
                                      c.colU.data(), c.colV.data(), 0, rowV, x0, x1, want.data());
          ASSERT_EQ(got, want) << "side=" << side << " rowV=" << rowV << " x0=" << x0 << " mode=" << mode;
        }
      }
    }
  }
}

TEST_P(Kernels, PasteCoverageRules) {
  PasteCase c = makePaste(rng, 16, 1, 1);
  std::vector<uint8_t> zeroMask(c.mask.size(), 0);
  const int at = 8 * 1024 + 16;  // a whole-pixel position well inside the crop: phase 0 filters
  c.colU = {at};
  c.colV = {0};
  uint8_t px[3] = {10, 20, 30};
  vesk::simd::pasteLanczos8Row(c.src4.data(), 16, zeroMask.data(), c.lanczos.data(), c.bilinear.data(), c.colU.data(),
                               c.colV.data(), 0, at, 0, 0, px);
  EXPECT_EQ(px[0], 10);
  EXPECT_EQ(px[1], 20);
  EXPECT_EQ(px[2], 30);
  // Fully covered: the Lanczos sample itself, truncated (phase 0 filters are 1 at the centre tap).
  for (int p = 0; p < 8; ++p) c.lanczos[p] = p == 3 ? 1.0f : 0.0f;
  const size_t centre = (8 * 16 + 8) * 4;
  c.src4[centre] = 100.75f;
  c.src4[centre + 1] = 0.25f;
  c.src4[centre + 2] = 254.99f;
  vesk::simd::pasteLanczos8Row(c.src4.data(), 16, c.mask.data(), c.lanczos.data(), c.bilinear.data(), c.colU.data(),
                               c.colV.data(), 0, at, 0, 0, px);
  EXPECT_EQ(px[0], 100);
  EXPECT_EQ(px[1], 0);
  EXPECT_EQ(px[2], 254);
  // A NaN in the crop gives 0 rather than an undefined conversion.
  c.src4[centre] = std::numeric_limits<float>::quiet_NaN();
  vesk::simd::pasteLanczos8Row(c.src4.data(), 16, c.mask.data(), c.lanczos.data(), c.bilinear.data(), c.colU.data(),
                               c.colV.data(), 0, at, 0, 0, px);
  EXPECT_EQ(px[0], 0);
  EXPECT_THROW(vesk::simd::pasteLanczos8Row(c.src4.data(), 0, c.mask.data(), c.lanczos.data(), c.bilinear.data(),
                                            c.colU.data(), c.colV.data(), 0, at, 0, 0, px),
               std::runtime_error);
}

TEST(KernelTargets, DefaultIsACompiledAndSupportedTarget) {
  hwy::SetSupportedTargetsForTest(0);
  const std::vector<int64_t> targets = targetsToTest();
  ASSERT_FALSE(targets.empty());
  const std::string chosen = vesk::simd::target();
  bool found = false;
  for (int64_t t : targets) found = found || chosen == hwy::TargetName(t);
  EXPECT_TRUE(found) << chosen;
  // Never the portable fallback when the processor offers a vector target.
  if (targets.size() > 1) {
    EXPECT_NE(chosen, hwy::TargetName(targets.back()));
  }
}

std::string targetName(const ::testing::TestParamInfo<int64_t>& info) { return hwy::TargetName(info.param); }

INSTANTIATE_TEST_SUITE_P(EveryTarget, Kernels, ::testing::ValuesIn(targetsToTest()), targetName);

}  // namespace
