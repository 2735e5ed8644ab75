// The fp16 convolution backend: the fused m4b director's weights read straight from the model file,
// packed to fp16 once, and its stages run as hand-written kernels over NHWC fp16 activations.
//
// A render runs stage by stage over all its frames: every convolution is cut into jobs of a few
// output rows per frame, so one frame keeps every worker busy as well as a full batch does, and each
// output row is computed the same way whichever worker takes it.
#include "render/vesk_conv.h"

#include <hwy/targets.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/vesk_env.h"
#include "core/vesk_half.h"
#include "core/vesk_simd.h"
#include "render/vesk_conv_kernels.h"
#include "render/vesk_onnx.h"

namespace vesk {

namespace {

constexpr int kCrop = 512;
constexpr int kKp = 21;
constexpr size_t kKpLen = 63;
constexpr size_t kPlane = static_cast<size_t>(kCrop) * kCrop;
constexpr size_t kBasisCols = 196608;  // 3 x 256 x 256
constexpr size_t kBasisChunk = 8192;
constexpr int kMlpIn = 255, kMlpHidden = 128, kCoef = 64;
// The graph's own constants: the heatmap's exp(coef d^2), keypoint to sampling-grid space, the tile window.
constexpr float kHeatCoef = -32.0f;
constexpr float kKpToGs = 511.0f / 512.0f;
constexpr int kTileY = 224, kTileX = 144, kTileH = 256, kTileW = 208;

// --- Loading -------------------------------------------------------------------------------------

struct Initializer {
  std::vector<int64_t> dims;
  std::vector<float> data;
};

struct OnnxModel {
  std::unordered_map<std::string, Initializer> inits;
  std::vector<std::string> order;  // file order, so a search by shape is deterministic
  int64_t batch = 0;               // pooled64 dim 0

  const Initializer* get(const std::string& name) const {
    const auto it = inits.find(name);
    return it == inits.end() ? nullptr : &it->second;
  }
  const Initializer& require(const std::string& name) const {
    const Initializer* t = get(name);
    if (t == nullptr) throw std::runtime_error("onnx: missing initializer " + name);
    return *t;
  }
};

uint64_t elementCount(const std::vector<int64_t>& dims) {
  uint64_t n = 1;
  for (int64_t d : dims) n *= d < 0 ? 0 : static_cast<uint64_t>(d);
  return n;
}

void readTensor(GsSlice tensor, OnnxModel& m) {
  std::string name;
  int64_t type = 0;
  GsSlice raw;
  bool hasRaw = false;
  std::vector<float> floats;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number == 2 && f.wire == 0) {
      type = static_cast<int64_t>(f.value);
    } else if (f.number == 8 && f.wire == 2) {
      name = f.payload.str();
    } else if (f.number == 9 && f.wire == 2) {
      raw = f.payload;
      hasRaw = true;
    } else if (f.number == 4 && f.wire == 2) {
      const size_t at = floats.size();
      floats.resize(at + f.payload.n / 4);
      std::memcpy(floats.data() + at, f.payload.p, (f.payload.n / 4) * 4);
    } else if (f.number == 4 && f.wire == 5) {
      const uint32_t bits = static_cast<uint32_t>(f.value);
      float v;
      std::memcpy(&v, &bits, 4);
      floats.push_back(v);
    }
  }
  Initializer t;
  hcTensorDims(tensor, t.dims);
  if (type != onnx_field::kFloat) throw std::runtime_error("onnx: non-fp32 initializer " + name);
  const uint64_t n = elementCount(t.dims);
  if (hasRaw) {
    if (raw.n != n * 4) throw std::runtime_error("onnx: raw size mismatch " + name);
    t.data.resize(n);
    if (n > 0) std::memcpy(t.data.data(), raw.p, raw.n);
  } else if (floats.size() == n && n > 0) {
    t.data = std::move(floats);
  } else {
    throw std::runtime_error("onnx: no data for " + name);
  }
  m.order.push_back(name);
  m.inits[name] = std::move(t);
}

OnnxModel loadOnnx(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("vesk_conv: cannot open " + path);
  const std::streamoff size = in.tellg();
  std::vector<uint8_t> bytes(size > 0 ? static_cast<size_t>(size) : 0);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
    throw std::runtime_error("vesk_conv: short read " + path);
  OnnxModel m;
  const GsSlice graph = gsGraphOf(GsSlice(bytes));
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.number == onnx_field::kGraphInitializer && f.wire == 2) readTensor(f.payload, m);
  int64_t dims[8];
  size_t count = 0;
  if (!ldInputDims(graph, "pooled64", dims, 8, count) || count < 1 || dims[0] < 1)
    throw std::runtime_error("vesk_conv: pooled64 input not found");
  m.batch = dims[0];
  return m;
}

// --- The contract --------------------------------------------------------------------------------

struct M4b {
  const Initializer* preW = nullptr;
  const Initializer* preB = nullptr;
  const Initializer* grid32 = nullptr;
  const Initializer* basis = nullptr;
};

struct TableEntry {
  const char* name;
  std::vector<int64_t> dims;
};

const std::vector<TableEntry>& contractTable() {
  static const std::vector<TableEntry> t = {
      {"s.e0.conv.weight", {96, 96, 3, 3}},
      {"s.e0.conv.bias", {96}},
      {"s.e1.conv.weight", {144, 96, 3, 3}},
      {"s.e1.conv.bias", {144}},
      {"s.e2.conv.weight", {192, 144, 3, 3}},
      {"s.e2.conv.bias", {192}},
      {"s.d1.conv.weight", {144, 336, 3, 3}},
      {"s.d1.conv.bias", {144}},
      {"s.d0.conv.weight", {96, 240, 3, 3}},
      {"s.d0.conv.bias", {96}},
      {"s.ref.conv.weight", {48, 96, 3, 3}},
      {"s.ref.conv.bias", {48}},
      {"s.mask.weight", {22, 48, 3, 3}},
      {"s.mask.bias", {22}},
      {"s.occ.weight", {1, 48, 3, 3}},
      {"s.occ.bias", {1}},
      {"s.corr.0.conv.weight", {24, 7, 3, 3}},
      {"s.corr.0.conv.bias", {24}},
      {"s.corr.1.conv.weight", {24, 24, 3, 3}},
      {"s.corr.1.conv.bias", {24}},
      {"s.corr.2.weight", {12, 24, 3, 3}},
      {"s.corr.2.bias", {12}},
      {"s.tile.0.conv.weight", {32, 7, 3, 3}},
      {"s.tile.0.conv.bias", {32}},
      {"s.tile.1.conv.weight", {32, 32, 3, 3}},
      {"s.tile.1.conv.bias", {32}},
      {"s.tile.2.conv.weight", {32, 32, 3, 3}},
      {"s.tile.2.conv.bias", {32}},
      {"s.tile.3.weight", {3, 32, 3, 3}},
      {"s.tile.3.bias", {3}},
      {"s.grid64", {64, 64, 2}},
      {"s.feather", {1, 1, 256, 208}},
      {"s.wmlp.0.weight", {128, 255}},
      {"s.wmlp.0.bias", {128}},
      {"s.wmlp.2.weight", {64, 128}},
      {"s.wmlp.2.bias", {64}},
  };
  return t;
}

