// Conversions, teeth retrieval terms and the 3x3 convolution, compiled once per SIMD target.
// Every lane follows the element-wise definition exactly (separate multiply and add, half
// conversions in integer steps), so the targets and the scalar tails agree bit for bit.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/vesk_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"

#include "core/vesk_half.h"
#include "core/vesk_simd-inl.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

HWY_BEFORE_NAMESPACE();
namespace vesk::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

const char* TargetNameImpl() { return hwy::TargetName(HWY_TARGET); }

void F16ToF32Impl(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(HalfBitsToF32(df, LoadHalfBits(df, src + i)), df, dst + i);
  for (; i < n; ++i) dst[i] = half::toFloat(src[i]);
}

void F32ToF16Impl(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) StoreHalfBits(df, F32ToHalfBits(df, hn::LoadU(df, src + i)), dst + i);
  for (; i < n; ++i) dst[i] = half::fromFloat(src[i]);
}

void Rgb8ToPlanarF16Impl(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT dst, size_t stride, size_t n) {
  const hn::ScalableTag<uint8_t> d8;
  const hn::ScalableTag<float> df;
  const hn::RebindToUnsigned<decltype(df)> du;
  const hn::Rebind<uint8_t, decltype(df)> dq;  // a quarter of d8: one byte per float lane
  const size_t N8 = hn::Lanes(d8);
  const size_t NF = hn::Lanes(df);
  const auto k255 = hn::Set(df, 255.0f);
  HWY_ALIGN uint8_t planes[3][HWY_MAX_BYTES];
  uint16_t* out[3] = {dst, dst + stride, dst + 2 * stride};
  size_t i = 0;
  for (; i + N8 <= n; i += N8) {
    hn::Vec<decltype(d8)> r, g, b;
    hn::LoadInterleaved3(d8, rgb + 3 * i, r, g, b);
    hn::Store(r, d8, planes[0]);
    hn::Store(g, d8, planes[1]);
    hn::Store(b, d8, planes[2]);
    for (int c = 0; c < 3; ++c) {
      for (size_t j = 0; j < N8; j += NF) {
        const auto bytes = hn::BitCast(hn::RebindToSigned<decltype(df)>(), hn::PromoteTo(du, hn::Load(dq, planes[c] + j)));
        const auto v = hn::Div(hn::ConvertTo(df, bytes), k255);
        StoreHalfBits(df, F32ToHalfBits(df, v), out[c] + i + j);
      }
    }
  }
  for (; i < n; ++i) {
    for (int c = 0; c < 3; ++c) out[c][i] = half::fromFloat(static_cast<float>(rgb[3 * i + c]) / 255.0f);
  }
}

// dst may be a or b: each block is loaded before it is stored.
void RoundF16MulImpl(const float* a, const float* b, float* dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    hn::StoreU(hn::Mul(hn::LoadU(df, b + i), RoundToHalf(df, hn::LoadU(df, a + i))), df, dst + i);
  }
  for (; i < n; ++i) dst[i] = b[i] * half::round(a[i]);
}

// m for each lane: the half-rounded mean of the half-rounded absolute channel differences.
template <class DF>
HWY_INLINE hn::Vec<DF> MeanAbsDiff(DF df, const uint16_t* a, const uint16_t* b, size_t stride, size_t i) {
  auto e = hn::Zero(df);
  for (size_t c = 0; c < 3; ++c) {
    const auto va = HalfBitsToF32(df, LoadHalfBits(df, a + c * stride + i));
    const auto vb = HalfBitsToF32(df, LoadHalfBits(df, b + c * stride + i));
    e = hn::Add(e, hn::Abs(RoundToHalf(df, hn::Sub(va, vb))));
  }
  return RoundToHalf(df, hn::Div(e, hn::Set(df, 3.0f)));
}

inline float MeanAbsDiffScalar(const uint16_t* a, const uint16_t* b, size_t stride, size_t i) {
  float e = 0.0f;
  for (size_t c = 0; c < 3; ++c) {
    const float d = half::round(half::toFloat(a[c * stride + i]) - half::toFloat(b[c * stride + i]));
    e = e + std::fabs(d);
  }
  return half::round(e / 3.0f);
}

