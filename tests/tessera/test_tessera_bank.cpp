// The reference bank decoder: lossless tracks made with the ffmpeg command line, decoded from memory
// into donor order, and every refusal of a track that does not match its stamp and sidecar.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include "tessera/vesk_tessera_bank.h"
#include "test_util.h"

namespace {

using vesk::tessera::BankReader;
using vesk::tessera::decodeBankTrack;
using vesk::test::errorOf;
using vesk::test::TempDir;

constexpr int kW = 16, kH = 8;

std::vector<uint8_t> pattern(int k, int w = kW, int h = kH) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = f.data() + (static_cast<size_t>(y) * w + x) * 3;
      p[0] = static_cast<uint8_t>(x * 7 + k * 31);
      p[1] = static_cast<uint8_t>(y * 13 + k * 17 + 3);
      p[2] = static_cast<uint8_t>(x * y + k * 5);
    }
  return f;
}

// A lossless H.264 RGB track of `frames` pattern frames, as the bundle generator writes banks.
std::vector<uint8_t> track(int frames, int w = kW, int h = kH) {
  TempDir tmp;
  std::string raw;
  for (int k = 0; k < frames; ++k) {
    const std::vector<uint8_t> f = pattern(k, w, h);
    raw.append(reinterpret_cast<const char*>(f.data()), f.size());
  }
  vesk::test::writeFile(tmp / "in.rgb", raw);
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y -f rawvideo -pix_fmt rgb24 -s " +
                          std::to_string(w) + "x" + std::to_string(h) + " -r 25 -i '" + (tmp / "in.rgb") +
                          "' -c:v libx264rgb -qp 0 -preset ultrafast -pix_fmt rgb24 -f mp4 '" + (tmp / "t.mp4") + "'";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + cmd);
  const std::string bytes = vesk::test::readFile(tmp / "t.mp4");
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint8_t> donor(const std::vector<uint8_t>& out, int d) {
  const size_t patch = static_cast<size_t>(kW) * kH * 3;
  return std::vector<uint8_t>(out.begin() + static_cast<ptrdiff_t>(d * patch),
                              out.begin() + static_cast<ptrdiff_t>((d + 1) * patch));
}

TEST(BankDecode, PlacesEveryFrameLosslesslyInItsDonorSlot) {
  const std::vector<uint8_t> t = track(4);
  const std::vector<uint8_t> out = decodeBankTrack(t.data(), t.size(), 4, kH, kW, {2, 0, 3, 1});
  ASSERT_EQ(out.size(), 4u * kW * kH * 3);
  EXPECT_EQ(donor(out, 2), pattern(0));
  EXPECT_EQ(donor(out, 0), pattern(1));
  EXPECT_EQ(donor(out, 3), pattern(2));
  EXPECT_EQ(donor(out, 1), pattern(3));

  const std::vector<uint8_t> two = track(2);
  const std::vector<uint8_t> swapped = decodeBankTrack(two.data(), two.size(), 2, kH, kW, {1, 0});
  EXPECT_EQ(donor(swapped, 1), pattern(0));
  EXPECT_EQ(donor(swapped, 0), pattern(1));
}

