// The generated test identity's teeth members read back: the bank track decodes to the mouth band
// of the very source crops the bundle carries, the corpus match names the frame the sidecar was
// measured in, and the lip template deforms onto the drawn lips with and without its map.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/vesk_half.h"
#include "generated_bundles.h"
#include "tessera/vesk_tessera_bank.h"
#include "tessera/vesk_tessera_json.h"
#include "tessera/vesk_tessera_lip.h"
#include "tessera/vesk_tessera_pi.h"
#include "test_util.h"

namespace {

namespace json = vesk::tessera::json;
using vesk::test::bundleDir;
using vesk::test::readFile;

const char* kKeys[] = {"canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h",
                       "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",  "shift_margin"};

struct Teeth {
  std::string dir = bundleDir("teeth");
  std::string manifest = readFile(dir + "/manifest.json");
  json::JVal man = json::parseJson(manifest, "manifest.json");
  json::JVal side = json::parseJson(readFile(dir + "/tessera_bank.v1.json"), "tessera_bank.v1.json");
  int at(const char* key) const { return static_cast<int>(side.req("geometry").req(key).num); }
  int n() const { return static_cast<int>(side.req("n_donors").num); }
  double canon(int i) const { return side.req("c_canon").items[static_cast<size_t>(i)].num; }
};

TEST(TeethBundle, BankTrackHoldsTheSourceCropsMouthBandsInDonorOrder) {
  const Teeth t;
  const int crop = static_cast<int>(t.man.req("crop").num);
  const int n = t.n();
  ASSERT_EQ(n, static_cast<int>(t.man.req("NT").num)) << "one donor per source frame";
  const int m = t.at("shift_margin");
  const int bh = t.at("band_r1") - t.at("band_r0") + 2 * m;
  const int bw = t.at("band_c1") - t.at("band_c0") + 2 * m;
  std::vector<int> order;
  for (const json::JVal& v : t.side.req("track_order").items) order.push_back(static_cast<int>(v.num));
  const std::string track = readFile(t.dir + "/tessera_bank.v1.mp4");
  const std::vector<uint8_t> bank =
      vesk::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), n, bh, bw, order);

  // P.f16 holds each source crop as byte / 255 in half precision: invert it to the crop's bytes.
  std::vector<int> byteOf(65536, -1);
  for (int b = 0; b < 256; ++b) byteOf[vesk::half::fromFloat(static_cast<float>(b) / 255.0f)] = b;
  const std::vector<uint16_t> prior = vesk::test::readArray<uint16_t>(t.dir + "/P.f16");
  const size_t plane = static_cast<size_t>(crop) * crop;
  ASSERT_EQ(prior.size(), static_cast<size_t>(n) * 3 * plane);
  const int r0 = t.at("window_y0") + t.at("band_r0") - m;
  const int c0 = t.at("window_x0") + t.at("band_c0") - m;
  for (int d = 0; d < n; ++d)
    for (int y = 0; y < bh; ++y)
      for (int x = 0; x < bw; ++x)
        for (int c = 0; c < 3; ++c) {
          const uint16_t h =
              prior[(static_cast<size_t>(d) * 3 + c) * plane + static_cast<size_t>(r0 + y) * crop + c0 + x];
          const size_t at = ((static_cast<size_t>(d) * bh + y) * bw + x) * 3 + c;
          ASSERT_EQ(static_cast<int>(bank[at]), byteOf[h]) << "donor " << d << " pixel " << x << "," << y;
        }
}

TEST(TeethBundle, ManifestAndSidecarShareOneStampAndTheCorpusMatchNamesTheBankFrame) {
  const Teeth t;
  const json::JVal& g = t.man.req("tessera").req("geometry");
  for (const char* k : kKeys) EXPECT_EQ(static_cast<int>(g.req(k).num), t.at(k)) << k;
  const int crop = static_cast<int>(t.man.req("crop").num);
  EXPECT_EQ(t.at("canvas_w"), crop);
  // A donor is placed up to pad away from its recorded place: its patch must still cover the
  // band, or the uncovered band pixels would blend in as black.
  EXPECT_GE(t.at("shift_margin"), t.at("pad"));
  const std::vector<float> xs = vesk::test::readArray<float>(t.dir + "/xs_target.bin");
  const double canon[2] = {t.canon(0), t.canon(1)};
  std::string label;
  const vesk::tessera::UnifiedPi pi = vesk::tessera::UnifiedPi::corpusFromManifestJson(
      t.manifest, crop, xs.data(), static_cast<int>(xs.size() / 63), canon, &label);
  EXPECT_EQ(label, t.side.req("pi_frame").str);
  // Each donor's centroid is its own source frame's mask centroid.
  const std::vector<float> kp = vesk::test::readArray<float>(t.dir + "/drive/xs.f32");
  std::vector<uint8_t> mask(static_cast<size_t>(crop) * crop);
  for (int d = 0; d < t.n(); ++d) {
    pi.piU8(kp.data() + static_cast<size_t>(d) * 63, mask.data());
    double cx = 0, cy = 0;
    ASSERT_TRUE(pi.piU8Centroid(mask.data(), &cx, &cy));
    const json::JVal& c = t.side.req("cent").items[static_cast<size_t>(d)];
    EXPECT_NEAR(c.items[0].num, cx, 1e-6) << d;
    EXPECT_NEAR(c.items[1].num, cy, 1e-6) << d;
  }
}

TEST(TeethBundle, LipTemplateWithItsMapDeformsLikeThePlainOutlineOnTheDrawnFace) {
  const Teeth t;
  const int crop = static_cast<int>(t.man.req("crop").num);
  const std::string text = readFile(t.dir + "/lip_template.v1.json");
  const vesk::tessera::LipContour mapped = vesk::tessera::LipContour::fromTemplateJson(text, crop);
  ASSERT_GT(mapped.mapWidth(), 0);
  // The same outline without its map.
  const json::JVal plainJson = json::parseJson(text, "lip_template.v1.json");
  std::vector<double> u;
  for (const json::JVal& row : plainJson.req("u_canon").items) {
    u.push_back(row.items[0].num);
    u.push_back(row.items[1].num);
  }
  const int rows[4] = {17, 18, 19, 20};
  const vesk::tessera::LipContour plain(crop, static_cast<float>(plainJson.req("feather_px").num), u.data(),
                                        static_cast<int>(u.size() / 2), rows, 4);
  const std::vector<float> kp = vesk::test::readArray<float>(t.dir + "/drive/xs.f32");
  std::vector<double> a(u.size()), b(u.size());
  mapped.polygon(kp.data(), a.data());
  plain.polygon(kp.data(), b.data());
  for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-3) << i;
}

}  // namespace
