// The SIMD kernels against their scalar references (the tests' element-wise definitions), and the
// frame conversion against libswscale, in one run; the ratios go to standard error at the end (read
// the CPU time column: a shared machine disturbs it less than wall time).
//
//   build/release/bench/vesk_bench_kernels [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "bench_main.h"
#include "core/simd_reference.h"
#include "core/vesk_simd.h"

namespace {

std::mt19937 rng(7);

std::vector<float> randomFloats(size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

std::vector<uint16_t> randomHalves(size_t n, float lo, float hi) {
  std::vector<uint16_t> h(n);
  const auto f = randomFloats(n, lo, hi);
  for (size_t i = 0; i < n; ++i) h[i] = vesk::ref::f32ToF16(f[i]);
  return h;
}

std::vector<uint8_t> randomBytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

using Body = std::function<void()>;

// Registers BM_<kernel>/vesk and BM_<kernel>/baseline; items is what one call processes.
void pair(const std::string& kernel, int64_t items, Body vesk, Body baseline) {
  auto reg = [&](const std::string& which, Body body) {
    benchmark::RegisterBenchmark(("BM_" + kernel + "/" + which).c_str(), [body, items](benchmark::State& st) {
      for (auto _ : st) {
        body();
        benchmark::ClobberMemory();
      }
      st.SetItemsProcessed(st.iterations() * items);
    });
  };
  reg("vesk", std::move(vesk));
  reg("baseline", std::move(baseline));
}

struct Data {
  // Conversions and element-wise kernels: 64 Ki elements.
  static constexpr size_t kN = 1 << 16;
  std::vector<uint16_t> half = randomHalves(kN, -100.0f, 100.0f);
  std::vector<float> flt = randomFloats(kN, -100.0f, 100.0f), flt2 = randomFloats(kN, -1.0f, 1.0f), fout =
      std::vector<float>(kN);
  std::vector<uint16_t> hout = std::vector<uint16_t>(3 * kN);
  // A 256 x 256 RGB crop.
  static constexpr size_t kPix = 256 * 256;
  std::vector<uint8_t> rgb = randomBytes(3 * kPix);
  // Teeth retrieval over a 96 x 96 window.
  static constexpr size_t kWin = 96 * 96;
  std::vector<uint16_t> ta = randomHalves(3 * kWin, 0.0f, 1.0f), tb = randomHalves(3 * kWin, 0.0f, 1.0f),
                        tw = randomHalves(kWin, 0.0f, 1.0f);
  std::vector<float> twf = randomFloats(kWin, 0.0f, 1.0f);
  // Convolution: 16 -> 16 channels over 64 x 64.
  static constexpr int kC = 16, kH = 64, kW = 64;
  std::vector<float> cin = randomFloats(static_cast<size_t>(kC) * kH * kW, -1.0f, 1.0f),
                     cw = randomFloats(static_cast<size_t>(kC) * kC * 9, -0.2f, 0.2f),
                     cb = randomFloats(kC, -0.1f, 0.1f), cout = std::vector<float>(static_cast<size_t>(kC) * kH * kW);
  // A 1920 x 1080 yuv420p frame.
  static constexpr int kFW = 1920, kFH = 1080;
  std::vector<uint8_t> fy = randomBytes(static_cast<size_t>(kFW) * kFH), fu = randomBytes(kFW / 2 * kFH / 2),
                       fv = randomBytes(kFW / 2 * kFH / 2), frgb = std::vector<uint8_t>(3 * kFW * kFH);
  // Paste: a 512 crop onto a 560 x 560 canvas region.
  static constexpr int kSide = 512, kSpan = 560;
  std::vector<float> src4 = randomFloats(static_cast<size_t>(kSide) * kSide * 4, 0.0f, 255.0f);
  std::vector<uint8_t> mask = std::vector<uint8_t>(static_cast<size_t>(kSide) * kSide, 255);
  std::vector<float> lanczos = std::vector<float>(256), bilinear = std::vector<float>(64);
  std::vector<int> colU = std::vector<int>(kSpan), colV = std::vector<int>(kSpan);
  std::vector<uint8_t> canvas = randomBytes(3 * kSpan * kSpan);

  Data() {
    for (int p = 0; p < 32; ++p) {
      const float t = static_cast<float>(p) / 32.0f;
      for (int k = 0; k < 8; ++k) {
        const float d = static_cast<float>(k - 3) - t;
        lanczos[p * 8 + k] = d == 0.0f ? 1.0f
                                       : std::sin(3.14159265f * d) * std::sin(3.14159265f * d / 4.0f) /
                                             (3.14159265f * 3.14159265f * d * d / 4.0f);
      }
      bilinear[2 * p] = 1.0f - t;
      bilinear[2 * p + 1] = t;
    }
    // Slightly rotated and scaled, with a margin outside the crop.
    for (int i = 0; i < kSpan; ++i) {
      colU[i] = (i - 24) * 1024 * kSide / (kSpan - 48) + 16;
      colV[i] = i * 40 + 16;
    }
    for (size_t i = 3; i < src4.size(); i += 4) src4[i] = 0.0f;
  }

  template <class Paste>
  void pasteAll(Paste paste) {
    for (int y = 0; y < kSpan; ++y) {
      const int rowV = (y - 24) * 1024 * kSide / (kSpan - 48);
      paste(src4.data(), kSide, mask.data(), lanczos.data(), bilinear.data(), colU.data(), colV.data(), -y * 40,
            rowV, 0, kSpan - 1, canvas.data() + 3 * static_cast<size_t>(y) * kSpan);
    }
  }

  template <class Row>
  void frameAll(Row row) {
    for (int y = 0; y < kFH; ++y) {
      const size_t c = static_cast<size_t>(y / 2) * (kFW / 2);
      row(fy.data() + static_cast<size_t>(y) * kFW, fu.data() + c, fv.data() + c, kFW, 1,
          frgb.data() + 3 * static_cast<size_t>(y) * kFW);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  static Data d;
  using namespace vesk;
  const int64_t n = static_cast<int64_t>(Data::kN);
  pair("f16ToF32", n, [] { simd::f16ToF32(d.half.data(), d.fout.data(), Data::kN); },
       [] { ref::f16ToF32(d.half.data(), d.fout.data(), Data::kN); });
  pair("f32ToF16", n, [] { simd::f32ToF16(d.flt.data(), d.hout.data(), Data::kN); },
       [] { ref::f32ToF16(d.flt.data(), d.hout.data(), Data::kN); });
  pair("rgb8ToPlanarF16", Data::kPix, [] { simd::rgb8ToPlanarF16(d.rgb.data(), d.hout.data(), Data::kPix, Data::kPix); },
       [] { ref::rgb8ToPlanarF16(d.rgb.data(), d.hout.data(), Data::kPix, Data::kPix); });
  pair("roundF16Mul", n, [] { simd::roundF16Mul(d.flt.data(), d.flt2.data(), d.fout.data(), Data::kN); },
       [] { ref::roundF16Mul(d.flt.data(), d.flt2.data(), d.fout.data(), Data::kN); });
  pair("retrieveTermPooled", Data::kWin,
       [] { benchmark::DoNotOptimize(simd::retrieveTermPooled(d.ta.data(), d.tb.data(), d.tw.data(), Data::kWin)); },
       [] { benchmark::DoNotOptimize(ref::retrieveTermPooled(d.ta.data(), d.tb.data(), d.tw.data(), Data::kWin)); });
  pair("retrieveTermExact", Data::kWin,
       [] { benchmark::DoNotOptimize(simd::retrieveTermExact(d.ta.data(), d.tb.data(), d.twf.data(), Data::kWin)); },
       [] {
         benchmark::DoNotOptimize(
             ref::retrieveTermExactRange(d.ta.data(), d.tb.data(), d.twf.data(), Data::kWin, 0, Data::kWin));
       });
  pair("retrieveTermExactRange", Data::kWin / 2,
       [] {
         benchmark::DoNotOptimize(simd::retrieveTermExactRange(d.ta.data(), d.tb.data(), d.twf.data(), Data::kWin,
                                                               Data::kWin / 4, 3 * Data::kWin / 4));
       },
       [] {
         benchmark::DoNotOptimize(ref::retrieveTermExactRange(d.ta.data(), d.tb.data(), d.twf.data(), Data::kWin,
                                                              Data::kWin / 4, 3 * Data::kWin / 4));
       });
  pair("conv3x3Range", static_cast<int64_t>(Data::kC) * Data::kH * Data::kW,
       [] {
         simd::conv3x3Range(d.cin.data(), 1, Data::kC, Data::kH, Data::kW, d.cw.data(), d.cb.data(), Data::kC,
                            d.cout.data(), 0, Data::kC);
       },
       [] {
         ref::conv3x3Range(d.cin.data(), 1, Data::kC, Data::kH, Data::kW, d.cw.data(), d.cb.data(), Data::kC,
                           d.cout.data(), 0, Data::kC);
       });
  pair("pasteLanczos8Row", static_cast<int64_t>(Data::kSpan) * Data::kSpan,
       [] { d.pasteAll(simd::pasteLanczos8Row); }, [] { d.pasteAll(ref::pasteLanczos8Row); });

  const int64_t framePixels = static_cast<int64_t>(Data::kFW) * Data::kFH;
  pair("yuv420RowToRgb24", framePixels, [] { d.frameAll(simd::yuv420RowToRgb24); },
       [] { d.frameAll(ref::yuv420RowToRgb24); });
  // The same frame through libswscale, single-threaded, as a video pipeline would convert it.
  benchmark::RegisterBenchmark("BM_yuv420RowToRgb24/libswscale", [framePixels](benchmark::State& st) {
    std::unique_ptr<SwsContext, void (*)(SwsContext*)> ctx(
        sws_getContext(Data::kFW, Data::kFH, AV_PIX_FMT_YUV420P, Data::kFW, Data::kFH, AV_PIX_FMT_RGB24, SWS_BILINEAR,
                       nullptr, nullptr, nullptr),
        sws_freeContext);
    if (!ctx) {
      st.SkipWithError("sws_getContext failed");
      return;
    }
    const uint8_t* src[3] = {d.fy.data(), d.fu.data(), d.fv.data()};
    const int srcStride[3] = {Data::kFW, Data::kFW / 2, Data::kFW / 2};
    uint8_t* dst[1] = {d.frgb.data()};
    const int dstStride[1] = {3 * Data::kFW};
    for (auto _ : st) {
      sws_scale(ctx.get(), src, srcStride, 0, Data::kFH, dst, dstStride);
      benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * framePixels);
  });

  // The dispatched target is part of the run's context: the console shows it on standard error,
  // the JSON report in its "context".
  benchmark::AddCustomContext("simd_target", simd::target());
  return vesk::bench::run(argc, argv);
}
