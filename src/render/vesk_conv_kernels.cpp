// The fp16 convolution backend's kernels, compiled once per SIMD target.
//
// A convolution works one output row at a time: its three input rows are widened to fp32 once (with
// a zero column either side), then each block of output channels runs over groups of pixels with
// the block's accumulators in registers, each packed fp16 weight vector widened once per input
// channel and shared by the group. The sums are fused multiply-adds in a fixed order
// (taps, then input channels), so a target gives the same bits whatever the row split. The 3x3
// layers whose sides are multiples of 4 run as Winograd F(4x4, 3x3) instead: a chunk of tiles is
// transformed, multiplied per element as 36 small matrix products with the same register blocking,
// and transformed back, a quarter of the direct form's multiplications.
// SVE vectors are sizeless types, which the accumulator arrays below cannot hold; on Arm this file
// runs its NEON variant, which every SVE CPU also has.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
#endif
// clang-format off: foreach_target must come first, and re-includes this file once per target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/vesk_conv_kernels.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "render/vesk_conv_kernels.h"

HWY_BEFORE_NAMESPACE();
namespace vesk::conv::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::CappedTag<float, 8>;
using DH = hn::Rebind<hwy::float16_t, DF>;

HWY_INLINE hn::Vec<DF> Widen(const uint16_t* HWY_RESTRICT p) {
  return hn::PromoteTo(DF(), hn::LoadU(DH(), reinterpret_cast<const hwy::float16_t*>(p)));
}

// Widens input row y (zero when outside the image) into dst, (W + 2) pixels of cin floats.
HWY_INLINE void WidenRow(const ConvGeom& g, const uint16_t* HWY_RESTRICT in, int y, float* HWY_RESTRICT dst) {
  const DF df;
  const size_t N = hn::Lanes(df);
  const size_t rowLen = static_cast<size_t>(g.W) * static_cast<size_t>(g.cin);
  std::memset(dst, 0, static_cast<size_t>(g.cin) * sizeof(float));
  std::memset(dst + static_cast<size_t>(g.cin) + rowLen, 0, static_cast<size_t>(g.cin) * sizeof(float));
  float* body = dst + g.cin;
  if (y < 0 || y >= g.H) {
    std::memset(body, 0, rowLen * sizeof(float));
    return;
  }
  const uint16_t* src = in + static_cast<size_t>(y) * rowLen;
  for (size_t i = 0; i < rowLen; i += N) hn::StoreU(Widen(src + i), df, body + i);  // cin is a multiple of 8
}

template <int NV, int P>
HWY_INLINE void PixelGroup(const ConvGeom& g, const float* const* rows, const uint16_t* HWY_RESTRICT wblock,
                           const hn::Vec<DF>* bias, int x, float* HWY_RESTRICT acc_out) {
  const DF df;
  const size_t N = hn::Lanes(df);
  const int cin = g.cin;
  const int bw = g.bw;
  const int k = g.k;
  const int pad = k / 2;
  // Every loop over p and v is unrolled so the accumulators live in registers.
  hn::Vec<DF> acc[P][NV];
#pragma GCC unroll 16
  for (int p = 0; p < P; ++p)
#pragma GCC unroll 16
    for (int v = 0; v < NV; ++v) acc[p][v] = bias[v];
  for (int ky = 0; ky < k; ++ky) {
    const float* row = rows[ky];
    for (int kx = 0; kx < k; ++kx) {
      const float* xin = row + static_cast<size_t>(x + kx - pad + 1) * static_cast<size_t>(cin);
      const uint16_t* wp = wblock + static_cast<size_t>(ky * k + kx) * static_cast<size_t>(cin) * bw;
      for (int c = 0; c < cin; ++c) {
        hn::Vec<DF> w[NV];
#pragma GCC unroll 16
        for (int v = 0; v < NV; ++v) w[v] = Widen(wp + static_cast<size_t>(c) * bw + v * N);
#pragma GCC unroll 16
        for (int p = 0; p < P; ++p) {
          const hn::Vec<DF> xv = hn::Set(df, xin[static_cast<size_t>(p) * cin + c]);
#pragma GCC unroll 16
          for (int v = 0; v < NV; ++v) acc[p][v] = hn::MulAdd(w[v], xv, acc[p][v]);
        }
      }
    }
  }
  const hn::Vec<DF> zero = hn::Zero(df);
#pragma GCC unroll 16
  for (int p = 0; p < P; ++p)
#pragma GCC unroll 16
    for (int v = 0; v < NV; ++v) {
      hn::Vec<DF> r = acc[p][v];
      if (g.relu) r = hn::Max(r, zero);
      hn::StoreU(r, df, acc_out + static_cast<size_t>(p) * bw + v * N);
    }
}