// The only initializer of that shape, or null when there is none or more than one.
const Initializer* uniqueOfShape(const OnnxModel& m, const std::vector<int64_t>& dims, std::string* name = nullptr) {
  const Initializer* found = nullptr;
  for (const std::string& n : m.order) {
    const Initializer& t = m.inits.at(n);
    if (t.dims != dims) continue;
    if (found != nullptr) return nullptr;
    found = &t;
    if (name != nullptr) *name = n;
  }
  return found;
}

// The contract's tensors, or the reason the graph is not the fused m4b topology.
std::string m4bResolve(const OnnxModel& m, M4b& out) {
  for (const TableEntry& e : contractTable()) {
    const Initializer* t = m.get(e.name);
    if (t == nullptr) return std::string("missing ") + e.name;
    if (t->dims != e.dims) return std::string("shape ") + e.name;
  }
  std::string preName;
  out.preW = uniqueOfShape(m, {96, 85, 1, 1}, &preName);
  if (out.preW == nullptr) return "pre weight (96,85,1,1) absent or ambiguous";
  size_t digits = preName.size();
  while (digits > 0 && preName[digits - 1] >= '0' && preName[digits - 1] <= '9') --digits;
  if (digits == preName.size()) return "pre weight name carries no SSA counter";
  // The exporter numbers values as it goes: the bias is the next value after the weight.
  const std::string biasName = preName.substr(0, digits) + std::to_string(std::stoull(preName.substr(digits)) + 1);
  out.preB = m.get(biasName);
  if (out.preB == nullptr || out.preB->dims != std::vector<int64_t>{96})
    return "pre bias " + biasName + " absent or not (96)";
  out.grid32 = uniqueOfShape(m, {1, 1, 32, 32, 2});
  if (out.grid32 == nullptr) return "grid32 (1,1,32,32,2) absent or ambiguous";
  out.basis = uniqueOfShape(m, {64, 196608});
  if (out.basis == nullptr) return "basis (64,196608) absent or ambiguous";
  return {};
}

// --- Layers --------------------------------------------------------------------------------------

struct ConvLayer {
  std::string name;
  int H = 0, W = 0;
  int cin = 0, cinPad = 0, cout = 0, k = 3;
  bool relu = false;
  std::vector<uint16_t> weights, bias;
  conv::ConvGeom geom;
  // 3x3 layers whose sides are multiples of 4 run as Winograd F(4x4, 3x3) on weights transformed
  // from the half weights above; rounding the transformed weights to half again would add a second
  // rounding, so they stay fp32.
  std::vector<float> wino, winoBias;
  conv::WinoGeom wgeom;
  bool useWino = false;
};

int roundUp8(int v) { return (v + 7) / 8 * 8; }

// The Winograd form of a packed 3x3 layer. Blocks of 8, 16 or 24 output channels, whichever pads
// the layer least (16 on a tie: its register blocking is the best on every target).
void packWino(ConvLayer& L) {
  int bw = 16;
  for (const int b : {24, 8})
    if ((L.cout + b - 1) / b * b < (L.cout + bw - 1) / bw * bw) bw = b;
  const int blocks = (L.cout + bw - 1) / bw;
  const size_t cin = static_cast<size_t>(L.cinPad), B = static_cast<size_t>(blocks), BW = static_cast<size_t>(bw);
  const conv::ConvGeom& g = L.geom;
  L.wino.assign(36 * B * cin * BW, 0.0f);
  L.winoBias.assign(B * BW, 0.0f);
  float g9[9], u36[36];
  for (int co = 0; co < L.cout; ++co) {
    const size_t blk = static_cast<size_t>(co / bw), lane = static_cast<size_t>(co % bw);
    const size_t dblk = static_cast<size_t>(co / g.bw), dlane = static_cast<size_t>(co % g.bw);
    L.winoBias[static_cast<size_t>(co)] = half::toFloat(L.bias[static_cast<size_t>(co)]);
    for (size_t ci = 0; ci < static_cast<size_t>(L.cin); ++ci) {
      for (size_t t = 0; t < 9; ++t)
        g9[t] = half::toFloat(L.weights[((dblk * 9 + t) * cin + ci) * static_cast<size_t>(g.bw) + dlane]);
      conv::winogradWeights(g9, u36);
      for (size_t e = 0; e < 36; ++e) L.wino[((e * B + blk) * cin + ci) * BW + lane] = u36[e];
    }
  }
  conv::WinoGeom& w = L.wgeom;
  w.H = L.H;
  w.W = L.W;
  w.cin = L.cinPad;
  w.coutPad = blocks * bw;
  w.outStride = g.outStride;
  w.bw = bw;
  w.relu = L.relu;
  w.U = L.wino.data();
  w.bias = L.winoBias.data();
  L.useWino = true;
}

// parts: the weight and bias tensors whose output channels stack into the layer (mask and occlusion
// share one).
ConvLayer packConv(const std::string& name, int H, int W, int cin, int cout, int k, bool relu,
                   const std::vector<std::pair<const Initializer*, const Initializer*>>& parts) {
  ConvLayer L;
  L.name = name;
  L.H = H;
  L.W = W;
  L.cin = cin;
  L.cinPad = roundUp8(cin);
  L.cout = cout;
  L.k = k;
  L.relu = relu;
  size_t haveW = 0, haveB = 0;
  for (const auto& [w, b] : parts) {
    haveW += w->data.size();
    haveB += b->data.size();
  }
  const size_t kk = static_cast<size_t>(k) * k;
  const size_t needW = static_cast<size_t>(cout) * cin * kk;
  if (haveW != needW || haveB != static_cast<size_t>(cout))
    throw std::runtime_error("vesk_conv: layer " + name + " needs " + std::to_string(needW) + " weights / " +
                             std::to_string(cout) + " bias but the graph supplies " + std::to_string(haveW) + " / " +
                             std::to_string(haveB) +
                             " \xE2\x80\x94 refusing to pack (graph is not the m4b this kernel implements)");
  std::vector<float> w, b;
  for (const auto& [wt, bt] : parts) {
    w.insert(w.end(), wt->data.begin(), wt->data.end());
    b.insert(b.end(), bt->data.begin(), bt->data.end());
  }
  const int bw = cout <= 8 ? 8 : 16;
  const int blocks = (cout + bw - 1) / bw;
  L.weights.assign(static_cast<size_t>(blocks) * kk * L.cinPad * bw, 0);
  L.bias.assign(static_cast<size_t>(blocks) * bw, 0);
  for (int co = 0; co < cout; ++co) {
    const int blk = co / bw, lane = co % bw;
    L.bias[static_cast<size_t>(co)] = half::fromFloat(b[static_cast<size_t>(co)]);
    for (int ci = 0; ci < cin; ++ci)
      for (size_t t = 0; t < kk; ++t) {
        const float v = w[(static_cast<size_t>(co) * cin + ci) * kk + t];
        L.weights[((static_cast<size_t>(blk) * kk + t) * L.cinPad + ci) * bw + lane] = half::fromFloat(v);
      }
  }
  conv::ConvGeom& g = L.geom;
  g.H = H;
  g.W = W;
  g.cin = L.cinPad;
  g.cout = cout;
  g.outStride = roundUp8(cout);
  g.k = k;
  g.bw = bw;
  g.relu = relu;
  g.weights = L.weights.data();
  g.bias = L.bias.data();
  if (k == 3 && H % 4 == 0 && W % 4 == 0) packWino(L);
  return L;
}

