#include "tessera/vesk_tessera.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "core/vesk_half.h"
#include "core/vesk_pool.h"
#include "core/vesk_simd.h"
#include "tessera/vesk_tessera_pi.h"

namespace vesk {

void GeometryStamp::validate() const {
  const int64_t r0 = band_r0, r1 = band_r1, c0 = band_c0, c1 = band_c1, m = shift_margin, p = pad;
  std::string failures;
  auto rule = [&failures](bool ok, const char* text) {
    if (!ok) failures += std::string(" ") + text + ";";
  };
  rule(window_w >= 1 && window_h >= 1, "window dims must be positive");
  rule(window_x0 >= 0 && int64_t{window_x0} + window_w <= canvas_w, "window x-range escapes canvas");
  rule(window_y0 >= 0 && int64_t{window_y0} + window_h <= canvas_h, "window y-range escapes canvas");
  rule(0 <= r0 && r0 < r1 && r1 <= window_h, "band rows escape window");
  rule(0 <= c0 && c0 < c1 && c1 <= window_w, "band cols escape window");
  rule(p >= 1 && m >= 0, "pad/shift_margin must be positive");
  rule(r0 - m >= -p && r1 + m <= window_h + p, "stored band rows escape patch");
  rule(c0 - m >= -p && c1 + m <= window_w + p, "stored band cols escape patch");
  if (!failures.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + failures);
}

}  // namespace vesk

namespace vesk::tessera {

namespace {

int clampOffset(int v, int pad) { return std::clamp(v, -pad, pad); }

// Offsets come from sidecar doubles; anything beyond this is clamped to the pad on use anyway.
int32_t offsetOf(double v) {
  const double r = roundHalfEven(v);
  if (!(r > -1e6)) return -1000000;
  if (r > 1e6) return 1000000;
  return static_cast<int32_t>(r);
}

// Ascending, ties keep the earlier index: a stable order, without the buffer std::stable_sort
// would allocate on every frame.
template <class T>
void stableArgsort(const T* v, int n, std::vector<int32_t>* order) {
  order->resize(static_cast<size_t>(n));
  std::iota(order->begin(), order->end(), 0);
  std::sort(order->begin(), order->end(),
            [v](int32_t a, int32_t b) { return v[a] < v[b] || (!(v[b] < v[a]) && a < b); });
}

}  // namespace

void averagePool(const float* in, int planes, int H, int W, int k, float* out) {
  const int ho = H / k, wo = W / k;
  const float scale = 1.0f / static_cast<float>(k * k);
  for (int p = 0; p < planes; ++p) {
    const float* src = in + static_cast<size_t>(p) * H * W;
    float* dst = out + static_cast<size_t>(p) * ho * wo;
    if (k == 2) {  // the head's pooling, every frame: the same sums without the inner loops
      for (int y = 0; y < ho; ++y) {
        const float* r0 = src + static_cast<size_t>(2 * y) * W;
        const float* r1 = r0 + W;
        float* d = dst + static_cast<size_t>(y) * wo;
        for (int x = 0; x < wo; ++x) d[x] = ((((0.0f + r0[2 * x]) + r0[2 * x + 1]) + r1[2 * x]) + r1[2 * x + 1]) * scale;
      }
      continue;
    }
    for (int y = 0; y < ho; ++y)
      for (int x = 0; x < wo; ++x) {
        float s = 0.0f;
        for (int dy = 0; dy < k; ++dy) {
          const float* row = src + static_cast<size_t>(y * k + dy) * W + static_cast<size_t>(x) * k;
          for (int dx = 0; dx < k; ++dx) s += row[dx];
        }
        dst[static_cast<size_t>(y) * wo + x] = s * scale;
      }
  }
}

TeethPass::TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config)
    : stamp_(bank.stamp), config_(config), head_(head) {
  stamp_.validate();
  n_ = bank.n_donors;
  if (n_ < 1) throw std::runtime_error("teeth: n_donors <= 0 — a bank without donors has no teeth to lend");
  const int64_t bh = stamp_.bandH(), bw = stamp_.bandW();
  const int64_t required = int64_t{n_} * bh * bw * 3;
  if (static_cast<int64_t>(bank.pixels.size()) != required) {
    throw std::runtime_error("teeth: reference track is " + std::to_string(bank.pixels.size()) +
                             " bytes, the stamp requires " + std::to_string(required) +
                             " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format "
                             "would land here");
  }
  if (bank.aperture.size() != static_cast<size_t>(n_) || bank.cent.size() != 2 * static_cast<size_t>(n_)) {
    throw std::runtime_error("teeth: bank sidecar arrays disagree with n_donors");
  }
  if (head_.cand0_w.size() != 16 * 7 * 9 || head_.cand0_b.size() != 16 || head_.cand2_w.size() != 16 * 16 * 9 ||
      head_.cand2_b.size() != 16 || head_.cand4_w.size() != 16 * 9 || head_.cand4_b.size() != 1) {
    throw std::runtime_error("teeth: head weights do not hold the BlendHead(16) candidate branch");
  }
  bank_ = bank.pixels;
  aperture_ = bank.aperture;
  c_canon_ = bank.c_canon;
  band_h_ = static_cast<int>(bh);
  band_w_ = static_cast<int>(bw);
  dy_.resize(static_cast<size_t>(n_));
  dx_.resize(static_cast<size_t>(n_));
  for (size_t d = 0; d < static_cast<size_t>(n_); ++d) {
    dy_[d] = offsetOf(bank.cent[2 * d + 1] - c_canon_[1]);
    dx_[d] = offsetOf(bank.cent[2 * d] - c_canon_[0]);
  }
  h_ = stamp_.window_h;
  w_ = stamp_.window_w;
  h4_ = h_ / 4;
  w4_ = w_ / 4;
  band_mask_.assign(static_cast<size_t>(h_) * w_, 0);
  for (int r = stamp_.band_r0; r < stamp_.band_r1; ++r)
    std::fill_n(band_mask_.begin() + static_cast<ptrdiff_t>(r) * w_ + stamp_.band_c0, stamp_.band_c1 - stamp_.band_c0,
                uint8_t{1});
  carried_.assign(static_cast<size_t>(h_) * w_, 0.0f);
  buildIndex();
}

