// The motion model's log-mel frontend: 21 frames at hop 320 of a 512-point STFT over one
// reflect-padded feature window, magnitudes through an 80-band mel matrix, natural log.
//
// A frame is real, so its 512-point transform is taken as a 256-point complex one over the
// (even, odd) sample pairs and split afterwards: half the butterflies of the full complex transform.
// The frames of a block are transformed side by side, one per SIMD lane, so every lane performs the
// same operations in the same order: each target gives the same bits, and a frame's result does not
// depend on which lane or block it lands in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hwy/aligned_allocator.h"
#include "vesk/vesk.h"

namespace vesk {

class MotionMel {
 public:
  static constexpr int kFft = 512;
  static constexpr int kHalf = 256;  // complex points of the packed transform
  static constexpr int kBins = 257;
  static constexpr int kBands = 80;
  static constexpr int kFrames = 21;
  static constexpr int kHop = 320;
  static constexpr size_t kMaxLanes = 16;

  // The twiddles are cos and sin of -2 pi i / 512 for i < 256, computed in double and rounded to float.
  MotionMel();

  // window: 512 floats; binmat: 257 x 80, bin-major. Only each band's non-zero span of bins is kept:
  // the zero terms left out add nothing, so the sums are the full ones, in the same order.
  void setTables(const float* window, const float* binmat);

  // out[m * 21 + t] = log(sum_k binmat(k, m) |X_t(k)| + 1e-8) with X_t the transform of the 512
  // windowed samples of padded (6912 floats or more) from 320 t. Allocates nothing.
  void block(const float* padded, float* out);

  // The same for the count frames listed in which (each 0..20) only; the other columns of out are
  // left as they are.
  void frames(const float* padded, const int* which, int count, float* out);

  // The Highway targets the transform was compiled for (tests run each supported one in turn).
  static int64_t compiledTargets();

  // What the SIMD code reads; laid out once by setTables.
  struct Tables {
    std::array<float, kFft> window{};
    std::array<float, 2 * (kHalf - 1)> stageTwiddles{};  // per stage of half h: h (cos, sin) pairs
    std::array<float, 2 * (kHalf / 2 + 1)> splitTwiddles{};  // (cos, sin) of -2 pi k / 512, k <= 128
    std::array<uint16_t, kHalf> bitrev{};
    std::array<int, kBands> bandLo{}, bandLen{}, bandAt{};  // each band's first bin, span and weights
    std::vector<float> weights;                              // every band's span, one after another
  };

 private:
  Tables tables_;
  hwy::AlignedFreeUniquePtr<float[]> scratch_;
};

}  // namespace vesk
