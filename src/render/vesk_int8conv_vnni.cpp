// Int8ConvVNNI's bodies, compiled once per SIMD target, and the "com.zentrova.int8" operator.
//
// A row of output pixels is cut into segments that see the same kernel taps inside the input: the
// interior run, where every tap is in, and each border pixel on its own. A segment is worked in tiles
// of a few neighbouring pixels by one or two blocks of 16 output channels, the accumulators held in
// registers across every tap and channel group; each tile then leaves its sums, less the zero point
// times the weights of the taps it used, in a per-row table of output channels by pixels, which the
// dequantisation reads a row of pixels at a time.
// clang-format off: foreach_target must come first, and re-includes this file once per target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/vesk_int8conv_vnni.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
// clang-format on

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "render/vesk_int8conv_vnni.h"

#ifndef VESK_INT8CONV_COMMON
#define VESK_INT8CONV_COMMON
namespace vesk::i8c {

// One call's view of a convolution, shared by every target.
struct RowArgs {
  const uint32_t* q;
  int64_t H, W, Ho, Wo;
  const Int8ConvWeights* w;
  Int8ConvGeometry geo;
  Int8Quant quant;
  const float* wscale;
  const float* bias;
  float* out;
};

// Scratch of one row: accumulators [M16][Wo], the zero-point terms [M], the taps of a segment.
struct RowScratch {
  int32_t* acc;
  int32_t* zw;
  int64_t* tapOff;
  int32_t* tapIdx;
};

// The first k in [0, n) with base + k * step >= 0 and the end of those with base + k * step < limit.
inline void tapRange(int64_t base, int64_t step, int64_t n, int64_t limit, int64_t& lo, int64_t& hi) {
  lo = base >= 0 ? 0 : (-base + step - 1) / step;
  hi = base > limit - 1 ? 0 : (limit - 1 - base) / step + 1;
  if (hi > n) hi = n;
  if (lo > hi) lo = hi;
}

// The scalar quantisation step every target's tail shares; a NaN lands on 0.
inline uint8_t quantOne(float x, float scale, float zf) {
  const float v = std::nearbyint(x / scale) + zf;
  return static_cast<uint8_t>(v >= 0.0f ? (v <= 255.0f ? v : 255.0f) : 0.0f);
}

}  // namespace vesk::i8c
#endif  // VESK_INT8CONV_COMMON

HWY_BEFORE_NAMESPACE();
namespace vesk::i8c::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void RangeImpl(const float* HWY_RESTRICT x, size_t n, float* lo, float* hi) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  auto vmin = hn::Zero(df);
  auto vmax = hn::Zero(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto v = hn::LoadU(df, x + i);
    vmin = hn::Min(vmin, v);
    vmax = hn::Max(vmax, v);
  }
  float l = hn::GetLane(hn::MinOfLanes(df, vmin));
  float h = hn::GetLane(hn::MaxOfLanes(df, vmax));
  for (; i < n; ++i) {
    if (x[i] < l) l = x[i];
    if (x[i] > h) h = x[i];
  }
  *lo = l;
  *hi = h;
}

// tmp: W words of the caller's.
void QuantiseRowsImpl(const float* HWY_RESTRICT x, uint32_t* HWY_RESTRICT q, int64_t C, int64_t H, int64_t W, int64_t G,
                      float scale, int32_t zero, int64_t rowBegin, int64_t rowEnd, int32_t* HWY_RESTRICT tmp) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const int64_t N = static_cast<int64_t>(hn::Lanes(df));
  const int64_t C4 = 4 * G;
  const float zf = static_cast<float>(zero);
  const auto vscale = hn::Set(df, scale);
  const auto vz = hn::Set(df, zf);
  const auto v0 = hn::Zero(df);
  const auto v255 = hn::Set(df, 255.0f);
  for (int64_t r = rowBegin; r < rowEnd; ++r) {
    const int64_t n = r / H, y = r % H;
    auto* dst = reinterpret_cast<uint8_t*>(q + r * W * G);
    for (int64_t c = C; c < C4; ++c)
      for (int64_t i = 0; i < W; ++i) dst[i * C4 + c] = static_cast<uint8_t>(zero);
    for (int64_t c = 0; c < C; ++c) {
      const float* src = x + ((n * C + c) * H + y) * W;
      int64_t i = 0;
      for (; i + N <= W; i += N) {
        auto v = hn::Add(hn::Round(hn::Div(hn::LoadU(df, src + i), vscale)), vz);
        v = hn::Min(hn::Max(v, v0), v255);
        hn::StoreU(hn::ConvertTo(di, v), di, tmp + i);
      }
      for (int64_t k = 0; k < i; ++k) dst[k * C4 + c] = static_cast<uint8_t>(tmp[k]);
      for (; i < W; ++i) dst[i * C4 + c] = quantOne(src[i], scale, zf);
    }
  }
}

