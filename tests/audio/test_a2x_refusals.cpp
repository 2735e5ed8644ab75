// What a streaming audio session refuses, with the texts a host reads back, and the family's own
// per-thread last error.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "audio/a2x_test_util.h"
#include "audio/vesk_a2x.h"
#include "vesk/vesk.h"

using namespace vesk::test;

namespace {

class Refusal : public ::testing::Test {
 protected:
  ScopedEnv w2v_{"W2V_ONNX", w2vIn("w2v_pair").c_str()};
  ScopedEnv prime_{"VESK_A2X_SILENCE_PRIME", nullptr};
  ScopedEnv cuda_{"VESK_A2X_CUDA", nullptr};
  TempDir tmp_;

  std::string createError(const std::string& bundle) {
    vesk_a2x* a = vesk_a2x_create(bundle.c_str(), 1);
    EXPECT_EQ(a, nullptr);
    const std::string err = vesk_a2x_last_error();
    vesk_a2x_destroy(a);
    return err;
  }
};

}  // namespace

TEST_F(Refusal, MissingOrEmptyMeta) {
  const std::string b = bundleCopy(tmp_, bundleDir());
  std::filesystem::remove(b + "/a2x_meta.json");
  EXPECT_EQ(createError(b), "vesk_a2x_create: a2x_meta.json missing in " + b);
  writeFile(b + "/a2x_meta.json", "");
  EXPECT_EQ(createError(b), "vesk_a2x_create: a2x_meta.json missing in " + b);
}

TEST_F(Refusal, MetaWithoutCausalWindow) {
  for (const char* meta : {R"({"h": 32, "left": 4})", R"({"h": 32, "window": 2})",
                           R"({"window": -1, "left": 4})", R"({"window": 2, "left": "4"})"}) {
    const std::string b = bundleCopy(tmp_, bundleDir(), meta);
    EXPECT_EQ(createError(b), "vesk_a2x_create: meta lacks causal window/left (not a streaming a2x)") << meta;
  }
}

TEST_F(Refusal, UnreadableTables) {
  const std::string text = "vesk_a2x_create: pos/norm/xs_target read failed";
  {
    const std::string b = bundleCopy(tmp_, bundleDir());
    writeFile(b + "/a2x_pos.f32", std::string(63 * 4, '\0'));  // fewer than 2 rows of 32
    EXPECT_EQ(createError(b), text);
  }
  {
    const std::string b = bundleCopy(tmp_, bundleDir());
    writeFile(b + "/a2x_norm.f32", std::string(500, '\0'));
    EXPECT_EQ(createError(b), text);
    writeFile(b + "/a2x_norm.f32", std::string(502, '\0'));  // 125 whole floats
    EXPECT_EQ(createError(b), text);
    writeFile(b + "/a2x_norm.f32", std::string(504, '\0'));
    vesk_a2x* ok = vesk_a2x_create(b.c_str(), 1);
    EXPECT_NE(ok, nullptr) << vesk_a2x_last_error();
    vesk_a2x_destroy(ok);
  }
  {
    const std::string b = bundleCopy(tmp_, bundleDir());
    std::filesystem::remove(b + "/xs_target.bin");
    EXPECT_EQ(createError(b), text);
    writeFile(b + "/xs_target.bin", "");
    EXPECT_EQ(createError(b), text);
  }
}

TEST_F(Refusal, TargetTableUnderItsAliasName) {
  const std::string b = bundleCopy(tmp_, bundleDir());
  std::filesystem::rename(b + "/xs_target.bin", b + "/target_keypoints.bin");
  std::filesystem::rename(b + "/a2x_dec.onnx", b + "/audio_motion_decoder.onnx");
  Session s = makeSession(b);
  EXPECT_EQ(vesk_a2x_nt(s.get()), 50);
}

