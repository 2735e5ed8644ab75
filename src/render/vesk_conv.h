// The fp16 convolution backend: renders the fused m4b director (crop 512) without ONNX Runtime, from
// the graph's own weights packed to half precision, on a thread pool of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vesk/vesk.h"

namespace vesk {

class VESK_EXPORT ConvBackend {
 public:
  // Whether this processor runs the half-precision kernels natively.
  static bool available();
  // Whether the model is the fused m4b topology; false (never an exception) when it is not or cannot
  // be read.
  static bool graphSupported(const std::string& model_path);
  // Throws "vesk_conv: fp16 NEON not supported on this CPU" when not available().
  static std::unique_ptr<ConvBackend> create(const std::string& model_path, int threads);

  virtual ~ConvBackend();
  // Frames per render: the graph's pooled64 batch.
  virtual int batch() const = 0;
  // n frames (1..batch): per frame i the fp16 pooled features (64 x 32 x 32) and warp prior
  // (3 x 512 x 512) of its source frame and 63 floats of each keypoint set at i x 63; writes
  // n x 3 x 512 x 512 floats.
  virtual void render(const uint16_t* const* pooled64, const uint16_t* const* P, const float* kp_source,
                      const float* kp_driving, int n, float* out) = 0;

 protected:
  ConvBackend() = default;
};

}  // namespace vesk
