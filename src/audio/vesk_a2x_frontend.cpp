#include "audio/vesk_a2x_frontend.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "bundle/vesk_imx.h"
#include "core/vesk_half.h"
#include "core/vesk_pool.h"
#include "core/vesk_simd.h"
#include "core/vesk_file.h"
#include "core/vesk_env.h"
#include "core/vesk_ort.h"

namespace vesk {
namespace {

bool cudaEnabled() { return env::flag("VESK_A2X_CUDA"); }

long long fileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Everything process-wide lives on the heap and is never destroyed: the owner thread is detached
// and may still wait on its condition variable while static destructors run, and ONNX Runtime must
// not see its sessions torn down after its own globals at exit.
struct Owner {
  std::mutex callers;  // one caller at a time
  std::mutex mu;
  std::condition_variable cv;
  const std::function<void()>* job = nullptr;
  std::exception_ptr error;
  bool done = false;
  bool started = false;
};

Owner& owner() {
  static Owner* o = new Owner;
  return *o;
}

thread_local bool tIsOwner = false;

void ownerLoop(Owner* o) {
  tIsOwner = true;
  std::unique_lock<std::mutex> lk(o->mu);
  for (;;) {
    o->cv.wait(lk, [o] { return o->job != nullptr; });
    try {
      (*o->job)();
    } catch (...) {
      o->error = std::current_exception();
    }
    o->job = nullptr;
    o->done = true;
    o->cv.notify_all();
  }
}

struct SharedW2v8 {
  std::mutex mu;
  std::unique_ptr<Ort::SessionOptions> options;
  std::unique_ptr<Ort::Session> session;
  std::string path;
};

SharedW2v8& shared8() {
  static SharedW2v8* s = new SharedW2v8;
  return *s;
}

struct SharedWin {
  std::mutex mu;
  std::unique_ptr<Ort::SessionOptions> options;
  std::unique_ptr<Ort::Session> trunk, head;
  std::string trunkOut;
  std::atomic<int> lt{0};
  bool tried = false;
  std::atomic<bool> serves{false};
};

SharedWin& sharedWin() {
  static SharedWin* s = new SharedWin;
  return *s;
}

const Ort::MemoryInfo& cpuMemory() {
  static const Ort::MemoryInfo* m = new Ort::MemoryInfo(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault));
  return *m;
}

std::atomic<bool> gRunClockOn{false};
std::atomic<int64_t> gRunClockNanos{0};

int64_t nowNanos() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void setRunClock(bool on) {
  gRunClockNanos = 0;
  gRunClockOn = on;
}

int64_t runClockNanos() { return gRunClockNanos.load(); }

RunTimer::RunTimer() : start_(gRunClockOn.load(std::memory_order_relaxed) ? nowNanos() : -1) {}

RunTimer::~RunTimer() {
  if (start_ >= 0) gRunClockNanos.fetch_add(nowNanos() - start_, std::memory_order_relaxed);
}

void vesk_a2x_on_owner_thread(const std::function<void()>& job) {
  if (!cudaEnabled() || tIsOwner) {
    job();
    return;
  }
  Owner& o = owner();
  std::lock_guard<std::mutex> one(o.callers);
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lk(o.mu);
    if (!o.started) {
      std::thread(ownerLoop, &o).detach();
      o.started = true;
    }
    o.job = &job;
    o.error = nullptr;
    o.done = false;
    o.cv.notify_all();
    o.cv.wait(lk, [&o] { return o.done; });
    error = o.error;
    o.error = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

Ort::Session vesk_a2x_open_session(const std::string& path, Ort::SessionOptions& options) {
  try {
    return Ort::Session(ort::env(), path.c_str(), options);
  } catch (const std::exception& e) {
    const std::string text = e.what();
    if (text.find("Gelu") == std::string::npos || text.find("float16") == std::string::npos) throw;
    std::fprintf(stderr,
                 "[vesk_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime "
                 "has no CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
                 path.c_str());
  }
  options.SetGraphOptimizationLevel(ORT_ENABLE_BASIC);
  return Ort::Session(ort::env(), path.c_str(), options);
}

void vesk_a2x_maybe_cuda(Ort::SessionOptions& options, const char* tag) {
  if (!cudaEnabled() || std::strcmp(tag, "w2v") != 0) return;
  size_t mib = 3072;
  if (const auto n = env::leadingInteger("VESK_A2X_CUDA_MEM_MIB"); n && *n > 0) mib = static_cast<size_t>(*n);
  try {
    const OrtApi& api = Ort::GetApi();
    OrtCUDAProviderOptionsV2* cuda = nullptr;
    Ort::ThrowOnError(api.CreateCUDAProviderOptions(&cuda));
    std::unique_ptr<OrtCUDAProviderOptionsV2, void (*)(OrtCUDAProviderOptionsV2*)> guard(
        cuda, [](OrtCUDAProviderOptionsV2* p) { Ort::GetApi().ReleaseCUDAProviderOptions(p); });
    const std::string limit = std::to_string(static_cast<unsigned long long>(mib) * 1048576ull);
    const char* keys[] = {"device_id", "arena_extend_strategy", "gpu_mem_limit", "cudnn_conv_use_max_workspace",
                          "use_tf32", "use_ep_level_unified_stream"};
    const char* values[] = {"0", "kSameAsRequested", limit.c_str(), "0", "0", "1"};
    Ort::ThrowOnError(api.UpdateCUDAProviderOptions(cuda, keys, values, 6));
    options.AppendExecutionProvider_CUDA_V2(*cuda);
    std::fprintf(stderr, "[vesk_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag, mib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[vesk_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
}

Ort::SessionOptions a2xSessionOptions(int intraThreads) {
  // Spinning stays off whatever VESK_ORT_SPIN says: these sessions run beside the director.
  ort::SessionConfig config;
  config.threads = intraThreads;
  return ort::sessionOptions(config);
}

Ort::Session* get_shared_w2v(const std::string& path, int threads, std::string* why) {
  SharedW2v8& s = shared8();
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.session) return s.session.get();
  try {
    s.options = std::make_unique<Ort::SessionOptions>(a2xSessionOptions(threads < 1 ? pool::threads() : threads));
    vesk_a2x_maybe_cuda(*s.options, "w2v");
    std::unique_ptr<Ort::Session> session;
    vesk_a2x_on_owner_thread(
        [&] { session = std::make_unique<Ort::Session>(vesk_a2x_open_session(path, *s.options)); });
    s.session = std::move(session);
    s.path = path;
  } catch (const std::exception& e) {
    if (why != nullptr) *why = e.what();
    return nullptr;
  }
  return s.session.get();
}

bool get_shared_w2v_win(int threads, const std::string& w2vPath) {
  SharedWin& s = sharedWin();
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.trunk && s.head) return true;
  if (s.tried) return false;
  s.tried = true;

  std::string trunkPath, headPath;
  const auto et = env::text("VESK_A2X_W2V_WIN_ONNX");
  const auto eh = env::text("VESK_A2X_W2V_HEAD_ONNX");
  if (et && eh) {
    trunkPath = *et;
    headPath = *eh;
  } else {
    const size_t slash = w2vPath.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : w2vPath.substr(0, slash + 1);
    const char* pairs[][2] = {{"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
                              {"w2v_trunk32.onnx", "w2v_head32.onnx"}};
    for (const auto& p : pairs) {
      if (canOpenForReading(dir + p[0]) && canOpenForReading(dir + p[1])) {
        trunkPath = dir + p[0];
        headPath = dir + p[1];
        break;
      }
    }
    if (trunkPath.empty()) {
      std::fprintf(stderr,
                   "[vesk_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                   "VESK_A2X_W2V_WIN_ONNX/VESK_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
                   "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving "
                   "the LEGACY 8s window \xe2\x80\x94 same reference quality, 2.8-3.9x the audio hop cost. Ship the "
                   "pair beside the encoder (tools/export_w2v_window.py).\n",
                   w2vPath.c_str());
      return false;
    }
  }

  try {
    s.options = std::make_unique<Ort::SessionOptions>(a2xSessionOptions(threads < 1 ? pool::threads() : threads));
    vesk_a2x_maybe_cuda(*s.options, "w2v");
    std::unique_ptr<Ort::Session> trunk, head;
    std::string outName;
    int lt = 0;
    vesk_a2x_on_owner_thread([&] {
      trunk = std::make_unique<Ort::Session>(vesk_a2x_open_session(trunkPath, *s.options));
      head = std::make_unique<Ort::Session>(vesk_a2x_open_session(headPath, *s.options));
      if (trunk->GetOutputCount() < 1) throw std::runtime_error("trunk declares no output");
      Ort::AllocatorWithDefaultOptions alloc;
      outName = trunk->GetOutputNameAllocated(0, alloc).get();
      const std::vector<int64_t> shape = trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
      if (shape.size() == 3 && shape[2] > 0) lt = static_cast<int>(shape[2]);
    });
    s.trunk = std::move(trunk);
    s.head = std::move(head);
    s.trunkOut = outName;
    s.lt = lt;
    const std::string ltText = lt > 0 ? std::to_string(lt) : std::string("from-first-run");
    std::fprintf(stderr, "[vesk_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
                 ltText.c_str(), trunkPath.c_str(), fileSize(trunkPath), headPath.c_str(), fileSize(headPath));
    s.serves = true;
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[vesk_a2x] short-window w2v load FAILED (%s) \xe2\x80\x94 legacy 8s path\n", e.what());
    s.trunk.reset();
    s.head.reset();
    return false;
  }
}

int shortWindowTrunkLength() { return sharedWin().lt.load(); }

Ort::Value runShortWindowTrunk(const float* window, int& lt) {
  SharedWin& s = sharedWin();
  if (!s.serves) throw std::runtime_error("the short-window w2v frontend is not loaded");
  Ort::Value out{nullptr};
  vesk_a2x_on_owner_thread([&] {
    const int64_t shape[2] = {1, kWinSamples};
    Ort::Value in = Ort::Value::CreateTensor<float>(cpuMemory(), const_cast<float*>(window), kWinSamples, shape, 2);
    const char* inName = "input_values";
    const char* outName = s.trunkOut.c_str();
    std::vector<Ort::Value> r;
    {
      RunTimer timer;
      r = s.trunk->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    }
    const Ort::TensorTypeAndShapeInfo info = r[0].GetTensorTypeAndShapeInfo();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16)
      throw std::runtime_error("w2v_win: trunk output is not float16");
    const std::vector<int64_t> os = info.GetShape();
    if (os.size() != 3 || os[0] != 1 || os[1] != kTrunkChannels || os[2] < 1)
      throw std::runtime_error("w2v_win: trunk output is not [1, 640, LT]");
    const int got = static_cast<int>(os[2]);
    int expected = 0;
    if (!s.lt.compare_exchange_strong(expected, got) && expected != got)
      throw std::runtime_error("w2v_win: trunk length changed between runs");
    out = std::move(r[0]);
    lt = got;
  });
  return out;
}

void runShortWindowHead(const float* x, float* emb) {
  SharedWin& s = sharedWin();
  if (!s.serves) throw std::runtime_error("the short-window w2v frontend is not loaded");
  vesk_a2x_on_owner_thread([&] {
    const int64_t inShape[2] = {kHeadFrames, kTrunkChannels};
    const int64_t outShape[3] = {kHeadFrames, kW2vLayers, kW2vChannels};
    Ort::Value in = Ort::Value::CreateTensor<float>(cpuMemory(), const_cast<float*>(x),
                                                    static_cast<size_t>(kHeadFrames) * kTrunkChannels, inShape, 2);
    Ort::Value out = Ort::Value::CreateTensor<float>(cpuMemory(), emb, static_cast<size_t>(kHeadFrames) * kFeatSize,
                                                     outShape, 3);
    const char* inName = "x";
    const char* outName = "emb";
    RunTimer timer;
    s.head->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, &out, 1);
  });
}

Ort::Value runW2v8(Ort::Session& session, const float* window) {
  Ort::Value emb{nullptr};
  vesk_a2x_on_owner_thread([&] {
    const int64_t inShape[2] = {1, kW2v8Samples};
    Ort::Value in = Ort::Value::CreateTensor<float>(cpuMemory(), const_cast<float*>(window), kW2v8Samples, inShape, 2);
    const char* inName = "input_values";
    const char* outName = "audio_emb";
    std::vector<Ort::Value> r;
    {
      RunTimer timer;
      r = session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    }
    const Ort::TensorTypeAndShapeInfo info = r[0].GetTensorTypeAndShapeInfo();
    const size_t want = static_cast<size_t>(kW2vLayers) * kW2v8Frames * kW2vChannels;
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != want)
      throw std::runtime_error("w2v: audio_emb is not 12 x 200 x 768 floats");
    emb = std::move(r[0]);
  });
  return emb;
}