// Pixels per group: as many as leave the accumulators, the widened weights and the broadcast input
// in registers (16 vector registers on AVX2 and SSE4, 32 on the others).
template <int NV>
constexpr int PixelsFor() {
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
  constexpr int regs = 16;
#else
  constexpr int regs = 32;
#endif
  return std::max(1, std::min(8, (regs - NV - 2) / NV));
}

template <int NV>
void RowsNV(const ConvGeom& g, const uint16_t* HWY_RESTRICT in, uint16_t* HWY_RESTRICT out, int y0, int y1,
            float* HWY_RESTRICT scratch) {
  const DF df;
  const DH dh;
  const size_t N = hn::Lanes(df);
  const size_t rowFloats = static_cast<size_t>(g.W + 2) * static_cast<size_t>(g.cin);
  const int blocks = (g.cout + g.bw - 1) / g.bw;
  const int k = g.k;
  const int pad = k / 2;
  HWY_ALIGN float res[8 * NV * 8];  // at most 8 pixels of NV vectors of at most 8 lanes
  // One pixel's block as halves. NV * N is bw at run time, but the switch below instantiates every
  // NV for every lane count, and GCC's bounds check sees those stores too.
  constexpr size_t kTmp = static_cast<size_t>(NV) * 8;
  for (int y = y0; y < y1; ++y) {
    const float* rows[3];
    for (int ky = 0; ky < k; ++ky) {
      float* r = scratch + static_cast<size_t>(ky) * rowFloats;
      WidenRow(g, in, y + ky - pad, r);
      rows[ky] = r;
    }
    uint16_t* orow = out + static_cast<size_t>(y) * g.W * g.outStride;
    for (int b = 0; b < blocks; ++b) {
      const uint16_t* wblock = g.weights + static_cast<size_t>(b) * k * k * g.cin * g.bw;
      hn::Vec<DF> bias[NV];
      for (int v = 0; v < NV; ++v) bias[v] = Widen(g.bias + static_cast<size_t>(b) * g.bw + v * N);
      const int c0 = b * g.bw;
      const int cn = std::min(g.bw, g.outStride - c0);
      int x = 0;
      constexpr int kP = PixelsFor<NV>();
      for (; x + kP <= g.W; x += kP) {
        PixelGroup<NV, kP>(g, rows, wblock, bias, x, res);
        for (int p = 0; p < kP; ++p) {
          uint16_t* o = orow + static_cast<size_t>(x + p) * g.outStride + c0;
          if (cn == g.bw) {
            for (int v = 0; v < NV; ++v)
              hn::StoreU(hn::DemoteTo(dh, hn::LoadU(df, res + p * g.bw + v * N)), dh,
                         reinterpret_cast<hwy::float16_t*>(o + v * N));
          } else {
            HWY_ALIGN uint16_t tmp[kTmp];
            for (int v = 0; v < NV; ++v)
              hn::StoreU(hn::DemoteTo(dh, hn::LoadU(df, res + p * g.bw + v * N)), dh,
                         reinterpret_cast<hwy::float16_t*>(tmp + v * N));
            std::memcpy(o, tmp, static_cast<size_t>(cn) * sizeof(uint16_t));
          }
        }
      }
      for (; x < g.W; ++x) {
        PixelGroup<NV, 1>(g, rows, wblock, bias, x, res);
        HWY_ALIGN uint16_t tmp[kTmp];
        for (int v = 0; v < NV; ++v)
          hn::StoreU(hn::DemoteTo(dh, hn::LoadU(df, res + v * N)), dh, reinterpret_cast<hwy::float16_t*>(tmp + v * N));
        std::memcpy(orow + static_cast<size_t>(x) * g.outStride + c0, tmp, static_cast<size_t>(cn) * sizeof(uint16_t));
      }
    }
  }
}

