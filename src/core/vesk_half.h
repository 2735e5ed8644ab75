// Scalar binary16 conversions shared by the kernels' tails and the scalar helpers. They use the
// same operations as the vector code, so a tail element and a vector lane always agree.
#pragma once

#include <cstdint>
#include <cstring>

namespace vesk::half {

inline uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

inline float floatOf(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// Exact; a NaN keeps its payload and comes out quiet, as a hardware conversion would give it.
inline float toFloat(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t em = h & 0x7FFFu;
  uint32_t bits;
  if (em < 0x400u) {
    // Zero or subnormal: m * 2^-24 is exact in single precision.
    bits = bitsOf(static_cast<float>(static_cast<int32_t>(em)) * 5.9604644775390625e-8f);
  } else if (em >= 0x7C00u) {
    bits = (em << 13) + 0x70000000u;
    if (em > 0x7C00u) bits |= 0x00400000u;
  } else {
    bits = (em << 13) + 0x38000000u;
  }
  return floatOf(bits | sign);
}

// Round to nearest even. Finite results below the smallest normal are rounded by adding 0.5f: the
// sum's last place is exactly 2^-24, the spacing of binary16 subnormals, so the FPU's own
// round-to-nearest-even does the work. Overflow gives infinity; a NaN stays a quiet NaN with the
// top mantissa bits of the input.
inline uint16_t fromFloat(float f) {
  const uint32_t bits = bitsOf(f);
  const uint32_t sign = (bits >> 16) & 0x8000u;
  const uint32_t abs = bits & 0x7FFFFFFFu;
  uint32_t h;
  if (abs > 0x7F800000u) {
    h = 0x7E00u | ((abs >> 13) & 0x3FFu);
  } else if (abs < 0x38800000u) {
    h = bitsOf(floatOf(abs) + 0.5f) - 0x3F000000u;
  } else {
    h = (abs - 0x38000000u + 0xFFFu + ((abs >> 13) & 1u)) >> 13;
    if (h > 0x7C00u) h = 0x7C00u;
  }
  return static_cast<uint16_t>(h | sign);
}

// float(f16(f)).
inline float round(float f) { return toFloat(fromFloat(f)); }

}  // namespace vesk::half