float RetrieveTermPooledImpl(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const uint16_t* HWY_RESTRICT w, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  HWY_ALIGN float terms[HWY_MAX_BYTES / sizeof(float)];
  float acc = 0.0f;
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto m = MeanAbsDiff(df, a, b, n, i);
    const auto wi = HalfBitsToF32(df, LoadHalfBits(df, w + i));
    hn::Store(RoundToHalf(df, hn::Mul(wi, m)), df, terms);
    // The sum runs in index order, one lane after another.
    for (size_t k = 0; k < N; ++k) acc = acc + terms[k];
  }
  for (; i < n; ++i) acc = acc + half::round(half::toFloat(w[i]) * MeanAbsDiffScalar(a, b, n, i));
  return acc;
}

float RetrieveTermExactRangeImpl(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                                 const float* HWY_RESTRICT w, size_t stride, size_t begin, size_t end) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  HWY_ALIGN float terms[HWY_MAX_BYTES / sizeof(float)];
  // A skipped pixel adds -0, which leaves every accumulator value (signed zeros and NaNs too) as it is.
  const auto skip = hn::Set(df, -0.0f);
  float acc = 0.0f;
  size_t i = begin;
  for (; i + N <= end; i += N) {
    const auto wi = hn::LoadU(df, w + i);
    const auto m = MeanAbsDiff(df, a, b, stride, i);
    hn::Store(hn::IfThenElse(hn::Eq(wi, hn::Zero(df)), skip, hn::Mul(wi, m)), df, terms);
    for (size_t k = 0; k < N; ++k) acc = acc + terms[k];
  }
  for (; i < end; ++i) {
    if (w[i] == 0.0f) continue;
    acc = acc + w[i] * MeanAbsDiffScalar(a, b, stride, i);
  }
  return acc;
}

// The convolution reads a per-thread copy of the image whose rows carry one zero column on the
// left and zero columns up to a whole number of vectors on the right, so every pixel of a row,
// borders included, is a plain vector of loads. A zero tap adds 0 * w, which leaves the running
// sum unchanged bit for bit (the sum starts at +0 and can never become -0), so this agrees with
// the definition that skips those taps.
template <class DF>
HWY_INLINE void StoreFirst(DF df, hn::Vec<DF> v, float* p, size_t n) {
  if (n == hn::Lanes(df)) {
    hn::StoreU(v, df, p);
  } else {
    hn::BlendedStore(v, hn::FirstN(df, n), df, p);
  }
}

// K output channels (K <= 4) of one row, V vectors of pixels (V <= 2) from column x; the last
// vector stores only `tail` lanes. rows[ky] points at padded column x of the input row for tap
// row ky (null above or below the image), planes `cstride` apart. Vectors are named locals: SVE
// vectors cannot live in arrays.
template <int K, int V, class DF>
HWY_INLINE void ConvBlock(DF df, const float* const* rows, size_t cstride, int Cin, const float* const* wk,
                          const float* bias, float* const* out, size_t tail) {
  const size_t N = hn::Lanes(df);
  auto a0 = hn::Zero(df), a1 = a0, a2 = a0, a3 = a0;  // first pixel vector, channels 0..3
  auto b0 = a0, b1 = a0, b2 = a0, b3 = a0;            // second pixel vector
  for (int ky = 0; ky < 3; ++ky) {
    if (rows[ky] == nullptr) continue;
    for (int kx = 0; kx < 3; ++kx) {
      const float* p = rows[ky] + kx;
      const int t = ky * 3 + kx;
      for (int ci = 0; ci < Cin; ++ci, p += cstride) {
        const int wi = ci * 9 + t;
        const auto s0 = hn::LoadU(df, p);
        const auto w0 = hn::Set(df, wk[0][wi]);
        a0 = hn::Add(a0, hn::Mul(s0, w0));
        if constexpr (V > 1) b0 = hn::Add(b0, hn::Mul(hn::LoadU(df, p + N), w0));
        if constexpr (K > 1) {
          const auto w1 = hn::Set(df, wk[1][wi]);
          a1 = hn::Add(a1, hn::Mul(s0, w1));
          if constexpr (V > 1) b1 = hn::Add(b1, hn::Mul(hn::LoadU(df, p + N), w1));
        }
        if constexpr (K > 2) {
          const auto w2 = hn::Set(df, wk[2][wi]);
          a2 = hn::Add(a2, hn::Mul(s0, w2));
          if constexpr (V > 1) b2 = hn::Add(b2, hn::Mul(hn::LoadU(df, p + N), w2));
        }
        if constexpr (K > 3) {
          const auto w3 = hn::Set(df, wk[3][wi]);
          a3 = hn::Add(a3, hn::Mul(s0, w3));
          if constexpr (V > 1) b3 = hn::Add(b3, hn::Mul(hn::LoadU(df, p + N), w3));
        }
      }
    }
  }
  const size_t firstN = V > 1 ? N : tail;
  StoreFirst(df, hn::Add(hn::Set(df, bias[0]), a0), out[0], firstN);
  if constexpr (V > 1) StoreFirst(df, hn::Add(hn::Set(df, bias[0]), b0), out[0] + N, tail);
  if constexpr (K > 1) {
    StoreFirst(df, hn::Add(hn::Set(df, bias[1]), a1), out[1], firstN);
    if constexpr (V > 1) StoreFirst(df, hn::Add(hn::Set(df, bias[1]), b1), out[1] + N, tail);
  }
  if constexpr (K > 2) {
    StoreFirst(df, hn::Add(hn::Set(df, bias[2]), a2), out[2], firstN);
    if constexpr (V > 1) StoreFirst(df, hn::Add(hn::Set(df, bias[2]), b2), out[2] + N, tail);
  }
  if constexpr (K > 3) {
    StoreFirst(df, hn::Add(hn::Set(df, bias[3]), a3), out[3], firstN);
    if constexpr (V > 1) StoreFirst(df, hn::Add(hn::Set(df, bias[3]), b3), out[3] + N, tail);
  }
}

