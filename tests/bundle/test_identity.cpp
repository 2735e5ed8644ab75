// Identity members and drive tables of a bundle: mapping, refusals, paste-matrix rescaling and a
// prior played from HEVC.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alloc_watch.h"
#include "test_util.h"

#include <cstring>
#include <thread>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "driver/driver_test_media.h"
#include "driver/vesk_driver.h"
#include "render/vesk_warp_prior.h"

namespace vesk {
using vesk::test::errorOf;

namespace {

using namespace testmedia;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kNT = 3, kCrop = 16, kFrames = 5;

struct BundleSpec {
  bool P = true;
  bool fs_red = false;
  int W = 64, H = 48, msrc_w = 64, msrc_h = 48;
  std::string extra;  // more manifest keys, each with a leading comma
  std::string pooled_name = "pooled64.f16";
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed);
  return v;
}

std::vector<float> matrices() {
  std::vector<float> m(kNT * 6);
  for (size_t i = 0; i < m.size(); ++i) m[i] = 0.25f * static_cast<float>(i) + 1.0f;
  return m;
}

std::string makeBundle(const std::string& name, const BundleSpec& s) {
  const std::string dir = scratchDir(name);
  writeText(dir + "/manifest.json",
            "{\"format\": \"vesk-bundle-v0\", \"agent\": \"t\", \"NT\": " + std::to_string(kNT) +
                ", \"W\": " + std::to_string(s.W) + ", \"H\": " + std::to_string(s.H) +
                ", \"crop\": " + std::to_string(kCrop) + ", \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13" +
                ", \"frames\": " + std::to_string(kFrames) + ", \"M_src_w\": " + std::to_string(s.msrc_w) +
                ", \"M_src_h\": " + std::to_string(s.msrc_h) + s.extra + "}");
  auto pooled = pattern(static_cast<size_t>(kNT) * 131072, 1);
  writeFile(dir + "/" + s.pooled_name, pooled.data(), pooled.size());
  if (s.P) {
    auto p = pattern(static_cast<size_t>(kNT) * kCrop * kCrop * 6, 2);
    writeFile(dir + "/P.f16", p.data(), p.size());
  }
  if (s.fs_red) {
    auto f = pattern(static_cast<size_t>(kNT) * 524288, 3);
    writeFile(dir + "/fs_red.f16", f.data(), f.size());
  }
  auto m = matrices();
  writeFile(dir + "/M.f32", m.data(), m.size() * 4);
  sh("mkdir -p '" + dir + "/drive'");
  std::vector<float> xs(kFrames * 63), xd(kFrames * 63);
  for (size_t i = 0; i < xs.size(); ++i) {
    xs[i] = static_cast<float>(i);
    xd[i] = -static_cast<float>(i);
  }
  std::vector<int32_t> si = {0, 1, 2, 1, 0};
  writeFile(dir + "/drive/xs.f32", xs.data(), xs.size() * 4);
  writeFile(dir + "/drive/xd.f32", xd.data(), xd.size() * 4);
  writeFile(dir + "/drive/si.i32", si.data(), si.size() * 4);
  return dir;
}

TEST(Identity, MapsItsMembersWhenPIsRaw) {
  const std::string dir = makeBundle("id_raw", {});
  const Manifest man = loadManifest(dir);
  Identity id(man);
  WarpPrior prior(man, id);
  EXPECT_EQ(id.NT, kNT);
  EXPECT_EQ(id.crop, kCrop);
  EXPECT_EQ(prior.backend(), "mmap P.f16");
  EXPECT_EQ(prior.residentBytes(), 0);
  EXPECT_EQ(prior.seeks(), 0u);
  prior.walk(2);  // nothing to walk
  EXPECT_EQ(prior.P(1), id.P(1));
  EXPECT_TRUE(id.prior_path.empty());

  const auto pooled = pattern(static_cast<size_t>(kNT) * 131072, 1);
  EXPECT_EQ(std::memcmp(id.pooled64(2), pooled.data() + 2 * 131072, 131072), 0);
  const auto p = pattern(static_cast<size_t>(kNT) * kCrop * kCrop * 6, 2);
  EXPECT_EQ(std::memcmp(id.P(1), p.data() + kCrop * kCrop * 6, kCrop * kCrop * 6), 0);
  const auto m = matrices();
  EXPECT_EQ(std::memcmp(id.M(2), m.data() + 12, 24), 0);  // same canvas: untouched
  EXPECT_FALSE(id.hasFsRed());
  EXPECT_EQ(errorOf([&] { id.fsRed(0); }), "vesk::Identity: this bundle carries no fs_red.f16");
  EXPECT_EQ(errorOf([&] { id.pooled64(kNT); }), "vesk::Identity: si 3 outside [0,3)");
  EXPECT_EQ(errorOf([&] { id.M(-1); }), "vesk::Identity: si -1 outside [0,3)");
}

TEST(Identity, ReducedFeaturesAloneAreAPrior) {
  BundleSpec s;
  s.P = false;
  s.fs_red = true;
  const std::string dir = makeBundle("id_fsred", s);
  const Manifest man = loadManifest(dir);
  Identity id(man);
  WarpPrior prior(man, id);
  EXPECT_FALSE(prior.present());
  EXPECT_EQ(prior.backend(), "none");
  EXPECT_EQ(prior.residentBytes(), 0);
  EXPECT_EQ(prior.seeks(), 0u);
  const auto f = pattern(static_cast<size_t>(kNT) * 524288, 3);
  EXPECT_EQ(std::memcmp(id.fsRed(1), f.data() + 524288, 524288), 0);
}

TEST(Identity, UnifiedLayoutNamesAreAccepted) {
  BundleSpec s;
  s.pooled_name = "pooled_features.f16";
  const std::string dir = makeBundle("id_unified", s);
  sh("cd '" + dir + "' && mv P.f16 source_frames.f16 && mv M.f32 paste_transform.f32 && mv drive idle_loop && "
     "cd idle_loop && mv xs.f32 source_keypoints.f32 && mv xd.f32 driven_keypoints.f32 && mv si.i32 source_index.i32");
  const Manifest man = loadManifest(dir);
  Identity id(man);
  EXPECT_EQ(WarpPrior(man, id).backend(), "mmap P.f16");
  const Drive d = loadDrive(man);
  EXPECT_EQ(d.si, (std::vector<int32_t>{0, 1, 2, 1, 0}));
}

TEST(EnsureIdentityMembers, RefusesBundlesWithoutAWarpPrior) {
  BundleSpec s;
  s.P = false;
  const std::string none = makeBundle("id_none", s);
  const std::string step4 =
      "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one from — "
      "the renderer has no warp prior and vesk::Identity would hand it a null pointer. REFUSING to create a session.";
  EXPECT_EQ(errorOf([&] { ensureIdentityMembers(loadManifest(none)); }), step4);
  EXPECT_EQ(errorOf([&] { Identity id(loadManifest(none)); }), step4);

  s.extra = ", \"P_rgb\": \"P_rgb.f16\"";
  const std::string rgb = makeBundle("id_prgb", s);
  writeText(rgb + "/P_rgb.f16", "x");
  EXPECT_EQ(errorOf([&] { ensureIdentityMembers(loadManifest(rgb)); }),
            "this bundle's manifest names its raw warp prior 'P_rgb.f16' (P_rgb) but vesk::Identity maps the welded "
            "name P.f16 and would find nothing — it maps NOTHING silently and Identity::P(si) is then an offset from "
            "a null pointer. REFUSING rather than rendering off a prior nothing will read.");
  // Named but absent: the name is what step 4 reports.
  sh("rm '" + rgb + "/P_rgb.f16'");
  EXPECT_THAT(errorOf([&] { ensureIdentityMembers(loadManifest(rgb)); }),
              StartsWith("this bundle carries neither P_rgb.f16 nor fs_red.f16"));

  s.extra = ", \"P_hevc\": \"prior.mov\"";
  const std::string hevc = makeBundle("id_hevc_missing", s);
  EXPECT_EQ(errorOf([&] { ensureIdentityMembers(loadManifest(hevc)); }),
            "this bundle's manifest names P_hevc 'prior.mov' and the file is not there (" + hevc +
                "/prior.mov) — the renderer has no warp prior. REFUSING to create a session.");

  EXPECT_EQ(errorOf([&] {
              Manifest m;
              m.dir = none + "/nowhere";
              ensureIdentityMembers(m);
            }),
            "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one "
            "from — the renderer has no warp prior and vesk::Identity would hand it a null pointer. REFUSING to "
            "create a session.");
}

TEST(Identity, MembersOfTheWrongSizeAreRefused) {
  const std::string dir = makeBundle("id_sizes", {});
  const Manifest m = loadManifest(dir);
  sh("truncate -s -1 '" + dir + "/pooled64.f16'");
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + dir + "/pooled64.f16");
  sh("truncate -s +1 '" + dir + "/pooled64.f16' && truncate -s +2 '" + dir + "/P.f16'");
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + dir + "/P.f16");
  sh("truncate -s -2 '" + dir + "/P.f16' && truncate -s +1 '" + dir + "/M.f32'");
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + dir + "/M.f32");
  sh("truncate -s -5 '" + dir + "/M.f32'");
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + dir + "/M.f32");
  sh("rm '" + dir + "/M.f32'");
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "cannot open " + dir + "/M.f32");
  sh("rm '" + dir + "/pooled64.f16'");
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "cannot open " + dir + "/pooled64.f16");
}