// --- Separable bilinear tables, half-pixel centres, clamped at the edges -------------------------

struct LinTab {
  std::vector<int32_t> i0, i1;
  std::vector<float> w0, w1;
  LinTab() = default;
  LinTab(int src, int dst)
      : i0(static_cast<size_t>(dst)),
        i1(static_cast<size_t>(dst)),
        w0(static_cast<size_t>(dst)),
        w1(static_cast<size_t>(dst)) {
    const float scale = static_cast<float>(src) / static_cast<float>(dst);
    for (int d = 0; d < dst; ++d) {
      float s = (static_cast<float>(d) + 0.5f) * scale - 0.5f;
      s = std::clamp(s, 0.0f, static_cast<float>(src - 1));
      const int a = static_cast<int>(s);
      const size_t D = static_cast<size_t>(d);
      i0[D] = a;
      i1[D] = std::min(a + 1, src - 1);
      w1[D] = s - static_cast<float>(a);
      w0[D] = 1.0f - w1[D];
    }
  }
};

// One worker's scratch, used by one job at a time: a convolution's rows or tiles, or the rows of an
// element-wise stage (fp16 rows are widened a row at a time, worked in fp32 and narrowed a row at a
// time, so no element goes through a scalar conversion).
struct WorkerScratch {
  // The element-wise stages' largest user is the last upsampling of the encoder-decoder: two 32 x 96
  // source rows and a 64 x 96 output row (12288 floats, 6144 halves).
  static constexpr size_t kRowFloats = 20480, kHalves = 8192;
  std::vector<float> f;
  std::vector<uint16_t> h = std::vector<uint16_t>(kHalves);
};

// Bilinear upsampling of an NHWC fp16 map of c channels (stride sIn) into channels [at, at + c) of
// an NHWC fp16 map of stride sOut, rows [y0, y1).
void upsampleNhwc(const uint16_t* in, int w, int c, int sIn, const LinTab& ty, const LinTab& tx, uint16_t* out, int W,
                  int at, int sOut, int y0, int y1, WorkerScratch& rs) {
  const size_t rowIn = static_cast<size_t>(w) * static_cast<size_t>(sIn);
  const size_t C = static_cast<size_t>(c);
  float* r0 = rs.f.data();
  float* r1 = r0 + rowIn;
  float* row = r1 + rowIn;
  uint16_t* hrow = rs.h.data();
  for (int y = y0; y < y1; ++y) {
    const size_t Y = static_cast<size_t>(y);
    simd::f16ToF32(in + static_cast<size_t>(ty.i0[Y]) * rowIn, r0, rowIn);
    simd::f16ToF32(in + static_cast<size_t>(ty.i1[Y]) * rowIn, r1, rowIn);
    const float wy0 = ty.w0[Y], wy1 = ty.w1[Y];
    for (int x = 0; x < W; ++x) {
      const size_t X = static_cast<size_t>(x);
      const size_t a = static_cast<size_t>(tx.i0[X]) * static_cast<size_t>(sIn);
      const size_t b = static_cast<size_t>(tx.i1[X]) * static_cast<size_t>(sIn);
      const float w00 = wy0 * tx.w0[X], w01 = wy0 * tx.w1[X], w10 = wy1 * tx.w0[X], w11 = wy1 * tx.w1[X];
      float* o = row + X * C;
      for (size_t ch = 0; ch < C; ++ch)
        o[ch] = w00 * r0[a + ch] + w01 * r0[b + ch] + w10 * r1[a + ch] + w11 * r1[b + ch];
    }
    simd::f32ToF16(row, hrow, static_cast<size_t>(W) * C);
    for (int x = 0; x < W; ++x)
      std::memcpy(out + (Y * static_cast<size_t>(W) + static_cast<size_t>(x)) * static_cast<size_t>(sOut) + at,
                  hrow + static_cast<size_t>(x) * C, C * sizeof(uint16_t));
  }
}

// --- The pool ------------------------------------------------------------------------------------

