#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "head_pt_builder.h"
#include "tessera/vesk_tessera_head.h"
#include "test_util.h"

using vesk::tessera::HeadWeights;
using vesk::tessera::loadHeadPt;
using vesk::tessera::ServeConfig;
using vesk::test::errorOf;
using vesk::test::PtBuilder;
using namespace std::string_literals;

namespace {

std::string headError(const std::vector<uint8_t>& bytes) {
  return errorOf([&] { loadHeadPt(bytes); });
}

std::string headError(const PtBuilder& b) { return headError(b.bytes()); }

// The builder's archive with its pickle replaced.
std::string pickleError(const std::string& pkl) { return headError(PtBuilder::toBytes(PtBuilder().zip(pkl))); }

}  // namespace

TEST(TesseraHead, LoadsBothArchitecturesFromTheirStorages) {
  const HeadWeights w = loadHeadPt(PtBuilder().bytes());
  EXPECT_EQ(w.params(), 4082u);
  EXPECT_TRUE(w.hasSynthesis());
  ASSERT_EQ(w.cand0_w.size(), 16u * 7 * 9);
  EXPECT_EQ(w.cand0_w[0], 0.0f);
  EXPECT_EQ(w.cand0_w[1007], 1007.0f);
  EXPECT_EQ(w.cand2_b[15], 3015.0f);
  EXPECT_EQ(w.cand4_b[0], 5000.0f);
  EXPECT_EQ(w.syn2_b[0], 9000.0f);
  EXPECT_FLOAT_EQ(w.envelope, 12.0f / 255.0f);

  PtBuilder b8;
  b8.tensors = vesk::test::blendHeadTensors(false);
  const HeadWeights w8 = loadHeadPt(b8.bytes());
  EXPECT_EQ(w8.params(), 3489u);
  EXPECT_FALSE(w8.hasSynthesis());
  EXPECT_TRUE(w8.syn0_w.empty() && w8.syn0_b.empty() && w8.syn2_w.empty() && w8.syn2_b.empty());
}

TEST(TesseraHead, TensorsSharingAStorageReadFromTheirOffsets) {
  PtBuilder b;
  b.tensors[1].key = "0";  // cand.0.bias as a view of cand.0.weight's storage, past its 1008 values
  b.tensors[1].offset = 1008;
  const HeadWeights w = loadHeadPt(b.bytes());
  EXPECT_EQ(w.cand0_b[0], 1008.0f);
  EXPECT_EQ(w.cand0_b[15], 1023.0f);
  // A storage one float short of offset + count is refused.
  b.storages = b.defaultStorages();
  b.storages[0].second.pop_back();
  EXPECT_EQ(headError(b), "teeth: head storage 0 too small");
  b.storages.clear();
  b.tensors[1].offset = -4;
  EXPECT_EQ(headError(b), "teeth: head storage 0 too small");
}

