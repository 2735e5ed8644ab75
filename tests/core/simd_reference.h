// Scalar references of the SIMD kernels, written from their element-wise definitions and kept
// independent of the library's code (other half conversions, literal loops), so a shared mistake
// cannot hide. The benchmarks use them as the baseline.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesk::ref {

inline uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
inline float fromBits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// binary16 -> binary32, exact; NaNs come out quiet with their payload.
inline float f16ToF32(uint16_t h) {
  const bool neg = (h & 0x8000u) != 0;
  const int e = (h >> 10) & 0x1F;
  const uint32_t m = h & 0x3FFu;
  if (e == 31) {
    if (m == 0) return neg ? -INFINITY : INFINITY;
    return fromBits((neg ? 0x80000000u : 0u) | 0x7FC00000u | (m << 13));
  }
  float v = e == 0 ? std::ldexp(static_cast<float>(m), -24) : std::ldexp(static_cast<float>(m | 0x400u), e - 25);
  return neg ? -v : v;
}

// Round-to-nearest-even of a significand shifted right by s (1 <= s <= 31).
inline uint32_t shiftRne(uint32_t m, int s) {
  const uint32_t q = m >> s;
  const uint32_t r = m & ((1u << s) - 1u);
  const uint32_t halfway = 1u << (s - 1);
  return (r > halfway || (r == halfway && (q & 1u))) ? q + 1u : q;
}

// binary32 -> binary16, round to nearest even; NaN -> quiet NaN with the top mantissa bits;
// nanToInf: infinities and NaNs give the signed infinity (the scalar vesk::f32ToF16).
inline uint16_t f32ToF16(float f, bool nanToInf = false) {
  const uint32_t x = bits(f);
  const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
  const int exp = static_cast<int>((x >> 23) & 0xFFu);
  const uint32_t mant = x & 0x7FFFFFu;
  if (exp == 0xFF) {
    if (mant == 0 || nanToInf) return sign | 0x7C00u;
    return static_cast<uint16_t>(sign | 0x7E00u | (mant >> 13));
  }
  if (exp == 0) return sign;  // below 2^-126: far under half the smallest half subnormal
  const uint32_t m = mant | 0x800000u;
  int e = exp - 127 + 15;
  if (e >= 1) {
    uint32_t q = shiftRne(m, 13);
    if (q == 0x800u) {
      q = 0x400u;
      ++e;
    }
    if (e >= 31) return sign | 0x7C00u;
    return static_cast<uint16_t>(sign | (static_cast<uint32_t>(e) << 10) | (q - 0x400u));
  }
  const int s = 126 - exp;  // >= 14
  if (s > 25) return sign;
  return static_cast<uint16_t>(sign | shiftRne(m, s));
}

inline float roundHalf(float f) { return f16ToF32(f32ToF16(f)); }

inline void f16ToF32(const uint16_t* src, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = f16ToF32(src[i]);
}
inline void f32ToF16(const float* src, uint16_t* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = f32ToF16(src[i]);
}

inline void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t stride, size_t n) {
  for (size_t c = 0; c < 3; ++c)
    for (size_t i = 0; i < n; ++i) dst[c * stride + i] = f32ToF16(static_cast<float>(rgb[3 * i + c]) / 255.0f);
}

inline void roundF16Mul(const float* a, const float* b, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = b[i] * roundHalf(a[i]);
}

inline float retrieveM(const uint16_t* a, const uint16_t* b, size_t stride, size_t i) {
  float d[3];
  for (size_t c = 0; c < 3; ++c) d[c] = std::fabs(roundHalf(f16ToF32(a[c * stride + i]) - f16ToF32(b[c * stride + i])));
  const float e = ((0.0f + d[0]) + d[1]) + d[2];
  return roundHalf(e / 3.0f);
}

inline float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  float acc = 0.0f;
  for (size_t i = 0; i < n; ++i) acc = acc + roundHalf(f16ToF32(w[i]) * retrieveM(a, b, n, i));
  return acc;
}

inline float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t stride,
                                    size_t begin, size_t end) {
  float acc = 0.0f;
  for (size_t i = begin; i < end; ++i) {
    if (w[i] == 0.0f) continue;
    acc = acc + w[i] * retrieveM(a, b, stride, i);
  }
  return acc;
}

