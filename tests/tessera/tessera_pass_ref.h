// A reference teeth pass for the tests, written straight from the definitions: one pixel at a
// time, whole windows, no tables, no pooled index kept between frames, no worker pool, no SIMD.
// Compiled with -ffp-contract=off like the pass, so both round every product the same way.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "core/vesk_half.h"
#include "tessera/vesk_tessera.h"

namespace vesk::test::teethref {

using tessera::BankData;
using tessera::FrameResult;
using tessera::HeadWeights;
using tessera::ServeConfig;

inline float h(float v) { return half::round(v); }

template <class T>
std::vector<int32_t> argsort(const std::vector<T>& v) {
  std::vector<int32_t> o(v.size());
  std::iota(o.begin(), o.end(), 0);
  std::stable_sort(o.begin(), o.end(), [&v](int32_t a, int32_t b) { return v[a] < v[b]; });
  return o;
}

inline void pool(const std::vector<float>& in, int planes, int H, int W, int k, std::vector<float>* out) {
  const int ho = H / k, wo = W / k;
  out->assign(static_cast<size_t>(planes) * ho * wo, 0.0f);
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < ho; ++y)
      for (int x = 0; x < wo; ++x) {
        float s = 0.0f;
        for (int a = 0; a < k; ++a)
          for (int b = 0; b < k; ++b) s += in[(static_cast<size_t>(p) * H + y * k + a) * W + x * k + b];
        (*out)[(static_cast<size_t>(p) * ho + y) * wo + x] = s * (1.0f / static_cast<float>(k * k));
      }
}

// Plain 3x3 convolution, zero padding, accumulation over ky, kx, ci in that order.
inline std::vector<float> conv(const std::vector<float>& in, int n, int cin, int H, int W, const std::vector<float>& w,
                               const std::vector<float>& b, int cout, bool relu) {
  std::vector<float> out(static_cast<size_t>(n) * cout * H * W);
  for (int i = 0; i < n; ++i)
    for (int co = 0; co < cout; ++co)
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          float acc = 0.0f;
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx)
              for (int ci = 0; ci < cin; ++ci) {
                const int sy = y + ky - 1, sx = x + kx - 1;
                if (sy < 0 || sy >= H || sx < 0 || sx >= W) continue;
                acc = acc + in[((static_cast<size_t>(i) * cin + ci) * H + sy) * W + sx] *
                                w[((static_cast<size_t>(co) * cin + ci) * 3 + ky) * 3 + kx];
              }
          float v = b[static_cast<size_t>(co)] + acc;
          if (relu) v = std::max(v, 0.0f);
          out[((static_cast<size_t>(i) * cout + co) * H + y) * W + x] = v;
        }
  return out;
}

class Pass {
 public:
  Pass(const BankData& bank, const HeadWeights& head, const ServeConfig& cfg) : b_(bank), hw_(head), c_(cfg) {
    const GeometryStamp& s = b_.stamp;
    H = s.window_h, W = s.window_w, N = s.canvas_w;
    for (int d = 0; d < b_.n_donors; ++d) {
      oy.push_back(static_cast<int>(std::nearbyint(b_.cent[2 * d + 1] - b_.c_canon[1])));
      ox.push_back(static_cast<int>(std::nearbyint(b_.cent[2 * d] - b_.c_canon[0])));
    }
  }

  int H, W, N;
  std::vector<int> oy, ox;
  std::vector<float> carried;
  std::vector<int32_t> sticky;
  int last = -2;

  // Byte of donor d, channel ch, at window (r, c) when placed with offset (y, x); -1 uncovered.
  int donor(int d, int y, int x, int r, int c, int ch) const {
    const GeometryStamp& s = b_.stamp;
    y = std::clamp(y, -s.pad, s.pad);
    x = std::clamp(x, -s.pad, s.pad);
    const int bh = s.band_r1 - s.band_r0 + 2 * s.shift_margin, bw = s.band_c1 - s.band_c0 + 2 * s.shift_margin;
    const int pr = r - s.band_r0 + s.shift_margin + y, pc = c - s.band_c0 + s.shift_margin + x;
    if (pr < 0 || pr >= bh || pc < 0 || pc >= bw) return -1;
    return b_.pixels[((static_cast<size_t>(d) * bh + pr) * bw + pc) * 3 + ch];
  }

