// The fp16 convolution backend's kernels, compiled once per SIMD target.
//
// A convolution works one output row at a time: its three input rows are widened to fp32 once (with
// a zero column either side), then each block of output channels runs over groups of pixels with
// the block's accumulators in registers, each packed fp16 weight vector widened once per input
// channel and shared by the group. The sums are fused multiply-adds in a fixed order
// (taps, then input channels), so a target gives the same bits whatever the row split.
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

// Up to four frames share each widened basis vector.
void BasisColumnsImpl(const float* coef, int n, const uint16_t* basis, size_t cols, size_t c0, size_t c1, float* out) {
  const DF df;
  const size_t N = hn::Lanes(df);
  for (int f0 = 0; f0 < n; f0 += 4) {
    const int fn = std::min(4, n - f0);
    size_t c = c0;
    for (; c + N <= c1; c += N) {
      hn::Vec<DF> acc[4] = {hn::Zero(df), hn::Zero(df), hn::Zero(df), hn::Zero(df)};
      for (size_t k = 0; k < 64; ++k) {
        const hn::Vec<DF> b = Widen(basis + k * cols + c);
        for (int f = 0; f < fn; ++f)
          acc[f] = hn::MulAdd(hn::Set(df, coef[static_cast<size_t>(f0 + f) * 64 + k]), b, acc[f]);
      }
      for (int f = 0; f < fn; ++f) hn::StoreU(acc[f], df, out + static_cast<size_t>(f0 + f) * cols + c);
    }
    for (; c < c1; ++c) {
      // Columns are a multiple of the vector length in every graph served; a tail is summed the same way.
      HWY_ALIGN uint16_t h[8] = {};
      HWY_ALIGN float w[8];
      for (int f = 0; f < fn; ++f) {
        float s = 0.0f;
        for (size_t k = 0; k < 64; ++k) {
          h[0] = basis[k * cols + c];
          hn::StoreU(Widen(h), df, w);
          s += coef[static_cast<size_t>(f0 + f) * 64 + k] * w[0];
        }
        out[static_cast<size_t>(f0 + f) * cols + c] = s;
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

size_t convScratchFloats(const ConvGeom& g) { return 3 * static_cast<size_t>(g.W + 2) * static_cast<size_t>(g.cin); }

void convRows(const ConvGeom& g, const uint16_t* in, uint16_t* out, int y0, int y1, float* scratch) {
  HWY_DYNAMIC_DISPATCH(ConvRowsImpl)(g, in, out, y0, y1, scratch);
}

void basisColumns(const float* coef, int n, const uint16_t* basis, size_t cols, size_t c0, size_t c1, float* out) {
  HWY_DYNAMIC_DISPATCH(BasisColumnsImpl)(coef, n, basis, cols, c0, c1, out);
}

}  // namespace vesk::conv
#endif  // HWY_ONCE
