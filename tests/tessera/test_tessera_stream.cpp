// The streaming teeth pass on the generated teeth identity: its own source crops go in with their
// keypoints, each comes back one push later with borrowed teeth written inside its lip region; the
// write-back rules; the construction refusals; and the batch C calls against the pass itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/vesk_half.h"
#include "generated_bundles.h"
#include "tessera/vesk_bundle_tessera.h"
#include "tessera/vesk_tessera.h"
#include "tessera/vesk_tessera_bank.h"
#include "tessera/vesk_tessera_stream.h"
#include "tessera_pass_ref.h"
#include "test_util.h"
#include "vesk/vesk_tessera.h"

namespace {

using vesk::GeometryStamp;
using vesk::tessera::BankData;
using vesk::tessera::FrameResult;
using vesk::tessera::HeadWeights;
using vesk::tessera::ServeConfig;
using vesk::tessera::StreamBorrow;
using vesk::tessera::TeethPass;
using vesk::tessera::UnifiedPi;
using vesk::test::readArray;
using vesk::test::readFile;

// The teeth fixture's members, decoded and read the way a session arms its teeth stage.
struct Fixture {
  std::string dir = vesk::test::bundleDir("teeth");
  vesk::TesseraAttachInputs in = vesk::loadTesseraMembers(dir);
  BankData bank;
  HeadWeights head = vesk::tessera::loadHeadPt(in.head_pt);
  ServeConfig config = ServeConfig::fromHeadMemberJson(in.head_json);
  std::vector<float> xs = readArray<float>(dir + "/xs_target.bin");
  std::vector<float> kp = readArray<float>(dir + "/drive/xs.f32");
  UnifiedPi pi;
  std::string lip = readFile(dir + "/lip_template.v1.json");
  int N = in.stamp.canvas_w;
  std::vector<float> crops;  // NT crops, 3 planes of N x N

  Fixture() {
    const std::string track = readFile(in.bank_track_path);
    std::vector<int> order(in.track_order.begin(), in.track_order.end());
    bank.pixels = vesk::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(),
                                                 in.n_donors, in.band_h, in.band_w, order);
    bank.cent = in.cent;
    bank.c_canon = in.c_canon;
    bank.aperture = in.aperture;
    bank.stamp = in.stamp;
    bank.n_donors = in.n_donors;
    std::string label;
    pi = UnifiedPi::corpusFromManifestJson(in.manifest_json, N, xs.data(), static_cast<int>(xs.size() / 63),
                                           in.c_canon.data(), &label);
    const std::vector<uint16_t> prior = readArray<uint16_t>(dir + "/P.f16");
    crops.resize(prior.size());
    for (size_t i = 0; i < prior.size(); ++i) crops[i] = vesk::half::toFloat(prior[i]);
  }
  int frames() const { return static_cast<int>(crops.size() / (3 * static_cast<size_t>(N) * N)); }
  const float* crop(int i) const { return crops.data() + static_cast<size_t>(i) * 3 * N * N; }
  const float* kps(int i) const { return kp.data() + static_cast<size_t>(i) * 63; }
};