class Pool {
 public:
  explicit Pool(int threads) {
    for (int i = 1; i < threads; ++i) workers_.emplace_back([this, i] { loop(i); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_.store(true);
    }
    start_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  int size() const { return static_cast<int>(workers_.size()) + 1; }

  // f(job, worker) for every job below jobs; the caller is worker 0. Every worker takes part in
  // every run, so none can still be reading a run's job when the next one is posted.
  template <class F>
  void run(int jobs, F& f) {
    if (jobs <= 0) return;
    job_ = Job{[](void* ctx, int j, int worker) { (*static_cast<F*>(ctx))(j, worker); }, &f, jobs};
    next_.store(0);
    remaining_.store(static_cast<int>(workers_.size()));
    {
      std::lock_guard<std::mutex> lock(mu_);
      generation_.fetch_add(1, std::memory_order_release);
    }
    start_.notify_all();
    work(job_, 0);
    if (spinUntil([this] { return remaining_.load(std::memory_order_acquire) == 0; })) return;
    std::unique_lock<std::mutex> lock(mu_);
    done_.wait(lock, [this] { return remaining_.load(std::memory_order_acquire) == 0; });
  }

 private:
  struct Job {
    void (*fn)(void*, int, int) = nullptr;
    void* ctx = nullptr;
    int count = 0;
  };
  // A frame is some thirty runs a few hundred microseconds apart. Waking a sleeping thread costs
  // tens of microseconds (more on a virtual machine), so both sides spin a while before they block.
  template <class Pred>
  static bool spinUntil(Pred done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    for (int i = 0;; ++i) {
      if (done()) return true;
      if ((i & 63) == 63 && std::chrono::steady_clock::now() > until) return false;
    }
  }
  void work(const Job& job, int worker) {
    for (int j = next_.fetch_add(1); j < job.count; j = next_.fetch_add(1)) job.fn(job.ctx, j, worker);
  }
  void loop(int worker) {
    uint64_t seen = 0;
    for (;;) {
      const auto posted = [&] { return stop_.load() || generation_.load(std::memory_order_acquire) != seen; };
      if (!spinUntil(posted)) {
        std::unique_lock<std::mutex> lock(mu_);
        start_.wait(lock, posted);
      }
      if (stop_.load()) return;
      seen = generation_.load(std::memory_order_acquire);
      work(job_, worker);
      if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lock(mu_);
        done_.notify_all();
      }
    }
  }

  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::condition_variable start_, done_;
  Job job_;  // written by run() only while every worker waits for the next generation
  std::atomic<int> next_{0};
  std::atomic<int> remaining_{0};
  std::atomic<uint64_t> generation_{0};
  std::atomic<bool> stop_{false};
};

// --- The engine ----------------------------------------------------------------------------------

using Half = std::vector<uint16_t>;

// Every stage buffer of one batch slot.
struct Scratch {
  Half preIn, pre, e0, p0, e1, p1, e2, d1In, d1, d0In, d0, refIn, ref, maskocc;
  std::vector<float> occ, grid, mlpIn;
  Half occ512, warped, corrIn, corr0, corr1, corr2, refined, tileIn, tileA, tileB, tile3;
};

template <class T>
void sized(std::vector<T>& v, size_t n) {
  v.assign(n, T{});
}

enum Layer {
  kPre,
  kE0,
  kE1,
  kE2,
  kD1,
  kD0,
  kRef,
  kMaskOcc,
  kCorr0,
  kCorr1,
  kCorr2,
  kTile0,
  kTile1,
  kTile2,
  kTile3,
  kLayers
};

class Engine final : public ConvBackend {
 public:
  Engine(const std::string& path, int threads);
  int batch() const override { return batch_; }
  void render(const uint16_t* const* pooled64, const uint16_t* const* P, const float* kp_source,
              const float* kp_driving, int n, float* out) override;

 private:
  // A stage over n frames cut into row jobs: fn(frame, y0, y1, worker); at most maxJobs per frame.
  // Eight jobs per worker: a worker whose core is taken away for a while (a busy machine, a virtual
  // one) leaves little of the stage for the others to wait on.
  template <class F>
  void rows(int n, int H, F&& fn, int maxJobs = 1 << 30) {
    const int want = std::max(1, std::min(maxJobs, 8 * pool_.size() / n));
    const int per = std::max(1, (H + want - 1) / want);
    const int chunks = (H + per - 1) / per;
    auto job = [&](int j, int worker) {
      const int f = j / chunks, c = j % chunks;
      fn(f, c * per, std::min(H, (c + 1) * per), worker);
    };
    pool_.run(n * chunks, job);
  }
  void conv(Layer l, int n, Half Scratch::*in, Half Scratch::*out);
  void dumpNhwc(const char* stage, int n, Half Scratch::*buf, int H, int W, int stride, int c0, int c);
  void dumpFloats(const char* stage, const float* const* frames, int n, size_t len);
  void dumpPlanar(const char* stage, int n, Half Scratch::*buf, size_t len);
  bool dumping() const { return !dumpDir_.empty(); }

