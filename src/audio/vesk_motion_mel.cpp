// The motion model's log-mel block, compiled once per SIMD target. Lanes are frames: every lane runs
// the scalar algorithm's operations in the same order (separate multiply and add, fixed summation
// order), so the targets agree bit for bit.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "audio/vesk_motion_mel.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "audio/vesk_motion_mel.h"

HWY_BEFORE_NAMESPACE();
namespace vesk::motion_mel::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using T = MotionMel;

// Natural log of positive normal floats, within an ulp of the exact value: the exponent is
// split off, the mantissa m is brought into [sqrt(1/2), sqrt(2)) and log(1 + (m - 1)) comes from a
// minimax polynomial (the Cephes logf coefficients), evaluated with separate multiplies and adds.
template <class D, class V>
V LogPositive(D d, V x) {
  const hn::RebindToSigned<D> di;
  const auto bits = hn::BitCast(di, x);
  auto e = hn::Sub(hn::ShiftRight<23>(bits), hn::Set(di, 127));
  auto m = hn::BitCast(d, hn::Or(hn::And(bits, hn::Set(di, 0x007FFFFF)), hn::Set(di, 0x3F800000)));  // [1, 2)
  const auto big = hn::Gt(m, hn::Set(d, 1.41421356f));
  m = hn::IfThenElse(big, hn::Mul(m, hn::Set(d, 0.5f)), m);
  e = hn::IfThenElse(hn::RebindMask(di, big), hn::Add(e, hn::Set(di, 1)), e);
  const auto f = hn::Sub(m, hn::Set(d, 1.0f));
  const auto ef = hn::ConvertTo(d, e);
  const auto z = hn::Mul(f, f);
  auto y = hn::Set(d, 7.0376836292e-2f);
  y = hn::Add(hn::Mul(y, f), hn::Set(d, -1.1514610310e-1f));
  y = hn::Add(hn::Mul(y, f), hn::Set(d, 1.1676998740e-1f));
  y = hn::Add(hn::Mul(y, f), hn::Set(d, -1.2420140846e-1f));
  y = hn::Add(hn::Mul(y, f), hn::Set(d, 1.4249322787e-1f));
  y = hn::Add(hn::Mul(y, f), hn::Set(d, -1.6668057665e-1f));
  y = hn::Add(hn::Mul(y, f), hn::Set(d, 2.0000714765e-1f));
  y = hn::Add(hn::Mul(y, f), hn::Set(d, -2.4999993993e-1f));
  y = hn::Add(hn::Mul(y, f), hn::Set(d, 3.3333331174e-1f));
  y = hn::Mul(hn::Mul(y, f), z);
  y = hn::Add(y, hn::Mul(ef, hn::Set(d, -2.12194440e-4f)));  // ln 2 = 0.693359375 - 2.12194440e-4
  y = hn::Sub(y, hn::Mul(z, hn::Set(d, 0.5f)));
  return hn::Add(hn::Add(f, y), hn::Mul(ef, hn::Set(d, 0.693359375f)));
}