TEST(StreamBorrow, CropsComeBackOneLateWithTeethWrittenInsideTheLipRegion) {
  const Fixture f;
  testing::internal::CaptureStderr();
  StreamBorrow borrow(f.bank, f.head, f.config, f.pi, f.lip);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("[borrow] delivery mask: LIP CONTOUR ("), std::string::npos) << said;
  ASSERT_TRUE(borrow.hasLipContour());
  const int N = f.N, T = f.frames();
  ASSERT_GE(T, 4);
  const size_t plane = static_cast<size_t>(N) * N;
  const GeometryStamp& s = f.in.stamp;

  std::vector<std::vector<uint8_t>> masks;
  FrameResult out;
  int emitted = 0;
  size_t changedTotal = 0;
  auto check = [&](int frame) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    ASSERT_FALSE(out.skipped) << out.reason;
    EXPECT_GT(out.donors, 0);
    // The window outside the frame's own mask is that frame's crop, byte for byte: this is frame
    // `frame`, not the one just pushed.
    std::vector<float> crop(f.crop(frame), f.crop(frame) + 3 * plane);
    const std::vector<float> before = crop;
    StreamBorrow::writeWindowDelta(crop.data(), N, out, s);
    size_t changed = 0;
    for (size_t c = 0; c < 3; ++c)
      for (int y = 0; y < N; ++y)
        for (int x = 0; x < N; ++x) {
          const size_t at = c * plane + static_cast<size_t>(y) * N + x;
          if (crop[at] == before[at]) continue;
          ++changed;
          const bool inWindow =
              y >= s.window_y0 && y < s.window_y0 + s.window_h && x >= s.window_x0 && x < s.window_x0 + s.window_w;
          EXPECT_TRUE(inWindow) << x << "," << y;
          EXPECT_NE(masks[static_cast<size_t>(frame)][static_cast<size_t>(y) * N + x], 0) << x << "," << y;
        }
    changedTotal += changed;
    ++emitted;
  };
  for (int i = 0; i < T; ++i) {
    const bool got = borrow.push(f.crop(i), f.kps(i), &out);
    masks.push_back(borrow.maskScratch());
    EXPECT_EQ(got, i > 0) << i;
    if (got) check(i - 1);
  }
  EXPECT_EQ(borrow.framesPushed(), static_cast<uint32_t>(T));
  ASSERT_TRUE(borrow.flush(&out));
  check(T - 1);
  EXPECT_FALSE(borrow.flush(&out));
  EXPECT_EQ(emitted, T);
  EXPECT_GT(changedTotal, 0u) << "no teeth were borrowed at all";
}

TEST(StreamBorrow, RgbaPushMatchesTheFloatPushAndTheWriteBackSetsAlpha) {
  const Fixture f;
  testing::internal::CaptureStderr();
  StreamBorrow a(f.bank, f.head, f.config, f.pi, "");
  StreamBorrow b(f.bank, f.head, f.config, f.pi, "");
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("[borrow] !!! delivery mask: ELLIPSE — this bundle carries no lip_template.v1.json, so it "
                      "serves the over-covering elliptical mask the contour replaces."),
            std::string::npos)
      << said;
  const int N = f.N;
  const size_t plane = static_cast<size_t>(N) * N;
  FrameResult ra, rb;
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> rgba(plane * 4, 7);
    for (size_t p = 0; p < plane; ++p)
      for (size_t c = 0; c < 3; ++c) {
        const float v = f.crop(i)[c * plane + p];
        rgba[p * 4 + c] = static_cast<uint8_t>(std::nearbyint(std::min(v, 1.0f) * 255.0f));
      }
    const bool ga = a.push(f.crop(i), f.kps(i), &ra);
    const bool gb = b.pushRgba(rgba.data(), f.kps(i), &rb);
    ASSERT_EQ(ga, gb);
    if (!ga) continue;
    EXPECT_EQ(ra.pixels, rb.pixels);
    std::vector<uint8_t> canvas(plane * 4, 9);
    StreamBorrow::writeWindowDeltaRgba(canvas.data(), N, rb, f.in.stamp);
    const GeometryStamp& s = f.in.stamp;
    for (size_t p = 0; p < plane; ++p) ASSERT_EQ(canvas[p * 4 + 3], 255);
    for (int y = 0; y < s.window_h; ++y)
      for (int x = 0; x < s.window_w; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(canvas[(static_cast<size_t>(s.window_y0 + y) * N + s.window_x0 + x) * 4 + c],
                    rb.pixels[(static_cast<size_t>(y) * s.window_w + x) * 3 + c]);
  }
}

GeometryStamp tinyStamp() {
  GeometryStamp s;
  s.canvas_w = s.canvas_h = 16;
  s.window_x0 = 4, s.window_y0 = 6, s.window_w = 4, s.window_h = 2;
  s.pad = 1, s.band_r0 = 0, s.band_r1 = 2, s.band_c0 = 0, s.band_c1 = 4, s.shift_margin = 0;
  return s;
}