inline void conv3x3Range(const float* in, int /*N*/, int Cin, int H, int W, const float* weights, const float* bias,
                         int Cout, float* out, int begin, int end) {
  for (int j = begin; j < end; ++j) {
    const int n = j / Cout;
    const int co = j % Cout;
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        float acc = 0.0f;
        for (int ky = 0; ky < 3; ++ky) {
          for (int kx = 0; kx < 3; ++kx) {
            for (int ci = 0; ci < Cin; ++ci) {
              const int sy = y + ky - 1;
              const int sx = x + kx - 1;
              if (sy < 0 || sy >= H || sx < 0 || sx >= W) continue;
              const float s = in[((static_cast<size_t>(n) * Cin + ci) * H + sy) * W + sx];
              acc = acc + s * weights[((static_cast<size_t>(co) * Cin + ci) * 3 + ky) * 3 + kx];
            }
          }
        }
        out[(static_cast<size_t>(j) * H + y) * W + x] = bias[co] + acc;
      }
    }
  }
}

inline int clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

inline void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step, uint8_t* rgb) {
  for (int x = 0; x < width; ++x) {
    const int k = step * (x / 2);
    const int C = (y[x] - 16) * 298 + 128;
    const int D = u[k] - 128;
    const int E = v[k] - 128;
    rgb[3 * x] = static_cast<uint8_t>(clamp255((C + 409 * E) >> 8));
    rgb[3 * x + 1] = static_cast<uint8_t>(clamp255((C - 100 * D - 208 * E) >> 8));
    rgb[3 * x + 2] = static_cast<uint8_t>(clamp255((C + 516 * D) >> 8));
  }
}

inline void pasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                             const float* bilinear, const int* col_u, const int* col_v, int row_u, int row_v, int x0,
                             int x1, uint8_t* row_rgb) {
  auto maskAt = [&](int r, int c) {
    return (r < 0 || r >= side || c < 0 || c >= side) ? 0.0f : static_cast<float>(mask[r * side + c]);
  };
  for (int x = x0; x <= x1; ++x) {
    const int u = col_u[x - x0] + row_u;
    const int v = col_v[x - x0] + row_v;
    const int iu = u >> 10, iv = v >> 10;
    const int pu = (u >> 5) & 31, pv = (v >> 5) & 31;
    if (!(iu < side && u >= -1024 && iv < side && v >= -1024)) continue;
    const float bu0 = bilinear[2 * pu], bu1 = bilinear[2 * pu + 1];
    const float bv0 = bilinear[2 * pv], bv1 = bilinear[2 * pv + 1];
    const float m00 = maskAt(iv, iu), m01 = maskAt(iv, iu + 1);
    const float m10 = maskAt(iv + 1, iu), m11 = maskAt(iv + 1, iu + 1);
    const float a = ((bu0 * m10 + bu1 * m11) * bv1) + (bv0 * (bu1 * m01 + bu0 * m00));
    const float alpha = std::nearbyint(a) / 255.0f;
    if (alpha <= 0.0f) continue;
    for (int ch = 0; ch < 3; ++ch) {
      float acc = 0.0f;
      for (int r = 0; r < 8; ++r) {
        const int row = iv - 3 + r;
        if (row < 0 || row >= side) continue;
        float rowSum = 0.0f;
        for (int k = 0; k < 8; ++k) {
          const int col = iu - 3 + k;
          if (col < 0 || col >= side) continue;
          rowSum = rowSum + src4[(static_cast<size_t>(row) * side + col) * 4 + ch] * lanczos[pu * 8 + k];
        }
        acc = acc + rowSum * lanczos[pv * 8 + r];
      }
      const float frame = static_cast<float>(row_rgb[3 * x + ch]);
      float out = (frame * (1.0f - alpha)) + (acc * alpha);
      // A NaN result counts as 0.
      if (!(out > 0.0f)) out = 0.0f;
      if (out > 255.0f) out = 255.0f;
      row_rgb[3 * x + ch] = static_cast<uint8_t>(static_cast<int>(out));
    }
  }
}

}  // namespace vesk::ref
