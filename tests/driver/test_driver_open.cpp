// Choosing a bundle's driver video and warp prior, with the lines and refusals that go with it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alloc_watch.h"
#include "test_util.h"

#include <functional>

#include "bundle/vesk_bundle.h"
#include "driver/driver_test_media.h"
#include "driver/vesk_driver.h"
#include "driver/vesk_driver_ff.h"
#include "render/vesk_bundle_video.h"

namespace vesk {
using vesk::test::errorOf;

namespace {

using namespace testmedia;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr int kW = 64, kH = 48, kNT = 6;

Manifest bundleAt(const std::string& dir, const std::string& extra_keys = "") {
  const std::string text = "{\"format\": \"vesk-bundle-v0\"" + extra_keys + "}";
  writeText(dir + "/manifest.json", text);
  Manifest m;
  m.prior_video = manifestStringOr(text, "P_hevc", "");
  m.driver_frames = manifestStringOr(text, "target_frames", m.driver_frames);
  m.driver_video = manifestStringOr(text, "target_frames_mp4", m.driver_video);
  m.dir = dir;
  m.NT = kNT;
  m.W = kW;
  m.H = kH;
  m.M_src_w = kW;
  m.M_src_h = kH;
  m.crop = 32;
  return m;
}

void makeJpgDir(const std::string& dir, int frames) {
  sh("mkdir -p '" + dir + "' && ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=64x48 "
     "-frames:v " + std::to_string(frames) + " -start_number 0 '" + dir + "/frame_%06d.jpg'");
}

std::string captured(const std::function<void()>& f) {
  ::testing::internal::CaptureStderr();
  try {
    f();
  } catch (...) {
    ::testing::internal::GetCapturedStderr();
    throw;
  }
  return ::testing::internal::GetCapturedStderr();
}

TEST(DriverOpen, PopulatedJpegDirectoryIsReadOnePerPull) {
  const std::string dir = scratchDir("open_jpg");
  makeJpgDir(dir + "/target_frames", kNT);
  const Manifest m = bundleAt(dir);
  ScopedEnv env("VESK_DRIVER_PREFER_MP4", nullptr);
  std::unique_ptr<DriverCursor> cur;
  EXPECT_EQ(captured([&] { cur = openDriverVideo(m, 2, 11); }),
            "[vesk-driver] target_frames/ (raw jpg, 6 frames) — read one frame per pull\n");
  EXPECT_EQ(cur->name(), "jpg/stb");
  std::vector<uint8_t> f(kW * kH * 3);
  EXPECT_EQ(cur->pull(f.data()), 0);
}

TEST(DriverOpen, AJpegDirectoryOfAnotherSizeIsRefusedBeforeTheRingIsMade) {
  // A manifest that declares an 8000x8000 canvas over 64x48 frames would have the cursor zero-fill
  // 14 frames of 192 MB before the first decode could say so.
  const std::string dir = scratchDir("open_jpg_hostile");
  makeJpgDir(dir + "/target_frames", kNT);
  Manifest m = bundleAt(dir);
  m.W = 8000;
  m.H = 8000;
  ScopedEnv env("VESK_DRIVER_PREFER_MP4", nullptr);
  vesk::test::AllocationLimit limit(64u << 20);
  EXPECT_EQ(errorOf([&] { captured([&] { openDriverVideo(m, 2, 11); }); }),
            "vesk_driver: " + dir +
                "/target_frames/frame_000000.jpg is 64x48, the manifest says 8000x8000 — refusing");
  EXPECT_EQ(limit.refused(), 0u);
}

TEST(DriverOpen, DirectoryMissingItsLastFrameIsNotPopulated) {
  const std::string dir = scratchDir("open_partial");
  makeJpgDir(dir + "/target_frames", kNT - 1);
  const Manifest m = bundleAt(dir);
  makeH264(dir + "/target_frames.mp4", kW, kH, kNT);
  ScopedEnv env("VESK_DRIVER_HWDEC", "0");
  std::unique_ptr<DriverCursor> cur;
  const std::string err = captured([&] { cur = openDriverVideo(m, 2, 11); });
  EXPECT_THAT(cur->name(), StartsWith("mp4/libavcodec"));
  EXPECT_THAT(err, HasSubstr("[vesk-driver] target_frames.mp4 decoded IN PLACE (" + cur->name() +
                             ", 6 frames 64x48, look-ahead 2, history 11) — no frame of the driver is expanded ahead "
                             "of the paste\n"));
}

TEST(DriverOpen, PreferMp4ReadsTheVideoAndSaysTheDirectoryIsNotUsed) {
  const std::string dir = scratchDir("open_prefer");
  makeJpgDir(dir + "/target_frames", kNT);
  makeH264(dir + "/target_frames.mp4", kW, kH, kNT);
  const Manifest m = bundleAt(dir);
  ScopedEnv env("VESK_DRIVER_PREFER_MP4", "1");
  ScopedEnv hw("VESK_DRIVER_HWDEC", "0");
  std::unique_ptr<DriverCursor> cur;
  const std::string err = captured([&] { cur = openDriverVideo(m, 0, -1); });
  EXPECT_THAT(cur->name(), StartsWith("mp4/libavcodec"));
  EXPECT_THAT(err, StartsWith("[vesk-driver] VESK_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; "
                              "target_frames.mp4 is the member this consumer reads\n"));
  // The line names the windows the cursor really has.
  EXPECT_THAT(err, HasSubstr("look-ahead 1, history 0)"));

  // "1 " is not "1".
  ScopedEnv loose("VESK_DRIVER_PREFER_MP4", "1 ");
  EXPECT_THAT(captured([&] { cur = openDriverVideo(m, 2, 11); }), HasSubstr("(raw jpg, 6 frames)"));
}

TEST(DriverOpen, PreferMp4WithoutTheVideoReadsTheDirectory) {
  const std::string dir = scratchDir("open_prefer_nomp4");
  makeJpgDir(dir + "/target_frames", kNT);
  const Manifest m = bundleAt(dir);
  ScopedEnv env("VESK_DRIVER_PREFER_MP4", "1");
  std::unique_ptr<DriverCursor> cur;
  EXPECT_EQ(captured([&] { cur = openDriverVideo(m, 2, 11); }),
            "[vesk-driver] target_frames/ (raw jpg, 6 frames) — read one frame per pull\n");
  EXPECT_EQ(cur->name(), "jpg/stb");
}

TEST(DriverOpen, ManifestNamesTheMembers) {
  const std::string dir = scratchDir("open_named");
  makeJpgDir(dir + "/frames_raw", kNT);
  makeH264(dir + "/driver.mp4", kW, kH, kNT);
  const Manifest m =
      bundleAt(dir, ", \"target_frames\": \"frames_raw\", \"target_frames_mp4\": \"driver.mp4\"");
  ScopedEnv env("VESK_DRIVER_PREFER_MP4", nullptr);
  std::unique_ptr<DriverCursor> cur;
  EXPECT_EQ(captured([&] { cur = openDriverVideo(m, 2, 11); }),
            "[vesk-driver] frames_raw/ (raw jpg, 6 frames) — read one frame per pull\n");
  ScopedEnv prefer("VESK_DRIVER_PREFER_MP4", "1");
  ScopedEnv hw("VESK_DRIVER_HWDEC", "0");
  EXPECT_THAT(captured([&] { cur = openDriverVideo(m, 2, 11); }),
              HasSubstr("frames_raw/ is populated and NOT used; driver.mp4 is the member"));
}

TEST(DriverOpen, NoDriverVideoIsRefused) {
  const std::string dir = scratchDir("open_none");
  const Manifest m = bundleAt(dir);
  EXPECT_EQ(errorOf([&] { openDriverVideo(m, 2, 11); }),
            "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" + dir +
                "/target_frames.mp4) — there is no driver video to play. REFUSING to create a session.");
}

TEST(DriverOpen, WrongVideoIsRefusedWithTheSourceMessage) {
  const std::string dir = scratchDir("open_wrong");
  makeH264(dir + "/target_frames.mp4", kW, kH, kNT + 1);
  const Manifest m = bundleAt(dir);
  ScopedEnv hw("VESK_DRIVER_HWDEC", "0");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(errorOf([&] { openDriverVideo(m, 2, 11); }),
            "vesk_driver: " + dir + "/target_frames.mp4 carries 7 frames, the manifest says NT=6 — member/manifest "
                                    "mismatch, refusing");
  ::testing::internal::GetCapturedStderr();
}

TEST(PriorOpen, PlaysTheHevcPriorAndSaysSo) {
  const std::string dir = scratchDir("prior_open");
  makePriorHevc(dir + "/P_hevc.mov", 32, kNT);
  const Manifest m = bundleAt(dir);
  ScopedEnv hw("VESK_DRIVER_HWDEC", nullptr);
  std::unique_ptr<DriverCursor> cur;
  const std::string err = captured([&] { cur = openPriorVideo(m, 2, 11); });
  EXPECT_THAT(cur->name(), StartsWith("hevc444/libavcodec"));
  EXPECT_THAT(err, HasSubstr("Zentrova: identity source ready — 6 frames 32x32, played straight from P_hevc.mov (" +
                             cur->name() + "); nothing is unpacked to disk\n"));
  EXPECT_EQ(cur->frameBytes(), 32 * 32 * 6);
}

TEST(PriorOpen, NamedAndAliasedPriors) {
  const std::string dir = scratchDir("prior_named");
  makePriorHevc(dir + "/source_frames.hevc", 32, kNT);
  std::unique_ptr<DriverCursor> cur;
  // The default name finds its unified-layout alias.
  EXPECT_THAT(captured([&] { cur = openPriorVideo(bundleAt(dir), 2, 11); }),
              HasSubstr("played straight from P_hevc.mov ("));
  const Manifest named = bundleAt(dir, ", \"P_hevc\": \"prior.mov\"");
  EXPECT_EQ(errorOf([&] { openPriorVideo(named, 2, 11); }),
            "this bundle carries neither a raw P.f16 nor prior.mov (" + dir +
                "/prior.mov) — there is no warp prior to play. REFUSING to create a session.");
}

TEST(PriorOpen, MissingPriorIsRefused) {
  const std::string dir = scratchDir("prior_none");
  EXPECT_EQ(errorOf([&] { openPriorVideo(bundleAt(dir), 2, 11); }),
            "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + dir +
                "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session.");
}

}  // namespace
}  // namespace vesk
