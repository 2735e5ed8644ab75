// The fp16 backend's kernels on every compiled target against plain loops written from their
// definitions: the direct and the Winograd convolution, the warp row and the basis product.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/vesk_half.h"
#include "render/vesk_conv_kernels.h"

namespace {

using vesk::half::fromFloat;
using vesk::half::toFloat;
namespace conv = vesk::conv;

// Runs body once per SIMD target this machine has, then restores the normal choice.
template <class F>
void eachTarget(F&& body) {
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    SCOPED_TRACE(hwy::TargetName(target));
    hwy::SetSupportedTargetsForTest(target);
    body();
  }
  hwy::SetSupportedTargetsForTest(0);
}

int roundUp(int v, int m) { return (v + m - 1) / m * m; }

// A 3x3 layer: NHWC fp16 input with cinReal real channels stored in cin, weights and bias already
// rounded to half (as the backend packs them), and the double-precision result.
struct Layer {
  int H, W, cin, cinReal, cout;
  bool relu;
  std::vector<uint16_t> in;
  std::vector<float> w, b;   // cout x cinReal x 9, cout
  std::vector<double> want;  // H x W x cout

  Layer(int h, int wd, int cr, int co, bool r, uint32_t seed)
      : H(h), W(wd), cin(roundUp(cr, 8)), cinReal(cr), cout(co), relu(r) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> act(-1.0f, 1.0f), wt(-0.25f, 0.25f);
    in.assign(static_cast<size_t>(H) * W * cin, 0);
    for (size_t p = 0; p < static_cast<size_t>(H) * W; ++p)
      for (int c = 0; c < cinReal; ++c) in[p * cin + c] = fromFloat(act(rng));
    for (int i = 0; i < cout * cinReal * 9; ++i) w.push_back(toFloat(fromFloat(wt(rng))));
    for (int i = 0; i < cout; ++i) b.push_back(toFloat(fromFloat(wt(rng))));
    want.assign(static_cast<size_t>(H) * W * cout, 0.0);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        for (int o = 0; o < cout; ++o) {
          double s = b[static_cast<size_t>(o)];
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx) {
              const int yy = y + ky - 1, xx = x + kx - 1;
              if (yy < 0 || yy >= H || xx < 0 || xx >= W) continue;
              for (int c = 0; c < cinReal; ++c)
                s += static_cast<double>(toFloat(in[(static_cast<size_t>(yy) * W + xx) * cin + c])) *
                     w[(static_cast<size_t>(o) * cinReal + c) * 9 + static_cast<size_t>(ky * 3 + kx)];
            }
          want[(static_cast<size_t>(y) * W + x) * cout + o] = relu ? std::max(0.0, s) : s;
        }
  }
  int outStride() const { return roundUp(cout, 8); }

  // Half outputs against the double sums: the output's own rounding plus fp32 sums and transforms.
  void check(const std::vector<uint16_t>& got) const {
    const int os = outStride();
    double worst = 0.0;
    for (size_t p = 0; p < static_cast<size_t>(H) * W; ++p) {
      for (int o = 0; o < cout; ++o) {
        const double r = want[p * cout + o], g = toFloat(got[p * os + o]);
        worst = std::max(worst, std::fabs(g - r) - std::fabs(r) * (1.0 / 1024));
      }
      for (int o = cout; o < os; ++o) ASSERT_EQ(got[p * os + o], 0) << "padding channel " << o << " of pixel " << p;
    }
    EXPECT_LE(worst, 1e-4) << "beyond the half rounding of the output";
  }
};

// Winograd weights for blocks of bw output channels, as the backend lays them out.
struct Wino {
  std::vector<float> U, bias;
  conv::WinoGeom g;
  Wino(const Layer& L, int bw) {
    const int blocks = (L.cout + bw - 1) / bw;
    const size_t cin = static_cast<size_t>(L.cin), B = static_cast<size_t>(blocks), BW = static_cast<size_t>(bw);
    U.assign(36 * B * cin * BW, 0.0f);
    bias.assign(B * BW, 0.0f);
    float u[36];
    for (int o = 0; o < L.cout; ++o) {
      bias[static_cast<size_t>(o)] = L.b[static_cast<size_t>(o)];
      for (int c = 0; c < L.cinReal; ++c) {
        conv::winogradWeights(&L.w[(static_cast<size_t>(o) * L.cinReal + c) * 9], u);
        for (size_t e = 0; e < 36; ++e)
          U[((e * B + static_cast<size_t>(o / bw)) * cin + static_cast<size_t>(c)) * BW + static_cast<size_t>(o % bw)] =
              u[e];
      }
    }
    g.H = L.H;
    g.W = L.W;
    g.cin = L.cin;
    g.coutPad = blocks * bw;
    g.outStride = L.outStride();
    g.bw = bw;
    g.relu = L.relu;
    g.U = U.data();
    g.bias = bias.data();
  }
  std::vector<uint16_t> run(const Layer& L, int ty0, int ty1, std::vector<uint16_t> out = {}) const {
    if (out.empty()) out.assign(static_cast<size_t>(L.H) * L.W * L.outStride(), 0xFFFF);
    std::vector<float> scratch(conv::winoScratchFloats(g));
    conv::winoRows(g, L.in.data(), out.data(), ty0, ty1, scratch.data());
    return out;
  }
};