void ConvRowsImpl(const ConvGeom& g, const uint16_t* in, uint16_t* out, int y0, int y1, float* scratch) {
  const size_t nv = static_cast<size_t>(g.bw) / hn::Lanes(DF());
  switch (nv) {
    case 1:
      return RowsNV<1>(g, in, out, y0, y1, scratch);
    case 2:
      return RowsNV<2>(g, in, out, y0, y1, scratch);
    case 4:
      return RowsNV<4>(g, in, out, y0, y1, scratch);
    case 8:
      return RowsNV<8>(g, in, out, y0, y1, scratch);
    default:
      return RowsNV<16>(g, in, out, y0, y1, scratch);
  }
}

// --- Winograd F(4x4, 3x3) ---------------------------------------------------------------------

// B^T applied to six vectors in place, as fourteen operations.
HWY_INLINE void InputTransform6(hn::Vec<DF>* d) {
  const DF df;
  const auto four = hn::Set(df, 4.0f), five = hn::Set(df, 5.0f), two = hn::Set(df, 2.0f);
  const auto r0 = hn::NegMulAdd(five, d[2], hn::MulAdd(four, d[0], d[4]));  // 4 d0 - 5 d2 + d4
  const auto r1 = hn::NegMulAdd(four, hn::Add(d[1], d[2]), hn::Add(d[3], d[4]));
  const auto r2 = hn::MulAdd(four, hn::Sub(d[1], d[2]), hn::Sub(d[4], d[3]));
  const auto f = hn::Sub(d[4], d[2]), h = hn::Sub(d[3], d[1]);
  const auto r3 = hn::MulAdd(two, h, f);
  const auto r4 = hn::NegMulAdd(two, h, f);
  const auto r5 = hn::NegMulAdd(five, d[3], hn::MulAdd(four, d[1], d[5]));  // 4 d1 - 5 d3 + d5
  d[0] = r0;
  d[1] = r1;
  d[2] = r2;
  d[3] = r3;
  d[4] = r4;
  d[5] = r5;
}

// A^T applied to six vectors, four results.
HWY_INLINE void OutputTransform6(const hn::Vec<DF>* m, hn::Vec<DF>* o) {
  const DF df;
  const auto a = hn::Add(m[1], m[2]), b = hn::Sub(m[1], m[2]);
  const auto c = hn::Add(m[3], m[4]), d = hn::Sub(m[3], m[4]);
  o[0] = hn::Add(hn::Add(m[0], a), c);
  o[1] = hn::MulAdd(hn::Set(df, 2.0f), d, b);
  o[2] = hn::MulAdd(hn::Set(df, 4.0f), c, a);
  o[3] = hn::Add(hn::MulAdd(hn::Set(df, 8.0f), d, b), m[5]);
}

// The 36 transformed vectors of channels [cv, cv + N) of the tile whose input starts at (y0, x0):
// each input row is loaded and transformed along x at once, then the columns.
HWY_INLINE void TransformTile(const WinoGeom& g, const uint16_t* HWY_RESTRICT in, int y0, int x0, size_t cv,
                              float* HWY_RESTRICT v, size_t eStride) {
  const DF df;
  const size_t cin = static_cast<size_t>(g.cin);
  const bool colsIn = x0 >= 0 && x0 + 6 <= g.W;
  hn::Vec<DF> d[6][6];
  for (int i = 0; i < 6; ++i) {
    const int y = y0 + i;
    if (y < 0 || y >= g.H) {
      for (int j = 0; j < 6; ++j) d[i][j] = hn::Zero(df);
      continue;
    }
    const uint16_t* row = in + static_cast<size_t>(y) * static_cast<size_t>(g.W) * cin + cv;
    if (colsIn) {
      const uint16_t* p = row + static_cast<size_t>(x0) * cin;
      for (int j = 0; j < 6; ++j) d[i][j] = Widen(p + static_cast<size_t>(j) * cin);
    } else {
      for (int j = 0; j < 6; ++j) {
        const int x = x0 + j;
        d[i][j] = (x < 0 || x >= g.W) ? hn::Zero(df) : Widen(row + static_cast<size_t>(x) * cin);
      }
    }
    InputTransform6(d[i]);  // d B
  }
  for (int j = 0; j < 6; ++j) {  // B^T (d B)
    hn::Vec<DF> col[6];
    for (int i = 0; i < 6; ++i) col[i] = d[i][j];
    InputTransform6(col);
    for (int i = 0; i < 6; ++i) hn::StoreU(col[i], df, v + static_cast<size_t>(i * 6 + j) * eStride);
  }
}

