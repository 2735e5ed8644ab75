#include "render/vesk_renderer.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bundle/vesk_identity.h"
#include "bundle/vesk_imx.h"
#include "core/vesk_env.h"
#include "core/vesk_ort.h"
#include "core/vesk_pool.h"
#include "core/vesk_simd.h"
#include "render/vesk_conv.h"
#include "render/vesk_gridsample_fast.h"
#include "render/vesk_int8conv_vnni.h"
#include "render/vesk_rewrite.h"
#include "render/vesk_source_predictor.h"
#include "render/vesk_warp_prior.h"
#include "tessera/vesk_tessera_lip.h"

namespace vesk {

namespace {

constexpr size_t kPooledLen = 65536;
constexpr size_t kFsRedLen = 262144;
constexpr size_t kKpLen = kKpWidth;

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

std::vector<uint8_t> readModel(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) throw std::runtime_error("Renderer: cannot open " + path);
  const std::streamoff size = f.tellg();
  if (size < 0) throw std::runtime_error("Renderer: cannot open " + path);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  f.seekg(0);
  f.read(reinterpret_cast<char*>(bytes.data()), size);
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

// The switches of the load-time preparation are off when their value starts with "0".
bool switchedOff(const char* name) {
  const std::optional<std::string> v = env::text(name);
  return v && (*v)[0] == '0';
}

// And the switches that are off unless asked for are on when set, non-empty and not starting with "0".
bool switchedOn(const char* name) {
  const std::optional<std::string> v = env::text(name);
  return v && (*v)[0] != '0';
}

std::string bakedGridSampleRefusal(const std::string& path) {
  return "Renderer: VESK_GS_FAST=0 (or ZENTROVA_CALVORA2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + path +
         " has com.zentrova::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, so "
         "there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is not a "
         "registered function/op'. There is no standard-GridSample arm on this bundle to measure: the artifact itself "
         "is non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
         "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.";
}

bool hasBakedGridSampleFast(const std::vector<uint8_t>& bytes) {
  try {
    return graphHasBakedGridSampleFast(bytes);
  } catch (const std::exception&) {
    return false;  // bytes the codec cannot read are the runtime's to refuse, with its own words
  }
}
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
  std::string modelKey;
  std::string modelPath;
  int threads = 1;
  bool warpApplied = false;  // the warp block became one WarpDirector node
  // The bundle's lip contour, bound into the compose alpha as the "lip_delivery" input: the
  // director's ellipse is then cut down to the lips of each frame's driving keypoints.
  std::optional<tessera::LipContour> lipContour;
  std::vector<float> lipCanvas;  // batch x crop x crop
  bool lipBound = false;

  // The fp16 convolution backend, when it renders instead of ONNX Runtime: its per-render argument
  // lists, and copies of prior frames played from video (valid only until the next one is taken).
  std::unique_ptr<ConvBackend> conv;
  std::vector<const uint16_t*> convPooled, convP;
  std::vector<uint16_t> convPStaging;

  // The hoisted source cone: a second session computes the boundary of a source frame into a ring
  // slot, one frame ahead on the prep thread, while the per-frame session renders from the other.
  struct RingSlot {
    int32_t si = -1;  // the source frame it holds; -1 when empty or being written
    std::vector<float> storage;
    Ort::Value tensor{nullptr};
  };
  std::optional<Ort::Session> prepSession;
  std::optional<Ort::IoBinding> prepBinding;
  Ort::Value prepInput{nullptr};
  std::string boundaryName;
  std::vector<int64_t> boundaryDims;
  size_t boundaryLen = 0;
  std::vector<RingSlot> ring;
  std::thread prepThread;
  std::mutex mu;
  std::condition_variable cv;
  int32_t pendingSi = -1;
  int32_t pendingSlot = -1;
  int32_t slotInUse = -1;
  bool stop = false;
  std::string prepError;
  SourcePredictor predictor;

  void buildSession(const std::string& ep);
  // Cuts the source cone off into the prep session when the graph allows it; the session is then
  // created from the per-frame graph. Returns whether it did.
  bool hoistSourceCone(const std::vector<uint8_t>& bytes, const std::string& ep);
  void bindAll();
  void startPrep();
  void stopPrep();
  int32_t acquire(int32_t si);
  void runPrepL(int32_t si, int32_t slot, std::unique_lock<std::mutex>& lock);
  void prepLoop();
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

