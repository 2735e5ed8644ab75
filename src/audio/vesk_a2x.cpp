#include "audio/vesk_a2x.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "audio/vesk_a2x_frontend.h"
#include "audio/vesk_motion_net.h"
#include "core/vesk_capi.h"
#include "bundle/vesk_imx.h"
#include "core/vesk_half.h"
#include "core/vesk_pool.h"
#include "core/vesk_buffer.h"
#include "core/vesk_env.h"
#include "core/vesk_ort.h"

namespace vesk::a2x {

namespace {

std::string readWhole(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return {};
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<float> readFloats(const std::string& path) {
  const std::string bytes = readWhole(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

// Position of the value of a key: just past its colon, or npos.
size_t valueAt(const std::string& text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t k = text.find(quoted);
  if (k == std::string::npos) return std::string::npos;
  const size_t colon = text.find(':', k + quoted.size());
  return colon == std::string::npos ? std::string::npos : colon + 1;
}

std::runtime_error behind(const char* what) {
  return std::runtime_error(std::string("stream read behind the retained window (") + what + ")");
}

// The cached 8 s embedding of silence, shared by every session's prime.
std::mutex gZeroMu;
std::vector<float>* gZeroEmb = nullptr;

std::once_flag gCadenceOnce;

}  // namespace

int readMetaInt(const std::string& text, const char* key, int def) {
  size_t p = valueAt(text, key);
  if (p == std::string::npos) return def;
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
  const char* b = text.c_str() + p;
  char* end = nullptr;
  const long v = std::strtol(b, &end, 10);
  if (end == b) return def;
  return static_cast<int>(std::clamp<long>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

int readMetaWidth(const std::string& text) {
  size_t p = valueAt(text, "width");
  if (p == std::string::npos) return 0;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
  if (text.compare(p, 4, "true") == 0) return 1;
  if (text.compare(p, 5, "false") == 0) return 0;
  return readMetaInt(text, "width", 0);
}

int walkIndex(int64_t start, int64_t k, int dir, int wrap, int nt) {
  if (nt < 2) return 0;
  const int64_t o = start + k * dir;
  if (wrap != 0) return static_cast<int>(((o % nt) + nt) % nt);
  const int64_t p = 2 * (static_cast<int64_t>(nt) - 1);
  const int64_t r = ((o % p) + p) % p;
  return static_cast<int>(r <= nt - 1 ? r : p - r);
}

int frontendRight() {
  const auto n = env::leadingInteger("VESK_A2X_W2V_RIGHT");
  return n ? static_cast<int>(std::clamp<long long>(*n, 0, 1 << 20)) : 12;
}

}  // namespace vesk::a2x

using namespace vesk;
using namespace vesk::a2x;

vesk_a2x::vesk_a2x(const std::string& bundleDir, int threadsArg)
    : options(nullptr),
      mem(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)) {
  const int poolSize = pool::threads();
  threads = (threadsArg > 0 && threadsArg < poolSize) ? threadsArg : poolSize;
  options = a2xSessionOptions(threads);
  vesk_a2x_maybe_cuda(options, "enc/dec");
  std::call_once(gCadenceOnce, [this] {
    std::fprintf(stderr,
                 "[vesk_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, "
                 "threads=%d\n",
                 320, 8, threads);
  });

  const std::string bdir = resolveBundlePath(bundleDir);
  const std::string meta = readWhole(bdir + "/a2x_meta.json");
  if (meta.empty()) throw std::runtime_error("vesk_a2x_create: a2x_meta.json missing in " + bdir);
  h = readMetaInt(meta, "h", 256);
  window = readMetaInt(meta, "window", -1);
  left = readMetaInt(meta, "left", -1);
  if (window < 0 || left < 0)
    throw std::runtime_error("vesk_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  const int layers = readMetaInt(meta, "layers", 6);
  if (h < 1 || h > (1 << 16) || layers < 0 || layers > 1024 || window > (1 << 16) || left > (1 << 16))
    throw std::runtime_error("vesk_a2x_create: meta h/window/left/layers out of range");
  left_reach = left * layers;
  right_reach = window * layers;
  right = frontendRight();

  pos = readFloats(bdir + "/a2x_pos.f32");
  const std::vector<float> norm = readFloats(bdir + "/a2x_norm.f32");
  xs_target = readFloats(resolveMember(bdir, "xs_target.bin"));
  // The norm file needs more than 500 bytes, and its 126 floats whole: 501 to 503 bytes hold only
  // 125, and are refused like a shorter file rather than read past their end.
  if (pos.size() < 2 * static_cast<size_t>(h) || norm.size() < 2 * kKpFloats || xs_target.size() < kKpFloats)
    throw std::runtime_error("vesk_a2x_create: pos/norm/xs_target read failed");
  pos.resize(pos.size() / static_cast<size_t>(h) * static_cast<size_t>(h));  // whole rows only
  norm_mean.assign(norm.begin(), norm.begin() + kKpFloats);
  norm_scale.assign(norm.begin() + kKpFloats, norm.begin() + 2 * kKpFloats);
  if (xs_target.size() / kKpFloats > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw std::runtime_error("vesk_a2x_create: xs_target too large");
  nt = static_cast<int32_t>(xs_target.size() / kKpFloats);
  xs_target.resize(static_cast<size_t>(nt) * kKpFloats);

  const auto w2v = env::text("W2V_ONNX");
  if (!w2v) throw std::runtime_error("vesk_a2x_create: $W2V_ONNX not set");
  w2v_path = *w2v;
  if (get_shared_w2v_win(threads, w2v_path)) {
    short_window = true;
    right_base = right;
    right = right + kBlockFrames;
  } else {
    w2v8 = get_shared_w2v(w2v_path, threads);
    if (w2v8 == nullptr) throw std::runtime_error("vesk_a2x_create: shared w2v load failed");
  }

  enc.emplace(ort::env(), resolveMember(bdir, "a2x_enc_stream.onnx").c_str(), options);
  {
    Ort::AllocatorWithDefaultOptions alloc;
    const size_t outs = enc->GetOutputCount();
    if (outs < 1) throw std::runtime_error("a2x_enc_stream.onnx declares no output");
    enc_out_name = enc->GetOutputNameAllocated(0, alloc).get();
    if (outs >= 2) {
      wn_out_name = enc->GetOutputNameAllocated(1, alloc).get();
      has_wn = true;
    }
    // Outputs are read as float32 whatever the graph says; another type is refused here rather
    // than read past its buffer.
    for (size_t i = 0; i < std::min<size_t>(outs, 2); ++i) {
      const ONNXTensorElementDataType t = enc->GetOutputTypeInfo(i).GetTensorTypeAndShapeInfo().GetElementType();
      if (t != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
        throw std::runtime_error("a2x_enc_stream.onnx output '" + (i == 0 ? enc_out_name : wn_out_name) + "' is " +
                                 elementTypeName(t) + ", not float32");
    }
    const int metaWidth = readMetaWidth(meta);
    if (metaWidth != (has_wn ? 1 : 0)) {
      std::fprintf(stderr,
                   "[vesk_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) \xe2\x80\x94 serving "
                   "the GRAPH (width=%d). Repackage this bundle.\n",
                   metaWidth, outs, has_wn ? 1 : 0);
    }
  }
  dec.emplace(ort::env(), resolveMember(bdir, "a2x_dec.onnx").c_str(), options);

  decCtx.assign(static_cast<size_t>(h), 0.0f);
  prev.assign(kKpFloats, 0.0f);
  hstate.assign(static_cast<size_t>(h), 0.0f);
  decM.assign(kKpFloats, 0.0f);
  hstateOut.assign(static_cast<size_t>(h), 0.0f);
  const int64_t s2h[2] = {1, h}, s2k[2] = {1, kKpFloats}, s3h[3] = {1, 1, h};
  decIn.push_back(Ort::Value::CreateTensor<float>(mem, decCtx.data(), decCtx.size(), s2h, 2));
  decIn.push_back(Ort::Value::CreateTensor<float>(mem, prev.data(), prev.size(), s2k, 2));
  decIn.push_back(Ort::Value::CreateTensor<float>(mem, hstate.data(), hstate.size(), s3h, 3));
  bindDecoderOutputs();

  int primeCount = readMetaInt(meta, "silence_prime", 0);
  if (const auto v = env::leadingInteger("VESK_A2X_SILENCE_PRIME"))
    primeCount = static_cast<int>(std::clamp<long long>(*v, -1, 1 << 20));
  if (primeCount > 0) silencePrime(primeCount);

  reset(0, 1, 1);
}

Ort::Session& vesk_a2x::w2v8Session() {
  if (w2v8 == nullptr) w2v8 = get_shared_w2v(w2v_path, threads);
  if (w2v8 == nullptr)
    throw std::runtime_error("the shared 8 s w2v encoder did not load ($W2V_ONNX=" + w2v_path + ")");
  return *w2v8;
}

void vesk_a2x::silencePrime(int count) {
  if (w2v8 == nullptr) w2v8 = get_shared_w2v(w2v_path, threads);
  if (w2v8 == nullptr) throw std::runtime_error("vesk_a2x_create: shared w2v load failed (silence_prime)");
  try {
    const int n = std::min(count, kSilencePrimeCap);
    std::vector<float> f(static_cast<size_t>(n) * kFeatSize);
    {
      std::lock_guard<std::mutex> lk(gZeroMu);
      if (gZeroEmb == nullptr) {
        auto emb = std::make_unique<std::vector<float>>(static_cast<size_t>(kW2vLayers) * kW2v8Frames * kW2vChannels);
        std::vector<float> zeros(kW2v8Samples, 0.0f);
        normaliseWindow(zeros.data(), zeros.size());
        const Ort::Value out = runW2v8(*w2v8, zeros.data());
        std::memcpy(emb->data(), out.GetTensorData<float>(), emb->size() * sizeof(float));
        gZeroEmb = emb.release();  // kept for the life of the process
      }
      for (int j = 0; j < n; ++j)
        for (int l = 0; l < kW2vLayers; ++l) {
          const float* src = gZeroEmb->data() + (static_cast<size_t>(l) * kW2v8Frames + j) * kW2vChannels;
          float* dst = f.data() + static_cast<size_t>(j) * kFeatSize + static_cast<size_t>(l) * kW2vChannels;
          roundFeatures(src, dst, kW2vChannels);
        }
    }
    std::vector<float> rows(static_cast<size_t>(n) * h);
    runEncoder(f.data(), 0, n, rows.data(), nullptr);
    std::fill(prev.begin(), prev.end(), 0.0f);
    std::fill(hstate.begin(), hstate.end(), 0.0f);
    for (int i = 0; i < n; ++i) decodeStep(rows.data() + static_cast<size_t>(i) * h);
    primed_prev = prev;
    primed_h = hstate;
    std::fprintf(stderr, "[vesk_a2x] silence-primed AR state cached (%d frames)\n", n);
  } catch (const std::exception& e) {
    primed_prev.clear();
    primed_h.clear();
    std::fprintf(stderr, "[vesk_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
  }
}

void vesk_a2x::restorePrimed() {
  // The decoder's input tensors point into prev and hstate, so their storage is never replaced.
  if (!primed_prev.empty() && !primed_h.empty()) {
    std::copy(primed_prev.begin(), primed_prev.end(), prev.begin());
    std::copy(primed_h.begin(), primed_h.end(), hstate.begin());
  } else {
    std::fill(prev.begin(), prev.end(), 0.0f);
    std::fill(hstate.begin(), hstate.end(), 0.0f);
  }
}

void vesk_a2x::push(const float* s, int n) {
  if (n < 1) return;
  samples.insert(samples.end(), s, s + n);
}

int vesk_a2x::total() const {
  if (!finished) return -1;
  const int64_t t = dropped + static_cast<int64_t>(samples.size());
  return static_cast<int>((t + kFrameSamples - 1) / kFrameSamples);
}

vesk_a2x::Reach vesk_a2x::reach() const {
  Reach r;
  r.total = dropped + static_cast<int64_t>(samples.size());
  if (finished) {
    r.usable = r.total;
    r.audioFrames = static_cast<int32_t>((r.total + kFrameSamples - 1) / kFrameSamples);
    r.reachable = r.audioFrames;
    return r;
  }
  r.usable = std::min(r.total, (r.total + kFrameSamples - 1) / kBlockSamples * kBlockSamples);
  r.audioFrames = static_cast<int32_t>((r.usable + kFrameSamples - 1) / kFrameSamples);
  r.reachable = std::max(0, r.audioFrames - std::max(right_reach, right));
  return r;
}

int vesk_a2x::avail() {
  const Reach r = reach();
  if (dec_done < r.reachable) extendGuarded(std::min(r.reachable, dec_done + (short_window ? 8 : 64)));
  return std::max(0, dec_done - pulled);
}

void vesk_a2x::extendGuarded(int32_t T) {
  try {
    extend(T);
  } catch (const std::exception& e) {
    capi::setError(capi::Family::A2x, std::string("vesk_a2x extend: ") + e.what());
  }
}

void vesk_a2x::extend(int32_t T) {
  const Reach r = reach();
  const int32_t ret = std::min(T, r.reachable);
  if (dec_done >= ret) return;
  // While live, the frontend may stop short of the look-ahead a frame needs (a hold-back smaller than
  // the encoder's reach): that look-ahead reads zeros rather than holding the frame back further.
  const int32_t F = std::min(ret + right_reach, r.audioFrames);
  if (feat_done < F) {
    growFeat(F);
    if (short_window) fill_feat_win(F, r);
    else fill_feat(F, r);
  }

  if (enc_done < ret) {
    enc_rows.resize(static_cast<size_t>(ret - enc_base) * h, 0.0f);
    wn.resize(static_cast<size_t>(ret - enc_base), 0.0f);
    const int32_t P = static_cast<int32_t>(pos.size() / static_cast<size_t>(h));
    int32_t a = enc_done;
    while (a < ret) {
      int32_t e = std::min(ret, a + kEncBand);
      const int32_t lo = std::max(0, a - left_reach);
      int32_t hi = std::min(e + right_reach, r.audioFrames);
      if (a < P) {
        hi = std::min(hi, P);
        e = std::min(e, P);
      }
      if (lo < feat_base) throw behind("encoder band");
      if (static_cast<size_t>(hi - feat_base) * kFeatSize > feat.size())
        throw std::runtime_error("encoder band reaches past the held features");
      const int32_t n = hi - lo;
      std::vector<float> wnRows;
      if (has_wn) wnRows.resize(static_cast<size_t>(n));
      std::vector<float> out(static_cast<size_t>(n) * h);
      runEncoder(feat.data() + static_cast<size_t>(lo - feat_base) * kFeatSize, lo, hi, out.data(),
                 has_wn ? wnRows.data() : nullptr);
      for (int32_t t = a; t < e; ++t) {
        std::memcpy(enc_rows.data() + static_cast<size_t>(t - enc_base) * h,
                    out.data() + static_cast<size_t>(t - lo) * h, static_cast<size_t>(h) * sizeof(float));
        if (has_wn) wn[static_cast<size_t>(t - enc_base)] = wnRows[static_cast<size_t>(t - lo)];
      }
      a = e;
      enc_done = a;
    }
  }

  deltas.resize(static_cast<size_t>(ret - delta_base) * kKpFloats, 0.0f);
  for (int32_t t = dec_done; t < ret; ++t) {
    if (t < enc_base) throw behind("decoder frame");
    decodeStep(enc_rows.data() + static_cast<size_t>(t - enc_base) * h);
    float* d = deltas.data() + static_cast<size_t>(t - delta_base) * kKpFloats;
    for (int k = 0; k < kKpFloats; ++k) d[k] = norm_mean[k] + prev[k] * norm_scale[k];
    dec_done = t + 1;  // each decoded frame is complete on its own
  }
}

void vesk_a2x::bindDecoderOutputs() {
  // "m" and "h_out" may come in any layout of their 63 and h values: a static one is bound as the
  // model declares it; one with free dimensions is left to the runtime on the first run, which shows
  // its shape, and bound with that shape from then on.
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t outs = dec->GetOutputCount();
  std::vector<std::string> names(outs);
  for (size_t i = 0; i < outs; ++i) names[i] = dec->GetOutputNameAllocated(i, alloc).get();
  static const char* wanted[2] = {"m", "h_out"};
  float* buffers[2] = {decM.data(), hstateOut.data()};
  decOut.clear();
  for (int k = 0; k < 2; ++k) {
    const size_t i = static_cast<size_t>(std::find(names.begin(), names.end(), wanted[k]) - names.begin());
    if (i == outs) throw std::runtime_error(std::string("a2x_dec.onnx declares no output '") + wanted[k] + "'");
    const Ort::TypeInfo ti = dec->GetOutputTypeInfo(i);
    const auto info = ti.GetTensorTypeAndShapeInfo();
    const std::string what = std::string("a2x_dec.onnx output '") + wanted[k] + "'";
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
      throw std::runtime_error(what + " is " + elementTypeName(info.GetElementType()) + ", not float32");
    const std::vector<int64_t> shape = info.GetShape();
    const size_t count = k == 0 ? static_cast<size_t>(kKpFloats) : static_cast<size_t>(h);
    const bool fixed = std::all_of(shape.begin(), shape.end(), [](int64_t d) { return d > 0; });
    decOutFree[k] = !fixed;
    if (!fixed) {
      decOut.emplace_back(nullptr);
      continue;
    }
    int64_t declared = 1;
    for (int64_t d : shape) declared *= d;
    if (declared != static_cast<int64_t>(count))
      throw std::runtime_error(what + " holds " + std::to_string(declared) + " values, expected " +
                               std::to_string(count));
    decOut.push_back(Ort::Value::CreateTensor<float>(mem, buffers[k], count, shape.data(), shape.size()));
  }
}

void vesk_a2x::decodeStep(const float* ctxRow) {
  std::memcpy(decCtx.data(), ctxRow, static_cast<size_t>(h) * sizeof(float));
  static const char* inNames[] = {"ctx_t", "prev", "h"};
  static const char* outNames[] = {"m", "h_out"};
  {
    RunTimer timer;
    dec->Run(run_opts, inNames, decIn.data(), 3, outNames, decOut.data(), 2);
  }
  if (decOutFree[0] || decOutFree[1]) {
    float* buffers[2] = {decM.data(), hstateOut.data()};
    for (int k = 0; k < 2; ++k) {
      if (!decOutFree[k]) continue;
      const size_t count = k == 0 ? static_cast<size_t>(kKpFloats) : static_cast<size_t>(h);
      const float* got = checkedFloats(decOut[static_cast<size_t>(k)], count,
                                       std::string("a2x_dec.onnx output '") + outNames[k] + "'");
      std::memcpy(buffers[k], got, count * sizeof(float));
      const std::vector<int64_t> shape = decOut[static_cast<size_t>(k)].GetTensorTypeAndShapeInfo().GetShape();
      decOut[static_cast<size_t>(k)] =
          Ort::Value::CreateTensor<float>(mem, buffers[k], count, shape.data(), shape.size());
      decOutFree[k] = false;
    }
  }
  std::memcpy(prev.data(), decM.data(), kKpFloats * sizeof(float));
  std::memcpy(hstate.data(), hstateOut.data(), static_cast<size_t>(h) * sizeof(float));
}

void vesk_a2x::runEncoder(const float* featLoHi, int32_t lo, int32_t hi, float* rows, float* wnRows) {
  const int32_t n = hi - lo;
  const int32_t P = static_cast<int32_t>(pos.size() / static_cast<size_t>(h));
  attnBuf.resize(static_cast<size_t>(n) * n);
  const float ninf = -std::numeric_limits<float>::infinity();
  for (int32_t r = 0; r < n; ++r)
    for (int32_t c = 0; c < n; ++c)
      attnBuf[static_cast<size_t>(r) * n + c] = (c > r + window || c < r - left) ? ninf : 0.0f;
  std::vector<float> pw(static_cast<size_t>(n) * h);
  for (int32_t i = lo; i < hi; ++i) {
    const int32_t row = i < P ? i : P / 2 + (i - P) % (P - P / 2);
    std::memcpy(pw.data() + static_cast<size_t>(i - lo) * h, pos.data() + static_cast<size_t>(row) * h,
                static_cast<size_t>(h) * sizeof(float));
  }
  const int64_t fs[4] = {1, n, kW2vLayers, kW2vChannels};
  const int64_t ps[3] = {1, n, h};
  const int64_t as[4] = {1, 1, n, n};
  Ort::Value in[3] = {
      Ort::Value::CreateTensor<float>(mem, const_cast<float*>(featLoHi), static_cast<size_t>(n) * kFeatSize, fs, 4),
      Ort::Value::CreateTensor<float>(mem, pw.data(), pw.size(), ps, 3),
      Ort::Value::CreateTensor<float>(mem, attnBuf.data(), attnBuf.size(), as, 4)};
  static const char* inNames[] = {"feat", "pos_window", "attn"};
  const char* outNames[2] = {enc_out_name.c_str(), wn_out_name.c_str()};
  const size_t nOut = wnRows != nullptr ? 2 : 1;
  std::vector<Ort::Value> out;
  {
    RunTimer timer;
    out = enc->Run(run_opts, inNames, in, 3, outNames, nOut);
  }
  const size_t count = static_cast<size_t>(n) * h;
  std::memcpy(rows, checkedFloats(out[0], count, "a2x_enc_stream.onnx output '" + enc_out_name + "' (n x h)"),
              count * sizeof(float));
  if (wnRows != nullptr) {
    std::memcpy(wnRows,
                checkedFloats(out[1], static_cast<size_t>(n), "a2x_enc_stream.onnx output '" + wn_out_name + "' (n)"),
                static_cast<size_t>(n) * sizeof(float));
  }
}

void vesk_a2x::growFeat(int32_t frames) {
  if (frames <= feat_base) return;
  const size_t want = static_cast<size_t>(frames - feat_base) * kFeatSize;
  if (want > feat.size()) feat.resize(want);
}

void vesk_a2x::fill_feat(int32_t F, const Reach& r) {
  Ort::Session& w = w2v8Session();
  const int64_t end = finished ? r.total : r.usable;
  winBuf.resize(kW2v8Samples);
  while (feat_done < F) {
    const int32_t s = win_start;
    const int64_t first = static_cast<int64_t>(s) * kFrameSamples;
    if (first < dropped) throw behind("8 s window audio");
    const int64_t to = std::min<int64_t>(first + kW2v8Samples, end);
    const size_t have = first < to ? static_cast<size_t>(to - first) : 0u;
    if (have > 0) std::memcpy(winBuf.data(), samples.data() + (first - dropped), have * sizeof(float));
    std::fill(winBuf.begin() + static_cast<std::ptrdiff_t>(have), winBuf.end(), 0.0f);
    normaliseWindow(winBuf.data(), winBuf.size());
    const Ort::Value embValue = runW2v8(w, winBuf.data());
    const float* emb = embValue.GetTensorData<float>();
    int32_t limit = s + kW2v8Frames;
    if (!finished) limit = std::min(limit, std::max(0, r.audioFrames - right));
    const int32_t upto = std::min(s + kW2v8Frames, limit);
    growFeat(upto);
    for (int32_t i = (s == 0 ? 0 : 50); i < kW2v8Frames; ++i) {
      const int32_t j = s + i;
      if (j < feat_done) continue;
      if (j >= limit) break;
      if (j < feat_base) throw behind("feat frame");
      float* dst = feat.data() + static_cast<size_t>(j - feat_base) * kFeatSize;
      for (int l = 0; l < kW2vLayers; ++l)
        roundFeatures(emb + (static_cast<size_t>(l) * kW2v8Frames + i) * kW2vChannels, dst + l * kW2vChannels,
                      kW2vChannels);
    }
    feat_done = std::max(feat_done, upto);
    if (!finished && s + kW2v8Frames - 1 >= limit) break;
    win_start = s + 100;
  }
}

void vesk_a2x::fill_feat_win(int32_t F, const Reach& r) {
  const int64_t end = finished ? r.total : r.usable;
  winBuf.resize(kWinSamples);
  headIn.resize(static_cast<size_t>(kHeadFrames) * kTrunkChannels);
  embBuf.resize(static_cast<size_t>(kHeadFrames) * kFeatSize);
  while (feat_done < F) {
    const int32_t s = win_start;
    const int64_t G = (static_cast<int64_t>(right_base) + s + kBlockFrames) * kFrameSamples;
    if (!finished && r.usable < G) break;
    const int64_t first = G - kWinSamples;
    // Stream samples [first, G) with zeros before 0 and from end on.
    const int64_t from = std::max<int64_t>(first, 0), to = std::min<int64_t>(G, end);
    if (from < to && from < dropped) throw behind("w2v window audio");
    if (from < to) {
      std::fill(winBuf.begin(), winBuf.begin() + (from - first), 0.0f);
      std::memcpy(winBuf.data() + (from - first), samples.data() + (from - dropped),
                  static_cast<size_t>(to - from) * sizeof(float));
      std::fill(winBuf.begin() + (to - first), winBuf.end(), 0.0f);
    } else {
      std::fill(winBuf.begin(), winBuf.end(), 0.0f);
    }
    normaliseWindow(winBuf.data(), winBuf.size());
    int lt = 0;
    const Ort::Value trunkValue = runShortWindowTrunk(winBuf.data(), lt);
    const auto* trunk = reinterpret_cast<const uint16_t*>(trunkValue.GetTensorData<Ort::Float16_t>());
    for (int i = 0; i < kHeadFrames; ++i) {
      const int32_t fr = s + i;
      int64_t a, base;
      if (fr < 200) {
        a = fr;
        base = 0;
      } else {
        a = fr % 100 + 100;
        base = (static_cast<int64_t>(fr) / 100 * 100 - 100) * kFrameSamples;
      }
      const double x = static_cast<double>(base - first) / 80.0 + static_cast<double>(a) * 8.030150753768844;
      const double pf = std::floor(x);
      if (pf < 0.0 || pf >= static_cast<double>(lt)) throw std::runtime_error("w2v_win: trunk pos out of range");
      const int p = static_cast<int>(pf);
      const double f = x - pf;
      const int q = std::min(p + 1, lt - 1);
      float* row = headIn.data() + static_cast<size_t>(i) * kTrunkChannels;
      for (int c = 0; c < kTrunkChannels; ++c) {
        const uint16_t* tc = trunk + static_cast<size_t>(c) * lt;
        row[c] = static_cast<float>((1.0 - f) * half::toFloat(tc[p]) + f * half::toFloat(tc[q]));
      }
    }
    runShortWindowHead(headIn.data(), embBuf.data());
    if (s < feat_base) throw behind("feat block");
    growFeat(s + kBlockFrames);
    float* dst = feat.data() + static_cast<size_t>(s - feat_base) * kFeatSize;
    roundFeatures(embBuf.data(), dst, static_cast<size_t>(kHeadFrames) * kFeatSize);
    win_start = feat_done = s + kBlockFrames;
  }
}

int vesk_a2x::pull(int* si, float* xs, float* xd, float* wnOut, int max) {
  Reach r = reach();
  if (pulled >= dec_done && max > 0) {
    extendGuarded(static_cast<int32_t>(std::min<int64_t>(r.reachable, static_cast<int64_t>(pulled) + max)));
  }
  const int32_t limit = std::min(dec_done, r.reachable);
  if (max < 1 || pulled >= limit) return 0;
  int written = 0;
  while (pulled < limit && written < max) {
    const int idx = walkIndex(start, pulled, dir, wrap, nt);
    const float* target = xs_target.data() + static_cast<size_t>(idx) * kKpFloats;
    const float* d = deltas.data() + static_cast<size_t>(pulled - delta_base) * kKpFloats;
    if (si != nullptr) si[written] = idx;
    if (xs != nullptr) std::memcpy(xs + static_cast<size_t>(written) * kKpFloats, target, kKpFloats * sizeof(float));
    if (xd != nullptr)
      for (int k = 0; k < kKpFloats; ++k) xd[static_cast<size_t>(written) * kKpFloats + k] = target[k] + d[k];
    if (wnOut != nullptr) {
      float v = 0.0f;
      if (has_wn && pulled >= enc_base && static_cast<size_t>(pulled - enc_base) < wn.size())
        v = wn[static_cast<size_t>(pulled - enc_base)];
      wnOut[written] = v;
    }
    ++pulled;
    ++written;
  }

  // Trim in steps, so memory moves rarely.
  const int64_t keep = std::max<int64_t>(0, static_cast<int64_t>(win_start) * kFrameSamples - kAudioHistory);
  if (keep - dropped >= kAudioTrim) {
    const size_t cut = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(samples.size()), keep - dropped));
    eraseFront(samples, cut);
    dropped += static_cast<int64_t>(cut);
  }
  const int32_t f = std::max(0, std::min(feat_done, enc_done - left_reach));
  if (f - feat_base >= kTrimFrames) {
    eraseFront(feat, static_cast<size_t>(f - feat_base) * kFeatSize);
    feat_base = f;
  }
  const int32_t u = std::min(pulled, dec_done);
  if (u - enc_base >= kTrimFrames) {
    eraseFront(enc_rows, static_cast<size_t>(u - enc_base) * h);
    eraseFront(wn, static_cast<size_t>(u - enc_base));
    enc_base = u;
  }
  if (pulled - delta_base >= kTrimFrames) {
    eraseFront(deltas, static_cast<size_t>(pulled - delta_base) * kKpFloats);
    delta_base = pulled;
  }
  return written;
}

int vesk_a2x::reset(int startArg, int dirArg, int wrapArg) {
  if (startArg < 0) startArg = walkIndex(start, pulled, dir, wrap, nt);
  releaseIfLarge(samples);
  releaseIfLarge(feat);
  releaseIfLarge(enc_rows);
  releaseIfLarge(wn);
  releaseIfLarge(deltas);
  finished = false;
  pulled = win_start = feat_done = enc_done = dec_done = 0;
  dropped = 0;
  feat_base = enc_base = delta_base = 0;
  restorePrimed();
  start = startArg;
  dir = dirArg < 0 ? -1 : 1;
  wrap = wrapArg;
  return dir;
}

int vesk_a2x::deltasWholeRun(const float* audio, int n, float* out, int cap) {
  if (n < 1) return 0;
  const int32_t N = static_cast<int32_t>((static_cast<int64_t>(n) + kFrameSamples - 1) / kFrameSamples);
  if (cap < N) return -2;
  Ort::Session& w = w2v8Session();

  // Every frame below N is written by one of the windows, so the buffer needs no zeros first.
  const std::unique_ptr<float[]> featAll(new float[static_cast<size_t>(N) * kFeatSize]);
  float* f = featAll.get();
  std::vector<float> win(kW2v8Samples);
  int32_t filled = 0;
  for (int32_t s = 0; filled < N; s += 100) {
    const int64_t first = static_cast<int64_t>(s) * kFrameSamples;
    for (int64_t k = 0; k < kW2v8Samples; ++k) win[static_cast<size_t>(k)] = first + k < n ? audio[first + k] : 0.0f;
    normaliseWindow(win.data(), win.size());
    const Ort::Value embValue = runW2v8(w, win.data());
    const float* emb = embValue.GetTensorData<float>();
    for (int32_t i = (s == 0 ? 0 : 50); i < kW2v8Frames; ++i) {
      const int32_t j = s + i;
      if (j >= N) break;
      if (j < filled) continue;
      float* dst = f + static_cast<size_t>(j) * kFeatSize;
      for (int l = 0; l < kW2vLayers; ++l)
        roundFeatures(emb + (static_cast<size_t>(l) * kW2v8Frames + i) * kW2vChannels, dst + l * kW2vChannels,
                      kW2vChannels);
      filled = j + 1;
    }
  }

  std::vector<float> rows(static_cast<size_t>(N) * h);
  wn_last.assign(has_wn ? static_cast<size_t>(N) : 0u, 0.0f);
  for (int32_t a = 0; a < N; a += kWholeRunBand) {
    const int32_t e = std::min(a + kWholeRunBand, N);
    const int32_t lo = std::max(0, a - left_reach);
    const int32_t hi = std::min(N, e + right_reach);
    std::vector<float> band(static_cast<size_t>(hi - lo) * h);
    std::vector<float> bandWn(has_wn ? static_cast<size_t>(hi - lo) : 0u);
    runEncoder(f + static_cast<size_t>(lo) * kFeatSize, lo, hi, band.data(), has_wn ? bandWn.data() : nullptr);
    for (int32_t t = a; t < e; ++t) {
      std::memcpy(rows.data() + static_cast<size_t>(t) * h, band.data() + static_cast<size_t>(t - lo) * h,
                  static_cast<size_t>(h) * sizeof(float));
      if (has_wn) wn_last[static_cast<size_t>(t)] = bandWn[static_cast<size_t>(t - lo)];
    }
  }

  // The streaming decoder state is the session's; keep it and restore it afterwards.
  const std::vector<float> keepPrev = prev, keepH = hstate;
  restorePrimed();
  try {
    for (int32_t t = 0; t < N; ++t) {
      decodeStep(rows.data() + static_cast<size_t>(t) * h);
      float* o = out + static_cast<size_t>(t) * kKpFloats;
      for (int k = 0; k < kKpFloats; ++k) o[k] = norm_mean[k] + prev[k] * norm_scale[k];
    }
  } catch (...) {
    std::copy(keepPrev.begin(), keepPrev.end(), prev.begin());
    std::copy(keepH.begin(), keepH.end(), hstate.begin());
    throw;
  }
  std::copy(keepPrev.begin(), keepPrev.end(), prev.begin());
  std::copy(keepH.begin(), keepH.end(), hstate.begin());
  return N;
}