TEST(BankDecode, RefusesATrackThatDisagreesWithTheSidecar) {
  const std::vector<uint8_t> three = track(3);
  EXPECT_EQ(errorOf([&] {
              (void)decodeBankTrack(three.data(), three.size(), 4, kH, kW, {0, 1, 2, 3});
            }),
            "bank track decoded to 3 frames, expected 4 — geometry/N mismatch, refusing to serve");
  EXPECT_EQ(errorOf([&] {
              (void)decodeBankTrack(three.data(), three.size(), 2, kH, kW, {0, 1});
            }),
            "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve");
  const std::vector<uint8_t> wide = track(2, kW + 2, kH);
  EXPECT_EQ(errorOf([&] {
              (void)decodeBankTrack(wide.data(), wide.size(), 2, kH, kW, {0, 1});
            }),
            "reference bank track is 18x8, the geometry stamp says 16x8 — geometry mismatch, refusing to serve");
  EXPECT_EQ(errorOf([&] {
              (void)decodeBankTrack(three.data(), three.size(), 3, kH, kW, {0, 1});
            }),
            "reference bank sidecar track_order has 2 entries, expected 3 — sidecar/track mismatch, refusing to serve");
  EXPECT_EQ(errorOf([&] {
              (void)decodeBankTrack(three.data(), three.size(), 3, kH, kW, {0, 3, 1});
            }),
            "reference bank track_order is out of range — refusing to serve");
  EXPECT_EQ(errorOf([&] {
              (void)decodeBankTrack(three.data(), three.size(), 3, kH, kW, {0, 2, 2});
            }),
            "reference bank track_order is not a permutation — refusing to serve");
}

TEST(BankDecode, RefusesInputThatIsNoTrack) {
  const std::string text = "this is not a video container at all, just some words that go on for a while";
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(errorOf([&] { (void)decodeBankTrack(p, text.size(), 1, kH, kW, {0}); }),
            "reference bank track is not a readable container — refusing to serve");
  EXPECT_EQ(errorOf([&] { (void)decodeBankTrack(nullptr, 10, 1, kH, kW, {0}); }),
            "reference bank track is empty — refusing to serve");
  EXPECT_EQ(errorOf([&] { (void)decodeBankTrack(p, 0, 1, kH, kW, {0}); }),
            "reference bank track is empty — refusing to serve");
  EXPECT_EQ(errorOf([&] { (void)decodeBankTrack(p, text.size(), 1, 0, kW, {0}); }),
            "reference bank geometry is not positive — refusing to serve");
}

TEST(BankReaderCallbacks, SeekStaysInsideTheDataAndReadEndsWithEof) {
  uint8_t data[100];
  for (int i = 0; i < 100; ++i) data[i] = static_cast<uint8_t>(i);
  BankReader r{data, 100, 0};
  EXPECT_EQ(BankReader::seek(&r, 0, AVSEEK_SIZE), 100);
  EXPECT_EQ(BankReader::seek(&r, 100, SEEK_SET), 100);
  EXPECT_EQ(r.pos, 100);
  uint8_t buf[8];
  EXPECT_EQ(BankReader::read(&r, buf, 8), AVERROR_EOF);
  EXPECT_EQ(BankReader::seek(&r, 40, SEEK_SET), 40);
  EXPECT_EQ(BankReader::seek(&r, 101, SEEK_SET), -1);
  EXPECT_EQ(r.pos, 40);
  EXPECT_EQ(BankReader::seek(&r, 61, SEEK_CUR), -1);
  EXPECT_EQ(BankReader::seek(&r, 60, SEEK_CUR), 100);
  EXPECT_EQ(BankReader::seek(&r, -1, SEEK_END), 99);
  EXPECT_EQ(BankReader::seek(&r, 1, SEEK_END), -1);
  EXPECT_EQ(BankReader::seek(&r, -100, SEEK_END), 0);
  EXPECT_EQ(BankReader::seek(&r, -1, SEEK_SET), -1);
  EXPECT_EQ(BankReader::seek(&r, 97, SEEK_SET), 97);
  EXPECT_EQ(BankReader::read(&r, buf, 8), 3);
  EXPECT_EQ(buf[2], 99);
  EXPECT_EQ(BankReader::read(&r, buf, 8), AVERROR_EOF);
}

TEST(BankDecoderBuild, NamesTheCompiledAndLinkedLibrary) {
  const std::string b = vesk::tessera::bankDecoderBuild();
  EXPECT_EQ(b.rfind("libavcodec ", 0), 0u) << b;
  EXPECT_NE(b.find(" / "), std::string::npos) << b;
}

}  // namespace
