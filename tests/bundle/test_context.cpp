// The render context and the single-frame and prior C calls, as a host sees them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "api/vesk_ctx.h"
#include "core/vesk_pool.h"
#include "generated_bundles.h"
#include "render/vesk_conv.h"
#include "vesk/vesk.h"

using vesk::test::bundleDir;
using vesk::test::copyBundle;
using vesk::test::TempDir;

namespace {

struct CtxFree {
  void operator()(vesk_ctx* c) const noexcept { vesk_destroy(c); }
};
using Ctx = std::unique_ptr<vesk_ctx, CtxFree>;

// Opens quietly; returns null with the error left in vesk_last_error().
Ctx create(const std::string& dir, int threads = 1, const char* ep = nullptr, std::string* err = nullptr) {
  testing::internal::CaptureStderr();
  Ctx c(vesk_create(dir.c_str(), "b1", threads, ep));
  const std::string e = testing::internal::GetCapturedStderr();
  if (err != nullptr) *err = e;
  return c;
}

std::string createError(const std::string& dir) {
  Ctx c = create(dir);
  EXPECT_EQ(c, nullptr);
  return vesk_last_error();
}

}  // namespace

TEST(RenderContext, CreateAndSizes) {
  EXPECT_EQ(vesk_create(nullptr, "x", 0, nullptr), nullptr);
  EXPECT_STREQ(vesk_last_error(), "vesk_create: NULL bundle_dir/model_key");
  EXPECT_EQ(vesk_nt(nullptr), 0);
  EXPECT_EQ(vesk_width(nullptr) + vesk_height(nullptr) + vesk_crop(nullptr) + vesk_drive_frames(nullptr), 0);
  EXPECT_STREQ(vesk_last_error(), "vesk_create: NULL bundle_dir/model_key");  // the queries leave it alone

  Ctx c = create(bundleDir("small"));
  ASSERT_NE(c, nullptr) << vesk_last_error();
  EXPECT_STREQ(vesk_last_error(), "");
  EXPECT_EQ(vesk_nt(c.get()), 8);
  EXPECT_EQ(vesk_width(c.get()), 320);
  EXPECT_EQ(vesk_height(c.get()), 240);
  EXPECT_EQ(vesk_crop(c.get()), 128);
  EXPECT_EQ(vesk_drive_frames(c.get()), 8);
  vesk_destroy(nullptr);
}

TEST(RenderContext, OpensADirectoryAndAContainer) {
  for (const std::string& path : {bundleDir("unified"), bundleDir("unified.imx")}) {
    TempDir tmp;
    vesk::test::ScopedEnv root("VESK_IMX_UNWRAP_ROOT", tmp.path().c_str());
    Ctx c = create(path);
    ASSERT_NE(c, nullptr) << vesk_last_error();
    const float* crop = vesk_render_drive_crop(c.get(), 2);
    ASSERT_NE(crop, nullptr) << vesk_last_error();
    EXPECT_NE(vesk_paste_last(c.get(), c->drive.si[2]), nullptr);
  }
}

TEST(RenderContext, BrokenBundlesAreRefusedWithTheirReasons) {
  TempDir tmp;
  std::string b = copyBundle("small", tmp);
  vesk::test::truncateBy(b + "/mask_512.u8", 1);
  EXPECT_EQ(createError(b), "vesk_create: mask read failed");
  std::filesystem::remove_all(b);

  b = copyBundle("small", tmp);
  vesk::test::writeFile(b + "/mask_512.u8", vesk::test::readFile(b + "/mask_512.u8") + "extra");
  EXPECT_NE(create(b), nullptr) << vesk_last_error();  // a longer mask is read only as far as it goes
  vesk::test::truncateBy(b + "/pooled64.f16", 1);
  EXPECT_EQ(createError(b), "vesk_create: size mismatch " + b + "/pooled64.f16");
  std::filesystem::remove_all(b);

  b = copyBundle("small", tmp);
  std::filesystem::remove(b + "/P.f16");
  std::filesystem::remove(b + "/fs_red.f16");
  EXPECT_EQ(createError(b).rfind("vesk_create: this bundle carries neither P.f16 nor fs_red.f16", 0), 0u);
  std::filesystem::remove_all(b);

  b = copyBundle("small", tmp);
  vesk::test::truncateBy(b + "/drive/si.i32", 4);
  EXPECT_EQ(createError(b), "vesk_create: size mismatch " + b + "/drive/si.i32");
  EXPECT_EQ(createError(tmp / "missing"), "vesk_create: cannot open " + tmp / "missing/manifest.json");
}

