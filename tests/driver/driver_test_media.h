// Test media made with the ffmpeg command line, and the reference conversions the decoded frames
// are checked against.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/vesk_simd.h"

namespace vesk::testmedia {

inline std::string scratchDir(const std::string& name) {
  const char* root = std::getenv("VESK_TEST_TMP");
  std::string base = root && *root ? root : "/tmp/vesk_test";
  std::string dir = base + "/" + name + "." + std::to_string(::getpid());
  std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot make " + dir);
  return dir;
}

inline void sh(const std::string& cmd) {
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("command failed: " + cmd);
}

// ffmpeg with a synthetic moving source; `codec` carries the encoder options and `out` the file.
inline void makeVideo(const std::string& out, int w, int h, int frames, const std::string& codec,
                      const std::string& source = "testsrc2") {
  const char* sep = source.find('=') == std::string::npos ? "=" : ":";
  sh("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i " + source + sep + "size=" + std::to_string(w) + "x" +
     std::to_string(h) + ":rate=25 -frames:v " + std::to_string(frames) + " " + codec + " '" + out + "'");
}

inline void makeH264(const std::string& out, int w, int h, int frames, const std::string& extra = "") {
  makeVideo(out, w, h, frames, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 8 -bf 2 " + extra);
}

inline void makePriorHevc(const std::string& out, int side, int frames, const std::string& source = "testsrc2",
                          const std::string& pix = "yuv444p") {
  makeVideo(out, side, side, frames,
            "-c:v libx265 -preset ultrafast -x265-params log-level=error -pix_fmt " + pix + " -tag:v hvc1", source);
}

inline std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const void* data, size_t n) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline void writeText(const std::string& path, const std::string& text) { writeFile(path, text.data(), text.size()); }

// The raw planes the ffmpeg command line decodes from `path` in pixel format `pix`.
inline std::vector<uint8_t> cliDecode(const std::string& path, const std::string& pix) {
  const std::string raw = path + "." + pix + ".raw";
  sh("ffmpeg -nostdin -hide_banner -loglevel error -y -i '" + path + "' -fps_mode passthrough -f rawvideo -pix_fmt " +
     pix + " '" + raw + "'");
  return readFile(raw);
}

inline uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Integer BT.601 studio swing, 4:2:0 planar frame to RGB24.
inline std::vector<uint8_t> yuv420ToRgb(const uint8_t* f, int w, int h) {
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  const uint8_t* Y = f;
  const uint8_t* U = Y + static_cast<size_t>(w) * h;
  const uint8_t* V = U + static_cast<size_t>(cw) * ch;
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int C = (Y[y * w + x] - 16) * 298 + 128;
      const int D = U[(y / 2) * cw + x / 2] - 128;
      const int E = V[(y / 2) * cw + x / 2] - 128;
      uint8_t* o = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      o[0] = clamp255((C + 409 * E) >> 8);
      o[1] = clamp255((C - 100 * D - 208 * E) >> 8);
      o[2] = clamp255((C + 516 * D) >> 8);
    }
  return rgb;
}

// The fixed-point 4:4:4 prior conversion to three planes of halves in [0, 1].
inline std::vector<uint16_t> yuv444ToPlanarHalf(const uint8_t* f, int side) {
  const size_t n = static_cast<size_t>(side) * side;
  std::vector<uint16_t> out(n * 3);
  for (size_t i = 0; i < n; ++i) {
    const int c = (f[i] - 16) * 76312, d = f[n + i] - 128, e = f[2 * n + i] - 128;
    const int r = clamp255((c + e * 104600 + 32768) >> 16);
    const int g = clamp255((c - d * 25672 - e * 53280 + 32768) >> 16);
    const int b = clamp255((c + d * 132200 + 32768) >> 16);
    out[i] = f32ToF16(static_cast<float>(r) / 255.0f);
    out[n + i] = f32ToF16(static_cast<float>(g) / 255.0f);
    out[2 * n + i] = f32ToF16(static_cast<float>(b) / 255.0f);
  }
  return out;
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      ::setenv(name_.c_str(), old_.c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

}  // namespace vesk::testmedia
