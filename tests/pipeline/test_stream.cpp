// The whole-run stream: frame count and order, skip, the target-only path at scale 0, refusals,
// and a failing director that must end the run with an error instead of a hang.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "generated_bundles.h"
#include "test_util.h"
#include "vesk/vesk.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;

std::string fcaDir() { return std::string(VESK_MOTION_MODELS_DIR) + "/fca"; }
std::string encoder() { return fcaDir() + "/audio_encoder_8s.onnx"; }

// The small identity with the whole-run models beside it: fca_stream.onnx and the director under
// the "render" key.
std::string streamBundle(const TempDir& tmp) {
  const std::string dir = copyBundle("small", tmp);
  fs::copy_file(fcaDir() + "/fca_stream.onnx", dir + "/fca_stream.onnx");
  fs::copy_file(dir + "/model_b1.onnx", dir + "/model_render.onnx");
  return dir;
}

std::vector<float> voice(int n) {
  std::vector<float> a(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double t = i / 16000.0;
    a[static_cast<size_t>(i)] =
        static_cast<float>(0.3 * std::pow(std::sin(2 * M_PI * 3 * t), 2) * std::sin(2 * M_PI * 160 * t));
  }
  return a;
}

struct Collected {
  std::vector<int> indices;
  std::vector<std::vector<uint8_t>> frames;
  int width = 0, height = 0;
};

void collect(void* user, int index, const uint8_t* frame, int width, int height) {
  auto* c = static_cast<Collected*>(user);
  c->indices.push_back(index);
  c->frames.emplace_back(frame, frame + static_cast<size_t>(width) * height * 3);
  c->width = width;
  c->height = height;
}

TEST(Stream, DeliversEveryFrameAfterSkipInOrder) {
  TempDir tmp;
  const std::string dir = streamBundle(tmp);
  vesk_stream* s = vesk_stream_create(dir.c_str(), encoder().c_str(), 2, 3, 1.0f);
  ASSERT_NE(s, nullptr) << vesk_stream_last_error();
  EXPECT_EQ(vesk_stream_width(s), 320);
  EXPECT_EQ(vesk_stream_height(s), 240);
  const auto audio = voice(16000);  // 25 frames
  Collected c;
  EXPECT_EQ(vesk_stream_run(s, audio.data(), static_cast<int>(audio.size()), collect, &c), 22);
  ASSERT_EQ(c.indices.size(), 22u);
  for (int i = 0; i < 22; ++i) EXPECT_EQ(c.indices[static_cast<size_t>(i)], i);
  EXPECT_EQ(c.width, 320);
  EXPECT_EQ(c.height, 240);

  // No callback is allowed; everything still runs.
  EXPECT_EQ(vesk_stream_run(s, audio.data(), 641, nullptr, nullptr), 0);  // 2 frames, both skipped
  EXPECT_EQ(vesk_stream_run(s, audio.data(), 640 * 5, nullptr, nullptr), 2);
  vesk_stream_destroy(s);
}

TEST(Stream, ScaleZeroRendersTheTargetKeypointsAlone) {
  TempDir tmp;
  const std::string dir = streamBundle(tmp);
  vesk_stream* s = vesk_stream_create(dir.c_str(), encoder().c_str(), 2, 0, 0.0f);
  ASSERT_NE(s, nullptr) << vesk_stream_last_error();
  const auto audio = voice(640 * 10);
  Collected c;
  ASSERT_EQ(vesk_stream_run(s, audio.data(), static_cast<int>(audio.size()), collect, &c), 10);
  vesk_stream_destroy(s);

  const auto targets = readArray<float>(dir + "/xs_target.bin");
  vesk_ctx* ctx = vesk_create(dir.c_str(), "render", 2, "");
  ASSERT_NE(ctx, nullptr) << vesk_last_error();
  std::vector<uint8_t> want(c.frames[0].size());
  for (int t = 0; t < 10; ++t) {
    const int si = t % vesk_nt(ctx);  // the walk through the driver video
    const float* row = targets.data() + si * 63;
    const float* crop = vesk_render_kp_crop(ctx, si, row, row);
    ASSERT_NE(crop, nullptr);
    ASSERT_EQ(vesk_paste_crop(ctx, si, crop, want.data(), want.size()), 1);
    EXPECT_EQ(c.frames[static_cast<size_t>(t)], want) << "frame " << t;
  }
  vesk_destroy(ctx);
}

TEST(Stream, Refusals) {
  TempDir tmp;
  const std::string dir = streamBundle(tmp);
  EXPECT_EQ(vesk_stream_create(nullptr, encoder().c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_NE(std::string(vesk_stream_last_error()).find("vesk_stream_create: "), std::string::npos);
  EXPECT_EQ(vesk_stream_create((tmp / "none").c_str(), encoder().c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(vesk_stream_last_error()).rfind("vesk_create: ", 0), 0u) << vesk_stream_last_error();
  EXPECT_EQ(vesk_stream_create(dir.c_str(), (tmp / "missing.onnx").c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(vesk_stream_last_error()).rfind("vesk_fca_create: ", 0), 0u) << vesk_stream_last_error();
  truncateBy(dir + "/xs_target.bin", 4);
  EXPECT_EQ(vesk_stream_create(dir.c_str(), encoder().c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_STREQ(vesk_stream_last_error(), "vesk_stream_create: cannot read xs_target.bin (NT*63 f32)");
  EXPECT_EQ(vesk_stream_run(nullptr, nullptr, 0, nullptr, nullptr), -1);
  EXPECT_STREQ(vesk_stream_last_error(), "vesk_stream_run: NULL session");
  EXPECT_EQ(vesk_stream_width(nullptr), 0);
  vesk_stream_destroy(nullptr);
}

TEST(Stream, AFailingDirectorEndsTheRunWithAnError) {
  TempDir tmp;
  const std::string dir = streamBundle(tmp);
  // A director whose file is not a model fails on first use, inside the render thread.
  writeFile(dir + "/model_render.onnx", "not a model");
  vesk_stream* s = vesk_stream_create(dir.c_str(), encoder().c_str(), 1, 0, 1.0f);
  ASSERT_NE(s, nullptr) << vesk_stream_last_error();
  const auto audio = voice(640 * 12);
  Collected c;
  EXPECT_EQ(vesk_stream_run(s, audio.data(), static_cast<int>(audio.size()), collect, &c), -1);
  EXPECT_STREQ(vesk_stream_last_error(), "vesk_stream_run: render/paste failed");
  EXPECT_TRUE(c.indices.empty());
  vesk_stream_destroy(s);
}

}  // namespace
}  // namespace vesk::test
