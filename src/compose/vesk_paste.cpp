#include "compose/vesk_paste.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <utility>

#include "compose/vesk_paste_blur.h"
#include "core/vesk_pool.h"
#include "core/vesk_simd.h"
#include "core/vesk_env.h"

namespace vesk {
namespace {

constexpr size_t kGrain = 64;
constexpr int kPhases = 32;
constexpr int kMaxSide = 1024;
// Fixed-point coordinates are 1/1024 pixel in 32-bit lanes, and the row kernel adds a column part
// to a row part. A column part below 2^29 and a row part below 2^29 + 2^21 keep that sum in range;
// a row part beyond that puts every pixel of the row at least 2^21 units (2048 pixels) off a crop
// of at most 1024, so such a row is left alone without looking at it.
constexpr double kColLimit = 536870912.0;             // 2^29
constexpr double kRowLimit = 536870912.0 + 2097152.0;  // 2^29 + 2^21

// Clamp to 0..255 and truncate toward zero; NaN gives 0.
inline uint8_t toByte(float v) {
  float c = v > 0.0f ? (v < 255.0f ? v : 255.0f) : 0.0f;
  return static_cast<uint8_t>(c);
}

// trunc(v) limited to [lo, hi]; every value beyond a limit behaves like the limit for the box test.
inline int truncClamp(float v, int lo, int hi) {
  double t = std::trunc(static_cast<double>(v));
  if (t < lo) return lo;
  if (t > hi) return hi;
  return static_cast<int>(t);
}

inline int reflect(int k, int side) { return k < side ? std::abs(k) : 2 * side - k - 2; }

std::once_flag g_executorOnce;

// What every row of a paste box shares: the frame, the box and the row parts of the coordinates.
struct RowJob {
  uint8_t* frame;
  size_t stride;
  int x0, x1, y0;
  double du_dy, dv_dy, u_off, v_off;
};

}  // namespace

Paste::Paste(std::vector<uint8_t> mask_in, int side_in, const PasteUnsharp& unsharp)
    : side(side_in), ksize(unsharp.ksize), padded(0), amount(unsharp.amount), fast(0), mask(std::move(mask_in)) {
  if (side < 1) throw std::runtime_error("paste: side must be positive");
  if (mask.size() != static_cast<size_t>(side) * static_cast<size_t>(side)) throw std::runtime_error("paste: mask size");
  if (ksize % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  if (ksize < 1) throw std::runtime_error("paste: ksize must be positive");
  // The reflected border has to come from inside the crop.
  if (ksize / 2 >= side) throw std::runtime_error("paste: ksize too large for the crop");

  if (auto f = env::leadingInteger("VESK_PASTE_FAST")) fast = (*f >= 0 && *f <= 2) ? static_cast<int32_t>(*f) : 0;
  if (auto k = env::leadingInteger("VESK_PASTE_KSIZE")) {
    // The environment may only shrink the kernel the bundle states.
    if (*k > 2 && *k % 2 == 1 && *k <= ksize) ksize = static_cast<int32_t>(*k);
  }
  padded = side + ksize - 1;

  gauss.resize(static_cast<size_t>(ksize));
  {
    const int c = (ksize - 1) / 2;
    const double sigma = unsharp.sigma;
    std::vector<double> g(static_cast<size_t>(ksize));
    double sum = 0.0;
    for (int i = 0; i < ksize; ++i) {
      double d = i - c;
      g[static_cast<size_t>(i)] = std::exp(-(d * d) / (2.0 * sigma * sigma));
      sum += g[static_cast<size_t>(i)];
    }
    for (int i = 0; i < ksize; ++i) gauss[static_cast<size_t>(i)] = static_cast<float>(g[static_cast<size_t>(i)] / sum);
  }

  bilinear.resize(kPhases * 2);
  lanczos.resize(kPhases * 8);
  cubic.resize(kPhases * 4);
  const double h = std::sqrt(0.5);
  const double cs[8][2] = {{1, 0}, {-h, -h}, {0, 1}, {h, -h}, {-1, 0}, {h, h}, {0, -1}, {-h, h}};
  for (int j = 0; j < kPhases; ++j) {
    const double t = j / 32.0;
    bilinear[static_cast<size_t>(j * 2)] = static_cast<float>(1.0 - t);
    bilinear[static_cast<size_t>(j * 2 + 1)] = static_cast<float>(t);

    float* lz = &lanczos[static_cast<size_t>(j * 8)];
    if (t < 1e-7) {
      for (int i = 0; i < 8; ++i) lz[i] = i == 3 ? 1.0f : 0.0f;
    } else {
      const double ang = -(t + 3.0) * std::numbers::pi / 4.0;
      const double s = std::sin(ang);
      const double k = std::cos(ang);
      double w[8];
      double sum = 0.0;
      for (int i = 0; i < 8; ++i) {
        const double y = (t + 3.0 - i) * std::numbers::pi / 4.0;
        w[i] = (cs[i][0] * s + cs[i][1] * k) / (y * y);
        sum += w[i];
      }
      for (int i = 0; i < 8; ++i) lz[i] = static_cast<float>(w[i] / sum);
    }

    const double a = -0.75;
    const double x = t;
    const double w0 = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
    const double w1 = ((a + 2) * x - (a + 3)) * x * x + 1;
    const double w2 = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
    const double w3 = 1 - w0 - w1 - w2;
    float* cb = &cubic[static_cast<size_t>(j * 4)];
    cb[0] = static_cast<float>(w0);
    cb[1] = static_cast<float>(w1);
    cb[2] = static_cast<float>(w2);
    cb[3] = static_cast<float>(w3);
  }

  const size_t area = static_cast<size_t>(side) * static_cast<size_t>(side);
  for (auto& p : planes) p.assign(area, 0.0f);
  pad.assign(static_cast<size_t>(padded) * static_cast<size_t>(padded), 0.0f);
  hblur.assign(pad.size(), 0.0f);
  src4.assign(area * 4, 0.0f);
}

void Paste::fillPlanes(const float* crop, float scale) {
  if (crop == nullptr) throw std::runtime_error("paste: null crop");
  const size_t area = static_cast<size_t>(side) * static_cast<size_t>(side);
  for (size_t c = 0; c < 3; ++c) pastesimd::scale(crop + c * area, scale, planes[c].data(), area);
}

void Paste::unsharpPlane(std::vector<float>& plane) {
  // The fixed-point coordinate limits of the row kernels assume crops of at most 1024 pixels.
  if (side > kMaxSide) throw std::runtime_error("paste: side > 1024");
  const size_t n = static_cast<size_t>(side);
  if (plane.size() != n * n) throw std::runtime_error("paste: plane size");
  const size_t P = static_cast<size_t>(padded);
  const int r = ksize / 2;
  const size_t K = static_cast<size_t>(ksize);

  struct Job {
    float* plane;
    size_t n, P, K;
    int r;
  } job{plane.data(), n, P, K, r};

  // Reflected border, without repeating the edge pixel.
  pool::parallelRange(P, kGrain, [this, &job](size_t b, size_t e) {
    const int sd = side;
    for (size_t i = b; i < e; ++i) {
      const float* __restrict src = job.plane + static_cast<size_t>(reflect(static_cast<int>(i) - job.r, sd)) * job.n;
      float* __restrict dst = pad.data() + i * job.P;
      for (int j = 0; j < job.r; ++j) dst[j] = src[reflect(j - job.r, sd)];
      std::copy(src, src + job.n, dst + job.r);
      for (size_t j = job.n + static_cast<size_t>(job.r); j < job.P; ++j)
        dst[j] = src[reflect(static_cast<int>(j) - job.r, sd)];
    }
  });

  // Horizontal blur over the flattened pad: the outputs that wrap past a row end are never read.
  const size_t hn = P * P - K + 1;
  pool::parallelRange(hn, kGrain, [this, &job](size_t b, size_t e) {
    pastesimd::blurRange(pad.data(), gauss.data(), job.K, hblur.data(), b, e);
  });

  // Vertical blur and sharpening, one output row at a time.
  pool::parallelRange(n, kGrain, [this, &job](size_t b, size_t e) {
    for (size_t y = b; y < e; ++y)
      pastesimd::sharpenRow(hblur.data() + y * job.P, job.P, gauss.data(), job.K, amount, job.plane + y * job.n,
                            job.n);
  });
}

void Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H) {
  if (crop == nullptr || M == nullptr || frame == nullptr) throw std::runtime_error("paste: null buffer");
  const float a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = static_cast<double>(a) * e - static_cast<double>(b) * d;
  if (det == 0.0 || !std::isfinite(det) || !std::isfinite(c) || !std::isfinite(f)) return;

  const float lo = -4.0f, hi = static_cast<float>(side + 3);
  const float px[4] = {lo, hi, lo, hi};
  const float py[4] = {lo, lo, hi, hi};
  float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    const float X = (b * py[i] + a * px[i]) + c;
    const float Y = (e * py[i] + d * px[i]) + f;
    if (std::isnan(X) || std::isnan(Y)) return;
    minX = std::min(minX, X);
    maxX = std::max(maxX, X);
    minY = std::min(minY, Y);
    maxY = std::max(maxY, Y);
  }
  if (W < 1 || H < 1) return;
  const int x0 = truncClamp(minX, 0, W), x1 = truncClamp(maxX, -1, W - 1);
  const int y0 = truncClamp(minY, 0, H), y1 = truncClamp(maxY, -1, H - 1);
  if (x0 > x1 || y0 > y1) return;

