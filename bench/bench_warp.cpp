// The director's warp as one com.zentrova::WarpDirector node against the warp block it replaces as
// ONNX Runtime runs it (the source cone's Pad, Conv and Concat, the GridSample on the 12-channel
// cone, the Slices and arithmetic of the recombination), on a [1, 3, 512, 512] P_rgb with one
// intra-op thread each. Both sessions come from the same block model: the vesk arm is that model
// after the load-time warp rewrite.
//
//   build/release/bench/vesk_bench_warp [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_main.h"
#include "core/vesk_ort.h"
#include "render/vesk_gridsample_fast.h"
#include "render/vesk_rewrite.h"
#include "warp_block_model.h"

namespace {

constexpr int64_t kH = 512, kW = 512;

struct Inputs {
  std::vector<float> P, grid, out;
  Inputs() : P(static_cast<size_t>(3 * kH * kW)), grid(static_cast<size_t>(kH * kW * 2)), out(P.size()) {
    for (int64_t c = 0; c < 3; ++c)
      for (int64_t i = 0; i < kH; ++i)
        for (int64_t j = 0; j < kW; ++j)
          P[static_cast<size_t>((c * kH + i) * kW + j)] = static_cast<float>(
              0.5 + 0.4 * std::sin(0.05 * static_cast<double>(i) + 0.07 * static_cast<double>(j * (c + 1))));
    // A smooth warp, as a director's is: the identity plus a displacement of a few pixels.
    for (int64_t i = 0; i < kH; ++i)
      for (int64_t j = 0; j < kW; ++j) {
        const double u = (2.0 * static_cast<double>(j) + 1) / kW - 1, v = (2.0 * static_cast<double>(i) + 1) / kH - 1;
        grid[static_cast<size_t>(2 * (i * kW + j))] =
            static_cast<float>(u + 0.02 * std::sin(3 * v) + 0.01 * std::cos(5 * u));
        grid[static_cast<size_t>(2 * (i * kW + j) + 1)] = static_cast<float>(v + 0.015 * std::sin(4 * u + 1));
      }
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

void runWarp(benchmark::State& state, bool rewritten) {
  std::vector<uint8_t> model = vesk::test::warpBlockModel(kH, kW);
  if (rewritten) {
    std::string reason;
    if (vesk::rewriteWarpBlockToCustomOp(model, reason) == 0) {
      state.SkipWithError(("the warp rewrite refused the block: " + reason).c_str());
      return;
    }
  }
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  so.SetInterOpNumThreads(1);
  vesk::registerGridSampleFast(so);
  Ort::Session session(vesk::ort::env(), model.data(), model.size(), so);
  Inputs& in = inputs();
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t ps[4] = {1, 3, kH, kW}, gs[4] = {1, kH, kW, 2};
  Ort::IoBinding binding(session);
  Ort::Value p = Ort::Value::CreateTensor<float>(mem, in.P.data(), in.P.size(), ps, 4);
  Ort::Value g = Ort::Value::CreateTensor<float>(mem, in.grid.data(), in.grid.size(), gs, 4);
  Ort::Value y = Ort::Value::CreateTensor<float>(mem, in.out.data(), in.out.size(), ps, 4);
  binding.BindInput("P_rgb", p);
  binding.BindInput("grid_in", g);
  binding.BindOutput("warped", y);
  const Ort::RunOptions run;
  for (auto _ : state) {
    session.Run(run, binding);
    benchmark::DoNotOptimize(in.out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kH * kW);
}

void BM_WarpNode_vesk(benchmark::State& state) { runWarp(state, true); }
void BM_WarpNode_baseline(benchmark::State& state) { runWarp(state, false); }

}  // namespace

BENCHMARK(BM_WarpNode_vesk)->Name("BM_WarpNode/vesk")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WarpNode_baseline)->Name("BM_WarpNode/baseline")->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return vesk::bench::run(argc, argv); }