TEST_F(Refusal, EncoderPathMustBeSet) {
  ScopedEnv unset("W2V_ONNX", nullptr);
  EXPECT_EQ(createError(bundleDir()), "vesk_a2x_create: $W2V_ONNX not set");
  EXPECT_EQ(vesk_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x_preload_w2v: no path and $W2V_ONNX unset");
  EXPECT_EQ(vesk_a2x_preload_w2v(""), 0);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x_preload_w2v: no path and $W2V_ONNX unset");
}

TEST_F(Refusal, EncoderThatDoesNotLoad) {
  // No pair beside a missing encoder: the 8 s frontend is tried and fails.
  ScopedEnv missing("W2V_ONNX", (tmp_ / "none/w2v.onnx").c_str());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(createError(bundleDir()), "vesk_a2x_create: shared w2v load failed");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("short-window audio frontend NOT DEPLOYED"), std::string::npos);
  EXPECT_EQ(vesk_a2x_preload_w2v((tmp_ / "none/w2v.onnx").c_str()), 0);
  EXPECT_EQ(std::string(vesk_a2x_last_error()).rfind("vesk_a2x_preload_w2v: ", 0), 0u) << vesk_a2x_last_error();
}

TEST_F(Refusal, DamagedModelsCarryTheRuntimeText) {
  const std::string b = bundleCopy(tmp_, bundleDir());
  writeFile(b + "/a2x_enc_stream.onnx", "not a model");
  const std::string err = createError(b);
  EXPECT_EQ(err.rfind("vesk_a2x_create: ", 0), 0u) << err;
  EXPECT_GT(err.size(), std::string("vesk_a2x_create: ").size());
}

