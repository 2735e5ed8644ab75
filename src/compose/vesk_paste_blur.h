// Vector loops of the paste's unsharp mask and plane preparation, dispatched to the processor's
// best SIMD target. Each output element is computed exactly as the scalar definition states
// (separate multiply and add, taps in order), so every target gives the same bits.
#pragma once

#include <cstddef>

namespace vesk::pastesimd {

// dst[j] = ((0 + g[0] * src[j]) + g[1] * src[j + 1]) + ... + g[k - 1] * src[j + k - 1], j in [begin, end).
void blurRange(const float* src, const float* g, size_t k, float* dst, size_t begin, size_t end);

// One sharpened row: blur[x] = sum over t of g[t] * rows[t * stride + x] (t in order from a zero
// start); row[x] = clamp(row[x] * (1 + amount) - blur[x] * amount, 0, 255), NaN giving 0.
void sharpenRow(const float* rows, size_t stride, const float* g, size_t k, float amount, float* row, size_t n);

// dst[i] = src[i] * scale.
void scale(const float* src, float scale, float* dst, size_t n);

// dst[4i .. 4i + 3] = (r[i], g[i], b[i], 0).
void interleave4(const float* r, const float* g, const float* b, float* dst, size_t n);

}  // namespace vesk::pastesimd
