// WarpDirector's bodies. The planes and gather phases, which the operator runs, are compiled once per
// SIMD target; the direct form is scalar. All three share the per-pixel helpers below and compute every
// value with the same separate multiplies and adds in the same order, so the targets, the scalar tails
// and the direct form agree bit for bit.
// clang-format off: foreach_target must come first, and re-includes this file once per target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/vesk_warp.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "render/vesk_warp.h"

#ifndef VESK_WARP_HELPERS
#define VESK_WARP_HELPERS
namespace vesk::warp {

// One axis of a sample: the two clamped neighbours with their bilinear weights, and the
// second-difference weight h = f (1 - f) / 2 from the fractional part of the unclamped position.
struct Axis {
  int64_t i0, i1;
  float w0, w1, h;
};

// Past the far edge the position clamps onto the last index; before the near edge (NaN too) the whole
// weight goes to index 0.
inline Axis axisOf(float x, int64_t n) {
  Axis a;
  const float f = x - std::floor(x);
  a.h = f * (1.0f - f) * 0.5f;
  const float xc = std::min(x, static_cast<float>(n - 1));
  if (!(xc >= 0.0f)) {
    a.i0 = a.i1 = 0;
    a.w0 = 1.0f;
    a.w1 = 0.0f;
    return a;
  }
  const float fl = std::floor(xc);
  a.i0 = static_cast<int64_t>(fl);
  a.i1 = std::min(a.i0 + 1, n - 1);
  a.w1 = xc - fl;
  a.w0 = 1.0f - a.w1;
  return a;
}

inline float secondDiff(float lo, float mid, float hi) { return lo - 2.0f * mid + hi; }

// The 12 plane values of source pixel (r, c), neighbours clamped to the image.
inline void pixelPlanes(const float* source, int64_t W, int64_t H, int64_t r, int64_t c, float* p) {
  const int64_t plane = W * H;
  const int64_t rows[3] = {std::max<int64_t>(r - 1, 0) * W, r * W, std::min(r + 1, H - 1) * W};
  const int64_t cols[3] = {std::max<int64_t>(c - 1, 0), c, std::min(c + 1, W - 1)};
  for (int64_t k = 0; k < kWarpChannels; ++k) {
    const float* s = source + k * plane;
    float b[3][3];
    for (int dr = 0; dr < 3; ++dr)
      for (int dc = 0; dc < 3; ++dc) b[dr][dc] = s[rows[dr] + cols[dc]];
    p[4 * k + 0] = b[1][1];
    p[4 * k + 1] = secondDiff(b[1][0], b[1][1], b[1][2]);
    p[4 * k + 2] = secondDiff(b[0][1], b[1][1], b[2][1]);
    const float dy0 = secondDiff(b[0][0], b[1][0], b[2][0]);
    const float dy1 = secondDiff(b[0][1], b[1][1], b[2][1]);
    const float dy2 = secondDiff(b[0][2], b[1][2], b[2][2]);
    p[4 * k + 3] = secondDiff(dy0, dy1, dy2);
  }
}

inline void cornerWeights(const Axis& ax, const Axis& ay, float& w00, float& w01, float& w10, float& w11) {
  w00 = ax.w0 * ay.w0;
  w01 = ax.w1 * ay.w0;
  w10 = ax.w0 * ay.w1;
  w11 = ax.w1 * ay.w1;
}

// out[k * plane] for the three channels from the four corners' planes.
inline void combineWeighted(const float* p00, const float* p01, const float* p10, const float* p11, const float* w,
                            float hx, float hy, float* out, int64_t plane) {
  const float hxy = hx * hy;
  for (int64_t k = 0; k < kWarpChannels; ++k) {
    float v[4];
    for (int q = 0; q < 4; ++q) {
      const int64_t i = 4 * k + q;
      v[q] = w[0] * p00[i] + w[1] * p01[i] + w[2] * p10[i] + w[3] * p11[i];
    }
    out[k * plane] = v[0] - hx * v[1] - hy * v[2] + hxy * v[3];
  }
}

inline void combine(const float* p00, const float* p01, const float* p10, const float* p11, const Axis& ax,
                    const Axis& ay, float* out, int64_t plane) {
  float w[4];
  cornerWeights(ax, ay, w[0], w[1], w[2], w[3]);
  combineWeighted(p00, p01, p10, p11, w, ax.h, ay.h, out, plane);
}

inline void rowRange(int64_t H, int64_t& begin, int64_t& end) {
  begin = std::max<int64_t>(begin, 0);
  end = std::min(end, H);
}

inline float sampleX(const float* g, int64_t W) { return ((g[0] + 1.0f) * static_cast<float>(W) - 1.0f) * 0.5f; }
inline float sampleY(const float* g, int64_t H) { return ((g[1] + 1.0f) * static_cast<float>(H) - 1.0f) * 0.5f; }

}  // namespace vesk::warp
#endif  // VESK_WARP_HELPERS