// P tiles' products for one element and one block: m[p][bw] = sum_c v[p][c] u[c][bw].
template <int NV, int P>
HWY_INLINE void WinoGemm(const float* HWY_RESTRICT v, int cin, const float* HWY_RESTRICT u, int bw,
                         float* HWY_RESTRICT m, size_t mStride) {
  const DF df;
  const size_t N = hn::Lanes(df);
  hn::Vec<DF> acc[P][NV];
#pragma GCC unroll 16
  for (int p = 0; p < P; ++p)
#pragma GCC unroll 16
    for (int q = 0; q < NV; ++q) acc[p][q] = hn::Zero(df);
  for (int c = 0; c < cin; ++c) {
    hn::Vec<DF> w[NV];
#pragma GCC unroll 16
    for (int q = 0; q < NV; ++q) w[q] = hn::LoadU(df, u + static_cast<size_t>(c) * bw + q * N);
#pragma GCC unroll 16
    for (int p = 0; p < P; ++p) {
      const hn::Vec<DF> x = hn::Set(df, v[static_cast<size_t>(p) * cin + c]);
#pragma GCC unroll 16
      for (int q = 0; q < NV; ++q) acc[p][q] = hn::MulAdd(w[q], x, acc[p][q]);
    }
  }
#pragma GCC unroll 16
  for (int p = 0; p < P; ++p)
#pragma GCC unroll 16
    for (int q = 0; q < NV; ++q) hn::StoreU(acc[p][q], df, m + static_cast<size_t>(p) * mStride + q * N);
}

// The last r < P tiles of a chunk, in one group of r.
template <int NV, int P>
HWY_INLINE void WinoGemmTail(int r, const float* HWY_RESTRICT v, int cin, const float* HWY_RESTRICT u, int bw,
                             float* HWY_RESTRICT m, size_t mStride) {
  if constexpr (P >= 1) {
    if (r == P) return WinoGemm<NV, P>(v, cin, u, bw, m, mStride);
    WinoGemmTail<NV, P - 1>(r, v, cin, u, bw, m, mStride);
  }
}

