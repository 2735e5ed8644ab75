// The int8 convolution operator against a reference written here from its definition (range from 0,
// scale and zero point, byte quantisation, 32-bit accumulation over the taps inside the input,
// dequantisation), bit for bit on every compiled SIMD target, and inside real ONNX Runtime sessions
// next to the runtime's own float Conv.
#include <gtest/gtest.h>
#include <hwy/targets.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/vesk_simd.h"
#include "int8conv_models.h"
#include "render/vesk_int8conv_vnni.h"
#include "test_util.h"

namespace {

using Floats = std::vector<float>;
using vesk::Int8ConvGeometry;
using vesk::test::Int8ConvSpec;

// --- The reference.

struct RefQuant {
  float scale;
  int32_t zero;
};

RefQuant refQuant(const Floats& x) {
  float lo = 0.0f, hi = 0.0f;
  for (float v : x) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  RefQuant q{(hi - lo) / 255.0f, 0};
  float z = 0.0f;
  if (q.scale > 0.0f) {
    z = std::nearbyint(-lo / q.scale);
  } else {
    q.scale = 1.0f;
    z = std::nearbyint(-lo);
  }
  q.zero = static_cast<int32_t>(std::clamp(z, 0.0f, 255.0f));
  return q;
}

int32_t quantise(float x, const RefQuant& q) {
  return static_cast<int32_t>(std::clamp(std::nearbyint(x / q.scale) + static_cast<float>(q.zero), 0.0f, 255.0f));
}

Floats refConv(const Int8ConvSpec& s, const Floats& x) {
  const RefQuant q = refQuant(x);
  const int64_t Ho = s.Ho(), Wo = s.Wo(), cg = s.C / s.geo.group, perGroup = s.M / s.geo.group;
  Floats out(static_cast<size_t>(s.N * s.M * Ho * Wo));
  for (int64_t n = 0; n < s.N; ++n)
    for (int64_t m = 0; m < s.M; ++m)
      for (int64_t y = 0; y < Ho; ++y)
        for (int64_t xo = 0; xo < Wo; ++xo) {
          int64_t acc = 0, wsum = 0;
          for (int64_t ky = 0; ky < s.kH; ++ky)
            for (int64_t kx = 0; kx < s.kW; ++kx) {
              const int64_t iy = y * s.geo.strideH - s.geo.padTop + ky * s.geo.dilH;
              const int64_t ix = xo * s.geo.strideW - s.geo.padLeft + kx * s.geo.dilW;
              if (iy < 0 || iy >= s.H || ix < 0 || ix >= s.W) continue;
              for (int64_t c = 0; c < cg; ++c) {
                const int64_t ci = m / perGroup * cg + c;
                const int32_t w = s.weights[static_cast<size_t>(((m * cg + c) * s.kH + ky) * s.kW + kx)];
                acc += quantise(x[static_cast<size_t>(((n * s.C + ci) * s.H + iy) * s.W + ix)], q) * w;
                wsum += w;
              }
            }
          const float ws = q.scale * s.wscale[static_cast<size_t>(m)];
          out[static_cast<size_t>(((n * s.M + m) * Ho + y) * Wo + xo)] =
              ws * static_cast<float>(acc - q.zero * wsum) + s.bias[static_cast<size_t>(m)];
        }
  return out;
}

// A float convolution of the input with the dequantised weights and zero padding, in double.
std::vector<double> floatConv(const Int8ConvSpec& s, const Floats& x) {
  const Floats wf = s.dequantised();
  const int64_t Ho = s.Ho(), Wo = s.Wo(), cg = s.C / s.geo.group, perGroup = s.M / s.geo.group;
  std::vector<double> out(static_cast<size_t>(s.N * s.M * Ho * Wo));
  for (int64_t n = 0; n < s.N; ++n)
    for (int64_t m = 0; m < s.M; ++m)
      for (int64_t y = 0; y < Ho; ++y)
        for (int64_t xo = 0; xo < Wo; ++xo) {
          double acc = s.bias[static_cast<size_t>(m)];
          for (int64_t ky = 0; ky < s.kH; ++ky)
            for (int64_t kx = 0; kx < s.kW; ++kx) {
              const int64_t iy = y * s.geo.strideH - s.geo.padTop + ky * s.geo.dilH;
              const int64_t ix = xo * s.geo.strideW - s.geo.padLeft + kx * s.geo.dilW;
              if (iy < 0 || iy >= s.H || ix < 0 || ix >= s.W) continue;
              for (int64_t c = 0; c < cg; ++c)
                acc += double{wf[static_cast<size_t>(((m * cg + c) * s.kH + ky) * s.kW + kx)]} *
                       x[static_cast<size_t>(((n * s.C + m / perGroup * cg + c) * s.H + iy) * s.W + ix)];
            }
          out[static_cast<size_t>(((n * s.M + m) * Ho + y) * Wo + xo)] = acc;
        }
  return out;
}

// The most the activation quantisation can move an output: half a step per tap and channel read.
double quantBound(const Int8ConvSpec& s, float scale) {
  double worst = 0;
  const size_t per = s.weights.size() / static_cast<size_t>(s.M);
  for (int64_t m = 0; m < s.M; ++m) {
    double sum = 0;
    for (size_t i = 0; i < per; ++i) sum += std::fabs(static_cast<double>(s.weights[m * per + i]) * s.wscale[m]);
    worst = std::max(worst, sum);
  }
  return worst * scale * 0.5 * (1 + 1e-4) + 1e-5;
}

// --- Inputs.

Int8ConvSpec makeSpec(std::mt19937& rng, int64_t N, int64_t C, int64_t H, int64_t W, int64_t M, int64_t kH, int64_t kW,
                      Int8ConvGeometry geo = {}) {
  Int8ConvSpec s;
  s.N = N, s.C = C, s.H = H, s.W = W, s.M = M, s.kH = kH, s.kW = kW, s.geo = geo;
  std::uniform_int_distribution<int> wd(-128, 127);
  std::uniform_real_distribution<float> sd(0.001f, 0.02f), bd(-1.0f, 1.0f);
  s.weights.resize(static_cast<size_t>(M * (C / geo.group) * kH * kW));
  for (int8_t& v : s.weights) v = static_cast<int8_t>(wd(rng));
  for (int64_t m = 0; m < M; ++m) {
    s.wscale.push_back(sd(rng));
    s.bias.push_back(bd(rng));
  }
  return s;
}

Floats randomFloats(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> d(lo, hi);
  Floats v(n);
  for (float& x : v) x = d(rng);
  return v;
}

vesk::Int8ConvWeights pack(const Int8ConvSpec& s) {
  return vesk::int8ConvPack(s.weights.data(), s.M, s.C / s.geo.group, s.kH, s.kW, s.geo.group);
}

Floats runDirect(const Int8ConvSpec& s, const Floats& x) {
  const vesk::Int8ConvWeights w = pack(s);
  Floats out(static_cast<size_t>(s.N * s.M * s.Ho() * s.Wo()), NAN);
  vesk::int8Conv(x.data(), s.N, s.H, s.W, w, s.geo, s.wscale.data(), s.bias.data(), out.data());
  return out;
}

Floats runSession(const Int8ConvSpec& s, const Floats& x, bool floatConv = false, int threads = 1) {
  Ort::Session session = vesk::test::int8ConvSession(vesk::test::int8ConvModel(s, floatConv), threads);
  Floats out(static_cast<size_t>(s.N * s.M * s.Ho() * s.Wo()), NAN);
  vesk::test::runInt8Conv(session, s, x.data(), out.data());
  return out;
}

bool sameBits(const Floats& a, const Floats& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

::testing::AssertionResult within(const std::vector<double>& want, const Floats& got, double tol) {
  if (want.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < want.size(); ++i)
    if (!(std::fabs(want[i] - got[i]) <= tol))
      return ::testing::AssertionFailure()
             << "at " << i << ": want " << want[i] << " got " << got[i] << " (tol " << tol << ")";
  return ::testing::AssertionSuccess();
}

// Targets this operator was built for that the processor runs.
std::vector<int64_t> targets() {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t mask = hwy::SupportedTargets() & vesk::int8ConvTargets();
  std::vector<int64_t> out;
  for (int i = 0; i < 63; ++i)
    if ((mask & (int64_t{1} << i)) != 0) out.push_back(int64_t{1} << i);
  return out;
}

Int8ConvGeometry geom(int64_t sh, int64_t sw, std::array<int64_t, 4> pads, int64_t dh = 1, int64_t dw = 1,
                      int64_t group = 1) {
  Int8ConvGeometry g;
  g.strideH = sh, g.strideW = sw, g.padTop = pads[0], g.padLeft = pads[1], g.padBottom = pads[2], g.padRight = pads[3],
  g.dilH = dh, g.dilW = dw, g.group = group;
  return g;
}

// --- The operator's arithmetic.

TEST(Int8Conv, MatchesTheDefinitionOnEveryTargetWithTheSameBits) {
  std::mt19937 rng(3);
  struct Case {
    int64_t N, C, H, W, M, kH, kW;
    Int8ConvGeometry geo;
  };
  const Case cases[] = {
      {1, 16, 12, 20, 32, 3, 3, geom(1, 1, {1, 1, 1, 1})},           // the director's 3x3, one block pair
      {2, 5, 9, 11, 7, 3, 3, geom(1, 1, {1, 1, 1, 1})},              // channels past a group, outputs past a block
      {1, 3, 17, 23, 40, 5, 5, geom(2, 2, {2, 1, 0, 3})},            // stride 2, uneven pads, three blocks
      {1, 8, 13, 15, 16, 3, 3, geom(1, 1, {2, 2, 2, 2}, 2, 2)},      // dilation
      {1, 9, 7, 30, 48, 1, 1, geom(1, 1, {0, 0, 0, 0})},             // 1x1, all interior
      {1, 4, 4, 3, 17, 3, 5, geom(1, 1, {3, 4, 3, 4})},              // no interior column, pixels with no tap
      {1, 12, 10, 10, 24, 3, 3, geom(1, 2, {1, 1, 1, 1}, 1, 1, 4)},  // four groups
      {1, 2, 1, 1, 3, 1, 1, geom(1, 1, {0, 0, 0, 0})},               // a single pixel
  };
  const std::vector<int64_t> ts = targets();
  ASSERT_FALSE(ts.empty());
  for (const Case& c : cases) {
    const Int8ConvSpec s = makeSpec(rng, c.N, c.C, c.H, c.W, c.M, c.kH, c.kW, c.geo);
    const Floats x = randomFloats(rng, static_cast<size_t>(s.N * s.C * s.H * s.W), -1.5f, 2.5f);
    const Floats want = refConv(s, x);
    for (int64_t t : ts) {
      hwy::SetSupportedTargetsForTest(t);
      SCOPED_TRACE(std::string(hwy::TargetName(t)) + " C=" + std::to_string(s.C) + " H=" + std::to_string(s.H) +
                   " W=" + std::to_string(s.W) + " M=" + std::to_string(s.M) + " k=" + std::to_string(s.kH) + "x" +
                   std::to_string(s.kW));
      EXPECT_TRUE(sameBits(want, runDirect(s, x)));
    }
    hwy::SetSupportedTargetsForTest(0);
  }
}

TEST(Int8Conv, TheProcessorsDotProductRunsWhereItHasOne) {
  for (int64_t t : targets()) {
    hwy::SetSupportedTargetsForTest(t);
    EXPECT_STREQ(vesk::int8ConvBody(), t == HWY_AVX3_DL ? "vnni" : "portable") << hwy::TargetName(t);
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(Int8Conv, QuantisationRoundsHalfToEvenOnEveryTarget) {
  // A range of -8 .. 7.9375 gives the step 1/16 exactly and the zero point 128; inputs half a step
  // off the grid then divide to exact halves.
  const int64_t C = 3, H = 2, W = 21;
  Floats x(static_cast<size_t>(C * H * W));
  for (size_t i = 0; i < x.size(); ++i) x[i] = (static_cast<float>(i % 40) - 20.0f + 0.5f) / 16.0f;
  x[0] = -8.0f;
  x[1] = 7.9375f;
  float lo, hi;
  vesk::int8ActivationRange(x.data(), x.size(), lo, hi);
  const vesk::Int8Quant q = vesk::int8QuantParams(lo, hi);
  ASSERT_EQ(q.scale, 0.0625f);
  ASSERT_EQ(q.zero, 128);
  const int64_t G = 1;
  for (int64_t t : targets()) {
    hwy::SetSupportedTargetsForTest(t);
    SCOPED_TRACE(hwy::TargetName(t));
    std::vector<uint32_t> words(static_cast<size_t>(H * W * G), 0xdeadbeefu);
    vesk::int8QuantiseRows(x.data(), words.data(), C, H, W, G, q, 0, H);
    for (int64_t y = 0; y < H; ++y)
      for (int64_t i = 0; i < W; ++i) {
        const uint32_t word = words[static_cast<size_t>(y * W + i)];
        for (int64_t c = 0; c < C; ++c) {
          const float v = x[static_cast<size_t>((c * H + y) * W + i)];
          const double half = v * 16.0;  // k + 0.5, or an end of the range
          const auto got = static_cast<int>((word >> (8 * c)) & 255u);
          ASSERT_EQ(got, static_cast<int>(std::clamp(std::nearbyint(half) + 128.0, 0.0, 255.0))) << "x=" << v;
          // A half rounds to the even neighbour: 0.5 to 0, 1.5 to 2, -2.5 to -2.
          if (half != std::floor(half)) {
            ASSERT_EQ((got - 128) % 2, 0) << "x=" << v;
          }
        }
        EXPECT_EQ(word >> 24, 128u) << "the padding channel holds the zero point";
      }
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(Int8Conv, ScaleAndZeroPointAtTheEdgesOfTheRange) {
  std::mt19937 rng(5);
  Int8ConvSpec s = makeSpec(rng, 1, 6, 8, 9, 20, 3, 3, geom(1, 1, {1, 1, 1, 1}));

  // All zeros: scale 1, zero point 0, and the output is the bias everywhere.
  const Floats zeros(static_cast<size_t>(s.C * s.H * s.W), 0.0f);
  float lo, hi;
  vesk::int8ActivationRange(zeros.data(), zeros.size(), lo, hi);
  const vesk::Int8Quant q0 = vesk::int8QuantParams(lo, hi);
  EXPECT_EQ(q0.scale, 1.0f);
  EXPECT_EQ(q0.zero, 0);
  const Floats out = runDirect(s, zeros);
  for (int64_t m = 0; m < s.M; ++m)
    for (int64_t p = 0; p < s.Ho() * s.Wo(); ++p) ASSERT_EQ(out[m * s.Ho() * s.Wo() + p], s.bias[m]);

  // All positive: the range still starts at 0, so z = 0; all negative: z = 255.
  const Floats pos = randomFloats(rng, zeros.size(), 0.5f, 3.0f);
  vesk::int8ActivationRange(pos.data(), pos.size(), lo, hi);
  EXPECT_EQ(lo, 0.0f);
  EXPECT_EQ(vesk::int8QuantParams(lo, hi).zero, 0);
  EXPECT_TRUE(sameBits(refConv(s, pos), runDirect(s, pos)));
  const Floats neg = randomFloats(rng, zeros.size(), -3.0f, -0.5f);
  vesk::int8ActivationRange(neg.data(), neg.size(), lo, hi);
  EXPECT_EQ(hi, 0.0f);
  EXPECT_EQ(vesk::int8QuantParams(lo, hi).zero, 255);
  EXPECT_TRUE(sameBits(refConv(s, neg), runDirect(s, neg)));

  // A range past the pool's grain is reduced in parts with the same result.
  Floats big = randomFloats(rng, 50000, -1.0f, 1.0f);
  big[43210] = -7.0f;
  big[777] = 9.0f;
  vesk::int8ActivationRange(big.data(), big.size(), lo, hi);
  EXPECT_EQ(lo, -7.0f);
  EXPECT_EQ(hi, 9.0f);
}

TEST(Int8Conv, PaddedBordersEqualAFloatConvolutionWithZeroPadding) {
  // Inputs on the quantisation grid make the activation quantisation exact: any difference left at
  // the border would be the padded taps contributing.
  std::mt19937 rng(7);
  Int8ConvSpec s = makeSpec(rng, 1, 5, 7, 9, 18, 3, 3, geom(1, 1, {1, 1, 1, 1}));
  Floats x(static_cast<size_t>(s.C * s.H * s.W));
  std::uniform_int_distribution<int> k(-100, 155);
  for (float& v : x) v = static_cast<float>(k(rng)) / 64.0f;
  x[0] = -100.0f / 64.0f;
  x[1] = 155.0f / 64.0f;  // the range is exactly 255 steps of 1/64
  const std::vector<double> want = floatConv(s, x);
  EXPECT_TRUE(within(want, runDirect(s, x), 1e-4));
  // Off the grid the difference stays within half a step per tap read.
  const Floats y = randomFloats(rng, x.size(), -1.0f, 2.0f);
  EXPECT_TRUE(within(floatConv(s, y), runDirect(s, y), quantBound(s, refQuant(y).scale)));
}

TEST(Int8Conv, PackingRefusesWeightsThatMakeNoConvolution) {
  const std::vector<int8_t> w(48, 1);
  EXPECT_EQ(vesk::test::errorOf([&] { vesk::int8ConvPack(w.data(), 6, 2, 2, 2, 4); }),
            "com.zentrova.int8::Int8ConvVNNI: weights [6, 2, 2, 2] do not make a convolution of 4 group(s)");
  EXPECT_EQ(vesk::test::errorOf([&] { vesk::int8ConvPack(w.data(), 6, 0, 2, 2, 1); }),
            "com.zentrova.int8::Int8ConvVNNI: weights [6, 0, 2, 2] do not make a convolution of 1 group(s)");
  const vesk::Int8ConvWeights p = vesk::int8ConvPack(w.data(), 6, 2, 2, 2, 1);
  EXPECT_EQ(p.C4, 4);
  EXPECT_EQ(p.M16, 16);
  EXPECT_EQ(p.CK, 8);
  EXPECT_EQ(p.totals, std::vector<int32_t>(6, 8));
  EXPECT_EQ(p.tapSums, std::vector<int32_t>(24, 2));
}

// --- Inside ONNX Runtime.

TEST(Int8ConvSession, EqualsTheDirectCallAndTheFloatConvUpToQuantisation) {
  std::mt19937 rng(11);
  const Int8ConvSpec cases[] = {makeSpec(rng, 1, 32, 24, 24, 32, 3, 3, geom(1, 1, {1, 1, 1, 1})),
                                makeSpec(rng, 2, 7, 13, 10, 21, 5, 3, geom(2, 1, {2, 1, 2, 1})),
                                makeSpec(rng, 1, 8, 9, 9, 16, 3, 3, geom(1, 1, {2, 2, 2, 2}, 2, 2, 2))};
  for (const Int8ConvSpec& s : cases) {
    SCOPED_TRACE("C=" + std::to_string(s.C) + " M=" + std::to_string(s.M));
    const Floats x = randomFloats(rng, static_cast<size_t>(s.N * s.C * s.H * s.W), -2.0f, 3.0f);
    const Floats ours = runSession(s, x);
    EXPECT_TRUE(sameBits(refConv(s, x), ours));
    const Floats theirs = runSession(s, x, true);
    std::vector<double> t(theirs.begin(), theirs.end());
    EXPECT_TRUE(within(t, ours, quantBound(s, refQuant(x).scale) + 1e-4));
  }
}

TEST(Int8ConvSession, WeightStateIsBuiltOnceAndEachRunQuantisesItsOwnInput) {
  std::mt19937 rng(13);
  const Int8ConvSpec s = makeSpec(rng, 1, 6, 10, 12, 20, 3, 3, geom(1, 1, {1, 1, 1, 1}));
  Ort::Session session = vesk::test::int8ConvSession(vesk::test::int8ConvModel(s), 2);
  for (const float range : {1.0f, 40.0f, 0.01f}) {
    const Floats x = randomFloats(rng, static_cast<size_t>(s.C * s.H * s.W), -range, range);
    Floats out(static_cast<size_t>(s.M * s.Ho() * s.Wo()), NAN);
    vesk::test::runInt8Conv(session, s, x.data(), out.data());
    EXPECT_TRUE(sameBits(refConv(s, x), out)) << range;
  }
}

TEST(Int8ConvSession, MissingAttributesMeanStrideOneDilationOneNoPadding) {
  std::mt19937 rng(17);
  Int8ConvSpec s = makeSpec(rng, 1, 4, 9, 8, 16, 3, 3);
  const Floats x = randomFloats(rng, static_cast<size_t>(s.C * s.H * s.W), -1.0f, 1.0f);
  const Floats with = runSession(s, x);
  s.writeAttrs = false;
  EXPECT_TRUE(sameBits(with, runSession(s, x)));
  EXPECT_TRUE(sameBits(refConv(s, x), with));
}

TEST(Int8ConvSession, Refusals) {
  std::mt19937 rng(19);
  // Weights for 4 input channels on a 6-channel input.
  Int8ConvSpec s = makeSpec(rng, 1, 4, 5, 5, 8, 3, 3);
  s.freeShapes = true;
  const auto model = vesk::test::int8ConvModel(s);
  Ort::Session session = vesk::test::int8ConvSession(model, 1);
  Int8ConvSpec wide = s;
  wide.C = 6;
  const Floats x(static_cast<size_t>(6 * 5 * 5), 0.25f);
  Floats out(static_cast<size_t>(8 * 3 * 3));
  std::string err = vesk::test::errorOf([&] { vesk::test::runInt8Conv(session, wide, x.data(), out.data()); });
  EXPECT_NE(err.find("com.zentrova.int8::Int8ConvVNNI: the input has 6 channels and the weights take 4"),
            std::string::npos)
      << err;

  Int8ConvSpec negative = s;
  negative.geo.padLeft = -1;
  Ort::Session bad = vesk::test::int8ConvSession(vesk::test::int8ConvModel(negative), 1);
  const Floats x4(static_cast<size_t>(4 * 5 * 5), 0.25f);
  Floats out2(static_cast<size_t>(8 * negative.Ho() * negative.Wo()));
  err = vesk::test::errorOf([&] { vesk::test::runInt8Conv(bad, negative, x4.data(), out2.data()); });
  EXPECT_NE(err.find("com.zentrova.int8::Int8ConvVNNI: strides, dilations and group must be positive and pads not "
                     "negative"),
            std::string::npos)
      << err;
}

TEST(Int8ConvSession, TheDomainIsRegisteredOnceAndNeededByTheGraph) {
  std::mt19937 rng(23);
  const auto model = vesk::test::int8ConvModel(makeSpec(rng, 1, 4, 4, 4, 4, 1, 1));
  Ort::SessionOptions so;
  vesk::registerInt8ConvVNNI(so);
  EXPECT_NO_THROW(Ort::Session(vesk::ort::env(), model.data(), model.size(), so));
  Ort::SessionOptions again;
  vesk::registerInt8ConvVNNI(again);
  EXPECT_NO_THROW(Ort::Session(vesk::ort::env(), model.data(), model.size(), again));
  Ort::SessionOptions bare;
  EXPECT_THROW(Ort::Session(vesk::ort::env(), model.data(), model.size(), bare), Ort::Exception);
}

}  // namespace