  // Custom operators. Without them a graph that already carries GridSampleFast would only fail at
  // session creation inside the runtime, so it is refused here by name.
  std::vector<uint8_t> bytes;
  bool haveBytes = false;
  bool gsRewrite = false;
  const bool gsFastOff = switchedOff("VESK_GS_FAST");
  if (gsFastOff) {
    try {
      bytes = readModel(modelPath);
      haveBytes = true;
    } catch (const std::runtime_error&) {
      // refused below with the read's own message
    }
    if (!bytes.empty() && hasBakedGridSampleFast(bytes)) throw std::runtime_error(bakedGridSampleRefusal(modelPath));
  } else {
    registerGridSampleFast(sessionOptions);
    gsRewrite = !switchedOff("VESK_GS_REWRITE");
    if (!gsRewrite && !coreml)
      std::fprintf(stderr,
                   "[vesk] VESK_GS_REWRITE=0: load-time std GridSample -> com.zentrova::GridSampleFast rewrite "
                   "DISABLED (%s); the custom op is still registered, so a baked bundle loads and runs its baked "
                   "kernel. A standard bundle now runs ORT's own GridSample.\n",
                   modelKey.c_str());
  }

  // Quantised convolutions may be baked into any graph; their domain costs nothing when unused.
  registerInt8ConvVNNI(sessionOptions);

  // Read here rather than by the runtime, so a missing or short model is refused with its path.
  if (!haveBytes) bytes = readModel(modelPath);

  // Rewrites on the bytes in memory. CoreML keeps the standard GridSample, which it can place, and
  // the warp block, which it cannot.
  warpApplied = false;
  size_t warpNodes = 0;
  const bool warpNode = switchedOn("VESK_WARP_NODE");
  if (warpNode && !coreml) {
    std::string reason;
    warpNodes = rewriteWarpBlockToCustomOp(bytes, reason);
    if (warpNodes > 0) {
      warpApplied = true;
      // Without the GridSampleFast registration the domain is not on the options yet.
      if (gsFastOff) registerWarpDirector(sessionOptions);
      std::fprintf(stderr,
                   "[vesk] director warp -> com.zentrova::WarpDirector (%zu nodes removed, the source cone with "
                   "them)\n",
                   warpNodes);
    } else {
      std::fprintf(stderr,
                   "[vesk] director warp NOT moved to one node (%s) \xE2\x80\x94 the graph loads exactly as it did "
                   "before\n",
                   reason.empty() ? "no reason given" : reason.c_str());
    }
  }
  size_t gsNodes = 0;
  if (!coreml && gsRewrite) gsNodes = rewriteGridSampleToFast(bytes);
  const size_t blendNodes = normaliseStudentBlend(bytes);
  const size_t headNodes = rewriteHeadCubicResize(bytes);
  lipBound = false;
  int lipCanvasSide = 0;
  if (lipContour) {
    std::string reason;
    if (rewriteBindLipContour(bytes, reason, &lipCanvasSide)) {
      if (lipCanvasSide != crop)
        throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(lipCanvasSide) +
                                 " and this bundle's manifest declares crop " + std::to_string(crop) +
                                 " \xE2\x80\x94 refusing to bind a lip contour rasterised on the wrong canvas");
      lipBound = true;
    } else {
      std::fprintf(stderr,
                   "[vesk] !!! lip contour NOT bound to the compose alpha (%s): %s \xE2\x80\x94 this session serves "
                   "the graph's own ELLIPSE\n",
                   modelKey.c_str(), reason.empty() ? "no reason given" : reason.c_str());
    }
  } else {
    std::fprintf(stderr,
                 "[vesk] !!! compose alpha: ELLIPSE (%s) \xE2\x80\x94 this bundle carries no %s, so the director "
                 "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/calvora-2/tools/carry_lip_template_fleet.py\n",
                 modelKey.c_str(), "lip_template.v1.json");
  }
  if (gsNodes > 0)
    std::fprintf(stderr, "[vesk] std GridSample -> com.zentrova::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
                 gsNodes, modelKey.c_str());
  if (blendNodes > 0)
    std::fprintf(stderr,
                 "[vesk] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) \xE2\x80\x94 a "
                 "pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML unit "
                 "that includes the GPU\n",
                 blendNodes, modelKey.c_str());
  if (headNodes > 0)
    std::fprintf(stderr,
                 "[vesk] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) "
                 "(%s) \xE2\x80\x94 the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every "
                 "CPU-class EP and no CoreML/NNAPI EP can claim it\n",
                 headNodes, modelKey.c_str());

