// Frame sources: JPEG directories, driver MP4s and HEVC 4:4:4 priors, checked bit for bit against
// what the ffmpeg command line decodes from the same files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alloc_watch.h"
#include "test_util.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "core/vesk_image.h"
#include "driver/driver_test_media.h"
#include "driver/vesk_driver.h"
#include "driver/vesk_driver_ff.h"

namespace vesk {
using vesk::test::errorOf;

namespace {

using namespace testmedia;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kW = 64, kH = 48, kNT = 24;

class Mp4Source : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(scratchDir("mp4src"));
    mp4_ = new std::string(*dir_ + "/drv.mp4");
    makeH264(*mp4_, kW, kH, kNT);
    const std::vector<uint8_t> yuv = cliDecode(*mp4_, "yuv420p");
    const size_t fsz = static_cast<size_t>(kW) * kH * 3 / 2;
    ASSERT_EQ(yuv.size(), fsz * kNT);
    ref_ = new std::vector<std::vector<uint8_t>>();
    for (int i = 0; i < kNT; ++i) ref_->push_back(yuv420ToRgb(yuv.data() + fsz * i, kW, kH));
  }
  static void TearDownTestSuite() {
    delete ref_;
    delete mp4_;
    delete dir_;
  }
  static std::string* dir_;
  static std::string* mp4_;
  static std::vector<std::vector<uint8_t>>* ref_;
};
std::string* Mp4Source::dir_ = nullptr;
std::string* Mp4Source::mp4_ = nullptr;
std::vector<std::vector<uint8_t>>* Mp4Source::ref_ = nullptr;

TEST_F(Mp4Source, DecodesEveryFrameBitExactThenEnds) {
  auto src = driver::openMp4(*mp4_, kNT, kW, kH);
  EXPECT_EQ(src->frameBytes(), kW * kH * 3);
  std::vector<uint8_t> f(static_cast<size_t>(src->frameBytes()));
  for (int i = 0; i < kNT; ++i) {
    ASSERT_TRUE(src->next(f.data())) << i;
    ASSERT_EQ(f, (*ref_)[i]) << "frame " << i;
  }
  EXPECT_FALSE(src->next(f.data()));
  EXPECT_FALSE(src->next(f.data()));
  src->rewind();
  ASSERT_TRUE(src->next(f.data()));
  EXPECT_EQ(f, (*ref_)[0]);
}

TEST_F(Mp4Source, NameAndResidentBytes) {
  auto src = driver::openMp4(*mp4_, kNT, kW, kH);
  const std::string name = src->name();
  EXPECT_THAT(name, StartsWith("mp4/libavcodec" + driver::builtLibavcodecVersion() + " "));
  EXPECT_THAT(name, ::testing::AnyOf(::testing::EndsWith(" h264"), ::testing::EndsWith(" h264_cuvid")));
  std::vector<uint8_t> f(static_cast<size_t>(src->frameBytes()));
  ASSERT_TRUE(src->next(f.data()));
  auto* ff = dynamic_cast<driver::FfSource*>(src.get());
  ASSERT_NE(ff, nullptr);
  EXPECT_GT(ff->maxPacket(), 0);
  const int64_t per = kW * kH * 3 / 2;
  const int64_t held = name.ends_with(" h264") ? 4 + 5 : 1 + 5;
  EXPECT_EQ(src->residentBytes(), per * held + ff->maxPacket());
}

TEST_F(Mp4Source, SeeksBackAndForward) {
  auto src = driver::openMp4(*mp4_, kNT, kW, kH);
  std::vector<uint8_t> f(static_cast<size_t>(src->frameBytes()));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(src->next(f.data()));
  src->seek(5);  // behind: back to the start, then 5 frames decoded through
  ASSERT_TRUE(src->next(f.data()));
  EXPECT_EQ(f, (*ref_)[5]);
  for (int i = 6; i < 10; ++i) ASSERT_TRUE(src->next(f.data()));
  src->seek(12);  // ahead: decoded through
  ASSERT_TRUE(src->next(f.data()));
  EXPECT_EQ(f, (*ref_)[12]);
  src->seek(kNT - 1);
  ASSERT_TRUE(src->next(f.data()));
  EXPECT_EQ(f, (*ref_)[kNT - 1]);
  EXPECT_FALSE(src->next(f.data()));
  src->seek(0);  // after the end of the stream
  ASSERT_TRUE(src->next(f.data()));
  EXPECT_EQ(f, (*ref_)[0]);
  EXPECT_EQ(errorOf([&] { src->seek(kNT); }), "vesk_driver: seek outside the member");
  EXPECT_EQ(errorOf([&] { src->seek(-1); }), "vesk_driver: seek outside the member");
}