// One output channel, four whole pixel vectors: a single channel has too few independent sums
// to hide the latency of the adds otherwise.
template <class DF>
HWY_INLINE void ConvBlockWide(DF df, const float* const* rows, size_t cstride, int Cin, const float* wk, float bias,
                              float* out) {
  const size_t N = hn::Lanes(df);
  auto a0 = hn::Zero(df), a1 = a0, a2 = a0, a3 = a0;
  for (int ky = 0; ky < 3; ++ky) {
    if (rows[ky] == nullptr) continue;
    for (int kx = 0; kx < 3; ++kx) {
      const float* p = rows[ky] + kx;
      const int t = ky * 3 + kx;
      for (int ci = 0; ci < Cin; ++ci, p += cstride) {
        const auto w = hn::Set(df, wk[ci * 9 + t]);
        a0 = hn::Add(a0, hn::Mul(hn::LoadU(df, p), w));
        a1 = hn::Add(a1, hn::Mul(hn::LoadU(df, p + N), w));
        a2 = hn::Add(a2, hn::Mul(hn::LoadU(df, p + 2 * N), w));
        a3 = hn::Add(a3, hn::Mul(hn::LoadU(df, p + 3 * N), w));
      }
    }
  }
  const auto b = hn::Set(df, bias);
  hn::StoreU(hn::Add(b, a0), df, out);
  hn::StoreU(hn::Add(b, a1), df, out + N);
  hn::StoreU(hn::Add(b, a2), df, out + 2 * N);
  hn::StoreU(hn::Add(b, a3), df, out + 3 * N);
}

template <int K, class DF>
HWY_INLINE void ConvChannels(DF df, const float* pad, size_t P, int Cin, int H, int W, const float* weights,
                             const float* bias, int co, float* outPlanes) {
  const size_t N = hn::Lanes(df);
  const size_t plane = static_cast<size_t>(H) * static_cast<size_t>(W);
  const size_t cstride = static_cast<size_t>(H) * P;
  const size_t w = static_cast<size_t>(W);
  const float* wk[K];
  float bk[K];
  for (int k = 0; k < K; ++k) {
    wk[k] = weights + static_cast<size_t>(co + k) * static_cast<size_t>(Cin) * 9;
    bk[k] = bias[co + k];
  }
  for (int y = 0; y < H; ++y) {
    const float* rows[3];
    for (int ky = 0; ky < 3; ++ky) {
      const int sy = y + ky - 1;
      rows[ky] = sy < 0 || sy >= H ? nullptr : pad + static_cast<size_t>(sy) * P;
    }
    float* orow[K];
    for (int k = 0; k < K; ++k) orow[k] = outPlanes + k * plane + static_cast<size_t>(y) * w;
    size_t x = 0;
    const float* r[3];
    float* o[K];
    const auto at = [&](size_t col) {
      for (int ky = 0; ky < 3; ++ky) r[ky] = rows[ky] == nullptr ? nullptr : rows[ky] + col;
      for (int k = 0; k < K; ++k) o[k] = orow[k] + col;
    };
    if constexpr (K == 1) {
      for (; x + 4 * N <= w; x += 4 * N) {
        at(x);
        ConvBlockWide(df, r, cstride, Cin, wk[0], bk[0], o[0]);
      }
    }
    for (; x + 2 * N <= w; x += 2 * N) {
      at(x);
      ConvBlock<K, 2>(df, r, cstride, Cin, wk, bk, o, N);
    }
    if (x < w) {
      at(x);
      if (w - x > N) {
        ConvBlock<K, 2>(df, r, cstride, Cin, wk, bk, o, w - x - N);
      } else {
        ConvBlock<K, 1>(df, r, cstride, Cin, wk, bk, o, w - x);
      }
    }
  }
}