  if (lipBound)
    std::fprintf(stderr,
                 "[vesk] compose alpha: LIP CONTOUR (%s) \xE2\x80\x94 Min(a, lip_delivery) bound at load, %d verts, "
                 "feather %.1f px; the graph's ellipse is not reachable in this session\n",
                 modelKey.c_str(), lipContour->vertexCount(), static_cast<double>(lipContour->featherPx()));

  // An unchanged model is loaded by the runtime from its file, and our copy goes before the session
  // is made rather than after, so the two never stand in memory together.
  if (hoistSourceCone(bytes, ep)) {
    std::vector<uint8_t>().swap(bytes);
  } else if (gsNodes > 0 || blendNodes > 0 || headNodes > 0 || warpApplied || lipBound) {
    session.emplace(ort::env(), bytes.data(), bytes.size(), sessionOptions);
  } else {
    std::vector<uint8_t>().swap(bytes);
    session.emplace(ort::env(), modelPath.c_str(), sessionOptions);
  }

  epLabel = ep.empty() ? "cpu" : ep;
  std::fprintf(stderr, "[vesk] director ep=%s (%s)\n", epLabel.c_str(),
               coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph" : "ORT CPU EP");
}

bool Renderer::Impl::hoistSourceCone(const std::vector<uint8_t>& bytes, const std::string& ep) {
  if (startsWith(ep, "coreml")) {
    const std::string units = ep.size() > 7 ? ep.substr(7) : std::string("all");
    if (units.compare(0, 3, "all") == 0 || units.compare(0, 3, "gpu") == 0) {
      std::fprintf(stderr,
                   "[vesk] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU "
                   "and the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an M4) "
                   "\xE2\x80\x94 the cone stays in the graph\n",
                   modelKey.c_str(), units.c_str());
      return false;
    }
  }
  if (warpApplied) {
    std::fprintf(stderr,
                 "[vesk] source-cone hoist SKIPPED (%s): the warp node subsumes the cone \xE2\x80\x94 there is "
                 "nothing left to hoist\n",
                 modelKey.c_str());
    return false;
  }
  if (!identity->hasMappedP() && identity->prior_path.empty()) return false;
  if (bytes.empty()) return false;

  std::string reason;
  std::string name;
  std::vector<uint8_t> prepBytes, frameBytes;
  const size_t count = findSourceConeBoundary(bytes, name);
  if (count != 1) {
    reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(count);
  } else if (buildSourceConePrep(bytes, name, prepBytes, reason)) {
    try {
      ort::SessionConfig config;
      config.threads = 1;
      config.spinning = false;
      config.kleidiaiOff = true;
      Ort::SessionOptions prepOptions = ort::sessionOptions(config);
      // The prep graph keeps every Constant node of the director, read or not; the runtime would
      // warn about each one it drops.
      prepOptions.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);
      prepSession.emplace(ort::env(), prepBytes.data(), prepBytes.size(), prepOptions);
      std::vector<uint8_t>().swap(prepBytes);
      const std::vector<int64_t> in = prepSession->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
      const std::vector<int64_t> out = prepSession->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
      int64_t len = out.size() == 4 ? 1 : 0;
      for (int64_t d : out) len = d > 0 ? len * d : 0;
      if (in.size() != 4 || in[0] != 1) {
        reason = "batch-1 lever; this graph declares batch " + std::to_string(in.empty() ? 0 : in[0]);
      } else if (len <= 0) {
        reason = "boundary shape is not static";
      } else if (buildSourceConePerFrame(bytes, name, out.data(), out.size(), frameBytes, reason)) {
        session.emplace(ort::env(), frameBytes.data(), frameBytes.size(), sessionOptions);
        boundaryName = name;
        boundaryDims = out;
        boundaryLen = static_cast<size_t>(len);
        std::fprintf(stderr,
                     "[vesk] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is prefetched "
                     "per SOURCE FRAME on one spare core (%s)\n",
                     name.c_str(), static_cast<long long>(out[0]), static_cast<long long>(out[1]),
                     static_cast<long long>(out[2]), static_cast<long long>(out[3]), modelKey.c_str());
        return true;
      }
    } catch (const std::exception& e) {
      reason = e.what();
    }
    prepSession.reset();
    session.reset();
  }
  std::fprintf(stderr, "[vesk] source-cone hoist NOT applied (%s): %s\n", modelKey.c_str(), reason.c_str());
  return false;
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
    if (prepSession)
      startPrep();
    else
      bindIn("P_rgb", P, {B, 3, C, C});
  }
  // A graph bound before it reached us carries the input too; fed ones it composes with its own
  // ellipse, as its NOT-bound line says, instead of failing at the first run for a missing input.
  const bool lipInput = std::find(names.begin(), names.end(), "lip_delivery") != names.end();
  if (lipBound || lipInput) {
    lipCanvas.assign(b * c2, 1.0f);
    bindIn("lip_delivery", lipCanvas, {B, 1, C, C});
  }
  bindIn(kdName, kpDriving, {B, kHostKpRows, 3});
  bindIn(ksName, kpSource, {B, kHostKpRows, 3});
  const std::vector<int64_t> outShape = {B, 3, C, C};
  bound.push_back(Ort::Value::CreateTensor<float>(mem, output.data(), output.size(), outShape.data(), outShape.size()));
  binding->BindOutput("rgb", bound.back());
}