HWY_BEFORE_NAMESPACE();
namespace vesk::warp::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Columns per chunk of the gather's corner tables (on the stack, 40 bytes a pixel).
constexpr int64_t kChunk = 256;

// secondDiff a vector at a time.
template <class V>
HWY_INLINE V Diff2(V two, V lo, V mid, V hi) {
  return hn::Add(hn::Sub(lo, hn::Mul(two, mid)), hi);
}

// The planes of interior columns [1, W - 1) a vector at a time, the two edge columns (and rows too
// narrow for a vector) with the scalar helper.
void PlanesBandImpl(const float* HWY_RESTRICT source, float* HWY_RESTRICT planes, int64_t W, int64_t H,
                    int64_t row_begin, int64_t row_end) {
  const hn::ScalableTag<float> df;
  const int64_t N = static_cast<int64_t>(hn::Lanes(df));
  const int64_t plane = W * H;
  const auto two = hn::Set(df, 2.0f);
  HWY_ALIGN float lanes[4][HWY_MAX_BYTES / sizeof(float)];
  for (int64_t r = row_begin; r < row_end; ++r) {
    float* row = planes + r * W * kWarpPlaneFloats;
    pixelPlanes(source, W, H, r, 0, row);
    int64_t c = 1;
    for (int64_t k = 0; k < kWarpChannels; ++k) {
      const float* s = source + k * plane;
      const float* up = s + std::max<int64_t>(r - 1, 0) * W;
      const float* mid = s + r * W;
      const float* down = s + std::min(r + 1, H - 1) * W;
      for (c = 1; c + N <= W - 1; c += N) {
        const auto u0 = hn::LoadU(df, up + c - 1), u1 = hn::LoadU(df, up + c), u2 = hn::LoadU(df, up + c + 1);
        const auto m0 = hn::LoadU(df, mid + c - 1), m1 = hn::LoadU(df, mid + c), m2 = hn::LoadU(df, mid + c + 1);
        const auto d0 = hn::LoadU(df, down + c - 1), d1 = hn::LoadU(df, down + c), d2 = hn::LoadU(df, down + c + 1);
        hn::Store(m1, df, lanes[0]);
        hn::Store(Diff2(two, m0, m1, m2), df, lanes[1]);
        hn::Store(Diff2(two, u1, m1, d1), df, lanes[2]);
        hn::Store(Diff2(two, Diff2(two, u0, m0, d0), Diff2(two, u1, m1, d1), Diff2(two, u2, m2, d2)), df, lanes[3]);
        float* at = row + c * kWarpPlaneFloats + 4 * k;
        for (int64_t l = 0; l < N; ++l, at += kWarpPlaneFloats)
          for (int q = 0; q < 4; ++q) at[q] = lanes[q][l];
      }
    }
    for (; c < W; ++c) pixelPlanes(source, W, H, r, c, row + c * kWarpPlaneFloats);
  }
}

