// One row of 8-bit 4:2:0 video to RGB24 with the integer BT.601 studio-swing formulas.
//
// The formulas need 18-bit sums, but 256 * Y' and 512 * E (or 256 * E, 512 * D) are multiples of
// 256, so they leave the arithmetic shift whole: R = Y' + 2E + ((42Y' - 103E + 128) >> 8), and so on.
// The remaining sums stay within 16 bits, which lets every target work on 16-bit lanes and still
// give exactly the 32-bit result.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/vesk_yuv2rgb_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"

#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace vesk::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

inline uint8_t ClampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// The element-wise definition, used for the tail and for chroma layouts without a vector path.
inline void YuvPixels(const uint8_t* y, const uint8_t* u, const uint8_t* v, int from, int to, int step,
                      uint8_t* rgb) {
  for (int x = from; x < to; ++x) {
    const size_t k = static_cast<size_t>(step) * static_cast<size_t>(x / 2);
    const int c = (y[x] - 16) * 298 + 128;
    const int d = u[k] - 128;
    const int e = v[k] - 128;
    uint8_t* p = rgb + 3 * static_cast<size_t>(x);
    p[0] = ClampByte((c + 409 * e) >> 8);
    p[1] = ClampByte((c - 100 * d - 208 * e) >> 8);
    p[2] = ClampByte((c + 516 * d) >> 8);
  }
}

#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
// On these targets a three-way byte interleave costs nine byte shuffles per block. Packing each
// pixel into a 32-bit lane (R, G, B, 0) with two zips and dropping every fourth byte with one
// shuffle per block is about half the work.
#define VESK_YUV_COMPACT_STORE 1

template <class D16>
HWY_INLINE void StoreCompact(D16 d16, hn::Vec<D16> r, hn::Vec<D16> g, hn::Vec<D16> b, uint8_t* out) {
  const hn::RebindToUnsigned<D16> du16;
  const hn::RepartitionToWide<decltype(du16)> du32;
  const hn::Repartition<uint8_t, D16> du8;
  const auto zero = hn::Zero(d16);
  const auto k255 = hn::Set(d16, 255);
  const auto r8 = hn::BitCast(du16, hn::Min(hn::Max(r, zero), k255));
  const auto g8 = hn::BitCast(du16, hn::Min(hn::Max(g, zero), k255));
  const auto b8 = hn::BitCast(du16, hn::Min(hn::Max(b, zero), k255));
  const auto rg = hn::Or(r8, hn::ShiftLeft<8>(g8));
  // Per 128-bit block: lo holds the block's first four pixels, hi the next four.
  const auto lo = hn::BitCast(du8, hn::ZipLower(du32, rg, b8));
  const auto hi = hn::BitCast(du8, hn::ZipUpper(du32, rg, b8));
  alignas(16) static constexpr uint8_t kDrop4th[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0x80, 0x80, 0x80, 0x80};
  const auto idx = hn::LoadDup128(du8, kDrop4th);
  const auto clo = hn::TableLookupBytesOr0(lo, idx);
  const auto chi = hn::TableLookupBytesOr0(hi, idx);
#if HWY_TARGET == HWY_AVX2
  const hn::Half<decltype(du8)> dh;
  hn::StoreU(hn::LowerHalf(dh, clo), dh, out);
  hn::StoreU(hn::LowerHalf(dh, chi), dh, out + 12);
  hn::StoreU(hn::UpperHalf(dh, clo), dh, out + 24);
  hn::StoreU(hn::UpperHalf(dh, chi), dh, out + 36);
#else
  hn::StoreU(clo, du8, out);
  hn::StoreU(chi, du8, out + 12);
#endif
}
#else
#define VESK_YUV_COMPACT_STORE 0
#endif