// Frames go through the transform side by side, one per lane, in groups of L from the caller's list;
// the last group is the list's last L entries (with fewer than L, the last entry repeats), so every
// lane holds a listed frame. A frame's bits do not depend on its lane or group.
void FramesImpl(const T::Tables& tb, const float* HWY_RESTRICT padded, const int* frames, int count,
                float* HWY_RESTRICT scratch, float* HWY_RESTRICT out) {
  const hn::CappedTag<float, T::kMaxLanes> d;
  const hn::RebindToSigned<decltype(d)> di;
  const size_t L = hn::Lanes(d);
  const int Li = static_cast<int>(L);
  constexpr int H = T::kHalf;
  // Point n of lane j at n * L + j.
  float* HWY_RESTRICT re = scratch;
  float* HWY_RESTRICT im = re + H * L;
  float* HWY_RESTRICT mag = im + H * L;
  const auto half = hn::Set(d, 0.5f);
  for (int next = 0; next < count; next += Li) {
    HWY_ALIGN int32_t frame[T::kMaxLanes];
    const int from = count >= Li ? std::min(next, count - Li) : 0;
    bool contiguous = true;
    for (int j = 0; j < Li; ++j) {
      frame[j] = frames[std::min(from + j, count - 1)];
      contiguous = contiguous && frame[j] == frame[0] + j;
    }
    const auto index = hn::Load(di, frame);
    const auto offset = hn::Mul(index, hn::Set(di, T::kHop));
    // Windowed (even, odd) sample pairs as complex points, in bit-reversed order.
    for (int n = 0; n < H; ++n) {
      const size_t at = static_cast<size_t>(tb.bitrev[static_cast<size_t>(n)]) * L;
      hn::Store(hn::Mul(hn::GatherIndex(d, padded + 2 * n, offset), hn::Set(d, tb.window[static_cast<size_t>(2 * n)])), d,
                re + at);
      hn::Store(hn::Mul(hn::GatherIndex(d, padded + 2 * n + 1, offset), hn::Set(d, tb.window[static_cast<size_t>(2 * n + 1)])),
                d, im + at);
    }
    // Radix-2 butterflies, stage by stage: b' = a - w b, a' = a + w b.
    const float* tw = tb.stageTwiddles.data();
    for (int h = 1; h < H; tw += 2 * h, h <<= 1) {
      for (int k = 0; k < h; ++k) {
        const auto wr = hn::Set(d, tw[2 * k]), wi = hn::Set(d, tw[2 * k + 1]);
        for (int i = k; i < H; i += 2 * h) {
          float* ar = re + static_cast<size_t>(i) * L;
          float* ai = im + static_cast<size_t>(i) * L;
          float* br = ar + static_cast<size_t>(h) * L;
          float* bi = ai + static_cast<size_t>(h) * L;
          const auto xr = hn::Load(d, br), xi = hn::Load(d, bi);
          const auto tr = hn::Sub(hn::Mul(xr, wr), hn::Mul(xi, wi));
          const auto ti = hn::Add(hn::Mul(xr, wi), hn::Mul(xi, wr));
          const auto yr = hn::Load(d, ar), yi = hn::Load(d, ai);
          hn::Store(hn::Sub(yr, tr), d, br);
          hn::Store(hn::Sub(yi, ti), d, bi);
          hn::Store(hn::Add(yr, tr), d, ar);
          hn::Store(hn::Add(yi, ti), d, ai);
        }
      }
    }
    // Split: with Z the packed transform, the even and odd samples' transforms are
    // E(k) = (Z(k) + conj Z(256 - k)) / 2 and O(k) = (Z(k) - conj Z(256 - k)) / 2i, and
    // X(k) = E(k) + W^k O(k), X(256 - k) = conj E(k) - conj(W^k O(k)) with W = exp(-2 pi i / 512).
    {
      const auto r0 = hn::Load(d, re), i0 = hn::Load(d, im);
      hn::Store(hn::Abs(hn::Add(r0, i0)), d, mag);
      hn::Store(hn::Abs(hn::Sub(r0, i0)), d, mag + static_cast<size_t>(H) * L);
    }
    for (int k = 1; k <= H / 2; ++k) {
      const auto ar = hn::Load(d, re + static_cast<size_t>(k) * L), ai = hn::Load(d, im + static_cast<size_t>(k) * L);
      const auto br = hn::Load(d, re + static_cast<size_t>(H - k) * L);
      const auto bi = hn::Load(d, im + static_cast<size_t>(H - k) * L);
      const auto er = hn::Mul(hn::Add(ar, br), half), ei = hn::Mul(hn::Sub(ai, bi), half);
      const auto orr = hn::Mul(hn::Add(ai, bi), half), oi = hn::Mul(hn::Sub(br, ar), half);
      const auto wr = hn::Set(d, tb.splitTwiddles[static_cast<size_t>(2 * k)]);
      const auto wi = hn::Set(d, tb.splitTwiddles[static_cast<size_t>(2 * k + 1)]);
      const auto p = hn::Sub(hn::Mul(wr, orr), hn::Mul(wi, oi));
      const auto q = hn::Add(hn::Mul(wr, oi), hn::Mul(wi, orr));
      const auto xr = hn::Add(er, p), xi = hn::Add(ei, q);
      const auto yr = hn::Sub(er, p), yi = hn::Sub(q, ei);
      hn::Store(hn::Sqrt(hn::Add(hn::Mul(xr, xr), hn::Mul(xi, xi))), d, mag + static_cast<size_t>(k) * L);
      hn::Store(hn::Sqrt(hn::Add(hn::Mul(yr, yr), hn::Mul(yi, yi))), d, mag + static_cast<size_t>(H - k) * L);
    }
    // Mel bands over their non-zero spans, then the log.
    for (int m = 0; m < T::kBands; ++m) {
      const float* w = tb.weights.data() + tb.bandAt[static_cast<size_t>(m)];
      const float* g = mag + static_cast<size_t>(tb.bandLo[static_cast<size_t>(m)]) * L;
      auto s = hn::Zero(d);
      for (int i = 0; i < tb.bandLen[static_cast<size_t>(m)]; ++i)
        s = hn::Add(s, hn::Mul(hn::Set(d, w[i]), hn::Load(d, g + static_cast<size_t>(i) * L)));
      s = hn::Add(s, hn::Set(d, 1e-8f));
      auto v = LogPositive(d, s);
      // Zero, negative (a matrix with negative weights), infinite or NaN sums take the library's log.
      if (!hn::AllTrue(d, hn::And(hn::Ge(s, hn::Set(d, FLT_MIN)), hn::Le(s, hn::Set(d, FLT_MAX))))) {
        HWY_ALIGN float raw[T::kMaxLanes], fixed[T::kMaxLanes];
        hn::Store(s, d, raw);
        hn::Store(v, d, fixed);
        for (size_t j = 0; j < L; ++j)
          if (!(raw[j] >= FLT_MIN && raw[j] <= FLT_MAX)) fixed[j] = std::log(raw[j]);
        v = hn::Load(d, fixed);
      }
      float* row = out + m * T::kFrames;
      if (contiguous) {
        hn::StoreU(v, d, row + frame[0]);
      } else {
        hn::ScatterIndex(v, d, row, index);
      }
    }
  }
}

}  // namespace vesk::motion_mel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <stdexcept>
#include <string>

