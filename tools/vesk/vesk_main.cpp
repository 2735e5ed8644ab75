// vesk: the command line around libvesk_core.
//
//   vesk info BUNDLE                                  manifest, members found, backends
//   vesk render BUNDLE --frames N --out FILE.mp4      the idle drive loop, rendered, pasted, encoded
//   vesk frame BUNDLE --si I --out FILE.png           one source frame rendered with its own keypoints
//
// Common options: --model KEY (default b1), --threads N (default: the core decides), --ep EP.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/vesk_context.h"
#include "bundle/vesk_image.h"
#include "compose/vesk_pool.h"
#include "compose/vesk_simd.h"
#include "vesk/vesk.h"
#include "vesk_video_writer.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const char* kUsage =
    "usage: vesk info BUNDLE\n"
    "       vesk render BUNDLE --frames N --out FILE.mp4\n"
    "       vesk frame BUNDLE --si I --out FILE.png\n"
    "options: --model KEY (director model, default b1)  --threads N  --ep EP\n";

struct Args {
  std::string command, bundle;
  std::map<std::string, std::string> opt;

  std::string get(const std::string& k, const std::string& def = "") const {
    const auto it = opt.find(k);
    return it == opt.end() ? def : it->second;
  }
  int getInt(const std::string& k, int def) const {
    const std::string v = get(k);
    if (v.empty()) return def;
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (*end != '\0' || n < -1000000000L || n > 1000000000L) throw std::runtime_error("--" + k + ": not a number: " + v);
    return static_cast<int>(n);
  }
};

Args parse(int argc, char** argv) {
  if (argc < 3) throw std::invalid_argument("missing arguments");
  Args a;
  a.command = argv[1];
  a.bundle = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string k = argv[i];
    if (k.rfind("--", 0) != 0 || i + 1 >= argc) throw std::invalid_argument("bad option " + k);
    a.opt[k.substr(2)] = argv[++i];
  }
  return a;
}

struct CtxFree {
  void operator()(vesk_ctx* c) const noexcept { vesk_destroy(c); }
};
using Ctx = std::unique_ptr<vesk_ctx, CtxFree>;

Ctx open(const Args& a) {
  const std::string ep = a.get("ep");
  Ctx ctx(vesk_create(a.bundle.c_str(), a.get("model", "b1").c_str(), a.getInt("threads", 0), ep.c_str()));
  if (!ctx) throw std::runtime_error(vesk_last_error());
  return ctx;
}

// A progress bar on a terminal; nothing when standard error is a file or a pipe.
class Progress {
 public:
  explicit Progress(int total) : total_(total), tty_(::isatty(2) != 0) {}
  void update(int done) {
    if (!tty_) return;
    const int width = 40;
    const int fill = total_ > 0 ? done * width / total_ : width;
    std::fprintf(stderr, "\r[%.*s%*s] %d/%d", fill, "########################################", width - fill, "", done,
                 total_);
    if (done == total_) std::fputc('\n', stderr);
  }

 private:
  int total_;
  bool tty_;
};

int cmdInfo(const Args& a) {
  Ctx ctx = open(a);
  vesk_ctx& c = *ctx;
  std::printf("bundle      %s\n", c.manifest.dir.c_str());
  std::printf("agent       %s\n", c.manifest.agent.c_str());
  std::printf("canvas      %dx%d (paste matrices authored on %dx%d)\n", c.manifest.W, c.manifest.H, c.manifest.M_src_w,
              c.manifest.M_src_h);
  std::printf("crop        %d\n", c.manifest.crop);
  std::printf("frames      %d source, %d drive\n", c.manifest.NT, c.drive.frames);
  std::printf("unsharp     amount %.3g sigma %.3g ksize %d\n", static_cast<double>(c.manifest.unsharp.amount),
              static_cast<double>(c.manifest.unsharp.sigma), c.manifest.unsharp.ksize);
  std::printf("members\n");
  for (const char* m : {"mask_512.u8", "pooled64.f16", "P.f16", "P_hevc.mov", "fs_red.f16", "M.f32", "drive/xs.f32",
                        "drive/xd.f32", "drive/si.i32", "target_frames.mp4", "xs_target.bin", "lip_template.v1.json"}) {
    char path[4096];
    const int r = vesk_bundle_resolve_member(c.manifest.dir.c_str(), m, path, sizeof path);
    std::printf("  %-22s %s\n", m, r == 1 ? path : "-");
  }
  std::printf("warp prior  %s\n", c.identity.priorBackend().c_str());
  std::printf("simd        %s, worker pool %d threads\n", vesk::simd::target(), vesk::pool::threads());
  vesk::Renderer& r = c.ensureRenderer();
  std::printf("director    model %s, batch %d, backend %s, ep %s\n", c.model_key.c_str(), r.batch(), r.backend(), r.ep());
  return 0;
}

