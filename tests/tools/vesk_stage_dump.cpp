// Writes what each stage of a bundle's frame path produces, so two builds (x86 and aarch64) can be
// compared file by file (scripts/arm-compare):
//   driver.rgb   every source frame as the driver decodes and converts it (RGB24)
//   paste.rgb    every source frame with a fixed synthetic crop pasted on it (RGB24)
//   crops.f32    the director's crops of the first drive frames (3 planes of crop x crop floats each)
//   render.rgba  those drive frames rendered and pasted (RGBA)
// The pixel stages must match byte for byte; the director runs on ONNX Runtime, whose kernels round
// differently per architecture, so its files are compared within a bound.
//
//   vesk_stage_dump BUNDLE OUT_DIR [DRIVE_FRAMES]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "vesk/vesk.h"

namespace {

struct File {
  explicit File(const std::string& path) : f(std::fopen(path.c_str(), "wb")), name(path) {
    if (!f) std::fprintf(stderr, "vesk_stage_dump: cannot write %s\n", path.c_str());
  }
  ~File() {
    if (f) std::fclose(f);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool write(const void* p, size_t n) { return f && std::fwrite(p, 1, n, f) == n; }
  std::FILE* f;
  std::string name;
};

int fail(const char* what) {
  std::fprintf(stderr, "vesk_stage_dump: %s: %s\n", what, vesk_last_error());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vesk_stage_dump BUNDLE OUT_DIR [DRIVE_FRAMES]\n");
    return 2;
  }
  const std::string out = argv[2];
  const int driveWanted = argc > 3 ? std::atoi(argv[3]) : 4;
  std::unique_ptr<vesk_ctx, void (*)(vesk_ctx*)> ctx(vesk_create(argv[1], "b1", 2, ""), vesk_destroy);
  if (!ctx) return fail("vesk_create");
  const int nt = vesk_nt(ctx.get()), w = vesk_width(ctx.get()), h = vesk_height(ctx.get());
  const int crop = vesk_crop(ctx.get());
  const size_t frameBytes = static_cast<size_t>(w) * h * 3;
  const size_t cropFloats = static_cast<size_t>(crop) * crop * 3;

  File driver(out + "/driver.rgb");
  for (int si = 0; si < nt; ++si) {
    const uint8_t* f = vesk_target_frame(ctx.get(), si);
    if (!f) return fail("vesk_target_frame");
    if (!driver.write(f, frameBytes)) return 1;
  }

  // A crop no renderer makes: smooth ramps with a per-frame phase, values across all of 0..1.
  std::vector<float> synthetic(cropFloats);
  std::vector<uint8_t> frame(frameBytes);
  File paste(out + "/paste.rgb");
  for (int si = 0; si < nt; ++si) {
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < crop; ++y)
        for (int x = 0; x < crop; ++x)
          synthetic[(static_cast<size_t>(c) * crop + y) * crop + x] =
              0.5f + 0.5f * std::sin(0.07f * static_cast<float>(x + 2 * y + 11 * c + 5 * si));
    if (!vesk_paste_crop(ctx.get(), si, synthetic.data(), frame.data(), frame.size())) return fail("vesk_paste_crop");
    if (!paste.write(frame.data(), frame.size())) return 1;
  }

  File crops(out + "/crops.f32");
  File render(out + "/render.rgba");
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  const int drive = std::min(driveWanted, vesk_drive_frames(ctx.get()));
  for (int i = 0; i < drive; ++i) {
    const float* c = vesk_render_drive_crop(ctx.get(), i);
    if (!c) return fail("vesk_render_drive_crop");
    if (!crops.write(c, cropFloats * sizeof(float))) return 1;
    if (!vesk_render_drive_rgba(ctx.get(), i, rgba.data(), rgba.size())) return fail("vesk_render_drive_rgba");
    if (!render.write(rgba.data(), rgba.size())) return 1;
  }
  std::printf("%d source frames, %d drive frames, %dx%d, crop %d\n", nt, drive, w, h, crop);
  return 0;
}