  const size_t cols = static_cast<size_t>(x1 - x0 + 1);
  if (col_u.size() < cols) {
    col_u.resize(cols);
    col_v.resize(cols);
  }
  const double inv = 1.0 / det;
  const double eInv = static_cast<double>(e) * inv;
  const double negD = -static_cast<double>(d);
  // The column parts grow linearly, so the ends of the box bound them. Beyond the fixed-point range
  // the crop covers far less than a pixel; such a matrix is treated like a singular one.
  for (int x : {x0, x1}) {
    const double u = std::trunc((x * eInv) * 1024.0);
    const double v = std::trunc(((x * negD) * inv) * 1024.0);
    if (!(std::fabs(u) < kColLimit) || !(std::fabs(v) < kColLimit)) return;
  }
  for (int x = x0; x <= x1; ++x) {
    col_u[static_cast<size_t>(x - x0)] = static_cast<int32_t>((x * eInv) * 1024.0);
    col_v[static_cast<size_t>(x - x0)] = static_cast<int32_t>(((x * negD) * inv) * 1024.0);
  }

  std::call_once(g_executorOnce, [this] {
    std::fprintf(stderr, "[vesk-paste] executor=%s (side=%d, ksize=%d, threads=%d) \xE2\x80\x94 1080p frame\n", "cpu",
                 side, ksize, pool::threads());
  });

