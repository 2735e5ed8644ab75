// The "com.zentrova" sampling operators: GridSampleFast and WarpDirector against references written
// here from their definitions (in double), on every compiled SIMD target, at the edges of the image,
// and inside real ONNX Runtime sessions next to the runtime's own GridSample.
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

#include "core/simd_targets.h"
#include "core/vesk_simd.h"
#include "core/vesk_simd_targets.h"
#include "render/vesk_gridsample_fast.h"
#include "render/vesk_onnx.h"
#include "render/vesk_warp.h"
#include "sample_models.h"
#include "test_util.h"

namespace {

using Floats = std::vector<float>;

struct Shape {
  int64_t C, H, W;
};

// --- References from the definitions.

// The position is worked out in float, the tensors' own precision; everything after it in double.
double sampleX(float g, int64_t n) { return ((g + 1.0f) * static_cast<float>(n) - 1.0f) / 2.0f; }

int64_t clampIndex(double v, int64_t n) { return static_cast<int64_t>(std::clamp(v, 0.0, static_cast<double>(n - 1))); }

Floats refGridSample(const Floats& X, const Floats& grid, Shape s) {
  Floats out(X.size());
  const int64_t plane = s.H * s.W;
  for (int64_t i = 0; i < s.H; ++i) {
    for (int64_t j = 0; j < s.W; ++j) {
      const double x = sampleX(grid[2 * (i * s.W + j)], s.W);
      const double y = sampleX(grid[2 * (i * s.W + j) + 1], s.H);
      const double x0 = std::floor(x), y0 = std::floor(y);
      const double fx = x - x0, fy = y - y0;
      const int64_t c0 = clampIndex(x0, s.W), c1 = clampIndex(x0 + 1, s.W);
      const int64_t r0 = clampIndex(y0, s.H), r1 = clampIndex(y0 + 1, s.H);
      for (int64_t k = 0; k < s.C; ++k) {
        const float* p = X.data() + k * plane;
        out[k * plane + i * s.W + j] =
            static_cast<float>((1 - fx) * (1 - fy) * p[r0 * s.W + c0] + fx * (1 - fy) * p[r0 * s.W + c1] +
                               (1 - fx) * fy * p[r1 * s.W + c0] + fx * fy * p[r1 * s.W + c1]);
      }
    }
  }
  return out;
}

// Bilinear interpolation of the source plus the second-difference correction, every term in double.
Floats refWarp(const Floats& src, const Floats& grid, int64_t H, int64_t W) {
  Floats out(src.size());
  const int64_t plane = H * W;
  auto at = [&](int64_t k, int64_t r, int64_t c) -> double {
    r = std::clamp<int64_t>(r, 0, H - 1);
    c = std::clamp<int64_t>(c, 0, W - 1);
    return src[k * plane + r * W + c];
  };
  auto dxx = [&](int64_t k, int64_t r, int64_t c) { return at(k, r, c - 1) - 2 * at(k, r, c) + at(k, r, c + 1); };
  auto dyy = [&](int64_t k, int64_t r, int64_t c) { return at(k, r - 1, c) - 2 * at(k, r, c) + at(k, r + 1, c); };
  auto dxxyy = [&](int64_t k, int64_t r, int64_t c) { return dyy(k, r, c - 1) - 2 * dyy(k, r, c) + dyy(k, r, c + 1); };
  struct Ax {
    int64_t i0, i1;
    double w1, h;
  };
  auto axis = [](double x, int64_t n) {
    const double f = x - std::floor(x);
    Ax a{0, 0, 0.0, f * (1 - f) / 2};
    const double xc = std::min(x, static_cast<double>(n - 1));
    if (xc >= 0) {
      a.i0 = static_cast<int64_t>(std::floor(xc));
      a.i1 = std::min(a.i0 + 1, n - 1);
      a.w1 = xc - std::floor(xc);
    }
    return a;
  };
  for (int64_t i = 0; i < H; ++i) {
    for (int64_t j = 0; j < W; ++j) {
      const Ax ax = axis(sampleX(grid[2 * (i * W + j)], W), W);
      const Ax ay = axis(sampleX(grid[2 * (i * W + j) + 1], H), H);
      for (int64_t k = 0; k < 3; ++k) {
        auto bil = [&](auto f) {
          return (1 - ax.w1) * (1 - ay.w1) * f(k, ay.i0, ax.i0) + ax.w1 * (1 - ay.w1) * f(k, ay.i0, ax.i1) +
                 (1 - ax.w1) * ay.w1 * f(k, ay.i1, ax.i0) + ax.w1 * ay.w1 * f(k, ay.i1, ax.i1);
        };
        const double v = bil(at) - ax.h * bil(dxx) - ay.h * bil(dyy) + ax.h * ay.h * bil(dxxyy);
        out[k * plane + i * W + j] = static_cast<float>(v);
      }
    }
  }
  return out;
}

// --- Inputs.

Floats randomFloats(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> d(lo, hi);
  Floats v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// The same grid value for every pixel.
Floats constantGrid(int64_t H, int64_t W, float gx, float gy) {
  Floats g(static_cast<size_t>(2 * H * W));
  for (size_t p = 0; p < g.size(); p += 2) {
    g[p] = gx;
    g[p + 1] = gy;
  }
  return g;
}

// The grid normalised value that lands on position v of an axis of n pixels.
float gridAt(double v, int64_t n) { return static_cast<float>((2 * v + 1) / static_cast<double>(n) - 1); }

::testing::AssertionResult near(const Floats& want, const Floats& got, double tol) {
  if (want.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < want.size(); ++i) {
    if (!(std::fabs(static_cast<double>(want[i]) - got[i]) <= tol * std::max(1.0, std::fabs(double{want[i]})))) {
      return ::testing::AssertionFailure() << "at " << i << ": want " << want[i] << " got " << got[i];
    }
  }
  return ::testing::AssertionSuccess();
}

bool sameBits(const Floats& a, const Floats& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

using vesk::test::targetsToTest;

// Odd widths and heights, one past a column chunk, and single rows and columns.
const Shape kShapes[] = {{1, 1, 1},  {2, 1, 9},    {3, 7, 1},   {4, 17, 13}, {3, 2, 2},
                         {3, 3, 18}, {12, 33, 40}, {2, 5, 300}, {1, 40, 257}};

// --- GridSampleFast.

TEST(GridSampleFast, MatchesTheDefinitionOnEveryTargetWithTheSameBits) {
  std::mt19937 rng(7);
  const std::vector<int64_t> targets = targetsToTest();
  ASSERT_FALSE(targets.empty());
  for (const Shape& s : kShapes) {
    const Floats X = randomFloats(rng, static_cast<size_t>(s.C * s.H * s.W), -2.0f, 2.0f);
    // Past the edges too, so border padding is exercised.
    const Floats grid = randomFloats(rng, static_cast<size_t>(2 * s.H * s.W), -1.3f, 1.3f);
    const Floats want = refGridSample(X, grid, s);
    Floats first;
    for (int64_t t : targets) {
      hwy::SetSupportedTargetsForTest(t);
      SCOPED_TRACE(std::string(hwy::TargetName(t)) + " C=" + std::to_string(s.C) + " H=" + std::to_string(s.H) +
                   " W=" + std::to_string(s.W));
      ASSERT_STREQ(vesk::simd::target(), hwy::TargetName(t));
      Floats got(X.size(), NAN);
      vesk::gridsample_fast(X.data(), grid.data(), got.data(), s.C, s.H, s.W);
      EXPECT_TRUE(near(want, got, 1e-6));
      if (first.empty())
        first = got;
      else
        EXPECT_TRUE(sameBits(first, got));
    }
    hwy::SetSupportedTargetsForTest(0);
  }
}

TEST(GridSampleFast, EdgesOfTheImage) {
  std::mt19937 rng(11);
  const int64_t C = 3, H = 6, W = 8, plane = H * W;
  const Floats X = randomFloats(rng, static_cast<size_t>(C * plane), -1.0f, 1.0f);
  Floats out(X.size());

  // An all-zero grid samples the centre: the mean of the four central pixels.
  vesk::gridsample_fast(X.data(), constantGrid(H, W, 0.0f, 0.0f).data(), out.data(), C, H, W);
  for (int64_t k = 0; k < C; ++k) {
    const float* p = X.data() + k * plane;
    const double mean = (double{p[2 * W + 3]} + p[2 * W + 4] + p[3 * W + 3] + p[3 * W + 4]) / 4;
    for (int64_t q = 0; q < plane; ++q) EXPECT_NEAR(out[k * plane + q], mean, 1e-6);
  }

  // gx = -1 lands half a pixel before column 0 and gx = 1 half a pixel past column W - 1: border padding
  // gives those columns themselves, on row 2 exactly.
  for (const float gx : {-1.0f, 1.0f}) {
    vesk::gridsample_fast(X.data(), constantGrid(H, W, gx, gridAt(2, H)).data(), out.data(), C, H, W);
    const int64_t col = gx < 0 ? 0 : W - 1;
    for (int64_t k = 0; k < C; ++k)
      for (int64_t q = 0; q < plane; ++q) EXPECT_NEAR(out[k * plane + q], X[k * plane + 2 * W + col], 1e-6) << gx;
  }

  // Far outside, huge and NaN grid values stay inside the image: no stray reads, finite output where
  // the grid is finite.
  for (const float g : {-1e30f, 1e30f, -5.0f, 7.0f}) {
    vesk::gridsample_fast(X.data(), constantGrid(H, W, g, -g).data(), out.data(), C, H, W);
    for (float v : out) EXPECT_TRUE(std::isfinite(v)) << g;
  }
  vesk::gridsample_fast(X.data(), constantGrid(H, W, NAN, 0.0f).data(), out.data(), C, H, W);
}

TEST(GridSampleFast, BandsWriteOnlyTheirRowsAndClampTheirRange) {
  std::mt19937 rng(13);
  const Shape s{2, 40, 21};
  const int64_t plane = s.H * s.W;
  const Floats X = randomFloats(rng, static_cast<size_t>(s.C * plane), -1.0f, 1.0f);
  const Floats grid = randomFloats(rng, static_cast<size_t>(2 * plane), -1.0f, 1.0f);
  Floats whole(X.size());
  vesk::gridsample_fast(X.data(), grid.data(), whole.data(), s.C, s.H, s.W);

  Floats band(X.size(), -77.0f);
  vesk::gridsample_fast_band(X.data(), grid.data(), band.data(), s.C, s.H, s.W, 16, 32);
  for (int64_t k = 0; k < s.C; ++k)
    for (int64_t i = 0; i < s.H; ++i)
      for (int64_t j = 0; j < s.W; ++j) {
        const size_t q = static_cast<size_t>(k * plane + i * s.W + j);
        EXPECT_EQ(band[q], (i >= 16 && i < 32) ? whole[q] : -77.0f) << i;
      }

  Floats clamped(X.size(), -77.0f);
  vesk::gridsample_fast_band(X.data(), grid.data(), clamped.data(), s.C, s.H, s.W, -16, 1000);
  EXPECT_TRUE(sameBits(whole, clamped));
  Floats none(X.size(), -77.0f);
  vesk::gridsample_fast_band(X.data(), grid.data(), none.data(), s.C, s.H, s.W, 30, 20);
  EXPECT_TRUE(std::all_of(none.begin(), none.end(), [](float v) { return v == -77.0f; }));
}

// --- WarpDirector.

TEST(WarpDirector, MatchesTheDefinitionAndTheDirectFormGivesTheSameBits) {
  std::mt19937 rng(17);
  for (const Shape& s : kShapes) {
    SCOPED_TRACE("H=" + std::to_string(s.H) + " W=" + std::to_string(s.W));
    const int64_t plane = s.H * s.W;
    const Floats src = randomFloats(rng, static_cast<size_t>(3 * plane), -1.0f, 1.0f);
    const Floats grid = randomFloats(rng, static_cast<size_t>(2 * plane), -1.3f, 1.3f);
    const Floats want = refWarp(src, grid, s.H, s.W);

    Floats direct(src.size(), NAN);
    vesk::warpDirector(src.data(), grid.data(), direct.data(), s.W, s.H);
    EXPECT_TRUE(near(want, direct, 1e-5));
    for (float v : direct) ASSERT_TRUE(std::isfinite(v));

    // The two phases in bands of 16 rows, as the operator runs them, on every target.
    for (int64_t t : targetsToTest()) {
      hwy::SetSupportedTargetsForTest(t);
      SCOPED_TRACE(hwy::TargetName(t));
      Floats planes(static_cast<size_t>(plane * vesk::kWarpPlaneFloats), NAN);
      Floats phased(src.size(), NAN);
      for (int64_t b = 0; b < s.H; b += 16)
        vesk::warpDirectorPlanesBand(src.data(), planes.data(), s.W, s.H, b, b + 16);
      for (int64_t b = 0; b < s.H; b += 16)
        vesk::warpDirectorGatherBand(planes.data(), grid.data(), phased.data(), s.W, s.H, b, b + 16);
      EXPECT_TRUE(sameBits(direct, phased));
    }
    hwy::SetSupportedTargetsForTest(0);

    Floats banded(src.size(), NAN);
    for (int64_t b = -16; b < s.H + 16; b += 16)
      vesk::warpDirectorBand(src.data(), grid.data(), banded.data(), s.W, s.H, b, b + 16);
    EXPECT_TRUE(sameBits(direct, banded));
  }
}

TEST(WarpDirector, ReproducesABiquadraticSourceInsideTheImage) {
  const int64_t H = 12, W = 16, plane = H * W;
  // Per channel: the sum of a[p][q] x^p y^q over p, q in 0..2 (x the column, y the row).
  const double a[3][3][3] = {{{0.5, 0.25, -0.125}, {0.5, 0.0625, 0.015625}, {-0.25, 0.03125, 0.0078125}},
                             {{1.0, -0.5, 0.0625}, {0.0, 0.125, 0.0}, {0.125, 0.0, -0.015625}},
                             {{-0.75, 0.0, 0.25}, {0.375, -0.0625, 0.0}, {0.0, 0.0625, 0.0}}};
  auto f = [&](int k, double x, double y) {
    double v = 0;
    for (int p = 0; p < 3; ++p)
      for (int q = 0; q < 3; ++q) v += a[k][p][q] * std::pow(x, p) * std::pow(y, q);
    return v;
  };
  Floats src(static_cast<size_t>(3 * plane));
  for (int k = 0; k < 3; ++k)
    for (int64_t r = 0; r < H; ++r)
      for (int64_t c = 0; c < W; ++c) src[k * plane + r * W + c] = static_cast<float>(f(k, double(c), double(r)));
  // Positions whose corners and their neighbours all lie inside: x in [1, W - 2], y in [1, H - 2].
  std::mt19937 rng(19);
  std::uniform_real_distribution<double> dx(1.0, W - 2.0), dy(1.0, H - 2.0);
  Floats grid(static_cast<size_t>(2 * plane));
  std::vector<double> xs(plane), ys(plane);
  for (int64_t p = 0; p < plane; ++p) {
    // Quarter-pixel positions keep the terms short: only float round-off separates output and polynomial.
    xs[p] = std::round(dx(rng) * 4) / 4;
    ys[p] = std::round(dy(rng) * 4) / 4;
    grid[2 * p] = gridAt(xs[p], W);
    grid[2 * p + 1] = gridAt(ys[p], H);
  }
  Floats out(src.size(), NAN);
  vesk::warpDirector(src.data(), grid.data(), out.data(), W, H);
  for (int k = 0; k < 3; ++k)
    for (int64_t p = 0; p < plane; ++p) {
      const double want = f(k, xs[p], ys[p]);
      EXPECT_NEAR(out[k * plane + p], want, 1e-5 * std::max(1.0, std::fabs(want))) << "x=" << xs[p] << " y=" << ys[p];
    }
  // A plain bilinear sample misses the curvature that the correction puts back.
  const Floats bilinear = refGridSample(src, grid, {3, H, W});
  double worst = 0;
  for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::fabs(double{bilinear[i]} - out[i]));
  EXPECT_GT(worst, 0.01);
}

TEST(WarpDirector, BodyIsNamed) { EXPECT_STREQ(vesk::warpBody(), "highway"); }

// --- Inside ONNX Runtime.

Floats runModel(const std::vector<uint8_t>& model, int threads, const Floats& X, const Floats& grid, int64_t N,
                Shape s) {
  Ort::Session session = vesk::test::sampleSession(model, threads);
  Floats out(X.size(), NAN);
  vesk::test::runSample(session, X.data(), grid.data(), out.data(), N, s.C, s.H, s.W);
  return out;
}

TEST(SampleOperators, GridSampleFastEqualsTheRuntimesGridSample) {
  std::mt19937 rng(23);
  const struct {
    int64_t N;
    Shape s;
  } cases[] = {{1, {12, 64, 64}}, {2, {5, 37, 45}}, {3, {1, 1, 9}}, {1, {2, 33, 1}}};
  for (const auto& c : cases) {
    SCOPED_TRACE("N=" + std::to_string(c.N) + " C=" + std::to_string(c.s.C) + " H=" + std::to_string(c.s.H) +
                 " W=" + std::to_string(c.s.W));
    const Floats X = randomFloats(rng, static_cast<size_t>(c.N * c.s.C * c.s.H * c.s.W), -3.0f, 3.0f);
    const Floats grid = randomFloats(rng, static_cast<size_t>(c.N * c.s.H * c.s.W * 2), -1.2f, 1.2f);
    const Floats theirs =
        runModel(vesk::test::sampleModel("GridSample", "", c.N, c.s.C, c.s.H, c.s.W), 1, X, grid, c.N, c.s);
    const auto ours = vesk::test::sampleModel("GridSampleFast", "com.zentrova", c.N, c.s.C, c.s.H, c.s.W);
    const Floats one = runModel(ours, 1, X, grid, c.N, c.s);
    // ONNX Runtime's arm64 build fuses its coordinate arithmetic into multiply-adds, which moves a
    // sample by an ulp or two of its pixel coordinate; on data that steps by up to 6 per pixel that is
    // up to 5e-6 (x86's build agrees to 2e-6).
    EXPECT_TRUE(near(theirs, one, 1e-5));
    // Bands on a pool of several threads write the same bits.
    EXPECT_TRUE(sameBits(one, runModel(ours, 3, X, grid, c.N, c.s)));
  }
}

TEST(SampleOperators, WarpDirectorRunsEachBatchItem) {
  std::mt19937 rng(29);
  const int64_t N = 2;
  const Shape s{3, 35, 20};
  const int64_t item = 3 * s.H * s.W;
  const Floats X = randomFloats(rng, static_cast<size_t>(N * item), -1.0f, 1.0f);
  const Floats grid = randomFloats(rng, static_cast<size_t>(N * s.H * s.W * 2), -1.1f, 1.1f);
  const auto model = vesk::test::sampleModel("WarpDirector", "com.zentrova", N, 3, s.H, s.W);
  Ort::Session session = vesk::test::sampleSession(model, 2);
  for (int run = 0; run < 2; ++run) {  // the planes scratch is reused by the second run
    Floats out(X.size(), NAN);
    vesk::test::runSample(session, X.data(), grid.data(), out.data(), N, 3, s.H, s.W);
    for (int64_t n = 0; n < N; ++n) {
      Floats want(static_cast<size_t>(item));
      vesk::warpDirector(X.data() + n * item, grid.data() + n * s.H * s.W * 2, want.data(), s.W, s.H);
      EXPECT_TRUE(sameBits(want, Floats(out.begin() + n * item, out.begin() + (n + 1) * item))) << n;
    }
  }
}

TEST(SampleOperators, WarpDirectorRefusesAnythingButThreeChannels) {
  const Shape s{4, 8, 8};
  const Floats X(static_cast<size_t>(s.C * s.H * s.W), 0.5f);
  const Floats grid(static_cast<size_t>(s.H * s.W * 2), 0.0f);
  const auto model = vesk::test::sampleModel("WarpDirector", "com.zentrova", 1, s.C, s.H, s.W);
  const std::string err = vesk::test::errorOf([&] { runModel(model, 1, X, grid, 1, s); });
  EXPECT_NE(err.find("com.zentrova::WarpDirector: this node warps the director's 3-channel source and the graph "
                     "handed it C=4. REFUSING rather than writing a frame nobody asked for."),
            std::string::npos)
      << err;
}

TEST(SampleOperators, EitherRegistrationGivesTheWholeDomain) {
  EXPECT_EQ(&vesk::zentrovaDomain(), &vesk::zentrovaDomain());
  const auto model = vesk::test::sampleModel("GridSampleFast", "com.zentrova", 1, 1, 4, 4);
  Ort::SessionOptions so;
  vesk::registerWarpDirector(so);
  EXPECT_NO_THROW(Ort::Session(vesk::ort::env(), model.data(), model.size(), so));
  // Without the domain the runtime cannot place the node.
  Ort::SessionOptions bare;
  EXPECT_THROW(Ort::Session(vesk::ort::env(), model.data(), model.size(), bare), Ort::Exception);
}

TEST(SampleOperators, BakedGridSampleFastIsFound) {
  EXPECT_TRUE(vesk::graphHasBakedGridSampleFast(vesk::test::sampleModel("GridSampleFast", "com.zentrova", 1, 1, 4, 4)));
  EXPECT_FALSE(vesk::graphHasBakedGridSampleFast(vesk::test::sampleModel("GridSample", "", 1, 1, 4, 4)));
  EXPECT_FALSE(vesk::graphHasBakedGridSampleFast(vesk::test::sampleModel("WarpDirector", "com.zentrova", 1, 3, 4, 4)));
  // The op type alone is not enough: another domain's GridSampleFast is not ours.
  EXPECT_FALSE(vesk::graphHasBakedGridSampleFast(vesk::test::sampleModel("GridSampleFast", "com.other", 1, 1, 4, 4)));
  EXPECT_FALSE(vesk::graphHasBakedGridSampleFast({}));
  std::vector<uint8_t> cut = vesk::test::sampleModel("GridSampleFast", "com.zentrova", 1, 1, 4, 4);
  cut.resize(cut.size() - 3);
  EXPECT_EQ(vesk::test::errorOf([&] { vesk::graphHasBakedGridSampleFast(cut); }), "onnx: truncated");
}

}  // namespace
