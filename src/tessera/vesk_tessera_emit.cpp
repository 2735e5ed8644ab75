// The teeth pass's second half: frames held one push for look-ahead, the sticky donor set, the
// BlendHead and the finished mouth window.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "core/vesk_pool.h"
#include "core/vesk_simd.h"
#include "tessera/vesk_tessera.h"

namespace vesk::tessera {

namespace {

uint8_t byteOf(float b) {
  if (!(b >= 0.0f)) return 0;
  const float r = std::nearbyint(std::min(b, 1.0f) * 255.0f);
  return static_cast<uint8_t>(std::clamp(r, 0.0f, 255.0f));
}

// Pixels per run of the softmax and the blend, which keep one partial result per pixel of a run.
constexpr size_t kRun = 256;

bool contains(const std::vector<int32_t>& v, int32_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// Source coordinate of output index i of a 2x bilinear upsampling over an axis of n samples.
UpTap tapOf(int i, int n) {
  const float src = std::max((static_cast<float>(i) + 0.5f) * 0.5f - 0.5f, 0.0f);
  // An odd window has one output row or column past 2 n: it repeats the last sample.
  const int i0 = std::min(static_cast<int>(std::floor(src)), n - 1);
  const int i1 = std::min(i0 + 1, n - 1);
  return {i0, i1, src - static_cast<float>(i0)};
}

// conv3x3 over n images, output planes split over the pool, then ReLU when asked.
void convLayer(const float* in, int n, int cin, int H, int W, const std::vector<float>& weights,
               const std::vector<float>& bias, int cout, float* out, bool relu) {
  struct Args {
    const float* in;
    int n, cin, H, W, cout;
    const float *w, *b;
    float* out;
    bool relu;
  } a{in, n, cin, H, W, cout, weights.data(), bias.data(), out, relu};
  pool::parallelRange(static_cast<size_t>(n) * cout, 1, [&a](size_t b, size_t e) {
    simd::conv3x3Range(a.in, a.n, a.cin, a.H, a.W, a.w, a.b, a.cout, a.out, static_cast<int>(b), static_cast<int>(e));
    if (!a.relu) return;
    const size_t plane = static_cast<size_t>(a.H) * a.W;
    simd::reluInPlace(a.out + b * plane, (e - b) * plane);
  });
}

}  // namespace

void TeethPass::prepareFrame(Pending* p, int32_t frame, const uint8_t* rgb, const uint8_t* mask, const int32_t* shift) {
  const size_t px = static_cast<size_t>(stamp_.canvas_w) * stamp_.canvas_h;
  p->frame = frame;
  p->rgb.assign(rgb, rgb + px * 3);
  p->mask.assign(mask, mask + px);
  p->reason.clear();
  p->candidates.clear();
  p->ok = deriveShift(mask, shift, &p->dy, &p->dx, &p->reason);
  if (p->ok) retrieveInto(rgb, mask, p->dy, p->dx, &p->candidates);
}

bool TeethPass::push(int32_t frame, const uint8_t* rgb, const uint8_t* mask, const int32_t* shift, FrameResult* out) {
  prepareFrame(&incoming_, frame, rgb, mask, shift);
  bool emitted = false;
  if (has_held_) {
    emit(held_, incoming_.ok ? &incoming_.candidates : nullptr, out);
    emitted = true;
  }
  std::swap(held_, incoming_);
  has_held_ = true;
  return emitted;
}

bool TeethPass::flush(FrameResult* out) {
  if (!has_held_) return false;
  emit(held_, nullptr, out);
  has_held_ = false;
  return true;
}

std::vector<uint8_t> TeethPass::gatherWindowsU8(const std::vector<int32_t>& donors, int dy, int dx) const {
  const size_t win = static_cast<size_t>(h_) * w_ * 3;
  std::vector<uint8_t> out(donors.size() * win);
  for (size_t k = 0; k < donors.size(); ++k) {
    const int32_t s = donors[k];
    placeDonorU8(s, dy_[static_cast<size_t>(s)] - dy, dx_[static_cast<size_t>(s)] - dx, out.data() + k * win);
  }
  return out;
}

void TeethPass::emit(const Pending& f, const std::vector<int32_t>* next, FrameResult* out) {
  out->pixels.clear();
  out->skipped = false;
  out->reason.clear();
  if (!f.ok) {
    out->skipped = true;
    out->reason = f.reason;
    out->donors = 0;
    return;
  }
  Emission& E = em_;
  const size_t K = static_cast<size_t>(std::max(config_.K, 0));
  E.cur.assign(f.candidates.begin(), f.candidates.begin() + static_cast<ptrdiff_t>(std::min(K, f.candidates.size())));
  E.nxt.clear();
  if (next != nullptr && config_.use_lookahead != 0) {
    const size_t L = std::min(static_cast<size_t>(std::max(config_.lookahead, 0)), next->size());
    E.nxt.assign(next->begin(), next->begin() + static_cast<ptrdiff_t>(L));
  }
  E.cur_only.clear();
  for (int32_t s : E.cur)
    if (!contains(E.nxt, s)) E.cur_only.push_back(s);
  E.set.clear();
  if (!sticky_.empty() && int64_t{f.frame} == int64_t{last_emitted_} + 1) {
    E.set = sticky_;
    for (int32_t s : E.nxt)
      if (!contains(sticky_, s)) E.set.push_back(s);
    for (int32_t s : E.cur_only)
      if (!contains(sticky_, s)) E.set.push_back(s);
  } else {
    E.set = E.nxt;
    E.set.insert(E.set.end(), E.cur_only.begin(), E.cur_only.end());
  }
  if (E.set.size() > K) E.set.resize(K);
  const int v = static_cast<int>(E.set.size());

  // A donor repeated in the set has the same window and so the same logits: run it once.
  E.unique.clear();
  E.slot.resize(static_cast<size_t>(v));
  for (int k = 0; k < v; ++k) {
    const auto at = std::find(E.unique.begin(), E.unique.end(), E.set[static_cast<size_t>(k)]);
    E.slot[static_cast<size_t>(k)] = static_cast<int32_t>(at - E.unique.begin());
    if (at == E.unique.end()) E.unique.push_back(E.set[static_cast<size_t>(k)]);
  }
  const int u = static_cast<int>(E.unique.size());
  const size_t plane = static_cast<size_t>(h_) * w_;
  const size_t win = plane * 3;
  E.windows.resize(static_cast<size_t>(u) * win);
  E.cands.resize(static_cast<size_t>(u) * win);
  for (int i = 0; i < u; ++i) {
    const int32_t s = E.unique[static_cast<size_t>(i)];
    uint8_t* w = E.windows.data() + static_cast<size_t>(i) * win;
    placeDonorU8(s, dy_[static_cast<size_t>(s)] - f.dy, dx_[static_cast<size_t>(s)] - f.dx, w);
    float* c = E.cands.data() + static_cast<size_t>(i) * win;
    for (size_t p = 0; p < plane; ++p)
      for (size_t ch = 0; ch < 3; ++ch) c[ch * plane + p] = static_cast<float>(w[p * 3 + ch]) / 255.0f;
  }

  const int N = stamp_.canvas_w;
  const uint8_t* rgb = f.rgb.data();
  const uint8_t* mask = f.mask.data();
  E.query.resize(win);
  pool::parallelRange(static_cast<size_t>(h_), 8, [this, rgb](size_t b, size_t e) {
    const size_t pl = static_cast<size_t>(h_) * w_;
    for (size_t y = b; y < e; ++y) {
      const uint8_t* src = rgb + ((static_cast<size_t>(stamp_.window_y0) + y) * stamp_.canvas_w + stamp_.window_x0) * 3;
      for (size_t x = 0; x < static_cast<size_t>(w_); ++x)
        for (size_t ch = 0; ch < 3; ++ch)
          em_.query[ch * pl + y * w_ + x] = static_cast<float>(src[x * 3 + ch]) / 255.0f;
    }
  });

  // The band, grown upward over the frame's mask wherever every chosen donor reaches.
  E.compose = band_mask_;
  for (int y = 0; y < stamp_.band_r0; ++y)
    for (int x = stamp_.band_c0; x < stamp_.band_c1; ++x) {
      if (mask[static_cast<size_t>(stamp_.window_y0 + y) * N + stamp_.window_x0 + x] == 0) continue;
      bool covered = true;
      for (int i = 0; i < u && covered; ++i) {
        const int32_t s = E.unique[static_cast<size_t>(i)];
        covered = patchOffset(s, dy_[static_cast<size_t>(s)] - f.dy, dx_[static_cast<size_t>(s)] - f.dx, y, x) >= 0;
      }
      if (covered) E.compose[static_cast<size_t>(y) * w_ + x] = 1;
    }

  E.blended.resize(win);
  E.weights.resize(static_cast<size_t>(v + 1) * plane);
  headMapped(E.cands.data(), u, E.slot.data(), v, E.query.data(), E.compose.data(), E.blended.data(), E.weights.data());

  // The share of the synthesis plane inside the compose mask.
  const float* share = E.weights.data() + static_cast<size_t>(v) * plane;
  int64_t count = 0;
  double sum = 0.0;
  float peak = 0.0f;
  for (size_t p = 0; p < plane; ++p) {
    if (E.compose[p] != 1) continue;
    sum += share[p];
    peak = count == 0 ? share[p] : std::max(peak, share[p]);
    ++count;
  }
  if (count > 0) {
    out->share_mean = static_cast<float>(sum / static_cast<double>(count));
    out->share_max = peak;
    stats_.share_max = stats_.masked_emissions == 0 ? peak : std::max(stats_.share_max, peak);
    stats_.masked_emissions += 1;
    stats_.mask_pixels += count;
    stats_.share_sum += out->share_mean;
  }

  // The donors that carried the most weight stay in the next frame's set.
  E.scores.resize(static_cast<size_t>(v));
  for (int k = 0; k < v; ++k) {
    const float* wk = E.weights.data() + static_cast<size_t>(k) * plane;
    double s = 0.0;
    for (size_t p = 0; p < plane; ++p) s += wk[p];
    E.scores[static_cast<size_t>(k)] = -s;
  }
  E.order.resize(static_cast<size_t>(v));
  std::iota(E.order.begin(), E.order.end(), 0);
  // Heaviest first, ties in set order (std::sort with the index as tie-break allocates nothing).
  std::sort(E.order.begin(), E.order.end(), [&E](int32_t a, int32_t b) {
    const double sa = E.scores[static_cast<size_t>(a)], sb = E.scores[static_cast<size_t>(b)];
    return sa < sb || (!(sb < sa) && a < b);
  });
  const size_t keep = std::min(static_cast<size_t>(v), static_cast<size_t>(std::max(config_.hysteresis, 0)));
  sticky_.clear();
  for (size_t i = 0; i < keep; ++i) sticky_.push_back(E.set[static_cast<size_t>(E.order[i])]);
  last_emitted_ = f.frame;

  out->pixels.resize(win);
  // Two captures at most, so the job fits std::function's own storage and allocates nothing.
  const struct {
    const Pending* f;
    uint8_t* dst;
  } job{&f, out->pixels.data()};
  pool::parallelRange(static_cast<size_t>(h_), 4, [this, &job](size_t b, size_t e) {
    const size_t pl = static_cast<size_t>(h_) * w_;
    const Pending& held = *job.f;
    uint8_t* dst = job.dst;
    for (size_t y = b; y < e; ++y) {
      const uint8_t* m =
          held.mask.data() + (static_cast<size_t>(stamp_.window_y0) + y) * stamp_.canvas_w + stamp_.window_x0;
      for (size_t x = 0; x < static_cast<size_t>(w_); ++x) {
        const float a = static_cast<float>(m[x]) / 255.0f;
        const size_t p = y * w_ + x;
        for (size_t ch = 0; ch < 3; ++ch) {
          const float q = em_.query[ch * pl + p], bl = em_.blended[ch * pl + p];
          dst[p * 3 + ch] = byteOf((1.0f - a) * q + a * bl);
        }
      }
    }
  });
  out->donors = v;
}

void TeethPass::headForward(const float* cands, int v, const float* query, const uint8_t* mask, float* blended,
                            float* weights) {
  std::vector<int32_t> slot(static_cast<size_t>(std::max(v, 0)));
  std::iota(slot.begin(), slot.end(), 0);
  headMapped(cands, v, slot.data(), v, query, mask, blended, weights);
}

void TeethPass::headMapped(const float* cands, int u, const int32_t* slot, int v, const float* query,
                           const uint8_t* mask, float* blended, float* weights) {
  Head& D = hd_;
  const int h2 = h_ / 2, w2 = w_ / 2;
  const size_t plane = static_cast<size_t>(h_) * w_;
  const size_t p2 = static_cast<size_t>(h2) * w2;
  D.pooled_q.resize(3 * p2);
  D.input.resize(static_cast<size_t>(u) * 7 * p2);
  D.act_a.resize(static_cast<size_t>(u) * 16 * p2);
  D.act_b.resize(static_cast<size_t>(u) * 16 * p2);
  D.logits.resize(static_cast<size_t>(u) * p2);
  D.logits_up.resize(static_cast<size_t>(u) * plane);

  if (u > 0 && p2 > 0) {
    averagePool(query, 3, h_, w_, 2, D.pooled_q.data());
    pool::parallelRange(static_cast<size_t>(u), 1, [this, cands](size_t b, size_t e) {
      const size_t pl2 = static_cast<size_t>(h_ / 2) * (w_ / 2);
      const size_t win = static_cast<size_t>(h_) * w_ * 3;
      for (size_t s = b; s < e; ++s) {
        float* in = hd_.input.data() + s * 7 * pl2;
        averagePool(cands + s * win, 3, h_, w_, 2, in);
        std::copy(hd_.pooled_q.begin(), hd_.pooled_q.end(), in + 3 * pl2);
        for (size_t p = 0; p < pl2; ++p) {
          const float d0 = std::fabs(in[p] - in[3 * pl2 + p]);
          const float d1 = std::fabs(in[pl2 + p] - in[4 * pl2 + p]);
          const float d2 = std::fabs(in[2 * pl2 + p] - in[5 * pl2 + p]);
          in[6 * pl2 + p] = ((d0 + d1) + d2) / 3.0f;
        }
      }
    });
    convLayer(D.input.data(), u, 7, h2, w2, head_.cand0_w, head_.cand0_b, 16, D.act_a.data(), true);
    convLayer(D.act_a.data(), u, 16, h2, w2, head_.cand2_w, head_.cand2_b, 16, D.act_b.data(), true);
    convLayer(D.act_b.data(), u, 16, h2, w2, head_.cand4_w, head_.cand4_b, 1, D.logits.data(), false);
    // Columns first, as the definition has it, once per source row; each output row then mixes
    // two of those rows, which gives the same sums as interpolating pixel by pixel.
    // The taps depend only on the window's size: the first frame computes them.
    if (D.taps_x.empty()) {
      for (int x = 0; x < w_; ++x) D.taps_x.push_back(tapOf(x, w2));
      for (int y = 0; y < h_; ++y) D.taps_y.push_back(tapOf(y, h2));
    }
    D.rows_x.resize(static_cast<size_t>(u) * h2 * w_);
    // Captures stay within std::function's inline storage: a warmed frame allocates nothing.
    pool::parallelRange(static_cast<size_t>(u), 1, [this](size_t b, size_t e) {
      const int rows = h_ / 2, cols = w_ / 2;
      const size_t small = static_cast<size_t>(rows) * cols, full = static_cast<size_t>(h_) * w_;
      for (size_t s = b; s < e; ++s) {
        const float* L = hd_.logits.data() + s * small;
        float* rx = hd_.rows_x.data() + s * static_cast<size_t>(rows) * w_;
        for (int r = 0; r < rows; ++r) {
          const float* src = L + static_cast<size_t>(r) * cols;
          float* dst = rx + static_cast<size_t>(r) * w_;
          for (int x = 0; x < w_; ++x) {
            const UpTap& t = hd_.taps_x[static_cast<size_t>(x)];
            dst[x] = src[t.i0] * (1.0f - t.t) + src[t.i1] * t.t;
          }
        }
        float* up = hd_.logits_up.data() + s * full;
        for (int y = 0; y < h_; ++y) {
          const UpTap& t = hd_.taps_y[static_cast<size_t>(y)];
          const float* top = rx + static_cast<size_t>(t.i0) * w_;
          const float* bottom = rx + static_cast<size_t>(t.i1) * w_;
          float* dst = up + static_cast<size_t>(y) * w_;
          for (int x = 0; x < w_; ++x) dst[x] = top[x] * (1.0f - t.t) + bottom[x] * t.t;
        }
      }
    });
  } else {
    std::fill(D.logits_up.begin(), D.logits_up.end(), 0.0f);
  }

  // A donor repeated in the set (retrieval pads with repeats) has the same logits in every slot:
  // its later slots copy the first slot's exponentials instead of computing them again.
  D.first_slot.resize(static_cast<size_t>(std::max(v, 0)));
  for (int k = 0; k < v; ++k) {
    int f = k;
    for (int j = 0; j < k; ++j)
      if (slot[j] == slot[k]) {
        f = j;
        break;
      }
    D.first_slot[static_cast<size_t>(k)] = f;
  }
  struct Args {
    const int32_t* slot;
    const int32_t* first;
    int v;
    size_t plane;
    float* weights;
  } a{slot, D.first_slot.data(), v, plane, weights};
  // Pixels in runs of kRun with the slot loop outside: each slot's logits and weights are then
  // read in order, and every pixel still sees its slots in order.
  pool::parallelRange(plane, kRun, [this, &a](size_t b, size_t e) {
    const float* up = hd_.logits_up.data();
    float m[kRun], sum[kRun];
    for (size_t r0 = b; r0 < e; r0 += kRun) {
      const size_t n = std::min(kRun, e - r0);
      std::fill(m, m + n, -1e30f);
      std::fill(sum, sum + n, 0.0f);
      for (int k = 0; k < a.v; ++k) {
        const float* L = up + static_cast<size_t>(a.slot[k]) * a.plane + r0;
        simd::maxInPlace(m, L, n);
      }
      for (int k = 0; k < a.v; ++k) {
        const float* L = up + static_cast<size_t>(a.slot[k]) * a.plane + r0;
        float* wk = a.weights + static_cast<size_t>(k) * a.plane + r0;
        if (a.first[k] != k) {
          std::copy_n(a.weights + static_cast<size_t>(a.first[k]) * a.plane + r0, n, wk);
        } else {
          for (size_t i = 0; i < n; ++i) wk[i] = std::exp(L[i] - m[i]);
        }
        simd::addInPlace(sum, wk, n);
      }
      for (int k = 0; k < a.v; ++k) {
        simd::divInPlace(a.weights + static_cast<size_t>(k) * a.plane + r0, sum, n);
      }
      std::fill_n(a.weights + static_cast<size_t>(a.v) * a.plane + r0, n, 0.0f);
    }
  });

  struct Blend {
    const float* cands;
    const int32_t* slot;
    int v;
    size_t plane;
    const float* query;
    const uint8_t* mask;
    const float* weights;
    float* blended;
  } c{cands, slot, v, plane, query, mask, weights, blended};
  pool::parallelRange(3 * plane, kRun, [&c](size_t b, size_t e) {
    float acc[kRun];
    for (size_t r0 = b; r0 < e;) {
      // A run never crosses a channel: it ends at the plane's end.
      const size_t ch = r0 / c.plane, p0 = r0 % c.plane;
      const size_t n = std::min({kRun, e - r0, c.plane - p0});
      std::fill(acc, acc + n, 0.0f);
      for (int k = 0; k < c.v; ++k) {
        const float* wk = c.weights + static_cast<size_t>(k) * c.plane + p0;
        const float* ck = c.cands + (static_cast<size_t>(c.slot[k]) * 3 + ch) * c.plane + p0;
        simd::addProduct(acc, wk, ck, n);
      }
      for (size_t i = 0; i < n; ++i) {
        const size_t p = p0 + i;
        c.blended[r0 + i] = c.mask[p] == 1 ? acc[i] : c.query[r0 + i];
      }
      r0 += n;
    }
  });
}

}  // namespace vesk::tessera
