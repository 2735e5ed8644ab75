// Per-frame cost of the teeth pass on the demo identity's bank, with the served configuration
// (K, kshort, cut, hysteresis, look-ahead as its tessera_head.v1.json states them), against the
// 8 ms a frame may spend on teeth:
//   BM_TeethRetrieval: one frame's donor list (pooled terms of every donor, exact terms of the best
//     kshort, the selection). Baseline: the same retrieval written plainly in scalar C++ on one
//     thread (the tests' reference, with the pooled index precomputed as the pass has it).
//   BM_TeethBlend: the BlendHead on the distinct donor windows of a served donor set (the work an
//     emission does per frame). Baseline: the same network as plain scalar loops on one thread.
//   BM_TeethFrame/vesk: a whole push (retrieval of the new frame, emission of the held one).
// Frames: a mid-grey canvas with donor t's stored mouth band at its own place and the compose mask
// of source frame t, so every frame's shift and donor set are the ones the bank was built for.
// frame_budget_share is the wall time of the timed call over 8 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_main.h"
#include "core/vesk_half.h"
#include "core/vesk_simd.h"
#include "tessera/tessera_pass_ref.h"
#include "tessera/vesk_bundle_tessera.h"
#include "tessera/vesk_tessera.h"
#include "tessera/vesk_tessera_bank.h"
#include "tessera/vesk_tessera_pi.h"
#include "test_util.h"

namespace {

using vesk::tessera::BankData;
using vesk::tessera::FrameResult;
using vesk::tessera::TeethPass;
namespace ref = vesk::test::teethref;

constexpr double kBudgetSeconds = 0.008;
constexpr int kFrames = 8;

std::string demoDir() {
  const char* d = std::getenv("VESK_DEMO_BUNDLE");
  return d != nullptr && *d != '\0' ? d : VESK_DEMO_BUNDLE_DIR;
}

struct Demo {
  vesk::TesseraAttachInputs in;
  BankData bank;
  vesk::tessera::HeadWeights head;
  vesk::tessera::ServeConfig config;
  std::vector<std::vector<uint8_t>> rgb, mask;
  std::vector<int> dy, dx;

  Demo() {
    const std::string dir = demoDir();
    in = vesk::loadTesseraMembers(dir);
    const std::string track = vesk::test::readFile(in.bank_track_path);
    const std::vector<int> order(in.track_order.begin(), in.track_order.end());
    bank.pixels = vesk::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(),
                                                 in.n_donors, in.band_h, in.band_w, order);
    bank.cent = in.cent, bank.c_canon = in.c_canon, bank.aperture = in.aperture;
    bank.stamp = in.stamp, bank.n_donors = in.n_donors;
    head = vesk::tessera::loadHeadPt(in.head_pt);
    config = vesk::tessera::ServeConfig::fromHeadMemberJson(in.head_json);
    const std::string xsText = vesk::test::readFile(dir + "/xs_target.bin");
    std::vector<float> xs(xsText.size() / 4);
    std::memcpy(xs.data(), xsText.data(), xs.size() * 4);
    const std::string kpText = vesk::test::readFile(dir + "/drive/xs.f32");
    std::vector<float> kp(kpText.size() / 4);
    std::memcpy(kp.data(), kpText.data(), kp.size() * 4);
    std::string label;
    const int N = in.stamp.canvas_w;
    const vesk::tessera::UnifiedPi pi = vesk::tessera::UnifiedPi::corpusFromManifestJson(
        in.manifest_json, N, xs.data(), static_cast<int>(xs.size() / 63), in.c_canon.data(), &label);
    const vesk::GeometryStamp& s = in.stamp;
    const TeethPass probe(bank, head, config);
    for (int t = 0; t < kFrames; ++t) {
      const int d = t % in.n_donors;
      std::vector<uint8_t> canvas(static_cast<size_t>(N) * N * 3, 96), m(static_cast<size_t>(N) * N);
      const int y0 = s.window_y0 + s.band_r0 - s.shift_margin, x0 = s.window_x0 + s.band_c0 - s.shift_margin;
      for (int y = 0; y < in.band_h; ++y)
        std::memcpy(canvas.data() + (static_cast<size_t>(y0 + y) * N + x0) * 3,
                    bank.pixels.data() + ((static_cast<size_t>(d) * in.band_h + y) * in.band_w) * 3,
                    static_cast<size_t>(in.band_w) * 3);
      pi.piU8(kp.data() + static_cast<size_t>(d) * 63, m.data());
      int fy = 0, fx = 0;
      std::string why;
      if (!probe.deriveShift(m.data(), nullptr, &fy, &fx, &why)) throw std::runtime_error("demo frame: " + why);
      rgb.push_back(std::move(canvas));
      mask.push_back(std::move(m));
      dy.push_back(fy);
      dx.push_back(fx);
    }
  }
};