namespace vesk {
namespace motion_mel {
HWY_EXPORT(FramesImpl);
}  // namespace motion_mel

MotionMel::MotionMel() {
  constexpr double kPi = 3.14159265358979323846;
  std::array<float, 256> twCos{}, twSin{};
  for (int i = 0; i < 256; ++i) {
    twCos[static_cast<size_t>(i)] = static_cast<float>(std::cos(-2.0 * kPi * i / 512.0));
    twSin[static_cast<size_t>(i)] = static_cast<float>(std::sin(-2.0 * kPi * i / 512.0));
  }
  // The packed transform has 256 points: its twiddle exp(-2 pi i k / 256) is entry 2k of the table.
  size_t at = 0;
  for (int h = 1; h < kHalf; h <<= 1)
    for (int k = 0; k < h; ++k) {
      const auto idx = static_cast<size_t>(k * (kHalf / h));
      tables_.stageTwiddles[at++] = twCos[idx];
      tables_.stageTwiddles[at++] = twSin[idx];
    }
  for (int k = 0; k <= kHalf / 2; ++k) {
    tables_.splitTwiddles[static_cast<size_t>(2 * k)] = twCos[static_cast<size_t>(k)];
    tables_.splitTwiddles[static_cast<size_t>(2 * k + 1)] = twSin[static_cast<size_t>(k)];
  }
  for (int i = 0; i < kHalf; ++i) {
    int r = 0;
    for (int b = 0; b < 8; ++b) r |= ((i >> b) & 1) << (7 - b);
    tables_.bitrev[static_cast<size_t>(i)] = static_cast<uint16_t>(r);
  }
  scratch_ = hwy::AllocateAligned<float>((2 * kHalf + kBins) * kMaxLanes);
  if (!scratch_) throw std::runtime_error("vesk_motion: out of memory for the mel scratch");
}

void MotionMel::setTables(const float* window, const float* binmat) {
  std::copy(window, window + kFft, tables_.window.begin());
  tables_.weights.clear();
  for (int m = 0; m < kBands; ++m) {
    int lo = kBins, hi = 0;
    for (int k = 0; k < kBins; ++k)
      if (binmat[static_cast<size_t>(k) * kBands + static_cast<size_t>(m)] != 0.0f) {
        lo = std::min(lo, k);
        hi = k + 1;
      }
    if (lo >= hi) lo = hi = 0;
    tables_.bandLo[static_cast<size_t>(m)] = lo;
    tables_.bandLen[static_cast<size_t>(m)] = hi - lo;
    tables_.bandAt[static_cast<size_t>(m)] = static_cast<int>(tables_.weights.size());
    for (int k = lo; k < hi; ++k) tables_.weights.push_back(binmat[static_cast<size_t>(k) * kBands + static_cast<size_t>(m)]);
  }
}

void MotionMel::block(const float* padded, float* out) {
  static constexpr std::array<int, kFrames> kAll = [] {
    std::array<int, kFrames> a{};
    for (int t = 0; t < kFrames; ++t) a[static_cast<size_t>(t)] = t;
    return a;
  }();
  frames(padded, kAll.data(), kFrames, out);
}

void MotionMel::frames(const float* padded, const int* which, int count, float* out) {
  for (int i = 0; i < count; ++i)
    if (which[i] < 0 || which[i] >= kFrames) throw std::runtime_error("vesk_motion: mel frame " + std::to_string(which[i]) + " out of range");
  if (count > 0) HWY_DYNAMIC_DISPATCH(motion_mel::FramesImpl)(tables_, padded, which, count, scratch_.get(), out);
}

int64_t MotionMel::compiledTargets() { return HWY_TARGETS; }

}  // namespace vesk
#endif  // HWY_ONCE
