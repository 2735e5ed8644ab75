// Run-time dispatched SIMD kernels. Every kernel is defined element by element, without fused
// multiply-add and with fixed accumulation orders, so every target gives bit-identical results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// Exact binary16 to binary32, one element at a time.
void halfToFloat(const uint16_t* src, float* dst, size_t n);
// Round to nearest even; infinities and NaNs become signed infinities.
uint16_t f32ToF16(float v);

namespace simd {

// Highway's name of the target chosen for this processor ("AVX2", "NEON", "SVE2", ...).
const char* target();

void f16ToF32(const uint16_t* src, float* dst, size_t n);
void f32ToF16(const float* src, uint16_t* dst, size_t n);
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t plane_stride, size_t n);
void roundF16Mul(const float* a, const float* b, float* dst, size_t n);
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t plane_stride, size_t begin,
                             size_t end);
void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias, int Cout,
                  float* out, int begin, int end);
// p[i] = max(p[i], 0): a NaN stays NaN.
void reluInPlace(float* p, size_t n);
// Element-wise, each as its scalar statement: m[i] = max(m[i], x[i]); acc[i] += x[i];
// x[i] /= d[i]; acc[i] += a[i] * b[i] (a product, then a sum).
void maxInPlace(float* m, const float* x, size_t n);
void addInPlace(float* acc, const float* x, size_t n);
void divInPlace(float* x, const float* d, size_t n);
void addProduct(float* acc, const float* a, const float* b, size_t n);
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chroma_step,
                      uint8_t* rgb);
void pasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos, const float* bilinear,
                      const int* col_u, const int* col_v, int row_u, int row_v, int x0, int x1, uint8_t* row_rgb);

}  // namespace simd
}  // namespace vesk
