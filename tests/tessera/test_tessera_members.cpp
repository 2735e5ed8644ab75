#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "teeth_bundle.h"
#include "tessera/vesk_bundle_tessera.h"
#include "test_util.h"

using vesk::test::errorOf;
using vesk::test::TeethBundle;
using vesk::test::writeFile;

namespace {

const std::string kSwitch =
    ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; any missing = "
    "REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no rendering mode that proceeds "
    "without them (calvora-2 IS borrowed teeth). Re-stage the bundle with the bank builder.";

std::string loadError(const TeethBundle& b) {
  return errorOf([&] { vesk::loadTesseraMembers(b.path()); });
}

}  // namespace

TEST(TesseraCarriage, SlotTable) {
  EXPECT_EQ(vesk::tesseraSlotCount(), 4);
  EXPECT_EQ(vesk::tesseraSlotKeys(),
            (std::vector<std::string>{"bank_track", "bank_sidecar", "head_weights", "head_config"}));
  const vesk::TesseraSlots s;
  EXPECT_EQ(s.at(0), "tessera_bank.v1.mp4");
  EXPECT_EQ(s.at(3), "tessera_head.v1.json");
}

TEST(TesseraCarriage, CompleteBundleWithOverridesAndPlanes) {
  TeethBundle b;
  b.tessera = R"({"members": {"head_weights": "heads/h.pt", "head_config": "", "bank_track": 7},
                  "members": {"head_config": "ignored.json"}, "planes": ["utt", 3, "stream"], "planes": ["x"]})";
  b.write("head_weights");
  writeFile(b.dir / "heads/h.pt", "w");
  const vesk::TesseraCarriage c = vesk::tesseraCarriage(b.path());
  EXPECT_TRUE(c.complete);
  EXPECT_TRUE(c.declared);
  EXPECT_TRUE(c.missing.empty());
  EXPECT_EQ(c.names.head_weights, "heads/h.pt");
  // An empty string or a number leaves the default name in force; only the first members object counts.
  EXPECT_EQ(c.names.head_config, "tessera_head.v1.json");
  EXPECT_EQ(c.names.bank_track, "tessera_bank.v1.mp4");
  EXPECT_EQ(c.planes, (std::vector<std::string>{"utt", "stream"}));
  EXPECT_EQ(c.path("head_weights"), b.dir / "heads/h.pt");
  EXPECT_EQ(c.path("bank_sidecar"), b.dir / "tessera_bank.v1.json");
  EXPECT_EQ(errorOf([&] { c.path("bank"); }), "teeth: no such member slot 'bank'");
  EXPECT_NO_THROW(vesk::requireTesseraMembers(c));
}

TEST(TesseraCarriage, MissingHeadConfigIsRefusedOnEveryPlane) {
  TeethBundle b;
  b.write("head_config");
  vesk::TesseraCarriage c = vesk::tesseraCarriage(b.path());
  EXPECT_FALSE(c.complete);
  EXPECT_FALSE(c.declared);
  EXPECT_EQ(c.missing, std::vector<std::string>{"head_config"});
  const std::string plain = "missing teeth member(s): head_config (tessera_head.v1.json) — carries 3 of 4" + kSwitch;
  EXPECT_EQ(loadError(b), plain);
  try {
    vesk::requireTesseraMembers(c);
    FAIL() << "no refusal";
  } catch (const vesk::MissingTesseraMember& e) {
    EXPECT_EQ(e.missing(), std::vector<std::string>{"head_config"});
  }
  // Declaring a block the members do not keep adds its clause; a tessera that is not an object does not.
  b.tessera = "{}";
  b.write("head_config");
  EXPECT_EQ(loadError(b),
            "missing teeth member(s): head_config (tessera_head.v1.json) — carries 3 of 4 and declares a "
            "manifest.tessera block the members do not keep" +
                kSwitch);
  b.tessera = "[1]";
  b.write("head_config");
  EXPECT_EQ(loadError(b), plain);
}

TEST(TesseraCarriage, SeveralMissingNamedWithTheirFileNames) {
  TeethBundle b;
  b.tessera = R"({"members": {"bank_track": "bank.mkv"}})";
  b.write();
  std::remove((b.dir / "tessera_head.v1.pt").c_str());
  const vesk::TesseraCarriage c = vesk::tesseraCarriage(b.path());
  EXPECT_EQ(c.missing, (std::vector<std::string>{"bank_track", "head_weights"}));
  EXPECT_EQ(loadError(b),
            "missing teeth member(s): bank_track (bank.mkv), head_weights (tessera_head.v1.pt) — carries 2 of 4 and "
            "declares a manifest.tessera block the members do not keep" +
                kSwitch);
}

