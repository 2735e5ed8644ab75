#include "tessera/vesk_tessera_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "core/vesk_pool.h"

namespace vesk::tessera {

namespace {

// 1/255 as the single-precision constant the write-back is defined with.
constexpr float kByte = 0.003921569f;

float byteOfCrop(float v) { return v > 0.0f ? std::nearbyint(std::min(v, 1.0f) * 255.0f) : 0.0f; }

void checkWindow(const FrameResult& r, int N, const GeometryStamp& s) {
  const size_t want = static_cast<size_t>(s.window_w) * static_cast<size_t>(s.window_h) * 3;
  if (r.pixels.size() != want || s.window_w < 1 || s.window_h < 1) {
    throw std::runtime_error("teeth stream: window " + std::to_string(r.pixels.size()) +
                             " bytes does not match the stamp window " + std::to_string(s.window_w) + "x" +
                             std::to_string(s.window_h) + " — refusing to write back");
  }
  if (s.window_x0 < 0 || s.window_y0 < 0 || int64_t{s.window_x0} + s.window_w > N ||
      int64_t{s.window_y0} + s.window_h > N) {
    throw std::runtime_error("teeth stream: the stamp window does not fit a " + std::to_string(N) + "x" +
                             std::to_string(N) + " crop — refusing to write back");
  }
}

}  // namespace

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lip_template_json)
    : pass_(bank, head, config), pi_(pi) {
  const GeometryStamp& s = bank.stamp;
  N_ = s.canvas_w;
  if (s.canvas_w != s.canvas_h) {
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " — vesk_core renders a square crop");
  }
  if (pi_.canvas() != N_) {
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi_.canvas()) +
                             " != bank compose canvas " + std::to_string(N_) +
                             " — refusing to compose a mouth on a canvas the stamp does not name");
  }
  c_canon_ = bank.c_canon;
  if (!lip_template_json.empty()) {
    lip_.emplace(LipContour::fromTemplateJson(lip_template_json, N_));
    std::fprintf(stderr,
                 "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) — the ellipse is not reachable in "
                 "this session\n",
                 lip_->vertexCount(), static_cast<double>(lip_->featherPx()));
  } else {
    std::fprintf(stderr,
                 "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no %s, so it serves the over-covering "
                 "elliptical mask the contour replaces. BACKFILL IT: models/calvora-2/tools/bake_lip_templates.py\n",
                 LipContour::kTemplateName);
  }
  rgb_.assign(static_cast<size_t>(N_) * N_ * 3, 0);
  mask_.assign(static_cast<size_t>(N_) * N_, 0);
}

bool StreamBorrow::push(const float* crop, const float* kp, FrameResult* out) {
  const size_t plane = static_cast<size_t>(N_) * N_;
  pool::parallelRange(plane, 4096, [this, crop](size_t b, size_t e) {
    const size_t pl = static_cast<size_t>(N_) * N_;
    uint8_t* rgb = rgb_.data();
    for (size_t i = b; i < e; ++i)
      for (size_t c = 0; c < 3; ++c) rgb[i * 3 + c] = static_cast<uint8_t>(byteOfCrop(crop[c * pl + i]));
  });
  return pushSynth(kp, out);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* kp, FrameResult* out) {
  const size_t n = static_cast<size_t>(N_) * N_;
  uint8_t* rgb = rgb_.data();
  for (size_t i = 0; i < n; ++i) {
    rgb[i * 3] = rgba[i * 4];
    rgb[i * 3 + 1] = rgba[i * 4 + 1];
    rgb[i * 3 + 2] = rgba[i * 4 + 2];
  }
  return pushSynth(kp, out);
}

bool StreamBorrow::pushSynth(const float* kp, FrameResult* out) {
  int dy = 0, dx = 0;
  const bool found = lip_.has_value() ? lip_->deliveredU8AndShift(kp, pi_, c_canon_.data(), mask_.data(), &dy, &dx)
                                      : pi_.piU8AndShift(kp, c_canon_.data(), mask_.data(), &dy, &dx);
  const int32_t shift[2] = {dy, dx};
  const bool emitted =
      pass_.push(static_cast<int32_t>(counter_), rgb_.data(), mask_.data(), found ? shift : nullptr, out);
  ++counter_;
  return emitted;
}

bool StreamBorrow::flush(FrameResult* out) { return pass_.flush(out); }

void StreamBorrow::writeWindowDelta(float* crop, int N, const FrameResult& r, const GeometryStamp& s) {
  if (r.skipped) return;
  checkWindow(r, N, s);
  const size_t plane = static_cast<size_t>(N) * N;
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < s.window_h; ++y) {
      float* row = crop + c * plane + static_cast<size_t>(s.window_y0 + y) * N + s.window_x0;
      const uint8_t* src = r.pixels.data() + static_cast<size_t>(y) * s.window_w * 3 + c;
      for (int x = 0; x < s.window_w; ++x) {
        const float v = row[x];
        const float q = byteOfCrop(v) * kByte;
        row[x] = std::clamp(static_cast<float>(src[static_cast<size_t>(x) * 3]) * kByte - q + v, 0.0f, 1.0f);
      }
    }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int N, const FrameResult& r, const GeometryStamp& s) {
  const size_t n = static_cast<size_t>(N) * N;
  for (size_t i = 0; i < n; ++i) rgba[i * 4 + 3] = 255;
  if (r.skipped) return;
  checkWindow(r, N, s);
  for (int y = 0; y < s.window_h; ++y) {
    uint8_t* row = rgba + (static_cast<size_t>(s.window_y0 + y) * N + s.window_x0) * 4;
    const uint8_t* src = r.pixels.data() + static_cast<size_t>(y) * s.window_w * 3;
    for (int x = 0; x < s.window_w; ++x)
      for (int c = 0; c < 3; ++c) row[x * 4 + c] = src[x * 3 + c];
  }
}

}  // namespace vesk::tessera