TEST(RescaleM, ScalesRowsToTheCanvas) {
  BundleSpec s;
  s.W = 1920;
  s.H = 1080;
  s.msrc_w = 1280;
  s.msrc_h = 720;
  const std::string dir = makeBundle("id_rescale", s);
  Identity id(loadManifest(dir));
  const auto m = matrices();
  for (int si = 0; si < kNT; ++si)
    for (int k = 0; k < 6; ++k) EXPECT_EQ(id.M(si)[k], static_cast<float>(m[si * 6 + k] * 1.5)) << si << "," << k;

  // Different factors per axis, computed in double precision.
  Manifest odd = loadManifest(dir);
  odd.M_src_w = 1000;
  odd.M_src_h = 700;
  id.M_ = m;
  id.rescaleM(odd);
  EXPECT_EQ(id.M(1)[2], static_cast<float>(m[8] * (1920.0 / 1000.0)));
  EXPECT_EQ(id.M(1)[4], static_cast<float>(m[10] * (1080.0 / 700.0)));

  Manifest unstamped = odd;
  unstamped.M_src_h = 0;
  EXPECT_EQ(errorOf([&] { id.rescaleM(unstamped); }),
            "vesk::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without "
            "knowing the space it was authored in");
}

TEST(LoadDrive, ReadsTheTablesAndChecksThem) {
  const std::string dir = makeBundle("drive", {});
  const Manifest m = loadManifest(dir);
  const Drive d = loadDrive(m);
  EXPECT_EQ(d.frames, kFrames);
  ASSERT_EQ(d.xs.size(), static_cast<size_t>(kFrames) * 63);
  EXPECT_EQ(d.xs[100], 100.0f);
  EXPECT_EQ(d.xd[100], -100.0f);
  EXPECT_EQ(d.si, (std::vector<int32_t>{0, 1, 2, 1, 0}));

  sh("printf 'x' >> '" + dir + "/drive/si.i32'");
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + dir + "/drive/si.i32");
  std::vector<int32_t> bad = {0, 1, kNT, 1, 0};
  writeFile(dir + "/drive/si.i32", bad.data(), bad.size() * 4);
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "drive: si out of range");
  bad[2] = -1;
  writeFile(dir + "/drive/si.i32", bad.data(), bad.size() * 4);
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "drive: si out of range");
  sh("truncate -s -4 '" + dir + "/drive/xd.f32'");
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + dir + "/drive/xd.f32");
  sh("rm '" + dir + "/drive/xs.f32'");
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "cannot open " + dir + "/drive/xs.f32");
}

