#include "tessera/vesk_tessera_pi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "tessera/vesk_tessera_json.h"

namespace vesk::tessera {

namespace {

constexpr int kKpFloats = 63;
constexpr int kKpRows = 21;
// The lip radii never shrink below these (normalised units), however tight the lips are.
constexpr double kLipMinRadius = 0.1;
constexpr double kGateMinRadius = 0.004;
// The gate opens between these vertical lip spreads (normalised units).
constexpr double kGateClosedSpread = 0.02;
constexpr double kGateOpenSpan = 0.01;

std::string fmt2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string rowText(double v) {
  return std::isfinite(v) && std::fabs(v) < 1e9 ? std::to_string(static_cast<long long>(v)) : fmt2(v);
}

uint8_t toByte(double v) {
  if (!(v > 0.0)) return 0;
  return static_cast<uint8_t>(roundHalfEven(std::min(v, 1.0) * 255.0));
}

Box intersect(const Box& a, const Box& b) {
  Box r{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
  r.x1 = std::max(r.x1, r.x0);
  r.y1 = std::max(r.y1, r.y0);
  return r;
}

Box unite(const Box& a, const Box& b) {
  return Box{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

}  // namespace

double smoothstep(double t) {
  if (!(t >= 0.0)) return 0.0;
  const double u = std::min(t, 1.0);
  return u * u * (3.0 - 2.0 * u);
}

double roundHalfEven(double v) { return std::nearbyint(v); }

const std::vector<UnifiedPi::Corpus>& UnifiedPi::corpus() {
  static const std::vector<Corpus> k = {
      {"v1", 0.05f, 0.08f, 0.015f},
      {"v2", 0.10f, 0.08f, 0.074f},
      {"v3", 0.14f, 0.08f, 0.074f},
  };
  return k;
}

UnifiedPi::UnifiedPi(int canvas, bool corner_recovery, float prop_gate_scale, std::vector<int32_t> lip_idx, float pad_x,
                     float pad_y, float down)
    : N_(canvas), corner_recovery_(corner_recovery), prop_gate_scale_(prop_gate_scale), lip_idx_(std::move(lip_idx)) {
  if (N_ < 1) throw std::runtime_error("teeth-pi: compose canvas " + std::to_string(N_) + " is not positive");
  if (lip_idx_.empty()) throw std::runtime_error("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (int32_t r : lip_idx_)
    if (r < 0 || r >= kKpRows)
      throw std::runtime_error("teeth-pi: unified.pi.lip_idx names keypoint row " + std::to_string(r) +
                               ", and a kd row is 0..20");
  lip_geom_params_[0] = pad_x;
  lip_geom_params_[1] = pad_y;
  lip_geom_params_[2] = down;
  fillGrids();
}

void UnifiedPi::fillGrids() {
  grid_x_.assign(static_cast<size_t>(N_), -1.0f);
  if (N_ > 1)
    for (int i = 0; i < N_; ++i) grid_x_[static_cast<size_t>(i)] = static_cast<float>(i * 2.0 / (N_ - 1) - 1.0);
  grid_y_ = grid_x_;
}

UnifiedPi UnifiedPi::fromManifestJson(const std::string& manifest, int canvas) {
  const json::JVal root = json::parseJson(manifest, "manifest.json");
  const json::JVal* unified = root.find("unified");
  if (unified == nullptr)
    throw std::runtime_error(
        "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state the "
        "pi geometry it was baked with; refusing to guess one");
  const json::JVal& pi = unified->req("pi");
  const json::JVal& mode = pi.req("mode");
  if (!mode.isString()) throw std::runtime_error("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    throw std::runtime_error("teeth-pi: unified.pi.mode '" + mode.str +
                             "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the "
                             "stamped-geometry rule)");
  bool corner = false;
  if (const json::JVal* cr = pi.find("corner_recovery")) {
    if (cr->kind == json::JKind::Bool)
      corner = cr->b;
    else if (cr->isString() && cr->str == "lip_landmark_half")
      corner = true;
    else
      throw std::runtime_error(
          "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never "
          "be guessed");
  }
  (void)pi.req("prop_gate_scale");
  const double gate_scale = json::reqNum(pi, "prop_gate_scale", "unified.pi");
  const json::JVal& idx = pi.req("lip_idx");
  if (!idx.isArray() || idx.items.empty())
    throw std::runtime_error("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  std::vector<int32_t> rows;
  for (const json::JVal& v : idx.items) {
    if (!v.isNumber()) throw std::runtime_error("teeth-pi: unified.pi.lip_idx holds an entry that is not a number");
    // Rows outside 0..20 would read past the keypoint row; refused before any mask reads them.
    if (!(v.num > -1.0 && v.num < kKpRows))
      throw std::runtime_error("teeth-pi: unified.pi.lip_idx names keypoint row " + rowText(v.num) +
                               ", and a kd row is 0..20");
    rows.push_back(static_cast<int32_t>(v.num));
  }
  const json::JVal& geom = pi.req("lip_geom_params");
  if (!geom.isArray() || geom.items.size() != 3 ||
      !std::all_of(geom.items.begin(), geom.items.end(), [](const json::JVal& v) { return v.isNumber(); }))
    throw std::runtime_error("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  if (const json::JVal* crop = unified->find("crop"); crop != nullptr && crop->isObject()) {
    if (const json::JVal* c = crop->find("canvas")) {
      const std::string stated = c->isNumber() ? std::to_string(static_cast<long long>(c->num)) : std::string("?");
      if (!c->isNumber() || static_cast<long long>(c->num) != canvas)
        throw std::runtime_error("teeth-pi: engine renders at canvas " + std::to_string(canvas) +
                                 " but unified.crop.canvas is " + stated);
    }
  }
  return UnifiedPi(canvas, corner, static_cast<float>(gate_scale), std::move(rows),
                   static_cast<float>(geom.items[0].num), static_cast<float>(geom.items[1].num),
                   static_cast<float>(geom.items[2].num));
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& manifest, int canvas, const float* xs_target, int frames,
                                            const double* c_canon, std::string* label) {
  if (xs_target == nullptr || frames < 1)
    throw std::runtime_error(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — refusing "
        "to fall back to the stamped geometry, which is the GRAPH's compose field");
  UnifiedPi pi = fromManifestJson(manifest, canvas);
  struct Hit {
    size_t entry;
    double dist;
  };
  std::vector<Hit> hits;
  for (size_t i = 0; i < corpus().size(); ++i) {
    const Corpus& c = corpus()[i];
    pi.lip_geom_params_[0] = c.pad_x;
    pi.lip_geom_params_[1] = c.pad_y;
    pi.lip_geom_params_[2] = c.down;
    double cx = 0, cy = 0;
    pi.canonicalCentroid(xs_target, frames, &cx, &cy);
    hits.push_back({i, std::hypot(cx - c_canon[0], cy - c_canon[1])});
  }
  std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.dist < b.dist; });
  std::string listing;
  for (const Hit& h : hits) listing += std::string(" ") + corpus()[h.entry].name + "=" + fmt2(h.dist) + "px";
  if (hits[0].dist > kMatchRadiusPx)
    throw std::runtime_error("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + fmt2(c_canon[0]) + "," +
                             fmt2(c_canon[1]) + ") within " + fmt2(kMatchRadiusPx) + "px —" + listing +
                             " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody "
                             "can name");
  if (hits.size() > 1 && hits[1].dist - hits[0].dist < kAmbiguityMarginPx)
    throw std::runtime_error("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within " + fmt2(kAmbiguityMarginPx) +
                             "px) —" + listing + " — refusing to guess the bank frame");
  const Corpus& best = corpus()[hits[0].entry];
  pi.lip_geom_params_[0] = best.pad_x;
  pi.lip_geom_params_[1] = best.pad_y;
  pi.lip_geom_params_[2] = best.down;
  if (label != nullptr) *label = best.name;
  return pi;
}

UnifiedPi::LipStats UnifiedPi::lipStats(const float* kp) const {
  LipStats s{0, 0, 0, 0};
  for (int32_t r : lip_idx_) {
    s.mx += kp[r * 3];
    s.my += kp[r * 3 + 1];
  }
  s.mx /= static_cast<double>(lip_idx_.size());
  s.my /= static_cast<double>(lip_idx_.size());
  for (int32_t r : lip_idx_) {
    s.ex = std::max(s.ex, std::fabs(kp[r * 3] - s.mx));
    s.ey = std::max(s.ey, std::fabs(kp[r * 3 + 1] - s.my));
  }
  return s;
}

EllParams UnifiedPi::ellipse(const LipStats& s, double pad_x, double pad_y, double min_rx, double min_ry, double scale,
                             double down) const {
  EllParams p;
  p.cx = s.mx;
  p.cy = s.my + down;
  p.rx = std::max(pad_x != 0.0 ? s.ex + pad_x : s.ex, min_rx);
  p.ry = std::max(pad_y != 0.0 ? s.ey + pad_y : s.ey, min_ry);
  if (scale != 1.0) {
    p.rx *= scale;
    p.ry *= scale;
  }
  p.S = std::sqrt(p.rx * p.ry) * 256.0;
  return p;
}

EllParams UnifiedPi::lipParams(const float* kp) const {
  const LipStats s = lipStats(kp);
  EllParams p =
      ellipse(s, lip_geom_params_[0], lip_geom_params_[1], kLipMinRadius, kLipMinRadius, 1.0, lip_geom_params_[2]);
  if (corner_recovery_) {
    // Lip corners that poke out of the padded ellipse would be cut off the mask: grow it until the
    // farthest lip point sits inside the feathered edge.
    double dmax = 0.0;
    for (int32_t r : lip_idx_) {
      const double nx = (kp[r * 3] - s.mx) / p.rx;
      const double ny = (kp[r * 3 + 1] - p.cy) / p.ry;
      dmax = std::max(dmax, std::sqrt(nx * nx + ny * ny));
    }
    const double v = std::max(1.0, 5.0 / p.S + dmax);
    p.rx *= v;
    p.ry *= v;
    p.S = std::sqrt(p.rx * p.ry) * 256.0;
  }
  return p;
}

EllParams UnifiedPi::gateParams(const float* kp, double* gate) const {
  const LipStats s = lipStats(kp);
  if (gate != nullptr) *gate = smoothstep((s.ey - kGateClosedSpread) / kGateOpenSpan);
  return ellipse(s, 0.0, 0.0, kGateMinRadius, kGateMinRadius, prop_gate_scale_, 0.0);
}

Box UnifiedPi::ellBox(const EllParams& p) const {
  if (N_ < 2) return Box{0, 0, N_, N_};
  const double f = (N_ - 1) * 0.5;
  Box b;
  b.y0 = static_cast<int32_t>(std::max(std::floor((p.cy - p.ry + 1.0) * f) - 1.0, 0.0));
  b.x0 = static_cast<int32_t>(std::max(std::floor((p.cx - p.rx + 1.0) * f) - 1.0, 0.0));
  b.y1 = static_cast<int32_t>(std::min(std::ceil((p.cy + p.ry + 1.0) * f) + 2.0, static_cast<double>(N_)));
  b.x1 = static_cast<int32_t>(std::min(std::ceil((p.cx + p.rx + 1.0) * f) + 2.0, static_cast<double>(N_)));
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  return unite(ellBox(lipParams(kp)), ellBox(gateParams(kp, nullptr)));
}

double UnifiedPi::ellValue(const EllParams& p, int row, int col) const {
  const double nx = (grid_x_[static_cast<size_t>(col)] - p.cx) / p.rx;
  const double ny = (grid_y_[static_cast<size_t>(row)] - p.cy) / p.ry;
  const double d = std::sqrt(nx * nx + ny * ny);
  return smoothstep((1.0 - d) * p.S / 10.0);
}

double UnifiedPi::piValue(const EllParams& lip, const EllParams& gate, double g, int row, int col) const {
  const double gv = g > 0.0 ? ellValue(gate, row, col) * g : 0.0;
  return std::max(ellValue(lip, row, col), gv);
}

void UnifiedPi::ellMask(const float* kp, float pad_x, float pad_y, float min_rx, float min_ry, float scale, float down,
                        float* out) const {
  const EllParams p = ellipse(lipStats(kp), pad_x, pad_y, min_rx, min_ry, scale, down);
  for (int y = 0; y < N_; ++y)
    for (int x = 0; x < N_; ++x) out[static_cast<size_t>(y) * N_ + x] = static_cast<float>(ellValue(p, y, x));
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const EllParams p = lipParams(kp);
  for (int y = 0; y < N_; ++y)
    for (int x = 0; x < N_; ++x) out[static_cast<size_t>(y) * N_ + x] = static_cast<float>(ellValue(p, y, x));
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  double g = 0.0;
  const EllParams p = gateParams(kp, &g);
  for (int y = 0; y < N_; ++y)
    for (int x = 0; x < N_; ++x)
      out[static_cast<size_t>(y) * N_ + x] = static_cast<float>(g > 0.0 ? ellValue(p, y, x) * g : 0.0);
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  double g = 0.0;
  const EllParams lip = lipParams(kp);
  const EllParams gate = gateParams(kp, &g);
  for (int y = 0; y < N_; ++y)
    for (int x = 0; x < N_; ++x) out[static_cast<size_t>(y) * N_ + x] = toByte(piValue(lip, gate, g, y, x));
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  std::fill(out, out + static_cast<size_t>(N_) * N_, uint8_t{0});
  double g = 0.0;
  const EllParams lip = lipParams(kp);
  const EllParams gate = gateParams(kp, &g);
  const Box a = ellBox(lip);
  const Box b = ellBox(gate);
  for (const Box& box : {a, b})
    for (int y = box.y0; y < box.y1; ++y)
      for (int x = box.x0; x < box.x1; ++x) out[static_cast<size_t>(y) * N_ + x] = toByte(piValue(lip, gate, g, y, x));
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* alpha, const Box& box, uint8_t* out) const {
  std::fill(out, out + static_cast<size_t>(N_) * N_, uint8_t{0});
  double g = 0.0;
  const EllParams lip = lipParams(kp);
  const EllParams gate = gateParams(kp, &g);
  const Box in = intersect(intersect(box, unite(ellBox(lip), ellBox(gate))), Box{0, 0, N_, N_});
  for (int y = in.y0; y < in.y1; ++y)
    for (int x = in.x0; x < in.x1; ++x) {
      const size_t i = static_cast<size_t>(y) * N_ + x;
      if (alpha[i] > 0.0f) out[i] = toByte(std::min(static_cast<double>(alpha[i]), piValue(lip, gate, g, y, x)));
    }
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, double* cx, double* cy) const {
  return piU8Centroid(mask, Box{0, 0, N_, N_}, cx, cy);
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, const Box& box, double* cx, double* cy) const {
  const Box in = intersect(box, Box{0, 0, N_, N_});
  // Whole-pixel sums are exact in 64-bit integers, so the centroid does not depend on the scan order.
  int64_t sx = 0, sy = 0, n = 0;
  for (int y = in.y0; y < in.y1; ++y)
    for (int x = in.x0; x < in.x1; ++x)
      if (mask[static_cast<size_t>(y) * N_ + x] >= 128) {
        sx += x;
        sy += y;
        ++n;
      }
  if (n == 0) return false;
  *cx = static_cast<double>(sx) / static_cast<double>(n);
  *cy = static_cast<double>(sy) / static_cast<double>(n);
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double* c_canon, uint8_t* out, int* dy, int* dx) const {
  piU8Boxed(kp, out);
  double cx = 0, cy = 0;
  if (!piU8Centroid(out, supportBox(kp), &cx, &cy)) return false;
  *dy = static_cast<int>(roundHalfEven(cy - c_canon[1]));
  *dx = static_cast<int>(roundHalfEven(cx - c_canon[0]));
  return true;
}

void UnifiedPi::canonicalCentroid(const float* kps, int frames, double* cx, double* cy) const {
  // The boxed mask is the whole-canvas mask: outside the boxes every pixel lies beyond both ellipses.
  std::vector<uint8_t> mask(static_cast<size_t>(N_) * N_);
  double sx = 0, sy = 0;
  int n = 0;
  for (int f = 0; f < frames; ++f) {
    const float* kp = kps + static_cast<size_t>(f) * kKpFloats;
    piU8Boxed(kp, mask.data());
    double x = 0, y = 0;
    if (piU8Centroid(mask.data(), &x, &y)) {
      sx += x;
      sy += y;
      ++n;
    }
  }
  if (n == 0)
    throw std::runtime_error(
        "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame is "
        "identified by");
  *cx = sx / n;
  *cy = sy / n;
}

}  // namespace vesk::tessera