TEST(RenderContext, DirectorIsCreatedOnFirstUseWithTheIntraOpRule) {
  const std::string dir = bundleDir("small");
  auto firstRenderLog = [&](int threads, const char* ep) {
    Ctx c = create(dir, threads, ep);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(c->renderer, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_NE(vesk_render_drive_crop(c.get(), 0), nullptr) << vesk_last_error();
    return testing::internal::GetCapturedStderr();
  };
  const int pool = vesk::pool::threads();
  const std::string chosenByCore = firstRenderLog(0, nullptr);
  EXPECT_NE(chosenByCore.find("[vesk] director intra-op " + std::to_string(std::min(pool, 2)) + " of pool " +
                              std::to_string(pool) +
                              ": the caller did not choose, the core sized it for the vesk_utt pipeline\n"),
            std::string::npos)
      << chosenByCore;
  EXPECT_EQ(firstRenderLog(6, nullptr).find("intra-op"), std::string::npos);
  // "neon" is a chosen ep: no intra-op line; the fp16 backend is unavailable here or refuses b1,
  // and says so.
  const std::string neon = firstRenderLog(0, "neon");
  EXPECT_EQ(neon.find("intra-op"), std::string::npos) << neon;
  // The director's load lines follow the refusal; the last says where it runs.
  const std::string neonLine =
      vesk::ConvBackend::available()
          ? "[vesk] NEON backend refused: b1 is not the fused m4b graph (golden/unified director?); using ORT\n"
          : "[vesk] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n";
  EXPECT_NE(neon.find(neonLine + "[vesk] !!! compose alpha: ELLIPSE (b1)"), std::string::npos) << neon;
  EXPECT_NE(neon.find("[vesk] std GridSample -> com.zentrova::GridSampleFast load-time rewrite: 1 node(s) (b1)\n"),
            std::string::npos)
      << neon;
  EXPECT_NE(neon.find("(b1)\n[vesk] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << neon;

  // A director that cannot be made leaves none behind, and the next render tries again.
  Ctx c = create(dir, 1, "cpu");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(vesk_render_drive_crop(c.get(), 0), nullptr);
  EXPECT_STREQ(vesk_last_error(), "vesk_render_kp_crop: Renderer: unknown ep 'cpu'");
  EXPECT_EQ(c->renderer, nullptr);
}

TEST(RenderContext, SingleFrameCallsAndTheirRefusals) {
  Ctx c = create(bundleDir("small"));
  ASSERT_NE(c, nullptr);
  vesk_ctx* x = c.get();
  const size_t W = 320, H = 240;
  EXPECT_EQ(vesk_paste_last(x, 0), nullptr);
  EXPECT_STREQ(vesk_last_error(), "vesk_paste_last: bad args / no prior render");
  EXPECT_EQ(vesk_render_drive_crop(x, 8), nullptr);
  EXPECT_STREQ(vesk_last_error(), "vesk_render_drive_crop: bad frame index");
  EXPECT_EQ(vesk_render_kp_crop(x, 8, x->drive.xs.data(), x->drive.xs.data()), nullptr);
  EXPECT_STREQ(vesk_last_error(), "vesk_render_kp_crop: bad args");
  EXPECT_EQ(vesk_target_frame(x, -1), nullptr);
  EXPECT_STREQ(vesk_last_error(), "vesk_target_frame: bad args");

  const float* crop = vesk_render_drive_crop(x, 3);
  ASSERT_NE(crop, nullptr);
  std::vector<uint8_t> out(W * H * 3 - 1, 7);
  EXPECT_EQ(vesk_paste_crop(x, x->drive.si[3], crop, out.data(), out.size()), 0);
  EXPECT_STREQ(vesk_last_error(), "vesk_paste_crop: bad args / out too small");
  EXPECT_EQ(out[0], 7);  // nothing decoded into a buffer too small

  // Pasting the crop a frame's own keypoints render is seamless: the frame barely changes.
  out.resize(W * H * 3);
  const int si = x->drive.si[3];
  ASSERT_EQ(vesk_paste_crop(x, si, crop, out.data(), out.size()), 1) << vesk_last_error();
  const uint8_t* raw = vesk_target_frame(x, si);
  ASSERT_NE(raw, nullptr);
  double diff = 0;
  for (size_t i = 0; i < out.size(); ++i) diff += std::abs(static_cast<int>(out[i]) - static_cast<int>(raw[i]));
  EXPECT_LT(diff / static_cast<double>(out.size()), 3.0);  // the unsharp mask alone accounts for most of it

  // A too-small RGBA buffer is refused after the render: the context's last crop is then drive
  // frame 5's, not the frame 3 crop rendered before.
  const size_t cropFloats = 3 * static_cast<size_t>(vesk_crop(x)) * static_cast<size_t>(vesk_crop(x));
  const std::vector<float> crop3(crop, crop + cropFloats);
  std::vector<uint8_t> rgba(W * H * 4 - 1);
  EXPECT_EQ(vesk_render_drive_rgba(x, 5, rgba.data(), rgba.size()), 0);
  EXPECT_STREQ(vesk_last_error(), "vesk_render_*_rgba: out buffer too small");
  ASSERT_NE(x->last_crop, nullptr);
  const std::vector<float> afterRefusal(x->last_crop, x->last_crop + cropFloats);
  const float* again = vesk_render_drive_crop(x, 5);
  ASSERT_NE(again, nullptr);
  const std::vector<float> crop5(again, again + cropFloats);
  ASSERT_NE(crop5, crop3);  // otherwise the check below could not tell them apart
  EXPECT_EQ(afterRefusal, crop5);
  rgba.resize(W * H * 4);
  ASSERT_EQ(vesk_render_kp_rgba(x, si, x->drive.xs.data() + 3 * 63, x->drive.xs.data() + 3 * 63, rgba.data(), rgba.size()), 1);
  const uint8_t* last = vesk_paste_last(x, si);
  for (size_t p = 0; p < W * H; ++p) {
    ASSERT_EQ(rgba[4 * p + 3], 255);
    ASSERT_EQ(std::memcmp(&rgba[4 * p], last + 3 * p, 3), 0);
  }

  // The driver loops: frame 0 after frame NT-1 comes from the look-ahead, not from a seek.
  ASSERT_NE(vesk_target_frame(x, 7), nullptr);
  const uint64_t seeks = x->cursor->seeks();
  ASSERT_NE(vesk_target_frame(x, 0), nullptr);
  EXPECT_EQ(x->cursor->seeks(), seeks);
}

TEST(PriorRows, OpenReadAndRefuse) {
  EXPECT_EQ(vesk_prior_open(nullptr, 2, 2), nullptr);
  EXPECT_STREQ(vesk_last_error(), "vesk_prior_open: NULL bundle_dir");
  EXPECT_EQ(vesk_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(vesk_prior_backend(nullptr), "");
  vesk_prior_close(nullptr);

  testing::internal::CaptureStderr();
  vesk_prior* p = vesk_prior_open(bundleDir("unified").c_str(), 0, -5);
  vesk_prior* none = vesk_prior_open(bundleDir("small").c_str(), 2, 0);
  const std::string noneError = vesk_last_error();
  testing::internal::GetCapturedStderr();
  ASSERT_NE(p, nullptr) << vesk_last_error();
  // A look-ahead below 1 asks for the default 2, not the cursor's floor of 1; a negative history is 0.
  EXPECT_EQ(p->cursor->ahead(), 2);
  EXPECT_EQ(p->cursor->history(), 0);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(noneError.rfind("vesk_prior_open: ", 0), 0u);
  const size_t bytes = vesk_prior_row_bytes(p);
  EXPECT_EQ(bytes, 128u * 128u * 6u);
  EXPECT_NE(std::string(vesk_prior_backend(p)), "");
  std::vector<uint8_t> row(bytes);
  EXPECT_EQ(vesk_prior_row(p, 1, row.data(), bytes - 1), 0);
  EXPECT_EQ(std::string(vesk_last_error()), "vesk_prior_row: cap " + std::to_string(bytes - 1) + " < row bytes " +
                                                std::to_string(bytes));
  EXPECT_EQ(vesk_prior_row(nullptr, 1, row.data(), bytes), 0);
  EXPECT_STREQ(vesk_last_error(), "vesk_prior_row: NULL prior/out");
  EXPECT_EQ(vesk_prior_row(p, 1, row.data(), bytes), 1) << vesk_last_error();
  EXPECT_STREQ(vesk_last_error(), "");
  EXPECT_EQ(vesk_prior_row(p, 8, row.data(), bytes), 0);
  EXPECT_EQ(std::string(vesk_last_error()).rfind("vesk_prior_row: ", 0), 0u);
  vesk_prior_close(p);
}

TEST(RenderContext, OpeningTheLipsOpensTheMouth) {
  Ctx c = create(bundleDir("small"));
  ASSERT_NE(c, nullptr);
  vesk_ctx* x = c.get();
  const int si = x->drive.si[0];
  const std::vector<float> xs(x->drive.xs.begin(), x->drive.xs.begin() + 63);
  const int crop = vesk_crop(x);
  // Dark pixels in a window around the lips, in crop pixels from the normalised keypoints.
  auto darkArea = [&](float gap) {
    std::vector<float> xd = xs;
    for (int row : {6, 18}) xd[static_cast<size_t>(row) * 3 + 1] -= gap / 2;
    for (int row : {12, 14, 20}) xd[static_cast<size_t>(row) * 3 + 1] += gap / 2;
    const float* rgb = vesk_render_kp_crop(x, si, xs.data(), xd.data());
    EXPECT_NE(rgb, nullptr) << vesk_last_error();
    float cx = 0, cy = 0;
    for (int row : {6, 12, 14, 17, 19, 20}) cx += xs[static_cast<size_t>(row) * 3] / 6, cy += xs[static_cast<size_t>(row) * 3 + 1] / 6;
    const size_t plane = static_cast<size_t>(crop) * crop;
    int dark = 0;
    for (int y = 0; y < crop; ++y)
      for (int xx = 0; xx < crop; ++xx) {
        const float nx = (xx + 0.5f) / crop * 2 - 1, ny = (y + 0.5f) / crop * 2 - 1;
        if (std::fabs(nx - cx) > 0.3f || std::fabs(ny - cy) > 0.25f) continue;
        const size_t i = static_cast<size_t>(y) * crop + xx;
        if (rgb[i] + rgb[plane + i] + rgb[2 * plane + i] < 0.6f) ++dark;
      }
    return dark;
  };
  const int closed = darkArea(0.f), half = darkArea(0.06f), open = darkArea(0.12f);
  EXPECT_LT(closed, half);
  EXPECT_LT(half, open);
  EXPECT_GT(open, closed + 20);
}
