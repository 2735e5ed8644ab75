// Int8ConvVNNI of the "com.zentrova.int8" domain: a convolution whose weights are int8 with one float
// scale per output channel. Each run quantises the float input to unsigned bytes with one scale and
// zero point, convolves in 32-bit integers and dequantises to float:
//
//   out[m] = (scale * wscale[m]) * float(acc - z * wsum) + bias[m]
//
// where acc sums (quantised activation) x (weight) over the kernel taps that fall inside the input
// and wsum sums the weights of those same taps, so padding contributes nothing, as zero padding of
// the float input would.
//
// The integer part is exact, so every SIMD target gives the same accumulators; the float steps are
// the same separate multiplies and adds in the same order everywhere, so the output has the same bits
// on every processor. On processors with AVX-512 VNNI the accumulation runs on its byte dot product;
// elsewhere on portable vector code.
//
// Layouts: the input and output are NCHW float32. The quantised activations are pixel-major, one
// 32-bit word per group of 4 channels (channel 4g + k in byte k of word g, channels past C padded
// with the zero point). The packed weights are, per block of 16 output channels, per kernel tap and
// per group of 4 input channels, 16 words (one per output channel) of 4 int8 weights in the same byte
// order; output channels past M and input channels past C are zero.
//
// Threads: the free functions are reentrant; int8Conv and the operator's runs use the calling
// thread's worker pool. The packed weights are read-only once built.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesk {

// Convolution attributes, in the standard Conv's meaning.
struct Int8ConvGeometry {
  int64_t strideH = 1, strideW = 1;
  int64_t padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
  int64_t dilH = 1, dilW = 1;
  int64_t group = 1;
};

// The kernel state built once from the int8 weights.
struct Int8ConvWeights {
  int64_t C = 0;    // input channels (the weight's dim 1 times the group count)
  int64_t C4 = 0;   // C rounded up to a multiple of 4
  int64_t G = 0;    // C4 / 4: words per quantised pixel
  int64_t M = 0;    // output channels
  int64_t M16 = 0;  // M rounded up to a multiple of 16
  int64_t kH = 0, kW = 0;
  int64_t CK = 0;                // C x kH x kW
  int64_t group = 1;             // output channel m reads the input channels of group m / (M / group)
  std::vector<int32_t> tapSums;  // [M][kH x kW]: the sum over the channels of the weights at each tap
  std::vector<int32_t> totals;   // [M]: the sum of each channel's whole filter
  std::vector<int32_t> packed;   // [M16 / 16][kH x kW][G][16] words of 4 weights
};

// The activation quantisation of one run.
struct Int8Quant {
  float scale = 1.0f;
  int32_t zero = 0;
};

// Output extent of one axis; 0 or less when the kernel does not fit.
int64_t int8ConvOutSize(int64_t in, int64_t kernel, int64_t padBegin, int64_t padEnd, int64_t stride, int64_t dilation);

// Packs weights [M, C / group, kH, kW] (group > 1: a grouped convolution, each group's output channels
// reading only its own input channels). Throws when M does not split into the groups or a dimension
// is not positive.
Int8ConvWeights int8ConvPack(const int8_t* weights, int64_t M, int64_t cPerGroup, int64_t kH, int64_t kW,
                             int64_t group);

// Min and max of n values, both starting at 0, on the worker pool when n splits into 2 or more parts
// of 4096.
void int8ActivationRange(const float* x, size_t n, float& lo, float& hi);
// Scale (hi - lo) / 255 and zero point round(-lo / scale) clamped to [0, 255]; an empty range (all
// zeros) gives scale 1.
Int8Quant int8QuantParams(float lo, float hi);
// Quantises input rows [rowBegin, rowEnd) of the N x H rows of an NCHW input into q (pixel-major, G
// words a pixel): clamp(round(x / scale) + z, 0, 255), rounding half to even.
void int8QuantiseRows(const float* x, uint32_t* q, int64_t C, int64_t H, int64_t W, int64_t G, Int8Quant quant,
                      int64_t rowBegin, int64_t rowEnd);

// Output rows [rowBegin, rowEnd) of the N x Ho rows, from the quantised input of all N items. The
// per-row accumulators are scratch of the calling thread, kept for its next call.
void int8ConvRows(const uint32_t* q, int64_t H, int64_t W, const Int8ConvWeights& w, const Int8ConvGeometry& geo,
                  Int8Quant quant, const float* wscale, const float* bias, float* out, int64_t rowBegin,
                  int64_t rowEnd);

// One whole run on the worker pool: range, quantisation, convolution, dequantisation. x is
// [N, w.C, H, W], out [N, w.M, Ho, Wo].
void int8Conv(const float* x, int64_t N, int64_t H, int64_t W, const Int8ConvWeights& w, const Int8ConvGeometry& geo,
              const float* wscale, const float* bias, float* out);

// Highway target bits this operator was built for: the kernels' set and AVX3_DL, where a test can
// force each in turn.
int64_t int8ConvTargets();

// The name of the accumulation body the current target runs: "vnni" or "portable".
const char* int8ConvBody();

// Adds the process-wide "com.zentrova.int8" domain (made on first use, released at exit) to the options.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

}  // namespace vesk
