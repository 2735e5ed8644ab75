#include <gtest/gtest.h>

#include <map>

#include "bundle/vesk_bundle.h"
#include "core/vesk_file.h"
#include "test_util.h"

using vesk::test::ScopedEnv;
using vesk::test::TempDir;
using vesk::test::writeFile;

using vesk::test::errorOf;

namespace {

// A complete manifest, with fields replaced or removed (a value of "" removes the key).
std::string manifest(const std::map<std::string, std::string>& change = {}, const std::string& extra = "") {
  std::map<std::string, std::string> f = {
      {"format", "\"vesk-bundle-v0\""}, {"agent", "\"ada\""}, {"NT", "250"}, {"H", "720"}, {"W", "1280"},
      {"crop", "512"}, {"amount", "1.5"}, {"sigma", "2.5"}, {"ksize", "11"}, {"frames", "300"},
      {"M_src_w", "1920"}, {"M_src_h", "1080"}};
  for (const auto& [k, v] : change) f[k] = v;
  std::string s = "{";
  for (const auto& [k, v] : f) {
    if (v.empty()) continue;
    s += "\"" + k + "\": " + v + ", ";
  }
  s += "\"tail\": 0" + extra + "}";
  return s;
}

class ManifestTest : public ::testing::Test {
 protected:
  ScopedEnv noLegacy{"CALVORA2_MSRC_MISSING_OK", nullptr};
  TempDir tmp;
  vesk::Manifest load(const std::string& text) {
    writeFile(tmp / "manifest.json", text);
    return vesk::loadManifest(tmp.path());
  }
  std::string loadError(const std::string& text) {
    return errorOf([&] { load(text); });
  }
};

}  // namespace

TEST_F(ManifestTest, LoadsEveryField) {
  writeFile(tmp / "lip_template.v1.json", "{\"lip\": 1}");
  const vesk::Manifest m = load(manifest());
  EXPECT_EQ(m.dir, tmp.path());
  EXPECT_EQ(m.agent, "ada");
  EXPECT_EQ(m.NT, 250);
  EXPECT_EQ(m.H, 720);
  EXPECT_EQ(m.W, 1280);
  EXPECT_EQ(m.crop, 512);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 1.5f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 2.5f);
  EXPECT_EQ(m.unsharp.ksize, 11);
  EXPECT_EQ(m.frames, 300);
  EXPECT_EQ(m.M_src_w, 1920);
  EXPECT_EQ(m.M_src_h, 1080);
  EXPECT_EQ(m.lip_template, "{\"lip\": 1}");
  EXPECT_EQ(m.modelPath("b1"), tmp / "model_b1.onnx");
  writeFile(tmp / "render_model.batch1.onnx", "x");
  EXPECT_EQ(m.modelPath("b1"), tmp / "render_model.batch1.onnx");
}

TEST_F(ManifestTest, AlternativeKeysAndTruncation) {
  const vesk::Manifest m = load(manifest({{"NT", ""}, {"crop", ""}, {"M_src_h", ""}, {"H", "720.9"}},
                                         R"(, "frame_count": 250, "crop_size": 256, "paste_source_height": 1079)"));
  EXPECT_EQ(m.NT, 250);
  EXPECT_EQ(m.crop, 256);
  EXPECT_EQ(m.H, 720);
  EXPECT_EQ(m.M_src_h, 1079);
  EXPECT_TRUE(m.lip_template.empty());
  EXPECT_EQ(loadError(manifest({{"NT", ""}})), "manifest: missing key NT/frame_count");
  // The absence mark counts as absent, so the alternative is used.
  EXPECT_EQ(load(manifest({{"NT", "-1e300"}}, R"(, "frame_count": 7)")).NT, 7);
}

