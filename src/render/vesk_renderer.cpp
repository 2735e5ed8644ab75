#include "render/vesk_renderer.h"

#include <onnxruntime_cxx_api.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <vector>

#include "bundle/vesk_identity.h"
#include "render/vesk_warp_prior.h"
#include "bundle/vesk_imx.h"
#include "core/vesk_env.h"
#include "core/vesk_ort.h"
#include "core/vesk_pool.h"
#include "core/vesk_simd.h"

namespace vesk {

namespace {

constexpr size_t kPooledLen = 65536;
constexpr size_t kFsRedLen = 262144;
constexpr size_t kKpLen = kKpWidth;

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

std::vector<char> readModel(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) throw std::runtime_error("Renderer: cannot open " + path);
  const std::streamoff size = f.tellg();
  if (size < 0) throw std::runtime_error("Renderer: cannot open " + path);
  std::vector<char> bytes(static_cast<size_t>(size));
  f.seekg(0);
  f.read(bytes.data(), size);
  if (f.gcount() != size) throw std::runtime_error("Renderer: short read on " + path);
  return bytes;
}

std::string xnnpackRefusal(const std::string& ep) {
  return "Renderer: ep '" + ep +
         "' is REFUSED. This renderer rewrites its graph to Zentrova custom-domain nodes (com.zentrova::GridSampleFast, "
         "and com.zentrova::WarpDirector wherever VESK_WARP_NODE is on), and ORT's XNNPACK execution provider "
         "SEGFAULTS while partitioning a graph that carries them \xE2\x80\x94 measured 2026-09-15 on a published "
         "calvora2-android AAR, null deref inside libonnxruntime.so at session create, on both a door-served and a "
         "hand-staged copy of the same identity. It is a signal, not an exception, so it cannot be caught and "
         "reported. Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes.";
}

std::string contractRefusal(const std::string& modelPath, const std::string& input, int64_t rows) {
  const std::string k = std::to_string(kHostKpRows);
  std::string m = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + modelPath + " \xE2\x80\x94 the graph declares " +
                  input + " with " + std::to_string(rows) + " keypoint rows, and this renderer feeds " + k +
                  " (vesk::kHostKpRows, vesk/vesk.h). ";
  if (rows == 22)
    m += "That is the recipe_v4 / kd_v4 shape: row " + k +
         " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This engine has no width feed "
         "(see vesk_a2x_width / vesk_a2x_pull_wn in vesk/vesk_a2x.h, which nothing on this path calls yet), so it "
         "cannot drive this director. ";
  m += "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to a "
       "host that links this renderer: training/recipe/host_kp_contract.py is the publish gate that exists to "
       "prevent it.";
  return m;
}

const char* kNoWarpPrior =
    "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a P_hevc.mov "
    "to play in place is present, so vesk::Identity mapped NOTHING and Identity::P(si) would be an offset from a null "
    "pointer \xE2\x80\x94 a SEGFAULT on the first frame, not a refusal. REFUSING to create a session.";

// CoreML compute units for the text after "coreml" and its separator.
}  // namespace

std::string coremlCacheDir(const std::string& bundleDir) {
  std::string v = Ort::GetVersionString();
  if (v.empty()) v = "unknown";
  return bundleDir + "/.coreml_cache/ort" + v;
}

// The session state stays inside the library, although the class that holds it is exported.
struct __attribute__((visibility("hidden"))) Renderer::Impl {
  std::string epLabel;
  Ort::SessionOptions sessionOptions;
  std::optional<Ort::Session> session;
  std::optional<Ort::IoBinding> binding;
  Ort::RunOptions runOptions;
  bool profiling = false;
  double runMs = 0;
  int64_t runs = 0;
  const Identity* identity = nullptr;
  WarpPrior* prior = nullptr;
  std::unique_ptr<WarpPrior> ownPrior;
  int32_t batch = 0;
  int32_t crop = 0;
  size_t pooledLen = kPooledLen;
  size_t pLen = 0;
  size_t fsRedLen = kFsRedLen;
  bool featSynth = false;
  std::vector<float> pooled, P, fsRed;
  std::vector<float> kpDriving, kpSource;
  std::vector<float> output;
  std::vector<Ort::Value> bound;

  std::string bundleDir;
  std::string modelPath;
  int threads = 1;

  void buildSession(const std::string& ep);
  void bindAll();
};

