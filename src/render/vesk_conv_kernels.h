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

// Tiles transformed and multiplied together, at least: their inputs and products stay in the L2
// cache.
constexpr int kWinoTiles = 16;
constexpr size_t kWinoSkew = 16;  // floats between the rows of the per-element scratch

// A 3x3 convolution as Winograd F(4x4, 3x3): each 4 x 4 block of outputs is A^T [U . (B^T d B)] A
// over the 6 x 6 input tile d, with U = G g G^T the weights transformed at load, so a block costs 36
// products per input and output channel instead of 144. The transforms and every sum are fp32;
// activations are fp16 in and out as for convRows. H and W must be multiples of 4.
struct WinoGeom {
  int H = 0, W = 0;
  int cin = 0;        // input channels as stored: a multiple of 8
  int coutPad = 0;    // output channels with weights: blocks x bw
  int outStride = 0;  // output channels as stored: a multiple of 8, at most coutPad
  int bw = 16;        // output channels per weight block: 8, 16 or 24
  bool relu = false;
  const float* U = nullptr;     // block b, element e (6 x 6, row-major), input channel c, lane l at
                                // ((e * blocks + b) * cin + c) * bw + l
  const float* bias = nullptr;  // coutPad
};

// U for one output channel o and input channel c from its 3 x 3 weights (row-major).
void winogradWeights(const float* g3x3, float* u36);
// Tiles per chunk: at least kWinoTiles, and as many as make the chunk's inputs and products as
// large as the transformed weights (read once per chunk), but no more than the layer has.
int winoChunk(const WinoGeom& g);
// fp32 scratch one call needs.
size_t winoScratchFloats(const WinoGeom& g);
// Output rows [4 * ty0, 4 * ty1) of g over in (H x W x cin) into out (H x W x outStride).
void winoRows(const WinoGeom& g, const uint16_t* in, uint16_t* out, int ty0, int ty1, float* scratch);

// out[f * cols + c] = sum_k coef[f * 64 + k] * basis[k * cols + c] for frames f below n and columns
// c in [c0, c1); basis is 64 rows of fp16.
void basisColumns(const float* coef, int n, const uint16_t* basis, size_t cols, size_t c0, size_t c1, float* out);

// One 512-pixel output row of the warp. vo, vgx, vgy: the 64-wide occlusion and grid rows already
// mixed vertically; i0, i1, w0, w1: the horizontal bilinear table (512 entries); P: three fp16
// planes of 512 x 512, plane apart. Writes the occlusion row (occ, 512 halves) and the row of each
// warped plane (warped + c * plane). The grid pair becomes the pixel position g * 256 + 255.5,
// clamped to [0, 511] with the integer part at most 510, and P is sampled bilinearly there.
void warpRow(const float* vo, const float* vgx, const float* vgy, const int32_t* i0, const int32_t* i1, const float* w0,
             const float* w1, const uint16_t* P, size_t plane, uint16_t* occ, uint16_t* warped);

}  // namespace vesk::conv
