// Running commands and looking into the media files they write, with FFmpeg's own command-line
// tools as the independent judge.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vesk::test {

struct Ran {
  int status = -1;
  std::string output;
};

// Runs a shell command, standard error folded into the output.
inline Ran run(const std::string& cmd) {
  Ran r;
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen((cmd + " 2>&1").c_str(), "r"), pclose);
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), p.get())) > 0) r.output.append(buf.data(), got);
  r.status = pclose(p.release());
  return r;
}

// The streams of a media file as ffprobe reports them: one key=value map per stream, in order,
// and the container's entries under "format".
struct Probe {
  std::vector<std::map<std::string, std::string>> streams;
  std::map<std::string, std::string> format;

  const std::map<std::string, std::string>* first(const std::string& type) const {
    for (const auto& s : streams)
      if (s.count("codec_type") != 0 && s.at("codec_type") == type) return &s;
    return nullptr;
  }
};

inline Probe probe(const std::string& path) {
  const Ran r = run("ffprobe -v error -show_streams -show_format -of flat=s=_ '" + path + "'");
  Probe p;
  size_t at = 0;
  while (at < r.output.size()) {
    const size_t end = r.output.find('\n', at);
    const std::string line = r.output.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? r.output.size() : end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (key.rfind("streams_stream_", 0) == 0) {
      key = key.substr(15);
      const size_t us = key.find('_');
      const size_t i = std::strtoul(key.substr(0, us).c_str(), nullptr, 10);
      if (p.streams.size() <= i) p.streams.resize(i + 1);
      p.streams[i][key.substr(us + 1)] = value;
    } else if (key.rfind("format_", 0) == 0) {
      p.format[key.substr(7)] = value;
    }
  }
  return p;
}

inline double num(const std::map<std::string, std::string>* m, const std::string& key) {
  if (m == nullptr || m->count(key) == 0) return -1.0;
  return std::strtod(m->at(key).c_str(), nullptr);
}

// The MP4 holds `frames` frames of H.264 video at 25 fps and W x H, and an AAC track as long as
// the video to within a frame. The probe goes to *out for further checks.
inline void expectTracks(const std::string& mp4, int frames, int W, int H, Probe* out = nullptr) {
  Probe p = probe(mp4);
  const auto* v = p.first("video");
  const auto* a = p.first("audio");
  ASSERT_NE(v, nullptr) << mp4;
  ASSERT_NE(a, nullptr) << mp4;
  EXPECT_EQ(v->at("codec_name"), "h264");
  EXPECT_EQ(v->at("width"), std::to_string(W));
  EXPECT_EQ(v->at("height"), std::to_string(H));
  EXPECT_EQ(v->at("r_frame_rate"), "25/1");
  EXPECT_EQ(v->at("nb_frames"), std::to_string(frames));
  EXPECT_EQ(a->at("codec_name"), "aac");
  EXPECT_NEAR(num(v, "duration"), frames / 25.0, 1e-6);
  EXPECT_NEAR(num(a, "duration"), num(v, "duration"), 0.040) << mp4;
  if (out != nullptr) *out = std::move(p);
}

// The first audio track decoded by the ffmpeg command line as 16 kHz mono 16-bit samples.
inline std::vector<int16_t> decodeAudio(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> p(
      popen(("ffmpeg -v error -i '" + path + "' -map 0:a:0 -f s16le -ac 1 -ar 16000 - 2>/dev/null").c_str(), "r"),
      pclose);
  std::vector<int16_t> out;
  if (!p) return out;
  std::array<int16_t, 4096> buf;
  size_t got;
  while ((got = std::fread(buf.data(), sizeof(int16_t), buf.size(), p.get())) > 0)
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
  return out;
}

}  // namespace vesk::test
