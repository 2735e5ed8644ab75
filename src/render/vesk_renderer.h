// The director renderer: keypoints in, a square planar-RGB face crop out, through the bundle's
// director network on one ONNX Runtime session bound once to fixed host buffers.
#pragma once

#include <memory>
#include <string>

#include "bundle/vesk_bundle.h"
#include "vesk/vesk.h"

namespace vesk {

class Identity;
class WarpPrior;

// Where the CoreML provider keeps its compiled models for a bundle.
std::string coremlCacheDir(const std::string& bundleDir);

class VESK_EXPORT Renderer {
 public:
  // threads below 1: the worker pool's size. ep: "" (ONNX Runtime CPU), "neon" (fp16 backend when
  // it takes the graph, else CPU), "coreml[:units]"; anything else is refused.
  // prior: where the identity's warp prior frames come from; without one the renderer plays the
  // prior itself.
  Renderer(const Manifest& manifest, const Identity& identity, const std::string& model_key, int threads,
           const std::string& ep, WarpPrior* prior = nullptr);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n (1..batch) frames: si[j] with kp_source/kp_driving rows j (63 floats each). Returns
  // batch x 3 x crop x crop floats, valid until the next render; the first n frames answer the call.
  const float* render(const int* si, const float* kp_source, const float* kp_driving, int n);

  int batch() const;
  const char* ep() const;
  const char* backend() const;

  // Session runs so far and the wall time they took, for profiling and benchmarks.
  long runs() const;
  double runMilliseconds() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vesk
