// One-node ONNX models around the sampling operators, written with the library's own codec: the
// standard GridSample (bilinear, border, align_corners 0) and the "com.zentrova" nodes, with fixed
// shapes, and sessions over them with a chosen number of intra-op threads.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/vesk_ort.h"
#include "render/vesk_gridsample_fast.h"
#include "render/vesk_onnx.h"

namespace vesk::test {

// X [N, C, H, W] and grid [N, H, W, 2] in, Y [N, C, H, W] out. An empty domain is the standard one,
// and then the node carries GridSample's attributes.
inline std::vector<uint8_t> sampleModel(const std::string& opType, const std::string& domain, int64_t N, int64_t C,
                                        int64_t H, int64_t W) {
  std::vector<uint8_t> node;
  gsPutBytes(node, 1, std::string("X"));
  gsPutBytes(node, 1, std::string("grid"));
  gsPutBytes(node, 2, std::string("Y"));
  gsPutBytes(node, 3, std::string("sample"));
  gsPutBytes(node, 4, opType);
  if (domain.empty()) {
    hcAttrS(node, "mode", "bilinear");
    hcAttrS(node, "padding_mode", "border");
    hcAttrI(node, "align_corners", 0);
  } else {
    gsPutBytes(node, 7, domain);
  }
  std::vector<uint8_t> graph;
  gsPutBytes(graph, onnx_field::kGraphNode, node.data(), node.size());
  gsPutBytes(graph, 2, std::string("sample_graph"));
  const std::array<int64_t, 4> x{N, C, H, W};
  const std::array<int64_t, 4> g{N, H, W, 2};
  gsPutTensorValueInfo(graph, onnx_field::kGraphInput, "X", x.data(), x.size());
  gsPutTensorValueInfo(graph, onnx_field::kGraphInput, "grid", g.data(), g.size());
  gsPutTensorValueInfo(graph, onnx_field::kGraphOutput, "Y", x.data(), x.size());

  std::vector<uint8_t> model;
  gsPutVarintField(model, 1, 8);  // ir_version
  std::vector<uint8_t> opset;
  gsPutVarintField(opset, 2, 17);  // GridSample-16 with mode "bilinear"
  gsPutBytes(model, onnx_field::kModelOpsetImport, opset.data(), opset.size());
  if (!domain.empty()) {
    std::vector<uint8_t> custom;
    gsPutBytes(custom, 1, domain);
    gsPutVarintField(custom, 2, 1);
    gsPutBytes(model, onnx_field::kModelOpsetImport, custom.data(), custom.size());
  }
  gsPutBytes(model, onnx_field::kModelGraph, graph.data(), graph.size());
  return model;
}

inline Ort::Session sampleSession(const std::vector<uint8_t>& model, int threads) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  registerGridSampleFast(so);
  return Ort::Session(ort::env(), model.data(), model.size(), so);
}

// Runs a one-node sample session on host buffers; out must hold N x C x H x W floats.
inline void runSample(Ort::Session& session, const float* x, const float* grid, float* out, int64_t N, int64_t C,
                      int64_t H, int64_t W) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::array<int64_t, 4> xs{N, C, H, W};
  const std::array<int64_t, 4> gs{N, H, W, 2};
  const size_t nx = static_cast<size_t>(N * C * H * W);
  const size_t ng = static_cast<size_t>(N * H * W * 2);
  std::array<Ort::Value, 2> in{
      Ort::Value::CreateTensor<float>(mem, const_cast<float*>(x), nx, xs.data(), xs.size()),
      Ort::Value::CreateTensor<float>(mem, const_cast<float*>(grid), ng, gs.data(), gs.size())};
  Ort::Value y = Ort::Value::CreateTensor<float>(mem, out, nx, xs.data(), xs.size());
  const char* inNames[] = {"X", "grid"};
  const char* outNames[] = {"Y"};
  session.Run(Ort::RunOptions{nullptr}, inNames, in.data(), in.size(), outNames, &y, 1);
}

}  // namespace vesk::test