TEST_F(Refusal, ModelOutputsThatAreNotFloat32) {
  // The encoder's outputs are read as float32: a float16 or float64 output would be read past its
  // buffer or as the wrong values, so the bundle is refused when it is opened.
  EXPECT_EQ(createError(modelsDir() + "/bundle_ctx_f16"),
            "vesk_a2x_create: a2x_enc_stream.onnx output 'ctx' is float16, not float32");
  EXPECT_EQ(createError(modelsDir() + "/bundle_ctx_f64"),
            "vesk_a2x_create: a2x_enc_stream.onnx output 'ctx' is float64, not float32");
  // The decoder's outputs must hold 63 and h float32 values, in whatever layout.
  const std::string b = bundleCopy(tmp_, bundleDir());
  std::filesystem::copy_file(modelsDir() + "/bundle_ctx_f16/a2x_enc_stream.onnx", b + "/a2x_dec.onnx",
                             std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(createError(b), "vesk_a2x_create: a2x_dec.onnx declares no output 'm'");
}

TEST_F(Refusal, NullArgumentsAreRefusedNotCrashed) {
  EXPECT_EQ(vesk_a2x_create(nullptr, 1), nullptr);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x_create: NULL bundle_dir");
  float x[63];
  int si;
  EXPECT_EQ(vesk_a2x_push(nullptr, x, 1), 0);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x_push: NULL session");
  EXPECT_EQ(vesk_a2x_pull(nullptr, &si, x, x, 1), 0);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x_pull: NULL session");
  EXPECT_EQ(vesk_a2x_avail(nullptr), 0);
  EXPECT_EQ(vesk_a2x_total(nullptr), -1);
  EXPECT_EQ(vesk_a2x_reset(nullptr, 0, 1, 1), 0);
  EXPECT_EQ(vesk_a2x_deltas(nullptr, x, 1, x, 1), -1);
  EXPECT_EQ(vesk_a2x_nt(nullptr), 0);
  EXPECT_STREQ(vesk_a2x_last_error(), "");
  EXPECT_EQ(vesk_a2x_width(nullptr), 0);
  vesk_a2x_finish(nullptr);
  vesk_a2x_set_eager(nullptr, 1);
  vesk_a2x_destroy(nullptr);
  EXPECT_EQ(vesk_a2x_w2v8_lazy(), 1);

  Session s = makeSession(bundleDir());
  EXPECT_EQ(vesk_a2x_push(s.get(), nullptr, 10), 0);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x_push: NULL samples");
  EXPECT_EQ(vesk_a2x_push(s.get(), nullptr, 0), 1);
  EXPECT_STREQ(vesk_a2x_last_error(), "");
  EXPECT_EQ(vesk_a2x_deltas(s.get(), nullptr, 10, x, 1), -1);
  vesk_a2x_set_eager(s.get(), 1);
  EXPECT_EQ(s->eager, 1);
  EXPECT_EQ(vesk_a2x_reset(s.get(), 0, -3, 1), -1);
  EXPECT_EQ(vesk_a2x_reset(s.get(), 0, 0, 1), 1);
  // Pulls with no buffers still advance.
  const std::vector<float> audio = speechLike(6400);
  vesk_a2x_push(s.get(), audio.data(), 6400);
  vesk_a2x_finish(s.get());
  EXPECT_EQ(vesk_a2x_pull(s.get(), nullptr, nullptr, nullptr, 4), 4);
  EXPECT_EQ(vesk_a2x_pull(s.get(), &si, x, x, 0), 0);
  EXPECT_EQ(vesk_a2x_pull(s.get(), &si, x, x, -5), 0);
}

TEST_F(Refusal, LastErrorIsPerThreadAndPerFamily) {
  EXPECT_EQ(vesk_a2x_create(nullptr, 1), nullptr);
  std::string other = "unset";
  std::thread([&] { other = vesk_a2x_last_error(); }).join();
  EXPECT_EQ(other, "");
  EXPECT_STREQ(vesk_last_error(), "");  // the render family's text is untouched
  EXPECT_EQ(vesk_host_kp_rows(), 21);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x_create: NULL bundle_dir");
  EXPECT_EQ(vesk_a2x_w2v8_lazy(), 1);
  EXPECT_STREQ(vesk_a2x_last_error(), "");
}

TEST_F(Refusal, ReadBehindTheRetainedWindowIsReportedByTheExtension) {
  // A caller that lets the retained audio go before the frontend used it (here by hand, as a trim
  // run ahead would) gets the extension's error and keeps the frames completed before it.
  Session s = makeSession(bundleDir());
  const std::vector<float> audio = speechLike(16000 * 3);
  vesk_a2x_push(s.get(), audio.data(), static_cast<int>(audio.size()));
  Pulled p;
  drain(s.get(), p, 8);
  const size_t before = p.frames.size();
  ASSERT_GT(before, 0u);
  s->samples.erase(s->samples.begin(), s->samples.begin() + 40000);
  s->dropped += 40000;
  vesk_a2x_finish(s.get());
  EXPECT_EQ(pullInto(s.get(), p, 8), 0);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x extend: stream read behind the retained window (w2v window audio)");
  EXPECT_EQ(vesk_a2x_avail(s.get()), 0);
  EXPECT_STREQ(vesk_a2x_last_error(), "vesk_a2x extend: stream read behind the retained window (w2v window audio)");
}

TEST(MetaText, KeysAreReadAsTheBundleWritesThem) {
  using vesk::a2x::readMetaInt;
  using vesk::a2x::readMetaWidth;
  EXPECT_EQ(readMetaInt("{\"h\":  \n 64}", "h", 256), 64);
  EXPECT_EQ(readMetaInt(R"({"hh": 64})", "h", 256), 256);
  EXPECT_EQ(readMetaInt(R"({"h": x})", "h", 256), 256);
  EXPECT_EQ(readMetaInt(R"({"left": -3})", "left", 0), -3);
  EXPECT_EQ(readMetaInt(R"({"h": 99999999999999})", "h", 1), 2147483647);
  EXPECT_EQ(readMetaWidth(R"({"width": true})"), 1);
  EXPECT_EQ(readMetaWidth(R"({"width":	false})"), 0);
  EXPECT_EQ(readMetaWidth(R"({"width": 1})"), 1);
  EXPECT_EQ(readMetaWidth(R"({"h": 3})"), 0);
}
