// The WAV reader: every format it promises, the 16 kHz mono conversion, and refusals of files that
// are cut short or describe themselves wrongly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"
#include "vesk_wav.h"

using vesk::cli::parseWav;
using vesk::cli::readWav;
using vesk::cli::toMono16k;
using vesk::cli::Wav;
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

Wav parse(const std::string& bytes) {
  return parseWav(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "t.wav");
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

}  // namespace

TEST(VeskWav, EverySampleFormatDecodesToFullScale) {
  // 8-bit PCM is unsigned around 128.
  {
    const Wav w = parse(wavFile(Fmt{.bits = 8}, std::string("\x00\x80\xFF\x40", 4)));
    EXPECT_EQ(w.format, "8-bit PCM");
    EXPECT_EQ(w.samples, (std::vector<float>{-1.0f, 0.0f, 127.0f / 128.0f, -0.5f}));
  }
  {
    const Wav w = parse(wavFile(Fmt{}, pcm16({-32768, 0, 16384, 32767})));
    EXPECT_EQ(w.format, "16-bit PCM");
    EXPECT_EQ(w.samples, (std::vector<float>{-1.0f, 0.0f, 0.5f, 32767.0f / 32768.0f}));
  }
  {
    // Little-endian 24-bit: 0x800000 is the most negative, 0x400000 one half, 0xFFFFFF just below zero.
    const Wav w = parse(wavFile(Fmt{.bits = 24}, std::string("\x00\x00\x80\x00\x00\x40\xFF\xFF\xFF", 9)));
    EXPECT_EQ(w.format, "24-bit PCM");
    EXPECT_EQ(w.samples, (std::vector<float>{-1.0f, 0.5f, -1.0f / 8388608.0f}));
  }
  {
    std::string d;
    put32(d, 0x80000000u);
    put32(d, 0xC0000000u);
    const Wav w = parse(wavFile(Fmt{.bits = 32}, d));
    EXPECT_EQ(w.samples, (std::vector<float>{-1.0f, -0.5f}));
  }
  {
    const float f[4] = {0.25f, -0.75f, 3.0f, std::nanf("")};
    const Wav w = parse(wavFile(Fmt{.tag = 3, .bits = 32}, std::string(reinterpret_cast<const char*>(f), sizeof f)));
    EXPECT_EQ(w.format, "32-bit float");
    // Overs are clipped and NaN is silence, so the resampler never sees either.
    EXPECT_EQ(w.samples, (std::vector<float>{0.25f, -0.75f, 1.0f, 0.0f}));
  }
  {
    const double d[2] = {-0.125, 0.5};
    const Wav w = parse(wavFile(Fmt{.tag = 3, .bits = 64}, std::string(reinterpret_cast<const char*>(d), sizeof d)));
    EXPECT_EQ(w.format, "64-bit float");
    EXPECT_EQ(w.samples, (std::vector<float>{-0.125f, 0.5f}));
  }
}

TEST(VeskWav, ExtensibleHeadersAndOtherChunks) {
  // 24 valid bits in a 32-bit container are left-justified: the container scale applies.
  std::string d;
  put32(d, 0x40000000u);
  put32(d, 0xC0000000u);
  const Wav w = parse(wavFile(Fmt{.channels = 2, .rate = 48000, .bits = 32, .extensible = true, .validBits = 24}, d));
  EXPECT_EQ(w.channels, 2);
  EXPECT_EQ(w.rate, 48000);
  EXPECT_EQ(w.frames(), 1u);
  EXPECT_EQ(w.samples, (std::vector<float>{0.5f, -0.5f}));

  const float f[1] = {0.5f};
  const Wav wf = parse(wavFile(Fmt{.bits = 32, .extensible = true, .subTag = 3},
                               std::string(reinterpret_cast<const char*>(f), sizeof f)));
  EXPECT_EQ(wf.format, "32-bit float");

  // An odd-sized chunk before the data keeps its pad byte; a LIST and a fact chunk are skipped.
  std::string extra;
  chunk(extra, "LIST", "INFOabc");
  chunk(extra, "fact", std::string(4, '\0'));
  EXPECT_EQ(parse(wavFile(Fmt{}, pcm16({7, -7}), extra)).samples.size(), 2u);

  // A streaming writer's "unknown" data size reads to the end, whole frames only.
  std::string s = wavFile(Fmt{.channels = 2}, pcm16({1, 2, 3, 4}));
  std::memset(s.data() + s.size() - 12, 0xFF, 4);
  s += "\x05";  // half a sample after the last whole frame
  EXPECT_EQ(parse(s).frames(), 2u);
}

