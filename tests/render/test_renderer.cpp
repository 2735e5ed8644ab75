// The director renderer on the generated bundles: what it renders, how it batches, what it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_simd.h"
#include "generated_bundles.h"
#include "render_test_util.h"
#include "render/vesk_conv.h"
#include "render/vesk_onnx.h"
#include "render/vesk_renderer.h"
#include "render/vesk_warp_prior.h"

using vesk::test::bundleDir;
using vesk::test::copyBundle;
using vesk::test::ScopedEnv;
using vesk::test::TempDir;

using vesk::test::errorOf;

using vesk::test::Opened;
using vesk::test::veskLines;

namespace {

// What a "neon" request on a graph other than the fused m4b one prints: the backend is unavailable on
// this processor, or it is and refuses the graph.
std::string neonLine(const std::string& key) {
  return vesk::ConvBackend::available()
             ? "[vesk] NEON backend refused: " + key +
                   " is not the fused m4b graph (golden/unified director?); using ORT\n"
             : std::string("[vesk] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
}
const char* kCpuLine = "[vesk] director ep=cpu (ORT CPU EP)\n";

std::string gsRewriteLine(const std::string& key, size_t nodes = 1) {
  return "[vesk] std GridSample -> com.zentrova::GridSampleFast load-time rewrite: " + std::to_string(nodes) +
         " node(s) (" + key + ")\n";
}

std::string gsRewriteOffLine(const std::string& key) {
  return "[vesk] VESK_GS_REWRITE=0: load-time std GridSample -> com.zentrova::GridSampleFast rewrite DISABLED (" + key +
         "); the custom op is still registered, so a baked bundle loads and runs its baked kernel. A standard bundle "
         "now runs ORT's own GridSample.\n";
}

std::string ellipseLine(const std::string& key) {
  return "[vesk] !!! compose alpha: ELLIPSE (" + key +
         ") \xE2\x80\x94 this bundle carries no lip_template.v1.json, so the director generates the over-covering "
         "elliptical region the contour replaces. BACKFILL IT: models/calvora-2/tools/carry_lip_template_fleet.py\n";
}

std::string headLine(const std::string& key) {
  return "[vesk] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1 node(s) (" + key +
         ") \xE2\x80\x94 the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every CPU-class "
         "EP and no CoreML/NNAPI EP can claim it\n";
}

std::string hoistLine(const std::string& key, int crop) {
  const std::string c = std::to_string(crop);
  return "[vesk] source-cone hoist: 'source_cone' [1,12," + c + "," + c +
         "] leaves the per-frame graph and is prefetched per SOURCE FRAME on one spare core (" + key + ")\n";
}

std::string hoistRefusedLine(const std::string& key, const std::string& reason) {
  return "[vesk] source-cone hoist NOT applied (" + key + "): " + reason + "\n";
}

enum class Gs { Rewritten, Disabled, Unregistered };

// What loading a generated director prints: the GridSample switch, the compose alpha (no bundle of
// the tests carries a lip template), the rewrites that took, the hoist decision and the ep.
std::string loadLines(const Opened& b, const std::string& key, Gs gs = Gs::Rewritten) {
  const bool featSynth = key.find("featsynth") != std::string::npos;
  const bool standardSampler = key.find("_gs") == std::string::npos;  // the variants' samplers are not taken
  const int batch = std::atoi(key.c_str() + 1);
  std::string s;
  if (gs == Gs::Disabled) s += gsRewriteOffLine(key);
  s += ellipseLine(key);
  if (gs == Gs::Rewritten && standardSampler) s += gsRewriteLine(key);
  if (!featSynth) s += headLine(key);
  if (featSynth)
    s += hoistRefusedLine(key, "expected exactly one Concat consuming P_rgb, found 0");
  else if (batch != 1)
    s += hoistRefusedLine(key, "batch-1 lever; this graph declares batch " + std::to_string(batch));
  else
    s += hoistLine(key, b.manifest.crop);
  return s + kCpuLine;
}

// Builds a renderer and checks what it says on standard error: the GridSample rewrite of the
// director's one warp sampler and the ep line, after the fp16 backend's refusal when "neon" was
// asked for.
std::unique_ptr<vesk::Renderer> quietRenderer(const Opened& b, const std::string& key, const std::string& ep = "") {
  testing::internal::CaptureStderr();
  std::unique_ptr<vesk::Renderer> r;
  try {
    r = std::make_unique<vesk::Renderer>(b.manifest, b.identity, key, 1, ep);
  } catch (...) {
    testing::internal::GetCapturedStderr();  // a refusal is checked by its text
    throw;
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(veskLines(err), (ep == "neon" ? neonLine(key) : std::string()) + loadLines(b, key)) << err;
  return r;
}

// A renderer built with what it printed, which the caller checks.
std::unique_ptr<vesk::Renderer> loggedRenderer(const Opened& b, const std::string& key, std::string& lines) {
  testing::internal::CaptureStderr();
  std::unique_ptr<vesk::Renderer> r;
  try {
    r = std::make_unique<vesk::Renderer>(b.manifest, b.identity, key, 1, "");
  } catch (...) {
    lines = veskLines(testing::internal::GetCapturedStderr());
    throw;
  }
  lines = veskLines(testing::internal::GetCapturedStderr());
  return r;
}

float maxAbsDiff(const float* a, const float* b, size_t n) {
  float m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

double meanAbsDiff(const float* a, const float* b, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += std::fabs(static_cast<double>(a[i]) - b[i]);
  return s / static_cast<double>(n);
}

}  // namespace

TEST(Renderer, OwnKeypointsGiveBackTheSourceCrop) {
  Opened b(bundleDir("small"));
  auto r = quietRenderer(b, "b1");
  EXPECT_EQ(r->batch(), 1);
  EXPECT_STREQ(r->ep(), "cpu");
  EXPECT_STREQ(r->backend(), "ort");
  const int c = b.manifest.crop;
  const size_t n = 3 * static_cast<size_t>(c) * c;
  std::vector<float> source(n);
  for (int f = 0; f < b.drive.frames; f += 3) {
    const int si = b.drive.si[static_cast<size_t>(f)];
    const float* out = r->render(&si, b.xs(f), b.xs(f), 1);
    vesk::halfToFloat(b.identity.P(si), source.data(), n);
    EXPECT_LT(meanAbsDiff(out, source.data(), n), 0.01) << "frame " << f;
  }
  EXPECT_EQ(r->runs(), 3);
}

TEST(Renderer, PaddedBatchRepeatsTheLastFrame) {
  Opened b(bundleDir("small"));
  auto r24 = quietRenderer(b, "b24_fp32");
  auto r1 = quietRenderer(b, "b1");
  ASSERT_EQ(r24->batch(), 24);
  const size_t frame = 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;

  // Two frames answer the call; the other 22 blocks repeat the second frame's inputs.
  std::vector<float> xd(b.xs(1), b.xs(1) + 63);
  xd[17 * 3 + 1] += 0.05f;
  const std::vector<int> si = {b.drive.si[0], b.drive.si[1]};
  std::vector<float> xs2(b.xs(0), b.xs(0) + 63), xd2 = xs2;
  xs2.insert(xs2.end(), b.xs(1), b.xs(1) + 63);
  xd2.insert(xd2.end(), xd.begin(), xd.end());
  const float* out = r24->render(si.data(), xs2.data(), xd2.data(), 2);
  const std::vector<float> batched(out, out + 24 * frame);
  for (int j = 2; j < 24; ++j)
    EXPECT_EQ(std::memcmp(&batched[frame * static_cast<size_t>(j)], &batched[frame], frame * sizeof(float)), 0) << j;

  // Each frame of the batch is what the batch-1 graph renders for it alone.
  const float* one = r1->render(&si[1], b.xs(1), xd.data(), 1);
  EXPECT_LT(meanAbsDiff(one, &batched[frame], frame), 1e-5);

  EXPECT_EQ(errorOf([&] { r24->render(si.data(), xs2.data(), xd2.data(), 0); }), "render: bad n");
  EXPECT_EQ(errorOf([&] { r24->render(si.data(), xs2.data(), xd2.data(), 25); }), "render: bad n");
  std::vector<int> all(24, si[0]);
  std::vector<float> kp(24 * 63);
  for (int j = 0; j < 24; ++j) std::memcpy(&kp[63 * static_cast<size_t>(j)], b.xs(0), 63 * sizeof(float));
  EXPECT_NE(r24->render(all.data(), kp.data(), kp.data(), 24), nullptr);
}

TEST(Renderer, ExecutionProviders) {
  Opened b(bundleDir("small"));
  EXPECT_EQ(errorOf([&] { quietRenderer(b, "b1", "cpu"); }), "Renderer: unknown ep 'cpu'");
  const std::string xnn = errorOf([&] { quietRenderer(b, "b1", "xnnpack:4"); });
  EXPECT_EQ(xnn.rfind("Renderer: ep 'xnnpack:4' is REFUSED. This renderer rewrites its graph", 0), 0u) << xnn;
  EXPECT_NE(xnn.find("Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes."),
            std::string::npos);

  // This runtime has no CoreML provider: the session build falls back to the CPU provider and says so.
  testing::internal::CaptureStderr();
  auto r = std::make_unique<vesk::Renderer>(b.manifest, b.identity, "b1", 1, "coreml:gpu");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[vesk] CoreML EP session refused: "), std::string::npos) << err;
  // The CPU session it falls back to gets the CPU provider's GridSample rewrite.
  EXPECT_NE(err.find(" \xE2\x80\x94 falling back to the ORT CPU EP\n" + loadLines(b, "b1")),
            std::string::npos)
      << err;
  EXPECT_STREQ(r->ep(), "cpu");
  // "neon" on a graph the fp16 backend does not take renders on the CPU provider and says why first.
  EXPECT_STREQ(quietRenderer(b, "b1", "neon")->ep(), "cpu");
  {
    ScopedEnv conv("VESK_CONV_BACKEND", "neon");
    testing::internal::CaptureStderr();
    auto viaEnv = std::make_unique<vesk::Renderer>(b.manifest, b.identity, "b1", 1, "");
    EXPECT_EQ(veskLines(testing::internal::GetCapturedStderr()), neonLine("b1") + loadLines(b, "b1"));
    EXPECT_STREQ(viaEnv->ep(), "cpu");
  }
  {
    ScopedEnv conv("VESK_CONV_BACKEND", "neon ");
    EXPECT_STREQ(quietRenderer(b, "b1")->ep(), "cpu");  // only the exact value asks for it
  }
  EXPECT_EQ(vesk::coremlCacheDir("/b").rfind("/b/.coreml_cache/ort1.21", 0), 0u);
}

TEST(Renderer, RefusesGraphsAndBundlesItCannotServe) {
  Opened b(bundleDir("small"));
  const std::string kp22 = errorOf([&] { quietRenderer(b, "b1_kp22"); });
  EXPECT_EQ(kp22.rfind("Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + b.manifest.dir +
                           "/model_b1_kp22.onnx \xE2\x80\x94 the graph declares kp_driving with 22 keypoint rows, and "
                           "this renderer feeds 21 (vesk::kHostKpRows, vesk/vesk.h). That is the recipe_v4 / kd_v4 "
                           "shape: row 21 is the WIDTH ROW",
                       0),
            0u)
      << kp22;
  EXPECT_NE(kp22.find("REFUSING AT LOAD rather than dying inside ORT at the first Run."), std::string::npos);
  const std::string kp20 = errorOf([&] { quietRenderer(b, "b1_kp20"); });
  EXPECT_NE(kp20.find("declares kp_driving with 20 keypoint rows, and this renderer feeds 21 (vesk::kHostKpRows, "
                      "vesk/vesk.h). REFUSING AT LOAD"),
            std::string::npos)
      << kp20;  // no width-row sentence for 20 rows
  // A dynamic row count is not checked at load, and the host's 21 rows run.
  auto dyn = quietRenderer(b, "b1_kpdyn");
  const int si0 = b.drive.si[0];
  EXPECT_NE(dyn->render(&si0, b.xs(0), b.xs(0), 1), nullptr);
  EXPECT_EQ(errorOf([&] { quietRenderer(b, "nope"); }), "Renderer: cannot open " + b.manifest.dir + "/model_nope.onnx");

  // A FeatSynth graph renders from fs_red; without fs_red it is refused.
  auto fs = quietRenderer(b, "b1_featsynth");
  const int si = b.drive.si[0];
  EXPECT_NE(fs->render(&si, b.xs(0), b.xs(0), 1), nullptr);
  TempDir tmp;
  const std::string noFs = copyBundle("unified", tmp);
  std::filesystem::copy_file(bundleDir("small") + "/model_b1_featsynth.onnx", noFs + "/model_b1_featsynth.onnx");
  Opened u(noFs);
  EXPECT_EQ(errorOf([&] { quietRenderer(u, "b1_featsynth"); }), "FeatSynth graph but bundle lacks fs_red.f16");

  // fs_red alone is a warp prior for the identity, not for an m4b graph.
  const std::string noP = copyBundle("small", tmp);
  std::filesystem::remove(noP + "/P.f16");
  Opened f(noP);
  EXPECT_EQ(errorOf([&] { quietRenderer(f, "b1"); }).rfind("m4b graph (P_rgb input) but this bundle carries no warp prior", 0),
            0u);
}

// A director that carries a quantised convolution loads and renders: the int8 domain is registered on
// every session the renderer builds, with or without the GridSampleFast registration.
TEST(Renderer, LoadsAGraphWithAnInt8Convolution) {
  TempDir tmp;
  const std::string dir = copyBundle("small", tmp);
  const std::string path = dir + "/model_b1.onnx";
  const std::string text = vesk::test::readFile(path);
  const std::vector<uint8_t> model(text.begin(), text.end());
  // Int8ConvVNNI over P_rgb: 3 channels in, 4 out, 3 x 3.
  vesk::GsGraphEdit edit;
  const std::vector<int8_t> wq(4 * 3 * 3 * 3, 1);
  const std::vector<float> ws(4, 0.01f), bias(4, 0.0f);
  vesk::hcInit(edit.appendGraph, "i8_w", {4, 3, 3, 3}, 3 /* INT8 */, wq.data(), wq.size());
  vesk::hcInit(edit.appendGraph, "i8_ws", {4}, vesk::onnx_field::kFloat, ws.data(), ws.size() * sizeof(float));
  vesk::hcInit(edit.appendGraph, "i8_b", {4}, vesk::onnx_field::kFloat, bias.data(), bias.size() * sizeof(float));
  std::vector<uint8_t> node;
  for (const char* in : {"P_rgb", "i8_w", "i8_ws", "i8_b"}) vesk::gsPutBytes(node, 1, std::string(in));
  vesk::gsPutBytes(node, 2, std::string("i8_probe"));
  vesk::gsPutBytes(node, 3, std::string("i8_conv"));
  vesk::gsPutBytes(node, 4, std::string("Int8ConvVNNI"));
  vesk::gsPutBytes(node, 7, std::string("com.zentrova.int8"));
  vesk::gsPutBytes(edit.appendGraph, vesk::onnx_field::kGraphNode, node.data(), node.size());
  vesk::gsPutOpsetImport(edit.appendModel, "com.zentrova.int8", 1);
  std::vector<uint8_t> out;
  vesk::gsRebuild(vesk::GsSlice(model), edit, out);
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(out.data()),
                                                                 static_cast<std::streamsize>(out.size()));
  Opened b(dir);
  const int si = b.drive.si[0];
  for (const char* gsFast : {static_cast<const char*>(nullptr), "0"}) {
    SCOPED_TRACE(gsFast ? "VESK_GS_FAST=0" : "VESK_GS_FAST unset");
    ScopedEnv env("VESK_GS_FAST", gsFast);
    std::unique_ptr<vesk::Renderer> r;
    testing::internal::CaptureStderr();
    const std::string err =
        errorOf([&] { r = std::make_unique<vesk::Renderer>(b.manifest, b.identity, "b1", 1, ""); });
    const std::string lines = veskLines(testing::internal::GetCapturedStderr());
    ASSERT_TRUE(r) << err;
    // The extra reader of P_rgb keeps the cone in the graph; nothing else about the load changes.
    EXPECT_NE(lines.find("source-cone hoist NOT applied (b1): P_rgb is also read outside the cone by Int8ConvVNNI"),
              std::string::npos)
        << lines;
    EXPECT_NE(r->render(&si, b.xs(0), b.xs(0), 1), nullptr);
  }
}

TEST(Renderer, PlaysTheWarpPriorFromVideo) {
  Opened b(bundleDir("unified"));
  EXPECT_FALSE(b.identity.hasMappedP());
  auto r = quietRenderer(b, "b1");
  const size_t n = 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  std::vector<float> source(n);
  testing::internal::CaptureStderr();
  // A prior of the test's own, so the frames compared are decoded apart from the renderer's.
  vesk::WarpPrior prior(b.manifest, b.identity);
  for (int f = 0; f < b.drive.frames; ++f) {
    const int si = b.drive.si[static_cast<size_t>(f)];
    const float* out = r->render(&si, b.xs(f), b.xs(f), 1);
    vesk::halfToFloat(prior.P(si), source.data(), n);
    EXPECT_LT(meanAbsDiff(out, source.data(), n), 0.01) << f;
  }
  testing::internal::GetCapturedStderr();
}

TEST(Renderer, ProfilingReportsOnDestruction) {
  Opened b(bundleDir("small"));
  TempDir tmp;
  {
    auto r = quietRenderer(b, "b1");
    testing::internal::CaptureStderr();
    r.reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  ScopedEnv prof("VESK_ORT_PROFILE", (tmp / "prof").c_str());
  auto r = quietRenderer(b, "b1");
  const int si = b.drive.si[0];
  r->render(&si, b.xs(0), b.xs(0), 1);
  testing::internal::CaptureStderr();
  r.reset();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("[vesk_ort_profile] 1 frames: ", 0), 0u) << err;
  EXPECT_NE(err.find(" ms/frame in Session::Run\n[vesk_ort_profile] " + tmp / "prof"), std::string::npos) << err;
}

TEST(Renderer, ADirectorThatFailsOnAnOpenMouthFailsThatFrameOnlyAndStaysUsable) {
  // The faulty bundle's directors fail inside Session::Run once a lower-lip row is driven 0.02 or
  // more below its source; runtime errors surface as ONNX Runtime's own exceptions.
  Opened b(bundleDir("faulty"));
  const size_t n = 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  std::vector<float> source(n);
  auto lipDrop = [&](int frame, float d) {
    std::vector<float> xd(b.xs(frame), b.xs(frame) + 63);
    xd[12 * 3 + 1] += d;
    return xd;
  };
  for (const char* key : {"b1", "b24_fp32"}) {
    SCOPED_TRACE(key);
    auto r = quietRenderer(b, key);
    const int si = b.drive.si[0];
    vesk::halfToFloat(b.identity.P(si), source.data(), n);
    EXPECT_LT(meanAbsDiff(r->render(&si, b.xs(0), b.xs(0), 1), source.data(), n), 0.01);
    EXPECT_NE(r->render(&si, b.xs(0), lipDrop(0, 0.015f).data(), 1), nullptr);  // a little open: rendered
    const std::string err = errorOf([&] { r->render(&si, b.xs(0), lipDrop(0, 0.03f).data(), 1); });
    EXPECT_NE(err.find("/fail/open_mouth_gate"), std::string::npos) << err;
    EXPECT_LT(meanAbsDiff(r->render(&si, b.xs(0), b.xs(0), 1), source.data(), n), 0.01);
  }
  // One open frame fails the whole batch it is in.
  auto r24 = quietRenderer(b, "b24_fp32");
  const std::vector<int> si = {b.drive.si[0], b.drive.si[1]};
  std::vector<float> xs(b.xs(0), b.xs(0) + 126), xd = xs;
  xd[63 + 12 * 3 + 1] += 0.05f;
  EXPECT_NE(errorOf([&] { r24->render(si.data(), xs.data(), xd.data(), 2); }), "(no error)");
  EXPECT_NE(r24->render(si.data(), xs.data(), xs.data(), 2), nullptr);

  // Through the C call: null, with the runtime's text after the call's name, and the next frame renders.
  testing::internal::CaptureStderr();
  vesk_ctx* ctx = vesk_create(bundleDir("faulty").c_str(), "b1", 1, "");
  ASSERT_NE(ctx, nullptr) << vesk_last_error();
  EXPECT_EQ(vesk_render_kp_crop(ctx, 0, b.xs(0), lipDrop(0, 0.03f).data()), nullptr);
  const std::string err = vesk_last_error();
  EXPECT_EQ(err.rfind("vesk_render_kp_crop: ", 0), 0u) << err;
  EXPECT_NE(err.find("/fail/open_mouth_gate"), std::string::npos) << err;
  EXPECT_NE(vesk_render_kp_crop(ctx, 0, b.xs(0), b.xs(0)), nullptr) << vesk_last_error();
  vesk_destroy(ctx);
  testing::internal::GetCapturedStderr();
}

// The load-time GridSample rewrite: the director's warp sampler runs on com.zentrova::GridSampleFast
// and renders what ONNX Runtime's own GridSample renders, to fp32 round-off.
TEST(RendererGridSampleFast, RewrittenCropsEqualThePlainGraphsOverFramesAndKeypoints) {
  Opened b(bundleDir("small"));
  auto fast = quietRenderer(b, "b1");
  std::unique_ptr<vesk::Renderer> plain;
  {
    vesk::test::ScopedEnv off("VESK_GS_REWRITE", "0");
    std::string lines;
    plain = loggedRenderer(b, "b1", lines);
    EXPECT_EQ(lines, loadLines(b, "b1", Gs::Disabled));
  }
  const size_t n = 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  // The crops are colours in [0, 1]; the two samplers differ by a rounding or two in the sample
  // position and the blend, which the warp's recombination and the compose carry on: the bound
  // is about 17 units in the last place of 1.0.
  constexpr float kBound = 2e-6f;
  float worst = 0;
  size_t differing = 0;
  uint32_t seed = 12345;
  auto jitter = [&] {
    seed = seed * 1664525u + 1013904223u;
    return (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.08f;  // up to 0.04 of the half-crop
  };
  for (int f = 0; f < b.drive.frames; ++f) {
    const int si = b.drive.si[static_cast<size_t>(f)];
    for (int set = 0; set < 6; ++set) {
      std::vector<float> xd(b.xs(f), b.xs(f) + 63);
      if (set > 0)
        for (size_t k = 0; k < 63; ++k)
          if (k % 3 != 2) xd[k] += jitter();
      const float* ref = plain->render(&si, b.xs(f), xd.data(), 1);
      const std::vector<float> want(ref, ref + n);
      const float* got = fast->render(&si, b.xs(f), xd.data(), 1);
      const float d = maxAbsDiff(got, want.data(), n);
      worst = std::max(worst, d);
      differing += d > 0 ? 1 : 0;
      EXPECT_LE(d, kBound) << "frame " << f << ", keypoint set " << set;
    }
  }
  std::printf("GridSampleFast against ORT's GridSample over %d crops: max |diff| %.3g (bound %.1g), %zu crops differ\n",
              b.drive.frames * 6, static_cast<double>(worst), static_cast<double>(kBound), differing);
}

TEST(RendererGridSampleFast, RegistrationAndRewriteFollowTheEnvironment) {
  Opened b(bundleDir("small"));
  using vesk::test::ScopedEnv;
  struct Case {
    const char* fast;
    const char* rewrite;
    std::string lines;
  };
  const std::string on = loadLines(b, "b1");
  const std::string off = loadLines(b, "b1", Gs::Disabled);
  const std::string none = loadLines(b, "b1", Gs::Unregistered);
  for (const Case& c : {Case{nullptr, nullptr, on}, Case{"1", "1", on}, Case{"", "", on}, Case{"yes", "no", on},
                        Case{nullptr, "0", off}, Case{nullptr, "0ff", off}, Case{"1", "0", off},
                        // Without the operator there is nothing to rewrite to, and nothing to say.
                        Case{"0", nullptr, none}, Case{"0", "0", none}, Case{"0ff", "1", none}}) {
    SCOPED_TRACE(std::string("VESK_GS_FAST=") + (c.fast ? c.fast : "(unset)") + " VESK_GS_REWRITE=" +
                 (c.rewrite ? c.rewrite : "(unset)"));
    ScopedEnv fast("VESK_GS_FAST", c.fast);
    ScopedEnv rewrite("VESK_GS_REWRITE", c.rewrite);
    std::string lines;
    auto r = loggedRenderer(b, "b1", lines);
    EXPECT_EQ(lines, c.lines);
    const int si = b.drive.si[0];
    EXPECT_NE(r->render(&si, b.xs(0), b.xs(0), 1), nullptr);
  }
  // A batched graph and a FeatSynth graph carry one warp sampler each too.
  for (const char* key : {"b24_fp32", "b1_featsynth"}) {
    std::string lines;
    loggedRenderer(b, key, lines);
    EXPECT_EQ(lines, loadLines(b, key));
  }
}

TEST(RendererGridSampleFast, SamplersTheFastOperatorDoesNotComputeKeepTheStandardKernel) {
  Opened b(bundleDir("gsvariants"));
  const size_t n = 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  for (const char* key : {"b1_gszeros", "b1_gsnomode", "b1_gsalign"}) {
    SCOPED_TRACE(key);
    std::string lines;
    auto r = loggedRenderer(b, key, lines);
    EXPECT_EQ(lines, loadLines(b, key));  // the sampler is not rewritten, and that is not reported
    std::unique_ptr<vesk::Renderer> plain;
    {
      vesk::test::ScopedEnv off("VESK_GS_FAST", "0");
      plain = loggedRenderer(b, key, lines);
      EXPECT_EQ(lines, loadLines(b, key, Gs::Unregistered));
    }
    for (int f = 0; f < b.drive.frames; ++f) {
      const int si = b.drive.si[static_cast<size_t>(f)];
      std::vector<float> xd(b.xs(f), b.xs(f) + 63);
      xd[12 * 3 + 1] += 0.03f;
      const float* ref = plain->render(&si, b.xs(f), xd.data(), 1);
      const std::vector<float> want(ref, ref + n);
      EXPECT_EQ(maxAbsDiff(r->render(&si, b.xs(f), xd.data(), 1), want.data(), n), 0.0f) << f;
    }
  }
}

TEST(RendererGridSampleFast, BakedOperatorLoadsWhileRegisteredAndIsRefusedWithoutIt) {
  Opened b(bundleDir("gsvariants"));
  const size_t n = 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  std::string lines;
  auto rewritten = loggedRenderer(b, "b1", lines);
  EXPECT_EQ(lines, loadLines(b, "b1"));
  auto baked = loggedRenderer(b, "b1_gsbaked", lines);
  EXPECT_EQ(lines, loadLines(b, "b1_gsbaked"));
  std::unique_ptr<vesk::Renderer> standard;
  {
    vesk::test::ScopedEnv off("VESK_GS_REWRITE", "0");
    auto bakedNoRewrite = loggedRenderer(b, "b1_gsbaked", lines);
    EXPECT_EQ(lines, loadLines(b, "b1_gsbaked", Gs::Disabled));
    const int si = b.drive.si[0];
    EXPECT_NE(bakedNoRewrite->render(&si, b.xs(0), b.xs(0), 1), nullptr);
    standard = loggedRenderer(b, "b1", lines);
  }
  // The session runs the rewritten bytes: the standard graph rewritten at load renders exactly what
  // the graph baked with the operator renders, and not exactly what ORT's GridSample renders.
  float fromStandard = 0;
  for (int f = 0; f < b.drive.frames; ++f) {
    const int si = b.drive.si[static_cast<size_t>(f)];
    std::vector<float> xd(b.xs(f), b.xs(f) + 63);
    xd[12 * 3 + 1] += 0.02f;
    xd[3 * 3] -= 0.01f;
    const float* ref = baked->render(&si, b.xs(f), xd.data(), 1);
      const std::vector<float> want(ref, ref + n);
    EXPECT_EQ(maxAbsDiff(rewritten->render(&si, b.xs(f), xd.data(), 1), want.data(), n), 0.0f) << f;
    fromStandard = std::max(fromStandard, maxAbsDiff(standard->render(&si, b.xs(f), xd.data(), 1), want.data(), n));
  }
  EXPECT_GT(fromStandard, 0.0f);
  EXPECT_LE(fromStandard, 2e-6f);

  const std::string path = b.manifest.dir + "/model_b1_gsbaked.onnx";
  const std::string refusal =
      "Renderer: VESK_GS_FAST=0 (or ZENTROVA_CALVORA2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + path +
      " has com.zentrova::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, so there "
      "would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is not a registered "
      "function/op'. There is no standard-GridSample arm on this bundle to measure: the artifact itself is "
      "non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since INFERENCE_STANDARDIZATION.md "
      "#1), or unset the flag to load this one.";
  vesk::test::ScopedEnv off("VESK_GS_FAST", "0");
  EXPECT_EQ(errorOf([&] { loggedRenderer(b, "b1_gsbaked", lines); }), refusal);
  EXPECT_EQ(lines, "");  // refused before the session, so no ep line either
  // The standard graph of the same bundle loads without the operator.
  loggedRenderer(b, "b1", lines);
  EXPECT_EQ(lines, loadLines(b, "b1", Gs::Unregistered));

  // Bytes the codec cannot read are not called baked: the runtime refuses them in its own words,
  // and a missing model is refused with its path as always.
  TempDir tmp;
  const std::string copy = copyBundle("gsvariants", tmp);
  {
    std::ofstream f(copy + "/model_b1_gsbaked.onnx", std::ios::binary | std::ios::trunc);
    f << "\x0a\xff";  // a graph field whose length runs past the end
  }
  Opened broken(copy);
  const std::string err = errorOf([&] { loggedRenderer(broken, "b1_gsbaked", lines); });
  EXPECT_EQ(err.find("VESK_GS_FAST=0"), std::string::npos) << err;
  EXPECT_NE(err, "(no error)");
  EXPECT_EQ(errorOf([&] { loggedRenderer(broken, "nope", lines); }), "Renderer: cannot open " + copy + "/model_nope.onnx");
}
