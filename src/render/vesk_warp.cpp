// WarpDirector's bodies. The planes phase, the gather phase and the direct form share the helpers
// below, so the two-phase run and the direct form agree bit for bit.
#include "render/vesk_warp.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace vesk {
namespace {

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

// out[k * plane] for the three channels from the four corners' planes.
inline void combine(const float* p00, const float* p01, const float* p10, const float* p11, const Axis& ax,
                    const Axis& ay, float* out, int64_t plane) {
  const float w00 = ax.w0 * ay.w0;
  const float w01 = ax.w1 * ay.w0;
  const float w10 = ax.w0 * ay.w1;
  const float w11 = ax.w1 * ay.w1;
  const float hxy = ax.h * ay.h;
  for (int64_t k = 0; k < kWarpChannels; ++k) {
    float v[4];
    for (int q = 0; q < 4; ++q) {
      const int64_t i = 4 * k + q;
      v[q] = w00 * p00[i] + w01 * p01[i] + w10 * p10[i] + w11 * p11[i];
    }
    out[k * plane] = v[0] - ax.h * v[1] - ay.h * v[2] + hxy * v[3];
  }
}

inline void rowRange(int64_t H, int64_t& begin, int64_t& end) {
  begin = std::max<int64_t>(begin, 0);
  end = std::min(end, H);
}

inline float sampleX(const float* g, int64_t W) { return ((g[0] + 1.0f) * static_cast<float>(W) - 1.0f) * 0.5f; }
inline float sampleY(const float* g, int64_t H) { return ((g[1] + 1.0f) * static_cast<float>(H) - 1.0f) * 0.5f; }

}  // namespace

void warpDirectorPlanesBand(const float* source, float* planes, int64_t W, int64_t H, int64_t row_begin,
                            int64_t row_end) {
  rowRange(H, row_begin, row_end);
  for (int64_t r = row_begin; r < row_end; ++r)
    for (int64_t c = 0; c < W; ++c) pixelPlanes(source, W, H, r, c, planes + (r * W + c) * kWarpPlaneFloats);
}

void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int64_t W, int64_t H, int64_t row_begin,
                            int64_t row_end) {
  rowRange(H, row_begin, row_end);
  const int64_t plane = W * H;
  for (int64_t i = row_begin; i < row_end; ++i) {
    for (int64_t j = 0; j < W; ++j) {
      const float* g = grid + 2 * (i * W + j);
      const Axis ax = axisOf(sampleX(g, W), W);
      const Axis ay = axisOf(sampleY(g, H), H);
      const float* top = planes + ay.i0 * W * kWarpPlaneFloats;
      const float* bottom = planes + ay.i1 * W * kWarpPlaneFloats;
      combine(top + ax.i0 * kWarpPlaneFloats, top + ax.i1 * kWarpPlaneFloats, bottom + ax.i0 * kWarpPlaneFloats,
              bottom + ax.i1 * kWarpPlaneFloats, ax, ay, out + i * W + j, plane);
    }
  }
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

const char* warpBody() { return "scalar"; }

}  // namespace vesk
