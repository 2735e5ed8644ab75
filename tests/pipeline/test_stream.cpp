// The whole-run stream: its two-stage render/paste pipeline (order, failures on either side, no
// stage left waiting), the driver-index walk, and the exported calls on generated bundles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "generated_bundles.h"
#include "pipeline/vesk_stream.h"
#include "test_speech.h"
#include "vesk/vesk.h"
#include "vesk/vesk_a2x.h"

namespace {

using vesk::stream::runPipeline;
using vesk::stream::sourceIndices;
using vesk::test::bundleDir;
using vesk::test::copyBundle;
using vesk::test::TempDir;

// How long a run may take before it counts as hung: 60 s, or VESK_TEST_HANG_S where the tests run
// under emulation (the cross build's test preset), which makes a healthy run take minutes.
int hangSeconds() {
  const char* s = std::getenv("VESK_TEST_HANG_S");
  const int v = s != nullptr ? std::atoi(s) : 0;
  return v > 0 ? v : 60;
}

// Runs fn on a thread of its own; a run that does not finish in time ends the test program, since a
// hung stage cannot be recovered from.
template <class F>
auto finishes(F fn) {
  auto f = std::async(std::launch::async, std::move(fn));
  const int limit = hangSeconds();
  if (f.wait_for(std::chrono::seconds(limit)) != std::future_status::ready) {
    std::fprintf(stderr, "the stream did not finish within %d s: a stage is left waiting\n", limit);
    std::fflush(stderr);
    std::_Exit(3);
  }
  return f.get();
}

void nap(int us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

// Render and paste stages over numbered crops: crop r is filled with r, the paste checks it.
struct Stages {
  explicit Stages(size_t n) : floats(n), crop(n) {}
  size_t floats;
  std::vector<float> crop;
  std::atomic<int> renders{0}, pastes{0};
  std::vector<int> delivered;
  bool wrongCrop = false;
  int renderFailsAt = -1, pasteFailsAt = -1;
  int renderUs = 0, pasteUs = 0;

  vesk::stream::RenderStage render() {
    return [this](int r) -> const float* {
      renders.fetch_add(1);
      nap(renderUs);
      if (r == renderFailsAt) return nullptr;
      std::fill(crop.begin(), crop.end(), static_cast<float>(r));
      return crop.data();
    };
  }
  vesk::stream::PasteStage paste() {
    return [this](int r, const float* c) {
      pastes.fetch_add(1);
      nap(pasteUs);
      for (size_t i = 0; i < floats; ++i) wrongCrop |= c[i] != static_cast<float>(r);
      return r != pasteFailsAt;
    };
  }
  vesk::stream::DeliverStage deliver() {
    return [this](int r) { delivered.push_back(r); };
  }
  bool run(int count) {
    return finishes([&] { return runPipeline(count, floats, render(), paste(), deliver()); });
  }
  bool deliveredInOrder(int n) const {
    if (static_cast<int>(delivered.size()) != n) return false;
    for (int i = 0; i < n; ++i)
      if (delivered[static_cast<size_t>(i)] != i) return false;
    return true;
  }
};

}  // namespace

TEST(StreamPipeline, EveryFrameArrivesInOrderWhicheverStageIsSlower) {
  for (const auto& [renderUs, pasteUs] : {std::pair{0, 300}, std::pair{300, 0}, std::pair{0, 0}}) {
    Stages s(1000);
    s.renderUs = renderUs;
    s.pasteUs = pasteUs;
    EXPECT_TRUE(s.run(37));
    EXPECT_TRUE(s.deliveredInOrder(37));
    EXPECT_FALSE(s.wrongCrop);
    EXPECT_EQ(s.renders.load(), 37);
  }
  Stages none(8);
  EXPECT_TRUE(none.run(0));
  EXPECT_EQ(none.renders.load(), 0);
  EXPECT_TRUE(none.delivered.empty());
}

TEST(StreamPipeline, ARenderFailureStopsBothStages) {
  // With a slow paste the ring is full when frame 9 fails to render.
  Stages s(64);
  s.pasteUs = 2000;
  s.renderFailsAt = 9;
  EXPECT_FALSE(s.run(30));
  EXPECT_EQ(s.renders.load(), 10);  // nothing is rendered after the failure
  EXPECT_LE(s.delivered.size(), 9u);
  EXPECT_TRUE(s.deliveredInOrder(static_cast<int>(s.delivered.size())));
  EXPECT_FALSE(s.wrongCrop);

  Stages first(64);
  first.renderFailsAt = 0;
  EXPECT_FALSE(first.run(5));
  EXPECT_EQ(first.pastes.load(), 0);
  EXPECT_TRUE(first.delivered.empty());
}

TEST(StreamPipeline, APasteFailureReleasesTheRenderThreadWaitingForASlot) {
  // The render side is fast: by the time the first paste fails it waits for a free slot, and only
  // the failure can wake it.
  Stages s(64);
  s.pasteUs = 20000;
  s.pasteFailsAt = 0;
  EXPECT_FALSE(s.run(50));
  EXPECT_EQ(s.pastes.load(), 1);
  EXPECT_LE(s.renders.load(), vesk::stream::kRingSlots + 1);
  EXPECT_TRUE(s.delivered.empty());

  Stages later(64);
  later.pasteFailsAt = 6;
  EXPECT_FALSE(later.run(50));
  EXPECT_TRUE(later.deliveredInOrder(6));
}

TEST(StreamPipeline, AnExceptionInEitherStageReachesTheCallerAfterTheJoin) {
  auto throwingRender = [](int r) -> const float* {
    static float crop[4];
    if (r == 3) throw std::runtime_error("render stage threw");
    return crop;
  };
  const std::string fromRender = finishes([&] {
    return vesk::test::errorOf([&] { runPipeline(20, 4, throwingRender, [](int, const float*) { return true; }, [](int) {}); });
  });
  EXPECT_EQ(fromRender, "render stage threw");

  Stages s(16);
  const std::string fromDeliver = finishes([&] {
    return vesk::test::errorOf([&] {
      runPipeline(40, 16, s.render(), s.paste(), [](int r) {
        if (r == 2) throw std::runtime_error("deliver stage threw");
      });
    });
  });
  EXPECT_EQ(fromDeliver, "deliver stage threw");
  EXPECT_LE(s.renders.load(), 3 + vesk::stream::kRingSlots + 1);
}

TEST(StreamWalk, TheDriverIndexAdvancesThroughSkippedFramesAndStaysAtZeroForOneFrame) {
  EXPECT_EQ(sourceIndices(10, 3, 0), (std::vector<int>{0, 1, 2, 0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(sourceIndices(10, 3, 4), (std::vector<int>{1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(sourceIndices(5, 1, 1), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(sourceIndices(9, 8, 0).back(), 0);
  EXPECT_TRUE(sourceIndices(4, 8, 4).empty());
  EXPECT_TRUE(sourceIndices(4, 8, 9).empty());
}

// ---- the exported calls on generated bundles ------------------------------------------------------

namespace {

using Stream = std::unique_ptr<vesk_stream, decltype(&vesk_stream_destroy)>;

std::string encoderOf(const std::string& bundle) { return bundle + "/audio_encoder_8s.onnx"; }

Stream openStream(const std::string& bundle, int skip, float scale, const std::string& encoder = "") {
  testing::internal::CaptureStderr();
  Stream s(vesk_stream_create(bundle.c_str(), (encoder.empty() ? encoderOf(bundle) : encoder).c_str(), 1, skip, scale),
           &vesk_stream_destroy);
  testing::internal::GetCapturedStderr();
  return s;
}

std::string createError(const std::string& bundle, const std::string& encoder, int skip = 0) {
  Stream s = openStream(bundle, skip, 1.0f, encoder);
  EXPECT_EQ(s, nullptr);
  return vesk_stream_last_error();
}

struct Delivered {
  std::vector<int> index;
  std::vector<std::vector<uint8_t>> frames;
  int width = 0, height = 0;
  static void take(void* user, int index, const uint8_t* frame, int width, int height) {
    auto* d = static_cast<Delivered*>(user);
    d->index.push_back(index);
    d->frames.emplace_back(frame, frame + static_cast<size_t>(width) * height * 3);
    d->width = width;
    d->height = height;
  }
};

// The run's result and the stream family's last error after it, on the thread that ran it.
struct Outcome {
  int frames;
  std::string error;
};

Outcome run(vesk_stream* s, const std::vector<float>& audio, Delivered* d) {
  return finishes([&] {
    testing::internal::CaptureStderr();
    const int r = vesk_stream_run(s, audio.data(), static_cast<int>(audio.size()), d ? &Delivered::take : nullptr, d);
    testing::internal::GetCapturedStderr();
    return Outcome{r, vesk_stream_last_error()};
  });
}

constexpr const char* kFailed = "vesk_stream_run: render/paste failed";

// The finished frames of the target rows alone, rendered and pasted one by one on a context of
// their own.
std::vector<std::vector<uint8_t>> targetFrames(const std::string& bundle, const std::vector<int>& si) {
  testing::internal::CaptureStderr();
  vesk_ctx* ctx = vesk_create(bundle.c_str(), "render", 1, "");
  testing::internal::GetCapturedStderr();
  EXPECT_NE(ctx, nullptr) << vesk_last_error();
  if (ctx == nullptr) return {};
  const std::vector<float> xs = vesk::test::readArray<float>(bundle + "/xs_target.bin");
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> frame(static_cast<size_t>(vesk_width(ctx)) * vesk_height(ctx) * 3);
  for (int i : si) {
    const float* row = &xs[static_cast<size_t>(i) * 63];
    const float* crop = vesk_render_kp_crop(ctx, i, row, row);
    EXPECT_NE(crop, nullptr) << vesk_last_error();
    EXPECT_EQ(vesk_paste_crop(ctx, i, crop, frame.data(), frame.size()), 1) << vesk_last_error();
    out.push_back(frame);
  }
  vesk_destroy(ctx);
  return out;
}

}  // namespace

TEST(StreamRun, DeliversEveryFrameAfterTheSkipInOrder) {
  Stream s = openStream(bundleDir("small"), 3, 1.0f);
  ASSERT_NE(s, nullptr) << vesk_stream_last_error();
  EXPECT_EQ(vesk_stream_width(s.get()), 320);
  EXPECT_EQ(vesk_stream_height(s.get()), 240);
  const std::vector<float> audio = vesk::test::syllables(640 * 20 - 300, 4);  // 20 frames, the last one short
  Delivered d;
  const Outcome o = run(s.get(), audio, &d);
  EXPECT_EQ(o.frames, 17);
  EXPECT_EQ(o.error, "");
  ASSERT_EQ(d.index.size(), 17u);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(d.index[static_cast<size_t>(i)], i);
  EXPECT_EQ(d.width, 320);
  EXPECT_EQ(d.height, 240);
  // The voice moves the mouth: the spoken frames are not the target frames.
  const std::vector<std::vector<uint8_t>> still = targetFrames(bundleDir("small"), sourceIndices(20, 8, 3));
  int moved = 0;
  for (size_t i = 0; i < still.size(); ++i) moved += d.frames[i] != still[i];
  EXPECT_GT(moved, 8);

  // A null callback is allowed; the run still renders and pastes every frame.
  EXPECT_EQ(run(s.get(), audio, nullptr).frames, 17);
}

TEST(StreamRun, ScaleZeroGivesTheTargetFramesAlone) {
  const std::string b = bundleDir("small");
  Stream s = openStream(b, 2, 0.0f);
  ASSERT_NE(s, nullptr) << vesk_stream_last_error();
  Delivered d;
  ASSERT_EQ(run(s.get(), vesk::test::syllables(640 * 13, 2), &d).frames, 11);
  const std::vector<std::vector<uint8_t>> want = targetFrames(b, sourceIndices(13, 8, 2));
  ASSERT_EQ(want.size(), d.frames.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(d.frames[i] == want[i]) << "frame " << i;
}

TEST(StreamRun, AOneFrameIdentityPlaysDriverFrameZeroThroughout) {
  const std::string b = bundleDir("nt1");
  Stream s = openStream(b, 1, 0.0f);
  ASSERT_NE(s, nullptr) << vesk_stream_last_error();
  Delivered d;
  ASSERT_EQ(run(s.get(), vesk::test::syllables(640 * 6, 3), &d).frames, 5);
  const std::vector<std::vector<uint8_t>> want = targetFrames(b, {0});
  ASSERT_EQ(want.size(), 1u);
  for (const auto& f : d.frames) EXPECT_TRUE(f == want[0]);
}

TEST(StreamRun, NothingLeftAfterTheSkipRendersNothing) {
  // Without its director the bundle can still be streamed as long as nothing is rendered.
  TempDir tmp;
  const std::string b = copyBundle("small", tmp);
  std::filesystem::remove(b + "/model_render.onnx");
  Stream s = openStream(b, 10, 1.0f);
  ASSERT_NE(s, nullptr) << vesk_stream_last_error();
  Delivered d;
  for (const size_t n : {size_t{640 * 10}, size_t{640 * 9 + 1}, size_t{0}}) {
    const Outcome o = run(s.get(), vesk::test::syllables(n, 1), &d);
    EXPECT_EQ(o.frames, 0) << n;
    EXPECT_EQ(o.error, "") << n;
  }
  EXPECT_TRUE(d.index.empty());
  // One frame past the skip needs the director.
  const Outcome more = run(s.get(), vesk::test::syllables(640 * 10 + 1, 1), &d);
  EXPECT_EQ(more.frames, -1);
  EXPECT_EQ(more.error, kFailed);
  EXPECT_TRUE(d.index.empty());
}

TEST(StreamRun, ADirectorFailingMidRunFailsTheRunWithoutHanging) {
  // The faulty directors fail once a lower-lip row is driven 0.02 below its source. Voice, digital
  // silence, voice: with the first voice skipped, the silent frames render and the second voice
  // fails them.
  const std::string b = bundleDir("faulty");
  std::vector<float> audio = vesk::test::syllables(16000, 6);
  audio.resize(16000 * 5 / 2, 0.0f);
  const std::vector<float> again = vesk::test::syllables(16000, 7);
  audio.insert(audio.end(), again.begin(), again.end());
  const int N = static_cast<int>((audio.size() + 639) / 640), skip = 30;

  // The premise, read off the fca offsets themselves: the first frames after the skip stay below the
  // gate and some later frame passes it.
  vesk_fca* f = vesk_fca_create(encoderOf(b).c_str(), (b + "/fca_stream.onnx").c_str(), 1);
  ASSERT_NE(f, nullptr) << vesk_fca_last_error();
  std::vector<float> deltas(static_cast<size_t>(N) * 63);
  ASSERT_EQ(vesk_fca_deltas(f, audio.data(), static_cast<int>(audio.size()), deltas.data(), N), N);
  vesk_fca_destroy(f);
  int firstOpen = -1;
  for (int t = skip; t < N && firstOpen < 0; ++t)
    if (deltas[static_cast<size_t>(t) * 63 + 12 * 3 + 1] >= 0.02f) firstOpen = t;
  ASSERT_GT(firstOpen, skip + vesk::stream::kRingSlots + 1);

  Stream s = openStream(b, skip, 1.0f);
  ASSERT_NE(s, nullptr) << vesk_stream_last_error();
  Delivered d;
  const Outcome o = run(s.get(), audio, &d);
  EXPECT_EQ(o.frames, -1);
  EXPECT_EQ(o.error, kFailed);
  EXPECT_LE(d.index.size(), static_cast<size_t>(firstOpen - skip));
  EXPECT_GE(d.index.size(), 1u);
  for (size_t i = 0; i < d.index.size(); ++i) EXPECT_EQ(d.index[i], static_cast<int>(i));

  // A run that fails on its first frame, and then a run that stays closed: the stream is reusable.
  Stream loud = openStream(b, 0, 1.0f);
  ASSERT_NE(loud, nullptr);
  const Outcome first = run(loud.get(), again, nullptr);
  EXPECT_EQ(first.frames, -1);
  EXPECT_EQ(first.error, kFailed);
  Stream quiet = openStream(b, 0, 0.0f);
  ASSERT_NE(quiet, nullptr);
  EXPECT_EQ(run(quiet.get(), again, nullptr).frames, 25);
}

TEST(StreamCreate, RefusalsNameWhatIsMissing) {
  const std::string small = bundleDir("small");
  EXPECT_EQ(vesk_stream_create(nullptr, "x", 1, 0, 1.0f), nullptr);
  EXPECT_STREQ(vesk_stream_last_error(), "vesk_stream_create: NULL bundle_dir/encoder_path");
  EXPECT_EQ(vesk_stream_create(small.c_str(), nullptr, 1, 0, 1.0f), nullptr);
  EXPECT_STREQ(vesk_stream_last_error(), "vesk_stream_create: NULL bundle_dir/encoder_path");
  EXPECT_EQ(createError(small, encoderOf(small), -1), "vesk_stream_create: skip -1 is negative");

  const std::string noBundle = createError("/nonexistent/bundle", encoderOf(small));
  EXPECT_EQ(noBundle.rfind("vesk_create: vesk_create: ", 0), 0u) << noBundle;
  EXPECT_EQ(createError(small, "/nonexistent.onnx"), "vesk_fca_create: vesk_fca_create: cannot open /nonexistent.onnx");

  TempDir tmp;
  const std::string noFca = copyBundle("small", tmp);
  std::filesystem::remove(noFca + "/fca_stream.onnx");
  EXPECT_EQ(createError(noFca, encoderOf(small)),
            "vesk_fca_create: vesk_fca_create: cannot open " + noFca + "/fca_stream.onnx");

  // The target table must hold exactly NT rows of 63 floats.
  const std::string shortTargets = copyBundle("faulty", tmp);
  vesk::test::truncateBy(shortTargets + "/xs_target.bin", 4);
  EXPECT_EQ(createError(shortTargets, encoderOf(small)), "vesk_stream_create: cannot read xs_target.bin (NT*63 f32)");
  const std::string longTargets = copyBundle("nt1", tmp);
  std::filesystem::resize_file(longTargets + "/xs_target.bin", 64 * 4);
  EXPECT_EQ(createError(longTargets, encoderOf(small)), "vesk_stream_create: cannot read xs_target.bin (NT*63 f32)");
  std::filesystem::remove(longTargets + "/xs_target.bin");
  EXPECT_EQ(createError(longTargets, encoderOf(small)), "vesk_stream_create: cannot read xs_target.bin (NT*63 f32)");

  Stream ok = openStream(small, 0, 1.0f);
  ASSERT_NE(ok, nullptr);
  EXPECT_STREQ(vesk_stream_last_error(), "");
  EXPECT_EQ(vesk_stream_run(nullptr, nullptr, 0, nullptr, nullptr), -1);
  EXPECT_STREQ(vesk_stream_last_error(), "vesk_stream_run: NULL stream");
  EXPECT_EQ(vesk_stream_run(ok.get(), nullptr, 640, nullptr, nullptr), -1);
  EXPECT_STREQ(vesk_stream_last_error(), "vesk_fca_deltas: vesk_fca_deltas: bad args");
  EXPECT_EQ(vesk_stream_width(nullptr), 0);
  EXPECT_EQ(vesk_stream_height(nullptr), 0);
  vesk_stream_destroy(nullptr);
}