template <int NV>
void WinoRowsNV(const WinoGeom& g, const uint16_t* HWY_RESTRICT in, uint16_t* HWY_RESTRICT out, int ty0, int ty1,
                float* HWY_RESTRICT scratch) {
  const DF df;
  const DH dh;
  const size_t N = hn::Lanes(df);
  const int tiles = g.W / 4;
  const int chunk = winoChunk(g);
  const size_t cin = static_cast<size_t>(g.cin), coutPad = static_cast<size_t>(g.coutPad);
  const int blocks = g.coutPad / g.bw;
  // v: element e, tile t, channel c at e * vStride + t * cin + c; m likewise with coutPad channels.
  // The element strides are a cache line off a power of two: the 36 elements of a tile would
  // otherwise fall into the same few sets of the L1 cache.
  const size_t vStride = static_cast<size_t>(chunk) * cin + kWinoSkew;
  const size_t mStride = static_cast<size_t>(chunk) * coutPad + kWinoSkew;
  float* HWY_RESTRICT v = scratch;
  float* HWY_RESTRICT m = v + 36 * vStride;
  constexpr int kP = PixelsFor<NV>();
  // Tiles are numbered row by row over the call's rows; a chunk may span rows.
  const int q1 = ty1 * tiles;
  for (int q0 = ty0 * tiles; q0 < q1; q0 += chunk) {
    const int tc = std::min(chunk, q1 - q0);
    for (int t = 0; t < tc; ++t) {
      const int ty = (q0 + t) / tiles, tx = (q0 + t) % tiles;
      for (size_t cv = 0; cv < cin; cv += N)
        TransformTile(g, in, 4 * ty - 1, 4 * tx - 1, cv, v + static_cast<size_t>(t) * cin + cv, vStride);
    }
    for (int e = 0; e < 36; ++e) {
      const float* ve = v + static_cast<size_t>(e) * vStride;
      float* me = m + static_cast<size_t>(e) * mStride;
      for (int b = 0; b < blocks; ++b) {
        const float* u = g.U + (static_cast<size_t>(e) * blocks + static_cast<size_t>(b)) * cin * g.bw;
        int t = 0;
        for (; t + kP <= tc; t += kP)
          WinoGemm<NV, kP>(ve + static_cast<size_t>(t) * cin, g.cin, u, g.bw,
                           me + static_cast<size_t>(t) * coutPad + static_cast<size_t>(b) * g.bw, coutPad);
        if (t < tc)
          WinoGemmTail<NV, kP - 1>(tc - t, ve + static_cast<size_t>(t) * cin, g.cin, u, g.bw,
                                   me + static_cast<size_t>(t) * coutPad + static_cast<size_t>(b) * g.bw, coutPad);
      }
    }
    const hn::Vec<DF> zero = hn::Zero(df);
    for (int t = 0; t < tc; ++t) {
      const int ty = (q0 + t) / tiles, tx = (q0 + t) % tiles;
      for (size_t cv = 0; cv < static_cast<size_t>(g.outStride); cv += N) {
        const float* mt = m + static_cast<size_t>(t) * coutPad + cv;
        hn::Vec<DF> r[4][6];
        for (int j = 0; j < 6; ++j) {  // A^T down each column of the 6 x 6 products
          hn::Vec<DF> col[6];
          for (int i = 0; i < 6; ++i) col[i] = hn::LoadU(df, mt + static_cast<size_t>(i * 6 + j) * mStride);
          hn::Vec<DF> o[4];
          OutputTransform6(col, o);
          for (int i = 0; i < 4; ++i) r[i][j] = o[i];
        }
        const hn::Vec<DF> bias = hn::LoadU(df, g.bias + cv);
        for (int i = 0; i < 4; ++i) {
          hn::Vec<DF> o[4];
          OutputTransform6(r[i], o);  // then along the row: (A^T M) A
          const size_t y = static_cast<size_t>(4 * ty + i);
          for (int j = 0; j < 4; ++j) {
            hn::Vec<DF> s = hn::Add(o[j], bias);
            if (g.relu) s = hn::Max(s, zero);
            const size_t x = static_cast<size_t>(4 * tx + j);
            hn::StoreU(hn::DemoteTo(dh, s), dh,
                       reinterpret_cast<hwy::float16_t*>(out + (y * g.W + x) * g.outStride + cv));
          }
        }
      }
    }
  }
}

void WinoRowsImpl(const WinoGeom& g, const uint16_t* in, uint16_t* out, int ty0, int ty1, float* scratch) {
  switch (static_cast<size_t>(g.bw) / hn::Lanes(DF())) {
    case 1:
      return WinoRowsNV<1>(g, in, out, ty0, ty1, scratch);
    case 2:
      return WinoRowsNV<2>(g, in, out, ty0, ty1, scratch);
    case 3:
      return WinoRowsNV<3>(g, in, out, ty0, ty1, scratch);
    case 4:
      return WinoRowsNV<4>(g, in, out, ty0, ty1, scratch);
    case 6:
      return WinoRowsNV<6>(g, in, out, ty0, ty1, scratch);
    case 8:
      return WinoRowsNV<8>(g, in, out, ty0, ty1, scratch);
    case 12:
      return WinoRowsNV<12>(g, in, out, ty0, ty1, scratch);
    case 16:
      return WinoRowsNV<16>(g, in, out, ty0, ty1, scratch);
    default:  // one lane: blocks of 24
      return WinoRowsNV<24>(g, in, out, ty0, ty1, scratch);
  }
}

// --- The warp ------------------------------------------------------------------------------------

// Eight fp16 values held one per 32-bit lane (in the low 16 bits) as floats.
HWY_INLINE hn::Vec<DF> HalvesInLanes(hn::Vec<hn::RebindToSigned<DF>> v) {
  const DF df;
  const hn::Rebind<uint16_t, DF> du16;
  const DH dh;
  return hn::PromoteTo(df, hn::BitCast(dh, hn::DemoteTo(du16, v)));
}

