// Whole-run fca deltas: one complete utterance in, one 63-float keypoint offset per video frame out.
//
// An 8 s speech encoder gives per-frame features (six middle layers averaged); the features less a
// running mean of the voiced frames so far, over a 7-frame window, drive the autoregressive
// fca_stream network one frame at a time.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <string>
#include <vector>

#include "audio/vesk_motion_net.h"
#include "vesk/vesk.h"
#include "core/vesk_constants.h"

namespace vesk {

class Fca {
 public:
  static constexpr int kSamplesPerFrame = vesk::kSamplesPerFrame;
  static constexpr int kWindowSamples = 128000;
  static constexpr int kWindowFrames = 200;
  static constexpr int kWindowStep = 100;
  static constexpr int kLayerCount = 12;
  static constexpr int kChannels = 768;
  static constexpr int kHidden = 384;
  static constexpr int kKp = kKpWidth;
  static constexpr std::array<int, 6> kLayers = {4, 5, 6, 7, 8, 9};
  static constexpr std::array<int, 7> kOffs = {-1, 0, 1, 2, 3, 4, 5};

  // threads < 1 takes the worker pool's size.
  Fca(const std::string& encoderPath, const std::string& fcaPath, int threads);

  // Frames of n samples: ceil(n / 640), 0 for n < 1.
  static int framesFor(int n) { return n < 1 ? 0 : static_cast<int>((static_cast<long long>(n) + kSamplesPerFrame - 1) / kSamplesPerFrame); }

  // Writes framesFor(n) rows of 63 floats to out and returns their count; 0 for n < 1. Throws when
  // cap is below the frame count (before writing anything) or a model fails.
  int deltas(const float* audio, int n, float* out, int cap);

  // The encoder features of every frame (N x 768), as deltas uses them.
  const std::vector<float>& features(const float* audio, int n);

  // Subtracts from each frame's feature the running mean of the voiced frames up to it (in place,
  // N x 768). A frame is voiced when its energy is above the 0.2 quantile of the energies so far
  // (every frame with energy above 0 for the first seven).
  static void subtractVoicedMean(std::vector<float>& feat, int frames);

  double runSeconds() const { return encoder_.runSeconds() + stream_.runSeconds(); }

 private:
  Ort::SessionOptions options_;
  Net encoder_, stream_;
  std::vector<float> feat_;
};

}  // namespace vesk
