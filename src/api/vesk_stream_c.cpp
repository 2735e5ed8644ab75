// The whole-run stream handle and its exported vesk_stream calls: fca offsets for the run, then the
// render/paste pipeline over the context's renderer and paste stage.
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/vesk_imx.h"
#include "core/vesk_capi.h"
#include "core/vesk_constants.h"
#include "api/vesk_ctx.h"
#include "pipeline/vesk_stream.h"
#include "vesk/vesk.h"
#include "vesk/vesk_a2x.h"

using vesk::capi::Family;

struct vesk_stream {
  vesk_ctx* ctx = nullptr;
  vesk_fca* fca = nullptr;
  std::vector<float> targets;  // NT x 63
  int32_t nt = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t crop = 0;
  int32_t skip = 0;
  float scale = 1.0f;

  vesk_stream() = default;
  vesk_stream(const vesk_stream&) = delete;
  vesk_stream& operator=(const vesk_stream&) = delete;
  ~vesk_stream() {
    vesk_fca_destroy(fca);
    vesk_destroy(ctx);
  }
};

namespace {

constexpr const char* kTargetsRefusal = "vesk_stream_create: cannot read xs_target.bin (NT*63 f32)";

// Exactly nt x 63 floats of the bundle's target keypoints, or nothing.
bool readTargets(const std::string& path, int nt, std::vector<float>& out) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return false;
  const std::streamoff bytes = f.tellg();
  const size_t want = static_cast<size_t>(nt) * vesk::kKpWidth;
  if (bytes < 0 || static_cast<size_t>(bytes) != want * sizeof(float)) return false;
  out.resize(want);
  f.seekg(0);
  return static_cast<bool>(f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(bytes)));
}

int runStream(vesk_stream& s, const float* audio, int n, vesk_stream_frame_fn fn, void* user) {
  using namespace vesk::stream;
  const int N =
      n < 1 ? 0 : static_cast<int>((static_cast<long long>(n) + vesk::kSamplesPerFrame - 1) / vesk::kSamplesPerFrame);
  std::vector<float> deltas(static_cast<size_t>(N) * vesk::kKpWidth);
  if (vesk_fca_deltas(s.fca, audio, n, deltas.data(), N) != N) {
    vesk::capi::setError(Family::Stream, std::string("vesk_fca_deltas: ") + vesk_fca_last_error());
    return -1;
  }
  const int F = N - s.skip;
  if (F < 1) return 0;

  const std::vector<int> si = sourceIndices(N, s.nt, s.skip);
  std::vector<float> xs(static_cast<size_t>(F) * vesk::kKpWidth), xd(static_cast<size_t>(F) * vesk::kKpWidth);
  for (int r = 0; r < F; ++r) {
    const size_t row = static_cast<size_t>(r) * vesk::kKpWidth;
    const float* target = &s.targets[static_cast<size_t>(si[static_cast<size_t>(r)]) * vesk::kKpWidth];
    const float* delta = &deltas[static_cast<size_t>(s.skip + r) * vesk::kKpWidth];
    for (int k = 0; k < vesk::kKpWidth; ++k) {
      xs[row + static_cast<size_t>(k)] = target[k];
      xd[row + static_cast<size_t>(k)] = target[k] + s.scale * delta[k];
    }
  }

  std::vector<uint8_t> frame(static_cast<size_t>(s.width) * static_cast<size_t>(s.height) * 3);
  const size_t cropFloats = static_cast<size_t>(s.crop) * static_cast<size_t>(s.crop) * 3;
  // The render thread uses the context's renderer and the calling thread its driver cursor and paste
  // stage: the two stages share no part of the context.
  const bool ok = runPipeline(
      F, cropFloats,
      [&](int r) {
        const size_t row = static_cast<size_t>(r) * vesk::kKpWidth;
        return vesk_render_kp_crop(s.ctx, si[static_cast<size_t>(r)], &xs[row], &xd[row]);
      },
      [&](int r, const float* crop) {
        return vesk_paste_crop(s.ctx, si[static_cast<size_t>(r)], crop, frame.data(), frame.size()) != 0;
      },
      [&](int r) {
        if (fn != nullptr) fn(user, r, frame.data(), s.width, s.height);
      });
  if (!ok) {
    vesk::capi::setError(Family::Stream, "vesk_stream_run: render/paste failed");
    return -1;
  }
  return F;
}

}  // namespace

extern "C" {

VESK_EXPORT const char* vesk_stream_last_error(void) { return vesk::capi::errorText(Family::Stream).c_str(); }

VESK_EXPORT vesk_stream* vesk_stream_create(const char* bundle_dir, const char* encoder_path, int threads, int skip,
                                            float scale) {
  vesk::capi::clearError(Family::Stream);
  if (bundle_dir == nullptr || encoder_path == nullptr) {
    vesk::capi::setError(Family::Stream, "vesk_stream_create: NULL bundle_dir/encoder_path");
    return nullptr;
  }
  if (skip < 0) {
    vesk::capi::setError(Family::Stream, "vesk_stream_create: skip " + std::to_string(skip) + " is negative");
    return nullptr;
  }
  return vesk::capi::guarded(Family::Stream, "vesk_stream_create", static_cast<vesk_stream*>(nullptr), [&]() -> vesk_stream* {
    auto s = std::make_unique<vesk_stream>();
    s->ctx = vesk_create(bundle_dir, "render", threads, "");
    if (s->ctx == nullptr) {
      vesk::capi::setError(Family::Stream, std::string("vesk_create: ") + vesk_last_error());
      return nullptr;
    }
    s->nt = vesk_nt(s->ctx);
    s->width = vesk_width(s->ctx);
    s->height = vesk_height(s->ctx);
    s->crop = vesk_crop(s->ctx);
    // The resolved bundle directory: the directory itself, or the unwrapped copy of a container.
    const std::string dir = s->ctx->manifest.dir;
    s->fca = vesk_fca_create(encoder_path, (dir + "/fca_stream.onnx").c_str(), threads);
    if (s->fca == nullptr) {
      vesk::capi::setError(Family::Stream, std::string("vesk_fca_create: ") + vesk_fca_last_error());
      return nullptr;
    }
    if (!readTargets(vesk::resolveMember(dir, "xs_target.bin"), s->nt, s->targets)) {
      vesk::capi::setError(Family::Stream, kTargetsRefusal);
      return nullptr;
    }
    s->skip = skip;
    s->scale = scale;
    return s.release();
  });
}

VESK_EXPORT int vesk_stream_run(vesk_stream* s, const float* audio, int n, vesk_stream_frame_fn fn, void* user) {
  vesk::capi::clearError(Family::Stream);
  if (s == nullptr) {
    vesk::capi::setError(Family::Stream, "vesk_stream_run: NULL stream");
    return -1;
  }
  return vesk::capi::guarded(Family::Stream, "vesk_stream_run", -1, [&] { return runStream(*s, audio, n, fn, user); });
}

VESK_EXPORT int vesk_stream_width(vesk_stream* s) {
  vesk::capi::clearError(Family::Stream);
  return s != nullptr ? s->width : 0;
}

VESK_EXPORT int vesk_stream_height(vesk_stream* s) {
  vesk::capi::clearError(Family::Stream);
  return s != nullptr ? s->height : 0;
}

VESK_EXPORT void vesk_stream_destroy(vesk_stream* s) {
  vesk::capi::clearError(Family::Stream);
  delete s;
}

}  // extern "C"