const Demo& demo() {
  static const Demo d;
  return d;
}

// Wall seconds of the timed part of each iteration, summed; reported per iteration over the budget.
class Budget {
 public:
  explicit Budget(benchmark::State& state) : state_(state) {}
  ~Budget() {
    state_.counters["frame_budget_share"] =
        benchmark::Counter(seconds_ / kBudgetSeconds, benchmark::Counter::kAvgIterations);
  }
  template <class F>
  void time(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }

 private:
  benchmark::State& state_;
  double seconds_ = 0.0;
};

void labelServed(benchmark::State& state) {
  const Demo& d = demo();
  state.SetLabel("n=" + std::to_string(d.in.n_donors) + " K=" + std::to_string(d.config.K) +
                 " kshort=" + std::to_string(d.config.kshort) + " window=" + std::to_string(d.in.stamp.window_w) + "x" +
                 std::to_string(d.in.stamp.window_h));
}

void BM_TeethRetrieval_vesk(benchmark::State& state) {
  const Demo& d = demo();
  TeethPass pass(d.bank, d.head, d.config);
  int t = 0;
  {
    Budget share(state);
    for (auto _ : state) {
      share.time(
          [&] { benchmark::DoNotOptimize(pass.retrieve(d.rgb[t].data(), d.mask[t].data(), d.dy[t], d.dx[t]).data()); });
      t = (t + 1) % kFrames;
    }
  }
  labelServed(state);
}

// The same retrieval, plainly: scalar loops, half conversions per pixel, one thread.
void BM_TeethRetrieval_baseline(benchmark::State& state) {
  const Demo& d = demo();
  ref::Pass plain(d.bank, d.head, d.config);
  const TeethPass indexed(d.bank, d.head, d.config);
  const size_t slot = 3 * static_cast<size_t>(d.in.stamp.window_h / 4) * (d.in.stamp.window_w / 4);
  std::vector<std::vector<float>> index;
  for (int k = 0; k < d.in.n_donors; ++k) {
    std::vector<float> v(slot);
    for (size_t i = 0; i < slot; ++i) v[i] = vesk::half::toFloat(indexed.pooledIndex(k)[i]);
    index.push_back(std::move(v));
  }
  const int m = std::min(d.in.n_donors, d.config.kshort);
  int t = 0;
  for (auto _ : state) {
    ref::Pass::Work w = plain.prepare(d.rgb[t], d.mask[t], d.dy[t], d.dx[t]);
    const size_t n = w.pw.size();
    for (const std::vector<float>& a : index) {
      float acc = 0;
      for (size_t i = 0; i < n; ++i) {
        float e = 0;
        for (size_t ch = 0; ch < 3; ++ch) e = e + std::fabs(ref::h(a[ch * n + i] - w.pq[ch * n + i]));
        acc += ref::h(w.pw[i] * ref::h(e / 3.0f));
      }
      w.pooled.push_back(ref::h(acc) / w.psum);
    }
    const std::vector<int32_t> P = ref::argsort(w.pooled);
    for (int i = 0; i < m; ++i) w.exact.push_back(plain.exactTerm(P[i], d.rgb[t], w) / w.total);
    benchmark::DoNotOptimize(plain.select(w.pooled, w.exact).data());
    t = (t + 1) % kFrames;
  }
  labelServed(state);
}

// A served donor set (frame 0's list, the set of a frame emitted without look-ahead) reduced to its
// distinct donors, placed for frame 0, with frame 0's window as the query and the band as the mask.
struct BlendInputs {
  int u = 0, v = 0;
  std::vector<float> cands, query;
  std::vector<uint8_t> compose;
};