TEST_F(ManifestTest, NestedKeysAndAmbiguity) {
  // One top-level scalar wins over nested ones.
  EXPECT_EQ(load(manifest({}, R"(, "teeth": {"H": 512, "W": 3})")).H, 720);
  // A key inside a string value is not a key.
  EXPECT_EQ(load(manifest({}, R"(, "note": "\"H\": 3 { [")")).H, 720);

  const std::string two = manifest({}, R"(, "W": 640)");
  const size_t first = two.find("\"W\": ") + 5, second = two.rfind("\"W\": ") + 5;
  EXPECT_EQ(loadError(two),
            "manifest: key \"W\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte " + std::to_string(first) +
                ", byte " + std::to_string(second) +
                "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a "
                "nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, "
                "amount, sigma, ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce "
                "the bundle with the legacy manifest layout.");

  // Only in one nested block: taken from there. In two nested blocks and not at the top: ambiguous.
  const std::string nested = R"({"a": {"k": 5}, "b": {"j": {"k2": 1}}})";
  EXPECT_EQ(vesk::manifest_key::scalarValuePos(nested, "k"), nested.find("5"));
  const std::string twice = R"({"a": {"k": 5}, "b": {"k": 6}})";
  EXPECT_NE(errorOf([&] { vesk::manifest_key::scalarValuePos(twice, "k"); }).find("2 scalar occurrences (byte 12, byte 27)"),
            std::string::npos);

  // An object or array value is no occurrence.
  EXPECT_EQ(loadError(manifest({{"crop", "{\"x\": 1}"}})), "manifest: missing key crop/crop_size");
  EXPECT_EQ(vesk::manifest_key::scalarValuePos(R"({"k": [1]})", "k"), vesk::manifest_key::kAbsent);
}

TEST_F(ManifestTest, KeyScannerDetails) {
  const std::string t = R"({"H"  :   7, "x": {"H": [1]}, "s": "\\", "H" : )";
  const auto hits = vesk::manifest_key::keyHits(t, "H");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].pos, t.find('7'));
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_TRUE(hits[0].scalar);
  EXPECT_EQ(hits[1].depth, 2);
  EXPECT_FALSE(hits[1].scalar);
  EXPECT_FALSE(hits[2].scalar);  // runs to the end of the text
  EXPECT_TRUE(vesk::manifest_key::keyHits(R"({"h": 1})", "H").empty());
  EXPECT_TRUE(vesk::manifest_key::keyHits(R"({"H)", "H").empty());
  EXPECT_EQ(vesk::strField(R"({"a": "x\"y"})", "a"), "x\\");
  EXPECT_EQ(errorOf([&] { vesk::strField(R"({"a": 5})", "a"); }), "manifest: bad string a");
  EXPECT_EQ(errorOf([&] { vesk::findKey(R"({"a": 5})", "b"); }), "manifest: missing key b");
}

TEST_F(ManifestTest, Refusals) {
  EXPECT_EQ(errorOf([&] { vesk::loadManifest(tmp / "none"); }), "cannot open " + tmp / "none/manifest.json");
  EXPECT_EQ(loadError(manifest({{"format", "\"other\""}})), "not an vesk-bundle-v0: " + tmp.path());
  EXPECT_EQ(loadError(manifest({{"format", ""}})), "manifest: missing key format");
  EXPECT_EQ(loadError(manifest({{"ksize", ""}})), "manifest: missing key ksize");
  EXPECT_EQ(loadError(manifest({{"crop", "0"}})), "manifest: bad dims");
  EXPECT_EQ(loadError(manifest({{"W", "-5"}})), "manifest: bad dims");
  EXPECT_EQ(loadError(manifest({{"M_src_w", "0"}})), "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  // Values no field can hold are refused instead of wrapping or reading as 0.
  EXPECT_EQ(loadError(manifest({{"H", "1e40"}})), "manifest: bad number H");
  EXPECT_EQ(loadError(manifest({{"H", "\"720\""}})), "manifest: bad number H");
  EXPECT_EQ(loadError(manifest({{"amount", "1e60"}})), "manifest: bad number amount");
}

TEST_F(ManifestTest, SizesBeyondWhatBuffersAreMadeForAreRefused) {
  // Frame buffers and rings are sized from these numbers before any member shows its real size.
  const std::string canvas = loadError(manifest({{"W", "100000"}}));
  EXPECT_EQ(canvas, "manifest: the canvas is 100000x720, beyond the 8192 pixels a side this library sizes its frame "
                    "buffers for \xE2\x80\x94 a broken or hostile manifest, refusing to serve");
  EXPECT_EQ(loadError(manifest({{"H", "8193"}})).rfind("manifest: the canvas is 1280x8193, beyond the 8192", 0), 0u);
  EXPECT_EQ(loadError(manifest({{"crop", "65536"}})),
            "manifest: the face crop is 65536 pixels, beyond the 2048 a director renders \xE2\x80\x94 a broken or "
            "hostile manifest, refusing to serve");
  const vesk::Manifest edge = load(manifest({{"W", "8192"}, {"H", "8192"}, {"crop", "2048"}}));
  EXPECT_EQ(edge.W, 8192);
  EXPECT_EQ(edge.crop, 2048);
}

TEST(CheckedProduct, RefusesWhatDoesNotFitASignedSize) {
  EXPECT_EQ(vesk::checkedProduct({3, 5, 7}, "x"), 105u);
  EXPECT_EQ(vesk::checkedProduct({}, "x"), 1u);
  // (2^31)^2 x 3 and x 2 exceed the signed range that frame sizes are kept in; 2^40 x 2^40 would
  // wrap an unsigned product around to 0.
  const uint64_t big = 1ull << 31;
  EXPECT_EQ(errorOf([&] { vesk::checkedProduct({big, big, 3}, "a frame"); }),
            "a frame does not fit a 64-bit size \xE2\x80\x94 a broken or hostile number, refusing");
  EXPECT_NE(errorOf([&] { vesk::checkedProduct({big, big, 2}, "a frame"); }), "(no error)");
  EXPECT_NE(errorOf([&] { vesk::checkedProduct({1ull << 40, 1ull << 40}, "a frame"); }), "(no error)");
}

TEST_F(ManifestTest, PasteSpaceStamp) {
  const std::string none = manifest({{"M_src_w", ""}, {"M_src_h", ""}});
  const std::string refusal =
      tmp.path() +
      "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) \xE2\x80\x94 the "
      "canvas is 1280x720, so M cannot be placed: absence is not evidence that M was authored at that size. Re-stamp "
      "the bundle (models/calvora-2/inference/backfill_msrc.py), or set CALVORA2_MSRC_MISSING_OK=1 to restore the "
      "legacy assumption.";
  EXPECT_EQ(loadError(none), refusal);
  EXPECT_EQ(loadError(manifest({{"M_src_h", ""}})), refusal);
  for (const char* v : {"1 ", "true", "0", ""}) {
    ScopedEnv env("CALVORA2_MSRC_MISSING_OK", v);
    EXPECT_EQ(loadError(none), refusal) << v;
  }
  ScopedEnv env("CALVORA2_MSRC_MISSING_OK", "1");
  testing::internal::CaptureStderr();
  const vesk::Manifest m = load(none);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[vesk] WARNING CALVORA2_MSRC_MISSING_OK=1: " + tmp.path() +
                "/manifest.json carries no paste-space stamp; ASSUMING M was authored on this 1280x720 canvas. If it "
                "was not, the face pastes off-target and nothing will say so.\n");
  EXPECT_EQ(m.M_src_w, 1280);
  EXPECT_EQ(m.M_src_h, 720);
  EXPECT_EQ(load(manifest({{"M_src_w", ""}}, R"(, "paste_source_width": 640)")).M_src_w, 640);
}