  int batch_ = 1;
  std::vector<ConvLayer> layers_;
  std::vector<float> grid32_, grid64_, feather_, mlp0W_, mlp0B_, mlp2W_, mlp2B_;
  Half basis_;
  std::vector<float> coef_, basisImg_;  // batch x 64, batch x 196608
  std::vector<Scratch> slots_;
  std::vector<WorkerScratch> workerScratch_;
  LinTab up2_8_, up2_16_, up2_32_, up8_64_, up2_256_;
  Pool pool_;
  std::string dumpDir_;
};

Engine::Engine(const std::string& path, int threads) : pool_(std::max(1, threads)) {
  const OnnxModel m = loadOnnx(path);
  M4b s;
  const std::string reason = m4bResolve(m, s);
  if (!reason.empty())
    throw std::runtime_error("vesk_conv: this graph is not the fused m4b topology this kernel implements (" + reason +
                             ") \xE2\x80\x94 use ORT for it");
  batch_ = static_cast<int>(m.batch);
  auto wb = [&](const std::string& w, const std::string& b) { return std::make_pair(&m.require(w), &m.require(b)); };
  layers_.resize(kLayers);
  layers_[kPre] = packConv("pre", 32, 32, 85, 96, 1, true, {{s.preW, s.preB}});
  layers_[kE0] = packConv("e0", 32, 32, 96, 96, 3, true, {wb("s.e0.conv.weight", "s.e0.conv.bias")});
  layers_[kE1] = packConv("e1", 16, 16, 96, 144, 3, true, {wb("s.e1.conv.weight", "s.e1.conv.bias")});
  layers_[kE2] = packConv("e2", 8, 8, 144, 192, 3, true, {wb("s.e2.conv.weight", "s.e2.conv.bias")});
  layers_[kD1] = packConv("d1", 16, 16, 336, 144, 3, true, {wb("s.d1.conv.weight", "s.d1.conv.bias")});
  layers_[kD0] = packConv("d0", 32, 32, 240, 96, 3, true, {wb("s.d0.conv.weight", "s.d0.conv.bias")});
  layers_[kRef] = packConv("ref", 64, 64, 96, 48, 3, true, {wb("s.ref.conv.weight", "s.ref.conv.bias")});
  layers_[kMaskOcc] = packConv("maskocc", 64, 64, 48, 23, 3, false,
                               {wb("s.mask.weight", "s.mask.bias"), wb("s.occ.weight", "s.occ.bias")});
  layers_[kCorr0] = packConv("corr0", 256, 256, 7, 24, 3, true, {wb("s.corr.0.conv.weight", "s.corr.0.conv.bias")});
  layers_[kCorr1] = packConv("corr1", 256, 256, 24, 24, 3, true, {wb("s.corr.1.conv.weight", "s.corr.1.conv.bias")});
  layers_[kCorr2] = packConv("corr2", 256, 256, 24, 12, 3, false, {wb("s.corr.2.weight", "s.corr.2.bias")});
  layers_[kTile0] =
      packConv("tile0", kTileH, kTileW, 7, 32, 3, true, {wb("s.tile.0.conv.weight", "s.tile.0.conv.bias")});
  layers_[kTile1] =
      packConv("tile1", kTileH, kTileW, 32, 32, 3, true, {wb("s.tile.1.conv.weight", "s.tile.1.conv.bias")});
  layers_[kTile2] =
      packConv("tile2", kTileH, kTileW, 32, 32, 3, true, {wb("s.tile.2.conv.weight", "s.tile.2.conv.bias")});
  layers_[kTile3] = packConv("tile3", kTileH, kTileW, 32, 3, 3, false, {wb("s.tile.3.weight", "s.tile.3.bias")});
  grid32_ = s.grid32->data;
  grid64_ = m.require("s.grid64").data;
  feather_ = m.require("s.feather").data;
  mlp0W_ = m.require("s.wmlp.0.weight").data;
  mlp0B_ = m.require("s.wmlp.0.bias").data;
  mlp2W_ = m.require("s.wmlp.2.weight").data;
  mlp2B_ = m.require("s.wmlp.2.bias").data;
  basis_.resize(s.basis->data.size());
  simd::f32ToF16(s.basis->data.data(), basis_.data(), basis_.size());

  const size_t B = static_cast<size_t>(batch_);
  sized(coef_, B * kCoef);
  sized(basisImg_, B * kBasisCols);
  slots_.resize(B);
  auto nhwc = [](int h, int w, int c) { return static_cast<size_t>(h) * w * c; };
  for (Scratch& t : slots_) {
    sized(t.preIn, nhwc(32, 32, 88));
    sized(t.pre, nhwc(32, 32, 96));
    sized(t.e0, nhwc(32, 32, 96));
    sized(t.p0, nhwc(16, 16, 96));
    sized(t.e1, nhwc(16, 16, 144));
    sized(t.p1, nhwc(8, 8, 144));
    sized(t.e2, nhwc(8, 8, 192));
    sized(t.d1In, nhwc(16, 16, 336));
    sized(t.d1, nhwc(16, 16, 144));
    sized(t.d0In, nhwc(32, 32, 240));
    sized(t.d0, nhwc(32, 32, 96));
    sized(t.refIn, nhwc(64, 64, 96));
    sized(t.ref, nhwc(64, 64, 48));
    sized(t.maskocc, nhwc(64, 64, 24));
    sized(t.occ, 64 * 64);
    sized(t.grid, 64 * 64 * 2);
    sized(t.mlpIn, kMlpIn);
    sized(t.occ512, kPlane);
    sized(t.warped, 3 * kPlane);
    sized(t.corrIn, nhwc(256, 256, 8));
    sized(t.corr0, nhwc(256, 256, 24));
    sized(t.corr1, nhwc(256, 256, 24));
    sized(t.corr2, nhwc(256, 256, 16));
    sized(t.refined, 3 * kPlane);
    sized(t.tileIn, nhwc(kTileH, kTileW, 8));
    sized(t.tileA, nhwc(kTileH, kTileW, 32));
    sized(t.tileB, nhwc(kTileH, kTileW, 32));
    sized(t.tile3, nhwc(kTileH, kTileW, 8));
  }
  size_t scratchFloats = WorkerScratch::kRowFloats;
  for (const ConvLayer& L : layers_) {
    scratchFloats = std::max(scratchFloats, conv::convScratchFloats(L.geom));
    if (L.useWino) scratchFloats = std::max(scratchFloats, conv::winoScratchFloats(L.wgeom));
  }
  workerScratch_.resize(static_cast<size_t>(pool_.size()));
  for (WorkerScratch& w : workerScratch_) sized(w.f, scratchFloats);
  up2_8_ = LinTab(8, 16);
  up2_16_ = LinTab(16, 32);
  up2_32_ = LinTab(32, 64);
  up8_64_ = LinTab(64, 512);
  up2_256_ = LinTab(256, 512);
  if (const auto dir = env::text("VESK_CONV_DUMP")) dumpDir_ = *dir;
}

void Engine::conv(Layer l, int n, Half Scratch::*in, Half Scratch::*out) {
  const ConvLayer& L = layers_[static_cast<size_t>(l)];
  if (L.useWino) {
    // A job reads all the transformed weights once per chunk, so a small layer is cut into no more
    // jobs than keep every worker busy or than it has chunks.
    const int tiles = (L.H / 4) * (L.W / 4);
    const int maxJobs = std::max((pool_.size() + n - 1) / n, tiles / conv::winoChunk(L.wgeom));
    rows(
        n, L.H / 4,
        [&](int f, int ty0, int ty1, int worker) {
          Scratch& t = slots_[static_cast<size_t>(f)];
          conv::winoRows(L.wgeom, (t.*in).data(), (t.*out).data(), ty0, ty1,
                         workerScratch_[static_cast<size_t>(worker)].f.data());
        },
        maxJobs);
    return;
  }
  const conv::ConvGeom& g = L.geom;
  rows(n, g.H, [&](int f, int y0, int y1, int worker) {
    Scratch& t = slots_[static_cast<size_t>(f)];
    conv::convRows(g, (t.*in).data(), (t.*out).data(), y0, y1, workerScratch_[static_cast<size_t>(worker)].f.data());
  });
}

// 2 x 2 average pooling of an NHWC fp16 map.
void pool2(const uint16_t* in, int H, int W, int C, uint16_t* out, int y0, int y1) {
  const int w = W / 2;
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < w; ++x) {
      const uint16_t* a = in + (static_cast<size_t>(2 * y) * W + 2 * x) * C;
      const uint16_t* b = a + static_cast<size_t>(W) * C;
      uint16_t* o = out + (static_cast<size_t>(y) * w + x) * C;
      for (int c = 0; c < C; ++c)
        o[c] = half::fromFloat(
            (half::toFloat(a[c]) + half::toFloat(a[C + c]) + half::toFloat(b[c]) + half::toFloat(b[C + c])) * 0.25f);
    }
  (void)H;
}

inline float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