// The direct kernel's packing: block, tap, input channel, lane.
std::vector<uint16_t> directRun(const Layer& L) {
  const int bw = L.cout <= 8 ? 8 : 16, blocks = (L.cout + bw - 1) / bw;
  std::vector<uint16_t> w(static_cast<size_t>(blocks) * 9 * L.cin * bw, 0), b(static_cast<size_t>(blocks) * bw, 0);
  for (int o = 0; o < L.cout; ++o) {
    b[static_cast<size_t>(o)] = fromFloat(L.b[static_cast<size_t>(o)]);
    for (int c = 0; c < L.cinReal; ++c)
      for (int t = 0; t < 9; ++t)
        w[((static_cast<size_t>(o / bw) * 9 + t) * L.cin + c) * bw + static_cast<size_t>(o % bw)] =
            fromFloat(L.w[(static_cast<size_t>(o) * L.cinReal + c) * 9 + static_cast<size_t>(t)]);
  }
  conv::ConvGeom g;
  g.H = L.H;
  g.W = L.W;
  g.cin = L.cin;
  g.cout = L.cout;
  g.outStride = L.outStride();
  g.k = 3;
  g.bw = bw;
  g.relu = L.relu;
  g.weights = w.data();
  g.bias = b.data();
  std::vector<uint16_t> out(static_cast<size_t>(L.H) * L.W * L.outStride(), 0xFFFF);
  std::vector<float> scratch(conv::convScratchFloats(g));
  conv::convRows(g, L.in.data(), out.data(), 0, L.H, scratch.data());
  return out;
}

// Shapes that reach every path: fewer tiles in a row than a chunk, a chunk and a short tail, a
// padded input channel, output channels that fill no block, one that pads a stored channel.
std::vector<Layer> layers() {
  std::vector<Layer> v;
  v.emplace_back(8, 12, 7, 3, false, 1);
  v.emplace_back(4, 4 * (conv::kWinoTiles + 2), 24, 24, true, 2);
  v.emplace_back(12, 8, 48, 23, false, 3);
  v.emplace_back(8, 8, 16, 12, true, 4);
  return v;
}

TEST(ConvKernels, WinogradAndDirectConvolutionsGiveTheLayerOnEveryTarget) {
  const std::vector<Layer> ls = layers();
  eachTarget([&] {
    for (const Layer& L : ls) {
      SCOPED_TRACE(testing::Message() << L.H << "x" << L.W << " cin " << L.cinReal << " cout " << L.cout);
      L.check(directRun(L));
      for (int bw : {8, 16, 24}) {
        SCOPED_TRACE(testing::Message() << "blocks of " << bw);
        const Wino w(L, bw);
        const std::vector<uint16_t> whole = w.run(L, 0, L.H / 4);
        L.check(whole);
        // Rows split between calls (as between workers) give the same bits.
        const int mid = L.H / 8;
        EXPECT_EQ(w.run(L, mid, L.H / 4, w.run(L, 0, mid)), whole);
      }
    }
  });
}

TEST(ConvKernels, WinogradWeightsReproduceTheThreeByThreeCorrelation) {
  // One 6 x 6 tile through A^T [U . (B^T d B)] A in double against the direct sums.
  const double BT[6][6] = {{4, 0, -5, 0, 1, 0},  {0, -4, -4, 1, 1, 0}, {0, 4, -4, -1, 1, 0},
                           {0, -2, -1, 2, 1, 0}, {0, 2, -1, -2, 1, 0}, {0, 4, 0, -5, 0, 1}};
  const double AT[4][6] = {{1, 1, 1, 1, 1, 0}, {0, 1, -1, 2, -2, 0}, {0, 1, 1, 4, 4, 0}, {0, 1, -1, 8, -8, 1}};
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  float g[9], u[36];
  double d[6][6];
  for (float& x : g) x = dist(rng);
  for (auto& row : d)
    for (double& x : row) x = dist(rng);
  conv::winogradWeights(g, u);
  double v[6][6] = {}, m[6][6], t[4][6] = {};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      for (int k = 0; k < 6; ++k)
        for (int l = 0; l < 6; ++l) v[i][j] += BT[i][k] * d[k][l] * BT[j][l];
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) m[i][j] = v[i][j] * u[i * 6 + j];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 6; ++j)
      for (int k = 0; k < 6; ++k) t[i][j] += AT[i][k] * m[k][j];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      double y = 0, want = 0;
      for (int k = 0; k < 6; ++k) y += t[i][k] * AT[j][k];
      for (int ky = 0; ky < 3; ++ky)
        for (int kx = 0; kx < 3; ++kx) want += d[i + ky][j + kx] * g[ky * 3 + kx];
      EXPECT_NEAR(y, want, 1e-5) << i << "," << j;
    }
}

