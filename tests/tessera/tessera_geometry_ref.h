// Reference compose masks and lip contours for the geometry tests, written straight from the
// definitions: whole-canvas loops, no boxes, no scratch reuse.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk::test::geomref {

inline double smooth(double t) {
  if (!(t >= 0.0)) return 0.0;
  const double u = std::min(t, 1.0);
  return u * u * (3.0 - 2.0 * u);
}

struct Geometry {
  int n = 64;
  std::vector<int> lip_idx = {6, 12, 14, 17, 19, 20};
  float pad_x = 0.10f, pad_y = 0.08f, down = 0.074f, gate_scale = 1.0f;
  bool corner = false;
};

struct Ell {
  double cx, cy, rx, ry, s;
};

inline double gridOf(const Geometry& g, int i) {
  return g.n == 1 ? -1.0 : static_cast<double>(static_cast<float>(i * 2.0 / (g.n - 1) - 1.0));
}

inline double ellAt(const Geometry& g, const Ell& e, int row, int col) {
  const double x = gridOf(g, col), y = gridOf(g, row);
  const double d = std::sqrt(((x - e.cx) / e.rx) * ((x - e.cx) / e.rx) + ((y - e.cy) / e.ry) * ((y - e.cy) / e.ry));
  return smooth((1.0 - d) * e.s / 10.0);
}

// The lip and gate ellipses of one frame and the gate strength.
inline void ellipses(const Geometry& g, const float* kp, Ell* lip, Ell* gate, double* strength) {
  double mx = 0, my = 0;
  for (int r : g.lip_idx) {
    mx += kp[3 * r];
    my += kp[3 * r + 1];
  }
  mx /= g.lip_idx.size();
  my /= g.lip_idx.size();
  double ex = 0, ey = 0;
  for (int r : g.lip_idx) {
    ex = std::max(ex, std::fabs(kp[3 * r] - mx));
    ey = std::max(ey, std::fabs(kp[3 * r + 1] - my));
  }
  double rx = std::max(ex + static_cast<double>(g.pad_x), 0.1);
  double ry = std::max(ey + static_cast<double>(g.pad_y), 0.1);
  const double cy = my + static_cast<double>(g.down);
  if (g.corner) {
    double dmax = 0;
    for (int r : g.lip_idx) dmax = std::max(dmax, std::hypot((kp[3 * r] - mx) / rx, (kp[3 * r + 1] - cy) / ry));
    const double v = std::max(1.0, 5.0 / (std::sqrt(rx * ry) * 256.0) + dmax);
    rx *= v;
    ry *= v;
  }
  *lip = Ell{mx, cy, rx, ry, std::sqrt(rx * ry) * 256.0};
  double gx = std::max(ex, 0.004), gy = std::max(ey, 0.004);
  if (g.gate_scale != 1.0f) {
    gx *= g.gate_scale;
    gy *= g.gate_scale;
  }
  *gate = Ell{mx, my, gx, gy, std::sqrt(gx * gy) * 256.0};
  *strength = smooth((ey - 0.02) / 0.01);
}

inline uint8_t byteOf(double v) {
  return v > 0.0 ? static_cast<uint8_t>(std::nearbyint(std::min(v, 1.0) * 255.0)) : uint8_t{0};
}

inline double piAt(const Geometry& g, const float* kp, int row, int col) {
  Ell lip, gate;
  double s;
  ellipses(g, kp, &lip, &gate, &s);
  return std::max(ellAt(g, lip, row, col), ellAt(g, gate, row, col) * s);
}

inline std::vector<uint8_t> piU8(const Geometry& g, const float* kp) {
  std::vector<uint8_t> out(static_cast<size_t>(g.n) * g.n);
  for (int y = 0; y < g.n; ++y)
    for (int x = 0; x < g.n; ++x) out[static_cast<size_t>(y) * g.n + x] = byteOf(piAt(g, kp, y, x));
  return out;
}

inline bool centroid(const std::vector<uint8_t>& m, int n, double* cx, double* cy) {
  double sx = 0, sy = 0, c = 0;
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x)
      if (m[static_cast<size_t>(y) * n + x] >= 128) {
        sx += x;
        sy += y;
        c += 1;
      }
  if (c == 0) return false;
  *cx = sx / c;
  *cy = sy / c;
  return true;
}