  bool shift(const std::vector<uint8_t>& mask, const int32_t* given, int* dy, int* dx, std::string* why) const {
    long sy, sx;
    if (given != nullptr) {
      sy = given[0], sx = given[1];
    } else {
      double r = 0, c = 0, n = 0;
      for (int y = 0; y < N; ++y)
        for (int x = 0; x < N; ++x)
          if (mask[static_cast<size_t>(y) * N + x] >= 128) r += y, c += x, n += 1;
      if (n == 0) {
        *why = "empty-pi";
        return false;
      }
      sy = std::lround(std::nearbyint(r / n - b_.c_canon[1]));
      sx = std::lround(std::nearbyint(c / n - b_.c_canon[0]));
    }
    if (std::labs(sy) > b_.stamp.pad || std::labs(sx) > b_.stamp.pad) {
      *why = "shift-out-of-range";
      return false;
    }
    *dy = static_cast<int>(sy), *dx = static_cast<int>(sx);
    return true;
  }

  struct Work {
    std::vector<float> w;
    float total = 1, psum = 1e-4f;
    std::vector<float> pq, pw;  // half-rounded pooled query and weights
    int lo = 0, hi = 0, y0 = 0, x0 = 0;
    std::vector<float> pooled, exact;
  };

  Work prepare(const std::vector<uint8_t>& rgb, const std::vector<uint8_t>& mask, int dy, int dx) {
    const GeometryStamp& s = b_.stamp;
    Work k;
    k.y0 = s.window_y0 + dy, k.x0 = s.window_x0 + dx;
    k.w.assign(static_cast<size_t>(H) * W, 0.0f);
    std::vector<float> q(3 * static_cast<size_t>(H) * W, 0.0f);
    float n = 0;
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c) {
        const size_t at = static_cast<size_t>(k.y0 + r) * N + k.x0 + c;
        const double R = rgb[at * 3], G = rgb[at * 3 + 1], B = rgb[at * 3 + 2];
        const bool in = mask[at] / 255.0f > 0.5f;
        const float v = in && 0.299 * R + 0.587 * G + 0.114 * B >= 100.0 && std::fabs(G - R) < 25.0 ? 1.0f : 0.0f;
        k.w[static_cast<size_t>(r) * W + c] = v;
        n += v;
        for (int ch = 0; ch < 3; ++ch) q[(static_cast<size_t>(ch) * H + r) * W + c] = rgb[at * 3 + ch] / 255.0f;
      }
    if (n < 32)
      for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c)
          k.w[static_cast<size_t>(r) * W + c] =
              mask[static_cast<size_t>(k.y0 + r) * N + k.x0 + c] / 255.0f > 0.5f ? 1.0f : 0.0f;
    if (!carried.empty())
      for (size_t p = 0; p < k.w.size(); ++p) k.w[p] = std::max(k.w[p], 0.6f * carried[p]);
    carried = k.w;
    float t = 0;
    k.lo = -1;
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c) {
        t += k.w[static_cast<size_t>(r) * W + c];
        if (k.w[static_cast<size_t>(r) * W + c] != 0) {
          if (k.lo < 0) k.lo = r;
          k.hi = r + 1;
        }
      }
    if (k.lo < 0) k.lo = 0, k.hi = H;
    k.total = t < 1 ? 1 : t;
    pool(q, 3, H, W, 4, &k.pq);
    for (float& v : k.pq) v = h(v);
    pool(k.w, 1, H, W, 4, &k.pw);
    float ps = 0;
    for (float& v : k.pw) ps += (v = h(v));
    k.psum = ps < 1e-4f ? 1e-4f : ps;
    return k;
  }

  float pooledTerm(int d, const Work& k) const {
    const int h4 = H / 4, w4 = W / 4;
    std::vector<float> win(3 * static_cast<size_t>(H) * W), pd;
    for (int ch = 0; ch < 3; ++ch)
      for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c) {
          const int v = donor(d, oy[d], ox[d], r, c, ch);
          win[(static_cast<size_t>(ch) * H + r) * W + c] = v < 0 ? 0.0f : h(v / 255.0f);
        }
    pool(win, 3, H, W, 4, &pd);
    float acc = 0;
    const size_t n = static_cast<size_t>(h4) * w4;
    for (size_t i = 0; i < n; ++i) {
      float e = 0;
      for (int ch = 0; ch < 3; ++ch) e = e + std::fabs(h(h(pd[ch * n + i]) - k.pq[ch * n + i]));
      acc += h(k.pw[i] * h(e / 3.0f));
    }
    return h(acc) / k.psum;
  }

  float exactTerm(int d, const std::vector<uint8_t>& rgb, const Work& k) const {
    float acc = 0;
    for (int r = k.lo; r < k.hi; ++r)
      for (int c = 0; c < W; ++c) {
        const float wt = k.w[static_cast<size_t>(r) * W + c];
        if (wt == 0) continue;
        float e = 0;
        for (int ch = 0; ch < 3; ++ch) {
          const int q = rgb[(static_cast<size_t>(k.y0 + r) * N + k.x0 + c) * 3 + ch];
          const int v = std::max(donor(d, oy[d], ox[d], r, c, ch), 0);
          e = e + std::fabs(h(h(v / 255.0f) - h(q / 255.0f)));
        }
        acc += wt * h(e / 3.0f);
      }
    return acc;
  }

  std::vector<int32_t> select(const std::vector<float>& pooled, const std::vector<float>& exact) const {
    const std::vector<int32_t> P = argsort(pooled);
    const int m = std::min(b_.n_donors, c_.kshort);
    const std::vector<int32_t> Q = argsort(std::vector<float>(exact.begin(), exact.begin() + m));
    const int best = P[Q[0]];
    const double a = b_.aperture[best];
    std::vector<int32_t> out;
    for (int i = 0; i < std::min(m, c_.cut) && static_cast<int>(out.size()) < c_.K; ++i)
      if (std::fabs(b_.aperture[P[Q[i]]] - a) <= std::max(a, 1e-6) * c_.aperture_tol) out.push_back(P[Q[i]]);
    if (out.empty()) out.push_back(best);
    while (static_cast<int>(out.size()) < c_.K) out.push_back(out.back());
    return out;
  }

  std::vector<int32_t> retrieve(const std::vector<uint8_t>& rgb, const std::vector<uint8_t>& mask, int dy, int dx,
                                Work* keep = nullptr) {
    Work k = prepare(rgb, mask, dy, dx);
    for (int d = 0; d < b_.n_donors; ++d) k.pooled.push_back(pooledTerm(d, k));
    const std::vector<int32_t> P = argsort(k.pooled);
    for (int i = 0; i < std::min(b_.n_donors, c_.kshort); ++i) k.exact.push_back(exactTerm(P[i], rgb, k) / k.total);
    std::vector<int32_t> out = select(k.pooled, k.exact);
    if (keep != nullptr) *keep = k;
    return out;
  }

  struct Held {
    int frame;
    std::vector<uint8_t> rgb, mask;
    std::vector<int32_t> cands;
    int dy = 0, dx = 0;
    bool ok;
    std::string why;
  };
  Held held;
  bool holding = false;

  bool push(int frame, const std::vector<uint8_t>& rgb, const std::vector<uint8_t>& mask, const int32_t* given,
            FrameResult* out) {
    Held f{frame, rgb, mask, {}, 0, 0, false, ""};
    f.ok = shift(mask, given, &f.dy, &f.dx, &f.why);
    if (f.ok) f.cands = retrieve(rgb, mask, f.dy, f.dx);
    const bool had = holding;
    if (had) emit(held, f.ok ? &f.cands : nullptr, out);
    held = f;
    holding = true;
    return had;
  }

  bool flush(FrameResult* out) {
    if (!holding) return false;
    emit(held, nullptr, out);
    holding = false;
    return true;
  }

  static bool in(const std::vector<int32_t>& v, int32_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

  void emit(const Held& f, const std::vector<int32_t>* next, FrameResult* out) {
    out->pixels.clear();
    out->skipped = false;
    out->reason.clear();
    if (!f.ok) {
      out->skipped = true, out->reason = f.why, out->donors = 0;
      return;
    }
    const GeometryStamp& s = b_.stamp;
    std::vector<int32_t> cur(f.cands.begin(), f.cands.begin() + std::min<size_t>(c_.K, f.cands.size())), nxt, only, S;
    if (next != nullptr) nxt.assign(next->begin(), next->begin() + std::min<size_t>(c_.lookahead, next->size()));
    for (int32_t x : cur)
      if (!in(nxt, x)) only.push_back(x);
    if (!sticky.empty() && f.frame == last + 1) {
      S = sticky;
      for (int32_t x : nxt)
        if (!in(sticky, x)) S.push_back(x);
      for (int32_t x : only)
        if (!in(sticky, x)) S.push_back(x);
    } else {
      S = nxt;
      S.insert(S.end(), only.begin(), only.end());
    }
    if (S.size() > static_cast<size_t>(c_.K)) S.resize(static_cast<size_t>(c_.K));
    const int v = static_cast<int>(S.size());
    const size_t P = static_cast<size_t>(H) * W;
    std::vector<float> cand(static_cast<size_t>(v) * 3 * P), query(3 * P);
    for (int k = 0; k < v; ++k)
      for (int ch = 0; ch < 3; ++ch)
        for (int r = 0; r < H; ++r)
          for (int c = 0; c < W; ++c)
            cand[((static_cast<size_t>(k) * 3 + ch) * H + r) * W + c] =
                std::max(donor(S[k], oy[S[k]] - f.dy, ox[S[k]] - f.dx, r, c, ch), 0) / 255.0f;
    for (int ch = 0; ch < 3; ++ch)
      for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c)
          query[(static_cast<size_t>(ch) * H + r) * W + c] =
              f.rgb[(static_cast<size_t>(s.window_y0 + r) * N + s.window_x0 + c) * 3 + ch] / 255.0f;
    std::vector<uint8_t> cm(P, 0);
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c) {
        if (r >= s.band_r0 && r < s.band_r1 && c >= s.band_c0 && c < s.band_c1) cm[static_cast<size_t>(r) * W + c] = 1;
        if (r < s.band_r0 && c >= s.band_c0 && c < s.band_c1 &&
            f.mask[static_cast<size_t>(s.window_y0 + r) * N + s.window_x0 + c] != 0) {
          bool all = true;
          for (int k = 0; k < v; ++k) all = all && donor(S[k], oy[S[k]] - f.dy, ox[S[k]] - f.dx, r, c, 0) >= 0;
          if (all) cm[static_cast<size_t>(r) * W + c] = 1;
        }
      }
    std::vector<float> blended, weights;
    head(cand, v, query, cm, &blended, &weights);
    std::vector<double> score(static_cast<size_t>(v));
    for (int k = 0; k < v; ++k) {
      double t = 0;
      for (size_t p = 0; p < P; ++p) t += weights[static_cast<size_t>(k) * P + p];
      score[static_cast<size_t>(k)] = -t;
    }
    const std::vector<int32_t> o = argsort(score);
    sticky.clear();
    for (int i = 0; i < std::min(v, c_.hysteresis); ++i) sticky.push_back(S[o[i]]);
    last = f.frame;
    bool any = false;
    for (uint8_t m : cm) any = any || m == 1;
    if (any) out->share_mean = 0, out->share_max = 0;
    out->pixels.resize(3 * P);
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c) {
        const float a = f.mask[static_cast<size_t>(s.window_y0 + r) * N + s.window_x0 + c] / 255.0f;
        for (int ch = 0; ch < 3; ++ch) {
          const size_t i = (static_cast<size_t>(ch) * H + r) * W + c;
          const float bv = (1.0f - a) * query[i] + a * blended[i];
          out->pixels[(static_cast<size_t>(r) * W + c) * 3 + ch] =
              bv < 0 ? 0 : static_cast<uint8_t>(std::nearbyint(std::min(bv, 1.0f) * 255.0f));
        }
      }
    out->donors = v;
    lastSet = S;
  }
  std::vector<int32_t> lastSet;

  void head(const std::vector<float>& cand, int v, const std::vector<float>& query, const std::vector<uint8_t>& cm,
            std::vector<float>* blended, std::vector<float>* weights) const {
    const int h2 = H / 2, w2 = W / 2;
    const size_t P = static_cast<size_t>(H) * W, P2 = static_cast<size_t>(h2) * w2;
    std::vector<float> pq, in(static_cast<size_t>(v) * 7 * P2);
    pool(query, 3, H, W, 2, &pq);
    for (int k = 0; k < v; ++k) {
      std::vector<float> one(cand.begin() + static_cast<ptrdiff_t>(k * 3 * P),
                             cand.begin() + static_cast<ptrdiff_t>((k + 1) * 3 * P)),
          pd;
      pool(one, 3, H, W, 2, &pd);
      float* x = in.data() + static_cast<size_t>(k) * 7 * P2;
      for (size_t i = 0; i < 3 * P2; ++i) x[i] = pd[i], x[3 * P2 + i] = pq[i];
      for (size_t i = 0; i < P2; ++i)
        x[6 * P2 + i] = ((std::fabs(pd[i] - pq[i]) + std::fabs(pd[P2 + i] - pq[P2 + i])) +
                         std::fabs(pd[2 * P2 + i] - pq[2 * P2 + i])) /
                        3.0f;
    }
    const std::vector<float> a = conv(in, v, 7, h2, w2, hw_.cand0_w, hw_.cand0_b, 16, true);
    const std::vector<float> b = conv(a, v, 16, h2, w2, hw_.cand2_w, hw_.cand2_b, 16, true);
    const std::vector<float> L = conv(b, v, 16, h2, w2, hw_.cand4_w, hw_.cand4_b, 1, false);
    auto tap = [](int i, int n, int* i0, int* i1, float* t) {
      const float src = std::max((i + 0.5f) * 0.5f - 0.5f, 0.0f);
      *i0 = std::min(static_cast<int>(std::floor(src)), n - 1);
      *i1 = std::min(*i0 + 1, n - 1);
      *t = src - static_cast<float>(*i0);
    };
    weights->assign(static_cast<size_t>(v + 1) * P, 0.0f);
    std::vector<float> up(static_cast<size_t>(v) * P);
    for (int k = 0; k < v; ++k)
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          int y0, y1, x0, x1;
          float ty, tx;
          tap(y, h2, &y0, &y1, &ty);
          tap(x, w2, &x0, &x1, &tx);
          const float* l = L.data() + static_cast<size_t>(k) * P2;
          const float top = l[y0 * w2 + x0] * (1 - tx) + l[y0 * w2 + x1] * tx;
          const float bot = l[y1 * w2 + x0] * (1 - tx) + l[y1 * w2 + x1] * tx;
          up[static_cast<size_t>(k) * P + static_cast<size_t>(y) * W + x] = top * (1 - ty) + bot * ty;
        }
    for (size_t p = 0; p < P; ++p) {
      float m = -1e30f, sum = 0;
      for (int k = 0; k < v; ++k) m = std::max(m, up[k * P + p]);
      for (int k = 0; k < v; ++k) sum += ((*weights)[k * P + p] = std::exp(up[k * P + p] - m));
      for (int k = 0; k < v; ++k) (*weights)[k * P + p] /= sum;
    }
    blended->assign(3 * P, 0.0f);
    for (int ch = 0; ch < 3; ++ch)
      for (size_t p = 0; p < P; ++p) {
        if (cm[p] != 1) {
          (*blended)[ch * P + p] = query[ch * P + p];
          continue;
        }
        float t = 0;
        for (int k = 0; k < v; ++k) t += (*weights)[k * P + p] * cand[(static_cast<size_t>(k) * 3 + ch) * P + p];
        (*blended)[ch * P + p] = t;
      }
  }

 private:
  BankData b_;
  HeadWeights hw_;
  ServeConfig c_;
};

}  // namespace vesk::test::teethref