// One output pixel at a time: a corner's 4 planes of one channel are 4 adjacent floats, so each
// corner of each channel is one 4-lane load, and the bilinear blend runs across the 4 planes at once.
// Per lane the blend and the correction keep the scalar helpers' operations and order, so the bits
// are those of combineWeighted (v0 * 1 is v0 exactly).
void GatherBandImpl(const float* HWY_RESTRICT planes, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out,
                    int64_t W, int64_t H, int64_t row_begin, int64_t row_end) {
  const int64_t plane = W * H;
#if HWY_TARGET == HWY_SCALAR
  for (int64_t i = row_begin; i < row_end; ++i)
    for (int64_t j = 0; j < W; ++j) {
      const float* g = grid + 2 * (i * W + j);
      const Axis ax = axisOf(sampleX(g, W), W);
      const Axis ay = axisOf(sampleY(g, H), H);
      combine(planes + (ay.i0 * W + ax.i0) * kWarpPlaneFloats, planes + (ay.i0 * W + ax.i1) * kWarpPlaneFloats,
              planes + (ay.i1 * W + ax.i0) * kWarpPlaneFloats, planes + (ay.i1 * W + ax.i1) * kWarpPlaneFloats, ax, ay,
              out + i * W + j, plane);
    }
#else
  const hn::FixedTag<float, 4> d;
  HWY_ALIGN float h[4];
  HWY_ALIGN float t[4];
  for (int64_t i = row_begin; i < row_end; ++i) {
    float* dst = out + i * W;
    for (int64_t j = 0; j < W; ++j) {
      const float* g = grid + 2 * (i * W + j);
      const Axis ax = axisOf(sampleX(g, W), W);
      const Axis ay = axisOf(sampleY(g, H), H);
      float w00, w01, w10, w11;
      cornerWeights(ax, ay, w00, w01, w10, w11);
      const auto v00 = hn::Set(d, w00), v01 = hn::Set(d, w01), v10 = hn::Set(d, w10), v11 = hn::Set(d, w11);
      h[0] = 1.0f;
      h[1] = ax.h;
      h[2] = ay.h;
      h[3] = ax.h * ay.h;
      const auto hv = hn::Load(d, h);
      const float* p00 = planes + (ay.i0 * W + ax.i0) * kWarpPlaneFloats;
      const float* p01 = planes + (ay.i0 * W + ax.i1) * kWarpPlaneFloats;
      const float* p10 = planes + (ay.i1 * W + ax.i0) * kWarpPlaneFloats;
      const float* p11 = planes + (ay.i1 * W + ax.i1) * kWarpPlaneFloats;
      for (int64_t k = 0; k < kWarpChannels; ++k) {
        auto v = hn::Mul(v00, hn::LoadU(d, p00 + 4 * k));
        v = hn::Add(v, hn::Mul(v01, hn::LoadU(d, p01 + 4 * k)));
        v = hn::Add(v, hn::Mul(v10, hn::LoadU(d, p10 + 4 * k)));
        v = hn::Add(v, hn::Mul(v11, hn::LoadU(d, p11 + 4 * k)));
        hn::Store(hn::Mul(v, hv), d, t);
        dst[k * plane + j] = t[0] - t[1] - t[2] + t[3];
      }
    }
  }
#endif
}

}  // namespace vesk::warp::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <limits>
#include <stdexcept>
#include <string>

namespace vesk {

using warp::Axis;
using warp::axisOf;
using warp::combine;
using warp::pixelPlanes;
using warp::rowRange;
using warp::sampleX;
using warp::sampleY;

namespace warp {
HWY_EXPORT(PlanesBandImpl);
HWY_EXPORT(GatherBandImpl);
}  // namespace warp

void warpDirectorPlanesBand(const float* source, float* planes, int64_t W, int64_t H, int64_t row_begin,
                            int64_t row_end) {
  rowRange(H, row_begin, row_end);
  if (row_begin >= row_end || W <= 0) return;
  HWY_DYNAMIC_DISPATCH(warp::PlanesBandImpl)(source, planes, W, H, row_begin, row_end);
}

void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int64_t W, int64_t H, int64_t row_begin,
                            int64_t row_end) {
  rowRange(H, row_begin, row_end);
  if (row_begin >= row_end || W <= 0) return;
  // The corner tables hold offsets into the planes as 32-bit integers.
  if (H > std::numeric_limits<int32_t>::max() / kWarpPlaneFloats / W) {
    throw std::runtime_error("warpDirectorGatherBand: planes of " + std::to_string(H) + " x " + std::to_string(W) +
                             " pixels are past the 32-bit offsets of the gather");
  }
  HWY_DYNAMIC_DISPATCH(warp::GatherBandImpl)(planes, grid, out, W, H, row_begin, row_end);
}

void warpDirectorBand(const float* source, const float* grid, float* out, int64_t W, int64_t H, int64_t row_begin,
                      int64_t row_end) {
  rowRange(H, row_begin, row_end);
  const int64_t plane = W * H;
  float p[4][kWarpPlaneFloats];
  for (int64_t i = row_begin; i < row_end; ++i) {
    for (int64_t j = 0; j < W; ++j) {
      const float* g = grid + 2 * (i * W + j);
      const Axis ax = axisOf(sampleX(g, W), W);
      const Axis ay = axisOf(sampleY(g, H), H);
      pixelPlanes(source, W, H, ay.i0, ax.i0, p[0]);
      pixelPlanes(source, W, H, ay.i0, ax.i1, p[1]);
      pixelPlanes(source, W, H, ay.i1, ax.i0, p[2]);
      pixelPlanes(source, W, H, ay.i1, ax.i1, p[3]);
      combine(p[0], p[1], p[2], p[3], ax, ay, out + i * W + j, plane);
    }
  }
}

void warpDirector(const float* source, const float* grid, float* out, int64_t W, int64_t H) {
  warpDirectorBand(source, grid, out, W, H, 0, H);
}

const char* warpBody() { return "highway"; }

}  // namespace vesk
#endif  // HWY_ONCE