void WarpRowImpl(const float* HWY_RESTRICT vo, const float* HWY_RESTRICT vgx, const float* HWY_RESTRICT vgy,
                 const int32_t* HWY_RESTRICT i0, const int32_t* HWY_RESTRICT i1, const float* HWY_RESTRICT w0,
                 const float* HWY_RESTRICT w1, const uint16_t* HWY_RESTRICT P, size_t plane, uint16_t* HWY_RESTRICT occ,
                 uint16_t* HWY_RESTRICT warped) {
  const DF df;
  const hn::RebindToSigned<DF> di;
  const DH dh;
  const size_t N = hn::Lanes(df);
  const auto one = hn::Set(df, 1.0f);
  const auto lowHalf = hn::Set(di, 0xFFFF);
  for (size_t x = 0; x < 512; x += N) {
    const auto a = hn::LoadU(di, i0 + x), b = hn::LoadU(di, i1 + x);
    const auto wa = hn::LoadU(df, w0 + x), wb = hn::LoadU(df, w1 + x);
    auto lerp = [&](const float* row) {
      return hn::Add(hn::Mul(wa, hn::GatherIndex(df, row, a)), hn::Mul(wb, hn::GatherIndex(df, row, b)));
    };
    hn::StoreU(hn::DemoteTo(dh, lerp(vo)), dh, reinterpret_cast<hwy::float16_t*>(occ + x));
    auto pos = [&](const float* row) {
      return hn::Min(hn::Max(hn::MulAdd(lerp(row), hn::Set(df, 256.0f), hn::Set(df, 255.5f)), hn::Zero(df)),
                     hn::Set(df, 511.0f));
    };
    const auto px = pos(vgx), py = pos(vgy);
    const auto ix = hn::Min(hn::ConvertTo(di, px), hn::Set(di, 510));
    const auto iy = hn::Min(hn::ConvertTo(di, py), hn::Set(di, 510));
    const auto fx = hn::Sub(px, hn::ConvertTo(df, ix)), fy = hn::Sub(py, hn::ConvertTo(df, iy));
    const auto gx = hn::Sub(one, fx), gy = hn::Sub(one, fy);
    // Byte offsets of the top-left corner and the one below it; each 32-bit load brings the pixel
    // and its right neighbour.
    const auto top = hn::ShiftLeft<1>(hn::Add(hn::Mul(iy, hn::Set(di, 512)), ix));
    const auto bottom = hn::Add(top, hn::Set(di, 1024));
    for (size_t c = 0; c < 3; ++c) {
      const int32_t* pl = reinterpret_cast<const int32_t*>(P + c * plane);
      const auto t = hn::GatherOffset(di, pl, top), u = hn::GatherOffset(di, pl, bottom);
      const auto v00 = HalvesInLanes(hn::And(t, lowHalf));
      const auto v01 = HalvesInLanes(hn::And(hn::ShiftRight<16>(t), lowHalf));
      const auto v10 = HalvesInLanes(hn::And(u, lowHalf));
      const auto v11 = HalvesInLanes(hn::And(hn::ShiftRight<16>(u), lowHalf));
      const auto v = hn::Add(hn::Mul(gy, hn::Add(hn::Mul(gx, v00), hn::Mul(fx, v01))),
                             hn::Mul(fy, hn::Add(hn::Mul(gx, v10), hn::Mul(fx, v11))));
      hn::StoreU(hn::DemoteTo(dh, v), dh, reinterpret_cast<hwy::float16_t*>(warped + c * plane + x));
    }
  }
}

// The basis is 64 rows of 196608 halves, far larger than any cache, so each row's part of the
// chunk is read once, front to back, and every frame's sums for the chunk stay in out (L1-sized
// chunks). Each column still sums k = 0..63 in order from +0.
void BasisColumnsImpl(const float* coef, int n, const uint16_t* basis, size_t cols, size_t c0, size_t c1, float* out) {
  const DF df;
  const size_t N = hn::Lanes(df);
  const size_t vecEnd = c0 + (c1 - c0) / N * N;
  for (int f = 0; f < n; ++f) std::memset(out + static_cast<size_t>(f) * cols + c0, 0, (c1 - c0) * sizeof(float));
  for (size_t k = 0; k < 64; ++k) {
    const uint16_t* row = basis + k * cols;
    for (int f0 = 0; f0 < n; f0 += 4) {
      const int fn = std::min(4, n - f0);
      hn::Vec<DF> cf[4];
      float* o[4];
      for (int f = 0; f < fn; ++f) {
        cf[f] = hn::Set(df, coef[static_cast<size_t>(f0 + f) * 64 + k]);
        o[f] = out + static_cast<size_t>(f0 + f) * cols;
      }
      for (size_t c = c0; c < vecEnd; c += N) {
        const hn::Vec<DF> b = Widen(row + c);
        for (int f = 0; f < fn; ++f) hn::StoreU(hn::MulAdd(cf[f], b, hn::LoadU(df, o[f] + c)), df, o[f] + c);
      }
      // Columns are a multiple of the vector length in every graph served; a tail is summed the same way.
      for (size_t c = vecEnd; c < c1; ++c) {
        HWY_ALIGN uint16_t h[8] = {};
        HWY_ALIGN float w[8];
        h[0] = row[c];
        hn::StoreU(Widen(h), df, w);
        for (int f = 0; f < fn; ++f) {
          HWY_ALIGN float a[8] = {};
          a[0] = o[f][c];
          hn::StoreU(
              hn::MulAdd(hn::Set(df, coef[static_cast<size_t>(f0 + f) * 64 + k]), hn::LoadU(df, w), hn::LoadU(df, a)),
              df, a);
          o[f][c] = a[0];
        }
      }
    }
  }
}

}  // namespace vesk::conv::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vesk::conv {

