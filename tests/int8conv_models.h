// One-node ONNX models around the int8 convolution, written with the library's own codec: a
// "com.zentrova.int8" Int8ConvVNNI node with its int8 weights, scales and bias as initializers, or the
// standard Conv over the dequantised weights (weight x scale of its output channel), and sessions over
// them with a chosen number of intra-op threads.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/vesk_ort.h"
#include "render/vesk_int8conv_vnni.h"
#include "render/vesk_onnx.h"

namespace vesk::test {

struct Int8ConvSpec {
  int64_t N = 1, C = 1, H = 1, W = 1, M = 1, kH = 1, kW = 1;
  Int8ConvGeometry geo;
  bool writeAttrs = true;       // false: the node carries no attribute at all
  bool freeShapes = false;      // X and Y declared with symbolic dims, so any input shape is fed
  std::vector<int8_t> weights;  // [M, C / group, kH, kW]
  std::vector<float> wscale;    // [M]
  std::vector<float> bias;      // [M]

  int64_t Ho() const { return int8ConvOutSize(H, kH, geo.padTop, geo.padBottom, geo.strideH, geo.dilH); }
  int64_t Wo() const { return int8ConvOutSize(W, kW, geo.padLeft, geo.padRight, geo.strideW, geo.dilW); }
  std::vector<float> dequantised() const {
    std::vector<float> f(weights.size());
    const size_t per = weights.size() / static_cast<size_t>(M);
    for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<float>(weights[i]) * wscale[i / per];
    return f;
  }
};

// floatConv: the standard Conv over the dequantised weights instead of the int8 node.
inline std::vector<uint8_t> int8ConvModel(const Int8ConvSpec& s, bool floatConv = false) {
  constexpr const char* kDomain = "com.zentrova.int8";
  std::vector<uint8_t> node;
  gsPutBytes(node, 1, std::string("X"));
  gsPutBytes(node, 1, std::string(floatConv ? "Wf" : "Wq"));
  if (!floatConv) gsPutBytes(node, 1, std::string("Ws"));
  gsPutBytes(node, 1, std::string("B"));
  gsPutBytes(node, 2, std::string("Y"));
  gsPutBytes(node, 3, std::string("conv"));
  gsPutBytes(node, 4, std::string(floatConv ? "Conv" : "Int8ConvVNNI"));
  if (!floatConv) gsPutBytes(node, 7, std::string(kDomain));
  if (s.writeAttrs || floatConv) {
    const int64_t strides[] = {s.geo.strideH, s.geo.strideW};
    const int64_t pads[] = {s.geo.padTop, s.geo.padLeft, s.geo.padBottom, s.geo.padRight};
    const int64_t dil[] = {s.geo.dilH, s.geo.dilW};
    hcAttrIs(node, "strides", strides, 2);
    hcAttrIs(node, "pads", pads, 4);
    hcAttrIs(node, "dilations", dil, 2);
    hcAttrI(node, "group", s.geo.group);
  }
  std::vector<uint8_t> graph;
  gsPutBytes(graph, onnx_field::kGraphNode, node.data(), node.size());
  gsPutBytes(graph, 2, std::string("int8conv_graph"));
  const std::vector<int64_t> wdims{s.M, s.C / s.geo.group, s.kH, s.kW};
  if (floatConv) {
    const std::vector<float> wf = s.dequantised();
    hcInit(graph, "Wf", wdims, onnx_field::kFloat, wf.data(), wf.size() * sizeof(float));
  } else {
    hcInit(graph, "Wq", wdims, 3 /* INT8 */, s.weights.data(), s.weights.size());
    hcInit(graph, "Ws", {s.M}, onnx_field::kFloat, s.wscale.data(), s.wscale.size() * sizeof(float));
  }
  hcInit(graph, "B", {s.M}, onnx_field::kFloat, s.bias.data(), s.bias.size() * sizeof(float));
  std::array<int64_t, 4> x{s.N, s.C, s.H, s.W};
  std::array<int64_t, 4> y{s.N, s.M, s.Ho(), s.Wo()};
  if (s.freeShapes) x = y = {-1, -1, -1, -1};
  gsPutTensorValueInfo(graph, onnx_field::kGraphInput, "X", x.data(), x.size());
  gsPutTensorValueInfo(graph, onnx_field::kGraphOutput, "Y", y.data(), y.size());

  std::vector<uint8_t> model;
  gsPutVarintField(model, 1, 8);  // ir_version
  gsPutOpsetImport(model, "", 17);
  if (!floatConv) gsPutOpsetImport(model, kDomain, 1);
  gsPutBytes(model, onnx_field::kModelGraph, graph.data(), graph.size());
  return model;
}

inline Ort::Session int8ConvSession(const std::vector<uint8_t>& model, int threads) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  registerInt8ConvVNNI(so);
  return Ort::Session(ort::env(), model.data(), model.size(), so);
}

// Runs a one-node convolution session; out must hold N x M x Ho x Wo floats.
inline void runInt8Conv(Ort::Session& session, const Int8ConvSpec& s, const float* x, float* out) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::array<int64_t, 4> xs{s.N, s.C, s.H, s.W};
  const std::array<int64_t, 4> ys{s.N, s.M, s.Ho(), s.Wo()};
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, const_cast<float*>(x),
                                                  static_cast<size_t>(s.N * s.C * s.H * s.W), xs.data(), xs.size());
  Ort::Value y =
      Ort::Value::CreateTensor<float>(mem, out, static_cast<size_t>(s.N * s.M * s.Ho() * s.Wo()), ys.data(), ys.size());
  const char* inNames[] = {"X"};
  const char* outNames[] = {"Y"};
  session.Run(Ort::RunOptions{nullptr}, inNames, &in, 1, outNames, &y, 1);
}

}  // namespace vesk::test
