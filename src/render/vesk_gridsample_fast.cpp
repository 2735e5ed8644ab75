// GridSampleFast's band, compiled once per SIMD target, and the "com.zentrova" operators that run it
// and WarpDirector inside ONNX Runtime.
//
// A band works a row at a time in chunks of columns: the four clamped corner offsets and the four
// bilinear weights of each pixel are worked out once, in scalar code shared by every target; then each
// vector of pixels runs through every channel with its weights held in registers. The sum runs in one
// fixed order with separate multiplies and adds, so every target and the scalar tail give the same bits.
// clang-format off: foreach_target must come first, and re-includes this file once per target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/vesk_gridsample_fast.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace vesk::gsf::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Columns per chunk: the corner tables stay on the stack (32 bytes a pixel).
constexpr int64_t kChunk = 256;

// The lower neighbour of position x clamped into [-1, n] before it becomes an integer (so no
// conversion overflows), its fractional part, and the two clamped indices.
HWY_INLINE void cornersOf(float x, int64_t n, int32_t& i0, int32_t& i1, float& f) {
  const float fl = std::floor(x);
  f = x - fl;
  float c = fl;
  if (!(c >= -1.0f)) c = -1.0f;
  if (c > static_cast<float>(n)) c = static_cast<float>(n);
  const int64_t lo = static_cast<int64_t>(c);
  i0 = static_cast<int32_t>(std::clamp<int64_t>(lo, 0, n - 1));
  i1 = static_cast<int32_t>(std::clamp<int64_t>(lo + 1, 0, n - 1));
}

// The corners of a vector of pixels, one load per lane: on the x86 machines measured here the
// hardware gather (AVX2 and AVX-512) took twice as long for the whole band.
template <class DF>
HWY_INLINE hn::Vec<DF> Gather(DF df, const float* HWY_RESTRICT src, const int32_t* HWY_RESTRICT o) {
  HWY_ALIGN float lanes[HWY_MAX_BYTES / sizeof(float)];
  for (size_t l = 0; l < hn::Lanes(df); ++l) lanes[l] = src[o[l]];
  return hn::Load(df, lanes);
}

void SampleBandImpl(const float* HWY_RESTRICT X, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out, int64_t C,
                    int64_t H, int64_t W, int64_t row_begin, int64_t row_end) {
  const hn::ScalableTag<float> df;
  const int64_t N = static_cast<int64_t>(hn::Lanes(df));
  const int64_t plane = H * W;
  HWY_ALIGN int32_t o00[kChunk], o01[kChunk], o10[kChunk], o11[kChunk];
  HWY_ALIGN float w00[kChunk], w01[kChunk], w10[kChunk], w11[kChunk];
  for (int64_t i = row_begin; i < row_end; ++i) {
    for (int64_t j0 = 0; j0 < W; j0 += kChunk) {
      const int64_t n = std::min(kChunk, W - j0);
      const float* g = grid + 2 * (i * W + j0);
      for (int64_t p = 0; p < n; ++p) {
        const float x = ((g[2 * p] + 1.0f) * static_cast<float>(W) - 1.0f) * 0.5f;
        const float y = ((g[2 * p + 1] + 1.0f) * static_cast<float>(H) - 1.0f) * 0.5f;
        int32_t c0, c1, r0, r1;
        float fx, fy;
        cornersOf(x, W, c0, c1, fx);
        cornersOf(y, H, r0, r1, fy);
        const int32_t row0 = r0 * static_cast<int32_t>(W);
        const int32_t row1 = r1 * static_cast<int32_t>(W);
        o00[p] = row0 + c0;
        o01[p] = row0 + c1;
        o10[p] = row1 + c0;
        o11[p] = row1 + c1;
        w00[p] = (1.0f - fx) * (1.0f - fy);
        w01[p] = fx * (1.0f - fy);
        w10[p] = (1.0f - fx) * fy;
        w11[p] = fx * fy;
      }
      // Each vector of pixels keeps its corners and weights in registers across all channels.
      float* dst = out + i * W + j0;
      int64_t p = 0;
      for (; p + N <= n; p += N) {
        const auto v00 = hn::Load(df, w00 + p), v01 = hn::Load(df, w01 + p);
        const auto v10 = hn::Load(df, w10 + p), v11 = hn::Load(df, w11 + p);
        const float* src = X;
        for (int64_t k = 0; k < C; ++k, src += plane) {
          auto v = hn::Mul(v00, Gather(df, src, o00 + p));
          v = hn::Add(v, hn::Mul(v01, Gather(df, src, o01 + p)));
          v = hn::Add(v, hn::Mul(v10, Gather(df, src, o10 + p)));
          v = hn::Add(v, hn::Mul(v11, Gather(df, src, o11 + p)));
          hn::StoreU(v, df, dst + k * plane + p);
        }
      }
      for (; p < n; ++p) {
        const float* src = X;
        for (int64_t k = 0; k < C; ++k, src += plane) {
          dst[k * plane + p] =
              w00[p] * src[o00[p]] + w01[p] * src[o01[p]] + w10[p] * src[o10[p]] + w11[p] * src[o11[p]];
        }
      }
    }
  }
}

}  // namespace vesk::gsf::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <limits>
#include <stdexcept>
#include <string>