void Engine::render(const uint16_t* const* pooled64, const uint16_t* const* P, const float* kp_source,
                    const float* kp_driving, int n, float* out) {
  if (n < 1 || n > batch_) throw std::runtime_error("vesk_conv: bad n");
  const auto slot = [&](int f) -> Scratch& { return slots_[static_cast<size_t>(f)]; };

  // Phase A: the encoder-decoder on the pooled features and the driving keypoints' heatmaps.
  rows(n, 32, [&](int f, int y0, int y1, int) {
    Scratch& t = slot(f);
    const uint16_t* pooled = pooled64[f];
    const float* kd = kp_driving + static_cast<size_t>(f) * kKpLen;
    for (int y = y0; y < y1; ++y)
      for (int x = 0; x < 32; ++x) {
        const size_t px = static_cast<size_t>(y) * 32 + static_cast<size_t>(x);
        uint16_t* o = t.preIn.data() + px * 88;
        for (int c = 0; c < 64; ++c) o[c] = pooled[static_cast<size_t>(c) * 1024 + px];
        const float gx = grid32_[2 * px], gy = grid32_[2 * px + 1];
        for (int k = 0; k < kKp; ++k) {
          const float dx = gx - kd[3 * k], dy = gy - kd[3 * k + 1];
          o[64 + k] = half::fromFloat(std::exp((dx * dx + dy * dy) * kHeatCoef));
        }
        o[85] = o[86] = o[87] = 0;
      }
  });
  conv(kPre, n, &Scratch::preIn, &Scratch::pre);
  if (dumping()) dumpNhwc("pre_relu", n, &Scratch::pre, 32, 32, 96, 0, 96);
  conv(kE0, n, &Scratch::pre, &Scratch::e0);
  if (dumping()) dumpNhwc("e0_relu", n, &Scratch::e0, 32, 32, 96, 0, 96);
  rows(n, 16, [&](int f, int y0, int y1, int) { pool2(slot(f).e0.data(), 32, 32, 96, slot(f).p0.data(), y0, y1); });
  conv(kE1, n, &Scratch::p0, &Scratch::e1);
  if (dumping()) dumpNhwc("e1_relu", n, &Scratch::e1, 16, 16, 144, 0, 144);
  rows(n, 8, [&](int f, int y0, int y1, int) { pool2(slot(f).e1.data(), 16, 16, 144, slot(f).p1.data(), y0, y1); });
  conv(kE2, n, &Scratch::p1, &Scratch::e2);
  if (dumping()) dumpNhwc("e2_relu", n, &Scratch::e2, 8, 8, 192, 0, 192);
  rows(n, 16, [&](int f, int y0, int y1, int w) {
    Scratch& t = slot(f);
    upsampleNhwc(t.e2.data(), 8, 192, 192, up2_8_, up2_8_, t.d1In.data(), 16, 0, 336, y0, y1,
                 workerScratch_[static_cast<size_t>(w)]);
    for (int p = y0 * 16; p < y1 * 16; ++p)
      std::memcpy(t.d1In.data() + static_cast<size_t>(p) * 336 + 192, t.e1.data() + static_cast<size_t>(p) * 144,
                  144 * sizeof(uint16_t));
  });
  conv(kD1, n, &Scratch::d1In, &Scratch::d1);
  if (dumping()) dumpNhwc("d1_relu", n, &Scratch::d1, 16, 16, 144, 0, 144);
  rows(n, 32, [&](int f, int y0, int y1, int w) {
    Scratch& t = slot(f);
    upsampleNhwc(t.d1.data(), 16, 144, 144, up2_16_, up2_16_, t.d0In.data(), 32, 0, 240, y0, y1,
                 workerScratch_[static_cast<size_t>(w)]);
    for (int p = y0 * 32; p < y1 * 32; ++p)
      std::memcpy(t.d0In.data() + static_cast<size_t>(p) * 240 + 144, t.e0.data() + static_cast<size_t>(p) * 96,
                  96 * sizeof(uint16_t));
  });
  conv(kD0, n, &Scratch::d0In, &Scratch::d0);
  if (dumping()) dumpNhwc("d0_relu", n, &Scratch::d0, 32, 32, 96, 0, 96);
  rows(n, 64, [&](int f, int y0, int y1, int w) {
    Scratch& t = slot(f);
    upsampleNhwc(t.d0.data(), 32, 96, 96, up2_32_, up2_32_, t.refIn.data(), 64, 0, 96, y0, y1,
                 workerScratch_[static_cast<size_t>(w)]);
  });
  conv(kRef, n, &Scratch::refIn, &Scratch::ref);
  if (dumping()) dumpNhwc("ref_relu", n, &Scratch::ref, 64, 64, 48, 0, 48);
  conv(kMaskOcc, n, &Scratch::ref, &Scratch::maskocc);
  if (dumping()) dumpNhwc("mask_conv", n, &Scratch::maskocc, 64, 64, 24, 0, 22);

  // The occlusion, the grid (softmax over the 22 logits, background offset 0) and the MLP inputs.
  rows(n, 64, [&](int f, int y0, int y1, int) {
    Scratch& t = slot(f);
    const float* kd = kp_driving + static_cast<size_t>(f) * kKpLen;
    const float* ks = kp_source + static_cast<size_t>(f) * kKpLen;
    float offX[kKp + 1], offY[kKp + 1], e[kKp + 1];
    offX[0] = offY[0] = 0.0f;
    for (int k = 0; k < kKp; ++k) {
      offX[k + 1] = (ks[3 * k] - kd[3 * k]) * kKpToGs;
      offY[k + 1] = (ks[3 * k + 1] - kd[3 * k + 1]) * kKpToGs;
    }
    for (int p = y0 * 64; p < y1 * 64; ++p) {
      const uint16_t* lg = t.maskocc.data() + static_cast<size_t>(p) * 24;
      t.occ[static_cast<size_t>(p)] = sigmoid(half::toFloat(lg[22]));
      float mx = -INFINITY;
      for (int k = 0; k <= kKp; ++k) {
        e[k] = half::toFloat(lg[k]);
        mx = std::max(mx, e[k]);
      }
      float sum = 0.0f;
      for (int k = 0; k <= kKp; ++k) {
        e[k] = std::exp(e[k] - mx);
        sum += e[k];
      }
      float dx = 0.0f, dy = 0.0f;
      for (int k = 0; k <= kKp; ++k) {
        const float m = e[k] / sum;
        dx += m * offX[k];
        dy += m * offY[k];
      }
      t.grid[2 * static_cast<size_t>(p)] = dx + grid64_[2 * static_cast<size_t>(p)];
      t.grid[2 * static_cast<size_t>(p) + 1] = dy + grid64_[2 * static_cast<size_t>(p) + 1];
    }
  });
  for (int f = 0; f < n; ++f) {
    Scratch& t = slot(f);
    const float* kd = kp_driving + static_cast<size_t>(f) * kKpLen;
    const float* ks = kp_source + static_cast<size_t>(f) * kKpLen;
    for (size_t i = 0; i < kKpLen; ++i) t.mlpIn[i] = kd[i] - ks[i];
    for (int c = 0; c < 192; ++c) {
      float s = 0.0f;
      for (int p = 0; p < 64; ++p) s += half::toFloat(t.e2[static_cast<size_t>(p) * 192 + static_cast<size_t>(c)]);
      t.mlpIn[kKpLen + static_cast<size_t>(c)] = s / 64.0f;
    }
    float h[kMlpHidden];
    for (int o = 0; o < kMlpHidden; ++o) {
      float s = 0.0f;
      for (int i = 0; i < kMlpIn; ++i)
        s += mlp0W_[static_cast<size_t>(o) * kMlpIn + i] * t.mlpIn[static_cast<size_t>(i)];
      h[o] = std::max(0.0f, s + mlp0B_[static_cast<size_t>(o)]);
    }
    for (int o = 0; o < kCoef; ++o) {
      float s = 0.0f;
      for (int i = 0; i < kMlpHidden; ++i) s += mlp2W_[static_cast<size_t>(o) * kMlpHidden + i] * h[i];
      coef_[static_cast<size_t>(f) * kCoef + o] = s + mlp2B_[static_cast<size_t>(o)];
    }
  }
  if (dumping()) {
    std::vector<const float*> occ, grid;
    for (int f = 0; f < n; ++f) {
      occ.push_back(slot(f).occ.data());
      grid.push_back(slot(f).grid.data());
    }
    dumpFloats("occ_sig", occ.data(), n, 64 * 64);
    dumpFloats("grid_add", grid.data(), n, 64 * 64 * 2);
  }

  // The basis product for all frames at once, one read of the basis.
  {
    auto job = [&](int j, int) {
      const size_t c0 = static_cast<size_t>(j) * kBasisChunk;
      conv::basisColumns(coef_.data(), n, basis_.data(), kBasisCols, c0, std::min(kBasisCols, c0 + kBasisChunk),
                         basisImg_.data());
    };
    pool_.run(static_cast<int>((kBasisCols + kBasisChunk - 1) / kBasisChunk), job);
  }
  if (dumping()) {
    std::vector<const float*> b;
    for (int f = 0; f < n; ++f) b.push_back(basisImg_.data() + static_cast<size_t>(f) * kBasisCols);
    dumpFloats("basisimg", b.data(), n, kBasisCols);
  }

  // Phase B. occ512 and the warp: the grid brought up to 512, the prior sampled there.
  rows(n, kCrop, [&](int f, int y0, int y1, int w) {
    Scratch& t = slot(f);
    const uint16_t* p = P[f];
    const LinTab& T = up8_64_;
    WorkerScratch& rs = workerScratch_[static_cast<size_t>(w)];
    float* vo = rs.f.data();  // the 64-wide rows mixed vertically: occlusion, grid x, grid y
    float* vgx = vo + 64;
    float* vgy = vgx + 64;
    for (int y = y0; y < y1; ++y) {
      const size_t Y = static_cast<size_t>(y);
      const size_t ra = static_cast<size_t>(T.i0[Y]) * 64, rb = static_cast<size_t>(T.i1[Y]) * 64;
      const float wy0 = T.w0[Y], wy1 = T.w1[Y];
      for (size_t j = 0; j < 64; ++j) {
        vo[j] = wy0 * t.occ[ra + j] + wy1 * t.occ[rb + j];
        vgx[j] = wy0 * t.grid[2 * (ra + j)] + wy1 * t.grid[2 * (rb + j)];
        vgy[j] = wy0 * t.grid[2 * (ra + j) + 1] + wy1 * t.grid[2 * (rb + j) + 1];
      }
      conv::warpRow(vo, vgx, vgy, T.i0.data(), T.i1.data(), T.w0.data(), T.w1.data(), p, kPlane,
                    t.occ512.data() + Y * kCrop, t.warped.data() + Y * kCrop);
    }
  });
  if (dumping()) {
    dumpPlanar("occ512", n, &Scratch::occ512, kPlane);
    dumpPlanar("warped", n, &Scratch::warped, 3 * kPlane);
  }

  // The correction network's input: 2 x 2 means of the warp and occ512, then the basis image.
  rows(n, 256, [&](int f, int y0, int y1, int w) {
    Scratch& t = slot(f);
    const float* bi = basisImg_.data() + static_cast<size_t>(f) * kBasisCols;
    WorkerScratch& rs = workerScratch_[static_cast<size_t>(w)];
    float* src = rs.f.data();  // rows 2y and 2y + 1 of the three warped planes and occ512
    float* px = src + 8 * kCrop;
    for (int y = y0; y < y1; ++y) {
      const size_t q = static_cast<size_t>(2 * y) * kCrop;
      for (size_t c = 0; c < 4; ++c) {
        const uint16_t* pl = c < 3 ? t.warped.data() + c * kPlane : t.occ512.data();
        simd::f16ToF32(pl + q, src + 2 * c * kCrop, 2 * static_cast<size_t>(kCrop));
      }
      for (size_t x = 0; x < 256; ++x) {
        float* o = px + x * 8;
        for (size_t c = 0; c < 4; ++c) {
          const float* r = src + 2 * c * kCrop + 2 * x;
          o[c] = (r[0] + r[1] + r[kCrop] + r[kCrop + 1]) * 0.25f;
        }
        for (size_t c = 0; c < 3; ++c) o[4 + c] = bi[c * 65536 + static_cast<size_t>(y) * 256 + x];
        o[7] = 0.0f;
      }
      simd::f32ToF16(px, t.corrIn.data() + static_cast<size_t>(y) * 256 * 8, 256 * 8);
    }
  });
  conv(kCorr0, n, &Scratch::corrIn, &Scratch::corr0);
  if (dumping()) dumpNhwc("corr0_relu", n, &Scratch::corr0, 256, 256, 24, 0, 24);
  conv(kCorr1, n, &Scratch::corr0, &Scratch::corr1);
  if (dumping()) dumpNhwc("corr1_relu", n, &Scratch::corr1, 256, 256, 24, 0, 24);
  conv(kCorr2, n, &Scratch::corr1, &Scratch::corr2);
  if (dumping()) dumpNhwc("corr2_conv", n, &Scratch::corr2, 256, 256, 16, 0, 12);

  // refined = warped x occ512 + up2(basis image) + the correction, depth to space (CRD).
  rows(n, kCrop, [&](int f, int y0, int y1, int w) {
    Scratch& t = slot(f);
    const float* bi = basisImg_.data() + static_cast<size_t>(f) * kBasisCols;
    const LinTab& T = up2_256_;
    WorkerScratch& rs = workerScratch_[static_cast<size_t>(w)];
    float* corr = rs.f.data();  // correction row y / 2, 256 pixels of 16 channels
    float* occ = corr + 256 * 16;
    float* warp = occ + kCrop;
    float* v = warp + kCrop;  // the basis rows mixed vertically
    float* res = v + 256;
    for (int y = y0; y < y1; ++y) {
      const size_t Y = static_cast<size_t>(y);
      simd::f16ToF32(t.corr2.data() + static_cast<size_t>(y / 2) * 256 * 16, corr, 256 * 16);
      simd::f16ToF32(t.occ512.data() + Y * kCrop, occ, kCrop);
      const float wy0 = T.w0[Y], wy1 = T.w1[Y];
      for (size_t c = 0; c < 3; ++c) {
        const float* pl = bi + c * 65536;
        const float* r0 = pl + static_cast<size_t>(T.i0[Y]) * 256;
        const float* r1 = pl + static_cast<size_t>(T.i1[Y]) * 256;
        for (size_t j = 0; j < 256; ++j) v[j] = wy0 * r0[j] + wy1 * r1[j];
        simd::f16ToF32(t.warped.data() + c * kPlane + Y * kCrop, warp, kCrop);
        const float* cr = corr + 4 * c + 2 * static_cast<size_t>(y & 1);
        for (size_t X = 0; X < static_cast<size_t>(kCrop); ++X) {
          const float up = T.w0[X] * v[T.i0[X]] + T.w1[X] * v[T.i1[X]];
          res[X] = warp[X] * occ[X] + up + cr[(X / 2) * 16 + (X & 1)];
        }
        simd::f32ToF16(res, t.refined.data() + c * kPlane + Y * kCrop, kCrop);
      }
    }
  });
  if (dumping()) dumpPlanar("refined", n, &Scratch::refined, 3 * kPlane);

  // The tile network on the mouth window.
  rows(n, kTileH, [&](int f, int y0, int y1, int) {
    Scratch& t = slot(f);
    for (int y = y0; y < y1; ++y)
      for (int x = 0; x < kTileW; ++x) {
        const size_t q = static_cast<size_t>(y + kTileY) * kCrop + static_cast<size_t>(x + kTileX);
        uint16_t* o = t.tileIn.data() + (static_cast<size_t>(y) * kTileW + static_cast<size_t>(x)) * 8;
        for (int c = 0; c < 3; ++c) {
          o[c] = t.refined[static_cast<size_t>(c) * kPlane + q];
          o[3 + c] = t.warped[static_cast<size_t>(c) * kPlane + q];
        }
        o[6] = t.occ512[q];
        o[7] = 0;
      }
  });
  conv(kTile0, n, &Scratch::tileIn, &Scratch::tileA);
  conv(kTile1, n, &Scratch::tileA, &Scratch::tileB);
  conv(kTile2, n, &Scratch::tileB, &Scratch::tileA);
  if (dumping()) dumpNhwc("tile2_relu", n, &Scratch::tileA, kTileH, kTileW, 32, 0, 32);
  conv(kTile3, n, &Scratch::tileA, &Scratch::tile3);
  if (dumping()) dumpNhwc("tile3_conv", n, &Scratch::tile3, kTileH, kTileW, 8, 0, 3);

  // rgb: refined, plus the feathered tile inside its window.
  rows(n, kCrop, [&](int f, int y0, int y1, int) {
    Scratch& t = slot(f);
    float* o = out + static_cast<size_t>(f) * 3 * kPlane;
    for (int c = 0; c < 3; ++c)
      for (int y = y0; y < y1; ++y) {
        const size_t row = static_cast<size_t>(c) * kPlane + static_cast<size_t>(y) * kCrop;
        simd::f16ToF32(t.refined.data() + row, o + row, kCrop);
        const int ty = y - kTileY;
        if (ty < 0 || ty >= kTileH) continue;
        const uint16_t* tr = t.tile3.data() + static_cast<size_t>(ty) * kTileW * 8;
        const float* fr = feather_.data() + static_cast<size_t>(ty) * kTileW;
        for (int x = 0; x < kTileW; ++x)
          o[row + static_cast<size_t>(kTileX + x)] += half::toFloat(tr[static_cast<size_t>(x) * 8 + c]) * fr[x];
      }
  });
  if (dumping()) {
    std::vector<const float*> rgb;
    for (int f = 0; f < n; ++f) rgb.push_back(out + static_cast<size_t>(f) * 3 * kPlane);
    dumpFloats("rgb", rgb.data(), n, 3 * kPlane);
  }
}