void Yuv420RowToRgb24Impl(const uint8_t* HWY_RESTRICT y, const uint8_t* u, const uint8_t* v, int width, int step,
                          uint8_t* HWY_RESTRICT rgb) {
#if HWY_TARGET == HWY_SCALAR
  // One-lane vectors cannot pair lanes; the fallback target runs the definition itself.
  YuvPixels(y, u, v, 0, width, step, rgb);
#else
  const hn::ScalableTag<int16_t> d16;
  const hn::RebindToUnsigned<decltype(d16)> du16;
  const hn::Rebind<uint8_t, decltype(d16)> d8;            // one byte per pixel lane
  const hn::RepartitionToWide<decltype(du16)> du32;       // one lane per pixel pair
  const hn::Rebind<uint8_t, decltype(du32)> d8pairs;      // one byte per pixel pair
  const size_t N = hn::Lanes(d16);
  const size_t w = static_cast<size_t>(width);

  // Step 2 with the two chroma bytes side by side (NV12, or NV21 with v first): read both from the
  // pair, so no load reaches past the pair of the last pixel.
  const bool pairs = step == 2 && (v == u + 1 || u == v + 1);
  const bool planar = step == 1;
  if (!planar && !pairs) {
    YuvPixels(y, u, v, 0, width, step, rgb);
    return;
  }
  const uint8_t* pairBase = u < v ? u : v;
  const bool uFirst = u < v;

  const auto k16 = hn::Set(d16, 16);
  const auto k128 = hn::Set(d16, 128);
  const auto kLow = hn::Set(du32, 0xFFFFu);
  size_t x = 0;
#if VESK_YUV_COMPACT_STORE
  // Each 16-byte store carries 12 bytes of pixels and 4 the next store overwrites; the last one
  // must still end inside the row.
  const size_t vecEnd = w >= N + 2 ? w - 2 : 0;
#else
  const size_t vecEnd = w;
#endif
  for (; x + N <= vecEnd; x += N) {
    const auto yp = hn::Sub(hn::BitCast(d16, hn::PromoteTo(du16, hn::LoadU(d8, y + x))), k16);
    hn::Vec<decltype(d16)> cu, cv;
    if (planar) {
      const auto pu = hn::PromoteTo(du32, hn::LoadU(d8pairs, u + x / 2));
      const auto pv = hn::PromoteTo(du32, hn::LoadU(d8pairs, v + x / 2));
      cu = hn::BitCast(d16, hn::Or(pu, hn::ShiftLeft<16>(pu)));
      cv = hn::BitCast(d16, hn::Or(pv, hn::ShiftLeft<16>(pv)));
    } else {
      const auto pair = hn::BitCast(du32, hn::PromoteTo(du16, hn::LoadU(d8, pairBase + x)));
      const auto lo = hn::And(pair, kLow);
      const auto hi = hn::ShiftRight<16>(pair);
      const auto dlo = hn::BitCast(d16, hn::Or(lo, hn::ShiftLeft<16>(lo)));
      const auto dhi = hn::BitCast(d16, hn::Or(hi, hn::ShiftLeft<16>(hi)));
      cu = uFirst ? dlo : dhi;
      cv = uFirst ? dhi : dlo;
    }
    const auto d = hn::Sub(cu, k128);
    const auto e = hn::Sub(cv, k128);
    const auto y42 = hn::Add(hn::Mul(yp, hn::Set(d16, 42)), k128);
    const auto r = hn::Add(hn::Add(yp, hn::Add(e, e)),
                           hn::ShiftRight<8>(hn::Sub(y42, hn::Mul(e, hn::Set(d16, 103)))));
    const auto g = hn::Add(hn::Sub(yp, e),
                           hn::ShiftRight<8>(hn::Add(hn::Sub(y42, hn::Mul(d, hn::Set(d16, 100))),
                                                     hn::Mul(e, hn::Set(d16, 48)))));
    const auto b = hn::Add(hn::Add(yp, hn::Add(d, d)), hn::ShiftRight<8>(hn::Add(y42, hn::ShiftLeft<2>(d))));
#if VESK_YUV_COMPACT_STORE
    StoreCompact(d16, r, g, b, rgb + 3 * x);
#else
    hn::StoreInterleaved3(hn::DemoteTo(d8, r), hn::DemoteTo(d8, g), hn::DemoteTo(d8, b), d8, rgb + 3 * x);
#endif
  }
  YuvPixels(y, u, v, static_cast<int>(x), width, step, rgb);
#endif
}

#undef VESK_YUV_COMPACT_STORE

}  // namespace vesk::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <stdexcept>
#include <string>

#include "core/vesk_simd.h"

namespace vesk::simd {

HWY_EXPORT(Yuv420RowToRgb24Impl);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chroma_step,
                      uint8_t* rgb) {
  if (width < 0 || chroma_step < 1) {
    throw std::runtime_error("yuv420RowToRgb24: bad row width " + std::to_string(width) + " or chroma step " +
                             std::to_string(chroma_step));
  }
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24Impl)(y, u, v, width, chroma_step, rgb);
}

}  // namespace vesk::simd
#endif  // HWY_ONCE
