#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "bundle/imx_builder.h"
#include "test_util.h"
#include "vesk/vesk.h"

using vesk::test::ScopedEnv;
using vesk::test::TempDir;
using vesk::test::writeFile;

TEST(CApi, LastErrorIsPerThreadAndClearedBySuccess) {
  std::string fresh = "unset";
  std::thread([&] { fresh = vesk_last_error(); }).join();
  EXPECT_EQ(fresh, "");

  TempDir tmp;
  ScopedEnv noRoot("VESK_IMX_UNWRAP_ROOT", nullptr);
  writeFile(tmp / "bad.imx", vesk::test::imxBytes({{"../x", "y"}}));
  char dst[512] = "junk";
  EXPECT_EQ(vesk_bundle_resolve_handle((tmp / "bad.imx").c_str(), dst, sizeof dst), -1);
  EXPECT_STREQ(dst, "");
  const std::string err = vesk_last_error();
  EXPECT_EQ(err, "vesk_bundle_resolve_handle: " + tmp / "bad.imx" + ": refusing unsafe member name '../x'");

  std::string other = "unset";
  std::thread([&] { other = vesk_last_error(); }).join();
  EXPECT_EQ(other, "");  // another thread's error is not this one's

  EXPECT_EQ(vesk_host_kp_rows(), 21);
  EXPECT_STREQ(vesk_last_error(), "");
}

TEST(CApi, ResolveHandle) {
  TempDir tmp;
  const std::string dir = tmp.path();
  char dst[4096];
  EXPECT_EQ(vesk_bundle_resolve_handle(dir.c_str(), dst, sizeof dst), 1);
  EXPECT_EQ(std::string(dst), dir);
  EXPECT_STREQ(vesk_last_error(), "");

  // No room for the terminator.
  std::vector<char> tight(dir.size());
  EXPECT_EQ(vesk_bundle_resolve_handle(dir.c_str(), tight.data(), tight.size()), -1);
  EXPECT_EQ(tight[0], '\0');
  EXPECT_STREQ(vesk_last_error(), "vesk_bundle_resolve_handle: buffer too small");
  std::vector<char> exact(dir.size() + 1);
  EXPECT_EQ(vesk_bundle_resolve_handle(dir.c_str(), exact.data(), exact.size()), 1);

  EXPECT_EQ(vesk_bundle_resolve_handle(nullptr, dst, sizeof dst), -1);
  EXPECT_STREQ(vesk_last_error(), "");
  EXPECT_EQ(vesk_bundle_resolve_handle(dir.c_str(), nullptr, 10), -1);
  EXPECT_EQ(vesk_bundle_resolve_handle(dir.c_str(), dst, 0), -1);
}

TEST(CApi, ResolveMember) {
  TempDir tmp;
  const std::string dir = tmp.path();
  char dst[4096];
  writeFile(dir + "/idle_loop/source_keypoints.f32", "x");
  EXPECT_EQ(vesk_bundle_resolve_member(dir.c_str(), "drive/xs.f32", dst, sizeof dst), 1);
  EXPECT_EQ(std::string(dst), dir + "/idle_loop/source_keypoints.f32");
  EXPECT_EQ(vesk_bundle_resolve_member(dir.c_str(), "drive/xd.f32", dst, sizeof dst), 0);
  EXPECT_EQ(std::string(dst), dir + "/drive/xd.f32");
  char small[4] = "abc";
  EXPECT_EQ(vesk_bundle_resolve_member(dir.c_str(), "drive/xd.f32", small, sizeof small), -1);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(vesk_bundle_resolve_member(nullptr, "m", dst, sizeof dst), -1);
  EXPECT_EQ(vesk_bundle_resolve_member(dir.c_str(), nullptr, dst, sizeof dst), -1);
  EXPECT_EQ(vesk_bundle_resolve_member(dir.c_str(), "m", dst, 0), -1);

  // A damaged container: -1 and no text.
  ScopedEnv noRoot("VESK_IMX_UNWRAP_ROOT", nullptr);
  writeFile(tmp / "bad.imx", vesk::test::imxBytes({{"/abs", "y"}}));
  EXPECT_EQ(vesk_bundle_resolve_member((tmp / "bad.imx").c_str(), "m", dst, sizeof dst), -1);
  EXPECT_STREQ(vesk_last_error(), "");
}
