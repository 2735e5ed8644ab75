// The audio reader: every WAV sample format to the exact value, the codecs text-to-speech engines
// write (made by the ffmpeg command line), the 16 kHz mono conversion, and one-line refusals of
// files that are not audio, are cut short or are damaged.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"
#include "vesk_audio.h"

extern "C" {
#include <libavutil/log.h>
}

using vesk::cli::Audio;
using vesk::cli::decodeAudio;
using vesk::cli::readAudio;
using vesk::cli::toMono16k;
using vesk::test::errorOf;
using vesk::test::TempDir;
using namespace std::string_literals;

namespace {

constexpr double kPi = 3.14159265358979323846;

void put16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8 & 0xFF);
}
void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}
void chunk(std::string& s, const char* id, const std::string& body, bool pad = true) {
  s.append(id, 4);
  put32(s, static_cast<uint32_t>(body.size()));
  s += body;
  if (pad && body.size() % 2 == 1) s += '\0';
}

struct Fmt {
  uint16_t tag = 1;
  uint16_t channels = 1;
  uint32_t rate = 16000;
  uint16_t bits = 16;
  int blockAlign = -1;  // -1: channels * bits / 8
  bool extensible = false;
  uint16_t subTag = 1;
  uint16_t validBits = 0;  // 0: bits
};

std::string fmtBody(const Fmt& f) {
  std::string b;
  put16(b, f.extensible ? 0xFFFE : f.tag);
  put16(b, f.channels);
  put32(b, f.rate);
  const uint32_t align = f.blockAlign >= 0 ? static_cast<uint32_t>(f.blockAlign) : f.channels * f.bits / 8u;
  put32(b, f.rate * align);
  put16(b, align);
  put16(b, f.bits);
  if (f.extensible) {
    put16(b, 22);
    put16(b, f.validBits != 0 ? f.validBits : f.bits);
    put32(b, 0x3);  // front left and right; the reader does not interpret the mask
    put16(b, f.subTag);
    put16(b, 0);
    const unsigned char tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    b.append(reinterpret_cast<const char*>(tail), sizeof tail);
  }
  return b;
}

// A whole file: RIFF header, fmt, optional extra chunks before the data, data.
std::string wavFile(const Fmt& f, const std::string& data, const std::string& before = "") {
  std::string body = "WAVE";
  chunk(body, "fmt ", fmtBody(f));
  body += before;
  chunk(body, "data", data);
  std::string s = "RIFF";
  put32(s, static_cast<uint32_t>(body.size()));
  return s + body;
}

std::string pcm16(const std::vector<int16_t>& v) {
  std::string s;
  for (int16_t x : v) put16(s, static_cast<uint16_t>(x));
  return s;
}

Audio parse(const std::string& bytes) {
  return decodeAudio(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "t.wav");
}
std::string refusal(const std::string& bytes) {
  return errorOf([&] { parse(bytes); });
}

// A tone of `hz` for `seconds` as 16-bit samples, the same in every channel (or the opposite in
// odd channels when `opposed`).
std::vector<int16_t> tone(int rate, int channels, double hz, double seconds, double amp, bool opposed = false) {
  const size_t n = static_cast<size_t>(std::lround(rate * seconds));
  std::vector<int16_t> v(n * static_cast<size_t>(channels));
  for (size_t i = 0; i < n; ++i) {
    const double x = amp * std::sin(2 * kPi * hz * static_cast<double>(i) / rate);
    for (int c = 0; c < channels; ++c)
      v[i * static_cast<size_t>(channels) + static_cast<size_t>(c)] =
          static_cast<int16_t>(std::lround((opposed && c % 2 == 1 ? -x : x) * 32767));
  }
  return v;
}

// Upward zero crossings: the frequency of a clean tone, counted.
int risingCrossings(const std::vector<int16_t>& v) {
  int n = 0;
  for (size_t i = 1; i < v.size(); ++i) n += v[i - 1] < 0 && v[i] >= 0;
  return n;
}

double rms(const std::vector<int16_t>& v, size_t from, size_t to) {
  double s = 0;
  for (size_t i = from; i < to; ++i) s += static_cast<double>(v[i]) * v[i];
  return std::sqrt(s / static_cast<double>(to - from));
}

// A file the ffmpeg command line makes from a 440 Hz tone at a quarter of full scale in every
// channel; "" when the command fails.
std::string ffmpegTone(const std::string& path, int rate, int channels, double seconds, const std::string& codec) {
  std::string expr;
  for (int c = 0; c < channels; ++c) expr += (c > 0 ? "|" : "") + std::string("0.25*sin(2*PI*440*t)");
  const std::string cmd = "ffmpeg -v error -y -f lavfi -i 'aevalsrc=" + expr + ":s=" + std::to_string(rate) +
                          ":d=" + std::to_string(seconds) + "' " + codec + " '" + path + "' </dev/null";
  return std::system(cmd.c_str()) == 0 ? vesk::test::readFile(path) : "";
}