#include "render/vesk_gridsample_fast.h"
#include "render/vesk_onnx.h"
#include "render/vesk_warp.h"

namespace vesk {

namespace gsf {
HWY_EXPORT(SampleBandImpl);

// The corner tables index a plane with 32-bit offsets.
static void requireOffsets(int64_t H, int64_t W) {
  if (H > 0 && W > 0 && H > std::numeric_limits<int32_t>::max() / W) {
    throw std::runtime_error("gridsample_fast: an image of " + std::to_string(H) + " x " + std::to_string(W) +
                             " pixels is past the 32-bit offsets of the gathers");
  }
}
}  // namespace gsf

void gridsample_fast_band(const float* X, const float* grid, float* out, int64_t C, int64_t H, int64_t W,
                          int64_t row_begin, int64_t row_end) {
  row_begin = std::max<int64_t>(row_begin, 0);
  row_end = std::min(row_end, H);
  if (row_begin >= row_end || W <= 0 || C <= 0) return;
  gsf::requireOffsets(H, W);
  HWY_DYNAMIC_DISPATCH(gsf::SampleBandImpl)(X, grid, out, C, H, W, row_begin, row_end);
}

void gridsample_fast(const float* X, const float* grid, float* out, int64_t C, int64_t H, int64_t W) {
  gridsample_fast_band(X, grid, out, C, H, W, 0, H);
}

namespace {

constexpr const char* kDomain = "com.zentrova";

int64_t bandsOf(int64_t H) { return (H + kSampleBandRows - 1) / kSampleBandRows; }

// One run's view of the two inputs and the output, after the common checks.
struct SampleIo {
  int64_t N = 0, C = 0, H = 0, W = 0;
  const float* x = nullptr;
  const float* grid = nullptr;
  float* out = nullptr;
};

SampleIo openIo(Ort::KernelContext& ctx, const char* op) {
  const Ort::ConstValue x = ctx.GetInput(0);
  const Ort::ConstValue grid = ctx.GetInput(1);
  const std::vector<int64_t> shape = x.GetTensorTypeAndShapeInfo().GetShape();
  if (shape.size() != 4) {
    throw std::runtime_error(std::string("com.zentrova::") + op + ": input 0 must be [N, C, H, W], got " +
                             std::to_string(shape.size()) + " dimensions");
  }
  SampleIo io;
  io.N = shape[0];
  io.C = shape[1];
  io.H = shape[2];
  io.W = shape[3];
  // The grid's shape is not checked, only that it holds the H x W pairs of every item the kernels read.
  const size_t need = static_cast<size_t>(io.N * io.H * io.W * 2);
  const size_t have = grid.GetTensorTypeAndShapeInfo().GetElementCount();
  if (have < need) {
    throw std::runtime_error(std::string("com.zentrova::") + op + ": the grid holds " + std::to_string(have) +
                             " values where the input's N x H x W x 2 is " + std::to_string(need));
  }
  io.x = x.GetTensorData<float>();
  io.grid = grid.GetTensorData<float>();
  io.out = ctx.GetOutput(0, shape).GetTensorMutableData<float>();
  return io;
}

struct SampleJob {
  const float* x;
  const float* grid;
  float* out;
  float* planes;
  int64_t C, H, W;
};

// A refusal thrown by a kernel reaches the caller of the run as ONNX Runtime's failure of it, text
// intact. (A status returned from the status form of the kernel call would be the same, but this
// runtime never frees it.)
class GSFKernel {
 public:
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    SampleIo io = openIo(ctx, "GridSampleFast");
    gsf::requireOffsets(io.H, io.W);  // here, where a throw is caught, not on a pool thread
    if (io.C <= 0 || io.H <= 0 || io.W <= 0) return;
    for (int64_t n = 0; n < io.N; ++n) {
      SampleJob job{io.x, io.grid, io.out, nullptr, io.C, io.H, io.W};
      ctx.ParallelFor(
          [](void* data, size_t band) {
            const auto& j = *static_cast<const SampleJob*>(data);
            const auto b = static_cast<int64_t>(band) * kSampleBandRows;
            gridsample_fast_band(j.x, j.grid, j.out, j.C, j.H, j.W, b, b + kSampleBandRows);
          },
          static_cast<size_t>(bandsOf(io.H)), 0, &job);
      io.x += io.C * io.H * io.W;
      io.out += io.C * io.H * io.W;
      io.grid += io.H * io.W * 2;
    }
  }
};

// Owns the planes scratch, so one instance runs one inference at a time.
class WarpKernel {
 public:
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    {
      const std::vector<int64_t> shape = ctx.GetInput(0).GetTensorTypeAndShapeInfo().GetShape();
      if (shape.size() == 4 && shape[1] != kWarpChannels) {
        throw std::runtime_error(
            "com.zentrova::WarpDirector: this node warps the director's 3-channel source and the graph handed it C=" +
            std::to_string(shape[1]) + ". REFUSING rather than writing a frame nobody asked for.");
      }
    }
    SampleIo io = openIo(ctx, "WarpDirector");
    lastH_ = io.H;
    lastW_ = io.W;
    if (io.H <= 0 || io.W <= 0) return;
    // The gather's corner tables hold offsets into the planes as 32-bit integers.
    if (io.H > std::numeric_limits<int32_t>::max() / kWarpPlaneFloats / io.W) {
      throw std::runtime_error("com.zentrova::WarpDirector: planes of " + std::to_string(io.H) + " x " +
                               std::to_string(io.W) + " pixels are past the 32-bit offsets of the gather");
    }
    const auto need = static_cast<size_t>(io.H * io.W * kWarpPlaneFloats);
    if (planes_.size() < need) planes_.resize(need);
    const size_t bands = static_cast<size_t>(bandsOf(io.H));
    for (int64_t n = 0; n < io.N; ++n) {
      SampleJob job{io.x, io.grid, io.out, planes_.data(), io.C, io.H, io.W};
      ctx.ParallelFor(
          [](void* data, size_t band) {
            const auto& j = *static_cast<const SampleJob*>(data);
            const auto b = static_cast<int64_t>(band) * kSampleBandRows;
            warpDirectorPlanesBand(j.x, j.planes, j.W, j.H, b, b + kSampleBandRows);
          },
          bands, 0, &job);
      // The gather reads the planes rows next to its own, so it starts once every planes band is done.
      ctx.ParallelFor(
          [](void* data, size_t band) {
            const auto& j = *static_cast<const SampleJob*>(data);
            const auto b = static_cast<int64_t>(band) * kSampleBandRows;
            warpDirectorGatherBand(j.planes, j.grid, j.out, j.W, j.H, b, b + kSampleBandRows);
          },
          bands, 0, &job);
      io.x += io.C * io.H * io.W;
      io.out += io.C * io.H * io.W;
      io.grid += io.H * io.W * 2;
    }
  }