#if HWY_TARGET == HWY_AVX3_DL
// The byte dot product: 16 lanes, each the sum of 4 unsigned x signed byte products added to the lane.
// Highway's AVX3_DL target does not switch on the 512-bit form, so this function does.
constexpr int kTileP = 8;
constexpr int kTileB = 2;

template <int P, int B>
__attribute__((target("avx512vnni"))) void Tile(const uint32_t* HWY_RESTRICT qn, const int64_t* tapOff,
                                                const int32_t* tapIdx, int64_t nt, int64_t pixStride,
                                                const int32_t* HWY_RESTRICT wob, int64_t obStride, int64_t G,
                                                int32_t* HWY_RESTRICT res) {
  // Fully unrolled, so the accumulators stay in registers (AVX-512 has 32).
  __m512i acc[B][P];
#pragma GCC unroll 16
  for (int b = 0; b < B; ++b)
#pragma GCC unroll 16
    for (int p = 0; p < P; ++p) acc[b][p] = _mm512_setzero_si512();
  const int64_t tapWords = G * 16;
  for (int64_t t = 0; t < nt; ++t) {
    const uint32_t* qa = qn + tapOff[t];
    const int32_t* wt = wob + tapIdx[t] * tapWords;
    for (int64_t g = 0; g < G; ++g) {
      __m512i wv[B];
#pragma GCC unroll 16
      for (int b = 0; b < B; ++b) wv[b] = _mm512_loadu_si512(wt + b * obStride + g * 16);
#pragma GCC unroll 16
      for (int p = 0; p < P; ++p) {
        const __m512i a = _mm512_set1_epi32(static_cast<int>(qa[p * pixStride + g]));
#pragma GCC unroll 16
        for (int b = 0; b < B; ++b) acc[b][p] = _mm512_dpbusd_epi32(acc[b][p], a, wv[b]);
      }
    }
  }
#pragma GCC unroll 16
  for (int b = 0; b < B; ++b)
#pragma GCC unroll 16
    for (int p = 0; p < P; ++p) _mm512_storeu_si512(res + (b * P + p) * 16, acc[b][p]);
}

const char* BodyImpl() { return "vnni"; }
#else
// Each word's 4 weights are pulled out with shifts (sign-extended) and multiplied in 32 bits by the
// activation bytes; two pixels share the weights. Accumulators are locals, not arrays: SVE vectors
// cannot live in arrays.
constexpr int kTileP = 2;
constexpr int kTileB = 1;

template <class D, int P>
HWY_INLINE void TileLanes(D d, const uint32_t* HWY_RESTRICT qn, const int64_t* tapOff, const int32_t* tapIdx,
                          int64_t nt, int64_t pixStride, const int32_t* HWY_RESTRICT wob, int64_t G,
                          int32_t* HWY_RESTRICT res) {
  const int64_t L = static_cast<int64_t>(hn::Lanes(d));
  const int64_t tapWords = G * 16;
  for (int64_t s = 0; s < 16; s += L) {
    auto a0 = hn::Zero(d);
    auto a1 = hn::Zero(d);
    for (int64_t t = 0; t < nt; ++t) {
      const uint32_t* qa = qn + tapOff[t];
      const int32_t* wt = wob + tapIdx[t] * tapWords + s;
      for (int64_t g = 0; g < G; ++g) {
        const auto wv = hn::LoadU(d, wt + g * 16);
        const auto w0 = hn::ShiftRight<24>(hn::ShiftLeft<24>(wv));
        const auto w1 = hn::ShiftRight<24>(hn::ShiftLeft<16>(wv));
        const auto w2 = hn::ShiftRight<24>(hn::ShiftLeft<8>(wv));
        const auto w3 = hn::ShiftRight<24>(wv);
        const uint32_t u = qa[g];
        a0 = hn::Add(a0, hn::Add(hn::Add(hn::Mul(w0, hn::Set(d, static_cast<int32_t>(u & 255u))),
                                         hn::Mul(w1, hn::Set(d, static_cast<int32_t>((u >> 8) & 255u)))),
                                 hn::Add(hn::Mul(w2, hn::Set(d, static_cast<int32_t>((u >> 16) & 255u))),
                                         hn::Mul(w3, hn::Set(d, static_cast<int32_t>(u >> 24))))));
        if (P == 2) {
          const uint32_t v = qa[pixStride + g];
          a1 = hn::Add(a1, hn::Add(hn::Add(hn::Mul(w0, hn::Set(d, static_cast<int32_t>(v & 255u))),
                                           hn::Mul(w1, hn::Set(d, static_cast<int32_t>((v >> 8) & 255u)))),
                                   hn::Add(hn::Mul(w2, hn::Set(d, static_cast<int32_t>((v >> 16) & 255u))),
                                           hn::Mul(w3, hn::Set(d, static_cast<int32_t>(v >> 24))))));
        }
      }
    }
    hn::StoreU(a0, d, res + s);
    if (P == 2) hn::StoreU(a1, d, res + 16 + s);
  }
}

