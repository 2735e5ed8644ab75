// vesk: the command line around libvesk_core.
//
//   vesk info BUNDLE                                  manifest, members found, backends
//   vesk render BUNDLE --frames N --out FILE.mp4      the idle drive loop, rendered, pasted, encoded
//   vesk frame BUNDLE --si I --out FILE.png           one source frame rendered with its own keypoints
//   vesk speak BUNDLE --audio AUDIO --out FILE.mp4    the identity speaking the file, with its audio
//
// Common options: --model KEY (default b1), --threads N (default: the core decides), --ep EP.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/vesk_ctx.h"
#include "core/vesk_image.h"
#include "core/vesk_pool.h"
#include "core/vesk_simd.h"
#include "tessera/vesk_bundle_tessera.h"
#include "tessera/vesk_tessera_head.h"
#include "tessera/vesk_tessera_lip.h"
#include "vesk/vesk.h"
#include "vesk_progress.h"
#include "vesk_speak.h"
#include "vesk_video_writer.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const char* kUsage =
    "usage: vesk info BUNDLE\n"
    "       vesk render BUNDLE --frames N --out FILE.mp4\n"
    "       vesk frame BUNDLE --si I --out FILE.png\n"
    "       vesk speak BUNDLE --audio AUDIO --out FILE.mp4 [--offline | --stream]\n"
    "options: --model KEY (director model, default b1)  --threads N  --ep EP  (vesk --help: more)\n";

const char* kHelp =
    "\n"
    "info    prints the bundle's manifest, the members found, the teeth members, the SIMD target and the\n"
    "        director.\n"
    "render  renders and pastes the idle drive loop for N frames into an H.264 MP4.\n"
    "frame   renders source frame I with its own keypoints and writes the pasted frame as PNG.\n"
    "speak   makes the bundle's identity speak an audio file (any FFmpeg decodes: WAV, FLAC, MP3,\n"
    "        Ogg/Opus, M4A, ...; any rate and channel count, averaged to mono and resampled to\n"
    "        16 kHz) and writes an MP4 of H.264 video\n"
    "        at 25 fps with the audio as AAC, in sync with the mouth. By default it drives an\n"
    "        utterance session as a live host does: idle first, the audio pushed in 40 ms chunks\n"
    "        in real time, frames pulled at 25 per second, idle again after the speech.\n"
    "        --offline          push all audio at once and pull frames as fast as they come\n"
    "        --stream           render the whole run at once (vesk_stream) instead of a session\n"
    "        --idle SECONDS     idle video before and after the speech (default 1)\n"
    "        --motion-dir DIR   the audio model's directory (default: the bundle)\n"
    "        --no-teeth         without the teeth pass (on when the bundle carries its members)\n"
    "        --encoder PATH     --stream: the 8 s speech encoder (default: the bundle's\n"
    "                           audio_encoder_8s.onnx, else $W2V_ONNX, else the bundle's w2v.onnx)\n"
    "        When W2V_ONNX is unset and the bundle holds w2v.onnx, speak sets W2V_ONNX to it, so\n"
    "        the audio model finds the shared speech encoder (and the short-window pair beside it).\n";

// Options that take no value.
const std::set<std::string> kFlags = {"offline", "stream", "no-teeth"};

struct Args {
  std::string command, bundle;
  std::map<std::string, std::string> opt;

  bool has(const std::string& k) const { return opt.count(k) != 0; }

  std::string get(const std::string& k, const std::string& def = "") const {
    const auto it = opt.find(k);
    return it == opt.end() ? def : it->second;
  }
  int getInt(const std::string& k, int def) const {
    const std::string v = get(k);
    if (v.empty()) return def;
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (*end != '\0' || n < -1000000000L || n > 1000000000L)
      throw std::runtime_error("--" + k + ": not a number: " + v);
    return static_cast<int>(n);
  }
  double getSeconds(const std::string& k, double def) const {
    const std::string v = get(k);
    if (v.empty()) return def;
    char* end = nullptr;
    const double x = std::strtod(v.c_str(), &end);
    if (*end != '\0' || !(x >= 0.0 && x <= 3600.0))
      throw std::runtime_error("--" + k + ": not a number of seconds (0 to 3600): " + v);
    return x;
  }
};

bool wantsHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "help") == 0)
      return true;
  return false;
}