void Renderer::Impl::buildSession(const std::string& ep) {
  session.reset();
  binding.reset();
  ort::SessionConfig config;
  config.threads = threads;
  config.spinning = ort::spinningFromEnv();
  config.kleidiaiOff = true;
  if (const auto prefix = env::text("VESK_ORT_PROFILE")) {
    config.profilePrefix = *prefix;
    profiling = true;
  }
  const bool coreml = startsWith(ep, "coreml");
  if (!ep.empty()) {
    if (startsWith(ep, "xnnpack")) throw std::runtime_error(xnnpackRefusal(ep));
    if (!coreml) throw std::runtime_error("Renderer: unknown ep '" + ep + "'");
    config.coremlUnits = ep.size() > 7 ? ep.substr(7) : std::string("all");
    config.coremlCacheDir = coremlCacheDir(bundleDir);
  }
  sessionOptions = ort::sessionOptions(config);

  // Read here rather than by the runtime, so a missing or short model is refused with its path.
  const std::vector<char> bytes = readModel(modelPath);
  session.emplace(ort::env(), bytes.data(), bytes.size(), sessionOptions);

  epLabel = ep.empty() ? "cpu" : ep;
  std::fprintf(stderr, "[vesk] director ep=%s (%s)\n", epLabel.c_str(),
               coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph" : "ORT CPU EP");
}

void Renderer::Impl::bindAll() {
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t nIn = session->GetInputCount();
  std::vector<std::string> names;
  std::vector<std::vector<int64_t>> shapes;
  for (size_t i = 0; i < nIn; ++i) {
    names.emplace_back(session->GetInputNameAllocated(i, alloc).get());
    const Ort::TypeInfo ti = session->GetInputTypeInfo(i);
    shapes.push_back(ti.GetONNXType() == ONNX_TYPE_TENSOR ? ti.GetTensorTypeAndShapeInfo().GetShape()
                                                          : std::vector<int64_t>{});
    if (names.back() == "fs_red") featSynth = true;
  }
  const std::string pooledName = featSynth ? "pooled" : "pooled64";
  const std::string kdName = featSynth ? "kd" : "kp_driving";
  const std::string ksName = featSynth ? "ks" : "kp_source";
  batch = 0;
  for (size_t i = 0; i < nIn; ++i)
    if (names[i] == pooledName && shapes[i].size() == 4 && shapes[i][0] > 0) batch = static_cast<int32_t>(shapes[i][0]);
  if (batch < 1) throw std::runtime_error(pooledName + " input not found / bad shape");
  for (size_t i = 0; i < nIn; ++i) {
    if ((names[i] != kdName && names[i] != ksName) || shapes[i].size() != 3) continue;
    const int64_t rows = shapes[i][1];
    if (rows >= 1 && rows != kHostKpRows) throw std::runtime_error(contractRefusal(modelPath, names[i], rows));
  }

  const size_t b = static_cast<size_t>(batch);
  const size_t c2 = static_cast<size_t>(crop) * static_cast<size_t>(crop);
  pooled.assign(b * pooledLen, 0.f);
  kpDriving.assign(b * kKpLen, 0.f);
  kpSource.assign(b * kKpLen, 0.f);
  output.assign(b * 3 * c2, 0.f);
  if (featSynth) {
    if (!identity->hasFsRed()) throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
    fsRed.assign(b * fsRedLen, 0.f);
  } else {
    if (!prior->present()) throw std::runtime_error(kNoWarpPrior);
    pLen = 3 * c2;
    P.assign(b * pLen, 0.f);
  }

  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  binding.emplace(*session);
  bound.clear();
  const int64_t B = batch, C = crop;
  auto bindIn = [&](const std::string& name, std::vector<float>& buf, std::vector<int64_t> shape) {
    bound.push_back(Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    binding->BindInput(name.c_str(), bound.back());
  };
  if (featSynth) {
    bindIn("fs_red", fsRed, {B, 64, 64, 64});
    bindIn("pooled", pooled, {B, 64, 32, 32});
  } else {
    bindIn("pooled64", pooled, {B, 64, 32, 32});
    bindIn("P_rgb", P, {B, 3, C, C});
  }
  bindIn(kdName, kpDriving, {B, kHostKpRows, 3});
  bindIn(ksName, kpSource, {B, kHostKpRows, 3});
  const std::vector<int64_t> outShape = {B, 3, C, C};
  bound.push_back(Ort::Value::CreateTensor<float>(mem, output.data(), output.size(), outShape.data(), outShape.size()));
  binding->BindOutput("rgb", bound.back());
}

Renderer::Renderer(const Manifest& manifest, const Identity& identity, const std::string& model_key, int threads,
                   const std::string& ep, WarpPrior* prior)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.identity = &identity;
  if (prior == nullptr) {
    d.ownPrior = std::make_unique<WarpPrior>(manifest, identity);
    prior = d.ownPrior.get();
  }
  d.prior = prior;
  d.crop = manifest.crop;
  d.threads = threads < 1 ? pool::threads() : threads;
  d.bundleDir = manifest.dir;
  d.modelPath = manifest.modelPath(model_key);

  // This build carries no fp16 convolution backend: a request for it renders on the ONNX Runtime
  // CPU provider, and the host is told so rather than left to believe it got the backend.
  const bool neonRequested = ep == "neon" || (ep.empty() && env::text("VESK_CONV_BACKEND") == "neon");
  if (neonRequested)
    std::fprintf(stderr, "[vesk] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
  const std::string sessionEp = neonRequested ? std::string() : ep;

  d.runOptions.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  try {
    d.buildSession(sessionEp);
  } catch (const std::exception& e) {
    if (!startsWith(sessionEp, "coreml")) throw;
    std::fprintf(stderr, "[vesk] CoreML EP session refused: %s \xE2\x80\x94 falling back to the ORT CPU EP\n", e.what());
    d.session.reset();
    d.buildSession("");
  }
  d.bindAll();
}

Renderer::~Renderer() {
  if (!impl_) return;
  Impl& d = *impl_;
  if (d.profiling) {
    if (d.runs > 0)
      std::fprintf(stderr, "[vesk_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n", static_cast<long>(d.runs),
                   d.runMs / static_cast<double>(d.runs));
    if (d.session) {
      try {
        Ort::AllocatorWithDefaultOptions alloc;
        const Ort::AllocatedStringPtr file = d.session->EndProfilingAllocated(alloc);
        std::fprintf(stderr, "[vesk_ort_profile] %s\n", file.get());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "[vesk_ort_profile] FAILED: %s\n", e.what());
      }
    }
  }
}

const float* Renderer::render(const int* si, const float* kp_source, const float* kp_driving, int n) {
  Impl& d = *impl_;
  if (n < 1 || n > d.batch) throw std::runtime_error("render: bad n");
  for (int j = 0; j < n; ++j)
    if (si[j] < 0 || si[j] >= d.identity->NT) throw std::runtime_error("render: si out of range");
  for (int j = 0; j < d.batch; ++j) {
    const size_t J = static_cast<size_t>(j);
    const int src = j < n ? j : n - 1;
    if (j < n) {
      halfToFloat(d.identity->pooled64(si[j]), d.pooled.data() + J * d.pooledLen, d.pooledLen);
      if (d.featSynth)
        halfToFloat(d.identity->fsRed(si[j]), d.fsRed.data() + J * d.fsRedLen, d.fsRedLen);
      else
        halfToFloat(d.prior->P(si[j]), d.P.data() + J * d.pLen, d.pLen);
    } else {
      const size_t S = static_cast<size_t>(n - 1);
      std::memcpy(d.pooled.data() + J * d.pooledLen, d.pooled.data() + S * d.pooledLen, d.pooledLen * sizeof(float));
      if (d.featSynth)
        std::memcpy(d.fsRed.data() + J * d.fsRedLen, d.fsRed.data() + S * d.fsRedLen, d.fsRedLen * sizeof(float));
      else
        std::memcpy(d.P.data() + J * d.pLen, d.P.data() + S * d.pLen, d.pLen * sizeof(float));
    }
    std::memcpy(d.kpSource.data() + J * kKpLen, kp_source + static_cast<size_t>(src) * kKpLen, kKpLen * sizeof(float));
    std::memcpy(d.kpDriving.data() + J * kKpLen, kp_driving + static_cast<size_t>(src) * kKpLen, kKpLen * sizeof(float));
  }
  const auto t0 = std::chrono::steady_clock::now();
  d.session->Run(d.runOptions, *d.binding);
  const auto t1 = std::chrono::steady_clock::now();
  d.runMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
  d.runs += 1;
  return d.output.data();
}

int Renderer::batch() const { return impl_->batch; }
const char* Renderer::ep() const { return impl_->epLabel.c_str(); }
const char* Renderer::backend() const { return "ort"; }
long Renderer::runs() const { return static_cast<long>(impl_->runs); }
double Renderer::runMilliseconds() const { return impl_->runMs; }

}  // namespace vesk
