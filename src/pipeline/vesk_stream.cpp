// The whole-run stream: one complete utterance in, every finished frame out
// through a callback. Keypoint offsets for the whole audio come first; then a
// render thread and the calling thread run as a two-stage pipeline (render
// crop, paste crop) over a ring of four crops.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bundle/vesk_capi.h"
#include "bundle/vesk_imx.h"
#include "vesk/vesk.h"
#include "vesk/vesk_a2x.h"

using vesk::capi::Family;
using vesk::capi::setError;

struct vesk_stream {
  vesk_ctx *ctx = nullptr;
  vesk_fca *fca = nullptr;
  std::vector<float> targets;
  int32_t nt = 0, width = 0, height = 0, crop = 0;
  int32_t skip = 0;
  float scale = 1.0f;
  std::vector<uint8_t> frame;

  ~vesk_stream() {
    if (fca != nullptr) vesk_fca_destroy(fca);
    if (ctx != nullptr) vesk_destroy(ctx);
  }
};

namespace {

constexpr int kKp = 63;
constexpr int kRing = 4;

bool readTargets(const std::string &bundle, size_t floats, std::vector<float> *out) {
  const std::string path = vesk::resolveMember(bundle, "xs_target.bin");
  struct Closer {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  out->assign(floats, 0.0f);
  if (std::fread(out->data(), sizeof(float), floats, f.get()) != floats) return false;
  return std::fgetc(f.get()) == EOF;
}

vesk_stream *create(const char *bundle_dir, const char *encoder_path, int threads, int skip, float scale) {
  if (bundle_dir == nullptr || encoder_path == nullptr) throw std::runtime_error("NULL bundle_dir/encoder_path");
  auto s = std::make_unique<vesk_stream>();
  s->ctx = vesk_create(bundle_dir, "render", threads, "");
  if (s->ctx == nullptr) throw std::runtime_error(std::string("vesk_create: ") + vesk_last_error());
  s->nt = vesk_nt(s->ctx);
  s->width = vesk_width(s->ctx);
  s->height = vesk_height(s->ctx);
  s->crop = vesk_crop(s->ctx);
  const std::string fca_path = std::string(bundle_dir) + "/fca_stream.onnx";
  s->fca = vesk_fca_create(encoder_path, fca_path.c_str(), threads);
  if (s->fca == nullptr) throw std::runtime_error(std::string("vesk_fca_create: ") + vesk_fca_last_error());
  if (!readTargets(vesk::resolveBundlePath(bundle_dir), static_cast<size_t>(s->nt) * kKp, &s->targets))
    throw std::runtime_error("vesk_stream_create: cannot read xs_target.bin (NT*63 f32)");
  s->skip = std::max(skip, 0);
  s->scale = scale;
  s->frame.assign(static_cast<size_t>(s->width) * static_cast<size_t>(s->height) * 3, 0);
  return s.release();
}

int run(vesk_stream *s, const float *audio, int n, vesk_stream_frame_fn fn, void *user) {
  if (audio == nullptr || n < 0) throw std::runtime_error("bad args");
  const int N = (n + 639) / 640;
  std::vector<float> deltas(static_cast<size_t>(N) * kKp);
  if (vesk_fca_deltas(s->fca, audio, n, deltas.data(), N) != N)
    throw std::runtime_error(std::string("vesk_fca_deltas: ") + vesk_fca_last_error());
  const int F = N - s->skip;
  if (F < 1) return 0;

  // The driver index walks from 0 through every frame, the skipped ones too.
  std::vector<int> si(static_cast<size_t>(F));
  std::vector<float> xs(static_cast<size_t>(F) * kKp), xd(static_cast<size_t>(F) * kKp);
  int u = 0;
  for (int t = 0; t < N; ++t) {
    if (t >= s->skip) {
      const int r = t - s->skip;
      si[static_cast<size_t>(r)] = u;
      const float *row = s->targets.data() + static_cast<size_t>(u) * kKp;
      for (int k = 0; k < kKp; ++k) {
        xs[static_cast<size_t>(r) * kKp + k] = row[k];
        xd[static_cast<size_t>(r) * kKp + k] = row[k] + s->scale * deltas[static_cast<size_t>(t) * kKp + k];
      }
    }
    u = s->nt >= 2 ? (u + 1) % s->nt : 0;
  }

  const size_t crop_floats = static_cast<size_t>(s->crop) * static_cast<size_t>(s->crop) * 3;
  std::vector<float> ring(crop_floats * kRing);
  std::mutex mu;
  std::condition_variable crop_ready, slot_free;
  int rendered = 0, pasted = 0;
  bool done = false;
  std::atomic<bool> failed{false};

  std::thread renderer([&] {
    for (int r = 0; r < F && !failed.load(); ++r) {
      const float *crop =
          vesk_render_kp_crop(s->ctx, si[static_cast<size_t>(r)], xs.data() + static_cast<size_t>(r) * kKp,
                              xd.data() + static_cast<size_t>(r) * kKp);
      if (crop == nullptr) {
        failed.store(true);
        break;
      }
      std::unique_lock<std::mutex> lk(mu);
      // The paste side stops taking crops after a failure, so a full ring must
      // not hold us here.
      slot_free.wait(lk, [&] { return rendered - pasted < kRing || failed.load(); });
      if (failed.load()) break;
      std::memcpy(ring.data() + static_cast<size_t>(rendered % kRing) * crop_floats, crop, crop_floats * sizeof(float));
      ++rendered;
      lk.unlock();
      crop_ready.notify_one();
    }
    {
      std::lock_guard<std::mutex> lk(mu);
      done = true;
    }
    crop_ready.notify_one();
  });

  std::exception_ptr error;
  try {
    for (int r = 0; r < F; ++r) {
      {
        std::unique_lock<std::mutex> lk(mu);
        crop_ready.wait(lk, [&] { return rendered > r || done || failed.load(); });
        if (rendered <= r) break;  // the render thread ended early
      }
      const float *crop = ring.data() + static_cast<size_t>(r % kRing) * crop_floats;
      if (vesk_paste_crop(s->ctx, si[static_cast<size_t>(r)], crop, s->frame.data(), s->frame.size()) == 0) {
        failed.store(true);
        slot_free.notify_one();
        break;
      }
      {
        std::lock_guard<std::mutex> lk(mu);
        ++pasted;
      }
      slot_free.notify_one();
      if (fn != nullptr) fn(user, r, s->frame.data(), s->width, s->height);
    }
  } catch (...) {
    error = std::current_exception();
  }
  {
    // Whatever ended the loop, the render thread must see it.
    std::lock_guard<std::mutex> lk(mu);
    if (pasted < F) failed.store(true);
  }
  slot_free.notify_one();
  renderer.join();
  if (error) std::rethrow_exception(error);
  if (failed.load()) throw std::runtime_error("render/paste failed");
  return F;
}

}  // namespace

extern "C" {

VESK_EXPORT vesk_stream *vesk_stream_create(const char *bundle_dir, const char *encoder_path, int threads, int skip,
                                            float scale) {
  vesk::capi::clearError(Family::Stream);
  try {
    return create(bundle_dir, encoder_path, threads, skip, scale);
  } catch (const std::exception &e) {
    const std::string text = e.what();
    const bool named = text.rfind("vesk_create: ", 0) == 0 || text.rfind("vesk_fca_create: ", 0) == 0 ||
                       text.rfind("vesk_stream_create: ", 0) == 0;
    setError(Family::Stream, named ? text : "vesk_stream_create: " + text);
  } catch (...) {
    setError(Family::Stream, "vesk_stream_create: unknown exception");
  }
  return nullptr;
}

VESK_EXPORT int vesk_stream_run(vesk_stream *s, const float *audio, int n, vesk_stream_frame_fn fn, void *user) {
  vesk::capi::clearError(Family::Stream);
  if (s == nullptr) {
    setError(Family::Stream, "vesk_stream_run: NULL session");
    return -1;
  }
  try {
    return run(s, audio, n, fn, user);
  } catch (const std::exception &e) {
    const std::string text = e.what();
    setError(Family::Stream, text.rfind("vesk_fca_deltas: ", 0) == 0 ? text : "vesk_stream_run: " + text);
  } catch (...) {
    setError(Family::Stream, "vesk_stream_run: unknown exception");
  }
  return -1;
}

VESK_EXPORT int vesk_stream_width(vesk_stream *s) {
  vesk::capi::clearError(Family::Stream);
  return s == nullptr ? 0 : s->width;
}

VESK_EXPORT int vesk_stream_height(vesk_stream *s) {
  vesk::capi::clearError(Family::Stream);
  return s == nullptr ? 0 : s->height;
}

VESK_EXPORT void vesk_stream_destroy(vesk_stream *s) {
  vesk::capi::clearError(Family::Stream);
  delete s;
}

VESK_EXPORT const char *vesk_stream_last_error(void) { return vesk::capi::errorText(Family::Stream).c_str(); }

}  // extern "C"