template <int P, int B>
void Tile(const uint32_t* HWY_RESTRICT qn, const int64_t* tapOff, const int32_t* tapIdx, int64_t nt, int64_t pixStride,
          const int32_t* HWY_RESTRICT wob, int64_t /*obStride*/, int64_t G, int32_t* HWY_RESTRICT res) {
  static_assert(B == 1, "one block of output channels at a time");
  // Sub-blocks of the 16 output channels: as many lanes as divide 16 (any vector length of SVE).
  const hn::CappedTag<int32_t, 16> d16;
  if (16 % hn::Lanes(d16) == 0) {
    TileLanes<decltype(d16), P>(d16, qn, tapOff, tapIdx, nt, pixStride, wob, G, res);
  } else {
    const hn::CappedTag<int32_t, 4> d4;
    TileLanes<decltype(d4), P>(d4, qn, tapOff, tapIdx, nt, pixStride, wob, G, res);
  }
}

const char* BodyImpl() { return "portable"; }
#endif

template <int B>
HWY_INLINE void TileOf(int p, const uint32_t* qn, const int64_t* tapOff, const int32_t* tapIdx, int64_t nt,
                       int64_t pixStride, const int32_t* wob, int64_t obStride, int64_t G, int32_t* res) {
  switch (p) {
#define VESK_I8C_TILE(n)                                                                             \
  case n:                                                                                            \
    if constexpr (n <= kTileP) Tile<n, B>(qn, tapOff, tapIdx, nt, pixStride, wob, obStride, G, res); \
    return;
    VESK_I8C_TILE(1)
    VESK_I8C_TILE(2)
    VESK_I8C_TILE(3)
    VESK_I8C_TILE(4)
    VESK_I8C_TILE(5)
    VESK_I8C_TILE(6)
    VESK_I8C_TILE(7)
    VESK_I8C_TILE(8)
#undef VESK_I8C_TILE
    default:
      return;
  }
}

