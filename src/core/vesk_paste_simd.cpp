// The inner loop of the paste: one canvas row, Lanczos-8 resampling of the crop blended in with
// the bilinear-sampled feather mask. A crop pixel is four floats (R, G, B, 0), so one 4-lane vector
// carries the three channels of a tap and every lane runs exactly the per-channel order of sums.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/vesk_paste_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace vesk::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Clamped to 0..255 and truncated; a NaN gives 0 rather than an undefined conversion.
inline uint8_t BlendByte(uint8_t frame, float acc, float alpha) {
  const float out = (static_cast<float>(frame) * (1.0f - alpha)) + (acc * alpha);
  float c = out > 0.0f ? out : 0.0f;
  c = c < 255.0f ? c : 255.0f;
  return static_cast<uint8_t>(static_cast<int>(c));
}

void PasteLanczos8RowImpl(const float* HWY_RESTRICT src4, int side, const uint8_t* HWY_RESTRICT mask,
                          const float* HWY_RESTRICT lanczos, const float* HWY_RESTRICT bilinear,
                          const int* HWY_RESTRICT col_u, const int* HWY_RESTRICT col_v, int row_u, int row_v, int x0,
                          int x1, uint8_t* HWY_RESTRICT row_rgb) {
  const hn::CappedTag<float, 4> d4;
  const size_t s = static_cast<size_t>(side);
  auto maskAt = [&](int r, int c) -> float {
    if (r < 0 || r >= side || c < 0 || c >= side) return 0.0f;
    return static_cast<float>(mask[static_cast<size_t>(r) * s + static_cast<size_t>(c)]);
  };
  constexpr size_t kAccLanes = HWY_MAX_BYTES / sizeof(float) < 4 ? 4 : HWY_MAX_BYTES / sizeof(float);
  HWY_ALIGN float acc4[kAccLanes];
  for (int x = x0; x <= x1; ++x) {
    const int u = col_u[x - x0] + row_u;
    const int v = col_v[x - x0] + row_v;
    const int iu = u >> 10;
    const int iv = v >> 10;
    const int pu = (u >> 5) & 31;
    const int pv = (v >> 5) & 31;
    if (!(iu < side && u >= -1024 && iv < side && v >= -1024)) continue;

    const float bu0 = bilinear[2 * pu];
    const float bu1 = bilinear[2 * pu + 1];
    const float bv0 = bilinear[2 * pv];
    const float bv1 = bilinear[2 * pv + 1];
    const float m00 = maskAt(iv, iu);
    const float m01 = maskAt(iv, iu + 1);
    const float m10 = maskAt(iv + 1, iu);
    const float m11 = maskAt(iv + 1, iu + 1);
    const float a = ((bu0 * m10 + bu1 * m11) * bv1) + (bv0 * (bu1 * m01 + bu0 * m00));
    const float alpha = std::nearbyint(a) / 255.0f;
    if (alpha <= 0.0f) continue;

    const float* lx = lanczos + 8 * pu;
    const float* ly = lanczos + 8 * pv;
#if HWY_TARGET == HWY_SCALAR
    // One-lane vectors: the fallback target runs the channels one after another, same order.
    (void)d4;
    for (int ch = 0; ch < 3; ++ch) {
      float accc = 0.0f;
      for (int r = 0; r < 8; ++r) {
        const int row = iv - 3 + r;
        if (row < 0 || row >= side) continue;
        bool first = true;
        float rs = 0.0f;
        for (int k = 0; k < 8; ++k) {
          const int col = iu - 3 + k;
          if (col < 0 || col >= side) continue;
          const float prod = src4[(static_cast<size_t>(row) * s + static_cast<size_t>(col)) * 4 + ch] * lx[k];
          rs = first ? prod : rs + prod;
          first = false;
        }
        if (!first) accc = accc + rs * ly[r];
      }
      acc4[ch] = accc;
    }
#else
    auto acc = hn::Zero(d4);
    const bool inside = iu >= 3 && iu + 4 < side && iv >= 3 && iv + 4 < side;
    if (inside) {
      const auto w0 = hn::Set(d4, lx[0]), w1 = hn::Set(d4, lx[1]), w2 = hn::Set(d4, lx[2]), w3 = hn::Set(d4, lx[3]);
      const auto w4 = hn::Set(d4, lx[4]), w5 = hn::Set(d4, lx[5]), w6 = hn::Set(d4, lx[6]), w7 = hn::Set(d4, lx[7]);
      const float* p = src4 + ((static_cast<size_t>(iv - 3) * s) + static_cast<size_t>(iu - 3)) * 4;
      for (int r = 0; r < 8; ++r, p += 4 * s) {
        auto rs = hn::Mul(hn::LoadU(d4, p), w0);
        rs = hn::Add(rs, hn::Mul(hn::LoadU(d4, p + 4), w1));
        rs = hn::Add(rs, hn::Mul(hn::LoadU(d4, p + 8), w2));
        rs = hn::Add(rs, hn::Mul(hn::LoadU(d4, p + 12), w3));
        rs = hn::Add(rs, hn::Mul(hn::LoadU(d4, p + 16), w4));
        rs = hn::Add(rs, hn::Mul(hn::LoadU(d4, p + 20), w5));
        rs = hn::Add(rs, hn::Mul(hn::LoadU(d4, p + 24), w6));
        rs = hn::Add(rs, hn::Mul(hn::LoadU(d4, p + 28), w7));
        acc = hn::Add(acc, hn::Mul(rs, hn::Set(d4, ly[r])));
      }
    } else {
      // Near the crop's border: rows and columns outside it contribute nothing.
      const int cBegin = iu - 3 < 0 ? 3 - iu : 0;
      const int cEnd = iu + 4 >= side ? side - (iu - 3) : 8;
      for (int r = 0; r < 8; ++r) {
        const int row = iv - 3 + r;
        if (row < 0 || row >= side || cBegin >= cEnd) continue;
        const float* p = src4 + ((static_cast<size_t>(row) * s) + static_cast<size_t>(iu - 3 + cBegin)) * 4;
        auto rs = hn::Mul(hn::LoadU(d4, p), hn::Set(d4, lx[cBegin]));
        for (int k = cBegin + 1; k < cEnd; ++k) {
          p += 4;
          rs = hn::Add(rs, hn::Mul(hn::LoadU(d4, p), hn::Set(d4, lx[k])));
        }
        acc = hn::Add(acc, hn::Mul(rs, hn::Set(d4, ly[r])));
      }
    }
    hn::Store(acc, d4, acc4);
#endif
    uint8_t* px = row_rgb + 3 * static_cast<size_t>(x);
    px[0] = BlendByte(px[0], acc4[0], alpha);
    px[1] = BlendByte(px[1], acc4[1], alpha);
    px[2] = BlendByte(px[2], acc4[2], alpha);
  }
}

}  // namespace vesk::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <stdexcept>
#include <string>

#include "core/vesk_simd.h"

namespace vesk::simd {

HWY_EXPORT(PasteLanczos8RowImpl);

void pasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos, const float* bilinear,
                      const int* col_u, const int* col_v, int row_u, int row_v, int x0, int x1, uint8_t* row_rgb) {
  if (side <= 0) throw std::runtime_error("pasteLanczos8Row: crop side " + std::to_string(side) + " is not positive");
  if (x0 < 0 && x0 <= x1) {
    throw std::runtime_error("pasteLanczos8Row: columns start at " + std::to_string(x0) + ", left of the canvas");
  }
  HWY_DYNAMIC_DISPATCH(PasteLanczos8RowImpl)(src4, side, mask, lanczos, bilinear, col_u, col_v, row_u, row_v, x0, x1,
                                             row_rgb);
}

}  // namespace vesk::simd
#endif  // HWY_ONCE
