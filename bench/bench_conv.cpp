// The fp16 convolution backend against ONNX Runtime's CPU provider on the same fused m4b director,
// the same inputs (the identity's pooled features and warp prior, widened for ONNX Runtime) and the
// same thread count: BM_ConvBackend/vesk/<batch> against BM_ConvBackend/baseline/<batch>, at batch 1
// and at the batched graph's 4. The counter ms_per_frame is what a frame costs.
//
//   build/release/bench/vesk_bench_conv      (bundle: $VESK_BENCH_BUNDLE or the fused test bundle;
//                                             threads: $VESK_BENCH_THREADS or 2)
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_main.h"
#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_ort.h"
#include "core/vesk_simd.h"
#include "render/vesk_conv.h"
#include "render/vesk_warp_prior.h"

namespace {

constexpr size_t kPooledLen = 65536, kPLen = 3 * 512 * 512;

std::string bundlePath() {
  const char* env = std::getenv("VESK_BENCH_BUNDLE");
  return env != nullptr && *env != '\0' ? env : VESK_FUSED_BUNDLE_DIR;
}

int threads() {
  const char* env = std::getenv("VESK_BENCH_THREADS");
  return env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 2;
}

struct Bundle {
  Bundle() : manifest(vesk::loadManifest(bundlePath())), identity(manifest), drive(vesk::loadDrive(manifest)) {}
  vesk::Manifest manifest;
  vesk::Identity identity;
  vesk::Drive drive;
};

Bundle& bundle() {
  static Bundle b;
  return b;
}

std::string keyOf(int batch) { return "b" + std::to_string(batch) + "_fused"; }

// Frame j of a batch: drive frame j's source and keypoints, the driving set with the mouth opened.
struct Inputs {
  explicit Inputs(int batch) {
    Bundle& b = bundle();
    for (int j = 0; j < batch; ++j) {
      const int f = j % b.drive.frames;
      si.push_back(b.drive.si[static_cast<size_t>(f)]);
      const float* row = b.drive.xs.data() + static_cast<size_t>(f) * 63;
      ks.insert(ks.end(), row, row + 63);
      kd.insert(kd.end(), row, row + 63);
      for (int r : {12, 14, 20}) kd[static_cast<size_t>(j * 63 + 3 * r + 1)] += 0.04f;
    }
  }
  std::vector<int> si;
  std::vector<float> ks, kd;
};

void BM_conv(benchmark::State& state) {
  const int batch = static_cast<int>(state.range(0));
  Bundle& b = bundle();
  if (!vesk::ConvBackend::available()) {
    state.SkipWithError("no native fp16 on this processor");
    return;
  }
  const auto engine = vesk::ConvBackend::create(b.manifest.modelPath(keyOf(batch)), threads());
  const Inputs in(batch);
  vesk::WarpPrior prior(b.manifest, b.identity);
  std::vector<const uint16_t*> pooled, P;
  for (int si : in.si) {
    pooled.push_back(b.identity.pooled64(si));
    P.push_back(prior.P(si));
  }
  std::vector<float> out(static_cast<size_t>(batch) * kPLen);
  engine->render(pooled.data(), P.data(), in.ks.data(), in.kd.data(), batch, out.data());  // warm
  for (auto _ : state) engine->render(pooled.data(), P.data(), in.ks.data(), in.kd.data(), batch, out.data());
  state.SetItemsProcessed(state.iterations() * batch);
  state.counters["ms_per_frame"] = benchmark::Counter(
      static_cast<double>(batch) * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ort(benchmark::State& state) {
  const int batch = static_cast<int>(state.range(0));
  Bundle& b = bundle();
  vesk::ort::SessionConfig config;
  config.threads = threads();
  config.kleidiaiOff = true;
  Ort::Session session(vesk::ort::env(), b.manifest.modelPath(keyOf(batch)).c_str(), vesk::ort::sessionOptions(config));
  const Inputs in(batch);
  vesk::WarpPrior prior(b.manifest, b.identity);
  const size_t B = static_cast<size_t>(batch);
  std::vector<float> pooled(B * kPooledLen), P(B * kPLen), ks = in.ks, kd = in.kd, out(B * kPLen);
  for (size_t j = 0; j < B; ++j) {
    vesk::halfToFloat(b.identity.pooled64(in.si[j]), pooled.data() + j * kPooledLen, kPooledLen);
    vesk::halfToFloat(prior.P(in.si[j]), P.data() + j * kPLen, kPLen);
  }
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t n = batch;
  const std::vector<int64_t> dPooled{n, 64, 32, 32}, dP{n, 3, 512, 512}, dKp{n, 21, 3};
  std::vector<Ort::Value> values;
  values.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), dPooled.data(), 4));
  values.push_back(Ort::Value::CreateTensor<float>(mem, P.data(), P.size(), dP.data(), 4));
  values.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), dKp.data(), 3));
  values.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), dKp.data(), 3));
  values.push_back(Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), dP.data(), 4));
  Ort::IoBinding binding(session);
  binding.BindInput("pooled64", values[0]);
  binding.BindInput("P_rgb", values[1]);
  binding.BindInput("kp_driving", values[2]);
  binding.BindInput("kp_source", values[3]);
  binding.BindOutput("rgb", values[4]);
  Ort::RunOptions ro;
  session.Run(ro, binding);  // warm
  for (auto _ : state) session.Run(ro, binding);
  state.SetItemsProcessed(state.iterations() * batch);
  state.counters["ms_per_frame"] = benchmark::Counter(
      static_cast<double>(batch) * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char** argv) {
  for (int batch : {1, 4}) {
    benchmark::RegisterBenchmark("BM_ConvBackend/vesk", BM_conv)
        ->Arg(batch)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Apply(vesk::bench::minTimeByDefault<2>);
    benchmark::RegisterBenchmark("BM_ConvBackend/baseline", BM_ort)
        ->Arg(batch)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Apply(vesk::bench::minTimeByDefault<2>);
  }
  return vesk::bench::run(argc, argv);
}
