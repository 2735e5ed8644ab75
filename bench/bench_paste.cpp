// The paste of a 512 crop onto a 1080p frame, against the same work done with OpenCV: a 13-tap
// Gaussian unsharp mask, a Lanczos-4 affine warp of the crop onto its bounding box, a bilinear warp
// of the mask and the alpha blend. Both run with the pool's thread count (BM_Paste/vesk against
// BM_Paste/baseline) and with one thread (BM_PasteOneThread/...). Read the wall time with several
// threads: the CPU time is only the caller's. On one thread the caller's CPU time is the one-core
// cost, whatever else the machine runs; frame_budget_share is that cost over a 40 ms frame.
//
//   build/release/bench/vesk_bench_paste [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "bench_main.h"
#include "compose/vesk_paste.h"
#include "core/vesk_pool.h"

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;
const vesk::PasteUnsharp kUnsharp{1.3f, 2.0f, 13};

struct Scene {
  std::vector<float> crop;  // planar RGB in 0..1
  std::vector<uint8_t> mask;
  std::vector<uint8_t> frame;
  float M[6];

  Scene() : crop(size_t(3) * kSide * kSide), mask(size_t(kSide) * kSide), frame(size_t(kW) * kH * 3) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
          crop[(size_t(c) * kSide + y) * kSide + x] =
              0.5f + 0.3f * std::sin(x * 0.05f + c) * std::cos(y * 0.03f) + 0.1f * u(rng);
    const float h = (kSide - 1) / 2.0f;
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        const float r = std::hypot((x - h) / h, (y - h) / h);
        const float a = (1.0f - r) / 0.25f;
        mask[size_t(y) * kSide + x] = uint8_t(a <= 0 ? 0 : (a >= 1 ? 255 : a * 255));
      }
    for (auto& v : frame) v = uint8_t(rng() & 0xFF);
    // A face crop slightly shrunk and tilted, as the bundles' paste matrices place it.
    const float s = 0.95f, th = 0.08f;
    const float m[6] = {s * std::cos(th), -s * std::sin(th), 720.3f, s * std::sin(th), s * std::cos(th), 260.6f};
    std::copy(m, m + 6, M);
  }
};

Scene& scene() {
  static Scene s;
  return s;
}

double threadCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// The one-thread cases' CPU time per iteration over the 40 ms a frame may take.
void frameBudget(benchmark::State& state, double cpuSeconds) {
  state.counters["frame_budget_share"] = benchmark::Counter(cpuSeconds / 0.040, benchmark::Counter::kAvgIterations);
}

