// The fp16 convolution backend against ONNX Runtime running the same fused m4b graph: every dumped
// stage, the whole frame, batching, the graphs it refuses, and its place in the renderer.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_ort.h"
#include "core/vesk_simd.h"
#include "generated_bundles.h"
#include "render/vesk_conv.h"
#include "render/vesk_onnx.h"
#include "render/vesk_renderer.h"
#include "render/vesk_warp_prior.h"

using vesk::test::bundleDir;
using vesk::test::errorOf;
using vesk::test::readArray;
using vesk::test::ScopedEnv;
using vesk::test::TempDir;

namespace {

constexpr size_t kPlane = 512 * 512;

struct Fused {
  Fused() : manifest(vesk::loadManifest(bundleDir("fused"))), identity(manifest), drive(vesk::loadDrive(manifest)) {}
  std::string model(const std::string& key) const { return manifest.modelPath(key); }
  vesk::Manifest manifest;
  const vesk::Identity identity;
  vesk::Drive drive;
};

std::vector<uint8_t> bytesOf(const std::string& path) {
  const std::string s = vesk::test::readFile(path);
  return {s.begin(), s.end()};
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& b) {
  vesk::test::writeFile(path, std::string(b.begin(), b.end()));
}

// Frame inputs: the source frame's own keypoints, and driving keypoints with the lower lip dropped
// and the mouth corners drawn in, so the grid, the mask and the basis coefficients all move.
struct Frame {
  int si = 0;
  std::vector<float> ks, kd;
};

Frame frameOf(const Fused& b, int si, float open) {
  Frame f;
  f.si = si;
  f.ks.assign(b.drive.xs.begin() + static_cast<ptrdiff_t>(si) * 63,
              b.drive.xs.begin() + static_cast<ptrdiff_t>(si + 1) * 63);
  f.kd = f.ks;
  for (int r : {12, 14, 20}) f.kd[static_cast<size_t>(3 * r + 1)] += open;
  for (int r : {17, 19}) f.kd[static_cast<size_t>(3 * r)] += (r == 17 ? 0.3f : -0.3f) * open;
  return f;
}

// ONNX Runtime on the graph with the named values added as outputs, fed the frames' widened members.
std::map<std::string, std::vector<float>> ortRun(
    const std::string& modelPath, const Fused& b, const std::vector<Frame>& frames,
    const std::vector<std::pair<std::string, std::vector<int64_t>>>& extra) {
  std::vector<uint8_t> model = bytesOf(modelPath);
  for (const auto& [name, dims] : extra) {
    vesk::GsGraphEdit edit;
    edit.newName = name;
    edit.newDims = dims;
    edit.newField = vesk::onnx_field::kGraphOutput;
    std::vector<uint8_t> next;
    vesk::gsRebuild(vesk::GsSlice(model), edit, next);
    model.swap(next);
  }
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(2);
  so.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);
  Ort::Session session(vesk::ort::env(), model.data(), model.size(), so);
  const int64_t B = static_cast<int64_t>(frames.size());
  vesk::WarpPrior prior(b.manifest, b.identity);
  std::vector<float> pooled(static_cast<size_t>(B) * 65536), P(static_cast<size_t>(B) * 3 * kPlane), ks, kd;
  for (int64_t j = 0; j < B; ++j) {
    const Frame& f = frames[static_cast<size_t>(j)];
    vesk::halfToFloat(b.identity.pooled64(f.si), pooled.data() + j * 65536, 65536);
    vesk::halfToFloat(prior.P(f.si), P.data() + static_cast<size_t>(j) * 3 * kPlane, 3 * kPlane);
    ks.insert(ks.end(), f.ks.begin(), f.ks.end());
    kd.insert(kd.end(), f.kd.begin(), f.kd.end());
  }
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::vector<int64_t> dp{B, 64, 32, 32}, dP{B, 3, 512, 512}, dk{B, 21, 3};
  std::vector<Ort::Value> in;
  in.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), dp.data(), dp.size()));
  in.push_back(Ort::Value::CreateTensor<float>(mem, P.data(), P.size(), dP.data(), dP.size()));
  in.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), dk.data(), dk.size()));
  in.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), dk.data(), dk.size()));
  const char* inNames[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  std::vector<std::string> outNames{"rgb"};
  for (const auto& e : extra) outNames.push_back(e.first);
  std::vector<const char*> outs;
  for (const std::string& s : outNames) outs.push_back(s.c_str());
  std::vector<Ort::Value> res =
      session.Run(Ort::RunOptions{nullptr}, inNames, in.data(), in.size(), outs.data(), outs.size());
  std::map<std::string, std::vector<float>> got;
  for (size_t i = 0; i < outs.size(); ++i) {
    const float* p = res[i].GetTensorData<float>();
    got[outNames[i]] = std::vector<float>(p, p + res[i].GetTensorTypeAndShapeInfo().GetElementCount());
  }
  return got;
}