void normaliseWindow(float* x, size_t n) {
  if (n == 0) return;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += x[i];
  const double mean = sum / static_cast<double>(n);
  double var = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double d = x[i] - mean;
    var += d * d;
  }
  var /= static_cast<double>(n);
  const float scale = 1.0f / std::sqrt(static_cast<float>(var) + 1e-7f);
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>((x[i] - mean) * scale);
}

float roundFeature(float v) {
  // Below 2^-14 (the smallest normal half) the value is a zero of its own sign.
  if (std::fabs(v) < 6.103515625e-05f) return std::signbit(v) ? -0.0f : 0.0f;
  return half::round(v);
}

void roundFeatures(const float* src, float* dst, size_t n) {
  constexpr size_t kChunk = 2048;
  alignas(64) float flushed[kChunk];
  alignas(64) uint16_t halves[kChunk];
  for (size_t at = 0; at < n; at += kChunk) {
    const size_t m = std::min(kChunk, n - at);
    // Flushing first keeps the rule exact: a value just below the smallest normal half is zero,
    // even where rounding would carry it up to that normal.
    for (size_t i = 0; i < m; ++i) {
      uint32_t b = half::bitsOf(src[at + i]);
      b &= (b & 0x7FFFFFFFu) < 0x38800000u ? 0x80000000u : 0xFFFFFFFFu;  // below 2^-14: keep the sign only
      flushed[i] = half::floatOf(b);
    }
    simd::f32ToF16(flushed, halves, m);
    simd::f16ToF32(halves, dst + at, m);
  }
}

}  // namespace vesk