TEST(VeskWav, RefusesWhatItCannotRead) {
  const std::string good = wavFile(Fmt{}, pcm16({1, 2, 3}));
  EXPECT_EQ(refusal("RIFF"s), "t.wav: not a WAV file (4 bytes)");
  EXPECT_EQ(refusal("RIFF\x10\0\0\0AVI LIST"s), "t.wav: not a RIFF/WAVE file");
  EXPECT_EQ(refusal("RF64\xFF\xFF\xFF\xFFWAVEds64"s), "t.wav: RF64 (a WAV over 4 GiB) is not read");
  // The data chunk cut short, as a download cut off would leave it.
  EXPECT_EQ(refusal(good.substr(0, good.size() - 1)), "t.wav: truncated: chunk 'data' declares 6 bytes, 5 remain");
  {
    std::string s = "WAVE";
    chunk(s, "fmt ", fmtBody(Fmt{}));
    s = "RIFF" + std::string(4, '\0') + s;
    EXPECT_EQ(refusal(s), "t.wav: no data chunk");
  }
  {
    std::string s = "RIFF" + std::string(4, '\0') + "WAVE";
    chunk(s, "data", pcm16({1}));
    EXPECT_EQ(refusal(s), "t.wav: data chunk before the fmt chunk");
  }
  EXPECT_EQ(refusal("RIFF\0\0\0\0WAVEjunk\x01\0\0\0x"s), "t.wav: no fmt chunk");
  {
    std::string extra;
    chunk(extra, "fmt ", fmtBody(Fmt{}));
    EXPECT_EQ(refusal(wavFile(Fmt{}, pcm16({1}), extra)), "t.wav: two fmt chunks");
  }
  // A chunk id that is not text is shown in hex.
  EXPECT_EQ(refusal("RIFF\0\0\0\0WAVE\x01\x02zz\xFF\0\0\0"s),
            "t.wav: truncated: chunk '\\x01\\x02zz' declares 255 bytes, 0 remain");

  EXPECT_EQ(refusal(wavFile(Fmt{.channels = 0}, "")), "t.wav: zero channels");
  EXPECT_EQ(refusal(wavFile(Fmt{.channels = 300}, pcm16(std::vector<int16_t>(300)))),
            "t.wav: 300 channels, more than 256");
  EXPECT_EQ(refusal(wavFile(Fmt{.rate = 0}, pcm16({1}))), "t.wav: sample rate 0 Hz is outside 1000..768000");
  EXPECT_EQ(refusal(wavFile(Fmt{.rate = 10000000}, pcm16({1}))),
            "t.wav: sample rate 10000000 Hz is outside 1000..768000");
  EXPECT_EQ(refusal(wavFile(Fmt{.bits = 12}, pcm16({1}))), "t.wav: 12-bit PCM is not read (8, 16, 24 or 32 bits are)");
  EXPECT_EQ(refusal(wavFile(Fmt{.tag = 3, .bits = 16}, pcm16({1}))),
            "t.wav: 16-bit float is not read (32 or 64 bits are)");
  EXPECT_EQ(refusal(wavFile(Fmt{.tag = 6, .bits = 8}, "a")), "t.wav: format A-law is not PCM or IEEE float");
  EXPECT_EQ(refusal(wavFile(Fmt{.tag = 0x1234}, pcm16({1}))), "t.wav: format 0x1234 is not PCM or IEEE float");
  EXPECT_EQ(refusal(wavFile(Fmt{.channels = 2, .blockAlign = 2}, pcm16({1, 2}))),
            "t.wav: block align 2 is not 2 channels x 2 bytes");
  EXPECT_EQ(refusal(wavFile(Fmt{.channels = 2}, pcm16({1, 2, 3}))),
            "t.wav: data chunk of 6 bytes is not a whole number of 4-byte frames");
  EXPECT_EQ(refusal(wavFile(Fmt{}, "")), "t.wav: no audio samples");
  EXPECT_EQ(refusal(wavFile(Fmt{.bits = 16, .extensible = true, .validBits = 20}, pcm16({1}))),
            "t.wav: 20 valid bits do not fit a 16-bit container");
  {
    std::string s = wavFile(Fmt{.extensible = true}, pcm16({1}));
    s[12 + 8 + 24 + 5] = 0x11;  // a byte of the sub-format GUID's fixed tail
    EXPECT_EQ(refusal(s), "t.wav: WAVE_FORMAT_EXTENSIBLE sub-format is not a plain format tag");
  }
  {
    std::string s = "RIFF" + std::string(4, '\0') + "WAVE";
    chunk(s, "fmt ", fmtBody(Fmt{}).substr(0, 14));
    chunk(s, "data", pcm16({1}));
    EXPECT_EQ(refusal(s), "t.wav: fmt chunk of 14 bytes is shorter than 16");
    std::string e = "RIFF" + std::string(4, '\0') + "WAVE";
    chunk(e, "fmt ", fmtBody(Fmt{.extensible = true}).substr(0, 24));
    chunk(e, "data", pcm16({1}));
    EXPECT_EQ(refusal(e), "t.wav: WAVE_FORMAT_EXTENSIBLE fmt chunk of 24 bytes lacks its 22-byte extension");
  }
  TempDir tmp;
  EXPECT_EQ(errorOf([&] { readWav(tmp / "missing.wav"); }), "cannot open " + (tmp / "missing.wav"));
}