// The backend's render of the frames.
std::vector<float> convRun(vesk::ConvBackend& e, const Fused& b, const std::vector<Frame>& frames) {
  vesk::WarpPrior prior(b.manifest, b.identity);
  std::vector<const uint16_t*> pooled, P;
  std::vector<float> ks, kd;
  for (const Frame& f : frames) {
    pooled.push_back(b.identity.pooled64(f.si));
    P.push_back(prior.P(f.si));
    ks.insert(ks.end(), f.ks.begin(), f.ks.end());
    kd.insert(kd.end(), f.kd.begin(), f.kd.end());
  }
  std::vector<float> out(frames.size() * 3 * kPlane);
  e.render(pooled.data(), P.data(), ks.data(), kd.data(), static_cast<int>(frames.size()), out.data());
  return out;
}

struct Err {
  float maxAbs = 0, meanAbs = 0, refMax = 0;
};

Err compare(const std::vector<float>& got, const std::vector<float>& ref) {
  Err e;
  double sum = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    const float d = std::fabs(got[i] - ref[i]);
    e.maxAbs = std::max(e.maxAbs, d);
    e.refMax = std::max(e.refMax, std::fabs(ref[i]));
    sum += d;
  }
  e.meanAbs = static_cast<float>(sum / static_cast<double>(ref.size()));
  return e;
}

struct Stage {
  const char* name;
  std::vector<int64_t> dims;
};

const std::vector<Stage>& stages() {
  static const std::vector<Stage> s = {
      {"pre_relu", {1, 96, 32, 32}},     {"e0_relu", {1, 96, 32, 32}},      {"e1_relu", {1, 144, 16, 16}},
      {"e2_relu", {1, 192, 8, 8}},       {"d1_relu", {1, 144, 16, 16}},     {"d0_relu", {1, 96, 32, 32}},
      {"ref_relu", {1, 48, 64, 64}},     {"mask_conv", {1, 22, 64, 64}},    {"occ_sig", {1, 1, 64, 64}},
      {"grid_add", {1, 64, 64, 2}},      {"basisimg", {1, 196608}},         {"occ512", {1, 1, 512, 512}},
      {"warped", {1, 3, 512, 512}},      {"corr0_relu", {1, 24, 256, 256}}, {"corr1_relu", {1, 24, 256, 256}},
      {"corr2_conv", {1, 12, 256, 256}}, {"refined", {1, 3, 512, 512}},     {"tile2_relu", {1, 32, 256, 208}},
      {"tile3_conv", {1, 3, 256, 208}},
  };
  return s;
}

// fp16 storage with fp32 sums: each stage's activations carry a relative rounding of 2^-11 on
// what they store, and the error of the stages before them. The bound on every stage is 1% of the
// stage's largest magnitude (at least 1) at worst and 0.1% on average; the frame's own is tighter
// where it is seen: under 2/255 everywhere (a warp of a sharp edge moved by the grid's rounding)
// and a tenth of 1/255 on average.
constexpr float kStageMax = 1e-2f, kStageMean = 1e-3f;
constexpr float kRgbMax = 2.0f / 255.0f, kRgbMean = 0.1f / 255.0f;