  fillPlanes(crop, scale);
  for (auto& p : planes) unsharpPlane(p);

  const double negB = -static_cast<double>(b);
  const double aInv = static_cast<double>(a) * inv;
  compositeTail(frame, W, x0, x1, y0, y1, negB * inv, aInv, -((c * eInv) + ((f * negB) * inv)),
                -(((c * negD) * inv) + (f * aInv)));
}

void Paste::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double du_dy, double dv_dy,
                          double u_off, double v_off) {
  if (frame == nullptr) throw std::runtime_error("paste: null buffer");
  if (x0 < 0 || y0 < 0 || x1 >= W) throw std::runtime_error("paste: box outside the frame");
  if (x0 > x1 || y0 > y1) return;
  if (col_u.size() < static_cast<size_t>(x1 - x0 + 1) || col_v.size() < col_u.size())
    throw std::runtime_error("paste: column tables shorter than the box");

  if (fast != 0) {
    rowsFast(frame, W, x0, x1, y0, y1, du_dy, dv_dy, u_off, v_off);
    return;
  }

  const size_t n = static_cast<size_t>(side);
  pool::parallelRange(n, kGrain, [this, n](size_t b, size_t e) {
    pastesimd::interleave4(planes[0].data() + b * n, planes[1].data() + b * n, planes[2].data() + b * n,
                           src4.data() + 4 * b * n, (e - b) * n);
  });

  const RowJob job{frame, static_cast<size_t>(W) * 3, x0, x1, y0, du_dy, dv_dy, u_off, v_off};
  pool::parallelRange(static_cast<size_t>(y1 - y0 + 1), kGrain, [this, &job](size_t b, size_t e) {
    for (size_t k = b; k < e; ++k) {
      const int y = job.y0 + static_cast<int>(k);
      const double ru = std::rint((y * job.du_dy + job.u_off) * 1024.0);
      const double rv = std::rint((y * job.dv_dy + job.v_off) * 1024.0);
      if (!(std::fabs(ru) < kRowLimit) || !(std::fabs(rv) < kRowLimit)) continue;
      simd::pasteLanczos8Row(src4.data(), side, mask.data(), lanczos.data(), bilinear.data(), col_u.data(),
                             col_v.data(), static_cast<int>(ru) + 16, static_cast<int>(rv) + 16, job.x0, job.x1,
                             job.frame + static_cast<size_t>(y) * job.stride);
    }
  });
}