// --- Dumps: the graph's layout (planar), n frames one after another, little-endian float32 ------

void writeDump(const std::string& path, const std::vector<float>& v) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("vesk_conv: cannot write " + path);
  const size_t w = std::fwrite(v.data(), sizeof(float), v.size(), f);
  std::fclose(f);
  if (w != v.size()) throw std::runtime_error("vesk_conv: cannot write " + path);
}

void Engine::dumpNhwc(const char* stage, int n, Half Scratch::*buf, int H, int W, int stride, int c0, int c) {
  const size_t hw = static_cast<size_t>(H) * W;
  std::vector<float> v(static_cast<size_t>(n) * c * hw);
  for (int f = 0; f < n; ++f) {
    const Half& b = slots_[static_cast<size_t>(f)].*buf;
    for (int ch = 0; ch < c; ++ch)
      for (size_t p = 0; p < hw; ++p)
        v[(static_cast<size_t>(f) * c + ch) * hw + p] = half::toFloat(b[p * stride + static_cast<size_t>(c0 + ch)]);
  }
  writeDump(dumpDir_ + "/" + stage + ".f32", v);
}

void Engine::dumpFloats(const char* stage, const float* const* frames, int n, size_t len) {
  std::vector<float> v;
  for (int f = 0; f < n; ++f) v.insert(v.end(), frames[f], frames[f] + len);
  writeDump(dumpDir_ + "/" + stage + ".f32", v);
}

void Engine::dumpPlanar(const char* stage, int n, Half Scratch::*buf, size_t len) {
  std::vector<float> v(static_cast<size_t>(n) * len);
  for (int f = 0; f < n; ++f)
    simd::f16ToF32((slots_[static_cast<size_t>(f)].*buf).data(), v.data() + static_cast<size_t>(f) * len, len);
  writeDump(dumpDir_ + "/" + stage + ".f32", v);
}

}  // namespace

ConvBackend::~ConvBackend() = default;

bool ConvBackend::available() {
  // Targets that widen and narrow halves in hardware: F16C on x86 (AVX2 and up), every 64-bit Arm
  // target.
  constexpr int64_t kNative =
      HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL | HWY_NEON | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128;
  return (hwy::SupportedTargets() & kNative) != 0;
}

bool ConvBackend::graphSupported(const std::string& model_path) {
  try {
    const OnnxModel m = loadOnnx(model_path);
    M4b s;
    return m4bResolve(m, s).empty();
  } catch (const std::exception&) {
    return false;
  }
}

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string& model_path, int threads) {
  if (!available()) throw std::runtime_error("vesk_conv: fp16 NEON not supported on this CPU");
  return std::make_unique<Engine>(model_path, threads);
}

}  // namespace vesk