bool skipUnlessAvailable() { return !vesk::ConvBackend::available(); }

TEST(ConvBackend, EveryStageMatchesOnnxRuntimeWithinFp16Rounding) {
  if (skipUnlessAvailable()) GTEST_SKIP() << "no native fp16 on this processor";
  const Fused b;
  const TempDir tmp;
  const std::vector<Frame> frames{frameOf(b, 1, 0.06f)};
  std::vector<float> rgb;
  {
    ScopedEnv dump("VESK_CONV_DUMP", tmp.path().c_str());
    const auto e = vesk::ConvBackend::create(b.model("b1_fused"), 2);
    ASSERT_EQ(e->batch(), 1);
    rgb = convRun(*e, b, frames);
  }
  std::vector<std::pair<std::string, std::vector<int64_t>>> extra;
  for (const Stage& s : stages()) extra.emplace_back(s.name, s.dims);
  const auto ref = ortRun(b.model("b1_fused"), b, frames, extra);
  for (const Stage& s : stages()) {
    const std::vector<float> got = readArray<float>(tmp / (std::string(s.name) + ".f32"));
    const std::vector<float>& want = ref.at(s.name);
    ASSERT_EQ(got.size(), want.size()) << s.name;
    const Err e = compare(got, want);
    const float scale = std::max(1.0f, e.refMax);
    std::printf("%-12s max %.3g  mean %.3g  (largest value %.3g)\n", s.name, e.maxAbs, e.meanAbs, e.refMax);
    EXPECT_LE(e.maxAbs, kStageMax * scale) << s.name << " mean " << e.meanAbs << " ref max " << e.refMax;
    EXPECT_LE(e.meanAbs, kStageMean * scale) << s.name << " max " << e.maxAbs;
    EXPECT_GT(e.refMax, 0.0f) << s.name << " is all zero: the stage proves nothing";
  }
  const Err e = compare(rgb, ref.at("rgb"));
  std::printf("%-12s max %.3g  mean %.3g  (in 1/255: %.3g, %.3g)\n", "rgb", e.maxAbs, e.meanAbs, e.maxAbs * 255,
              e.meanAbs * 255);
  EXPECT_LE(e.maxAbs, kRgbMax) << "mean " << e.meanAbs;
  EXPECT_LE(e.meanAbs, kRgbMean) << "max " << e.maxAbs;
  EXPECT_EQ(readArray<float>(tmp / "rgb.f32"), rgb);
}

TEST(ConvBackend, BatchRendersEachFrameAsAloneAndAsOnnxRuntimeDoes) {
  if (skipUnlessAvailable()) GTEST_SKIP() << "no native fp16 on this processor";
  const Fused b;
  const std::vector<Frame> frames{frameOf(b, 0, 0.0f), frameOf(b, 2, 0.08f), frameOf(b, 1, 0.03f),
                                  frameOf(b, 2, -0.01f)};
  const auto e4 = vesk::ConvBackend::create(b.model("b4_fused"), 2);
  ASSERT_EQ(e4->batch(), 4);
  const std::vector<float> all = convRun(*e4, b, frames);
  const auto ref = ortRun(b.model("b4_fused"), b, frames, {});
  const Err e = compare(all, ref.at("rgb"));
  EXPECT_LE(e.maxAbs, kRgbMax) << "mean " << e.meanAbs;
  EXPECT_LE(e.meanAbs, kRgbMean) << "max " << e.maxAbs;
  // Each frame of the batch is the frame rendered alone, bit for bit, on a batch-1 engine and on
  // the batch-4 one with n = 1 (no slot reads another's scratch).
  const auto e1 = vesk::ConvBackend::create(b.model("b1_fused"), 3);
  for (size_t j = 0; j < frames.size(); ++j) {
    const std::vector<float> alone = convRun(*e1, b, {frames[j]});
    EXPECT_TRUE(std::equal(alone.begin(), alone.end(), all.begin() + static_cast<ptrdiff_t>(j * 3 * kPlane))) << j;
  }
  const std::vector<float> one = convRun(*e4, b, {frames[1]});
  EXPECT_TRUE(std::equal(one.begin(), one.begin() + static_cast<ptrdiff_t>(3 * kPlane),
                         all.begin() + static_cast<ptrdiff_t>(3 * kPlane)));
  float out = 0;
  EXPECT_EQ(errorOf([&] { e4->render(nullptr, nullptr, nullptr, nullptr, 0, &out); }), "vesk_conv: bad n");
  EXPECT_EQ(errorOf([&] { e4->render(nullptr, nullptr, nullptr, nullptr, 5, &out); }), "vesk_conv: bad n");
}

