#include "audio/vesk_fca.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/vesk_pool.h"
#include "core/vesk_ort.h"

namespace vesk {

namespace {

// f[c] += e[c]; restrict-qualified parameters let the compiler vectorise it.
void accumulate(float* __restrict f, const float* __restrict e, int n) {
  for (int c = 0; c < n; ++c) f[c] += e[c];
}

}  // namespace

Fca::Fca(const std::string& encoderPath, const std::string& fcaPath, int threads) {
  ort::SessionConfig config;
  config.threads = threads;
  config.spinning = ort::spinningFromEnv();
  options_ = ort::sessionOptions(config);
  encoder_.open(encoderPath, options_, {{1, kWindowSamples}},
                {static_cast<size_t>(kLayerCount) * kWindowFrames * kChannels}, {"input_values"}, {"audio_emb"});
  // The hidden state's three dimensions are the model's own; a free one takes the contract's 1.
  stream_.open(fcaPath, options_,
               {{1, static_cast<int64_t>(kOffs.size()) * kChannels}, {1, kKp}, {1, 1, kHidden}}, {kKp, kHidden},
               {"cond", "prev", "h"}, {"m", "hn"});
}

const std::vector<float>& Fca::features(const float* audio, int n) {
  const int frames = framesFor(n);
  feat_.assign(static_cast<size_t>(frames) * kChannels, 0.0f);
  int filled = 0;
  for (int s = 0; frames > 0; s += kWindowStep) {
    // The window, zero past the end, normalised to zero mean and unit variance.
    float* x = encoder_.in(0);
    const long long from = static_cast<long long>(kSamplesPerFrame) * s;
    const long long have = std::clamp<long long>(n - from, 0, kWindowSamples);
    if (have > 0) std::copy(audio + from, audio + from + have, x);
    std::fill(x + have, x + kWindowSamples, 0.0f);
    double sum = 0;
    for (int i = 0; i < kWindowSamples; ++i) sum += x[i];
    const double mean = sum / kWindowSamples;
    double var = 0;
    for (int i = 0; i < kWindowSamples; ++i) var += (x[i] - mean) * (x[i] - mean);
    var /= kWindowSamples;
    const float scale = 1.0f / std::sqrt(static_cast<float>(var) + 1e-7f);
    for (int i = 0; i < kWindowSamples; ++i) x[i] = static_cast<float>((x[i] - mean) * scale);
    encoder_.run();

    const float* emb = encoder_.out(0);
    for (int i = s == 0 ? 0 : kWindowFrames / 4; i < kWindowFrames && s + i < frames; ++i) {
      if (s + i < filled) continue;  // each frame keeps the first window that delivered it
      float* f = &feat_[static_cast<size_t>(s + i) * kChannels];
      for (int l : kLayers) accumulate(f, emb + (static_cast<size_t>(l) * kWindowFrames + static_cast<size_t>(i)) * kChannels, kChannels);
      for (int c = 0; c < kChannels; ++c) f[c] /= static_cast<float>(kLayers.size());
      filled = s + i + 1;
    }
    if (s + kWindowStep >= frames) break;
  }
  return feat_;
}

void Fca::subtractVoicedMean(std::vector<float>& feat, int frames) {
  std::vector<double> sorted;
  sorted.reserve(static_cast<size_t>(frames));
  std::vector<double> sum(kChannels, 0.0);
  int voiced = 0;
  for (int t = 0; t < frames; ++t) {
    float* f = &feat[static_cast<size_t>(t) * kChannels];
    double e2 = 0;
    for (int c = 0; c < kChannels; ++c) e2 += static_cast<double>(f[c]) * f[c];
    const double e = std::sqrt(e2);
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), e), e);
    double threshold = 0;
    if (t > 6) {
      const double p = 0.2 * t;
      const auto lo = static_cast<size_t>(std::floor(p)), hi = static_cast<size_t>(std::ceil(p));
      threshold = sorted[lo] + (sorted[hi] - sorted[lo]) * (p - std::floor(p));
    }
    if (e > threshold) {
      for (int c = 0; c < kChannels; ++c) sum[static_cast<size_t>(c)] += f[c];
      ++voiced;
    }
    const double k = std::max(voiced, 1);
    for (int c = 0; c < kChannels; ++c) f[c] = static_cast<float>(f[c] - sum[static_cast<size_t>(c)] / k);
  }
}

int Fca::deltas(const float* audio, int n, float* out, int cap) {
  const int frames = framesFor(n);
  if (frames == 0) return 0;
  if (cap < frames)
    throw std::runtime_error("output holds " + std::to_string(cap) + " frames, " + std::to_string(frames) + " needed");
  features(audio, n);
  subtractVoicedMean(feat_, frames);

  float* cond = stream_.in(0);
  float* prev = stream_.in(1);
  float* h = stream_.in(2);
  std::fill(prev, prev + kKp, 0.0f);
  std::fill(h, h + kHidden, 0.0f);
  for (int t = 0; t < frames; ++t) {
    // Away from the ends the window is seven consecutive feature rows, read in place.
    const int first = t + kOffs.front(), last = t + kOffs.back();
    if (first >= 0 && last <= frames - 1) {
      stream_.runWith(0, &feat_[static_cast<size_t>(first) * kChannels]);
    } else {
      for (size_t i = 0; i < kOffs.size(); ++i) {
        const int src = std::clamp(t + kOffs[i], 0, frames - 1);
        std::memcpy(cond + i * kChannels, &feat_[static_cast<size_t>(src) * kChannels], sizeof(float) * kChannels);
      }
      stream_.run();
    }
    std::memcpy(out + static_cast<size_t>(t) * kKp, stream_.out(0), sizeof(float) * kKp);
    std::memcpy(prev, stream_.out(0), sizeof(float) * kKp);
    std::memcpy(h, stream_.out(1), sizeof(float) * kHidden);
  }
  return frames;
}

}  // namespace vesk
