// GridSampleFast against ONNX Runtime's own GridSample (bilinear, border, align_corners 0) on the
// director's 12-channel 512 x 512 boundary: each a one-node session with one intra-op thread, run on
// the same inputs. The grid is a smooth warp, as a director's is: the identity plus a displacement of
// a few pixels.
//
//   build/release/bench/vesk_bench_gridsample [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "bench_main.h"
#include "sample_models.h"

namespace {

constexpr int64_t kC = 12, kH = 512, kW = 512;

struct Inputs {
  std::vector<float> x, grid, out;
  Inputs() : x(static_cast<size_t>(kC * kH * kW)), grid(static_cast<size_t>(kH * kW * 2)), out(x.size()) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (float& v : x) v = d(rng);
    for (int64_t i = 0; i < kH; ++i)
      for (int64_t j = 0; j < kW; ++j) {
        const double u = (2.0 * j + 1) / kW - 1, v = (2.0 * i + 1) / kH - 1;
        grid[2 * (i * kW + j)] = static_cast<float>(u + 0.02 * std::sin(3 * v) + 0.01 * std::cos(5 * u));
        grid[2 * (i * kW + j) + 1] = static_cast<float>(v + 0.015 * std::sin(4 * u + 1));
      }
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

void runSession(benchmark::State& state, const std::string& op, const std::string& domain) {
  Inputs& in = inputs();
  Ort::Session session = vesk::test::sampleSession(vesk::test::sampleModel(op, domain, 1, kC, kH, kW), 1);
  for (auto _ : state) {
    vesk::test::runSample(session, in.x.data(), in.grid.data(), in.out.data(), 1, kC, kH, kW);
    benchmark::DoNotOptimize(in.out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kC * kH * kW);
}

void BM_GridSample_vesk(benchmark::State& state) { runSession(state, "GridSampleFast", "com.zentrova"); }
void BM_GridSample_baseline(benchmark::State& state) { runSession(state, "GridSample", ""); }

}  // namespace

BENCHMARK(BM_GridSample_vesk)->Name("BM_GridSample/vesk")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridSample_baseline)->Name("BM_GridSample/baseline")->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return vesk::bench::run(argc, argv); }
