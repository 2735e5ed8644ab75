// The fp16 convolution backend's vector kernels: half-precision storage, single-precision sums,
// compiled once per SIMD target and chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk::conv {

// One convolution over NHWC fp16 activations, stride 1, zero padding k / 2. Weights are packed per
// block of bw output channels (8 or 16): block b, tap t (ky * k + kx), input channel c, lane l at
// ((b * k * k + t) * cin + c) * bw + l; output channels past cout hold zero weights and bias.
struct ConvGeom {
  int H = 0, W = 0;
  int cin = 0;        // input channels as stored: a multiple of 8
  int cout = 0;       // output channels computed
  int outStride = 0;  // output channels as stored: a multiple of 8, at least cout; the rest written 0
  int k = 3;          // 1 or 3
  int bw = 16;        // output channels per weight block
  bool relu = false;
  const uint16_t* weights = nullptr;
  const uint16_t* bias = nullptr;  // blocks x bw halves
};

// fp32 scratch one call needs: three padded input rows.
size_t convScratchFloats(const ConvGeom& g);
// Output rows [y0, y1) of g over in (H x W x cin) into out (H x W x outStride).
void convRows(const ConvGeom& g, const uint16_t* in, uint16_t* out, int y0, int y1, float* scratch);

// out[f * cols + c] = sum_k coef[f * 64 + k] * basis[k * cols + c] for frames f below n and columns
// c in [c0, c1); basis is 64 rows of fp16.
void basisColumns(const float* coef, int n, const uint16_t* basis, size_t cols, size_t c0, size_t c1, float* out);

}  // namespace vesk::conv