TEST(TesseraHead, RefusesArchivesItWouldHaveToGuessAt) {
  EXPECT_EQ(headError(std::vector<uint8_t>(21, 0)), "teeth: head .pt is not a zip");
  EXPECT_EQ(headError(std::vector<uint8_t>(22, 0)), "teeth: head .pt has no zip EOCD");
  PtBuilder b;
  b.deflated = {"tessera_head.v1/data.pkl"};
  EXPECT_EQ(headError(b),
            "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
  b.deflated.clear();
  const std::string pkl = PtBuilder().pickle();
  EXPECT_EQ(headError(PtBuilder::toBytes(vesk::test::storedZip({{"data.pkl", pkl}, {"h/data.pk", pkl}}))),
            "teeth: head .pt has no data.pkl");

  std::vector<uint8_t> z = PtBuilder().bytes();
  const size_t eocd = z.size() - 22;
  std::vector<uint8_t> bad = z;
  bad[eocd + 16] ^= 0x01;  // central directory one byte off
  EXPECT_EQ(headError(bad), "teeth: head .pt central directory is malformed");
  bad = z;
  bad[eocd + 10] = 0xff;  // more entries than the directory holds
  EXPECT_EQ(headError(bad), "teeth: head .pt central directory is malformed");
  // The first central record's local-header offset beyond the file, then its size beyond the file.
  const size_t cd = z[eocd + 16] | (z[eocd + 17] << 8) | (z[eocd + 18] << 16);
  bad = z;
  bad[cd + 45] = 0x7f;
  EXPECT_EQ(headError(bad), "teeth: head .pt local header out of range");
  bad = z;
  bad[cd + 27] = 0x7f;
  EXPECT_EQ(headError(bad), "teeth: head .pt entry out of range");
  // A name running past the end of the file.
  const size_t lastCd = z.size() - 22 - (46 + std::string("tessera_head.v1/version").size());
  bad = z;
  bad[lastCd + 28] = 0xff;
  bad[lastCd + 29] = 0xff;
  EXPECT_EQ(headError(bad), "teeth: head .pt central directory is malformed");
}

TEST(TesseraHead, RefusesStateDictsOfAnotherShape) {
  PtBuilder b;
  b.tensors[0].sizes = {16, 6, 3, 3};
  EXPECT_EQ(headError(b), "teeth: head 'cand.0.weight' has shape [16, 6, 3, 3] — not the BlendHead(16) arch");
  b = PtBuilder();
  b.tensors[5].sizes = {1, 1};
  EXPECT_EQ(headError(b), "teeth: head 'cand.4.bias' has shape [1, 1] — not the BlendHead(16) arch");
  b = PtBuilder();
  b.tensors.push_back(b.tensors[1]);  // cand.0.bias twice, both the same tensor
  EXPECT_EQ(headError(b), "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous");
  b = PtBuilder();
  b.tensors.pop_back();  // syn.0.weight present, syn.2.bias not
  EXPECT_EQ(headError(b), "teeth: head .pt lacks 'syn.2.bias'");
  b = PtBuilder();
  b.tensors.erase(b.tensors.begin() + 2);
  EXPECT_EQ(headError(b), "teeth: head .pt lacks 'cand.2.weight'");
  b = PtBuilder();
  b.storages = b.defaultStorages();
  b.storages.erase(b.storages.begin() + 3);
  EXPECT_EQ(headError(b), "teeth: head storage 3 missing");
  b = PtBuilder();
  b.tensors.clear();
  EXPECT_EQ(headError(b), "teeth: head .pt state_dict is empty");
}

TEST(TesseraHead, RefusesCodeAndStoragesItDoesNotModel) {
  PtBuilder b;
  b.rebuild = "os\nsystem\n";
  EXPECT_EQ(headError(b), "teeth: head .pt calls os system — this reader refuses code it does not model");
  b = PtBuilder();
  b.storageType = "torch\nHalfStorage\n";
  EXPECT_EQ(headError(b),
            "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to "
            "reinterpret it");
  const std::string head =
      "\x80\x02"
      "ccollections\nOrderedDict\n)R";
  EXPECT_EQ(pickleError(head + "(X\x01\0\0\0stQ."s), "teeth: unexpected persistent id in head .pt");
  EXPECT_EQ(pickleError(head + "(X\x07\0\0\0storageK\x01K\x02K\x03K\x04tQ."s),
            "teeth: head .pt storage is 1, not torch FloatStorage — refusing to reinterpret it");
  EXPECT_EQ(pickleError(head + "ctorch._utils\n_rebuild_tensor_v2\n(K\x01K\x02K\x03tR."),
            "teeth: malformed _rebuild_tensor_v2");
  EXPECT_EQ(pickleError(head + "G"), "teeth: unsupported pickle opcode 0x47 in head .pt");
  EXPECT_EQ(pickleError(head + "\xff"), "teeth: unsupported pickle opcode 0xff in head .pt");
}

TEST(TesseraHead, PickleBoundsAreChecked) {
  const std::string head =
      "\x80\x02"
      "ccollections\nOrderedDict\n)R";
  EXPECT_EQ(pickleError("\x80"), "teeth: pickle truncated");
  EXPECT_EQ(pickleError(head + "K"), "teeth: pickle truncated");
  EXPECT_EQ(pickleError(head + "h"), "teeth: pickle truncated");
  // Multi-byte arguments running past the end.
  EXPECT_EQ(pickleError(head + "J\x01\x02"), "teeth: pickle truncated");
  EXPECT_EQ(pickleError(head + "M\x01"), "teeth: pickle truncated");
  EXPECT_EQ(pickleError(head + "X\x05\0\0\0abc"s), "teeth: pickle truncated");
  EXPECT_EQ(pickleError(head + "X\xff\xff\xff\xff"), "teeth: pickle truncated");
  EXPECT_EQ(pickleError(head + "j\x01"), "teeth: pickle truncated");
  EXPECT_EQ(pickleError(head + "r\x01\x02\x03"s), "teeth: pickle truncated");
  EXPECT_EQ(pickleError(head + "ctorch\nFloat"), "teeth: pickle truncated");
  // Memo reads beyond what was put.
  EXPECT_EQ(pickleError(head + "q\x01h\x02"), "teeth: pickle BINGET out of range");
  EXPECT_EQ(pickleError(head + "q\x01j\x02\0\0\0"s), "teeth: pickle LONG_BINGET out of range");
  EXPECT_EQ(pickleError(head + "r\xff\xff\xff\xff"), "teeth: pickle memo index out of range");
  // Pops from an empty stack.
  EXPECT_EQ(pickleError("Q"), "teeth: pickle BINPERSID pops an empty stack");
  EXPECT_EQ(pickleError("NR"), "teeth: pickle REDUCE pops an empty stack");
  EXPECT_EQ(pickleError("Ns"), "teeth: pickle SETITEM pops an empty stack");
  EXPECT_EQ(pickleError("N\x86"), "teeth: pickle TUPLE2 pops an empty stack");
  EXPECT_EQ(pickleError("\x87"), "teeth: pickle TUPLE3 pops an empty stack");
  EXPECT_EQ(pickleError("q\x00"s), "teeth: pickle BINPUT of an empty stack");
  EXPECT_EQ(pickleError("t"), "teeth: pickle TUPLE without a MARK");
  EXPECT_EQ(pickleError("u"), "teeth: pickle SETITEMS without a MARK");
  EXPECT_EQ(pickleError("NN(\x86t"), "teeth: pickle TUPLE pops an empty stack");
}

TEST(TesseraHead, EndOfProgramWithoutStopEndsItAsStopDoes) {
  std::string pkl = PtBuilder().pickle();
  ASSERT_EQ(pkl.back(), '.');
  pkl.pop_back();
  EXPECT_EQ(loadHeadPt(PtBuilder::toBytes(PtBuilder().zip(pkl))).params(), 4082u);
  // Nothing after STOP runs.
  EXPECT_EQ(loadHeadPt(PtBuilder::toBytes(PtBuilder().zip(pkl + ".G"))).params(), 4082u);
}

#ifdef VESK_TEST_HEAD_DIR
// The generator's archives, written by torch.save itself.
TEST(TesseraHead, ReadsTorchSaveOutput) {
  const std::string dir = VESK_TEST_HEAD_DIR;
  const std::string text = vesk::test::readFile(dir + "/blendhead/tessera_head.v1.pt");
  ASSERT_FALSE(text.empty());
  const HeadWeights w = loadHeadPt(PtBuilder::toBytes(text));
  EXPECT_EQ(w.params(), 4082u);
  // The hand-set head: plane 6 box-smoothed into channel 0, carried, and scaled by -24.
  for (int k = 0; k < 9; ++k) EXPECT_FLOAT_EQ(w.cand0_w[6 * 9 + k], 1.0f / 9.0f) << k;
  EXPECT_EQ(w.cand0_w[5 * 9 + 4], 0.0f);
  EXPECT_EQ(w.cand2_w[4], 1.0f);
  EXPECT_EQ(w.cand4_w[4], -24.0f);
  EXPECT_FLOAT_EQ(w.syn0_w[4], 0.299f);
  EXPECT_FLOAT_EQ(w.syn0_w[9 + 4], 0.587f);
  EXPECT_FLOAT_EQ(w.syn0_w[18 + 4], 0.114f);
  const HeadWeights w8 = loadHeadPt(PtBuilder::toBytes(vesk::test::readFile(dir + "/blendhead8/tessera_head.v1.pt")));
  EXPECT_EQ(w8.params(), 3489u);
  EXPECT_EQ(w8.cand4_w[4], -24.0f);
  const ServeConfig c = ServeConfig::fromHeadMemberJson(vesk::test::readFile(dir + "/blendhead/tessera_head.v1.json"));
  EXPECT_EQ(c.kshort, 512);
  EXPECT_EQ(c.hysteresis, 8);
}
#endif

TEST(TesseraServeConfig, ReadsTheV1Schema) {
  const ServeConfig c = ServeConfig::fromHeadMemberJson(
      R"(  {"retrieval": {"kshort": 100.9, "aperture_tol": 0.25, "cut": 40, "K": 12, "kshort": 7},
           "temporal": {"hysteresis": 3, "lookahead": "x"}, "retrieval": 5})");
  EXPECT_EQ(c.kshort, 100);
  EXPECT_DOUBLE_EQ(c.aperture_tol, 0.25);
  EXPECT_EQ(c.cut, 40);
  EXPECT_EQ(c.K, 12);
  EXPECT_EQ(c.hysteresis, 3);
  EXPECT_EQ(c.lookahead, 0);  // the numeric value whatever the kind
  EXPECT_EQ(c.teeth_luma_min, 100.0);
  EXPECT_EQ(c.teeth_rg_max, 25.0);
  EXPECT_EQ(c.teeth_min_pixels, 32);
  EXPECT_EQ(c.weight_carry, 0.6);
  EXPECT_EQ(c.use_lookahead, 1);
}