void Conv3x3RangeImpl(const float* HWY_RESTRICT in, int /*N*/, int Cin, int H, int W, const float* HWY_RESTRICT weights,
                      const float* HWY_RESTRICT bias, int Cout, float* HWY_RESTRICT out, int begin, int end) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  const size_t plane = static_cast<size_t>(H) * static_cast<size_t>(W);
  if (plane == 0) return;
  // Image column c sits at padded column c + 1; the last vector of a row may read up to one
  // whole vector past the image, plus the right tap.
  const size_t vec = std::max<size_t>(16, N);
  const size_t P = (static_cast<size_t>(W) + vec - 1) / vec * vec + 2;
  thread_local std::vector<float> padBuf;
  if (padBuf.size() < static_cast<size_t>(Cin) * H * P) padBuf.resize(static_cast<size_t>(Cin) * H * P);
  float* pad = padBuf.data();
  int filled = -1;
  int j = begin;
  while (j < end) {
    const int n = j / Cout;
    const int co = j % Cout;
    if (n != filled) {
      const float* img = in + static_cast<size_t>(n) * static_cast<size_t>(Cin) * plane;
      for (size_t r = 0; r < static_cast<size_t>(Cin) * H; ++r) {
        float* dst = pad + r * P;
        dst[0] = 0.0f;
        std::copy(img + r * W, img + (r + 1) * W, dst + 1);
        std::fill(dst + W + 1, dst + P, 0.0f);
      }
      filled = n;
    }
    // Up to four channels of the same image share each input load.
    const int k = std::min({4, Cout - co, end - j});
    float* o = out + static_cast<size_t>(j) * plane;
    switch (k) {
      case 4: ConvChannels<4>(df, pad, P, Cin, H, W, weights, bias, co, o); break;
      case 3: ConvChannels<3>(df, pad, P, Cin, H, W, weights, bias, co, o); break;
      case 2: ConvChannels<2>(df, pad, P, Cin, H, W, weights, bias, co, o); break;
      default: ConvChannels<1>(df, pad, P, Cin, H, W, weights, bias, co, o); break;
    }
    j += k;
  }
}

// max(x, 0) as std::max(x, 0.0f) has it: a NaN stays NaN on every target.
void ReluInPlaceImpl(float* HWY_RESTRICT p, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  const auto zero = hn::Zero(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto v = hn::LoadU(df, p + i);
    hn::StoreU(hn::IfThenElse(hn::Lt(v, zero), zero, v), df, p + i);
  }
  for (; i < n; ++i) p[i] = std::max(p[i], 0.0f);
}

// Element-wise updates of the teeth head's softmax and blend, each lane as the scalar statement.
void MaxInPlaceImpl(float* HWY_RESTRICT m, const float* HWY_RESTRICT x, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto a = hn::LoadU(df, m + i), b = hn::LoadU(df, x + i);
    hn::StoreU(hn::IfThenElse(hn::Lt(a, b), b, a), df, m + i);
  }
  for (; i < n; ++i) m[i] = std::max(m[i], x[i]);
}

void AddInPlaceImpl(float* HWY_RESTRICT acc, const float* HWY_RESTRICT x, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(hn::Add(hn::LoadU(df, acc + i), hn::LoadU(df, x + i)), df, acc + i);
  for (; i < n; ++i) acc[i] = acc[i] + x[i];
}

void DivInPlaceImpl(float* HWY_RESTRICT x, const float* HWY_RESTRICT d, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(hn::Div(hn::LoadU(df, x + i), hn::LoadU(df, d + i)), df, x + i);
  for (; i < n; ++i) x[i] = x[i] / d[i];
}

void AddProductImpl(float* HWY_RESTRICT acc, const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto p = hn::Mul(hn::LoadU(df, a + i), hn::LoadU(df, b + i));
    hn::StoreU(hn::Add(hn::LoadU(df, acc + i), p), df, acc + i);
  }
  for (; i < n; ++i) acc[i] = acc[i] + a[i] * b[i];
}

}  // namespace vesk::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <stdexcept>
#include <string>