bool oneLine(const std::string& s) { return !s.empty() && s.find('\n') == std::string::npos; }

}  // namespace

TEST(VeskAudio, EveryWavSampleFormatDecodesToFullScale) {
  // 8-bit PCM is unsigned around 128.
  {
    const Audio a = parse(wavFile(Fmt{.bits = 8}, std::string("\x00\x80\xFF\x40", 4)));
    EXPECT_EQ(a.format, "wav, pcm_u8");
    EXPECT_EQ(a.mono, (std::vector<float>{-1.0f, 0.0f, 127.0f / 128.0f, -0.5f}));
  }
  {
    const Audio a = parse(wavFile(Fmt{}, pcm16({-32768, 0, 16384, 32767})));
    EXPECT_EQ(a.format, "wav, pcm_s16le");
    EXPECT_EQ(a.mono, (std::vector<float>{-1.0f, 0.0f, 0.5f, 32767.0f / 32768.0f}));
  }
  {
    // Little-endian 24-bit: 0x800000 is the most negative, 0x400000 one half, 0xFFFFFF just below zero.
    const Audio a = parse(wavFile(Fmt{.bits = 24}, std::string("\x00\x00\x80\x00\x00\x40\xFF\xFF\xFF", 9)));
    EXPECT_EQ(a.format, "wav, pcm_s24le");
    EXPECT_EQ(a.mono, (std::vector<float>{-1.0f, 0.5f, -1.0f / 8388608.0f}));
  }
  {
    std::string d;
    put32(d, 0x80000000u);
    put32(d, 0xC0000000u);
    const Audio a = parse(wavFile(Fmt{.bits = 32}, d));
    EXPECT_EQ(a.format, "wav, pcm_s32le");
    EXPECT_EQ(a.mono, (std::vector<float>{-1.0f, -0.5f}));
  }
  {
    const float f[4] = {0.25f, -0.75f, 3.0f, std::nanf("")};
    const Audio a = parse(wavFile(Fmt{.tag = 3, .bits = 32}, std::string(reinterpret_cast<const char*>(f), sizeof f)));
    EXPECT_EQ(a.format, "wav, pcm_f32le");
    // Overs are clipped and NaN is silence, so the resampler never sees either.
    EXPECT_EQ(a.mono, (std::vector<float>{0.25f, -0.75f, 1.0f, 0.0f}));
  }
  {
    const double d[2] = {-0.125, 0.5};
    const Audio a = parse(wavFile(Fmt{.tag = 3, .bits = 64}, std::string(reinterpret_cast<const char*>(d), sizeof d)));
    EXPECT_EQ(a.format, "wav, pcm_f64le");
    EXPECT_EQ(a.mono, (std::vector<float>{-0.125f, 0.5f}));
  }
}

TEST(VeskAudio, ExtensibleHeadersOtherChunksAndChannelsAveraged) {
  // 24 valid bits in a 32-bit container are left-justified: the container scale applies.
  std::string d;
  put32(d, 0x40000000u);
  put32(d, 0x20000000u);
  const Audio a = parse(wavFile(Fmt{.channels = 2, .rate = 48000, .bits = 32, .extensible = true, .validBits = 24}, d));
  EXPECT_EQ(a.channels, 2);
  EXPECT_EQ(a.rate, 48000);
  EXPECT_EQ(a.format, "wav, pcm_s32le");
  EXPECT_EQ(a.mono, (std::vector<float>{0.375f}));
  // 20 valid bits in a 24-bit container, likewise.
  const Audio a20 =
      parse(wavFile(Fmt{.bits = 24, .extensible = true, .validBits = 20}, std::string("\x00\x00\x40", 3)));
  EXPECT_EQ(a20.mono, (std::vector<float>{0.5f}));

  const float f[3] = {0.5f, 0.25f, -0.75f};
  const Audio af = parse(wavFile(Fmt{.channels = 3, .bits = 32, .extensible = true, .subTag = 3},
                                 std::string(reinterpret_cast<const char*>(f), sizeof f)));
  EXPECT_EQ(af.format, "wav, pcm_f32le");
  EXPECT_EQ(af.mono, (std::vector<float>{0.0f}));

  // An odd-sized chunk before the data keeps its pad byte; a LIST and a fact chunk are skipped.
  std::string extra;
  chunk(extra, "LIST", "INFOabc");
  chunk(extra, "fact", std::string(4, '\0'));
  EXPECT_EQ(parse(wavFile(Fmt{}, pcm16({7, -7}), extra)).mono.size(), 2u);

  // A streaming writer's "unknown" data size reads to the end, whole frames only.
  std::string s = wavFile(Fmt{.channels = 2}, pcm16({1, 2, 3, 4}));
  std::memset(s.data() + s.size() - 12, 0xFF, 4);
  s += "\x05";  // half a sample after the last whole frame
  EXPECT_EQ(parse(s).mono.size(), 2u);
}

