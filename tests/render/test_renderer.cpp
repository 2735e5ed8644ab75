// The director renderer on the generated bundles: what it renders, how it batches, what it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_simd.h"
#include "generated_bundles.h"
#include "render/vesk_renderer.h"
#include "render/vesk_warp_prior.h"

using vesk::test::bundleDir;
using vesk::test::copyBundle;
using vesk::test::ScopedEnv;
using vesk::test::TempDir;

using vesk::test::errorOf;

namespace {

struct Opened {
  explicit Opened(const std::string& dir) : manifest(vesk::loadManifest(dir)), identity(manifest), drive(vesk::loadDrive(manifest)) {}
  vesk::Manifest manifest;
  // Const, as the renderer receives it: playing the prior from video must not need more.
  const vesk::Identity identity;
  vesk::Drive drive;
  const float* xs(int frame) const { return drive.xs.data() + static_cast<size_t>(frame) * 63; }
};

const char* kNeonUnavailable = "[vesk] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n";
const char* kCpuLine = "[vesk] director ep=cpu (ORT CPU EP)\n";

// The lines of the library's own tags in captured standard error, in order.
std::string veskLines(const std::string& err) {
  std::string out;
  size_t at = 0;
  while (at < err.size()) {
    size_t end = err.find('\n', at);
    end = end == std::string::npos ? err.size() : end + 1;
    if (err.compare(at, 5, "[vesk") == 0) out += err.substr(at, end - at);
    at = end;
  }
  return out;
}

// Builds a renderer and checks what it says on standard error: the ep line, after the fp16
// backend's refusal when "neon" was asked for.
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
  EXPECT_EQ(veskLines(err), std::string(ep == "neon" ? kNeonUnavailable : "") + kCpuLine) << err;
  return r;
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
  EXPECT_NE(err.find(" \xE2\x80\x94 falling back to the ORT CPU EP\n[vesk] director ep=cpu (ORT CPU EP)\n"),
            std::string::npos)
      << err;
  EXPECT_STREQ(r->ep(), "cpu");
  // No fp16 backend in this build: "neon" renders on the CPU provider and says so first.
  EXPECT_STREQ(quietRenderer(b, "b1", "neon")->ep(), "cpu");
  {
    ScopedEnv conv("VESK_CONV_BACKEND", "neon");
    testing::internal::CaptureStderr();
    auto viaEnv = std::make_unique<vesk::Renderer>(b.manifest, b.identity, "b1", 1, "");
    EXPECT_EQ(veskLines(testing::internal::GetCapturedStderr()), std::string(kNeonUnavailable) + kCpuLine);
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