TEST_F(Mp4Source, RefusesOtherSizesAndCounts) {
  EXPECT_EQ(errorOf([&] { driver::openMp4(*mp4_, kNT, 32, kH); }),
            "vesk_driver: " + *mp4_ + " is 64x48, the manifest says 32x48 — refusing to rescale the driver");
  EXPECT_EQ(errorOf([&] { driver::openMp4(*mp4_, kNT - 1, kW, kH); }),
            "vesk_driver: " + *mp4_ + " carries 24 frames, the manifest says NT=23 — member/manifest mismatch, refusing");
  EXPECT_EQ(errorOf([&] { driver::openMp4(*mp4_, kNT + 1, kW, kH); }),
            "vesk_driver: " + *mp4_ + " carries 24 frames, the manifest says NT=25 — member/manifest mismatch, refusing");
}

TEST_F(Mp4Source, RefusesWhatIsNotAVideoContainer) {
  const std::string junk = *dir_ + "/junk.mp4";
  writeText(junk, "this is not a video");
  EXPECT_EQ(errorOf([&] { driver::openMp4(junk, kNT, kW, kH); }),
            "vesk_driver: " + junk + " is not a readable container");
  EXPECT_EQ(errorOf([&] { driver::openMp4(*dir_ + "/absent.mp4", kNT, kW, kH); }),
            "vesk_driver: " + *dir_ + "/absent.mp4 is not a readable container");
  const std::string audio = *dir_ + "/tone.m4a";
  sh("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i sine=duration=0.2 -c:a aac '" + audio + "'");
  EXPECT_EQ(errorOf([&] { driver::openMp4(audio, kNT, kW, kH); }), "vesk_driver: " + audio + " has no video stream");
}

TEST_F(Mp4Source, UnknownFrameCountOpensAndNv12Converts) {
  // Matroska states no frame count; raw nv12 exercises the interleaved chroma path.
  const std::string mkv = *dir_ + "/nv12.mkv";
  makeVideo(mkv, kW, kH, 6, "-c:v rawvideo -pix_fmt nv12");
  auto src = driver::openMp4(mkv, 99, kW, kH);
  const std::vector<uint8_t> yuv = cliDecode(mkv, "yuv420p");
  const size_t fsz = static_cast<size_t>(kW) * kH * 3 / 2;
  std::vector<uint8_t> f(static_cast<size_t>(src->frameBytes()));
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(src->next(f.data()));
    EXPECT_EQ(f, yuv420ToRgb(yuv.data() + fsz * i, kW, kH)) << i;
  }
  EXPECT_FALSE(src->next(f.data()));
}

TEST_F(Mp4Source, RefusesPixelDomainsItWasNotWrittenFor) {
  const std::string p422 = *dir_ + "/p422.mp4";
  makeVideo(p422, kW, kH, 4, "-c:v libx264 -preset ultrafast -pix_fmt yuv422p");
  const std::string p10 = *dir_ + "/p10.mp4";
  makeVideo(p10, kW, kH, 4, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p10le");
  const std::string tail =
      ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — refusing rather than pasting "
      "onto a different pixel domain";
  std::vector<uint8_t> f(kW * kH * 3);
  auto a = driver::openMp4(p422, 4, kW, kH);
  EXPECT_EQ(errorOf([&] { a->next(f.data()); }), "vesk_driver: " + p422 + " decoded to yuv422p" + tail);
  auto b = driver::openMp4(p10, 4, kW, kH);
  EXPECT_EQ(errorOf([&] { b->next(f.data()); }), "vesk_driver: " + p10 + " decoded to yuv420p10le" + tail);
}

TEST_F(Mp4Source, ContainerCutShortEndsEarlyWithoutCrashing) {
  const std::string whole = *dir_ + "/whole.mp4";
  makeH264(whole, kW, kH, kNT, "-movflags +faststart");
  std::vector<uint8_t> bytes = readFile(whole);
  const std::string cut = *dir_ + "/cut.mp4";
  writeFile(cut, bytes.data(), bytes.size() * 2 / 3);
  auto src = driver::openMp4(cut, kNT, kW, kH);
  std::vector<uint8_t> f(static_cast<size_t>(src->frameBytes()));
  int got = 0;
  std::string err;
  try {
    while (src->next(f.data())) ++got;
  } catch (const std::exception& e) {
    err = e.what();
  }
  EXPECT_LT(got, kNT);
  if (!err.empty()) {
    EXPECT_THAT(err, StartsWith("vesk_driver: " + cut));
  }
  EXPECT_THAT(errorOf([&] { src->seek(kNT - 1); }), StartsWith("vesk_driver: " + cut));
}

TEST(HwDecode, DisabledByEnvironmentEvenForAPrior) {
  const std::string dir = scratchDir("hwdec");
  const std::string mp4 = dir + "/d.mp4", hevc = dir + "/p.mov";
  makeH264(mp4, kW, kH, 3);
  makePriorHevc(hevc, 16, 3);
  ScopedEnv env("VESK_DRIVER_HWDEC", "0");
  const std::string line =
      "[vesk-driver] VESK_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one decoder on this "
      "fleet (same samples)\n";
  ::testing::internal::CaptureStderr();
  auto a = driver::openMp4(mp4, 3, kW, kH);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), line);
  EXPECT_THAT(a->name(), ::testing::EndsWith(" h264"));
  ::testing::internal::CaptureStderr();
  auto b = driver::openPriorHevc(hevc, 3, 16);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), line);
}