// Pixels [x0, x1) of output row y of item n, which all see kernel rows [ky0, ky1) and columns
// [kx0, kx1): their accumulators, less the zero-point terms, into the row table.
HWY_INLINE void Segment(const RowArgs& a, const RowScratch& s, const uint32_t* qn, int64_t iy0, int64_t ky0,
                        int64_t ky1, int64_t x0, int64_t x1, int64_t kx0, int64_t kx1) {
  const Int8ConvWeights& w = *a.w;
  const int64_t taps = w.kH * w.kW;
  const int64_t G = w.G;
  const int64_t ix0 = x0 * a.geo.strideW - a.geo.padLeft;
  int64_t nt = 0;
  for (int64_t ky = ky0; ky < ky1; ++ky) {
    for (int64_t kx = kx0; kx < kx1; ++kx) {
      s.tapOff[nt] = ((iy0 + ky * a.geo.dilH) * a.W + ix0 + kx * a.geo.dilW) * G;
      s.tapIdx[nt] = static_cast<int32_t>(ky * w.kW + kx);
      ++nt;
    }
  }
  const int32_t z = a.quant.zero;
  if (nt == taps) {
    for (int64_t m = 0; m < w.M; ++m) s.zw[m] = z * w.totals[m];
  } else {
    for (int64_t m = 0; m < w.M; ++m) {
      int32_t sum = 0;
      for (int64_t t = 0; t < nt; ++t) sum += w.tapSums[m * taps + s.tapIdx[t]];
      s.zw[m] = z * sum;
    }
  }
  const int64_t pixStride = a.geo.strideW * G;
  const int64_t obStride = taps * G * 16;
  const int64_t blocks = w.M16 / 16;
  HWY_ALIGN int32_t res[kTileB * kTileP * 16];
  for (int64_t ob = 0; ob < blocks; ob += kTileB) {
    const int b = static_cast<int>(blocks - ob < kTileB ? blocks - ob : kTileB);
    const int32_t* wob = w.packed.data() + ob * obStride;
    for (int64_t x = x0; x < x1; x += kTileP) {
      const int p = static_cast<int>(x1 - x < kTileP ? x1 - x : kTileP);
      const uint32_t* qx = qn + (x - x0) * pixStride;
      if (b == kTileB)
        TileOf<kTileB>(p, qx, s.tapOff, s.tapIdx, nt, pixStride, wob, obStride, G, res);
      else
        TileOf<1>(p, qx, s.tapOff, s.tapIdx, nt, pixStride, wob, obStride, G, res);
      for (int bb = 0; bb < b; ++bb) {
        for (int l = 0; l < 16; ++l) {
          const int64_t m = (ob + bb) * 16 + l;
          if (m >= w.M) break;
          int32_t* row = s.acc + m * a.Wo + x;
          for (int pp = 0; pp < p; ++pp) row[pp] = res[(bb * p + pp) * 16 + l] - s.zw[m];
        }
      }
    }
  }
}

void ConvRowsImpl(const RowArgs& a, int64_t rowBegin, int64_t rowEnd, const RowScratch& s) {
  const Int8ConvWeights& w = *a.w;
  const Int8ConvGeometry& g = a.geo;
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const int64_t N = static_cast<int64_t>(hn::Lanes(df));
  // The interior columns: every kernel column inside the input.
  int64_t xa = g.padLeft <= 0 ? 0 : (g.padLeft + g.strideW - 1) / g.strideW;
  const int64_t last = a.W - 1 + g.padLeft - (w.kW - 1) * g.dilW;
  int64_t xb = last < 0 ? 0 : last / g.strideW + 1;
  if (xa > a.Wo) xa = a.Wo;
  if (xb > a.Wo) xb = a.Wo;
  if (xb < xa) xb = xa;
  for (int64_t r = rowBegin; r < rowEnd; ++r) {
    const int64_t n = r / a.Ho, y = r % a.Ho;
    const uint32_t* qn = a.q + n * a.H * a.W * w.G;
    const int64_t iy0 = y * g.strideH - g.padTop;
    int64_t ky0, ky1;
    tapRange(iy0, g.dilH, w.kH, a.H, ky0, ky1);
    auto border = [&](int64_t x) {
      int64_t kx0, kx1;
      tapRange(x * g.strideW - g.padLeft, g.dilW, w.kW, a.W, kx0, kx1);
      Segment(a, s, qn, iy0, ky0, ky1, x, x + 1, kx0, kx1);
    };
    for (int64_t x = 0; x < xa; ++x) border(x);
    if (xb > xa) Segment(a, s, qn, iy0, ky0, ky1, xa, xb, 0, w.kW);
    for (int64_t x = xb; x < a.Wo; ++x) border(x);

    for (int64_t m = 0; m < w.M; ++m) {
      const float ws = a.quant.scale * a.wscale[m];
      const float b = a.bias[m];
      const auto vws = hn::Set(df, ws);
      const auto vb = hn::Set(df, b);
      const int32_t* src = s.acc + m * a.Wo;
      float* dst = a.out + ((n * w.M + m) * a.Ho + y) * a.Wo;
      int64_t x = 0;
      for (; x + N <= a.Wo; x += N)
        hn::StoreU(hn::Add(hn::Mul(vws, hn::ConvertTo(df, hn::LoadU(di, src + x))), vb), df, dst + x);
      for (; x < a.Wo; ++x) dst[x] = ws * static_cast<float>(src[x]) + b;
    }
  }
}

}  // namespace vesk::i8c::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/vesk_pool.h"