// The fused graph with its initializers changed: drop, then add (name, dims) of zeros.
std::string variant(const Fused& b, const TempDir& tmp, const std::string& file, const std::vector<std::string>& drop,
                    const std::vector<std::pair<std::string, std::vector<int64_t>>>& add) {
  const std::vector<uint8_t> model = bytesOf(b.model("b1_fused"));
  vesk::GsGraphEdit edit;
  for (const std::string& d : drop) edit.dropInitializers.insert(d);
  for (const auto& [name, dims] : add) {
    size_t n = 1;
    for (int64_t d : dims) n *= static_cast<size_t>(d);
    const std::vector<float> zeros(n, 0.0f);
    vesk::hcInit(edit.appendGraph, name, dims, vesk::onnx_field::kFloat, zeros.data(), n * sizeof(float));
  }
  std::vector<uint8_t> out;
  vesk::gsRebuild(vesk::GsSlice(model), edit, out);
  const std::string path = tmp / file;
  writeBytes(path, out);
  return path;
}

std::string refusal(const std::string& reason) {
  return "vesk_conv: this graph is not the fused m4b topology this kernel implements (" + reason +
         ") \xE2\x80\x94 use ORT for it";
}

TEST(ConvBackend, RefusesGraphsOutsideTheContractWithTheirReason) {
  if (skipUnlessAvailable()) GTEST_SKIP() << "no native fp16 on this processor";
  const Fused b;
  const TempDir tmp;
  EXPECT_TRUE(vesk::ConvBackend::graphSupported(b.model("b1_fused")));
  EXPECT_TRUE(vesk::ConvBackend::graphSupported(b.model("b4_fused")));
  EXPECT_FALSE(vesk::ConvBackend::graphSupported(vesk::loadManifest(bundleDir("small")).modelPath("b1")));
  EXPECT_FALSE(vesk::ConvBackend::graphSupported(tmp / "absent.onnx"));
  EXPECT_EQ(errorOf([&] { vesk::ConvBackend::create(tmp / "absent.onnx", 1); }),
            "vesk_conv: cannot open " + tmp / "absent.onnx");
  const struct {
    std::string file;
    std::vector<std::string> drop;
    std::vector<std::pair<std::string, std::vector<int64_t>>> add;
    std::string reason;
  } cases[] = {
      {"pre84.onnx",
       {"onnx::Conv_313"},
       {{"onnx::Conv_313", {96, 84, 1, 1}}},
       "pre weight (96,85,1,1) absent or ambiguous"},
      {"basis2.onnx", {}, {{"onnx::MatMul_412", {64, 196608}}}, "basis (64,196608) absent or ambiguous"},
      {"nocounter.onnx",
       {"onnx::Conv_313"},
       {{"onnx::Conv_pre", {96, 85, 1, 1}}},
       "pre weight name carries no SSA counter"},
      {"nobias.onnx", {"onnx::Conv_314"}, {}, "pre bias onnx::Conv_314 absent or not (96)"},
      {"grid2.onnx", {}, {{"onnx::Sub_999", {1, 1, 32, 32, 2}}}, "grid32 (1,1,32,32,2) absent or ambiguous"},
      {"noe0.onnx", {"s.e0.conv.weight"}, {}, "missing s.e0.conv.weight"},
      {"occ2.onnx", {"s.occ.bias"}, {{"s.occ.bias", {2}}}, "shape s.occ.bias"},
  };
  for (const auto& c : cases) {
    const std::string path = variant(b, tmp, c.file, c.drop, c.add);
    EXPECT_FALSE(vesk::ConvBackend::graphSupported(path)) << c.file;
    EXPECT_EQ(errorOf([&] { vesk::ConvBackend::create(path, 1); }), refusal(c.reason)) << c.file;
  }
}

