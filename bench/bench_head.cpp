// The director head's cubic x2 upsampling after the load-time rewrite (Pad, depthwise 5x5 Conv,
// DepthToSpace) against ONNX Runtime's cubic Resize it replaces: the same small graph (Resize read
// by a 1x1 Conv, as in the director) before and after the rewrite, one intra-op thread each, on the
// same input. Arguments: channels, then the input's side (the demo director's head: 1 channel at
// 128, upsampled to 256).
//
//   build/release/bench/vesk_bench_head [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_main.h"
#include "core/vesk_ort.h"
#include "render/vesk_onnx.h"
#include "render/vesk_rewrite.h"

namespace {

using Bytes = std::vector<uint8_t>;

// X [1, C, S, S] -> cubic x2 Resize (half_pixel, scales from a Constant) -> 1x1 Conv C -> C -> Y.
Bytes headModel(int64_t c, int64_t side) {
  Bytes graph;
  {
    const float scales[4] = {1, 1, 2, 2};
    Bytes t, a, n;
    vesk::gsPutVarintField(t, 1, 4);
    vesk::gsPutVarintField(t, 2, 1);
    vesk::gsPutBytes(t, 9, scales, sizeof scales);
    vesk::gsPutBytes(a, 1, std::string("value"));
    vesk::gsPutBytes(a, 5, t.data(), t.size());
    vesk::gsPutVarintField(a, 20, 4);
    vesk::gsPutBytes(n, 2, std::string("scales"));
    vesk::gsPutBytes(n, 4, std::string("Constant"));
    vesk::gsPutBytes(n, 5, a.data(), a.size());
    vesk::gsPutBytes(graph, 1, n.data(), n.size());
  }
  {
    Bytes n;
    for (const char* in : {"X", "", "scales"}) vesk::gsPutBytes(n, 1, std::string(in));
    vesk::gsPutBytes(n, 2, std::string("up"));
    vesk::gsPutBytes(n, 3, std::string("/head/Resize"));
    vesk::gsPutBytes(n, 4, std::string("Resize"));
    vesk::hcAttrS(n, "mode", "cubic");
    vesk::hcAttrS(n, "coordinate_transformation_mode", "half_pixel");
    vesk::gsPutBytes(graph, 1, n.data(), n.size());
  }
  vesk::hcNode(graph, "Conv", {"up", "mix"}, "Y", "/head/conv", {});
  std::vector<float> mix(static_cast<size_t>(c * c), 0.0f);
  for (int64_t i = 0; i < c; ++i) mix[static_cast<size_t>(i * c + i)] = 1.0f;
  vesk::hcInit(graph, "mix", {c, c, 1, 1}, vesk::onnx_field::kFloat, mix.data(), mix.size() * sizeof(float));
  const int64_t in[4] = {1, c, side, side}, out[4] = {1, c, 2 * side, 2 * side};
  vesk::gsPutTensorValueInfo(graph, vesk::onnx_field::kGraphInput, "X", in, 4);
  vesk::gsPutTensorValueInfo(graph, vesk::onnx_field::kGraphOutput, "Y", out, 4);
  Bytes model;
  vesk::gsPutVarintField(model, 1, 8);
  Bytes opset;
  vesk::gsPutBytes(opset, 1, std::string());
  vesk::gsPutVarintField(opset, 2, 17);
  vesk::gsPutBytes(model, vesk::onnx_field::kModelOpsetImport, opset.data(), opset.size());
  vesk::gsPutBytes(model, vesk::onnx_field::kModelGraph, graph.data(), graph.size());
  return model;
}

void runHead(benchmark::State& state, bool rewritten) {
  const int64_t c = state.range(0), side = state.range(1);
  Bytes model = headModel(c, side);
  if (rewritten && vesk::rewriteHeadCubicResize(model) != 1) {
    state.SkipWithError("the head rewrite did not take the model");
    return;
  }
  vesk::ort::SessionConfig config;
  config.threads = 1;
  Ort::Session session(vesk::ort::env(), model.data(), model.size(), vesk::ort::sessionOptions(config));
  std::vector<float> x(static_cast<size_t>(c * side * side)), y(x.size() * 4);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> d(0.0f, 1.0f);
  for (float& v : x) v = d(rng);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t in[4] = {1, c, side, side}, out[4] = {1, c, 2 * side, 2 * side};
  Ort::Value xv = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), in, 4);
  Ort::Value yv = Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), out, 4);
  Ort::IoBinding binding(session);
  binding.BindInput("X", xv);
  binding.BindOutput("Y", yv);
  const Ort::RunOptions run;
  for (auto _ : state) {
    session.Run(run, binding);
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * c * side * side * 4);
}

void BM_HeadResize_vesk(benchmark::State& state) { runHead(state, true); }
void BM_HeadResize_baseline(benchmark::State& state) { runHead(state, false); }

}  // namespace

BENCHMARK(BM_HeadResize_vesk)
    ->Name("BM_HeadResize/vesk")
    ->Args({1, 128})
    ->Args({16, 128})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeadResize_baseline)
    ->Name("BM_HeadResize/baseline")
    ->Args({1, 128})
    ->Args({16, 128})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return vesk::bench::run(argc, argv); }
