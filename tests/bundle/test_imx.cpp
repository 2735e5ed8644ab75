#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <thread>

#include "bundle/imx_builder.h"
#include "bundle/vesk_imx.h"
#include "core/vesk_file.h"
#include "test_util.h"

namespace fs = std::filesystem;
using vesk::test::imxBytes;
using vesk::test::ImxMember;
using vesk::test::readFile;
using vesk::test::ScopedEnv;
using vesk::test::TempDir;
using vesk::test::writeFile;

using vesk::test::errorOf;

namespace {

const std::vector<ImxMember> kSmallBundle = {
    {"manifest.json", R"({"format": "vesk-bundle-v0"})"},
    {"drive/xs.f32", std::string(12, '\x01')},
    {"mask_512.u8", "mask"},
};

class ImxTest : public ::testing::Test {
 protected:
  ScopedEnv noRoot{"VESK_IMX_UNWRAP_ROOT", nullptr};
  TempDir tmp;
};

size_t countOf(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

}  // namespace

TEST_F(ImxTest, UnwrapsBesideTheContainerOnceAndReusesTheCache) {
  const std::string c = tmp / "face.imx";
  writeFile(c, imxBytes(kSmallBundle));

  testing::internal::CaptureStderr();
  const std::string u = vesk::resolveBundlePath(c);
  const std::string first = testing::internal::GetCapturedStderr();
  EXPECT_EQ(u, tmp / "face.veskbundle");
  EXPECT_EQ(first, "[vesk] unwrapped " + c + " -> " + u + "\n");
  EXPECT_EQ(readFile(u + "/drive/xs.f32"), std::string(12, '\x01'));
  EXPECT_EQ(readFile(u + "/mask_512.u8"), "mask");
  EXPECT_EQ(readFile(u + ".imx_unwrapped"), vesk::imx::stampOf(c));
  EXPECT_EQ(vesk::imx::stampOf(c).rfind("imx-unwrapped.v2 face.imx ", 0), 0u);

  // A stray file proves the second call extracts nothing.
  writeFile(u + "/stray", "x");
  testing::internal::CaptureStderr();
  EXPECT_EQ(vesk::resolveBundlePath(c), u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(fs::exists(u + "/stray"));

  // The unwrap directory itself re-validates against a container of its own name beside it.
  EXPECT_EQ(vesk::resolveBundlePath(u), u);
}

TEST_F(ImxTest, StemAndRootOfTheCache) {
  EXPECT_EQ(vesk::imx::cachePathsFor("/a/face.veskbundle.imx").dir, "/a/face.veskbundle");
  EXPECT_EQ(vesk::imx::cachePathsFor("/a/face").dir, "/a/face.veskbundle");
  EXPECT_EQ(vesk::imx::cachePathsFor("face.imx").marker, "./face.veskbundle.imx_unwrapped");
  ScopedEnv root("VESK_IMX_UNWRAP_ROOT", "/cache//");
  EXPECT_EQ(vesk::imx::cachePathsFor("/a/face.imx").dir, "/cache/face.veskbundle");
  ScopedEnv empty("VESK_IMX_UNWRAP_ROOT", "");
  EXPECT_EQ(vesk::imx::cachePathsFor("/a/face.imx").dir, "/a/face.veskbundle");
}

TEST_F(ImxTest, UnwrapRootFromTheEnvironment) {
  const std::string c = tmp / "face.imx";
  writeFile(c, imxBytes(kSmallBundle));
  ScopedEnv root("VESK_IMX_UNWRAP_ROOT", (tmp / "cache").c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(vesk::resolveBundlePath(c), tmp / "cache/face.veskbundle");
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(fs::exists(tmp / "cache/face.veskbundle.imx_unwrapped"));
}

TEST_F(ImxTest, ANewModificationTimeReExtracts) {
  const std::string c = tmp / "face.imx";
  writeFile(c, imxBytes(kSmallBundle));
  testing::internal::CaptureStderr();
  const std::string u = vesk::resolveBundlePath(c);
  writeFile(u + "/stray", "x");
  struct timespec times[2] = {{1000, 5}, {1000, 5}};
  ASSERT_EQ(::utimensat(AT_FDCWD, c.c_str(), times, 0), 0);
  EXPECT_EQ(vesk::resolveBundlePath(c), u);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(countOf(err, "[vesk] unwrapped"), 2u);
  EXPECT_FALSE(fs::exists(u + "/stray"));
  EXPECT_NE(readFile(u + ".imx_unwrapped").find(" 1000000000005 "), std::string::npos);
}

TEST_F(ImxTest, DirectoriesAndPlainPaths) {
  // A directory without a marker is taken as it is, even with a container of its name beside it.
  fs::create_directories(tmp / "face");
  writeFile(tmp / "face.imx", imxBytes(kSmallBundle));
  EXPECT_EQ(vesk::resolveBundlePath(tmp / "face"), tmp / "face");
  EXPECT_EQ(vesk::resolveBundlePath(""), "");
  EXPECT_EQ(vesk::resolveBundlePath(tmp / "nothing"), tmp / "nothing");
  // A name beside which name.imx is a container resolves through the container.
  testing::internal::CaptureStderr();
  EXPECT_EQ(vesk::resolveBundlePath(tmp / "other"), tmp / "other");
  writeFile(tmp / "other.imx", imxBytes(kSmallBundle));
  EXPECT_EQ(vesk::resolveBundlePath(tmp / "other"), tmp / "other.veskbundle");
  // A container without the .imx suffix is recognised by its header.
  writeFile(tmp / "blob", imxBytes(kSmallBundle));
  EXPECT_EQ(vesk::resolveBundlePath(tmp / "blob"), tmp / "blob.veskbundle");
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(vesk::isImxV2File(tmp / "face"));
  writeFile(tmp / "v3", imxBytes(kSmallBundle, 3));
  EXPECT_FALSE(vesk::isImxV2File(tmp / "v3"));
  writeFile(tmp / "short", "IMX");
  EXPECT_FALSE(vesk::isImxV2File(tmp / "short"));
}

TEST_F(ImxTest, AContainerOfAnotherVersionIsRefusedByResolution) {
  // Whichever way the path reaches it (named, beside a directory name, without the suffix), a file
  // with the container magic is a container: its version is named, and no cache is made for it.
  const std::string v3 = imxBytes(kSmallBundle, 3);
  writeFile(tmp / "face.imx", v3);
  EXPECT_EQ(errorOf([&] { vesk::resolveBundlePath(tmp / "face.imx"); }),
            tmp / "face.imx" + ": unsupported IMX container version 3");
  EXPECT_EQ(errorOf([&] { vesk::resolveBundlePath(tmp / "face"); }),
            tmp / "face.imx" + ": unsupported IMX container version 3");
  writeFile(tmp / "blob", v3);
  EXPECT_EQ(errorOf([&] { vesk::resolveBundlePath(tmp / "blob"); }),
            tmp / "blob" + ": unsupported IMX container version 3");
  EXPECT_FALSE(fs::exists(tmp / "face.veskbundle"));
  EXPECT_FALSE(fs::exists(tmp / "blob.veskbundle"));
  EXPECT_FALSE(vesk::isImxV2File(tmp / "face.imx"));
  // A file that merely starts like the magic is not a container.
  writeFile(tmp / "imx_text", "IMX is a format");
  EXPECT_EQ(vesk::resolveBundlePath(tmp / "imx_text"), tmp / "imx_text");
}

TEST_F(ImxTest, HostileMemberNamesAreRefusedBeforeAnythingIsWritten) {
  const std::string nul("a\0b", 3);
  for (const std::string& bad : {std::string("../evil"), std::string("a/../../evil"), std::string("/etc/evil"),
                                 std::string("\\evil"), std::string(""), nul}) {
    const std::string c = tmp / "bad.imx";
    writeFile(c, imxBytes({{"manifest.json", "{}"}, {bad, "payload"}}));
    // A zero byte would cut the message short, so it is shown as the two characters "\0".
    const std::string shown = bad == nul ? std::string("a\\0b") : bad;
    EXPECT_EQ(errorOf([&] { vesk::resolveBundlePath(c); }), c + ": refusing unsafe member name '" + shown + "'");
    EXPECT_FALSE(fs::exists(tmp / "bad.veskbundle.imx_unwrapped"));
    EXPECT_FALSE(fs::exists(tmp / "bad.veskbundle/manifest.json"));
    EXPECT_FALSE(fs::exists(tmp / "evil"));
  }
}

TEST_F(ImxTest, SyntheticManifestIsNotAMember) {
  const std::string c = tmp / "s.imx";
  writeFile(c, imxBytes({{"manifest.json", R"({"_imx_synthetic_manifest": true})"}, {"a/b/c.bin", "abc"}}));
  testing::internal::CaptureStderr();
  const std::string u = vesk::resolveBundlePath(c);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fs::exists(u + "/manifest.json"));
  EXPECT_EQ(readFile(u + "/a/b/c.bin"), "abc");
}

TEST_F(ImxTest, BrokenContainersFailWithTheirMessagesAndLeaveNoMarker) {
  const std::string c = tmp / "x.imx";
  const std::string marker = tmp / "x.veskbundle.imx_unwrapped";
  auto failWith = [&](const std::string& bytes) {
    writeFile(c, bytes);
    const std::string e = errorOf([&] { vesk::imx::unwrapOnce(c); });
    EXPECT_FALSE(fs::exists(marker)) << e;
    return e;
  };
  const std::string good = imxBytes({{"m1", "0123456789"}, {"m2", "abc"}});

  EXPECT_EQ(failWith("IMX"), c + ": not an IMX\\0 container");
  EXPECT_EQ(failWith("ZZZ" + good.substr(3)), c + ": not an IMX\\0 container");
  EXPECT_EQ(failWith(imxBytes({}, 3)), c + ": unsupported IMX container version 3");
  EXPECT_EQ(failWith(good.substr(0, 9)), c + ": truncated TOC at member 0");
  EXPECT_EQ(failWith(good.substr(0, 11)), c + ": truncated member name at 0");
  EXPECT_EQ(failWith(good.substr(0, 14)), c + ": truncated TOC offsets at member m1");
  EXPECT_EQ(failWith(good.substr(0, 8 + 20 + 1)), c + ": truncated TOC at member 1");

  // A payload cut short: the member already copied stays, the cut one leaves no ".part" behind, and
  // the next call starts over rather than trusting the half-written directory.
  EXPECT_EQ(failWith(good.substr(0, good.size() - 2)), c + ": truncated payload for member m2");
  EXPECT_TRUE(fs::exists(tmp / "x.veskbundle/m1"));
  EXPECT_FALSE(fs::exists(tmp / "x.veskbundle/m2"));
  EXPECT_FALSE(fs::exists(tmp / "x.veskbundle/m2.part"));
  EXPECT_EQ(failWith(good.substr(0, good.size() - 2)), c + ": truncated payload for member m2");

  // A payload offset past the end of the file is a truncated payload, not a crash.
  std::string far = imxBytes({{"m", "abc"}});
  far[8 + 2 + 1 + 1] = '\x10';
  EXPECT_EQ(failWith(far), c + ": truncated payload for member m");

  EXPECT_EQ(errorOf([&] { vesk::imx::unwrapOnce(tmp / "missing.imx"); }), "cannot stat container " + tmp / "missing.imx");

  // Mended, the same path unwraps cleanly.
  writeFile(c, good);
  testing::internal::CaptureStderr();
  EXPECT_EQ(vesk::imx::unwrapOnce(c), tmp / "x.veskbundle");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(readFile(tmp / "x.veskbundle/m2"), "abc");
}

TEST_F(ImxTest, TwoThreadsResolvingOneContainerExtractItOnce) {
  const std::string c = tmp / "face.imx";
  std::vector<ImxMember> big = kSmallBundle;
  big.push_back({"big.bin", std::string(3u << 20, 'b')});
  writeFile(c, imxBytes(big));
  testing::internal::CaptureStderr();
  std::string r1, r2;
  std::thread t1([&] { r1 = vesk::resolveBundlePath(c); });
  std::thread t2([&] { r2 = vesk::resolveBundlePath(c); });
  t1.join();
  t2.join();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r1, tmp / "face.veskbundle");
  EXPECT_EQ(r2, r1);
  EXPECT_EQ(countOf(err, "[vesk] unwrapped"), 1u);
  EXPECT_EQ(fs::file_size(r1 + "/big.bin"), 3u << 20);
}

TEST(BundleMembers, AliasesOfBothLayouts) {
  EXPECT_EQ(vesk::canonicalMember("P.f16"), "source_frames.f16");
  EXPECT_EQ(vesk::canonicalMember("xs_target.bin"), "target_keypoints.bin");
  EXPECT_EQ(vesk::canonicalMember("model_b1.onnx"), "render_model.batch1.onnx");
  EXPECT_EQ(vesk::canonicalMember("model_b4_fp16.onnx"), "render_model.batch4.fp16.onnx");
  EXPECT_EQ(vesk::canonicalMember("model_b24_fp32_x.onnx"), "render_model.batch24.fp32_x.onnx");
  EXPECT_EQ(vesk::canonicalMember("model_b.onnx"), std::nullopt);
  EXPECT_EQ(vesk::canonicalMember("drive/xs.f32"), "idle_loop/source_keypoints.f32");
  EXPECT_EQ(vesk::canonicalMember("drive/xd.f32"), "idle_loop/driven_keypoints.f32");
  EXPECT_EQ(vesk::canonicalMember("drive/si.i32"), "idle_loop/source_index.i32");
  EXPECT_EQ(vesk::canonicalMember("drive/other"), "idle_loop/other");
  EXPECT_EQ(vesk::canonicalMember("manifest.json"), std::nullopt);

  TempDir tmp;
  const std::string d = tmp.path();
  EXPECT_EQ(vesk::resolveMember(d, "drive/si.i32"), d + "/drive/si.i32");
  writeFile(d + "/idle_loop/source_index.i32", "x");
  EXPECT_EQ(vesk::resolveMember(d, "drive/si.i32"), d + "/idle_loop/source_index.i32");
  writeFile(d + "/drive/si.i32", "x");
  EXPECT_EQ(vesk::resolveMember(d, "drive/si.i32"), d + "/drive/si.i32");  // the legacy name wins
  EXPECT_EQ(vesk::resolveMember(d, "manifest.json"), d + "/manifest.json");
}

TEST(BundlePathHelpers, NamesOfPaths) {
  EXPECT_EQ(vesk::rstripSlash("/a//"), "/a");
  EXPECT_EQ(vesk::rstripSlash("/"), "/");
  EXPECT_EQ(vesk::baseName("/a/b.imx"), "b.imx");
  EXPECT_EQ(vesk::baseName("/a/b/"), "b");
  EXPECT_EQ(vesk::baseName("b"), "b");
  EXPECT_EQ(vesk::dirName("b"), ".");
  EXPECT_EQ(vesk::dirName("/b"), "/");
  EXPECT_EQ(vesk::dirName("/a/b"), "/a");
}