const float* TeethPass::dTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(65536);
    for (int a = 0; a < 256; ++a) {
      const float ha = half::round(static_cast<float>(a) / 255.0f);
      for (int b = 0; b < 256; ++b) {
        const float hb = half::round(static_cast<float>(b) / 255.0f);
        t[static_cast<size_t>(a) * 256 + b] = std::fabs(half::round(hb - ha));
      }
    }
    return t;
  }();
  return table.data();
}

int64_t TeethPass::patchOffset(int d, int oy, int ox, int r, int c) const {
  const int pr = r - (stamp_.band_r0 - stamp_.shift_margin) + clampOffset(oy, stamp_.pad);
  const int pc = c - (stamp_.band_c0 - stamp_.shift_margin) + clampOffset(ox, stamp_.pad);
  if (pr < 0 || pr >= band_h_ || pc < 0 || pc >= band_w_) return -1;
  return ((static_cast<int64_t>(d) * band_h_ + pr) * band_w_ + pc) * 3;
}

void TeethPass::placeDonorU8(int d, int oy, int ox, uint8_t* out) const {
  const size_t row = static_cast<size_t>(w_) * 3;
  std::memset(out, 0, row * static_cast<size_t>(h_));
  const int oyc = clampOffset(oy, stamp_.pad), oxc = clampOffset(ox, stamp_.pad);
  // Window column c shows patch column c - cbase; the patch reaches columns [c_lo, c_hi).
  const int cbase = stamp_.band_c0 - stamp_.shift_margin - oxc;
  const int c_lo = std::max(0, cbase), c_hi = std::min(w_, cbase + band_w_);
  if (c_lo >= c_hi) return;
  for (int r = 0; r < h_; ++r) {
    const int pr = r - (stamp_.band_r0 - stamp_.shift_margin) + oyc;
    if (pr < 0 || pr >= band_h_) continue;
    const uint8_t* src = bank_.data() + ((static_cast<size_t>(d) * band_h_ + pr) * band_w_ + (c_lo - cbase)) * 3;
    std::memcpy(out + r * row + static_cast<size_t>(c_lo) * 3, src, static_cast<size_t>(c_hi - c_lo) * 3);
  }
}

void TeethPass::canonicalWindowF16(int d, uint16_t* out) const { canonicalWindowF16Rows(d, out, 0, h_); }

