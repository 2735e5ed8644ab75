// A slow, direct reference of the paste, one pixel at a time, for the bit-exact comparisons.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace vesk::test {

struct RefTables {
  std::vector<float> gauss;      // ksize
  std::vector<float> lanczos;    // 32 x 8
  std::vector<float> bilinear;   // 32 x 2
  std::vector<float> cubic;      // 32 x 4
};

inline RefTables refTables(int ksize, float sigma) {
  RefTables t;
  std::vector<double> g;
  double sum = 0;
  const int c = (ksize - 1) / 2;
  for (int i = 0; i < ksize; ++i) {
    g.push_back(std::exp(-double((i - c) * (i - c)) / (2.0 * double(sigma) * double(sigma))));
    sum += g.back();
  }
  for (double v : g) t.gauss.push_back(float(v / sum));

  const double r = std::sqrt(0.5);
  const double cs[8][2] = {{1, 0}, {-r, -r}, {0, 1}, {r, -r}, {-1, 0}, {r, r}, {0, -1}, {-r, r}};
  const double pi = std::numbers::pi;
  for (int j = 0; j < 32; ++j) {
    const double x = j / 32.0;
    t.bilinear.push_back(float(1.0 - x));
    t.bilinear.push_back(float(x));
    if (x < 1e-7) {
      for (int i = 0; i < 8; ++i) t.lanczos.push_back(i == 3 ? 1.0f : 0.0f);
    } else {
      const double s = std::sin(-(x + 3) * pi / 4), k = std::cos(-(x + 3) * pi / 4);
      double w[8], ws = 0;
      for (int i = 0; i < 8; ++i) {
        const double y = (x + 3 - i) * pi / 4;
        w[i] = (cs[i][0] * s + cs[i][1] * k) / (y * y);
        ws += w[i];
      }
      for (double v : w) t.lanczos.push_back(float(v / ws));
    }
    const double a = -0.75;
    const double w0 = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
    const double w1 = ((a + 2) * x - (a + 3)) * x * x + 1;
    const double w2 = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
    t.cubic.insert(t.cubic.end(), {float(w0), float(w1), float(w2), float(1 - w0 - w1 - w2)});
  }
  return t;
}

// Unsharp mask of one side x side plane, straight from the definition.
inline void refUnsharp(std::vector<float>& plane, int side, const std::vector<float>& g, float amount) {
  const int K = int(g.size()), r = K / 2, P = side + K - 1;
  auto refl = [side](int k) { return k < side ? (k < 0 ? -k : k) : 2 * side - k - 2; };
  std::vector<float> pad(size_t(P) * P), hb(size_t(P) * P, 0.0f);
  for (int i = 0; i < P; ++i)
    for (int j = 0; j < P; ++j) pad[size_t(i) * P + j] = plane[size_t(refl(i - r)) * side + refl(j - r)];
  for (int y = 0; y < side + K - 1; ++y)
    for (int x = 0; x < side; ++x) {
      float acc = 0;
      for (int i = 0; i < K; ++i) acc += g[i] * pad[size_t(y) * P + x + i];
      hb[size_t(y) * P + x] = acc;
    }
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      float acc = 0;
      for (int t = 0; t < K; ++t) acc += g[t] * hb[size_t(y + t) * P + x];
      float v = plane[size_t(y) * side + x] * (1.0f + amount) - acc * amount;
      plane[size_t(y) * side + x] = v < 0 ? 0 : (v > 255 ? 255 : v);
    }
}

struct RefPaste {
  int side;
  int ksize;
  float amount;
  float sigma;
  int mode;  // 0 Lanczos, 1 bicubic, 2 bilinear
  std::vector<uint8_t> mask;

