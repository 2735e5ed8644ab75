// The paste's unsharp mask and plane preparation, compiled once per SIMD target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compose/vesk_paste_blur.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"

#include <cstddef>

HWY_BEFORE_NAMESPACE();
namespace vesk::pastesimd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void BlurRangeImpl(const float* HWY_RESTRICT src, const float* HWY_RESTRICT g, size_t k, float* HWY_RESTRICT dst,
                   size_t begin, size_t end) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t j = begin;
  // Four vectors of outputs at a time keep the tap loads in flight.
  for (; j + 4 * N <= end; j += 4 * N) {
    auto a0 = hn::Zero(df), a1 = hn::Zero(df), a2 = hn::Zero(df), a3 = hn::Zero(df);
    for (size_t i = 0; i < k; ++i) {
      const auto gi = hn::Set(df, g[i]);
      const float* s = src + j + i;
      a0 = hn::Add(a0, hn::Mul(gi, hn::LoadU(df, s)));
      a1 = hn::Add(a1, hn::Mul(gi, hn::LoadU(df, s + N)));
      a2 = hn::Add(a2, hn::Mul(gi, hn::LoadU(df, s + 2 * N)));
      a3 = hn::Add(a3, hn::Mul(gi, hn::LoadU(df, s + 3 * N)));
    }
    hn::StoreU(a0, df, dst + j);
    hn::StoreU(a1, df, dst + j + N);
    hn::StoreU(a2, df, dst + j + 2 * N);
    hn::StoreU(a3, df, dst + j + 3 * N);
  }
  for (; j + N <= end; j += N) {
    auto a = hn::Zero(df);
    for (size_t i = 0; i < k; ++i) a = hn::Add(a, hn::Mul(hn::Set(df, g[i]), hn::LoadU(df, src + j + i)));
    hn::StoreU(a, df, dst + j);
  }
  for (; j < end; ++j) {
    float a = 0.0f;
    for (size_t i = 0; i < k; ++i) a = a + g[i] * src[j + i];
    dst[j] = a;
  }
}

void SharpenRowImpl(const float* HWY_RESTRICT rows, size_t stride, const float* HWY_RESTRICT g, size_t k,
                    float amount, float* HWY_RESTRICT row, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  const float a1s = 1.0f + amount;
  const auto a1 = hn::Set(df, a1s), am = hn::Set(df, amount);
  const auto zero = hn::Zero(df), top = hn::Set(df, 255.0f);
  auto finish = [&](auto p, auto blur) {
    const auto v = hn::Sub(hn::Mul(p, a1), hn::Mul(blur, am));
    // Greater-than is false for NaN, so NaN lands on 0 like any value below the range.
    return hn::IfThenElseZero(hn::Gt(v, zero), hn::Min(v, top));
  };
  size_t x = 0;
  for (; x + 2 * N <= n; x += 2 * N) {
    auto b0 = hn::Zero(df), b1 = hn::Zero(df);
    for (size_t t = 0; t < k; ++t) {
      const auto gt = hn::Set(df, g[t]);
      const float* h = rows + t * stride + x;
      b0 = hn::Add(b0, hn::Mul(gt, hn::LoadU(df, h)));
      b1 = hn::Add(b1, hn::Mul(gt, hn::LoadU(df, h + N)));
    }
    hn::StoreU(finish(hn::LoadU(df, row + x), b0), df, row + x);
    hn::StoreU(finish(hn::LoadU(df, row + x + N), b1), df, row + x + N);
  }
  for (; x + N <= n; x += N) {
    auto b = hn::Zero(df);
    for (size_t t = 0; t < k; ++t) b = hn::Add(b, hn::Mul(hn::Set(df, g[t]), hn::LoadU(df, rows + t * stride + x)));
    hn::StoreU(finish(hn::LoadU(df, row + x), b), df, row + x);
  }
  for (; x < n; ++x) {
    float b = 0.0f;
    for (size_t t = 0; t < k; ++t) b = b + g[t] * rows[t * stride + x];
    const float v = row[x] * a1s - b * amount;
    row[x] = v > 0.0f ? (v < 255.0f ? v : 255.0f) : 0.0f;
  }
}

void ScaleImpl(const float* HWY_RESTRICT src, float s, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  const auto vs = hn::Set(df, s);
  size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(hn::Mul(hn::LoadU(df, src + i), vs), df, dst + i);
  for (; i < n; ++i) dst[i] = src[i] * s;
}

void Interleave4Impl(const float* HWY_RESTRICT r, const float* HWY_RESTRICT g, const float* HWY_RESTRICT b,
                     float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  const auto zero = hn::Zero(df);
  size_t i = 0;
  for (; i + N <= n; i += N)
    hn::StoreInterleaved4(hn::LoadU(df, r + i), hn::LoadU(df, g + i), hn::LoadU(df, b + i), zero, df, dst + 4 * i);
  for (; i < n; ++i) {
    dst[4 * i] = r[i];
    dst[4 * i + 1] = g[i];
    dst[4 * i + 2] = b[i];
    dst[4 * i + 3] = 0.0f;
  }
}

}  // namespace vesk::pastesimd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "compose/vesk_paste_blur.h"

namespace vesk::pastesimd {

HWY_EXPORT(BlurRangeImpl);
HWY_EXPORT(SharpenRowImpl);
HWY_EXPORT(ScaleImpl);
HWY_EXPORT(Interleave4Impl);

void blurRange(const float* src, const float* g, size_t k, float* dst, size_t begin, size_t end) {
  HWY_DYNAMIC_DISPATCH(BlurRangeImpl)(src, g, k, dst, begin, end);
}
void sharpenRow(const float* rows, size_t stride, const float* g, size_t k, float amount, float* row, size_t n) {
  HWY_DYNAMIC_DISPATCH(SharpenRowImpl)(rows, stride, g, k, amount, row, n);
}
void scale(const float* src, float s, float* dst, size_t n) { HWY_DYNAMIC_DISPATCH(ScaleImpl)(src, s, dst, n); }
void interleave4(const float* r, const float* g, const float* b, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(Interleave4Impl)(r, g, b, dst, n);
}

}  // namespace vesk::pastesimd
#endif