void runVesk(benchmark::State& state, bool oneThread) {
  Scene& sc = scene();
  vesk::Paste paste(sc.mask, kSide, kUnsharp);
  std::vector<uint8_t> frame = sc.frame;
  auto once = [&] { paste.composite(sc.crop.data(), 255.0f, sc.M, frame.data(), kW, kH); };
  // Inside a parallel region every pool call of this thread runs serially: the one-core figure.
  auto serial = [&] {
    vesk::pool::parallelRange(2, 1, [&](size_t b, size_t) {
      if (b == 0) once();
    });
  };
  once();
  const double cpu0 = threadCpuSeconds();
  for (auto _ : state) {
    if (oneThread)
      serial();
    else
      once();
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  if (oneThread) frameBudget(state, threadCpuSeconds() - cpu0);
  state.counters["threads"] = oneThread ? 1 : vesk::pool::threads();
}

// The same steps with OpenCV; buffers are kept across iterations so only the work is timed.
struct CvPaste {
  cv::Mat mask8, planes[3], crop, blurred, sharp, warped, alpha, alpha3, roiF, blendOut;
  cv::Rect box;
  cv::Mat Mbox;

  explicit CvPaste(const Scene& sc) {
    mask8 = cv::Mat(kSide, kSide, CV_8U, const_cast<uint8_t*>(sc.mask.data())).clone();
    // Bounding box of the crop extended by the Lanczos support.
    float xs[4], ys[4];
    const float lo = -4, hi = kSide + 3.0f, cx[4] = {lo, hi, lo, hi}, cy[4] = {lo, lo, hi, hi};
    for (int i = 0; i < 4; ++i) {
      xs[i] = sc.M[1] * cy[i] + sc.M[0] * cx[i] + sc.M[2];
      ys[i] = sc.M[4] * cy[i] + sc.M[3] * cx[i] + sc.M[5];
    }
    const int x0 = std::max(0, int(*std::min_element(xs, xs + 4)));
    const int x1 = std::min(kW - 1, int(*std::max_element(xs, xs + 4)));
    const int y0 = std::max(0, int(*std::min_element(ys, ys + 4)));
    const int y1 = std::min(kH - 1, int(*std::max_element(ys, ys + 4)));
    box = cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
    Mbox = (cv::Mat_<double>(2, 3) << sc.M[0], sc.M[1], sc.M[2] - x0, sc.M[3], sc.M[4], sc.M[5] - y0);
  }

  void run(const Scene& sc, uint8_t* frame) {
    const size_t area = size_t(kSide) * kSide;
    for (int c = 0; c < 3; ++c)
      cv::Mat(kSide, kSide, CV_32F, const_cast<float*>(sc.crop.data() + c * area)).convertTo(planes[c], CV_32F, 255.0);
    cv::merge(planes, 3, crop);
    cv::GaussianBlur(crop, blurred, cv::Size(kUnsharp.ksize, kUnsharp.ksize), kUnsharp.sigma, kUnsharp.sigma,
                     cv::BORDER_REFLECT_101);
    cv::addWeighted(crop, 1.0 + kUnsharp.amount, blurred, -kUnsharp.amount, 0.0, sharp);
    cv::min(cv::max(sharp, 0.0), 255.0, sharp);
    cv::warpAffine(sharp, warped, Mbox, box.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::warpAffine(mask8, alpha, Mbox, box.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    alpha.convertTo(alpha3, CV_32F, 1.0 / 255.0);
    cv::Mat roi(kH, kW, CV_8UC3, frame);
    roi = roi(box);
    roi.convertTo(roiF, CV_32F);
    cv::Mat keep = 1.0 - alpha3;
    cv::blendLinear(warped, roiF, alpha3, keep, blendOut);
    blendOut.convertTo(roi, CV_8U);
  }
};

void runOpenCv(benchmark::State& state, bool oneThread) {
  Scene& sc = scene();
  const int before = cv::getNumThreads();
  cv::setNumThreads(oneThread ? 1 : vesk::pool::threads());
  CvPaste p(sc);
  std::vector<uint8_t> frame = sc.frame;
  p.run(sc, frame.data());
  const double cpu0 = threadCpuSeconds();
  for (auto _ : state) {
    p.run(sc, frame.data());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  if (oneThread) frameBudget(state, threadCpuSeconds() - cpu0);
  state.counters["threads"] = cv::getNumThreads();
  cv::setNumThreads(before);
}

}  // namespace

int main(int argc, char** argv) {
  using benchmark::RegisterBenchmark;
  RegisterBenchmark("BM_PasteOneThread/vesk", runVesk, true)->Unit(benchmark::kMillisecond)->UseRealTime();
  RegisterBenchmark("BM_PasteOneThread/baseline", runOpenCv, true)->Unit(benchmark::kMillisecond)->UseRealTime();
  // After the one-thread cases: a CSV report takes its counter columns from the first benchmark.
  RegisterBenchmark("BM_Paste/vesk", runVesk, false)->Unit(benchmark::kMillisecond)->UseRealTime();
  RegisterBenchmark("BM_Paste/baseline", runOpenCv, false)->Unit(benchmark::kMillisecond)->UseRealTime();
  return vesk::bench::run(argc, argv);
}