void TeethPass::canonicalWindowF16Rows(int d, uint16_t* out, int r0, int r1) const {
  const size_t plane = static_cast<size_t>(h_) * w_;
  r0 = std::max(r0, 0);
  r1 = std::min(r1, h_);
  if (r0 >= r1) return;
  for (int c = 0; c < 3; ++c)
    std::fill_n(out + c * plane + static_cast<size_t>(r0) * w_, static_cast<size_t>(r1 - r0) * w_, uint16_t{0});
  const int oy = clampOffset(dy_[static_cast<size_t>(d)], stamp_.pad);
  const int ox = clampOffset(dx_[static_cast<size_t>(d)], stamp_.pad);
  const int cbase = stamp_.band_c0 - stamp_.shift_margin - ox;
  const int c_lo = std::max(0, cbase), c_hi = std::min(w_, cbase + band_w_);
  if (c_lo >= c_hi) return;
  for (int r = r0; r < r1; ++r) {
    const int pr = r - (stamp_.band_r0 - stamp_.shift_margin) + oy;
    if (pr < 0 || pr >= band_h_) continue;
    const uint8_t* src = bank_.data() + ((static_cast<size_t>(d) * band_h_ + pr) * band_w_ + (c_lo - cbase)) * 3;
    simd::rgb8ToPlanarF16(src, out + static_cast<size_t>(r) * w_ + c_lo, plane, static_cast<size_t>(c_hi - c_lo));
  }
}

const uint16_t* TeethPass::pooledIndex(int d) const { return index_.data() + static_cast<size_t>(d) * 3 * h4_ * w4_; }

void TeethPass::buildIndex() {
  const size_t plane = static_cast<size_t>(h_) * w_;
  const size_t slot = 3 * static_cast<size_t>(h4_) * w4_;
  index_.assign(static_cast<size_t>(n_) * slot, 0);
  pool::parallelRange(static_cast<size_t>(n_), 1, [this, plane](size_t b, size_t e) {
    const size_t slotSize = 3 * static_cast<size_t>(h4_) * w4_;
    std::vector<uint16_t> win(3 * plane);
    std::vector<float> f(3 * plane), pooled(slotSize);
    for (size_t d = b; d < e; ++d) {
      canonicalWindowF16(static_cast<int>(d), win.data());
      simd::f16ToF32(win.data(), f.data(), win.size());
      averagePool(f.data(), 3, h_, w_, 4, pooled.data());
      simd::f32ToF16(pooled.data(), index_.data() + d * slotSize, slotSize);
    }
  });
}

bool TeethPass::deriveShift(const uint8_t* mask, const int32_t* given, int* dy, int* dx, std::string* reason) const {
  int64_t sy = 0, sx = 0;
  if (given != nullptr) {
    sy = given[0];
    sx = given[1];
  } else {
    const size_t W = static_cast<size_t>(stamp_.canvas_w), H = static_cast<size_t>(stamp_.canvas_h);
    double rows = 0, cols = 0;
    int64_t count = 0;
    for (size_t y = 0; y < H; ++y) {
      const uint8_t* m = mask + y * W;
      for (size_t x = 0; x < W; ++x) {
        if (m[x] < 128) continue;
        rows += static_cast<double>(y);
        cols += static_cast<double>(x);
        ++count;
      }
    }
    if (count == 0) {
      *reason = "empty-pi";
      return false;
    }
    sy = offsetOf(rows / static_cast<double>(count) - c_canon_[1]);
    sx = offsetOf(cols / static_cast<double>(count) - c_canon_[0]);
  }
  if (sy > stamp_.pad || sy < -int64_t{stamp_.pad} || sx > stamp_.pad || sx < -int64_t{stamp_.pad}) {
    *reason = "shift-out-of-range";
    return false;
  }
  *dy = static_cast<int>(sy);
  *dx = static_cast<int>(sx);
  return true;
}