TEST(TesseraServeConfig, Refusals) {
  const std::string blocks = R"("retrieval": {"kshort": 1, "aperture_tol": 1, "cut": 1, "K": 1},
                                "temporal": {"hysteresis": 1, "lookahead": 1})";
  auto err = [](const std::string& text) { return errorOf([&] { ServeConfig::fromHeadMemberJson(text); }); };
  EXPECT_EQ(err("{" + blocks + "}"), "(no error)");
  EXPECT_EQ(err("{" + blocks + R"(, "decode": {"envelope_clamp_255": 12.0000001}})"), "(no error)");
  EXPECT_EQ(err("{" + blocks + R"(, "decode": {"other": 1}})"), "(no error)");
  EXPECT_EQ(err("{" + blocks + R"(, "decode": 12.01})"), "(no error)");
  EXPECT_EQ(err("{" + blocks + R"(, "decode": {"envelope_clamp_255": 12.01}})"),
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  EXPECT_EQ(err("{" + blocks + R"(, "decode": {"envelope_clamp_255": "12"}})"),
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  const std::string w301 =
      "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
      "defaults (W3-01)";
  EXPECT_EQ(err(R"({"retrieval": {"kshort": 1}})"), w301);
  EXPECT_EQ(err(R"({"retrieval": {}, "temporal": []})"), w301);
  EXPECT_EQ(err(R"({"retrieval": {"kshort": 1, "aperture_tol": 1, "K": 1}, "temporal": {}})"),
            "teeth: member JSON lacks key 'cut'");
  EXPECT_EQ(err(R"({"retrieval": {"kshort": 1, "aperture_tol": 1, "cut": 1, "K": 1}, "temporal": {"lookahead": 1}})"),
            "teeth: member JSON lacks key 'hysteresis'");
  EXPECT_EQ(err("  "), "teeth: JSON truncated");
  EXPECT_EQ(err("{\"retrieval\" 1"), "teeth: malformed JSON object");
}