Args parse(int argc, char** argv) {
  if (argc < 3) throw std::invalid_argument("missing arguments");
  Args a;
  a.command = argv[1];
  a.bundle = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string k = argv[i];
    if (k.rfind("--", 0) != 0) throw std::invalid_argument("bad option " + k);
    if (kFlags.count(k.substr(2)) != 0) {
      a.opt[k.substr(2)] = "1";
      continue;
    }
    if (i + 1 >= argc) throw std::invalid_argument("option " + k + " needs a value");
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

// One line on the teeth members: which are missing, or what the loaded ones hold.
void printTeeth(const std::string& dir) {
  const vesk::TesseraCarriage car = vesk::tesseraCarriage(dir);
  const int carried = vesk::tesseraSlotCount() - static_cast<int>(car.missing.size());
  std::printf("teeth       %d of %d members", carried, vesk::tesseraSlotCount());
  if (!car.complete) {
    std::printf(", missing");
    for (size_t i = 0; i < car.missing.size(); ++i) {
      std::printf("%s %s", i > 0 ? "," : "", car.missing[i].c_str());
    }
    std::printf("%s\n", car.declared ? " (the manifest declares a tessera block)" : "");
    return;
  }
  try {
    const vesk::TesseraAttachInputs in = vesk::loadTesseraMembers(dir);
    const vesk::tessera::HeadWeights w = vesk::tessera::loadHeadPt(in.head_pt);
    std::printf(", %d donors, band %dx%d, head %s (%zu params)\n", in.n_donors, in.band_w, in.band_h,
                w.hasSynthesis() ? "BlendHead(16)" : "BlendHead8(16)", w.params());
  } catch (const std::exception& e) {
    std::printf(", refused: %s\n", e.what());
  }
}

// One line on the lip template: the contour it gives the director and the teeth, or why none.
void printLip(const vesk::Manifest& m) {
  if (m.lip_template.empty()) {
    std::printf("lip contour none (the director composes with its own ellipse)\n");
    return;
  }
  try {
    const vesk::tessera::LipContour lip = vesk::tessera::LipContour::fromTemplateJson(m.lip_template, m.crop);
    std::printf("lip contour %d vertices on %d anchors, feather %.1f px, ", lip.vertexCount(),
                static_cast<int>(lip.anchors().size()), static_cast<double>(lip.featherPx()));
    if (lip.mapWidth() > 0)
      std::printf("lip_map %zux%d\n", lip.mapB().size(), lip.mapWidth());
    else
      std::printf("no lip_map\n");
  } catch (const std::exception& e) {
    std::printf("lip contour refused: %s\n", e.what());
  }
}

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
  printTeeth(c.manifest.dir);
  printLip(c.manifest);
  std::printf("warp prior  %s\n", c.prior.backend().c_str());
  std::printf("simd        %s, worker pool %d threads\n", vesk::simd::target(), vesk::pool::threads());
  vesk::Renderer& r = c.ensureRenderer();
  std::printf("director    model %s, batch %d, backend %s, ep %s\n", c.model_key.c_str(), r.batch(), r.backend(),
              r.ep());
  return 0;
}

int cmdRender(const Args& a) {
  const int frames = a.getInt("frames", 0);
  const std::string out = a.get("out");
  if (frames < 1 || out.empty()) throw std::invalid_argument("render needs --frames N (N >= 1) and --out FILE.mp4");
  Ctx ctx = open(a);
  vesk_ctx& c = *ctx;
  vesk::cli::VideoWriter writer(out, c.manifest.W, c.manifest.H, 25);
  vesk::cli::Progress progress(frames);
  const auto t0 = std::chrono::steady_clock::now();
  for (int f = 0; f < frames; ++f) {
    const int d = f % c.drive.frames;
    if (vesk_render_drive_crop(ctx.get(), d) == nullptr) throw std::runtime_error(vesk_last_error());
    const uint8_t* rgb = vesk_paste_last(ctx.get(), c.drive.si[static_cast<size_t>(d)]);
    if (rgb == nullptr) throw std::runtime_error(vesk_last_error());
    writer.addFrame(rgb);
    progress.update(f + 1);
  }
  progress.done();
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

int cmdSpeak(const Args& a) {
  vesk::cli::SpeakOptions o;
  o.bundle = a.bundle;
  o.audio = a.get("audio");
  o.out = a.get("out");
  if (o.audio.empty() || o.out.empty()) throw std::invalid_argument("speak needs --audio AUDIO and --out FILE.mp4");
  if (a.has("offline") && a.has("stream")) throw std::invalid_argument("speak takes --offline or --stream, not both");
  o.mode = a.has("stream")    ? vesk::cli::SpeakOptions::Mode::Stream
           : a.has("offline") ? vesk::cli::SpeakOptions::Mode::Offline
                              : vesk::cli::SpeakOptions::Mode::Live;
  o.motionDir = a.get("motion-dir");
  o.encoder = a.get("encoder");
  o.model = a.get("model", "b1");
  o.ep = a.get("ep");
  o.threads = a.getInt("threads", 0);
  o.idleSeconds = a.getSeconds("idle", 1.0);
  o.teeth = !a.has("no-teeth");
  vesk::cli::speak(o);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The encoder's and decoders' own chatter would bury the lines that matter to a user.
  av_log_set_level(AV_LOG_ERROR);
  if (wantsHelp(argc, argv)) {
    std::printf("%s%s", kUsage, kHelp);
    return 0;
  }
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
    if (args.command == "speak") return cmdSpeak(args);
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