TEST(HwDecode, FallsBackToSoftwareWithOneLineWhenCuvidRefuses) {
  const std::string dir = scratchDir("hwfallback");
  const std::string mp4 = dir + "/d.mp4";
  makeH264(mp4, kW, kH, 3);
  ScopedEnv env("VESK_DRIVER_HWDEC", nullptr);
  ::testing::internal::CaptureStderr();
  auto src = driver::openMp4(mp4, 3, kW, kH);
  const std::string err = ::testing::internal::GetCapturedStderr();
  if (src->name().ends_with(" h264_cuvid")) {
    EXPECT_EQ(err, "");
  } else if (avcodec_find_decoder_by_name("h264_cuvid")) {
    // FFmpeg may log its own reasons around it; ours is one line.
    EXPECT_THAT(err, HasSubstr("[vesk-driver] h264_cuvid refused " + mp4 +
                                   " — falling back to the software h264 decoder (same samples, more CPU)\n"));
    EXPECT_THAT(src->name(), ::testing::EndsWith(" h264"));
  } else {
    EXPECT_THAT(err, ::testing::Not(HasSubstr("[vesk-driver]")));
  }
}

class PriorSource : public ::testing::Test {
 protected:
  static constexpr int kSide = 32, kFrames = 10;
};

TEST_F(PriorSource, DecodesPlanarHalvesBitExact) {
  const std::string dir = scratchDir("prior");
  const std::string hevc = dir + "/P_hevc.mov";
  makePriorHevc(hevc, kSide, kFrames);
  auto src = driver::openPriorHevc(hevc, kFrames, kSide);
  EXPECT_EQ(src->frameBytes(), kSide * kSide * 6);
  EXPECT_THAT(src->name(), StartsWith("hevc444/libavcodec" + driver::builtLibavcodecVersion() + " hevc"));
  const std::vector<uint8_t> yuv = cliDecode(hevc, "yuv444p");
  const size_t fsz = static_cast<size_t>(kSide) * kSide * 3;
  ASSERT_EQ(yuv.size(), fsz * kFrames);
  std::vector<uint16_t> f(static_cast<size_t>(kSide) * kSide * 3);
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(f.data())));
    ASSERT_EQ(f, yuv444ToPlanarHalf(yuv.data() + fsz * i, kSide)) << i;
  }
  EXPECT_FALSE(src->next(reinterpret_cast<uint8_t*>(f.data())));
  EXPECT_EQ(src->residentBytes(),
            static_cast<int64_t>(kSide) * kSide * 3 * 9 + dynamic_cast<driver::FfSource&>(*src).maxPacket());
}

TEST_F(PriorSource, WhiteIsExactlyOne) {
  const std::string dir = scratchDir("prior_white");
  const std::string hevc = dir + "/white.mov";
  makeVideo(hevc, kSide, kSide, 2,
            "-c:v libx265 -preset ultrafast -x265-params log-level=error:lossless=1 -pix_fmt yuv444p", "color=c=white");
  const std::vector<uint8_t> yuv = cliDecode(hevc, "yuv444p");
  ASSERT_EQ(yuv[0], 235);
  ASSERT_EQ(yuv[kSide * kSide], 128);
  auto src = driver::openPriorHevc(hevc, 2, kSide);
  std::vector<uint16_t> f(static_cast<size_t>(kSide) * kSide * 3);
  ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(f.data())));
  for (uint16_t v : f) ASSERT_EQ(v, 0x3C00);
}

TEST_F(PriorSource, RefusesASubsampledPrior) {
  const std::string dir = scratchDir("prior420");
  const std::string hevc = dir + "/P420.mov";
  makePriorHevc(hevc, kSide, 3, "testsrc2", "yuv420p");
  auto src = driver::openPriorHevc(hevc, 3, kSide);
  std::vector<uint16_t> f(static_cast<size_t>(kSide) * kSide * 3);
  EXPECT_EQ(errorOf([&] { src->next(reinterpret_cast<uint8_t*>(f.data())); }),
            "vesk_driver: " + hevc +
                " decoded to yuv420p, not the yuv444p a warp prior is authored in — a subsampled prior is a different "
                "mouth, refusing");
}