// Inside map of a polygon over a w x h area at (ox, oy): the outline by integer line stepping, then
// an even-odd fill of 16.16 crossings.
inline std::vector<uint8_t> inside(const std::vector<double>& poly, int ox, int oy, int w, int h) {
  std::vector<uint8_t> in(static_cast<size_t>(w) * h, 0);
  const int nv = static_cast<int>(poly.size() / 2);
  std::vector<long long> X(nv), Y(nv);
  for (int v = 0; v < nv; ++v) {
    X[v] = std::llround(std::nearbyint(poly[2 * v])) - ox;
    Y[v] = std::llround(std::nearbyint(poly[2 * v + 1])) - oy;
  }
  auto set = [&](long long x, long long y) {
    if (x >= 0 && x < w && y >= 0 && y < h) in[static_cast<size_t>(y) * w + x] = 255;
  };
  for (int v = 0; v < nv; ++v) {
    long long x0 = X[v], y0 = Y[v];
    const long long x1 = X[(v + 1) % nv], y1 = Y[(v + 1) % nv];
    const long long dx = std::llabs(x1 - x0), dy = -std::llabs(y1 - y0);
    const long long sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    long long err = dx + dy;
    while (true) {
      set(x0, y0);
      if (x0 == x1 && y0 == y1) break;
      const long long e2 = 2 * err;
      if (e2 >= dy) err += dy, x0 += sx;
      if (e2 <= dx) err += dx, y0 += sy;
    }
  }
  for (int row = 0; row < h; ++row) {
    std::vector<double> xs;  // crossings in pixels, from their 16.16 values
    for (int v = 0; v < nv; ++v) {
      long long xa = X[v], ya = Y[v], xb = X[(v + 1) % nv], yb = Y[(v + 1) % nv];
      if (ya == yb) continue;
      if (ya > yb) std::swap(xa, xb), std::swap(ya, yb);
      if (row < ya || row >= yb) continue;
      const long long slope = ((xb - xa) * 65536) / (yb - ya);
      xs.push_back(static_cast<double>(xa * 65536 + slope * (row - ya)) / 65536.0);
    }
    std::sort(xs.begin(), xs.end());
    for (size_t i = 0; i + 1 < xs.size(); i += 2) {
      const long long a = std::max<long long>(static_cast<long long>(std::ceil(xs[i])), 0);
      const long long b = std::min<long long>(static_cast<long long>(std::floor(xs[i + 1])), w - 1);
      for (long long x = a; x <= b; ++x) in[static_cast<size_t>(row) * w + x] = 255;
    }
  }
  return in;
}

// Two-pass 3 x 3 chamfer distance to the inside, then the outward smoothstep feather.
inline std::vector<float> alpha(const std::vector<uint8_t>& in, int w, int h, float feather) {
  std::vector<float> d(in.size());
  for (size_t i = 0; i < in.size(); ++i) d[i] = in[i] ? 0.0f : 1e10f;
  auto at = [&](int x, int y) -> float& { return d[static_cast<size_t>(y) * w + x]; };
  const float a = 0.955f, b = 1.3693f;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float v = at(x, y);
      if (x > 0) v = std::min(v, at(x - 1, y) + a);
      if (y > 0 && x > 0) v = std::min(v, at(x - 1, y - 1) + b);
      if (y > 0) v = std::min(v, at(x, y - 1) + a);
      if (y > 0 && x + 1 < w) v = std::min(v, at(x + 1, y - 1) + b);
      at(x, y) = v;
    }
  for (int y = h - 1; y >= 0; --y)
    for (int x = w - 1; x >= 0; --x) {
      float v = at(x, y);
      if (x + 1 < w) v = std::min(v, at(x + 1, y) + a);
      if (y + 1 < h && x + 1 < w) v = std::min(v, at(x + 1, y + 1) + b);
      if (y + 1 < h) v = std::min(v, at(x, y + 1) + a);
      if (y + 1 < h && x > 0) v = std::min(v, at(x - 1, y + 1) + b);
      at(x, y) = v;
    }
  std::vector<float> out(d.size());
  for (size_t i = 0; i < d.size(); ++i) out[i] = static_cast<float>(smooth(1.0f - d[i] / feather));
  return out;
}

}  // namespace vesk::test::geomref
