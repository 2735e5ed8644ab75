// A streaming audio session: pushed speech in, keypoint frames out. Features come from a shared
// frontend, a banded-attention encoder gives a context row per frame, and an autoregressive decoder
// turns each row into a de-normalised offset of the identity's target keypoints.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vesk/vesk_a2x.h"
#include "core/vesk_constants.h"

namespace vesk::a2x {

constexpr int kFrameSamples = kSamplesPerFrame;
constexpr int kBlockSamples = 5120;
constexpr int kBlockFrames = 8;
constexpr int kKpFloats = kKpWidth;
constexpr int kEncBand = 64;
constexpr int kWholeRunBand = 24;
constexpr int kTrimFrames = 128;
constexpr int64_t kAudioTrim = 81920;
constexpr int64_t kAudioHistory = 32000;
constexpr int kSilencePrimeCap = 200;

// The reading rules of a2x_meta.json: the quoted key, the next colon, a decimal integer after
// optional white space; def when the key or its colon is missing. readMetaWidth also reads true/false.
int readMetaInt(const std::string& text, const char* key, int def);
int readMetaWidth(const std::string& text);

// Index of the k-th frame of a target-row walk over nt rows.
int walkIndex(int64_t start, int64_t k, int dir, int wrap, int nt);

// The look-ahead hold-back of the frontend in frames: VESK_A2X_W2V_RIGHT (negative -> 0), else 12.
int frontendRight();

}  // namespace vesk::a2x

// The session record behind the opaque C handle.
struct vesk_a2x {
  vesk_a2x(const std::string& bundleDir, int threadsArg);
  vesk_a2x(const vesk_a2x&) = delete;
  vesk_a2x& operator=(const vesk_a2x&) = delete;

  void push(const float* s, int n);
  void finish() { finished = true; }
  int total() const;
  int avail();
  int pull(int* si, float* xs, float* xd, float* wnOut, int max);
  int reset(int startArg, int dirArg, int wrapArg);
  int deltasWholeRun(const float* audio, int n, float* out, int cap);

  // Frames reachable now and the audio they rest on (see avail/pull).
  struct Reach {
    int64_t total = 0;
    int64_t usable = 0;  // samples the frontend may read; zeros past them
    int32_t audioFrames = 0;
    int32_t reachable = 0;
  };
  Reach reach() const;
  // Computes frames up to min(T, reachable); failures go to the family's last error.
  void extendGuarded(int32_t T);
  void extend(int32_t T);
  // Grows feat to hold the frames below `frames`; only the frames it grows by are written (zeros),
  // so look-ahead that the frontend has not delivered yet reads as silence.
  void growFeat(int32_t frames);
  void fill_feat(int32_t F, const Reach& r);
  void fill_feat_win(int32_t F, const Reach& r);
  // Encoder over frames [lo, hi) of a feature source; rows receive n x h, wnRows n (or null).
  void runEncoder(const float* featLoHi, int32_t lo, int32_t hi, float* rows, float* wnRows);
  void bindDecoderOutputs();
  void decodeStep(const float* ctxRow);
  Ort::Session& w2v8Session();
  void silencePrime(int count);
  void restorePrimed();

  Ort::SessionOptions options;
  Ort::Session* w2v8 = nullptr;
  std::string w2v_path;
  int32_t threads = 1;
  std::optional<Ort::Session> enc, dec;
  Ort::MemoryInfo mem;
  Ort::RunOptions run_opts;
  int32_t h = 256;
  int32_t window = -1, left = -1;
  int32_t nt = 0;
  int32_t left_reach = 0, right_reach = 0;
  int32_t right = 12;
  bool short_window = false;
  int32_t right_base = 12;
  std::vector<float> pos, norm_mean, norm_scale, xs_target;
  std::string enc_out_name, wn_out_name;
  bool has_wn = false;
  std::vector<float> wn_last;
  std::vector<float> samples;
  bool finished = false;
  int32_t pulled = 0;
  int32_t start = 0, dir = 1, wrap = 1;
  int32_t eager = -1;
  std::vector<float> feat;
  int32_t win_start = 0;
  int32_t feat_done = 0;
  std::vector<float> enc_rows;
  std::vector<float> wn;
  int32_t enc_done = 0;
  std::vector<float> deltas;
  std::vector<float> prev, hstate;  // the decoder's inputs "prev" and "h" point here
  int32_t dec_done = 0;
  int64_t dropped = 0;
  int32_t feat_base = 0, enc_base = 0, delta_base = 0;
  std::vector<float> primed_prev, primed_h;

  // Fixed decoder tensors over these buffers, made once, so a decoded frame allocates nothing here.
  std::vector<float> decCtx, decM, hstateOut;
  std::vector<Ort::Value> decIn, decOut;
  bool decOutFree[2] = {false, false};  // "m", "h_out": declared with free dimensions, not bound yet
  // Scratch reused by every frontend window and encoder band.
  std::vector<float> winBuf, embBuf, headIn, attnBuf;
};
