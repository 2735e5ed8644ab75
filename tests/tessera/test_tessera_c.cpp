#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "teeth_bundle.h"
#include "vesk/vesk_tessera.h"

using vesk::test::TeethBundle;

TEST(TesseraC, SlotsAndCarriage) {
  EXPECT_EQ(vesk_tessera_slot_count(), 4);
  EXPECT_STREQ(vesk_tessera_slot_key(0), "bank_track");
  EXPECT_STREQ(vesk_tessera_slot_key(3), "head_config");
  EXPECT_EQ(vesk_tessera_slot_key(4), nullptr);
  EXPECT_EQ(vesk_tessera_slot_key(-1), nullptr);

  TeethBundle b;
  b.tessera = "{}";
  b.write("bank_sidecar");
  EXPECT_EQ(vesk_tessera_carriage_open(nullptr), nullptr);
  vesk_tessera_carriage* c = vesk_tessera_carriage_open(b.path().c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(vesk_tessera_carriage_complete(c), 0);
  EXPECT_EQ(vesk_tessera_carriage_declared(c), 1);
  EXPECT_EQ(vesk_tessera_carriage_missing_count(c), 1);
  EXPECT_STREQ(vesk_tessera_carriage_missing(c, 0), "bank_sidecar");
  EXPECT_EQ(vesk_tessera_carriage_missing(c, 1), nullptr);
  EXPECT_EQ(vesk_tessera_carriage_path(c, "head_config"), b.dir / "tessera_head.v1.json");
  EXPECT_STREQ(vesk_tessera_carriage_path(c, "nope"), "");
  EXPECT_STREQ(vesk_tessera_carriage_path(c, nullptr), "");
  vesk_tessera_carriage_close(c);
  vesk_tessera_carriage_close(nullptr);

  EXPECT_EQ(vesk_tessera_carriage_complete(nullptr), 0);
  EXPECT_EQ(vesk_tessera_carriage_missing_count(nullptr), 0);
  EXPECT_STREQ(vesk_tessera_carriage_path(nullptr, "bank_track"), "");
}

TEST(TesseraC, MembersOpenAndRead) {
  TeethBundle b;
  b.write();
  char err[64];
  std::memset(err, 'x', sizeof err);
  vesk_tessera_members* m = vesk_tessera_members_open(b.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_STREQ(err, "");
  EXPECT_EQ(vesk_tessera_members_n_donors(m), 3);
  EXPECT_EQ(vesk_tessera_members_cent(m)[5], 6.0);
  EXPECT_EQ(vesk_tessera_members_c_canon(m)[1], 80.25);
  EXPECT_EQ(vesk_tessera_members_aperture(m)[2], 0.3);
  const int32_t* stamp = vesk_tessera_members_stamp(m);
  EXPECT_EQ(stamp[0], 128);
  EXPECT_EQ(stamp[11], 2);
  EXPECT_EQ(vesk_tessera_members_head_pt_len(m), 12);
  EXPECT_EQ(vesk_tessera_members_head_pt(m)[0], 'P');
  EXPECT_STREQ(vesk_tessera_members_head_json(m), "{\"retrieval\": {}}");
  EXPECT_NE(std::string(vesk_tessera_members_manifest_json(m)).find("\"NT\": 8"), std::string::npos);
  EXPECT_EQ(vesk_tessera_members_bank_track_path(m), b.dir / "tessera_bank.v1.mp4");
  EXPECT_STREQ(vesk_tessera_members_bank_container(m), "mp4");
  EXPECT_STREQ(vesk_tessera_members_bank_codec(m), "libx264rgb");
  EXPECT_STREQ(vesk_tessera_members_bank_pix_fmt(m), "rgb24");
  EXPECT_STREQ(vesk_tessera_members_bank_packing(m), "rgb24_frames");
  EXPECT_EQ(vesk_tessera_members_band_w(m), 24);
  EXPECT_EQ(vesk_tessera_members_band_h(m), 12);
  EXPECT_EQ(vesk_tessera_members_band_bytes(m), 3 * 24 * 12 * 3);

  std::vector<uint8_t> track(3 * 864), band(3 * 864);
  track[0] = 42;
  EXPECT_EQ(vesk_tessera_members_reorder(m, track.data(), band.data(), err, sizeof err), 0);
  EXPECT_EQ(band[2 * 864], 42);
  EXPECT_EQ(vesk_tessera_members_reorder(m, nullptr, band.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "vesk_tessera_members_reorder: null argument");
  EXPECT_EQ(vesk_tessera_members_reorder(nullptr, track.data(), band.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "vesk_tessera_members_reorder: null argument");
  vesk_tessera_members_close(m);

  EXPECT_EQ(vesk_tessera_members_n_donors(nullptr), 0);
  EXPECT_EQ(vesk_tessera_members_cent(nullptr), nullptr);
  EXPECT_EQ(vesk_tessera_members_stamp(nullptr), nullptr);
  EXPECT_EQ(vesk_tessera_members_head_pt(nullptr), nullptr);
  EXPECT_STREQ(vesk_tessera_members_bank_codec(nullptr), "");
  EXPECT_EQ(vesk_tessera_members_band_bytes(nullptr), 0);
  vesk_tessera_members_close(nullptr);
}

TEST(TesseraC, ErrorBufferConvention) {
  TeethBundle b;
  b.write("head_config");
  char err[16];
  // err_len 1: only the terminating zero, nothing beyond it touched.
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(vesk_tessera_members_open(b.path().c_str(), err, 1), nullptr);
  EXPECT_EQ(err[0], '\0');
  EXPECT_EQ(err[1], 'x');
  // A short buffer gets the head of the message, zero-filled up to its last byte.
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(vesk_tessera_members_open(b.path().c_str(), err, 10), nullptr);
  EXPECT_EQ(std::string(err, 10), std::string("missing t\0", 10));
  EXPECT_EQ(err[10], 'x');
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(vesk_tessera_members_open(nullptr, err, sizeof err), nullptr);
  EXPECT_EQ(std::string(err, sizeof err), std::string("vesk_tessera_me\0", 16));
  // Null or empty buffers are left alone.
  EXPECT_EQ(vesk_tessera_members_open(nullptr, nullptr, 10), nullptr);
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(vesk_tessera_members_open(b.path().c_str(), err, 0), nullptr);
  EXPECT_EQ(err[0], 'x');
  std::vector<char> big(2048, 'x');
  EXPECT_EQ(vesk_tessera_members_open(b.path().c_str(), big.data(), static_cast<int>(big.size())), nullptr);
  const std::string full(big.data());
  EXPECT_EQ(full.rfind("missing teeth member(s): head_config (tessera_head.v1.json) — carries 3 of 4. ONE", 0), 0u);
  for (size_t i = full.size(); i < big.size(); ++i) ASSERT_EQ(big[i], '\0') << i;
}
