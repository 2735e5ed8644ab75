#include "audio/vesk_motion.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "bundle/vesk_imx.h"
#include "core/vesk_pool.h"
#include "core/vesk_buffer.h"
#include "core/vesk_env.h"
#include "core/vesk_ort.h"

namespace vesk {

namespace {

// A number after the quoted key and its colon. Only a missing or unparsable key is an error; the
// file is not otherwise validated as JSON.
double metaNumber(const std::string& text, const std::string& key, bool required, double dflt) {
  const std::string quoted = "\"" + key + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string::npos) {
    if (required) throw std::runtime_error("meta.json: missing " + key);
    return dflt;
  }
  const size_t colon = text.find(':', at + quoted.size());
  if (colon == std::string::npos) throw std::runtime_error("meta.json: bad " + key);
  const char* begin = text.c_str() + colon + 1;
  char* end = nullptr;
  const double v = std::strtod(begin, &end);
  if (end == begin || !std::isfinite(v)) throw std::runtime_error("meta.json: bad " + key);
  return v;
}

int metaCount(const std::string& text, const std::string& key) {
  const double v = metaNumber(text, key, true, 0);
  if (v < 1 || v > 1e7 || v != std::floor(v)) throw std::runtime_error("meta.json: bad " + key);
  return static_cast<int>(v);
}

// Expectation of the 66 angle bins (3 degrees apart, from -97.5), in degrees.
double binAngle(const float* logits) {
  double mx = logits[0];
  for (int i = 1; i < 66; ++i) mx = std::max(mx, static_cast<double>(logits[i]));
  double sum = 0, acc = 0;
  for (int i = 0; i < 66; ++i) {
    const double e = std::exp(static_cast<double>(logits[i]) - mx);
    sum += e;
    acc += e * i;
  }
  return acc / sum * 3.0 - 97.5;
}

void rotation(double a1, double a2, double a3, double r[3][3]) {
  const double d = 3.14159265358979323846 / 180.0;
  const double ca = std::cos(a1 * d), sa = std::sin(a1 * d);
  const double cb = std::cos(a2 * d), sb = std::sin(a2 * d);
  const double cc = std::cos(a3 * d), sc = std::sin(a3 * d);
  const double m[3][3] = {{cb * cc, cb * sc, -sb},
                          {sa * sb * cc - sc * ca, ca * cc + sa * sb * sc, sa * cb},
                          {sa * sc + ca * sb * cc, ca * sb * sc - cc * sa, ca * cb}};
  std::memcpy(r, m, sizeof m);
}

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

inline float clampTo(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The pose part of a motion row as the mean of the same part of rows first .. first + n - 1 (n is 1
// to 3, rows kMotionDim apart), summed in row order from 0 as the plain loop does.
void meanOfRows(float* __restrict dst, const float* __restrict r0, int n) {
  constexpr int kD = Motion::kMotionDim;
  if (n == 3) {
    for (int d = 0; d < Motion::kSmoothDims; ++d) dst[d] = (((0.0f + r0[d]) + r0[kD + d]) + r0[2 * kD + d]) / 3.0f;
  } else if (n == 2) {
    for (int d = 0; d < Motion::kSmoothDims; ++d) dst[d] = ((0.0f + r0[d]) + r0[kD + d]) / 2.0f;
  } else {
    for (int d = 0; d < Motion::kSmoothDims; ++d) dst[d] = (0.0f + r0[d]) / 1.0f;
  }
}

// Every dimension of a motion row clamped into its [min, max].
void clampRow(float* __restrict row, const float* __restrict lo, const float* __restrict hi) {
  for (int d = 0; d < Motion::kMotionDim; ++d) row[d] = clampTo(row[d], lo[d], hi[d]);
}

// A conditioning row's audio part: the mean of two student frames, each as value x scale + mean.
// Restrict-qualified parameters let the compiler vectorise it.
void audioRow(float* __restrict row, const float* __restrict a, const float* __restrict b, const float* __restrict sd,
              const float* __restrict mn, int n) {
  for (int d = 0; d < n; ++d) row[d] = ((a[d] * sd[d] + mn[d]) + (b[d] * sd[d] + mn[d])) * 0.5f;
}

}  // namespace

Motion::Motion(const std::string& motionDir, int threads, const std::string& ep) {
  if (const auto d = env::text("VESK_MOTION_DUMP")) dumpDir_ = *d;
  loadTables(motionDir);
  openNets(motionDir, threads, ep);

  padded_.assign(kWindowSamples + 2 * kPad, 0.0f);
  feat_.assign(kStudentFrames * kFeatDim, 0.0f);
  reset(0, 1, 1);
}

void Motion::loadTables(const std::string& dir) {
  const std::string meta = readTextFile(dir + "/meta.json");
  nt_ = metaCount(meta, "nt");
  const int nSrc = metaCount(meta, "n_src");
  if (nSrc != nt_) throw std::runtime_error("vesk_motion: n_src != nt unsupported");
  nEmo_ = metaCount(meta, "n_emo");
  sBridge_ = static_cast<float>(metaNumber(meta, "s_bridge", true, 0));
  deltaPitch_ = static_cast<float>(metaNumber(meta, "delta_pitch", false, 0));

  auto f = [&](const char* name, size_t n) { return readFloatFile(dir + "/" + name, n); };
  mel_.setTables(f("hubert_stft_window.bin", MotionMel::kFft).data(),
                 f("hubert_stft_binmat.bin", static_cast<size_t>(MotionMel::kBins) * kMelBands).data());
  fmean_ = f("hubert_fmean.bin", kFeatDim);
  fstd_ = f("hubert_fstd.bin", kFeatDim);
  emo_ = f("emo.bin", static_cast<size_t>(nEmo_) * 8);
  chInfo_ = f("ch_xs_info.bin", kDescDim);
  chSc_ = f("ch_sc.bin", kKp);
  eyeOpen_ = f("ch_eye_open.bin", 2);
  eyeBall_ = f("ch_eye_ball.bin", 6);
  const std::vector<float> mm = f("v_min_max.bin", 2 * kMotionDim);
  srcInfo_ = f("src_xs_info.bin", static_cast<size_t>(nSrc) * kDescDim);
  target_ = readFloatFile(resolveMember(dir, "xs_target.bin"), static_cast<size_t>(nt_) * kKp);

  vmin_.assign(mm.begin(), mm.begin() + kMotionDim);
  vmax_.assign(mm.begin() + kMotionDim, mm.end());
  for (int d = 0; d < kMotionDim; ++d)
    if (!(vmin_[d] <= vmax_[d]))
      throw std::runtime_error(dir + "/v_min_max.bin: minimum above maximum at dimension " + std::to_string(d));
  if (srcInfo_[258] == 0.0f) throw std::runtime_error(dir + "/src_xs_info.bin: the first source row has scale 0");
  gain_ = chInfo_[258] / srcInfo_[258];

  // The motion state starts from the description row in the motion vector's own layout.
  const float* q = chInfo_.data();
  int k = 0;
  initState_[k++] = q[258] - 1.0f;
  for (int i = 0; i < 66; ++i) initState_[k++] = q[126 + i];
  for (int i = 0; i < 66; ++i) initState_[k++] = q[262 + i];
  for (int i = 0; i < 66; ++i) initState_[k++] = q[192 + i];
  for (int i = 0; i < 3; ++i) initState_[k++] = q[259 + i];
  for (int i = 0; i < kKp; ++i) initState_[k++] = q[i];

  // Each source frame's pose is fixed, so its rotated canonical keypoints are computed once.
  poses_.resize(static_cast<size_t>(nt_));
  for (int s = 0; s < nt_; ++s) {
    const float* r = &srcInfo_[static_cast<size_t>(s) * kDescDim];
    const double a1 = binAngle(r + 126), a2 = binAngle(r + 262), a3 = binAngle(r + 192);
    double rs[3][3], rd[3][3];
    rotation(a1, a2, a3, rs);
    rotation(a1 + deltaPitch_, a2, a3, rd);
    Pose& p = poses_[static_cast<size_t>(s)];
    p.scale = r[258];
    p.tx = r[259];
    p.ty = r[260];
    for (int i = 0; i < 21; ++i)
      for (int j = 0; j < 3; ++j) {
        double sS = 0, sD = 0;
        for (int m = 0; m < 3; ++m) {
          sS += static_cast<double>(r[kKp + 3 * i + m]) * rs[m][j];
          sD += static_cast<double>(r[kKp + 3 * i + m]) * rd[m][j];
        }
        p.canS[3 * i + j] = static_cast<float>(sS);
        p.canD[3 * i + j] = static_cast<float>(sD);
      }
  }
}

void Motion::openNets(const std::string& dir, int threads, const std::string& ep) {
  ort::SessionConfig config;
  config.threads = threads;
  config.spinning = ort::spinningFromEnv();
  if (!ep.empty()) {
    if (!startsWith(ep, "coreml")) throw std::runtime_error("vesk_motion: unknown ep '" + ep + "'");
    config.coremlUnits = ep.size() >= 10 ? ep.substr(7, 3) : std::string("all");
    config.coremlCacheDir = dir + "/.coreml_cache";
  }
  try {
    options_ = ort::sessionOptions(config);
  } catch (const std::exception& e) {
    if (config.coremlUnits.empty()) throw;
    std::fprintf(stderr, "[vesk] vesk_motion: CoreML provider unavailable (%s); running on the CPU provider\n",
                 e.what());
    config.coremlUnits.clear();
    options_ = ort::sessionOptions(config);
  }
  student_.open(dir + "/hubert_student.onnx", options_, {{1, kMelBands, kMelFrames}},
                {kStudentFrames * kFeatDim});
  lmdm_.open(dir + "/lmdm.onnx", options_, {{1, kMotionDim}, {1, kChunk, kCondDim}}, {kChunk * kMotionDim});
  stitch_.open(dir + "/stitch.onnx", options_, {{1, kKp}, {1, kKp}}, {kKp});
}

double Motion::runSeconds() const { return student_.runSeconds() + lmdm_.runSeconds() + stitch_.runSeconds(); }

void Motion::reset(int start, int dir, int wrap) {
  releaseIfLarge(samples_);
  samplesBase_ = 0;
  finished_ = false;
  total_ = 0;
  nextWindow_ = 0;
  eagerWindows_ = 0;
  melWindow_ = -1;
  melReused_ = 0;
  releaseIfLarge(cond_);
  condRows_ = condBase_ = 0;
  releaseIfLarge(table_);
  releaseIfLarge(smoothCopy_);
  motionRows_ = tableBase_ = 0;
  chunk_ = 0;
  state_ = initState_;
  final_ = false;
  pulled_ = 0;
  pos_ = std::clamp(start, 0, nt_ - 1);
  dir_ = dir < 0 ? -1 : 1;
  wrap_ = wrap != 0 ? 1 : 0;
  haveFirst_ = false;
  dumpedWindow_ = dumpedChunk_ = false;
}

void Motion::push(const float* samples, int n) {
  if (finished_) throw std::runtime_error("already finished");
  if (n > 0) samples_.insert(samples_.end(), samples, samples + n);
}

void Motion::melPad() {
  // Reflect without repeating the edge sample, as a centred STFT does.
  float* p = padded_.data();
  const float* win = p + kPad;
  for (int i = 0; i < kPad; ++i) {
    p[i] = win[kPad - i];
    p[kPad + kWindowSamples + i] = win[kWindowSamples - 2 - i];
  }
}

void Motion::melBlock(const float* win, float* out) {
  std::memcpy(padded_.data() + kPad, win, sizeof(float) * kWindowSamples);
  melPad();
  mel_.block(padded_.data(), out);
}

void Motion::processWindow(int w) {
  // The window's audio, in place in the padded block: what was pushed of samples start .. start +
  // 6479, zeros elsewhere.
  const int64_t start = static_cast<int64_t>(kSamplesPerFrame) * w - kWindowLead;
  const int64_t have = samplesBase_ + static_cast<int64_t>(samples_.size());
  const int64_t from = std::clamp<int64_t>(-start, 0, kWindowSamples);
  const int64_t to = std::clamp<int64_t>(have - start, from, kWindowSamples);
  if (to > from && start + from < samplesBase_) throw std::runtime_error("feature window reads trimmed audio");
  float* win = padded_.data() + kPad;
  std::fill(win, win + from, 0.0f);
  if (to > from)
    std::copy(samples_.begin() + (start + from - samplesBase_), samples_.begin() + (start + to - samplesBase_),
              win + from);
  std::fill(win + to, win + kWindowSamples, 0.0f);
  melPad();
  // The student's input still holds the previous window's block (a run only reads it). Its shared
  // frames read samples start - 3200 + 3264 .. start - 3200 + 6335: when those had all been pushed
  // then (or lay before the audio, zeros both times), they are the same samples now.
  float* mel = student_.in(0);
  const int64_t sharedEnd = start - static_cast<int64_t>(kSamplesPerFrame) * kWindowFrames +
                            (kHopSamples * kMelSharedTo + MotionMel::kFft - kPad);
  if (melReuse_ && melWindow_ == w - kWindowFrames && sharedEnd <= melHave_) {
    for (int m = 0; m < kMelBands; ++m)
      std::memmove(mel + m * kMelFrames + (kMelSharedFrom - kMelShift), mel + m * kMelFrames + kMelSharedFrom,
                   sizeof(float) * (kMelSharedTo - kMelSharedFrom + 1));
    // The rest: frame 0 (it reads the reflected start) and 10..20.
    static constexpr std::array<int, 12> kFresh = {0, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    mel_.frames(padded_.data(), kFresh.data(), static_cast<int>(kFresh.size()), mel);
    melReused_ += kMelSharedTo - kMelSharedFrom + 1;
  } else {
    mel_.block(padded_.data(), mel);
  }
  melWindow_ = w;
  melHave_ = have;
  student_.run();

  // Each value becomes value x scale + mean; a conditioning row averages two student frames, so only
  // frames 6 .. 15 are needed (all of them for the first window's dump).
  const float* o = student_.out(0);
  const float* sd = fstd_.data();
  const float* mn = fmean_.data();
  if (!dumpedWindow_) {
    if (!dumpDir_.empty()) {
      for (int f = 0; f < kStudentFrames; ++f)
        for (int d = 0; d < kFeatDim; ++d) {
          const size_t i = static_cast<size_t>(f) * kFeatDim + static_cast<size_t>(d);
          feat_[i] = o[i] * sd[d] + mn[d];
        }
      dump("mel0.bin", student_.in(0), static_cast<size_t>(kMelBands) * kMelFrames, false);
      dump("feat0.bin", feat_.data(), feat_.size(), false);
    }
    dumpedWindow_ = true;
  }
  if (w < condBase_) throw std::runtime_error("feature window writes trimmed conditioning rows");
  cond_.resize(static_cast<size_t>(w + kWindowFrames - condBase_) * kCondDim);
  for (int k = 0; k < kWindowFrames; ++k) {
    const int r = w + k;
    float* row = &cond_[static_cast<size_t>(r - condBase_) * kCondDim];
    audioRow(row, o + static_cast<size_t>(6 + 2 * k) * kFeatDim, o + static_cast<size_t>(7 + 2 * k) * kFeatDim, sd, mn,
             kFeatDim);
    std::memcpy(row + kFeatDim, &emo_[static_cast<size_t>(r % nEmo_) * 8], sizeof(float) * 8);
    std::memcpy(row + kFeatDim + 8, eyeOpen_.data(), sizeof(float) * 2);
    std::memcpy(row + kFeatDim + 10, eyeBall_.data(), sizeof(float) * 6);
    std::memcpy(row + kFeatDim + 16, chSc_.data(), sizeof(float) * kKp);
  }
  condRows_ = w + kWindowFrames;
}

void Motion::runChunk(int c) {
  const auto t0 = std::chrono::steady_clock::now();
  const int base = kStride * c;
  std::memcpy(lmdm_.in(0), state_.data(), sizeof(float) * kMotionDim);
  // The window is 80 consecutive conditioning rows, read in place; only a window past the last row
  // (the last one repeated) is put together in the network's own buffer.
  if (base < condBase_) throw std::runtime_error("motion window reads trimmed conditioning rows");
  const float* win = &cond_[static_cast<size_t>(base - condBase_) * kCondDim];
  if (base + kChunk <= condRows_) {
    lmdm_.runWith(1, win);
  } else {
    float* own = lmdm_.in(1);
    for (int i = 0; i < kChunk; ++i) {
      const int r = base + std::min(i, condRows_ - 1 - base);
      std::memcpy(own + static_cast<size_t>(i) * kCondDim, &cond_[static_cast<size_t>(r - condBase_) * kCondDim],
                  sizeof(float) * kCondDim);
    }
    win = own;
    lmdm_.run();
  }
  const float* pred = lmdm_.out(0);
  if (!dumpedChunk_) {
    dump("lmdm0_kp.bin", lmdm_.in(0), kMotionDim, false);
    dump("lmdm0_aud.bin", win, static_cast<size_t>(kChunk) * kCondDim, false);
    dump("lmdm0_pred.bin", pred, static_cast<size_t>(kChunk) * kMotionDim, false);
    dumpedChunk_ = true;
  }

  // The pose part is smoothed over three rows; lo..hi are the rows smoothed, from a copy of the rows
  // lo - 1 .. hi + 1 that exist (row numbers count from the utterance's start; the table holds them
  // from tableBase_).
  auto smooth = [&](int lo, int hi, int rows) {
    const int c0 = std::max(lo - 1, 0), c1 = std::min(hi + 1, rows - 1);
    if (c0 < tableBase_) throw std::runtime_error("motion window reads trimmed motion rows");
    smoothCopy_.assign(table_.begin() + static_cast<ptrdiff_t>(c0 - tableBase_) * kMotionDim,
                       table_.begin() + static_cast<ptrdiff_t>(c1 + 1 - tableBase_) * kMotionDim);
    for (int i = lo; i <= hi; ++i) {
      const int a = std::max(i - 1, 0), b = std::min(i + 1, rows - 1);
      meanOfRows(&table_[static_cast<size_t>(i - tableBase_) * kMotionDim],
                 &smoothCopy_[static_cast<size_t>(a - c0) * kMotionDim], b - a + 1);
    }
  };

  if (c == 0) {
    table_.assign(pred, pred + static_cast<size_t>(kChunk) * kMotionDim);
    motionRows_ = kChunk;
    tableBase_ = 0;
    smooth(0, kChunk - 1, kChunk);
  } else {
    const int L = motionRows_;
    for (int j = 0; j < kOverlap; ++j) {
      const float a = static_cast<float>(j) / static_cast<float>(kOverlap);
      float* old = &table_[static_cast<size_t>(L - kOverlap + j - tableBase_) * kMotionDim];
      const float* nw = pred + static_cast<size_t>(j) * kMotionDim;
      for (int d = 0; d < kMotionDim; ++d) old[d] = (1.0f - a) * old[d] + a * nw[d];
    }
    table_.insert(table_.end(), pred + static_cast<size_t>(kOverlap) * kMotionDim,
                  pred + static_cast<size_t>(kChunk) * kMotionDim);
    motionRows_ = L + kChunk - kOverlap;
    smooth(L - kOverlap, L, motionRows_);
  }
  const float* carry = &table_[static_cast<size_t>(motionRows_ - kMargin - tableBase_) * kMotionDim];
  std::memcpy(state_.data(), carry, sizeof(float) * kSmoothDims);
  std::memcpy(state_.data() + kSmoothDims, initState_.data() + kSmoothDims, sizeof(float) * (kMotionDim - kSmoothDims));

  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  chunkMsAvg_ = chunkMsAvg_ <= 0 ? ms : 0.8 * chunkMsAvg_ + 0.2 * ms;
}

int Motion::eagerCount() const {
  if (eager_ > 0) return eager_;
  return std::clamp(static_cast<int>(std::ceil(chunkMsAvg_ / 40.0)), 1, 8);
}

int Motion::availableNow() const {
  if (final_) return std::max(0, motionRows_ - pulled_);
  return std::max(0, std::min(condRows_ - 1, motionRows_ - kMargin) - pulled_);
}

void Motion::runReadyChunks(int rows) {
  while (kStride * chunk_ + kChunk - 1 < rows) {
    runChunk(chunk_);
    ++chunk_;
  }
}

void Motion::advanceLive() {
  const int64_t have = samplesBase_ + static_cast<int64_t>(samples_.size());
  // A motion window runs as soon as its rows exist (it reads nothing later), so a long backlog of
  // audio never holds all its conditioning rows at once.
  while (have >= static_cast<int64_t>(kSamplesPerFrame) * nextWindow_ + (kWindowSamples - kWindowLead)) {
    processWindow(nextWindow_);
    nextWindow_ += kWindowFrames;
    runReadyChunks(condRows_);
    trimRows();
  }

  // Eager advancement: when fewer frames are ready than the consumer is likely to need before the
  // next computation finishes, windows whose look-ahead audio has not arrived run on zeros instead.
  // A window computed that way is final, so this only happens when it actually frees frames: the
  // windows up to the first that gives K ready frames (or the most frames the audio allows).
  const int want = eagerCount();
  if (availableNow() >= want) return;
  const int limit = static_cast<int>((have + kSamplesPerFrame - 1) / kSamplesPerFrame);
  auto readyWith = [&](int rows) {  // frames ready if rows conditioning rows existed
    int chunks = chunk_;
    while (kStride * chunks + kChunk - 1 < rows) ++chunks;
    const int mrows = chunks == 0 ? 0 : chunks == chunk_ ? motionRows_ : kStride * chunks + kOverlap;
    return std::max(0, std::min(rows - 1, mrows - kMargin) - pulled_);
  };
  int target = -1, best = availableNow();
  for (int w = nextWindow_; w < limit; w += kWindowFrames) {
    const int got = readyWith(w + kWindowFrames);
    if (got > best) {
      best = got;
      target = w;
    }
    if (got >= want) break;
  }
  while (target >= 0 && nextWindow_ <= target) {
    processWindow(nextWindow_);
    nextWindow_ += kWindowFrames;
    ++eagerWindows_;
  }
  runReadyChunks(condRows_);
}

int Motion::avail() {
  if (!finished_) {
    advanceLive();
    trimAudio();
  }
  return availableNow();
}

void Motion::trimAudio() {
  if (!dumpDir_.empty()) return;
  // The next feature window starts kWindowLead samples before its first frame.
  const int64_t keep = static_cast<int64_t>(kSamplesPerFrame) * nextWindow_ - kWindowLead;
  if (keep - samplesBase_ < kTrimSamples) return;
  const auto cut = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(samples_.size()), keep - samplesBase_));
  eraseFront(samples_, cut);
  samplesBase_ += static_cast<int64_t>(cut);
}

void Motion::trimRows() {
  if (!dumpDir_.empty()) return;
  // The next motion window reads conditioning rows from its first one on.
  const int condKeep = kStride * chunk_;
  if (condKeep - condBase_ >= kTrimRows) {
    eraseFront(cond_, static_cast<size_t>(condKeep - condBase_) * kCondDim);
    condBase_ = condKeep;
  }
  // A live frame reads the rows beside it, the next motion window blends into the table's last
  // rows and carries its state from kMargin rows before its end; the final table serves each row alone.
  const int tableKeep = final_ ? pulled_ : std::max(0, std::min(pulled_ - 1, motionRows_ - kMargin));
  if (tableKeep - tableBase_ >= kTrimRows) {
    eraseFront(table_, static_cast<size_t>(tableKeep - tableBase_) * kMotionDim);
    tableBase_ = tableKeep;
  }
}

void Motion::finish() {
  if (finished_) return;
  const int64_t frames =
      (samplesBase_ + static_cast<int64_t>(samples_.size()) + kSamplesPerFrame - 1) / kSamplesPerFrame;
  if (frames > 0x7fffffff / kStride) throw std::runtime_error("audio too long");
  total_ = static_cast<int>(frames);
  // Motion windows whose rows all lie below the total see the same rows now as after the cut below.
  while (nextWindow_ < total_) {
    processWindow(nextWindow_);
    nextWindow_ += kWindowFrames;
    runReadyChunks(std::min(condRows_, total_));
    trimRows();
  }
  condRows_ = std::min(condRows_, total_);
  while (kStride * chunk_ < std::min(condRows_, total_)) {
    runChunk(chunk_);
    ++chunk_;
  }
  dump("cond.bin", cond_.data(), static_cast<size_t>(condRows_ - condBase_) * kCondDim, false);
  buildFinal();
  finished_ = true;
  // Nothing reads the audio or the conditioning rows once the final table is built.
  samplesBase_ += static_cast<int64_t>(samples_.size());
  releaseIfLarge(samples_);
  condBase_ = condRows_;
  releaseIfLarge(cond_);
  releaseIfLarge(smoothCopy_);
}

void Motion::buildFinal() {
  const int rows = std::min(motionRows_, total_);
  table_.resize(static_cast<size_t>(rows - tableBase_) * kMotionDim);
  motionRows_ = rows;
  smoothCopy_ = table_;
  // A trimmed table's first row lacks the row before it; it is behind the frames still to come.
  for (int i = tableBase_ == 0 ? 0 : tableBase_ + 1; i < rows; ++i) {
    const int a = std::max(i - 1, 0), b = std::min(i + 1, rows - 1);
    meanOfRows(&table_[static_cast<size_t>(i - tableBase_) * kMotionDim],
               &smoothCopy_[static_cast<size_t>(a - tableBase_) * kMotionDim], b - a + 1);
  }
  dump("res_post.bin", table_.data(), table_.size(), false);
  for (int i = 0; i < rows - tableBase_; ++i)
    clampRow(&table_[static_cast<size_t>(i) * kMotionDim], vmin_.data(), vmax_.data());
  dump("final.bin", table_.data(), table_.size(), false);
  final_ = true;
}

void Motion::motionRow(int f, float* row) const {
  const float* src = &table_[static_cast<size_t>(f - tableBase_) * kMotionDim];
  std::memcpy(row, src, sizeof(float) * kMotionDim);
  if (!final_) {
    // Live rows f - 1 .. f + 1 exist: a served frame has kMargin rows beyond it.
    const int a = std::max(f - 1, 0), b = f + 1;
    meanOfRows(row, &table_[static_cast<size_t>(a - tableBase_) * kMotionDim], b - a + 1);
  }
  clampRow(row, vmin_.data(), vmax_.data());
}

void Motion::emitFrame(int* si, float* xs, float* xd) {
  float* row = row_.data();
  motionRow(pulled_, row);
  const int s = pos_;
  if (wrap_ != 0) {
    pos_ = ((pos_ + dir_) % nt_ + nt_) % nt_;
  } else {
    int p = pos_ + dir_;
    if (p < 0) {
      dir_ = 1;
      p = 1;
    } else if (p >= nt_) {
      dir_ = -1;
      p = nt_ - 2;
    }
    pos_ = std::clamp(p, 0, nt_ - 1);
  }
  if (!haveFirst_) {
    first_ = row_;
    haveFirst_ = true;
  }
  const float* q = &srcInfo_[static_cast<size_t>(s) * kDescDim];
  const Pose& P = poses_[static_cast<size_t>(s)];
  std::memcpy(exprD_.data(), q, sizeof(float) * kKp);
  for (int kp : kLip)
    for (int a = 0; a < 3; ++a) {
      const int k = 3 * kp + a;
      exprD_[static_cast<size_t>(k)] = q[k] + (row[kExprAt + k] - first_[static_cast<size_t>(kExprAt + k)]) * gain_;
    }
  float* inS = stitch_.in(0);
  float* inD = stitch_.in(1);
  for (int k = 0; k < kKp; ++k) {
    const int j = k % 3;
    const float t = j == 0 ? P.tx : j == 1 ? P.ty : 0.0f;
    xsPosed_[static_cast<size_t>(k)] = P.scale * (P.canS[static_cast<size_t>(k)] + q[k]) + t;
    inS[k] = xsPosed_[static_cast<size_t>(k)];
    inD[k] = P.scale * (P.canD[static_cast<size_t>(k)] + exprD_[static_cast<size_t>(k)]) + t;
  }
  stitch_.run();
  const float* st = stitch_.out(0);
  const float* tgt = &target_[static_cast<size_t>(s) * kKp];
  *si = s;
  std::memcpy(xs, tgt, sizeof(float) * kKp);
  for (int k = 0; k < kKp; ++k) xd[k] = tgt[k] + sBridge_ * (st[k] - xsPosed_[static_cast<size_t>(k)]);
  if (!dumpDir_.empty()) {
    dump("xsla.bin", xsPosed_.data(), kKp, true);
    dump("xdla.bin", st, kKp, true);
    dump("xs.bin", xs, kKp, true);
    dump("xd.bin", xd, kKp, true);
  }
  ++pulled_;
}

int Motion::pull(int* si, float* xs, float* xd, int max) {
  if (max < 1) return 0;
  if (!finished_) advanceLive();
  const int n = std::min(max, availableNow());
  for (int i = 0; i < n; ++i) emitFrame(si + i, xs + static_cast<size_t>(i) * kKp, xd + static_cast<size_t>(i) * kKp);
  if (!finished_) trimAudio();
  trimRows();
  return n;
}

void Motion::dump(const char* name, const float* data, size_t n, bool append) const {
  if (dumpDir_.empty()) return;
  // Debugging output only: a directory that cannot be written loses the dump, not the frame.
  const std::string path = dumpDir_ + "/" + name;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), append ? "ab" : "wb"), &std::fclose);
  if (f && n > 0) (void)std::fwrite(data, sizeof(float), n, f.get());
}

}  // namespace vesk