void Renderer::Impl::startPrep() {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  ring.clear();
  ring.resize(2);
  for (RingSlot& slot : ring) {
    slot.storage.assign(boundaryLen, 0.f);
    slot.tensor = Ort::Value::CreateTensor<float>(mem, slot.storage.data(), slot.storage.size(), boundaryDims.data(),
                                                  boundaryDims.size());
  }
  prepBinding.emplace(*prepSession);
  const int64_t shape[4] = {batch, 3, crop, crop};
  prepInput = Ort::Value::CreateTensor<float>(mem, P.data(), P.size(), shape, 4);
  prepBinding->BindInput("P_rgb", prepInput);
  prepThread = std::thread([this] { prepLoop(); });
}

void Renderer::Impl::stopPrep() {
  if (!prepThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  cv.notify_all();
  prepThread.join();
}

int32_t Renderer::Impl::acquire(int32_t si) {
  std::unique_lock<std::mutex> lock(mu);
  slotInUse = -1;
  for (;;) {
    if (!prepError.empty())
      throw std::runtime_error("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 " + prepError);
    for (size_t i = 0; i < ring.size(); ++i)
      if (ring[i].si == si) {
        slotInUse = static_cast<int32_t>(i);
        return slotInUse;
      }
    if (pendingSi < 0) {
      if (ring.empty()) throw std::runtime_error("Renderer: source-cone ring exhausted");
      int32_t slot = 0;
      while (slot == slotInUse) ++slot;
      ring[static_cast<size_t>(slot)].si = -1;
      runPrepL(si, slot, lock);
    } else {
      cv.wait(lock);
    }
  }
}

void Renderer::Impl::runPrepL(int32_t si, int32_t slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string error;
  try {
    halfToFloat(prior->P(si), P.data(), pLen);
    prepBinding->BindOutput(boundaryName.c_str(), ring[static_cast<size_t>(slot)].tensor);
    prepSession->Run(Ort::RunOptions{nullptr}, *prepBinding);
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "unknown failure";
  }
  lock.lock();
  if (!error.empty()) {
    if (prepError.empty()) prepError = error;
  } else {
    ring[static_cast<size_t>(slot)].si = si;
  }
}

void Renderer::Impl::prepLoop() {
  std::unique_lock<std::mutex> lock(mu);
  for (;;) {
    if (stop) return;
    if (pendingSi < 0) {
      cv.wait(lock);
      continue;
    }
    runPrepL(pendingSi, pendingSlot, lock);
    pendingSi = -1;
    pendingSlot = -1;
    cv.notify_all();
  }
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
  d.modelKey = model_key;
  d.modelPath = manifest.modelPath(model_key);
  if (!manifest.lip_template.empty())
    d.lipContour.emplace(tessera::LipContour::fromTemplateJson(manifest.lip_template, manifest.crop));

  // The fp16 backend takes the whole renderer when asked for, usable here, and given its graph;
  // otherwise the request renders on the ONNX Runtime CPU provider and the host is told why.
  const bool neonRequested = ep == "neon" || (ep.empty() && env::text("VESK_CONV_BACKEND") == "neon");
  if (neonRequested && !ConvBackend::available()) {
    std::fprintf(stderr, "[vesk] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
  } else if (neonRequested && !ConvBackend::graphSupported(d.modelPath)) {
    std::fprintf(stderr,
                 "[vesk] NEON backend refused: %s is not the fused m4b graph (golden/unified director?); using ORT\n",
                 model_key.c_str());
  } else if (neonRequested) {
    if (d.crop != 512) throw std::runtime_error("vesk_conv: only crop=512 m4b bundles");
    d.conv = ConvBackend::create(d.modelPath, d.threads);
    d.epLabel = "neon";
    d.batch = d.conv->batch();
    d.pLen = 3 * static_cast<size_t>(d.crop) * static_cast<size_t>(d.crop);
    d.output.assign(static_cast<size_t>(d.batch) * d.pLen, 0.0f);
    d.convPooled.assign(static_cast<size_t>(d.batch), nullptr);
    d.convP.assign(static_cast<size_t>(d.batch), nullptr);
    if (!identity.hasMappedP()) d.convPStaging.assign(static_cast<size_t>(d.batch) * d.pLen, 0);
    return;
  }
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
  d.stopPrep();
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
  if (d.conv) {
    for (int j = 0; j < n; ++j) {
      const size_t J = static_cast<size_t>(j);
      d.convPooled[J] = d.identity->pooled64(si[j]);
      const uint16_t* p = d.prior->P(si[j]);
      if (!d.identity->hasMappedP()) {
        std::memcpy(d.convPStaging.data() + J * d.pLen, p, d.pLen * sizeof(uint16_t));
        p = d.convPStaging.data() + J * d.pLen;
      }
      d.convP[J] = p;
    }
    d.conv->render(d.convPooled.data(), d.convP.data(), kp_source, kp_driving, n, d.output.data());
    return d.output.data();
  }
  for (int j = 0; j < d.batch; ++j) {
    const size_t J = static_cast<size_t>(j);
    const int src = j < n ? j : n - 1;
    if (j < n) {
      halfToFloat(d.identity->pooled64(si[j]), d.pooled.data() + J * d.pooledLen, d.pooledLen);
      if (d.featSynth)
        halfToFloat(d.identity->fsRed(si[j]), d.fsRed.data() + J * d.fsRedLen, d.fsRedLen);
      else if (!d.prepSession)  // hoisted: P is the prep session's, widened on whichever thread runs it
        halfToFloat(d.prior->P(si[j]), d.P.data() + J * d.pLen, d.pLen);
    } else {
      const size_t S = static_cast<size_t>(n - 1);
      std::memcpy(d.pooled.data() + J * d.pooledLen, d.pooled.data() + S * d.pooledLen, d.pooledLen * sizeof(float));
      if (d.featSynth)
        std::memcpy(d.fsRed.data() + J * d.fsRedLen, d.fsRed.data() + S * d.fsRedLen, d.fsRedLen * sizeof(float));
      else if (!d.prepSession)
        std::memcpy(d.P.data() + J * d.pLen, d.P.data() + S * d.pLen, d.pLen * sizeof(float));
    }
    std::memcpy(d.kpSource.data() + J * kKpLen, kp_source + static_cast<size_t>(src) * kKpLen, kKpLen * sizeof(float));
    std::memcpy(d.kpDriving.data() + J * kKpLen, kp_driving + static_cast<size_t>(src) * kKpLen, kKpLen * sizeof(float));
    if (d.lipBound) {
      // A padding block repeats the last frame's contour rather than rasterising it again.
      const size_t c2 = static_cast<size_t>(d.crop) * static_cast<size_t>(d.crop);
      float* block = d.lipCanvas.data() + J * c2;
      if (j > 0 && j != n - 1 && src == n - 1)
        std::memcpy(block, d.lipCanvas.data() + static_cast<size_t>(n - 1) * c2, c2 * sizeof(float));
      else
        d.lipContour->contourF32Canvas(kp_driving + static_cast<size_t>(src) * kKpLen, block);
    }
  }
  if (d.prepSession) {
    // batch 1: the boundary of si[0] comes from the ring, and the predicted next frame's is started.
    const int32_t slot = d.acquire(si[0]);
    d.binding->BindInput(d.boundaryName.c_str(), d.ring[static_cast<size_t>(slot)].tensor);
    const int32_t p = d.predictor.next(si[0], d.identity->NT);
    {
      std::lock_guard<std::mutex> lock(d.mu);
      bool held = false;
      for (const Impl::RingSlot& r : d.ring) held = held || r.si == p;
      if (d.pendingSi < 0 && d.prepError.empty() && !d.ring.empty() && !held) {
        int32_t next = 0;
        while (next == d.slotInUse) ++next;
        d.ring[static_cast<size_t>(next)].si = -1;
        d.pendingSi = p;
        d.pendingSlot = next;
        d.cv.notify_one();
      }
    }
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
const char* Renderer::backend() const { return impl_->conv ? "neon" : "ort"; }
long Renderer::runs() const { return static_cast<long>(impl_->runs); }
double Renderer::runMilliseconds() const { return impl_->runMs; }

}  // namespace vesk
