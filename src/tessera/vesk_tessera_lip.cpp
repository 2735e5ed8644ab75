#include "tessera/vesk_tessera_lip.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "tessera/vesk_tessera_json.h"

namespace vesk::tessera {

namespace {

constexpr int kKpRows = 21;
constexpr const char* kFormat = "lip-template-v1";
constexpr const char* kMapSchema = "lip-map-v1";
constexpr const char* kMapKind = "anchor-linear";
// The rows the outline follows when a template names none: the lip corners, top and bottom.
constexpr int kDefaultAnchors[] = {17, 18, 19, 20};
// 3 x 3 chamfer steps: close to the Euclidean distance along the axes and the diagonals.
constexpr float kStraight = 0.955f;
constexpr float kDiagonal = 1.3693f;
constexpr float kFar = 1e10f;
constexpr int64_t kOne = 65536;  // 16.16 fixed point

[[noreturn]] void refuse(const std::string& why) {
  throw std::runtime_error(std::string(LipContour::kTemplateName) + ": " + why);
}

std::string intText(double v) {
  return std::isfinite(v) && std::fabs(v) < 1e15 ? std::to_string(static_cast<long long>(v)) : std::to_string(v);
}

uint8_t toByte(double v) {
  if (!(v > 0.0)) return 0;
  return static_cast<uint8_t>(std::nearbyint(std::min(v, 1.0) * 255.0));
}

int64_t floorShift(int64_t v) { return v >= 0 ? v / kOne : -((-v + kOne - 1) / kOne); }
int64_t ceilShift(int64_t v) { return -floorShift(-v); }

}  // namespace

LipContour::LipContour(int canvas, float feather_px, const double* u_canon, int nv, const int* lip_idx, int k)
    : N_(canvas), feather_px_(feather_px), nv_(nv) {
  if (N_ < 1) throw std::runtime_error("lip contour: canvas " + std::to_string(N_) + " is not positive");
  if (!(feather_px_ > 0.0f)) throw std::runtime_error("lip contour: feather_px is not positive");
  if (nv_ < 1 || u_canon == nullptr) throw std::runtime_error("lip contour: the outline has no vertices");
  if (k < 1 || k > kMaxAnchors || lip_idx == nullptr)
    throw std::runtime_error("lip contour: the outline follows 1..8 anchor rows, not " + std::to_string(k));
  for (int i = 0; i < k; ++i)
    if (lip_idx[i] < 0 || lip_idx[i] >= kKpRows)
      throw std::runtime_error("lip contour: anchor row " + std::to_string(lip_idx[i]) + " is not a kd row 0..20");
  u_canon_.assign(u_canon, u_canon + 2 * static_cast<size_t>(nv_));
  anchors_.assign(lip_idx, lip_idx + k);
  const size_t plane = static_cast<size_t>(N_) * static_cast<size_t>(N_);
  poly_.resize(2 * static_cast<size_t>(nv_));
  cross_.resize(static_cast<size_t>(nv_));
  inside_.resize(plane);
  dist_.resize(plane);
  alpha_.resize(plane);
}

void LipContour::attachMap(const double* W, const double* b, int rows, int cols, const int* lip_idx, int k) {
  if (W == nullptr || b == nullptr || lip_idx == nullptr || rows != 2 * nv_ || k < 1 || k > kMaxAnchors ||
      cols != 2 * k)
    refuse("lip_map shape does not match the template");
  for (int i = 0; i < k; ++i)
    if (lip_idx[i] < 0 || lip_idx[i] >= kKpRows) refuse("lip_map lip_idx names a row outside 0..20");
  W_.assign(W, W + static_cast<size_t>(rows) * static_cast<size_t>(cols));
  b_.assign(b, b + rows);
  anchors_.assign(lip_idx, lip_idx + k);
  map_w_ = cols;
}

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  json::JVal root;
  try {
    json::JParser parser(text);
    root = parser.parseValue();
  } catch (const std::runtime_error& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!root.isObject()) refuse("is not a JSON object");
  const json::JVal* format = root.find("format");
  if (format == nullptr || !format->isString()) refuse("carries no string `format`");
  if (format->str != kFormat)
    refuse("declares format '" + format->str + "', not '" + kFormat + "' — this runtime cannot read it");
  if (const json::JVal* edge = root.find("edge"); edge != nullptr && edge->isString() && edge->str != "outward")
    refuse("declares edge '" + edge->str +
           "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does not compute");
  const json::JVal* cv = root.find("canvas");
  if (cv == nullptr || !cv->isNumber()) refuse("carries no numeric `canvas`");
  if (!(std::fabs(cv->num) < 1e15) || static_cast<long long>(cv->num) != canvas)
    refuse("was baked on a " + intText(cv->num) + " canvas but this bundle composes on " + std::to_string(canvas) +
           " — refusing to deform a polygon onto a canvas it does not name");
  const json::JVal* feather = root.find("feather_px");
  if (feather == nullptr || !feather->isNumber()) refuse("carries no numeric `feather_px`");
  if (!(feather->num > 0.0)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", feather->num);
    refuse(std::string("declares feather_px ") + buf + ", which is not positive");
  }
  const json::JVal* uc = root.find("u_canon");
  if (uc == nullptr || !uc->isArray() || uc->items.empty()) refuse("carries no non-empty `u_canon` array");
  std::vector<double> u;
  for (size_t i = 0; i < uc->items.size(); ++i) {
    const json::JVal& row = uc->items[i];
    if (!row.isArray() || row.items.size() != 2 || !row.items[0].isNumber() || !row.items[1].isNumber())
      refuse("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    u.push_back(row.items[0].num);
    u.push_back(row.items[1].num);
  }
  std::vector<int> anchors(std::begin(kDefaultAnchors), std::end(kDefaultAnchors));
  if (const json::JVal* li = root.find("lip_idx")) {
    if (!li->isArray() || li->items.empty()) refuse("carries a `lip_idx` that is not a non-empty array");
    anchors.clear();
    for (const json::JVal& v : li->items) {
      if (!v.isNumber()) refuse("carries a `lip_idx` that is not a non-empty array");
      if (!(v.num > -1.0 && v.num < kKpRows))
        refuse("lip_idx names keypoint row " + intText(v.num) + ", and a kd row is 0..20");
      anchors.push_back(static_cast<int>(v.num));
    }
    // The deformation has room for kMaxAnchors rows; a longer list is refused, not cut short.
    if (anchors.size() > static_cast<size_t>(kMaxAnchors))
      refuse("lip_idx names " + std::to_string(anchors.size()) + " keypoint rows, and the outline follows at most " +
             std::to_string(kMaxAnchors));
  }
  const int nv = static_cast<int>(u.size() / 2);
  LipContour contour(canvas, static_cast<float>(feather->num), u.data(), nv, anchors.data(),
                     static_cast<int>(anchors.size()));

  const json::JVal* map = root.find("lip_map");
  if (map == nullptr) return contour;
  if (!map->isObject()) refuse("lip_map is not a JSON object");
  const json::JVal* schema = map->find("schema");
  if (schema == nullptr || !schema->isString() || schema->str != kMapSchema)
    refuse("lip_map declares schema '" + (schema != nullptr && schema->isString() ? schema->str : std::string("?")) +
           "', not '" + kMapSchema + "' — this runtime cannot evaluate it");
  const json::JVal* kind = map->find("kind");
  if (kind == nullptr || !kind->isString() || kind->str != kMapKind)
    refuse(std::string("lip_map kind is not '") + kMapKind + "'");
  std::vector<int> rows(std::begin(kDefaultAnchors), std::end(kDefaultAnchors));
  if (const json::JVal* li = map->find("lip_idx")) {
    if (!li->isArray() || li->items.empty() || li->items.size() > static_cast<size_t>(kMaxAnchors))
      refuse("lip_map lip_idx is not 1..8 kd rows");
    rows.clear();
    for (const json::JVal& v : li->items) {
      if (!v.isNumber() || v.num != std::trunc(v.num) || v.num < 0 || v.num >= kKpRows)
        refuse("lip_map lip_idx names a row outside 0..20");
      rows.push_back(static_cast<int>(v.num));
    }
  }
  const int k = static_cast<int>(rows.size());
  const json::JVal* W = map->find("W");
  const json::JVal* b = map->find("b");
  if (W == nullptr || b == nullptr || !W->isArray() || !b->isArray()) refuse("lip_map carries no W/b arrays");
  if (W->items.size() != 2 * static_cast<size_t>(nv) || b->items.size() != 2 * static_cast<size_t>(nv))
    refuse("lip_map W/b have " + std::to_string(W->items.size()) + "/" + std::to_string(b->items.size()) +
           " rows, not 2*nv=" + std::to_string(2 * nv));
  std::vector<double> w, bias;
  for (size_t r = 0; r < W->items.size(); ++r) {
    const json::JVal& row = W->items[r];
    if (!row.isArray() || row.items.size() != 2 * static_cast<size_t>(k))
      refuse("lip_map W row " + std::to_string(r) + " is not " + std::to_string(2 * k) + " wide");
    for (const json::JVal& v : row.items) {
      if (!v.isNumber() || !std::isfinite(v.num)) refuse("lip_map carries a non-finite coefficient");
      w.push_back(v.num);
    }
  }
  for (const json::JVal& v : b->items) {
    if (!v.isNumber() || !std::isfinite(v.num)) refuse("lip_map carries a non-finite coefficient");
    bias.push_back(v.num);
  }
  if (const json::JVal* mc = map->find("canvas");
      mc != nullptr && (!mc->isNumber() || mc->num != static_cast<double>(canvas)))
    refuse("lip_map was fitted on another canvas than this bundle composes on");
  contour.attachMap(w.data(), bias.data(), 2 * nv, 2 * k, rows.data(), k);
  return contour;
}

void LipContour::polygon(const float* kp, double* out) const {
  const double half = N_ * 0.5;
  double X[kMaxAnchors], Y[kMaxAnchors];
  const int k = static_cast<int>(anchors_.size());
  double gx = 0, gy = 0;
  for (int j = 0; j < k; ++j) {
    X[j] = (kp[anchors_[j] * 3] + 1.0) * half;
    Y[j] = (kp[anchors_[j] * 3 + 1] + 1.0) * half;
    gx += X[j];
    gy += Y[j];
  }
  gx /= k;
  gy /= k;
  if (map_w_ == 0) {
    double sx = 0, sy = 0;
    for (int j = 0; j < k; ++j) {
      sx = std::max(sx, std::fabs(X[j] - gx));
      sy = std::max(sy, std::fabs(Y[j] - gy));
    }
    // Anchors on one point collapse the outline onto it instead of dividing by zero downstream.
    if (sx < 1e-6) sx = 1e-6;
    if (sy < 1e-6) sy = 1e-6;
    for (int v = 0; v < nv_; ++v) {
      out[2 * v] = sx * u_canon_[2 * static_cast<size_t>(v)] + gx;
      out[2 * v + 1] = sy * u_canon_[2 * static_cast<size_t>(v) + 1] + gy;
    }
    return;
  }
  double a[2 * kMaxAnchors];
  for (int j = 0; j < k; ++j) {
    a[2 * j] = X[j] - gx;
    a[2 * j + 1] = Y[j] - gy;
  }
  for (int r = 0; r < 2 * nv_; ++r) {
    double s = (r % 2 == 0 ? gx : gy) + b_[static_cast<size_t>(r)];
    const double* row = W_.data() + static_cast<size_t>(r) * static_cast<size_t>(map_w_);
    for (int c = 0; c < map_w_; ++c) s += row[c] * a[c];
    out[r] = s;
  }
}

Box LipContour::box(const double* poly) const {
  double lx = poly[0], hx = poly[0], ly = poly[1], hy = poly[1];
  for (int v = 1; v < nv_; ++v) {
    lx = std::min(lx, poly[2 * v]);
    hx = std::max(hx, poly[2 * v]);
    ly = std::min(ly, poly[2 * v + 1]);
    hy = std::max(hy, poly[2 * v + 1]);
  }
  const double h = static_cast<double>(feather_px_) + 2.0;
  const double n = N_;
  Box b;
  // A non-finite vertex (a hostile map) gives an edge of the canvas, never an undefined cast.
  auto edge = [n](double v) { return static_cast<int32_t>(v >= 0.0 ? std::min(v, n) : 0.0); };
  b.x0 = edge(std::floor(lx - h));
  b.y0 = edge(std::floor(ly - h));
  b.x1 = edge(std::ceil(hx + h) + 1.0);
  b.y1 = edge(std::ceil(hy + h) + 1.0);
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

void LipContour::fillScanline(const double* poly, const Box& box, uint8_t* inside) const {
  const int bw = box.x1 - box.x0;
  const int bh = box.y1 - box.y0;
  if (bw <= 0 || bh <= 0) return;
  std::fill(inside, inside + static_cast<size_t>(bw) * static_cast<size_t>(bh), uint8_t{0});
  // Vertices are pulled in to within a few canvases: no real outline reaches that far, and the line
  // stepping and the fixed-point slopes stay bounded for any template.
  const double reach = 8.0 * N_;
  auto pix = [&](double c) { return static_cast<int64_t>(std::nearbyint(c > -reach ? std::min(c, reach) : -reach)); };
  auto vx = [&](int v) { return pix(poly[2 * v]) - box.x0; };
  auto vy = [&](int v) { return pix(poly[2 * v + 1]) - box.y0; };
  auto mark = [&](int64_t x, int64_t y) {
    if (x >= 0 && x < bw && y >= 0 && y < bh) inside[static_cast<size_t>(y) * static_cast<size_t>(bw) + x] = 255;
  };
  // The outline itself, so thin slivers the fill rule skips still count as lip.
  for (int v = 0; v < nv_; ++v) {
    const int w = (v + 1) % nv_;
    int64_t x0 = vx(v), y0 = vy(v);
    const int64_t x1 = vx(w), y1 = vy(w);
    const int64_t dx = std::llabs(x1 - x0), dy = -std::llabs(y1 - y0);
    const int64_t sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int64_t err = dx + dy;
    for (;;) {
      mark(x0, y0);
      if (x0 == x1 && y0 == y1) break;
      const int64_t e2 = 2 * err;
      if (e2 >= dy) {
        err += dy;
        x0 += sx;
      }
      if (e2 <= dx) {
        err += dx;
        y0 += sy;
      }
    }
  }
  // Even-odd fill from an edge table in 16.16 fixed point; a row crosses at most nv edges.
  int64_t top = INT64_MAX, bottom = INT64_MIN;
  for (int v = 0; v < nv_; ++v) {
    top = std::min(top, vy(v));
    bottom = std::max(bottom, vy(v));
  }
  int64_t* cross = cross_.data();
  const int64_t r0 = std::max<int64_t>(top, 0);
  const int64_t r1 = std::min<int64_t>(bottom, bh);
  for (int64_t row = r0; row < r1; ++row) {
    int nc = 0;
    for (int v = 0; v < nv_; ++v) {
      const int w = (v + 1) % nv_;
      int64_t xa = vx(v), ya = vy(v), xb = vx(w), yb = vy(w);
      if (ya == yb) continue;
      if (ya > yb) {
        std::swap(xa, xb);
        std::swap(ya, yb);
      }
      if (row < ya || row >= yb) continue;
      const int64_t slope = ((xb - xa) * kOne) / (yb - ya);
      cross[nc++] = xa * kOne + slope * (row - ya);
    }
    std::sort(cross, cross + nc);
    uint8_t* line = inside + static_cast<size_t>(row) * static_cast<size_t>(bw);
    for (int i = 0; i + 1 < nc; i += 2) {
      const int64_t from = std::max<int64_t>(ceilShift(cross[i]), 0);
      const int64_t to = std::min<int64_t>(floorShift(cross[i + 1]), bw - 1);
      for (int64_t x = from; x <= to; ++x) line[x] = 255;
    }
  }
}

void LipContour::rasterise(const double* poly, const Box& box) {
  const int bw = box.x1 - box.x0;
  const int bh = box.y1 - box.y0;
  fillScanline(poly, box, inside_.data());
  float* d = dist_.data();
  const size_t n = static_cast<size_t>(bw) * static_cast<size_t>(bh);
  for (size_t i = 0; i < n; ++i) d[i] = inside_[i] != 0 ? 0.0f : kFar;
  for (int y = 0; y < bh; ++y)
    for (int x = 0; x < bw; ++x) {
      float& c = d[static_cast<size_t>(y) * bw + x];
      if (x > 0) c = std::min(c, d[static_cast<size_t>(y) * bw + x - 1] + kStraight);
      if (y > 0) {
        const float* up = d + static_cast<size_t>(y - 1) * bw;
        if (x > 0) c = std::min(c, up[x - 1] + kDiagonal);
        c = std::min(c, up[x] + kStraight);
        if (x + 1 < bw) c = std::min(c, up[x + 1] + kDiagonal);
      }
    }
  for (int y = bh - 1; y >= 0; --y)
    for (int x = bw - 1; x >= 0; --x) {
      float& c = d[static_cast<size_t>(y) * bw + x];
      if (x + 1 < bw) c = std::min(c, d[static_cast<size_t>(y) * bw + x + 1] + kStraight);
      if (y + 1 < bh) {
        const float* down = d + static_cast<size_t>(y + 1) * bw;
        if (x + 1 < bw) c = std::min(c, down[x + 1] + kDiagonal);
        c = std::min(c, down[x] + kStraight);
        if (x > 0) c = std::min(c, down[x - 1] + kDiagonal);
      }
    }
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<float>(smoothstep(1.0f - d[i] / feather_px_));
}

void LipContour::contourF32(const double* poly, const Box& box, float* out) {
  if (box.empty()) return;
  rasterise(poly, box);
  const int bw = box.x1 - box.x0;
  for (int y = box.y0; y < box.y1; ++y)
    std::copy_n(dist_.data() + static_cast<size_t>(y - box.y0) * bw, bw, out + static_cast<size_t>(y) * N_ + box.x0);
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  std::fill(out, out + static_cast<size_t>(N_) * N_, 0.0f);
  polygon(kp, poly_.data());
  contourF32(poly_.data(), box(poly_.data()), out);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  polygon(kp, poly_.data());
  const Box b = box(poly_.data());
  if (b.empty()) {
    std::fill(out, out + static_cast<size_t>(N_) * N_, uint8_t{0});
    return;
  }
  contourF32(poly_.data(), b, alpha_.data());
  pi.piU8ShrunkBy(kp, alpha_.data(), b, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask) {
  const Box in{std::max(box.x0, 0), std::max(box.y0, 0), std::min(box.x1, N_), std::min(box.y1, N_)};
  if (in.empty()) return false;
  polygon(kp, poly_.data());
  const Box c = this->box(poly_.data());
  const Box both{std::max(in.x0, c.x0), std::max(in.y0, c.y0), std::min(in.x1, c.x1), std::min(in.y1, c.y1)};
  auto clear = [&](int y, int x0, int x1) {
    if (x1 > x0)
      std::fill(mask + static_cast<size_t>(y) * N_ + x0, mask + static_cast<size_t>(y) * N_ + x1, uint8_t{0});
  };
  if (both.empty()) {
    for (int y = in.y0; y < in.y1; ++y) clear(y, in.x0, in.x1);
    return false;
  }
  rasterise(poly_.data(), c);
  const int cw = c.x1 - c.x0;
  bool any = false;
  for (int y = in.y0; y < in.y1; ++y) {
    if (y < both.y0 || y >= both.y1) {
      clear(y, in.x0, in.x1);
      continue;
    }
    clear(y, in.x0, both.x0);
    clear(y, both.x1, in.x1);
    uint8_t* row = mask + static_cast<size_t>(y) * N_;
    const float* a = dist_.data() + static_cast<size_t>(y - c.y0) * cw - c.x0;
    for (int x = both.x0; x < both.x1; ++x) {
      row[x] = std::min(row[x], toByte(a[x]));
      any = any || row[x] != 0;
    }
  }
  return any;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* c_canon, uint8_t* out, int* dy,
                                     int* dx) {
  const bool shifted = pi.piU8AndShift(kp, c_canon, out, dy, dx);
  const bool kept = shrinkU8InPlace(kp, pi.supportBox(kp), out);
  return shifted && kept;
}

}  // namespace vesk::tessera