 private:
  int64_t lastH_ = 0;
  int64_t lastW_ = 0;
  std::vector<float> planes_;  // H x W x 12, grown on demand and kept across runs
};

// Two float inputs and one float output, all required, on the CPU provider, opsets 1 to 2^31 - 1.
template <typename TOp, typename TKernel>
struct SampleOp : Ort::CustomOpBase<TOp, TKernel> {
  void* CreateKernel(const OrtApi&, const OrtKernelInfo*) const { return new TKernel(); }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

struct GridSampleFastOp : SampleOp<GridSampleFastOp, GSFKernel> {
  const char* GetName() const { return "GridSampleFast"; }
};

struct WarpDirectorOp : SampleOp<WarpDirectorOp, WarpKernel> {
  const char* GetName() const { return "WarpDirector"; }
};

}  // namespace

void domainOps(Ort::CustomOpDomain& domain) {
  // The descriptions must outlive every domain and session that points at them: built once, never freed.
  static const GridSampleFastOp* const gsf = new GridSampleFastOp();
  static const WarpDirectorOp* const warp = new WarpDirectorOp();
  domain.Add(gsf);
  domain.Add(warp);
}

Ort::CustomOpDomain& zentrovaDomain() {
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d(kDomain);
    domainOps(d);
    return d;
  }();
  return domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(zentrovaDomain()); }

void registerWarpDirector(Ort::SessionOptions& options) { options.Add(zentrovaDomain()); }

bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(GsSlice(model));
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.number != onnx_field::kGraphNode || f.wire != 2) continue;
    if (gsFirstStr(f.payload, 4) == "GridSampleFast" && gsFirstStr(f.payload, 7) == kDomain) return true;
  }
  return false;
}

}  // namespace vesk
#endif  // HWY_ONCE
