// A bare ONNX Runtime session over model bytes, fed by name: what the rewrite tests hold a rewritten
// graph against.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/vesk_ort.h"
#include "render/vesk_gridsample_fast.h"

namespace vesk::test {

using Feed = std::map<std::string, std::pair<std::vector<int64_t>, std::vector<float>>>;

struct ModelSession {
  // zentrova: register the com.zentrova operators, for graphs that carry them.
  explicit ModelSession(const std::vector<uint8_t>& model, bool zentrova = false) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    so.SetInterOpNumThreads(1);
    so.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);  // cut graphs may carry initializers they no longer read
    if (zentrova) registerGridSampleFast(so);
    session = Ort::Session(ort::env(), model.data(), model.size(), so);
    Ort::AllocatorWithDefaultOptions alloc;
    for (size_t i = 0; i < session.GetInputCount(); ++i)
      inputs.push_back(session.GetInputNameAllocated(i, alloc).get());
    for (size_t i = 0; i < session.GetOutputCount(); ++i)
      outputs.push_back(session.GetOutputNameAllocated(i, alloc).get());
  }
  // Output `name` given the inputs by name (shapes from the feed).
  std::vector<float> operator()(Feed& feed, const std::string& name, std::vector<int64_t>* shape = nullptr) {
    const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<Ort::Value> values;
    std::vector<const char*> names;
    for (const std::string& in : inputs) {
      auto& [dims, data] = feed.at(in);
      values.push_back(Ort::Value::CreateTensor<float>(mem, data.data(), data.size(), dims.data(), dims.size()));
      names.push_back(in.c_str());
    }
    const char* out = name.c_str();
    std::vector<Ort::Value> res =
        session.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &out, 1);
    const auto info = res[0].GetTensorTypeAndShapeInfo();
    if (shape != nullptr) *shape = info.GetShape();
    const float* p = res[0].GetTensorData<float>();
    return {p, p + info.GetElementCount()};
  }
  Ort::Session session{nullptr};
  std::vector<std::string> inputs, outputs;
};

inline std::vector<float> noise(size_t n, unsigned seed, float lo, float hi) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

// The m4b director's inputs at batch 1: noise for the appearance features and the prior, keypoints
// near the centre with the driving ones a little off the source ones (seeded, so each seed is one
// keypoint set).
inline Feed directorFeed(int64_t crop, unsigned seed) {
  Feed feed;
  feed["pooled64"] = {{1, 64, 32, 32}, noise(65536, seed, -1.0f, 1.0f)};
  feed["P_rgb"] = {{1, 3, crop, crop}, noise(static_cast<size_t>(3 * crop * crop), seed + 1, 0.0f, 1.0f)};
  feed["kp_source"] = {{1, 21, 3}, noise(63, seed + 2, -0.3f, 0.3f)};
  std::vector<float> kd = feed["kp_source"].second;
  const std::vector<float> jitter = noise(63, seed + 3, -0.04f, 0.04f);
  for (size_t i = 0; i < kd.size(); ++i) kd[i] += jitter[i];
  feed["kp_driving"] = {{1, 21, 3}, kd};
  return feed;
}

}  // namespace vesk::test