int cmdRender(const Args& a) {
  const int frames = a.getInt("frames", 0);
  const std::string out = a.get("out");
  if (frames < 1 || out.empty()) throw std::invalid_argument("render needs --frames N (N >= 1) and --out FILE.mp4");
  Ctx ctx = open(a);
  vesk_ctx& c = *ctx;
  vesk::cli::VideoWriter writer(out, c.manifest.W, c.manifest.H, 25);
  Progress progress(frames);
  const auto t0 = std::chrono::steady_clock::now();
  for (int f = 0; f < frames; ++f) {
    const int d = f % c.drive.frames;
    if (vesk_render_drive_crop(ctx.get(), d) == nullptr) throw std::runtime_error(vesk_last_error());
    const uint8_t* rgb = vesk_paste_last(ctx.get(), c.drive.si[static_cast<size_t>(d)]);
    if (rgb == nullptr) throw std::runtime_error(vesk_last_error());
    writer.addFrame(rgb);
    progress.update(f + 1);
  }
  writer.finish();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::fprintf(stderr, "[vesk] wrote %s: %d frames %dx%d in %.2f s (%.1f frames/s)\n", out.c_str(), frames,
               c.manifest.W, c.manifest.H, s, frames / s);
  return 0;
}

int cmdFrame(const Args& a) {
  const std::string out = a.get("out");
  if (out.empty() || a.get("si").empty()) throw std::invalid_argument("frame needs --si I and --out FILE.png");
  const int si = a.getInt("si", 0);
  Ctx ctx = open(a);
  vesk_ctx& c = *ctx;
  // The source frame's own keypoints: those of the first drive frame that renders from it.
  const float* xs = nullptr;
  for (int d = 0; d < c.drive.frames; ++d)
    if (c.drive.si[static_cast<size_t>(d)] == si) {
      xs = c.drive.xs.data() + static_cast<size_t>(d) * 63;
      break;
    }
  if (xs == nullptr) throw std::runtime_error("no drive frame renders from source frame " + std::to_string(si));
  if (vesk_render_kp_crop(ctx.get(), si, xs, xs) == nullptr) throw std::runtime_error(vesk_last_error());
  const uint8_t* rgb = vesk_paste_last(ctx.get(), si);
  if (rgb == nullptr) throw std::runtime_error(vesk_last_error());
  vesk::writePNG(out, rgb, c.manifest.W, c.manifest.H);
  std::fprintf(stderr, "[vesk] wrote %s\n", out.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The encoder's and decoders' own chatter would bury the lines that matter to a user.
  av_log_set_level(AV_LOG_ERROR);
  Args args;
  try {
    args = parse(argc, argv);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "vesk: %s\n%s", e.what(), kUsage);
    return 2;
  }
  try {
    if (args.command == "info") return cmdInfo(args);
    if (args.command == "render") return cmdRender(args);
    if (args.command == "frame") return cmdFrame(args);
    std::fprintf(stderr, "vesk: unknown command %s\n%s", args.command.c_str(), kUsage);
    return 2;
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "vesk: %s\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vesk: %s\n", e.what());
    return 1;
  }
}