#include "core/vesk_simd.h"
#include "core/vesk_simd_targets.h"

namespace vesk {

void halfToFloat(const uint16_t* src, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = half::toFloat(src[i]);
}

uint16_t f32ToF16(float v) {
  const uint32_t bits = half::bitsOf(v);
  // Infinities and NaNs both become the infinity of their sign.
  if ((bits & 0x7F800000u) == 0x7F800000u) return static_cast<uint16_t>(((bits >> 16) & 0x8000u) | 0x7C00u);
  return half::fromFloat(v);
}

namespace simd {

HWY_EXPORT(TargetNameImpl);
HWY_EXPORT(F16ToF32Impl);
HWY_EXPORT(F32ToF16Impl);
HWY_EXPORT(Rgb8ToPlanarF16Impl);
HWY_EXPORT(RoundF16MulImpl);
HWY_EXPORT(RetrieveTermPooledImpl);
HWY_EXPORT(RetrieveTermExactRangeImpl);
HWY_EXPORT(Conv3x3RangeImpl);
HWY_EXPORT(ReluInPlaceImpl);
HWY_EXPORT(MaxInPlaceImpl);
HWY_EXPORT(AddInPlaceImpl);
HWY_EXPORT(DivInPlaceImpl);
HWY_EXPORT(AddProductImpl);

int64_t compiledTargets() { return HWY_TARGETS; }

const char* target() { return HWY_DYNAMIC_DISPATCH(TargetNameImpl)(); }

void f16ToF32(const uint16_t* src, float* dst, size_t n) { HWY_DYNAMIC_DISPATCH(F16ToF32Impl)(src, dst, n); }

void f32ToF16(const float* src, uint16_t* dst, size_t n) { HWY_DYNAMIC_DISPATCH(F32ToF16Impl)(src, dst, n); }

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t plane_stride, size_t n) {
  if (n > plane_stride) throw std::runtime_error("rgb8ToPlanarF16: " + std::to_string(n) + " pixels do not fit planes " +
                                                 std::to_string(plane_stride) + " elements apart");
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16Impl)(rgb, dst, plane_stride, n);
}

void roundF16Mul(const float* a, const float* b, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundF16MulImpl)(a, b, dst, n);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooledImpl)(a, b, w, n);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRangeImpl)(a, b, w, n, 0, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t plane_stride, size_t begin,
                             size_t end) {
  if (begin > end || end > plane_stride) {
    throw std::runtime_error("retrieveTermExactRange: range [" + std::to_string(begin) + ", " + std::to_string(end) +
                             ") is not inside planes of " + std::to_string(plane_stride) + " pixels");
  }
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRangeImpl)(a, b, w, plane_stride, begin, end);
}

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias, int Cout,
                  float* out, int begin, int end) {
  if (N < 0 || Cin < 0 || H < 0 || W < 0 || Cout < 0) {
    throw std::runtime_error("conv3x3Range: negative shape N=" + std::to_string(N) + " Cin=" + std::to_string(Cin) +
                             " H=" + std::to_string(H) + " W=" + std::to_string(W) + " Cout=" + std::to_string(Cout));
  }
  const long long planes = static_cast<long long>(N) * Cout;
  if (begin < 0 || begin > end || end > planes) {
    throw std::runtime_error("conv3x3Range: planes [" + std::to_string(begin) + ", " + std::to_string(end) +
                             ") outside [0, " + std::to_string(planes) + ")");
  }
  if (begin == end || H == 0 || W == 0) return;
  HWY_DYNAMIC_DISPATCH(Conv3x3RangeImpl)(in, N, Cin, H, W, weights, bias, Cout, out, begin, end);
}

void reluInPlace(float* p, size_t n) { HWY_DYNAMIC_DISPATCH(ReluInPlaceImpl)(p, n); }

void maxInPlace(float* m, const float* x, size_t n) { HWY_DYNAMIC_DISPATCH(MaxInPlaceImpl)(m, x, n); }

void addInPlace(float* acc, const float* x, size_t n) { HWY_DYNAMIC_DISPATCH(AddInPlaceImpl)(acc, x, n); }

void divInPlace(float* x, const float* d, size_t n) { HWY_DYNAMIC_DISPATCH(DivInPlaceImpl)(x, d, n); }

void addProduct(float* acc, const float* a, const float* b, size_t n) {
  HWY_DYNAMIC_DISPATCH(AddProductImpl)(acc, a, b, n);
}

}  // namespace simd
}  // namespace vesk
#endif  // HWY_ONCE