namespace vesk {

namespace i8c {
HWY_EXPORT(RangeImpl);
HWY_EXPORT(QuantiseRowsImpl);
HWY_EXPORT(ConvRowsImpl);
HWY_EXPORT(BodyImpl);

constexpr size_t kRangeGrain = 4096;

template <typename T>
T* grown(std::vector<T>& v, size_t n) {
  if (v.size() < n) v.resize(n);
  return v.data();
}
}  // namespace i8c

int64_t int8ConvOutSize(int64_t in, int64_t kernel, int64_t padBegin, int64_t padEnd, int64_t stride,
                        int64_t dilation) {
  const int64_t span = in + padBegin + padEnd - dilation * (kernel - 1) - 1;
  if (span < 0) return 0;
  return span / stride + 1;
}

Int8ConvWeights int8ConvPack(const int8_t* weights, int64_t M, int64_t cPerGroup, int64_t kH, int64_t kW,
                             int64_t group) {
  if (M <= 0 || cPerGroup <= 0 || kH <= 0 || kW <= 0 || group <= 0 || M % group != 0) {
    throw std::runtime_error("com.zentrova.int8::Int8ConvVNNI: weights [" + std::to_string(M) + ", " +
                             std::to_string(cPerGroup) + ", " + std::to_string(kH) + ", " + std::to_string(kW) +
                             "] do not make a convolution of " + std::to_string(group) + " group(s)");
  }
  Int8ConvWeights w;
  w.C = cPerGroup * group;
  w.C4 = (w.C + 3) / 4 * 4;
  w.G = w.C4 / 4;
  w.M = M;
  w.M16 = (M + 15) / 16 * 16;
  w.kH = kH;
  w.kW = kW;
  w.CK = w.C * kH * kW;
  w.group = group;
  const int64_t taps = kH * kW;
  const int64_t perGroup = M / group;
  w.tapSums.assign(static_cast<size_t>(M * taps), 0);
  w.totals.assign(static_cast<size_t>(M), 0);
  w.packed.assign(static_cast<size_t>(w.M16 / 16 * taps * w.G * 16), 0);
  for (int64_t m = 0; m < M; ++m) {
    const int64_t c0 = m / perGroup * cPerGroup;  // the group's first input channel
    const int64_t ob = m / 16, lane = m % 16;
    for (int64_t cg = 0; cg < cPerGroup; ++cg) {
      const int64_t c = c0 + cg;
      for (int64_t t = 0; t < taps; ++t) {
        const int8_t v = weights[(m * cPerGroup + cg) * taps + t];
        w.tapSums[static_cast<size_t>(m * taps + t)] += v;
        w.totals[static_cast<size_t>(m)] += v;
        const size_t word = static_cast<size_t>(((ob * taps + t) * w.G + c / 4) * 16 + lane);
        const uint32_t byte = static_cast<uint32_t>(static_cast<uint8_t>(v)) << (8 * (c % 4));
        w.packed[word] = static_cast<int32_t>(static_cast<uint32_t>(w.packed[word]) | byte);
      }
    }
  }
  return w;
}

void int8ActivationRange(const float* x, size_t n, float& lo, float& hi) {
  lo = 0.0f;
  hi = 0.0f;
  if (n == 0) return;
  if (pool::parts(n, i8c::kRangeGrain) < 2) {
    HWY_DYNAMIC_DISPATCH(i8c::RangeImpl)(x, n, &lo, &hi);
    return;
  }
  std::mutex mu;
  pool::parallelRange(n, i8c::kRangeGrain, [&](size_t b, size_t e) {
    float l = 0.0f, h = 0.0f;
    HWY_DYNAMIC_DISPATCH(i8c::RangeImpl)(x + b, e - b, &l, &h);
    const std::lock_guard<std::mutex> lock(mu);
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  });
}

Int8Quant int8QuantParams(float lo, float hi) {
  Int8Quant q;
  q.scale = (hi - lo) / 255.0f;
  float zf;
  if (q.scale > 0.0f) {
    zf = std::nearbyint(-lo / q.scale);
  } else {
    q.scale = 1.0f;
    zf = std::nearbyint(-lo);
  }
  q.zero = static_cast<int32_t>(zf >= 0.0f ? (zf <= 255.0f ? zf : 255.0f) : 0.0f);
  return q;
}

void int8QuantiseRows(const float* x, uint32_t* q, int64_t C, int64_t H, int64_t W, int64_t G, Int8Quant quant,
                      int64_t rowBegin, int64_t rowEnd) {
  if (rowBegin >= rowEnd || W <= 0) return;
  thread_local std::vector<int32_t> tmp;
  HWY_DYNAMIC_DISPATCH(i8c::QuantiseRowsImpl)
  (x, q, C, H, W, G, quant.scale, quant.zero, rowBegin, rowEnd, i8c::grown(tmp, static_cast<size_t>(W)));
}

void int8ConvRows(const uint32_t* q, int64_t H, int64_t W, const Int8ConvWeights& w, const Int8ConvGeometry& geo,
                  Int8Quant quant, const float* wscale, const float* bias, float* out, int64_t rowBegin,
                  int64_t rowEnd) {
  const int64_t Ho = int8ConvOutSize(H, w.kH, geo.padTop, geo.padBottom, geo.strideH, geo.dilH);
  const int64_t Wo = int8ConvOutSize(W, w.kW, geo.padLeft, geo.padRight, geo.strideW, geo.dilW);
  if (rowBegin >= rowEnd || Ho <= 0 || Wo <= 0) return;
  thread_local std::vector<int32_t> acc, zw, tapIdx;
  thread_local std::vector<int64_t> tapOff;
  const auto taps = static_cast<size_t>(w.kH * w.kW);
  const i8c::RowScratch s{i8c::grown(acc, static_cast<size_t>(w.M16 * Wo)), i8c::grown(zw, static_cast<size_t>(w.M)),
                          i8c::grown(tapOff, taps), i8c::grown(tapIdx, taps)};
  const i8c::RowArgs a{q, H, W, Ho, Wo, &w, geo, quant, wscale, bias, out};
  HWY_DYNAMIC_DISPATCH(i8c::ConvRowsImpl)(a, rowBegin, rowEnd, s);
}

void int8Conv(const float* x, int64_t N, int64_t H, int64_t W, const Int8ConvWeights& w, const Int8ConvGeometry& geo,
              const float* wscale, const float* bias, float* out) {
  const int64_t Ho = int8ConvOutSize(H, w.kH, geo.padTop, geo.padBottom, geo.strideH, geo.dilH);
  const int64_t Wo = int8ConvOutSize(W, w.kW, geo.padLeft, geo.padRight, geo.strideW, geo.dilW);
  if (N <= 0 || Ho <= 0 || Wo <= 0 || w.M <= 0) return;
  float lo = 0.0f, hi = 0.0f;
  int8ActivationRange(x, static_cast<size_t>(N * w.C * H * W), lo, hi);
  const Int8Quant quant = int8QuantParams(lo, hi);
  thread_local std::vector<uint32_t> qbuf;
  uint32_t* q = i8c::grown(qbuf, static_cast<size_t>(N * H * W * w.G));
  pool::parallelRange(static_cast<size_t>(N * H), 1, [&](size_t b, size_t e) {
    int8QuantiseRows(x, q, w.C, H, W, w.G, quant, static_cast<int64_t>(b), static_cast<int64_t>(e));
  });
  pool::parallelRange(static_cast<size_t>(N * Ho), 1, [&](size_t b, size_t e) {
    int8ConvRows(q, H, W, w, geo, quant, wscale, bias, out, static_cast<int64_t>(b), static_cast<int64_t>(e));
  });
}

int64_t int8ConvTargets() { return HWY_TARGETS; }

const char* int8ConvBody() { return HWY_DYNAMIC_DISPATCH(i8c::BodyImpl)(); }

namespace {

constexpr const char* kInt8Domain = "com.zentrova.int8";

std::string opError(const std::string& what) { return "com.zentrova.int8::Int8ConvVNNI: " + what; }

// A missing attribute takes its default; so does one with too few values.
std::vector<int64_t> intsAttr(const Ort::ConstKernelInfo& info, const char* name) {
  try {
    return info.GetAttributes<int64_t>(name);
  } catch (const Ort::Exception&) {
    return {};
  }
}

std::vector<int64_t> dimsOf(const Ort::ConstValue& v, const char* what) {
  std::vector<int64_t> d = v.GetTensorTypeAndShapeInfo().GetShape();
  if (d.size() != 4) {
    throw std::runtime_error(opError(std::string(what) + " must have 4 dimensions, got " + std::to_string(d.size())));
  }
  return d;
}

// Attributes are read when the kernel is made; the weight state on its first run, under the once flag.
// Refusals are thrown from the run, where the runtime reports them as the run's failure.
class Int8ConvKernel {
 public:
  explicit Int8ConvKernel(const OrtKernelInfo* info) {
    const Ort::ConstKernelInfo ki(info);
    const std::vector<int64_t> strides = intsAttr(ki, "strides");
    if (strides.size() >= 2) {
      geo_.strideH = strides[0];
      geo_.strideW = strides[1];
    }
    const std::vector<int64_t> pads = intsAttr(ki, "pads");
    if (pads.size() >= 4) {
      geo_.padTop = pads[0];
      geo_.padLeft = pads[1];
      geo_.padBottom = pads[2];
      geo_.padRight = pads[3];
    }
    const std::vector<int64_t> dil = intsAttr(ki, "dilations");
    if (dil.size() >= 2) {
      geo_.dilH = dil[0];
      geo_.dilW = dil[1];
    }
    try {
      geo_.group = ki.GetAttribute<int64_t>("group");
    } catch (const Ort::Exception&) {
      geo_.group = 1;
    }
  }

  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    if (geo_.strideH < 1 || geo_.strideW < 1 || geo_.dilH < 1 || geo_.dilW < 1 || geo_.group < 1 ||
        std::min({geo_.padTop, geo_.padLeft, geo_.padBottom, geo_.padRight}) < 0) {
      throw std::runtime_error(opError("strides, dilations and group must be positive and pads not negative"));
    }
    const Ort::ConstValue x = ctx.GetInput(0);
    const Ort::ConstValue wt = ctx.GetInput(1);
    const std::vector<int64_t> xd = dimsOf(x, "input 0");
    const std::vector<int64_t> wd = dimsOf(wt, "input 1");
    std::call_once(
        packed_, [&] { weights_ = int8ConvPack(wt.GetTensorData<int8_t>(), wd[0], wd[1], wd[2], wd[3], geo_.group); });
    const Int8ConvWeights& w = weights_;
    // The weights are trusted to match the input; reading a channel past the input's would not be.
    if (xd[1] != w.C) {
      throw std::runtime_error(
          opError("the input has " + std::to_string(xd[1]) + " channels and the weights take " + std::to_string(w.C)));
    }
    const Ort::ConstValue ws = ctx.GetInput(2);
    const Ort::ConstValue bias = ctx.GetInput(3);
    if (ws.GetTensorTypeAndShapeInfo().GetElementCount() < static_cast<size_t>(w.M) ||
        bias.GetTensorTypeAndShapeInfo().GetElementCount() < static_cast<size_t>(w.M)) {
      throw std::runtime_error(opError("the weight scales and the bias must hold one value per output channel (" +
                                       std::to_string(w.M) + ")"));
    }
    const int64_t Ho = int8ConvOutSize(xd[2], w.kH, geo_.padTop, geo_.padBottom, geo_.strideH, geo_.dilH);
    const int64_t Wo = int8ConvOutSize(xd[3], w.kW, geo_.padLeft, geo_.padRight, geo_.strideW, geo_.dilW);
    float* out = ctx.GetOutput(0, {xd[0], w.M, Ho, Wo}).GetTensorMutableData<float>();
    int8Conv(x.GetTensorData<float>(), xd[0], xd[2], xd[3], w, geo_, ws.GetTensorData<float>(),
             bias.GetTensorData<float>(), out);
  }

 private:
  Int8ConvGeometry geo_;
  std::once_flag packed_;
  Int8ConvWeights weights_;
};

// Four required inputs (float activations, int8 weights, float scales and bias) and one float output,
// on the CPU provider, opsets 1 to 2^31 - 1.
struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel> {
  void* CreateKernel(const OrtApi&, const OrtKernelInfo* info) const { return new Int8ConvKernel(info); }
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace

void registerInt8ConvVNNI(Ort::SessionOptions& options) {
  // The description must outlive every domain and session that points at it: built once, never freed.
  static const Int8ConvOp* const op = new Int8ConvOp();
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d(kInt8Domain);
    d.Add(op);
    return d;
  }();
  options.Add(domain);
}

}  // namespace vesk
#endif  // HWY_ONCE
