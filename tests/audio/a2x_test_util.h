// Shared pieces of the streaming audio tests: the generated models, speech-like audio, and a puller
// that collects every frame of an utterance.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "test_speech.h"
#include "test_util.h"
#include "vesk/vesk_a2x.h"

namespace vesk::test {

inline std::string modelsDir() { return VESK_AUDIO_MODELS; }
inline std::string bundleDir() { return modelsDir() + "/bundle"; }
inline std::string w2vIn(const char* variant) { return modelsDir() + "/" + variant + "/w2v.onnx"; }

// Quieter syllables than the identity tests use (peaks 0.1-0.4); seeded, so every call with the
// same arguments gives the same samples.
inline std::vector<float> speechLike(size_t n, unsigned seed = 7) { return syllables(n, seed, 0.1, 0.3); }

// One pulled frame.
struct Frame {
  int si = 0;
  std::vector<float> xs, xd;
  float wn = 0.0f;
};

struct Pulled {
  std::vector<Frame> frames;
  void append(const int* si, const float* xs, const float* xd, const float* wn, int n) {
    for (int i = 0; i < n; ++i) {
      Frame f;
      f.si = si[i];
      f.xs.assign(xs + 63 * i, xs + 63 * (i + 1));
      f.xd.assign(xd + 63 * i, xd + 63 * (i + 1));
      if (wn != nullptr) f.wn = wn[i];
      frames.push_back(std::move(f));
    }
  }
};

// Pulls up to max frames into p; returns how many came.
inline int pullInto(vesk_a2x* a, Pulled& p, int max, bool withWn = false) {
  std::vector<int> si(static_cast<size_t>(max));
  std::vector<float> xs(63u * static_cast<size_t>(max)), xd(63u * static_cast<size_t>(max)), wn(static_cast<size_t>(max));
  const int n = withWn ? vesk_a2x_pull_wn(a, si.data(), xs.data(), xd.data(), wn.data(), max)
                       : vesk_a2x_pull(a, si.data(), xs.data(), xd.data(), max);
  p.append(si.data(), xs.data(), xd.data(), withWn ? wn.data() : nullptr, n);
  return n;
}

inline void drain(vesk_a2x* a, Pulled& p, int max = 32, bool withWn = false) {
  while (pullInto(a, p, max, withWn) > 0) {
  }
}

// Push everything, finish, pull everything.
inline Pulled wholeUtterance(vesk_a2x* a, const std::vector<float>& audio) {
  Pulled p;
  vesk_a2x_push(a, audio.data(), static_cast<int>(audio.size()));
  vesk_a2x_finish(a);
  drain(a, p);
  return p;
}

inline bool bitIdentical(const Pulled& a, const Pulled& b) {
  if (a.frames.size() != b.frames.size()) return false;
  for (size_t i = 0; i < a.frames.size(); ++i) {
    const Frame& x = a.frames[i];
    const Frame& y = b.frames[i];
    if (x.si != y.si || std::memcmp(x.xd.data(), y.xd.data(), 63 * sizeof(float)) != 0 ||
        std::memcmp(x.xs.data(), y.xs.data(), 63 * sizeof(float)) != 0)
      return false;
  }
  return true;
}

inline float maxAbsDiff(const Pulled& a, const Pulled& b) {
  float m = 0.0f;
  for (size_t i = 0; i < std::min(a.frames.size(), b.frames.size()); ++i)
    for (int k = 0; k < 63; ++k) m = std::max(m, std::fabs(a.frames[i].xd[k] - b.frames[i].xd[k]));
  return m;
}

// A copy of the generated bundle in a scratch directory, with its meta text replaced when given.
inline std::string bundleCopy(const TempDir& tmp, const std::string& from, const std::string& meta = "") {
  const std::string dst = tmp / "bundle";
  std::filesystem::create_directories(dst);
  for (const auto& e : std::filesystem::directory_iterator(from))
    std::filesystem::copy_file(e.path(), dst + "/" + e.path().filename().string(),
                               std::filesystem::copy_options::overwrite_existing);
  if (!meta.empty()) writeFile(dst + "/a2x_meta.json", meta);
  return dst;
}

struct SessionDeleter {
  void operator()(vesk_a2x* a) const { vesk_a2x_destroy(a); }
};
using Session = std::unique_ptr<vesk_a2x, SessionDeleter>;

inline Session makeSession(const std::string& bundle, int threads = 1) {
  Session s(vesk_a2x_create(bundle.c_str(), threads));
  EXPECT_NE(s, nullptr) << vesk_a2x_last_error();
  return s;
}

}  // namespace vesk::test