void TeethPass::retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int dy, int dx, RetrieveWork* work) {
  const size_t plane = static_cast<size_t>(h_) * w_;
  const size_t pooled = static_cast<size_t>(h4_) * w4_;
  const int N = stamp_.canvas_w, H = stamp_.canvas_h;
  work->y0 = stamp_.window_y0 + dy;
  work->x0 = stamp_.window_x0 + dx;
  work->weights.resize(plane);
  work->query.resize(3 * pooled);
  work->pooled_w.resize(pooled);
  thread_local std::vector<float> q, qp;
  q.resize(3 * plane);
  qp.resize(3 * pooled);
  std::vector<float>& W = work->weights;
  // A shift can move the window past the canvas edge; pixels out there carry no mouth.
  int64_t bright = 0;
  for (int r = 0; r < h_; ++r) {
    const int y = work->y0 + r;
    for (int c = 0; c < w_; ++c) {
      const int x = work->x0 + c;
      const size_t p = static_cast<size_t>(r) * w_ + c;
      if (y < 0 || y >= H || x < 0 || x >= N) {
        W[p] = 0.0f;
        q[p] = q[plane + p] = q[2 * plane + p] = 0.0f;
        continue;
      }
      const uint8_t* px = rgb + (static_cast<size_t>(y) * N + x) * 3;
      const bool inside = static_cast<float>(mask[static_cast<size_t>(y) * N + x]) / 255.0f > 0.5f;
      const double R = px[0], G = px[1], B = px[2];
      const bool teeth = inside && 0.299 * R + 0.587 * G + 0.114 * B >= config_.teeth_luma_min &&
                         std::fabs(G - R) < config_.teeth_rg_max;
      W[p] = teeth ? 1.0f : 0.0f;
      bright += teeth ? 1 : 0;
      q[p] = static_cast<float>(px[0]) / 255.0f;
      q[plane + p] = static_cast<float>(px[1]) / 255.0f;
      q[2 * plane + p] = static_cast<float>(px[2]) / 255.0f;
    }
  }
  if (bright < config_.teeth_min_pixels) {
    // Too few teeth-like pixels to match on: match the whole mouth instead.
    for (int r = 0; r < h_; ++r) {
      const int y = work->y0 + r;
      for (int c = 0; c < w_; ++c) {
        const int x = work->x0 + c;
        const bool in =
            y >= 0 && y < H && x >= 0 && x<N&& static_cast<float>(mask[static_cast<size_t>(y) * N + x]) / 255.0f> 0.5f;
        W[static_cast<size_t>(r) * w_ + c] = in ? 1.0f : 0.0f;
      }
    }
  }
  if (has_carried_) {
    const float carry = static_cast<float>(config_.weight_carry);
    for (int r = 0; r < h_; ++r) {
      const int y = work->y0 + r;
      for (int c = 0; c < w_; ++c) {
        const int x = work->x0 + c;
        const size_t p = static_cast<size_t>(r) * w_ + c;
        // A weight carried onto a pixel past the canvas edge would point the exact term off the image.
        if (y >= 0 && y < H && x >= 0 && x < N) W[p] = std::max(W[p], carry * carried_[p]);
      }
    }
  }
  std::copy(W.begin(), W.end(), carried_.begin());
  has_carried_ = true;

  float total = 0.0f;
  work->row_lo = -1;
  work->row_hi = 0;
  for (int r = 0; r < h_; ++r) {
    bool any = false;
    for (int c = 0; c < w_; ++c) {
      const float v = W[static_cast<size_t>(r) * w_ + c];
      total += v;
      any = any || v != 0.0f;
    }
    if (any) {
      if (work->row_lo < 0) work->row_lo = r;
      work->row_hi = r + 1;
    }
  }
  if (work->row_lo < 0) {
    work->row_lo = 0;
    work->row_hi = h_;
  }
  work->total = total < 1.0f ? 1.0f : total;

  averagePool(q.data(), 3, h_, w_, 4, qp.data());
  simd::f32ToF16(qp.data(), work->query.data(), 3 * pooled);
  averagePool(W.data(), 1, h_, w_, 4, qp.data());
  simd::f32ToF16(qp.data(), work->pooled_w.data(), pooled);
  float sum = 0.0f;
  for (size_t i = 0; i < pooled; ++i) sum += half::toFloat(work->pooled_w[i]);
  work->pooled_sum = sum < 1e-4f ? 1e-4f : sum;
}

float TeethPass::exactTermFromBand(int d, const uint8_t* rgb, int y0, int x0, int stride, const float* weights, int r0,
                                   int r1) const {
  const float* T = dTable();
  thread_local std::vector<float> vals, prods;
  vals.resize(static_cast<size_t>(w_));
  prods.resize(static_cast<size_t>(w_));
  const int oy = clampOffset(dy_[static_cast<size_t>(d)], stamp_.pad);
  const int ox = clampOffset(dx_[static_cast<size_t>(d)], stamp_.pad);
  const int cbase = stamp_.band_c0 - stamp_.shift_margin - ox;
  const int c_lo = std::max(0, cbase), c_hi = std::min(w_, cbase + band_w_);
  float acc = 0.0f;
  for (int r = std::max(r0, 0); r < std::min(r1, h_); ++r) {
    const float* wr = weights + static_cast<size_t>(r) * w_;
    const int pr = r - (stamp_.band_r0 - stamp_.shift_margin) + oy;
    const bool rowCovered = pr >= 0 && pr < band_h_;
    const uint8_t* donorRow =
        rowCovered ? bank_.data() + (static_cast<size_t>(d) * band_h_ + pr) * band_w_ * 3 : nullptr;
    const uint8_t* q = rgb + (static_cast<ptrdiff_t>(y0 + r) * stride + x0) * 3;
    for (int c = 0; c < w_; ++c) {
      if (wr[c] == 0.0f) {
        vals[static_cast<size_t>(c)] = 0.0f;
        continue;
      }
      uint8_t dr = 0, dg = 0, db = 0;
      if (rowCovered && c >= c_lo && c < c_hi) {
        const uint8_t* s = donorRow + static_cast<size_t>(c - cbase) * 3;
        dr = s[0], dg = s[1], db = s[2];
      }
      const uint8_t* qp = q + static_cast<ptrdiff_t>(c) * 3;
      const float e = (T[qp[0] * 256 + dr] + T[qp[1] * 256 + dg]) + T[qp[2] * 256 + db];
      vals[static_cast<size_t>(c)] = e / 3.0f;
    }
    simd::roundF16Mul(vals.data(), wr, prods.data(), static_cast<size_t>(w_));
    for (int c = 0; c < w_; ++c)
      if (wr[c] != 0.0f) acc += prods[static_cast<size_t>(c)];
  }
  return acc;
}