TEST(StreamBorrow, WriteBackKeepsSubByteDetailClampsAndRefusesAWrongWindow) {
  const GeometryStamp s = tinyStamp();
  const int N = 16;
  const size_t plane = 256;
  std::vector<float> crop(3 * plane, 0.25f);
  FrameResult r;
  r.pixels.assign(4 * 2 * 3, 0);
  r.pixels[0] = 255;  // (0, 0) red: the crop there is 1.2
  r.pixels[3] = 64;   // (1, 0) red: the crop there is 0.2505, byte 64: unchanged
  r.pixels[6] = 70;   // (2, 0) red: 6 bytes up from 64
  const size_t at0 = 6 * N + 4;
  crop[at0] = 1.2f;
  crop[at0 + 1] = 0.2505f;
  crop[at0 + 2] = 0.2505f;
  std::vector<float> before = crop;
  r.skipped = true;
  StreamBorrow::writeWindowDelta(crop.data(), N, r, s);
  EXPECT_EQ(crop, before);
  r.skipped = false;
  StreamBorrow::writeWindowDelta(crop.data(), N, r, s);
  EXPECT_EQ(crop[at0], 1.0f);
  EXPECT_EQ(crop[at0 + 1], 0.2505f);
  EXPECT_NEAR(crop[at0 + 2], 0.2505f + 6.0f / 255.0f, 1e-6);
  // Green at (0, 0): byte 0 written over 0.25 (byte 64) goes just below 0 and is clamped.
  EXPECT_EQ(crop[plane + at0], 0.0f);
  // Outside the window nothing moves.
  EXPECT_EQ(crop[at0 - 1], 0.25f);

  r.pixels.pop_back();
  try {
    StreamBorrow::writeWindowDelta(crop.data(), N, r, s);
    ADD_FAILURE() << "short window written";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "teeth stream: window 23 bytes does not match the stamp window 4x2 — refusing to write back");
  }
  std::vector<uint8_t> rgba(plane * 4, 3);
  EXPECT_THROW(StreamBorrow::writeWindowDeltaRgba(rgba.data(), N, r, s), std::runtime_error);
  EXPECT_EQ(rgba[3], 255) << "alpha is set before the size check";
}

TEST(StreamBorrow, RefusesNonSquareCanvasesAndAPiOfAnotherCanvas) {
  BankData b;
  b.stamp = tinyStamp();
  b.n_donors = 1;
  b.pixels.assign(static_cast<size_t>(b.stamp.bandH() * b.stamp.bandW() * 3), 100);
  b.cent = {6.0, 7.0};
  b.c_canon = {6.0, 7.0};
  b.aperture = {1.0};
  HeadWeights h;
  h.cand0_w.assign(16 * 7 * 9, 0), h.cand0_b.assign(16, 0), h.cand2_w.assign(16 * 16 * 9, 0);
  h.cand2_b.assign(16, 0), h.cand4_w.assign(16 * 9, 0), h.cand4_b.assign(1, 0);
  const std::vector<int32_t> lips = {6, 12, 14, 17, 19, 20};
  auto refusal = [&](const BankData& bank, const UnifiedPi& pi, const std::string& lip) -> std::string {
    try {
      testing::internal::CaptureStderr();
      StreamBorrow s(bank, h, ServeConfig{}, pi, lip);
      testing::internal::GetCapturedStderr();
    } catch (const std::runtime_error& e) {
      testing::internal::GetCapturedStderr();
      return e.what();
    }
    return "(built)";
  };
  const UnifiedPi pi16(16, false, 1.0f, lips, 0.1f, 0.08f, 0.074f);
  EXPECT_EQ(refusal(b, pi16, ""), "(built)");
  BankData tall = b;
  tall.stamp.canvas_h = 15;
  EXPECT_EQ(refusal(tall, pi16, ""), "teeth stream: non-square compose canvas 16x15 — vesk_core renders a square crop");
  const UnifiedPi pi32(32, false, 1.0f, lips, 0.1f, 0.08f, 0.074f);
  EXPECT_EQ(refusal(b, pi32, ""),
            "teeth stream: manifest pi canvas 32 != bank compose canvas 16 — refusing to compose a mouth on a canvas "
            "the stamp does not name");
  EXPECT_EQ(refusal(b, pi16, "{").rfind("lip_template.v1.json: ", 0), 0u);
  BankData bad = b;
  bad.stamp.pad = 0;
  EXPECT_EQ(refusal(bad, pi16, ""), "teeth: GeometryStamp incoherent: pad/shift_margin must be positive;");
}