void Paste::rowsFast(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double du_dy, double dv_dy,
                     double u_off, double v_off) {
  const RowJob job{frame, static_cast<size_t>(W) * 3, x0, x1, y0, du_dy, dv_dy, u_off, v_off};

  pool::parallelRange(static_cast<size_t>(y1 - y0 + 1), kGrain, [this, &job](size_t b, size_t e) {
    const int sd = side;
    const size_t n = static_cast<size_t>(sd);
    auto m = [&](int r, int c) -> float {
      return (r >= 0 && r < sd && c >= 0 && c < sd) ? static_cast<float>(mask[static_cast<size_t>(r) * n + static_cast<size_t>(c)]) : 0.0f;
    };
    for (size_t k = b; k < e; ++k) {
      const int y = job.y0 + static_cast<int>(k);
      const double ru = std::rint((y * job.du_dy + job.u_off) * 1024.0);
      const double rv = std::rint((y * job.dv_dy + job.v_off) * 1024.0);
      if (!(std::fabs(ru) < kRowLimit) || !(std::fabs(rv) < kRowLimit)) continue;
      const int row_u = static_cast<int>(ru) + 16, row_v = static_cast<int>(rv) + 16;
      uint8_t* row = job.frame + static_cast<size_t>(y) * job.stride;
      for (int x = job.x0; x <= job.x1; ++x) {
        const int u = col_u[static_cast<size_t>(x - job.x0)] + row_u;
        const int v = col_v[static_cast<size_t>(x - job.x0)] + row_v;
        const int iu = u >> 10, iv = v >> 10;
        const int pu = (u >> 5) & 31, pv = (v >> 5) & 31;
        if (!(iu < sd && u >= -1024 && iv < sd && v >= -1024)) continue;
        const float bu0 = bilinear[static_cast<size_t>(pu * 2)], bu1 = bilinear[static_cast<size_t>(pu * 2 + 1)];
        const float bv0 = bilinear[static_cast<size_t>(pv * 2)], bv1 = bilinear[static_cast<size_t>(pv * 2 + 1)];
        const float m00 = m(iv, iu), m01 = m(iv, iu + 1), m10 = m(iv + 1, iu), m11 = m(iv + 1, iu + 1);
        const float am = ((bu0 * m10 + bu1 * m11) * bv1) + (bv0 * (bu1 * m01 + bu0 * m00));
        const float alpha = std::nearbyint(am) / 255.0f;
        if (!(alpha > 0.0f)) continue;
        const float keep = 1.0f - alpha;
        uint8_t* px = row + static_cast<size_t>(x) * 3;
        for (int ch = 0; ch < 3; ++ch) {
          const float* p = planes[static_cast<size_t>(ch)].data();
          auto at = [&](int r, int c) -> float {
            return (r >= 0 && r < sd && c >= 0 && c < sd) ? p[static_cast<size_t>(r) * n + static_cast<size_t>(c)] : 0.0f;
          };
          float out;
          if (fast == 1) {
            const float* cu = &cubic[static_cast<size_t>(pu * 4)];
            const float* cv = &cubic[static_cast<size_t>(pv * 4)];
            float acc = 0.0f;
            for (int ri = 0; ri < 4; ++ri) {
              const int r = iv - 1 + ri;
              if (r < 0 || r >= sd) continue;
              float rs = 0.0f;
              for (int ci = 0; ci < 4; ++ci) {
                const int cc = iu - 1 + ci;
                if (cc < 0 || cc >= sd) continue;
                rs = rs + p[static_cast<size_t>(r) * n + static_cast<size_t>(cc)] * cu[ci];
              }
              acc = acc + rs * cv[ri];
            }
            out = (static_cast<float>(px[ch]) * keep) + (alpha * acc);
          } else {
            const float p00 = at(iv, iu), p01 = at(iv, iu + 1), p10 = at(iv + 1, iu), p11 = at(iv + 1, iu + 1);
            const float s = (bu0 * p00 + bu1 * p01) * bv0 + (bu0 * p10 + bu1 * p11) * bv1;
            out = s * alpha + static_cast<float>(px[ch]) * keep;
          }
          px[ch] = toByte(out);
        }
      }
    }
  });
}


}  // namespace vesk