void TeethPass::selectInto(const int32_t* P, const float* exact, int m, std::vector<int32_t>* q,
                           std::vector<int32_t>* out) const {
  out->clear();
  stableArgsort(exact, m, q);
  const std::vector<int32_t>& Q = *q;
  const int32_t best = P[Q[0]];
  const double c = aperture_[static_cast<size_t>(best)];
  const double tol = std::max(c, 1e-6) * config_.aperture_tol;
  const int walk = std::min(m, config_.cut);
  for (int i = 0; i < walk; ++i) {
    if (static_cast<int>(out->size()) >= config_.K) break;
    const int32_t d = P[Q[static_cast<size_t>(i)]];
    if (std::fabs(aperture_[static_cast<size_t>(d)] - c) <= tol) out->push_back(d);
  }
  if (out->empty()) out->push_back(best);
  while (static_cast<int>(out->size()) < config_.K) out->push_back(out->back());
}

int TeethPass::exactCount() const { return std::max(1, std::min(n_, config_.kshort)); }

std::vector<int32_t> TeethPass::retrieveSelect(const std::vector<float>& pooled,
                                               const std::vector<float>& exact) const {
  if (pooled.size() != static_cast<size_t>(n_) || exact.size() < static_cast<size_t>(exactCount())) {
    throw std::runtime_error("teeth: retrieveSelect takes " + std::to_string(n_) + " pooled and " +
                             std::to_string(exactCount()) + " exact terms, not " + std::to_string(pooled.size()) +
                             " and " + std::to_string(exact.size()));
  }
  std::vector<int32_t> P, Q, out;
  stableArgsort(pooled.data(), n_, &P);
  selectInto(P.data(), exact.data(), exactCount(), &Q, &out);
  return out;
}

std::vector<int32_t> TeethPass::retrieve(const uint8_t* rgb, const uint8_t* mask, int dy, int dx) {
  std::vector<int32_t> out;
  retrieveInto(rgb, mask, dy, dx, &out);
  return out;
}

void TeethPass::retrieveInto(const uint8_t* rgb, const uint8_t* mask, int dy, int dx, std::vector<int32_t>* out) {
  Retrieval& R = ret_;
  R.work.total = 1.0f;
  R.work.pooled_sum = 1e-4f;
  retrievePrepare(rgb, mask, dy, dx, &R.work);
  R.pooled.resize(static_cast<size_t>(n_));
  pool::parallelRange(static_cast<size_t>(n_), 1, [this, &R](size_t b, size_t e) {
    const size_t n = static_cast<size_t>(h4_) * w4_;
    for (size_t d = b; d < e; ++d) {
      const float t =
          simd::retrieveTermPooled(pooledIndex(static_cast<int>(d)), R.work.query.data(), R.work.pooled_w.data(), n);
      R.pooled[d] = half::round(t) / R.work.pooled_sum;
    }
  });
  stableArgsort(R.pooled.data(), n_, &R.order_p);
  const int m = exactCount();
  R.exact.resize(static_cast<size_t>(m));
  pool::parallelRange(static_cast<size_t>(m), 1, [this, rgb](size_t b, size_t e) {
    const Retrieval& S = ret_;
    for (size_t i = b; i < e; ++i) {
      const float t = exactTermFromBand(S.order_p[i], rgb, S.work.y0, S.work.x0, stamp_.canvas_w, S.work.weights.data(),
                                        S.work.row_lo, S.work.row_hi);
      ret_.exact[i] = t / S.work.total;
    }
  });
  selectInto(R.order_p.data(), R.exact.data(), m, &R.order_q, out);
}

}  // namespace vesk::tessera