// The fixture's crops as RGB canvases with their compose masks, for the batch calls.
struct Batch {
  std::vector<uint8_t> frames, masks;
};

Batch batchOf(const Fixture& f, int count) {
  Batch b;
  const size_t plane = static_cast<size_t>(f.N) * f.N;
  b.frames.resize(count * plane * 3);
  b.masks.resize(count * plane);
  for (int i = 0; i < count; ++i) {
    for (size_t p = 0; p < plane; ++p)
      for (size_t c = 0; c < 3; ++c) {
        const float v = f.crop(i)[c * plane + p];
        b.frames[(i * plane + p) * 3 + c] = static_cast<uint8_t>(std::nearbyint(std::min(v, 1.0f) * 255.0f));
      }
    f.pi.piU8(f.kps(i), b.masks.data() + i * plane);
  }
  return b;
}

TEST(TesseraRunCall, WritesTheWindowsThePassEmitsInFrameOrder) {
  const Fixture f;
  const int count = f.frames();
  Batch in = batchOf(f, count);
  const size_t plane = static_cast<size_t>(f.N) * f.N;
  std::fill(in.masks.begin(), in.masks.begin() + static_cast<ptrdiff_t>(plane), 0);  // frame 0: no mouth
  const GeometryStamp& s = f.in.stamp;
  const size_t win = static_cast<size_t>(s.window_w) * s.window_h * 3;
  const std::array<int32_t, 12> stamp = s.values();

  // The same frames through the pass itself.
  TeethPass pass(f.bank, f.head, f.config);
  std::vector<FrameResult> want;
  FrameResult r;
  for (int i = 0; i < count; ++i)
    if (pass.push(i, in.frames.data() + i * plane * 3, in.masks.data() + i * plane, nullptr, &r)) want.push_back(r);
  ASSERT_TRUE(pass.flush(&r));
  want.push_back(r);
  ASSERT_EQ(want.size(), static_cast<size_t>(count));

  std::vector<uint8_t> windows(count * win, 0xAB);
  std::vector<int32_t> skipped(static_cast<size_t>(count), -1);
  char err[256] = "junk";
  ASSERT_EQ(
      vesk_tessera_run(f.bank.pixels.data(), f.in.n_donors, f.in.cent.data(), f.in.c_canon.data(), f.in.aperture.data(),
                       stamp.data(), f.in.head_pt.data(), static_cast<int>(f.in.head_pt.size()), f.in.head_json.c_str(),
                       in.frames.data(), in.masks.data(), count, windows.data(), skipped.data(), err, sizeof err),
      0)
      << err;
  EXPECT_STREQ(err, "");
  EXPECT_EQ(skipped[0], 1);
  for (size_t i = 0; i < win; ++i) ASSERT_EQ(windows[i], 0xAB) << "a skipped slot is left as it was";
  for (int i = 1; i < count; ++i) {
    EXPECT_EQ(skipped[static_cast<size_t>(i)], 0) << i;
    EXPECT_EQ(std::vector<uint8_t>(windows.begin() + static_cast<ptrdiff_t>(i * win),
                                   windows.begin() + static_cast<ptrdiff_t>((i + 1) * win)),
              want[static_cast<size_t>(i)].pixels)
        << i;
  }

  // Given shifts: (-10000, x) derives the frame's own; a shift beyond the pad skips the frame.
  std::vector<int32_t> shifts(2 * static_cast<size_t>(count), -10000);
  shifts[2] = s.pad + 1, shifts[3] = 0;
  std::fill(skipped.begin(), skipped.end(), -1);
  std::vector<uint8_t> again(count * win, 0xAB);
  ASSERT_EQ(vesk_tessera_run_shift(
                f.bank.pixels.data(), f.in.n_donors, f.in.cent.data(), f.in.c_canon.data(), f.in.aperture.data(),
                stamp.data(), f.in.head_pt.data(), static_cast<int>(f.in.head_pt.size()), f.in.head_json.c_str(),
                in.frames.data(), in.masks.data(), shifts.data(), count, again.data(), skipped.data(), err, sizeof err),
            0)
      << err;
  EXPECT_EQ(skipped[0], 1);
  EXPECT_EQ(skipped[1], 1);
  EXPECT_EQ(skipped[2], 0);

  // count 0 writes nothing; a broken stamp comes back as the pass's refusal.
  std::vector<uint8_t> none(4, 0x11);
  int32_t noneSkipped = 7;
  EXPECT_EQ(
      vesk_tessera_run(f.bank.pixels.data(), f.in.n_donors, f.in.cent.data(), f.in.c_canon.data(), f.in.aperture.data(),
                       stamp.data(), f.in.head_pt.data(), static_cast<int>(f.in.head_pt.size()), f.in.head_json.c_str(),
                       nullptr, nullptr, 0, none.data(), &noneSkipped, err, sizeof err),
      0);
  EXPECT_EQ(none, std::vector<uint8_t>(4, 0x11));
  EXPECT_EQ(noneSkipped, 7);
  std::array<int32_t, 12> broken = stamp;
  broken[6] = 0;  // pad
  EXPECT_EQ(vesk_tessera_run(f.bank.pixels.data(), f.in.n_donors, f.in.cent.data(), f.in.c_canon.data(),
                             f.in.aperture.data(), broken.data(), f.in.head_pt.data(),
                             static_cast<int>(f.in.head_pt.size()), f.in.head_json.c_str(), in.frames.data(),
                             in.masks.data(), count, windows.data(), skipped.data(), err, sizeof err),
            1);
  EXPECT_EQ(std::string(err).rfind("teeth: GeometryStamp incoherent: pad/shift_margin must be positive;", 0), 0u)
      << err;
}