TEST(ConvBackend, RendererServesTheFusedGraphWithIt) {
  if (skipUnlessAvailable()) GTEST_SKIP() << "no native fp16 on this processor";
  const Fused b;
  const Frame f = frameOf(b, 2, 0.05f);
  testing::internal::CaptureStderr();
  vesk::Renderer neon(b.manifest, b.identity, "b1_fused", 2, "neon");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(neon.backend(), "neon");
  EXPECT_STREQ(neon.ep(), "neon");
  EXPECT_EQ(neon.batch(), 1);
  const float* got = neon.render(&f.si, f.ks.data(), f.kd.data(), 1);
  const auto e = vesk::ConvBackend::create(b.model("b1_fused"), 2);
  const std::vector<float> want = convRun(*e, b, {f});
  EXPECT_TRUE(std::equal(want.begin(), want.end(), got));
  EXPECT_EQ(errorOf([&] { neon.render(&f.si, f.ks.data(), f.kd.data(), 2); }), "render: bad n");
  {
    ScopedEnv conv("VESK_CONV_BACKEND", "neon");
    testing::internal::CaptureStderr();
    vesk::Renderer viaEnv(b.manifest, b.identity, "b4_fused", 2, "");
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(viaEnv.backend(), "neon");
    EXPECT_EQ(viaEnv.batch(), 4);
  }
  testing::internal::CaptureStderr();
  vesk::Renderer ort(b.manifest, b.identity, "b1_fused", 2, "");
  testing::internal::GetCapturedStderr();
  EXPECT_STREQ(ort.backend(), "ort");
  EXPECT_STREQ(ort.ep(), "cpu");
  const Err d = compare(want, std::vector<float>(ort.render(&f.si, f.ks.data(), f.kd.data(), 1),
                                                 ort.render(&f.si, f.ks.data(), f.kd.data(), 1) + 3 * kPlane));
  EXPECT_LE(d.maxAbs, kRgbMax);

  // Only a 512 crop: the same graph under a bundle that states 256 is refused before it loads.
  vesk::Manifest m256 = b.manifest;
  m256.crop = 256;
  testing::internal::CaptureStderr();
  EXPECT_EQ(errorOf([&] { vesk::Renderer r(m256, b.identity, "b1_fused", 1, "neon"); }),
            "vesk_conv: only crop=512 m4b bundles");
  testing::internal::GetCapturedStderr();
}

TEST(ConvBackend, RendererFallsBackOnAGraphItDoesNotTake) {
  if (skipUnlessAvailable()) GTEST_SKIP() << "no native fp16 on this processor";
  const vesk::Manifest m = vesk::loadManifest(bundleDir("small"));
  const vesk::Identity id(m);
  testing::internal::CaptureStderr();
  vesk::Renderer r(m, id, "b1", 1, "neon");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      err.rfind("[vesk] NEON backend refused: b1 is not the fused m4b graph (golden/unified director?); using ORT\n",
                0),
      0u)
      << err;
  EXPECT_STREQ(r.ep(), "cpu");
  EXPECT_STREQ(r.backend(), "ort");
}

}  // namespace
