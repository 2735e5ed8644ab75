// The render call's own cost (widening the identity members, copying keypoints, padding a batch,
// the per-run options) against a bare Session::Run of the same director on the same inputs, both on the
// 1920x1080 demo bundle (crop 512), batch 1 and batch 24, one intra-op thread each:
// BM_RenderB1/vesk against BM_RenderB1/baseline, BM_RenderB24/vesk against BM_RenderB24/baseline.
//
//   build/release/bench/vesk_bench_renderer            (bundle: $VESK_BENCH_BUNDLE or the demo bundle)
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_main.h"
#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_ort.h"
#include "core/vesk_simd.h"
#include "render/vesk_renderer.h"
#include "render/vesk_warp_prior.h"

namespace {

std::string bundlePath() {
  const char* env = std::getenv("VESK_BENCH_BUNDLE");
  return env != nullptr && *env != '\0' ? env : VESK_DEMO_BUNDLE_DIR;
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

void BM_render(benchmark::State& state, const std::string& key) {
  Bundle& b = bundle();
  vesk::Renderer r(b.manifest, b.identity, key, 1, "");
  const int batch = r.batch();
  std::vector<int> si(static_cast<size_t>(batch));
  std::vector<float> kp(static_cast<size_t>(batch) * 63);
  for (int j = 0; j < batch; ++j) {
    const int f = j % b.drive.frames;
    si[static_cast<size_t>(j)] = b.drive.si[static_cast<size_t>(f)];
    std::copy_n(b.drive.xs.data() + static_cast<size_t>(f) * 63, 63, kp.data() + static_cast<size_t>(j) * 63);
  }
  r.render(si.data(), kp.data(), kp.data(), batch);  // warm
  const long runs0 = r.runs();
  const double ms0 = r.runMilliseconds();
  for (auto _ : state) benchmark::DoNotOptimize(r.render(si.data(), kp.data(), kp.data(), batch));
  const double frames = static_cast<double>(state.iterations()) * batch;
  state.counters["run_ms_per_frame"] = (r.runMilliseconds() - ms0) / frames;
  state.counters["runs"] = static_cast<double>(r.runs() - runs0);
  state.SetItemsProcessed(static_cast<int64_t>(frames));
}

// The same director in a plain session with the renderer's session options, bound once to the same
// real inputs the render call widens (the identity's pooled features and warp prior of the same
// source frames, the same keypoint rows), run bare: what is left is the render call's own cost.
void BM_session_run(benchmark::State& state, const std::string& key) {
  Bundle& b = bundle();
  vesk::ort::SessionConfig config;
  config.threads = 1;
  config.kleidiaiOff = true;
  Ort::Session session(vesk::ort::env(), b.manifest.modelPath(key).c_str(), vesk::ort::sessionOptions(config));
  const int64_t batch = session.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape()[0];
  const int64_t c = b.manifest.crop;
  const size_t pooledLen = 65536, pLen = static_cast<size_t>(3 * c * c);
  std::vector<float> pooled(static_cast<size_t>(batch) * pooledLen), P(static_cast<size_t>(batch) * pLen);
  std::vector<float> kp(static_cast<size_t>(batch) * 63), out(static_cast<size_t>(batch) * pLen);
  vesk::WarpPrior prior(b.manifest, b.identity);
  for (int64_t j = 0; j < batch; ++j) {
    const int f = static_cast<int>(j % b.drive.frames);
    const int si = b.drive.si[static_cast<size_t>(f)];
    vesk::halfToFloat(b.identity.pooled64(si), pooled.data() + static_cast<size_t>(j) * pooledLen, pooledLen);
    vesk::halfToFloat(prior.P(si), P.data() + static_cast<size_t>(j) * pLen, pLen);
    std::copy_n(b.drive.xs.data() + static_cast<size_t>(f) * 63, 63, kp.data() + j * 63);
  }
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  auto tensor = [&](std::vector<float>& v, std::vector<int64_t> shape) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, v.data(), v.size(), shape.data(), shape.size()));
    return values.size() - 1;
  };
  Ort::IoBinding binding(session);
  const size_t iPooled = tensor(pooled, {batch, 64, 32, 32}), iP = tensor(P, {batch, 3, c, c});
  const size_t iKp = tensor(kp, {batch, 21, 3}), iOut = tensor(out, {batch, 3, c, c});
  binding.BindInput("pooled64", values[iPooled]);
  binding.BindInput("P_rgb", values[iP]);
  binding.BindInput("kp_driving", values[iKp]);
  binding.BindInput("kp_source", values[iKp]);
  binding.BindOutput("rgb", values[iOut]);
  Ort::RunOptions ro;
  session.Run(ro, binding);
  for (auto _ : state) session.Run(ro, binding);
  state.SetItemsProcessed(state.iterations() * batch);
}

}  // namespace

int main(int argc, char** argv) {
  using benchmark::RegisterBenchmark;
  const std::string b1 = "b1", b24 = "b24_fp32";
  RegisterBenchmark("BM_RenderB1/vesk", BM_render, b1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Apply(vesk::bench::minTimeByDefault<2>);
  RegisterBenchmark("BM_RenderB1/baseline", BM_session_run, b1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Apply(vesk::bench::minTimeByDefault<2>);
  // A batch of 24 takes seconds: a few iterations say enough.
  RegisterBenchmark("BM_RenderB24/vesk", BM_render, b24)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Apply(vesk::bench::iterationsByDefault<3>);
  RegisterBenchmark("BM_RenderB24/baseline", BM_session_run, b24)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Apply(vesk::bench::iterationsByDefault<3>);
  return vesk::bench::run(argc, argv);
}