TEST(ConvKernels, WarpRowSamplesThePriorWhereTheGridPoints) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f), grid(-1.2f, 1.2f);
  constexpr size_t kPlane = 512 * 512;
  std::vector<uint16_t> P(3 * kPlane);
  for (uint16_t& h : P) h = fromFloat(unit(rng));
  std::vector<float> vo(64), vgx(64), vgy(64);
  for (int j = 0; j < 64; ++j) {
    vo[static_cast<size_t>(j)] = unit(rng);
    vgx[static_cast<size_t>(j)] = grid(rng);  // reaches past both edges: the clamps
    vgy[static_cast<size_t>(j)] = grid(rng);
  }
  std::vector<int32_t> i0(512), i1(512);
  std::vector<float> w0(512), w1(512);
  for (int x = 0; x < 512; ++x) {
    const float s = std::clamp((static_cast<float>(x) + 0.5f) / 8.0f - 0.5f, 0.0f, 63.0f);
    const size_t X = static_cast<size_t>(x);
    i0[X] = static_cast<int32_t>(s);
    i1[X] = std::min(i0[X] + 1, 63);
    w1[X] = s - static_cast<float>(i0[X]);
    w0[X] = 1.0f - w1[X];
  }
  eachTarget([&] {
    std::vector<uint16_t> occ(512), warped(3 * kPlane, 0);
    conv::warpRow(vo.data(), vgx.data(), vgy.data(), i0.data(), i1.data(), w0.data(), w1.data(), P.data(), kPlane,
                  occ.data(), warped.data());
    for (size_t x = 0; x < 512; ++x) {
      auto lerp = [&](const std::vector<float>& r) {
        return static_cast<double>(w0[x]) * r[static_cast<size_t>(i0[x])] +
               static_cast<double>(w1[x]) * r[static_cast<size_t>(i1[x])];
      };
      EXPECT_NEAR(toFloat(occ[x]), lerp(vo), 1e-3) << x;
      const double px = std::clamp(lerp(vgx) * 256 + 255.5, 0.0, 511.0);
      const double py = std::clamp(lerp(vgy) * 256 + 255.5, 0.0, 511.0);
      const int ix = std::min(static_cast<int>(px), 510), iy = std::min(static_cast<int>(py), 510);
      const double fx = px - ix, fy = py - iy;
      for (size_t c = 0; c < 3; ++c) {
        const uint16_t* pl = P.data() + c * kPlane + static_cast<size_t>(iy) * 512 + static_cast<size_t>(ix);
        const double want = (1 - fy) * ((1 - fx) * toFloat(pl[0]) + fx * toFloat(pl[1])) +
                            fy * ((1 - fx) * toFloat(pl[512]) + fx * toFloat(pl[513]));
        // A position near a pixel boundary may land on the other side in fp32; the bilinear sample
        // is continuous there, so the bound is the half rounding and a little interpolation slack.
        EXPECT_NEAR(toFloat(warped[c * kPlane + x]), want, 2e-3) << "channel " << c << " x " << x;
      }
    }
  });
}

TEST(ConvKernels, BasisProductSumsEveryRowForEveryFrame) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  constexpr size_t kCols = 1024 + 12;  // a tail past the vectors
  constexpr int kFrames = 5;           // a group of four and one more
  std::vector<uint16_t> basis(64 * kCols);
  for (uint16_t& h : basis) h = fromFloat(dist(rng));
  std::vector<float> coef(kFrames * 64);
  for (float& c : coef) c = dist(rng);
  eachTarget([&] {
    std::vector<float> out(kFrames * kCols, NAN);
    conv::basisColumns(coef.data(), kFrames, basis.data(), kCols, 0, 512, out.data());
    conv::basisColumns(coef.data(), kFrames, basis.data(), kCols, 512, kCols, out.data());
    for (int f = 0; f < kFrames; ++f)
      for (size_t c = 0; c < kCols; ++c) {
        double want = 0;
        for (size_t k = 0; k < 64; ++k)
          want += static_cast<double>(coef[static_cast<size_t>(f) * 64 + k]) * toFloat(basis[k * kCols + c]);
        ASSERT_NEAR(out[static_cast<size_t>(f) * kCols + c], want, 1e-4) << "frame " << f << " column " << c;
      }
  });
}

}  // namespace
