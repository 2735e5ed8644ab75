// Int8ConvVNNI against ONNX Runtime's float Conv of the same shape over the dequantised weights: a
// director-like 3 x 3 convolution, 128 channels in and out on a 64 x 64 map with padding 1, each a
// one-node session with one intra-op thread on the same input, and the operator's worker pool held
// to one thread. The vesk run reports its accuracy as counters: the largest difference from the
// float Conv's output, absolutely and relative to the output's largest magnitude.
//
//   build/release/bench/vesk_bench_int8conv [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_main.h"
#include "int8conv_models.h"

namespace {

struct Inputs {
  vesk::test::Int8ConvSpec spec;
  std::vector<float> x, out, reference;
  Inputs() {
    auto& s = spec;
    s.N = 1, s.C = 128, s.H = 64, s.W = 64, s.M = 128, s.kH = 3, s.kW = 3;
    s.geo.padTop = s.geo.padLeft = s.geo.padBottom = s.geo.padRight = 1;
    std::mt19937 rng(9);
    // Weights spread over the int8 range with scales a trained layer might have; activations that
    // went through a nonlinearity, mostly small and positive.
    std::normal_distribution<float> wd(0.0f, 40.0f);
    s.weights.resize(static_cast<size_t>(s.M * s.C * s.kH * s.kW));
    for (int8_t& v : s.weights) v = static_cast<int8_t>(std::clamp(std::nearbyint(wd(rng)), -127.0f, 127.0f));
    std::uniform_real_distribution<float> sd(0.0005f, 0.002f), bd(-0.1f, 0.1f);
    for (int64_t m = 0; m < s.M; ++m) {
      s.wscale.push_back(sd(rng));
      s.bias.push_back(bd(rng));
    }
    std::normal_distribution<float> xd(0.3f, 0.6f);
    x.resize(static_cast<size_t>(s.C * s.H * s.W));
    for (float& v : x) v = std::max(xd(rng), -0.2f);
    out.resize(static_cast<size_t>(s.M * s.Ho() * s.Wo()));
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

void runSession(benchmark::State& state, bool floatConv) {
  Inputs& in = inputs();
  Ort::Session session = vesk::test::int8ConvSession(vesk::test::int8ConvModel(in.spec, floatConv), 1);
  for (auto _ : state) {
    vesk::test::runInt8Conv(session, in.spec, in.x.data(), in.out.data());
    benchmark::DoNotOptimize(in.out.data());
    benchmark::ClobberMemory();
  }
  const auto& s = in.spec;
  state.SetItemsProcessed(state.iterations() * s.M * s.Ho() * s.Wo() * s.C * s.kH * s.kW);  // multiply-adds
  if (floatConv) {
    in.reference = in.out;
  } else {
    if (in.reference.empty()) {
      Ort::Session ref = vesk::test::int8ConvSession(vesk::test::int8ConvModel(in.spec, true), 1);
      in.reference.resize(in.out.size());
      vesk::test::runInt8Conv(ref, in.spec, in.x.data(), in.reference.data());
    }
    double worst = 0, peak = 0;
    for (size_t i = 0; i < in.out.size(); ++i) {
      worst = std::max(worst, std::fabs(static_cast<double>(in.out[i]) - in.reference[i]));
      peak = std::max(peak, std::fabs(static_cast<double>(in.reference[i])));
    }
    state.counters["max_abs_err"] = worst;
    state.counters["max_rel_err"] = peak > 0 ? worst / peak : 0;
  }
}

void BM_Int8Conv_vesk(benchmark::State& state) { runSession(state, false); }
void BM_Int8Conv_baseline(benchmark::State& state) { runSession(state, true); }

}  // namespace

BENCHMARK(BM_Int8Conv_vesk)->Name("BM_Int8Conv/vesk")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Int8Conv_baseline)->Name("BM_Int8Conv/baseline")->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  // One thread on each side: the operator's worker pool reads this on its first use.
  setenv("VESK_CORE_THREADS", "1", 1);
  return vesk::bench::run(argc, argv);
}