  std::vector<std::vector<float>> sharpened(const float* crop, float scale) const {
    RefTables t = refTables(ksize, sigma);
    std::vector<std::vector<float>> p(3, std::vector<float>(size_t(side) * side));
    for (int c = 0; c < 3; ++c) {
      for (size_t i = 0; i < p[c].size(); ++i) p[c][i] = crop[c * p[c].size() + i] * scale;
      refUnsharp(p[c], side, t.gauss, amount);
    }
    return p;
  }

  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H) const {
    const float a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
    const double det = double(a) * e - double(b) * d;
    if (det == 0) return;
    float xs[4], ys[4];
    const float lo = -4, hi = float(side + 3);
    const float cx[4] = {lo, hi, lo, hi}, cy[4] = {lo, lo, hi, hi};
    for (int i = 0; i < 4; ++i) {
      xs[i] = (b * cy[i] + a * cx[i]) + c;
      ys[i] = (e * cy[i] + d * cx[i]) + f;
    }
    auto mn = [](const float* v) { return std::min(std::min(v[0], v[1]), std::min(v[2], v[3])); };
    auto mx = [](const float* v) { return std::max(std::max(v[0], v[1]), std::max(v[2], v[3])); };
    const int x0 = std::max(0, int(std::trunc(mn(xs)))), x1 = std::min(W - 1, int(std::trunc(mx(xs))));
    const int y0 = std::max(0, int(std::trunc(mn(ys)))), y1 = std::min(H - 1, int(std::trunc(mx(ys))));
    if (x0 > x1 || y0 > y1) return;

    const RefTables t = refTables(ksize, sigma);
    const auto P = sharpened(crop, scale);
    const double inv = 1.0 / det;
    const double du_dy = -double(b) * inv, dv_dy = double(a) * inv;
    const double u_off = -((c * (e * inv)) + ((f * -double(b)) * inv));
    const double v_off = -(((c * -double(d)) * inv) + (f * (a * inv)));
    auto px = [&](int ch, int r, int col) -> float {
      return (r < 0 || r >= side || col < 0 || col >= side) ? 0.0f : P[ch][size_t(r) * side + col];
    };
    auto mk = [&](int r, int col) -> float {
      return (r < 0 || r >= side || col < 0 || col >= side) ? 0.0f : float(mask[size_t(r) * side + col]);
    };
    for (int y = y0; y <= y1; ++y) {
      const int row_u = int(std::rint((y * du_dy + u_off) * 1024)) + 16;
      const int row_v = int(std::rint((y * dv_dy + v_off) * 1024)) + 16;
      for (int x = x0; x <= x1; ++x) {
        const int u = int(std::trunc((x * (e * inv)) * 1024)) + row_u;
        const int v = int(std::trunc(((x * -double(d)) * inv) * 1024)) + row_v;
        const int iu = u >> 10, iv = v >> 10, pu = (u >> 5) & 31, pv = (v >> 5) & 31;
        if (iu < -1 || iu >= side || iv < -1 || iv >= side) continue;
        const float bu0 = t.bilinear[pu * 2], bu1 = t.bilinear[pu * 2 + 1];
        const float bv0 = t.bilinear[pv * 2], bv1 = t.bilinear[pv * 2 + 1];
        const float am = ((bu0 * mk(iv + 1, iu) + bu1 * mk(iv + 1, iu + 1)) * bv1) +
                         (bv0 * (bu1 * mk(iv, iu + 1) + bu0 * mk(iv, iu)));
        const float alpha = std::nearbyint(am) / 255.0f;
        if (alpha <= 0) continue;
        uint8_t* out = frame + (size_t(y) * W + x) * 3;
        for (int ch = 0; ch < 3; ++ch) {
          const float fr = out[ch];
          float o;
          if (mode == 0) {
            float acc = 0;
            for (int r = 0; r < 8; ++r) {
              const int sr = iv - 3 + r;
              if (sr < 0 || sr >= side) continue;
              float rs = 0;
              for (int k = 0; k < 8; ++k) rs += px(ch, sr, iu - 3 + k) * t.lanczos[pu * 8 + k];
              acc += rs * t.lanczos[pv * 8 + r];
            }
            o = fr * (1 - alpha) + acc * alpha;
          } else if (mode == 1) {
            float acc = 0;
            for (int r = 0; r < 4; ++r) {
              const int sr = iv - 1 + r;
              if (sr < 0 || sr >= side) continue;
              float rs = 0;
              for (int k = 0; k < 4; ++k) rs += px(ch, sr, iu - 1 + k) * t.cubic[pu * 4 + k];
              acc += rs * t.cubic[pv * 4 + r];
            }
            o = fr * (1 - alpha) + alpha * acc;
          } else {
            const float s = (bu0 * px(ch, iv, iu) + bu1 * px(ch, iv, iu + 1)) * bv0 +
                            (bu0 * px(ch, iv + 1, iu) + bu1 * px(ch, iv + 1, iu + 1)) * bv1;
            o = s * alpha + fr * (1 - alpha);
          }
          out[ch] = uint8_t(o < 0 ? 0 : (o > 255 ? 255 : o));
        }
      }
    }
  }
};

// A crop in 0..1 with edges and gradients, so sharpening and ringing both show.
inline std::vector<float> makeCrop(int side, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> crop(size_t(3) * side * side);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        float v = ((x / 8 + y / 8 + c) % 2 == 0) ? 0.85f : 0.1f;
        v = 0.7f * v + 0.3f * noise(rng);
        crop[(size_t(c) * side + y) * side + x] = v;
      }
  return crop;
}

// Feathered ellipse: 255 inside, falling to 0 at the border.
inline std::vector<uint8_t> makeMask(int side) {
  std::vector<uint8_t> m(size_t(side) * side);
  const float h = (side - 1) / 2.0f;
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      const float dx = (x - h) / h, dy = (y - h) / h;
      const float r = std::sqrt(dx * dx + dy * dy);
      const float a = (1.0f - r) / 0.3f;
      m[size_t(y) * side + x] = uint8_t(a <= 0 ? 0 : (a >= 1 ? 255 : a * 255));
    }
  return m;
}

inline std::vector<uint8_t> makeFrame(int W, int H, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> f(size_t(W) * H * 3);
  for (auto& v : f) v = uint8_t(rng() & 0xFF);
  return f;
}

}  // namespace vesk::test
