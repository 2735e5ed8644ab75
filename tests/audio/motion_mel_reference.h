// References for the motion model's log-mel block, written from its definition and kept apart from
// the library's code: the 6480-sample window reflect-padded by 256 at each end (edge sample not
// repeated), 21 frames at hop 320, 512 windowed samples each, magnitudes of bins 0..256, every band
// summed over all 257 bins, log(sum + 1e-8), band-major.
//
//   floatBlock   the plain way in float, as the session did it before the packed transform: a
//                512-point complex radix-2 FFT per frame (imaginary part zero, bit-reversed order,
//                twiddles cos/sin(-2 pi i / 512) computed in float), each band summed over its
//                non-zero bins only (the zero terms add nothing). The benchmark's baseline, and the
//                accuracy a faster transform has to match.
//   doubleBlock  a direct DFT in double precision: the exact answer, near enough.
#pragma once

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace vesk::ref {

class MelReference {
 public:
  static constexpr int kWindow = 6480, kPad = 256, kFrames = 21, kHop = 320, kN = 512, kBins = 257, kBands = 80;

  MelReference(std::vector<float> window, std::vector<float> binmat)
      : window_(std::move(window)), binmat_(std::move(binmat)), padded_(kWindow + 2 * kPad) {
    for (int m = 0; m < kBands; ++m) {
      lo_[m] = hi_[m] = 0;
      for (int k = kBins - 1; k >= 0; --k)
        if (binmat_[static_cast<size_t>(k * kBands + m)] != 0.0f) {
          if (hi_[m] == 0) hi_[m] = k + 1;
          lo_[m] = k;
        }
    }
    for (int j = 0; j < kN; ++j) {
      cosD_[j] = std::cos(2.0 * M_PI * j / kN);
      sinD_[j] = std::sin(2.0 * M_PI * j / kN);
    }
    for (int i = 0; i < 256; ++i) {
      twCos_[i] = std::cos(-2.0f * 3.14159265358979323846f * static_cast<float>(i) / 512.0f);
      twSin_[i] = std::sin(-2.0f * 3.14159265358979323846f * static_cast<float>(i) / 512.0f);
    }
  }

  void floatBlock(const float* win, float* out) {
    const std::vector<float>& p = pad(win);
    float re[kN], im[kN];
    for (int t = 0; t < kFrames; ++t) {
      for (int k = 0; k < kN; ++k) {
        re[k] = p[static_cast<size_t>(kHop * t + k)] * window_[static_cast<size_t>(k)];
        im[k] = 0.0f;
      }
      fft(re, im);
      float mag[kBins];
      for (int k = 0; k < kBins; ++k) mag[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]);
      for (int m = 0; m < kBands; ++m) {
        float acc = 0.0f;
        for (int k = lo_[m]; k < hi_[m]; ++k) acc += binmat_[static_cast<size_t>(k * kBands + m)] * mag[k];
        out[m * kFrames + t] = std::log(acc + 1e-8f);
      }
    }
  }

  void doubleBlock(const float* win, double* out) {
    const std::vector<float>& p = pad(win);
    std::vector<double> mag(kBins);
    for (int t = 0; t < kFrames; ++t) {
      for (int k = 0; k < kBins; ++k) {
        double sr = 0, si = 0;
        for (int n = 0; n < kN; ++n) {
          const double x = static_cast<double>(p[static_cast<size_t>(kHop * t + n)]) * window_[static_cast<size_t>(n)];
          const int j = (k * n) % kN;
          sr += x * cosD_[j];
          si -= x * sinD_[j];
        }
        mag[static_cast<size_t>(k)] = std::sqrt(sr * sr + si * si);
      }
      for (int m = 0; m < kBands; ++m) {
        double acc = 0;
        for (int k = 0; k < kBins; ++k) acc += static_cast<double>(binmat_[static_cast<size_t>(k * kBands + m)]) * mag[static_cast<size_t>(k)];
        out[m * kFrames + t] = std::log(acc + 1e-8);
      }
    }
  }

 private:
  const std::vector<float>& pad(const float* win) {
    std::vector<float>& p = padded_;
    for (int i = 0; i < kWindow; ++i) p[static_cast<size_t>(kPad + i)] = win[i];
    for (int i = 1; i <= kPad; ++i) {
      p[static_cast<size_t>(kPad - i)] = win[i];
      p[static_cast<size_t>(kPad + kWindow - 1 + i)] = win[kWindow - 1 - i];
    }
    return p;
  }

  void fft(float* re, float* im) const {
    for (int i = 0, j = 0; i < kN; ++i) {
      if (i < j) {
        std::swap(re[i], re[j]);
        std::swap(im[i], im[j]);
      }
      int bit = kN >> 1;
      for (; (j & bit) != 0; bit >>= 1) j ^= bit;
      j |= bit;
    }
    for (int len = 2; len <= kN; len <<= 1) {
      const int half = len / 2, step = kN / len;
      for (int i = 0; i < kN; i += len)
        for (int k = 0; k < half; ++k) {
          const float wr = twCos_[k * step], wi = twSin_[k * step];
          const int a = i + k, b = a + half;
          const float tr = re[b] * wr - im[b] * wi;
          const float ti = re[b] * wi + im[b] * wr;
          re[b] = re[a] - tr;
          im[b] = im[a] - ti;
          re[a] += tr;
          im[a] += ti;
        }
    }
  }

  std::vector<float> window_, binmat_, padded_;
  int lo_[kBands], hi_[kBands];
  float twCos_[256], twSin_[256];
  double cosD_[kN], sinD_[kN];
};

}  // namespace vesk::ref