TEST(TesseraCarriage, UnreadableManifestMeansNoBlock) {
  TeethBundle b;
  b.write();
  writeFile(b.dir / "manifest.json", R"({"tessera": {"members": {"head_config": "x.json"}, "planes": ["utt"])");
  vesk::TesseraCarriage c = vesk::tesseraCarriage(b.path());
  EXPECT_FALSE(c.declared);
  EXPECT_TRUE(c.planes.empty());
  EXPECT_EQ(c.names.head_config, "tessera_head.v1.json");
  EXPECT_TRUE(c.complete);
  // meta.json stands in when there is no manifest.json.
  std::remove((b.dir / "manifest.json").c_str());
  writeFile(b.dir / "meta.json", R"({"tessera": {"planes": ["stream"]}})");
  c = vesk::tesseraCarriage(b.path());
  EXPECT_TRUE(c.declared);
  EXPECT_EQ(c.planes, std::vector<std::string>{"stream"});
}

TEST(TesseraMembers, LoadsEveryField) {
  TeethBundle b;
  b.write();
  const vesk::TesseraAttachInputs in = vesk::loadTesseraMembers(b.path());
  EXPECT_EQ(in.n_donors, 3);
  EXPECT_EQ(in.track_order, (std::vector<int32_t>{2, 0, 1}));
  EXPECT_EQ(in.cent, (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(in.aperture, (std::vector<double>{0.1, 0.2, 0.3}));
  EXPECT_EQ(in.c_canon[0], 64.5);
  EXPECT_EQ(in.c_canon[1], 80.25);
  EXPECT_EQ(in.stamp.values(), (std::array<int32_t, 12>{128, 128, 40, 70, 48, 24, 3, 8, 16, 14, 34, 2}));
  EXPECT_EQ(in.band_w, 24);
  EXPECT_EQ(in.band_h, 12);
  EXPECT_EQ(in.head_pt.size(), 12u);
  EXPECT_EQ(in.head_pt[4], 'p');
  EXPECT_EQ(in.head_json, "{\"retrieval\": {}}");
  EXPECT_EQ(in.manifest_json, vesk::test::readFile(b.dir / "manifest.json"));
  EXPECT_EQ(in.bank_track_path, b.dir / "tessera_bank.v1.mp4");
  EXPECT_EQ(in.bank_container, "mp4");
  EXPECT_EQ(in.bank_packing, "rgb24_frames");
  EXPECT_EQ(in.bank_codec, "libx264rgb");
  EXPECT_EQ(in.bank_pix_fmt, "rgb24");
}

TEST(TesseraMembers, ManifestBlockDescribesTheBankAndMustAgreeOnGeometry) {
  TeethBundle b;
  b.tessera = R"({"bank_container": "mkv", "bank_packing": "p", "bank_codec": "ffv1", "bank_pix_fmt": "gbrp",
                  "geometry": )" +
              vesk::test::geometryJson() + "}";
  b.write();
  vesk::TesseraAttachInputs in = vesk::loadTesseraMembers(b.path());
  EXPECT_EQ(in.bank_container, "mkv");
  EXPECT_EQ(in.bank_packing, "p");
  EXPECT_EQ(in.bank_codec, "ffv1");
  EXPECT_EQ(in.bank_pix_fmt, "gbrp");
  // Only shift_margin differs: refused with both stamps written out.
  b.tessera = R"({"geometry": )" + vesk::test::geometryJson(3) + "}";
  b.write();
  EXPECT_EQ(loadError(b),
            "teeth geometry DISAGREES between the manifest and the bank sidecar — manifest {canvas_w=128, "
            "canvas_h=128, window_x0=40, window_y0=70, window_w=48, window_h=24, pad=3, band_r0=8, band_r1=16, "
            "band_c0=14, band_c1=34, shift_margin=3} vs tessera_bank.v1.json {canvas_w=128, canvas_h=128, "
            "window_x0=40, window_y0=70, window_w=48, window_h=24, pad=3, band_r0=8, band_r1=16, band_c0=14, "
            "band_c1=34, shift_margin=2}; refusing to place a window on a rectangle the two halves of the bundle do "
            "not agree on.");
  b.tessera = R"({"geometry": {"canvas_w": 128}})";
  b.write();
  EXPECT_EQ(loadError(b), "teeth: manifest.tessera.geometry lacks numeric 'canvas_h'");
  // A tessera that is not an object: sidecar and defaults, and no cross-check.
  b.tessera = R"([{"geometry": {"canvas_w": 1}, "bank_pix_fmt": "gbrp"}])";
  b.write();
  in = vesk::loadTesseraMembers(b.path());
  EXPECT_EQ(in.bank_pix_fmt, "rgb24");
  EXPECT_EQ(in.bank_container, "mp4");
  // The pixel format must be stated by one of the two.
  b.tessera = "";
  b.sidecar.codec = "";
  b.write();
  EXPECT_EQ(loadError(b),
            b.path() +
                ": neither manifest.tessera.bank_pix_fmt nor tessera_bank.v1.json.codec.pix_fmt states the reference "
                "track's pixel format. A decoder handed no format negotiates one, and the one it settles on is 4:2:0 "
                "— lossy chroma on reference pixels IS the borrow degrading. Refusing rather than letting it guess.");
  b.tessera = R"({"bank_pix_fmt": "rgb24"})";
  b.write();
  EXPECT_EQ(vesk::loadTesseraMembers(b.path()).bank_codec, "");
}

TEST(TesseraMembers, DonorCountCap) {
  TeethBundle b;
  auto withDonors = [&](int n) {
    std::string order = "[", cent = "[", ap = "[";
    for (int i = 0; i < n; ++i) {
      const std::string sep = i > 0 ? ", " : "";
      order += sep + std::to_string(n - 1 - i);
      cent += sep + "[0, 0]";
      ap += sep + "0";
    }
    b.sidecar.n_donors = std::to_string(n);
    b.sidecar.track_order = order + "]";
    b.sidecar.cent = cent + "]";
    b.sidecar.aperture = ap + "]";
    b.write();
  };
  withDonors(1024);
  EXPECT_EQ(vesk::loadTesseraMembers(b.path()).n_donors, 1024);
  withDonors(1025);
  EXPECT_EQ(loadError(b),
            "tessera_bank.v1.json carries n_donors=1025, over the owner's cap of 1024 (ruling 2026-08-28). This "
            "reader REFUSES rather than capping: the selector is the bank's BUILD-time cap selector, and a second one "
            "here would change which donors reach the mouth while every count-based check stayed green. Rebuild the "
            "bank.");
  b.sidecar = {};
  b.sidecar.n_donors = "0";
  b.write();
  EXPECT_EQ(loadError(b), "tessera_bank.v1.json says n_donors=0");
  b.sidecar.n_donors = "0.99";
  b.write();
  EXPECT_EQ(loadError(b), "tessera_bank.v1.json says n_donors=0");
  b.sidecar.n_donors = "1e300";
  b.write();
  EXPECT_NE(loadError(b).find("carries n_donors=2147483647, over the owner's cap"), std::string::npos);
  b.sidecar.n_donors = "\"3\"";
  b.write();
  EXPECT_EQ(loadError(b), "teeth: tessera_bank.v1.json lacks numeric 'n_donors'");
}

TEST(TesseraMembers, TrackOrderIsTruncatedAndMustBeAPermutation) {
  TeethBundle b;
  b.sidecar.track_order = "[2.7, 0, 1.2]";
  b.write();
  EXPECT_EQ(vesk::loadTesseraMembers(b.path()).track_order, (std::vector<int32_t>{2, 0, 1}));
  b.sidecar.track_order = "[2, 3, 1]";
  b.write();
  EXPECT_EQ(loadError(b), "tessera_bank.v1.json track_order[1]=3 is outside [0,3)");
  b.sidecar.track_order = "[2, -1, 1]";
  b.write();
  EXPECT_EQ(loadError(b), "tessera_bank.v1.json track_order[1]=-1 is outside [0,3)");
  b.sidecar.track_order = "[2, 0, 2.5]";
  b.write();
  EXPECT_EQ(loadError(b),
            "tessera_bank.v1.json track_order is not a permutation (reference 2 appears twice) — the inverse "
            "permutation would leave a reference slot never written and the pass would blend uninitialised memory "
            "into a real mouth.");
}

TEST(TesseraMembers, SidecarRefusals) {
  struct Case {
    void (*edit)(vesk::test::SidecarJson&);
    std::string message;
  };
  const std::string S = "tessera_bank.v1.json";
  const std::vector<Case> cases = {
      {[](auto& s) { s.format = "\"tessera_bank.v2\""; },
       S + " declares format 'tessera_bank.v2', not 'tessera_bank.v1' — this reader does not know that generation "
           "and will not guess at its keys."},
      {[](auto& s) { s.format = ""; },
       S + " declares format '', not 'tessera_bank.v1' — this reader does not know that generation and will not "
           "guess at its keys."},
      {[](auto& s) { s.geometry = "[1]"; }, S + " carries no `geometry` stamp"},
      {[](auto& s) { s.geometry = R"({"canvas_w": 1})"; }, "teeth: " + S + ".geometry lacks numeric 'canvas_h'"},
      {[](auto& s) { s.geometry = vesk::test::geometryJson(-5); },
       "teeth stamp yields a non-positive stored patch (10x-2)"},
      {[](auto& s) { s.cent = "{}"; }, S + " lacks one of track_order/cent/aperture/c_canon as an array"},
      {[](auto& s) { s.c_canon = ""; }, S + " lacks one of track_order/cent/aperture/c_canon as an array"},
      {[](auto& s) { s.aperture = "[1, 2]"; },
       S + " says n_donors=3 but carries track_order=3, cent=3, aperture=2 — a count mismatch silently mis-orders "
           "the donors."},
      {[](auto& s) { s.c_canon = "[1, 2, 3]"; }, S + " c_canon is not a pair"},
      {[](auto& s) { s.cent = "[[1, 2], [3], [5, 6]]"; }, S + " cent[1] is not an (x,y) pair"},
      {[](auto& s) { s.cent = "[[1, 2], [3, 4], 5]"; }, S + " cent[2] is not an (x,y) pair"},
  };
  for (const Case& c : cases) {
    TeethBundle b;
    c.edit(b.sidecar);
    b.write();
    EXPECT_EQ(loadError(b), c.message) << b.sidecar.text();
  }
  TeethBundle b;
  b.write();
  writeFile(b.dir / "tessera_bank.v1.json", "{\"format\": ");
  EXPECT_EQ(loadError(b), "teeth: tessera_bank.v1.json is not readable JSON: teeth: JSON truncated");
  b.write();
  writeFile(b.dir / "manifest.json", "[");
  EXPECT_EQ(loadError(b), "teeth: " + (b.dir / "manifest.json") + " is not readable JSON: teeth: JSON truncated");
  b.write();
  std::remove((b.dir / "manifest.json").c_str());
  EXPECT_EQ(loadError(b), b.path() +
                              " carries no manifest.json or meta.json — the compose descriptor (unified.pi) the pass "
                              "places its window by lives there, and placing a borrow window without it is guessing.");
}

TEST(TesseraMembers, ReorderPutsEachTrackFrameInItsDonorSlot) {
  TeethBundle b;
  b.write();
  const vesk::TesseraAttachInputs in = vesk::loadTesseraMembers(b.path());
  const size_t frame = 24 * 12 * 3;
  std::vector<uint8_t> track(3 * frame), out(3 * frame, 0xee);
  for (size_t i = 0; i < track.size(); ++i) track[i] = static_cast<uint8_t>(i / frame * 10 + i % 7);
  vesk::reorderTrackToDonor(in, track.data(), out.data());
  // track_order [2, 0, 1]: frame 0 is donor 2, frame 1 donor 0, frame 2 donor 1.
  for (size_t i = 0; i < frame; ++i) {
    ASSERT_EQ(out[2 * frame + i], track[i]);
    ASSERT_EQ(out[0 * frame + i], track[frame + i]);
    ASSERT_EQ(out[1 * frame + i], track[2 * frame + i]);
  }
  EXPECT_EQ(errorOf([&] { vesk::reorderTrackToDonor(in, nullptr, out.data()); }), "teeth: null band buffer");
  vesk::TesseraAttachInputs bad = in;
  bad.n_donors = 2;
  EXPECT_EQ(errorOf([&] { vesk::reorderTrackToDonor(bad, track.data(), out.data()); }),
            "teeth: track_order does not match n_donors");
  bad = in;
  bad.band_w = 0;
  EXPECT_EQ(errorOf([&] { vesk::reorderTrackToDonor(bad, track.data(), out.data()); }), "teeth: zero reference stride");
  bad = in;
  bad.track_order = {0, 5, 1};
  EXPECT_EQ(errorOf([&] { vesk::reorderTrackToDonor(bad, track.data(), out.data()); }),
            "teeth: track_order names no donor slot");
}