// The codecs a text-to-speech engine writes, each at a rate and channel count of its own: the
// tone comes out at 16 kHz with its length, pitch and level.
TEST(VeskAudio, CodecsDecodeAndResampleTo16kMono) {
  vesk::test::TempDir tmp;
  struct Case {
    const char* file;
    int rate, channels;
    const char* codec;
    const char* format;
  };
  const Case cases[] = {
      {"a.flac", 44100, 2, "-c:a flac -sample_fmt s32", "flac, flac"},
      {"a.mp3", 22050, 1, "-c:a libmp3lame -b:a 64k", "mp3, mp3"},
      {"a.opus", 48000, 2, "-c:a libopus -b:a 48k", "ogg, opus"},
      {"a.m4a", 32000, 1, "-c:a aac -b:a 64k", "mov, aac"},
      {"a.wav", 11025, 3, "-c:a pcm_s24le", "wav, pcm_s24le"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (ffmpegTone(tmp / c.file, c.rate, c.channels, 1.5, c.codec).empty()) GTEST_SKIP() << "no ffmpeg for " << c.file;
    const Audio a = readAudio(tmp / c.file);
    EXPECT_EQ(a.format, c.format);
    EXPECT_EQ(a.channels, c.channels);
    EXPECT_NEAR(a.seconds(), 1.5, 0.06);
    const std::vector<int16_t> out = toMono16k(a);
    EXPECT_NEAR(static_cast<double>(out.size()), 24000.0, 1000.0);
    // 0.2 s to 1.2 s: 440 rising crossings at the tone's level.
    const std::vector<int16_t> mid(out.begin() + 3200, out.begin() + 19200);
    EXPECT_NEAR(risingCrossings(mid), 440, 3);
    EXPECT_NEAR(rms(mid, 0, mid.size()), 0.25 * 32768 / std::sqrt(2.0), 500.0);
  }
}

TEST(VeskAudio, RefusesWhatItCannotReadInOneLine) {
  av_log_set_level(AV_LOG_QUIET);
  EXPECT_EQ(refusal(""), "t.wav: empty file");
  // The data chunk cut short, as a download cut off would leave it.
  const std::string good = wavFile(Fmt{}, pcm16({1, 2, 3}));
  EXPECT_EQ(refusal(good.substr(0, good.size() - 1)), "t.wav: truncated: chunk 'data' declares 6 bytes, 5 remain");
  EXPECT_EQ(refusal("ID3 an mp3, perhaps"s).rfind("t.wav: ", 0), 0u);
  for (const std::string& lie : {wavFile(Fmt{.channels = 0}, pcm16({1})), wavFile(Fmt{.rate = 0}, pcm16({1})),
                                 wavFile(Fmt{.tag = 0x1234}, pcm16({1})), wavFile(Fmt{}, ""),
                                 std::string("RIFF\0\0\0\0WAVEjunk\x01\0\0\0x", 21)}) {
    const std::string e = refusal(lie);
    EXPECT_EQ(e.rfind("t.wav: ", 0), 0u) << e;
    EXPECT_TRUE(oneLine(e)) << e;
  }
  vesk::test::TempDir tmp;
  EXPECT_EQ(errorOf([&] { readAudio(tmp / "missing.wav"); }), "cannot open " + (tmp / "missing.wav"));

  // A FLAC cut short: its stream info states the length that is missing.
  const std::string flac = ffmpegTone(tmp / "a.flac", 16000, 1, 2.0, "-c:a flac");
  if (flac.empty()) GTEST_SKIP() << "no ffmpeg";
  vesk::test::writeFile(tmp / "cut.flac", flac.substr(0, flac.size() * 6 / 10));
  const std::string cut = errorOf([&] { readAudio(tmp / "cut.flac"); });
  EXPECT_EQ(cut.rfind(tmp / "cut.flac" + ": cut short or damaged at 1.", 0), 0u) << cut;
  EXPECT_NE(cut.find(" of the 2.00 s it declares ("), std::string::npos) << cut;
  // Cut at a frame boundary, every packet decodes: the stated length still shows it.
  const Audio whole = readAudio(tmp / "a.flac");
  EXPECT_NEAR(whole.seconds(), 2.0, 1e-9);
  // An M4A whose index was at the end.
  const std::string m4a = ffmpegTone(tmp / "a.m4a", 16000, 1, 1.0, "-c:a aac");
  vesk::test::writeFile(tmp / "cut.m4a", m4a.substr(0, m4a.size() / 2));
  EXPECT_EQ(errorOf([&] { readAudio(tmp / "cut.m4a"); }),
            tmp / "cut.m4a" + ": not an audio file FFmpeg reads (Invalid data found when processing input)");
  // A video with no sound.
  ASSERT_EQ(
      std::system(("ffmpeg -v error -y -f lavfi -i testsrc=size=64x64:duration=0.2 '" + tmp / "v.mp4" + "' </dev/null")
                      .c_str()),
      0);
  EXPECT_EQ(errorOf([&] { readAudio(tmp / "v.mp4"); }), tmp / "v.mp4" + ": no audio stream");
}

// Every prefix and many corruptions of valid files either decode or throw the reader's error; none
// may read outside the buffer (the sanitizer builds catch that) or throw anything else.
TEST(VeskAudio, DamagedFilesNeverCrash) {
  av_log_set_level(AV_LOG_QUIET);
  std::string list;
  chunk(list, "LIST", "INFOx");
  vesk::test::TempDir tmp;
  std::vector<std::string> files = {
      wavFile(Fmt{.channels = 2, .bits = 24}, std::string(36, '\x11'), list),
      wavFile(Fmt{.channels = 3, .bits = 32, .extensible = true, .subTag = 3}, std::string(24, '\0')),
      wavFile(Fmt{.tag = 3, .bits = 64}, std::string(16, '\0')),
  };
  const std::string flac = ffmpegTone(tmp / "a.flac", 8000, 1, 0.1, "-c:a flac");
  if (!flac.empty()) files.push_back(flac);
  std::mt19937 rng(5);
  int decoded = 0, refused = 0;
  auto attempt = [&](const std::string& s) {
    try {
      const Audio a = parse(s);
      ASSERT_GT(a.channels, 0);
      ASSERT_FALSE(a.mono.empty());
      for (float v : a.mono) ASSERT_TRUE(v >= -1.0f && v <= 1.0f);
      ++decoded;
    } catch (const std::runtime_error& e) {
      ASSERT_TRUE(oneLine(e.what())) << e.what();
      ++refused;
    }
  };
  for (const std::string& f : files) {
    for (size_t n = 0; n <= f.size(); n += 1 + f.size() / 150) attempt(f.substr(0, n));
    for (int k = 0; k < 300; ++k) {
      std::string s = f;
      for (int m = 0; m < 3; ++m) s[rng() % s.size()] = static_cast<char>(rng());
      attempt(s);
    }
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(refused, 0);
}

TEST(VeskAudio, SixteenKilohertzMonoPassesThroughUnchanged) {
  const std::vector<int16_t> v = tone(16000, 1, 300.0, 0.25, 0.5);
  TempDir tmp;
  vesk::test::writeFile(tmp / "a.wav", wavFile(Fmt{}, pcm16(v)));
  EXPECT_EQ(toMono16k(readAudio(tmp / "a.wav")), v);
}

TEST(VeskAudio, ResamplesAndDownmixesTo16kMono) {
  // 2 s of a 440 Hz tone in stereo at 22050 Hz: 32000 samples at 16 kHz keeping the pitch and the level.
  const std::vector<int16_t> st = tone(22050, 2, 440.0, 2.0, 0.5);
  const std::vector<int16_t> out = toMono16k(parse(wavFile(Fmt{.channels = 2, .rate = 22050}, pcm16(st))));
  EXPECT_NEAR(static_cast<double>(out.size()), 32000.0, 2.0);
  EXPECT_NEAR(risingCrossings(out), 880, 2);
  EXPECT_NEAR(rms(out, 1000, out.size() - 1000), 0.5 * 32767 / std::sqrt(2.0), 150.0);

  // The channels are averaged: opposite channels cancel.
  const std::vector<int16_t> opp = tone(48000, 2, 440.0, 0.5, 0.5, true);
  const std::vector<int16_t> silent = toMono16k(parse(wavFile(Fmt{.channels = 2, .rate = 48000}, pcm16(opp))));
  EXPECT_NEAR(static_cast<double>(silent.size()), 8000.0, 2.0);
  EXPECT_LT(rms(silent, 0, silent.size()), 2.0);

  // Six channels (no standard stereo downmix applies) at 8 kHz: upsampled, level kept.
  const std::vector<int16_t> six = tone(8000, 6, 200.0, 1.0, 0.25);
  const std::vector<int16_t> up = toMono16k(parse(wavFile(Fmt{.channels = 6, .rate = 8000}, pcm16(six))));
  EXPECT_NEAR(static_cast<double>(up.size()), 16000.0, 2.0);
  EXPECT_NEAR(risingCrossings(up), 200, 2);
  EXPECT_NEAR(rms(up, 1000, up.size() - 1000), 0.25 * 32767 / std::sqrt(2.0), 100.0);
}