HWY_EXPORT(ConvRowsImpl);
HWY_EXPORT(BasisColumnsImpl);
HWY_EXPORT(WinoRowsImpl);
HWY_EXPORT(WarpRowImpl);

size_t convScratchFloats(const ConvGeom& g) { return 3 * static_cast<size_t>(g.W + 2) * static_cast<size_t>(g.cin); }

void convRows(const ConvGeom& g, const uint16_t* in, uint16_t* out, int y0, int y1, float* scratch) {
  HWY_DYNAMIC_DISPATCH(ConvRowsImpl)(g, in, out, y0, y1, scratch);
}

int winoChunk(const WinoGeom& g) {
  const int weightTiles = g.cin * g.coutPad / (g.cin + g.coutPad);
  return std::min(std::max(kWinoTiles, weightTiles), (g.H / 4) * (g.W / 4));
}

size_t winoScratchFloats(const WinoGeom& g) {
  const size_t chunk = static_cast<size_t>(winoChunk(g));
  return 36 * (chunk * static_cast<size_t>(g.cin + g.coutPad) + 2 * kWinoSkew);
}

void winoRows(const WinoGeom& g, const uint16_t* in, uint16_t* out, int ty0, int ty1, float* scratch) {
  HWY_DYNAMIC_DISPATCH(WinoRowsImpl)(g, in, out, ty0, ty1, scratch);
}

void winogradWeights(const float* g3x3, float* u36) {
  // G = [1/4 0 0; -1/6 -1/6 -1/6; -1/6 1/6 -1/6; 1/24 1/12 1/6; 1/24 -1/12 1/6; 0 0 1], U = G g G^T,
  // in double so the only rounding is the last.
  static constexpr double G[6][3] = {{0.25, 0, 0},
                                     {-1.0 / 6, -1.0 / 6, -1.0 / 6},
                                     {-1.0 / 6, 1.0 / 6, -1.0 / 6},
                                     {1.0 / 24, 1.0 / 12, 1.0 / 6},
                                     {1.0 / 24, -1.0 / 12, 1.0 / 6},
                                     {0, 0, 1}};
  double gg[6][3];
  for (int i = 0; i < 6; ++i)
    for (int c = 0; c < 3; ++c) {
      gg[i][c] = 0;
      for (int k = 0; k < 3; ++k) gg[i][c] += G[i][k] * static_cast<double>(g3x3[k * 3 + c]);
    }
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) {
      double s = 0;
      for (int k = 0; k < 3; ++k) s += gg[i][k] * G[j][k];
      u36[i * 6 + j] = static_cast<float>(s);
    }
}

void warpRow(const float* vo, const float* vgx, const float* vgy, const int32_t* i0, const int32_t* i1, const float* w0,
             const float* w1, const uint16_t* P, size_t plane, uint16_t* occ, uint16_t* warped) {
  HWY_DYNAMIC_DISPATCH(WarpRowImpl)(vo, vgx, vgy, i0, i1, w0, w1, P, plane, occ, warped);
}

void basisColumns(const float* coef, int n, const uint16_t* basis, size_t cols, size_t c0, size_t c1, float* out) {
  HWY_DYNAMIC_DISPATCH(BasisColumnsImpl)(coef, n, basis, cols, c0, c1, out);
}

}  // namespace vesk::conv
#endif  // HWY_ONCE
