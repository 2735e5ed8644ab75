// Per-target vector helpers shared by the kernel files: binary16 conversions in 32-bit lanes with
// the same integer steps as vesk_half.h, so no target depends on its own conversion instructions.
#if defined(VESK_COMPOSE_SIMD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VESK_COMPOSE_SIMD_INL_H_
#undef VESK_COMPOSE_SIMD_INL_H_
#else
#define VESK_COMPOSE_SIMD_INL_H_
#endif

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace vesk::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Binary16 bits (low 16 bits of each 32-bit lane) to float.
template <class DF>
HWY_INLINE hn::Vec<DF> HalfBitsToF32(DF df, hn::Vec<hn::RebindToSigned<DF>> h) {
  const hn::RebindToSigned<DF> di;
  const auto sign = hn::ShiftLeft<16>(hn::And(h, hn::Set(di, 0x8000)));
  const auto em = hn::And(h, hn::Set(di, 0x7FFF));
  const auto normal = hn::Add(hn::ShiftLeft<13>(em), hn::Set(di, 0x38000000));
  const auto sub = hn::BitCast(di, hn::Mul(hn::ConvertTo(df, em), hn::Set(df, 5.9604644775390625e-8f)));
  const auto quiet = hn::IfThenElseZero(hn::Gt(em, hn::Set(di, 0x7C00)), hn::Set(di, 0x00400000));
  const auto infnan = hn::Or(hn::Add(hn::ShiftLeft<13>(em), hn::Set(di, 0x70000000)), quiet);
  auto bits = hn::IfThenElse(hn::Lt(em, hn::Set(di, 0x400)), sub, normal);
  bits = hn::IfThenElse(hn::Gt(em, hn::Set(di, 0x7BFF)), infnan, bits);
  return hn::BitCast(df, hn::Or(bits, sign));
}

// Float to binary16 bits in the low 16 bits of each 32-bit lane, round to nearest even.
template <class DF>
HWY_INLINE hn::Vec<hn::RebindToSigned<DF>> F32ToHalfBits(DF df, hn::Vec<DF> v) {
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(di, v);
  const auto sign = hn::And(hn::ShiftRight<16>(bits), hn::Set(di, 0x8000));
  const auto abs = hn::And(bits, hn::Set(di, 0x7FFFFFFF));
  const hn::RebindToUnsigned<DF> du;
  const auto uabs = hn::BitCast(du, abs);
  const auto odd = hn::And(hn::ShiftRight<13>(uabs), hn::Set(du, 1u));
  // Below the smallest normal this wraps, but those lanes take the subnormal result.
  const auto rounded = hn::Add(hn::Sub(uabs, hn::Set(du, 0x38000000u)), hn::Add(hn::Set(du, 0xFFFu), odd));
  const auto normal = hn::Min(hn::BitCast(di, hn::ShiftRight<13>(rounded)), hn::Set(di, 0x7C00));
  const auto sub =
      hn::Sub(hn::BitCast(di, hn::Add(hn::BitCast(df, abs), hn::Set(df, 0.5f))), hn::Set(di, 0x3F000000));
  const auto nan = hn::Or(hn::Set(di, 0x7E00), hn::And(hn::ShiftRight<13>(abs), hn::Set(di, 0x3FF)));
  auto h = hn::IfThenElse(hn::Lt(abs, hn::Set(di, 0x38800000)), sub, normal);
  h = hn::IfThenElse(hn::Gt(abs, hn::Set(di, 0x7F800000)), nan, h);
  return hn::Or(h, sign);
}

// float(f16(v)).
template <class DF>
HWY_INLINE hn::Vec<DF> RoundToHalf(DF df, hn::Vec<DF> v) {
  return HalfBitsToF32(df, F32ToHalfBits(df, v));
}

// Loads Lanes(df) binary16 values as 32-bit lanes.
template <class DF>
HWY_INLINE hn::Vec<hn::RebindToSigned<DF>> LoadHalfBits(DF /*df*/, const uint16_t* p) {
  const hn::RebindToUnsigned<DF> du;
  const hn::Rebind<uint16_t, DF> d16;
  return hn::BitCast(hn::RebindToSigned<DF>(), hn::PromoteTo(du, hn::LoadU(d16, p)));
}

template <class DF>
HWY_INLINE void StoreHalfBits(DF /*df*/, hn::Vec<hn::RebindToSigned<DF>> h, uint16_t* p) {
  const hn::Rebind<uint16_t, DF> d16;
  hn::StoreU(hn::DemoteTo(d16, h), d16, p);
}

}  // namespace vesk::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // VESK_COMPOSE_SIMD_INL_H_