TEST(LoadDrive, AHostileFrameCountIsRefusedBeforeAnythingIsAllocated) {
  // 50 million frames against tables of 5: the sizes are compared before 25 GB would be zero-filled.
  const std::string dir = makeBundle("drive_hostile", {});
  Manifest m = loadManifest(dir);
  m.frames = 50000000;
  vesk::test::AllocationLimit limit(64u << 20);
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + dir + "/drive/xs.f32");
  m.frames = kFrames + 1;
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + dir + "/drive/xs.f32");
  EXPECT_EQ(limit.refused(), 0u);
}

TEST(IdentityHevcPrior, PlaysThePriorFromVideoOnFirstUse) {
  BundleSpec s;
  s.P = false;
  s.extra = ", \"P_hevc\": \"P_hevc.mov\"";
  const std::string dir = makeBundle("id_hevc", s);
  makePriorHevc(dir + "/P_hevc.mov", kCrop, kNT);
  const std::vector<uint8_t> yuv = cliDecode(dir + "/P_hevc.mov", "yuv444p");
  const size_t fsz = static_cast<size_t>(kCrop) * kCrop * 3;
  ScopedEnv hw("VESK_DRIVER_HWDEC", nullptr);

  // The renderer reads the prior through the const identity it is given.
  const Manifest man = loadManifest(dir);
  const Identity id(man);
  WarpPrior prior(man, id);
  EXPECT_EQ(id.prior_path, dir + "/P_hevc.mov");
  EXPECT_TRUE(prior.present());
  EXPECT_EQ(errorOf([&] { id.P(0); }), "vesk::Identity: this bundle maps no P.f16; its prior plays from video");
  ::testing::internal::CaptureStderr();
  // Concurrent first callers share the one opening.
  std::string seen[4];
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t) ts.emplace_back([&, t] { seen[t] = prior.backend(); });
  for (auto& t : ts) t.join();
  const std::string err = ::testing::internal::GetCapturedStderr();
  for (const std::string& b : seen) EXPECT_THAT(b, StartsWith("hevc444/libavcodec"));
  EXPECT_THAT(err, HasSubstr("Zentrova: identity source ready — 3 frames 16x16, played straight from P_hevc.mov"));
  EXPECT_EQ(err.find("Zentrova"), err.rfind("Zentrova"));

  for (int round = 0; round < 2; ++round)
    for (int si = 0; si < kNT; ++si) {
      const uint16_t* p = prior.P(si);
      const auto want = yuv444ToPlanarHalf(yuv.data() + fsz * si, kCrop);
      ASSERT_EQ(std::memcmp(p, want.data(), want.size() * 2), 0) << si;
    }
  prior.walk(0);
  EXPECT_EQ(prior.seeks(), 0u);
  EXPECT_GT(prior.residentBytes(), 14 * kCrop * kCrop * 6);
  EXPECT_EQ(errorOf([&] { prior.P(kNT); }), "vesk::Identity: si 3 outside [0,3)");
}

TEST(IdentityHevcPrior, FsRedWinsOverTheVideo) {
  BundleSpec s;
  s.P = false;
  s.fs_red = true;
  s.extra = ", \"P_hevc\": \"P_hevc.mov\"";
  const std::string dir = makeBundle("id_hevc_fsred", s);
  writeText(dir + "/P_hevc.mov", "never opened");
  const Manifest man = loadManifest(dir);
  Identity id(man);
  EXPECT_TRUE(id.prior_path.empty());
  EXPECT_EQ(WarpPrior(man, id).backend(), "none");
}

}  // namespace
}  // namespace vesk