TEST(JpgDirSource, ReadsNumberedFramesAndRefusesOthers) {
  const std::string dir = scratchDir("jpg");
  sh("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 4 "
     "-start_number 0 '" + dir + "/frame_%06d.jpg'");
  auto src = driver::openJpgDir(dir, 4, kW, kH);
  EXPECT_EQ(src->name(), "jpg/stb");
  EXPECT_EQ(src->residentBytes(), 0);
  EXPECT_EQ(src->frameBytes(), kW * kH * 3);
  std::vector<uint8_t> f(kW * kH * 3);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(src->next(f.data()));
    int w = 0, h = 0;
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
    EXPECT_EQ(f, loadImageRGB(dir + name, &w, &h));
  }
  EXPECT_FALSE(src->next(f.data()));
  src->seek(2);
  ASSERT_TRUE(src->next(f.data()));
  EXPECT_EQ(errorOf([&] { src->seek(4); }), "vesk_driver: seek outside the member");

  // A frame of another size, then one stb cannot decode.
  sh("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=32x48 -frames:v 1 '" + dir +
     "/frame_000001.jpg'");
  writeText(dir + "/frame_000002.jpg", "not a jpeg");
  src->rewind();
  ASSERT_TRUE(src->next(f.data()));
  EXPECT_EQ(errorOf([&] { src->next(f.data()); }),
            "vesk_driver: " + dir + "/frame_000001.jpg is 32x48, the manifest says 64x48 — refusing");
  src->seek(2);
  EXPECT_EQ(errorOf([&] { src->next(f.data()); }), "decode failed: " + dir + "/frame_000002.jpg");
}

TEST(JpgDirSource, DecodesIntoTheFrameWithoutAFrameBufferOfItsOwn) {
  const std::string dir = scratchDir("jpg_direct");
  sh("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 2 "
     "-start_number 0 '" + dir + "/frame_%06d.jpg'");
  auto src = driver::openJpgDir(dir, 2, kW, kH);
  std::vector<uint8_t> f(kW * kH * 3);
  {
    // The decoder's pixels go straight into the frame: no frame-sized vector on the way.
    vesk::test::AllocationLimit limit(f.size());
    ASSERT_TRUE(src->next(f.data()));
    EXPECT_EQ(limit.refused(), 0u);
  }
  int w = 0, h = 0;
  EXPECT_EQ(f, loadImageRGB(dir + "/frame_000000.jpg", &w, &h));
}

TEST(JpgDirSource, TheFirstFrameMustHaveTheDeclaredSizeAtOpen) {
  // A cursor sizes its ring from W x H right after the open, so the open checks the first frame's
  // header against them.
  const std::string dir = scratchDir("jpg_open");
  sh("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 2 "
     "-start_number 0 '" + dir + "/frame_%06d.jpg'");
  EXPECT_EQ(errorOf([&] { driver::openJpgDir(dir, 2, 8000, 8000); }),
            "vesk_driver: " + dir + "/frame_000000.jpg is 64x48, the manifest says 8000x8000 — refusing");
  writeText(dir + "/frame_000000.jpg", "not a jpeg");
  EXPECT_EQ(errorOf([&] { driver::openJpgDir(dir, 2, kW, kH); }), "decode failed: " + dir + "/frame_000000.jpg");
  EXPECT_EQ(errorOf([&] { driver::openJpgDir(dir + "/none", 2, kW, kH); }),
            "decode failed: " + dir + "/none/frame_000000.jpg");
}

TEST(Image, PngRoundTripAndFailures) {
  const std::string dir = scratchDir("png");
  std::vector<uint8_t> px(5 * 3 * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 7);
  writePNG(dir + "/a.png", px.data(), 5, 3);
  int w = 0, h = 0;
  EXPECT_EQ(loadImageRGB(dir + "/a.png", &w, &h), px);
  EXPECT_EQ(w, 5);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(errorOf([&] { writePNG(dir + "/no/such/dir/a.png", px.data(), 5, 3); }),
            "png write failed: " + dir + "/no/such/dir/a.png");
  EXPECT_EQ(errorOf([&] { loadImageRGB(dir + "/absent.png", &w, &h); }), "decode failed: " + dir + "/absent.png");
}

TEST(MovieDecoderBuild, NamesTheBuiltVersionAndConfiguration) {
  EXPECT_EQ(driver::movieDecoderBuild(),
            "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) +
                "." + std::to_string(LIBAVCODEC_VERSION_MICRO) + " / " + avcodec_configuration());
}

}  // namespace
}  // namespace vesk