// Every prefix and many corruptions of valid files either parse or throw the reader's error; none
// may read outside the buffer (the sanitizer builds catch that) or throw anything else.
TEST(VeskWav, DamagedFilesNeverCrash) {
  std::string list;
  chunk(list, "LIST", "INFOx");
  const std::vector<std::string> files = {
      wavFile(Fmt{.channels = 2, .bits = 24}, std::string(36, '\x11'), list),
      wavFile(Fmt{.channels = 3, .bits = 32, .extensible = true, .subTag = 3}, std::string(24, '\0')),
      wavFile(Fmt{.tag = 3, .bits = 64}, std::string(16, '\0')),
  };
  std::mt19937 rng(5);
  int parsed = 0, refused = 0;
  auto attempt = [&](const std::string& s) {
    try {
      const Wav w = parse(s);
      ASSERT_GT(w.channels, 0);
      ASSERT_EQ(w.samples.size() % static_cast<size_t>(w.channels), 0u);
      ++parsed;
    } catch (const std::runtime_error&) {
      ++refused;
    }
  };
  for (const std::string& f : files) {
    for (size_t n = 0; n <= f.size(); ++n) attempt(f.substr(0, n));
    for (int k = 0; k < 2000; ++k) {
      std::string s = f;
      for (int m = 0; m < 3; ++m) s[rng() % s.size()] = static_cast<char>(rng());
      attempt(s);
    }
  }
  EXPECT_GT(parsed, 0);
  EXPECT_GT(refused, 0);
}

TEST(VeskWav, SixteenKilohertzMonoPassesThroughUnchanged) {
  const std::vector<int16_t> v = tone(16000, 1, 300.0, 0.25, 0.5);
  TempDir tmp;
  vesk::test::writeFile(tmp / "a.wav", wavFile(Fmt{}, pcm16(v)));
  EXPECT_EQ(toMono16k(readWav(tmp / "a.wav")), v);
}

TEST(VeskWav, ResamplesAndDownmixesTo16kMono) {
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