TEST(TeethPassOnTheBank, EachSourceFrameFindsItsOwnMouthFirstAndEmissionsMatchTheReference) {
  const Fixture f;
  const int count = f.frames();
  const Batch in = batchOf(f, count);
  const size_t plane = static_cast<size_t>(f.N) * f.N;
  TeethPass pass(f.bank, f.head, f.config);
  vesk::test::teethref::Pass ref(f.bank, f.head, f.config);
  FrameResult got, want;
  for (int i = 0; i < count; ++i) {
    const std::vector<uint8_t> rgb(in.frames.begin() + static_cast<ptrdiff_t>(i * plane * 3),
                                   in.frames.begin() + static_cast<ptrdiff_t>((i + 1) * plane * 3));
    const std::vector<uint8_t> mask(in.masks.begin() + static_cast<ptrdiff_t>(i * plane),
                                    in.masks.begin() + static_cast<ptrdiff_t>((i + 1) * plane));
    // Frame i of the identity is the crop donor i was cut from, so its own patch matches exactly.
    int dy = 0, dx = 0;
    std::string why;
    ASSERT_TRUE(pass.deriveShift(mask.data(), nullptr, &dy, &dx, &why)) << why;
    TeethPass fresh(f.bank, f.head, f.config);
    const int best = fresh.retrieve(rgb.data(), mask.data(), dy, dx)[0];
    const size_t patch = f.bank.pixels.size() / static_cast<size_t>(count);
    const auto donor = [&](int d) { return f.bank.pixels.begin() + static_cast<ptrdiff_t>(d * patch); };
    EXPECT_TRUE(best == i ||
                (std::equal(donor(best), donor(best) + static_cast<ptrdiff_t>(patch), donor(i)) &&
                 f.bank.cent[2 * best] == f.bank.cent[2 * i] && f.bank.cent[2 * best + 1] == f.bank.cent[2 * i + 1]))
        << "frame " << i << " ranks donor " << best << " first";

    const bool g = pass.push(i, rgb.data(), mask.data(), nullptr, &got);
    const bool w = ref.push(i, rgb, mask, nullptr, &want);
    ASSERT_EQ(g, w);
    if (!g) continue;
    EXPECT_EQ(got.donors, want.donors) << i;
    EXPECT_EQ(got.pixels, want.pixels) << i;
    EXPECT_EQ(pass.stickySet(), ref.sticky) << i;
  }
  ASSERT_TRUE(pass.flush(&got));
  ASSERT_TRUE(ref.flush(&want));
  EXPECT_EQ(got.pixels, want.pixels);
}

}  // namespace