BlendInputs blendInputs() {
  const Demo& d = demo();
  TeethPass pass(d.bank, d.head, d.config);
  const std::vector<int32_t> set = pass.retrieve(d.rgb[0].data(), d.mask[0].data(), d.dy[0], d.dx[0]);
  std::vector<int32_t> unique;
  for (int32_t s : set)
    if (std::find(unique.begin(), unique.end(), s) == unique.end()) unique.push_back(s);
  BlendInputs b;
  b.v = static_cast<int>(std::min<size_t>(set.size(), static_cast<size_t>(d.config.K)));
  b.u = static_cast<int>(unique.size());
  const int h = d.in.stamp.window_h, w = d.in.stamp.window_w, N = d.in.stamp.canvas_w;
  const size_t plane = static_cast<size_t>(h) * w;
  const std::vector<uint8_t> windows = pass.gatherWindowsU8(unique, d.dy[0], d.dx[0]);
  b.cands.resize(windows.size());
  for (int k = 0; k < b.u; ++k)
    for (size_t p = 0; p < plane; ++p)
      for (size_t c = 0; c < 3; ++c)
        b.cands[(static_cast<size_t>(k) * 3 + c) * plane + p] = windows[(k * plane + p) * 3 + c] / 255.0f;
  b.query.resize(3 * plane);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        b.query[c * plane + static_cast<size_t>(y) * w + x] =
            d.rgb[0][(static_cast<size_t>(d.in.stamp.window_y0 + y) * N + d.in.stamp.window_x0 + x) * 3 + c] / 255.0f;
  b.compose = pass.bandMask();
  return b;
}

void BM_TeethBlend_vesk(benchmark::State& state) {
  const Demo& d = demo();
  const BlendInputs b = blendInputs();
  TeethPass pass(d.bank, d.head, d.config);
  const size_t plane = b.query.size() / 3;
  std::vector<float> blended(3 * plane), weights(static_cast<size_t>(b.u + 1) * plane);
  {
    Budget share(state);
    for (auto _ : state) {
      share.time([&] {
        pass.headForward(b.cands.data(), b.u, b.query.data(), b.compose.data(), blended.data(), weights.data());
      });
      benchmark::ClobberMemory();
    }
  }
  state.counters["distinct_donors"] = b.u;
  state.counters["set_size"] = b.v;
}

void BM_TeethBlend_baseline(benchmark::State& state) {
  const Demo& d = demo();
  const BlendInputs b = blendInputs();
  const ref::Pass plain(d.bank, d.head, d.config);
  std::vector<float> blended, weights;
  for (auto _ : state) {
    plain.head(b.cands, b.u, b.query, b.compose, &blended, &weights);
    benchmark::ClobberMemory();
  }
  state.counters["distinct_donors"] = b.u;
  state.counters["set_size"] = b.v;
}

void BM_TeethFrame_vesk(benchmark::State& state) {
  const Demo& d = demo();
  TeethPass pass(d.bank, d.head, d.config);
  FrameResult out;
  int t = 0, frame = 0;
  {
    Budget share(state);
    for (auto _ : state) {
      share.time([&] { pass.push(frame++, d.rgb[t].data(), d.mask[t].data(), nullptr, &out); });
      benchmark::DoNotOptimize(out.pixels.data());
      t = (t + 1) % kFrames;
    }
  }
  labelServed(state);
}

}  // namespace

BENCHMARK(BM_TeethRetrieval_vesk)->Name("BM_TeethRetrieval/vesk")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TeethRetrieval_baseline)->Name("BM_TeethRetrieval/baseline")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TeethBlend_vesk)->Name("BM_TeethBlend/vesk")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TeethBlend_baseline)
    ->Name("BM_TeethBlend/baseline")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Apply(vesk::bench::iterationsByDefault<3>);
BENCHMARK(BM_TeethFrame_vesk)->Name("BM_TeethFrame/vesk")->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::AddCustomContext("simd_target", vesk::simd::target());
  return vesk::bench::run(argc, argv);
}
