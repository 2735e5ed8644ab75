// Load-time rewrites of the director bytes: which nodes they take, what they write, and the models
// they leave exactly as they were.
#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "generated_bundles.h"
#include "render_test_util.h"
#include "render/vesk_gridsample_fast.h"
#include "render/vesk_onnx.h"
#include "render/vesk_rewrite.h"

using vesk::GsField;
using vesk::GsNodeInfo;
using vesk::GsReader;
using vesk::GsSlice;
using vesk::test::bundleDir;
using vesk::test::errorOf;

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<GsField> fieldsOf(GsSlice s) {
  std::vector<GsField> out;
  GsReader r(s);
  GsField f;
  while (r.next(f)) out.push_back(f);
  return out;
}

std::string rawOf(GsSlice s) { return s.str(); }

// A NodeProto payload: a two-input sampler with the given op_type, domain (none when null) and
// encoded attributes.
Bytes samplerNode(const std::string& op, const char* domain, const Bytes& attrs) {
  Bytes n;
  vesk::gsPutBytes(n, 1, std::string("X"));
  vesk::gsPutBytes(n, 1, std::string("grid"));
  vesk::gsPutBytes(n, 2, std::string("Y"));
  vesk::gsPutBytes(n, 3, std::string("/warp/grid_sample"));
  vesk::gsPutBytes(n, 4, op);
  vesk::gsPutRaw(n, attrs);
  if (domain != nullptr) vesk::gsPutBytes(n, 7, std::string(domain));
  return n;
}

Bytes attrs(const char* mode, const char* padding, int align = -1) {
  Bytes a;
  if (mode != nullptr) vesk::hcAttrS(a, "mode", mode);
  if (padding != nullptr) vesk::hcAttrS(a, "padding_mode", padding);
  if (align >= 0) vesk::hcAttrI(a, "align_corners", align);
  return a;
}

// The domains of the model's opset imports, in order.
std::vector<std::string> opsetDomains(const Bytes& model) {
  std::vector<std::string> out;
  for (const GsField& f : fieldsOf(GsSlice(model)))
    if (f.number == 8 && f.wire == 2) out.push_back(vesk::gsFirstStr(f.payload, 1));
  return out;
}

}  // namespace

TEST(GridSampleRewrite, TakesOnlyStatedBilinearBorderSamplersWithoutAlignedCorners) {
  struct Case {
    Bytes node;
    bool rewritable;
    const char* what;
  };
  const std::vector<Case> cases = {
      {samplerNode("GridSample", nullptr, attrs("bilinear", "border")), true, "bilinear, border"},
      {samplerNode("GridSample", nullptr, attrs("linear", "border")), true, "linear (opset 20's name), border"},
      {samplerNode("GridSample", nullptr, attrs("bilinear", "border", 0)), true, "align_corners 0 stated"},
      {samplerNode("GridSample", "", attrs("bilinear", "border")), true, "empty domain"},
      {samplerNode("GridSample", "ai.onnx", attrs("bilinear", "border")), true, "ai.onnx domain"},
      {samplerNode("GridSample", nullptr, attrs("bilinear", "border", 1)), false, "align_corners 1"},
      {samplerNode("GridSample", nullptr, attrs(nullptr, "border")), false, "no mode"},
      {samplerNode("GridSample", nullptr, attrs("nearest", "border")), false, "nearest"},
      {samplerNode("GridSample", nullptr, attrs("bicubic", "border")), false, "bicubic"},
      {samplerNode("GridSample", nullptr, attrs("bilinear", "zeros")), false, "zero padding"},
      {samplerNode("GridSample", nullptr, attrs("bilinear", "reflection")), false, "reflection padding"},
      {samplerNode("GridSample", nullptr, attrs("bilinear", nullptr)), false, "padding left to the default"},
      {samplerNode("GridSample", "com.microsoft", attrs("bilinear", "border")), false, "another domain"},
      {samplerNode("GridSampleFast", "com.zentrova", {}), false, "already the fast operator"},
      {samplerNode("Resize", nullptr, attrs("linear", "border")), false, "another operator"},
  };
  for (const Case& c : cases) EXPECT_EQ(vesk::gsIsRewritableGridSample(GsSlice(c.node)), c.rewritable) << c.what;
}

TEST(GridSampleRewrite, TheDirectorsSamplerBecomesTheFastOperatorAndNothingElseChanges) {
  const std::string dir = bundleDir("small");
  for (const char* key : {"b1", "b24_fp32", "b1_featsynth"}) {
    SCOPED_TRACE(key);
    const Bytes original = vesk::test::modelBytes(dir, key);
    Bytes model = original;
    ASSERT_EQ(vesk::rewriteGridSampleToFast(model), 1u);
    EXPECT_TRUE(vesk::graphHasBakedGridSampleFast(model));

    // The model's own fields stand as they were, in order, with one opset import appended.
    const std::vector<GsField> before = fieldsOf(GsSlice(original)), after = fieldsOf(GsSlice(model));
    ASSERT_EQ(after.size(), before.size() + 1);
    for (size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(after[i].number, before[i].number) << i;
      if (before[i].number != 7) {
        EXPECT_EQ(rawOf(after[i].raw), rawOf(before[i].raw)) << i;
      }
    }
    EXPECT_EQ(rawOf(after.back().payload), std::string("\x0a\x0c"
                                                       "com.zentrova\x10\x01",
                                                       16));
    EXPECT_EQ(opsetDomains(model), (std::vector<std::string>{"", "com.zentrova"}));

    // In the graph only the sampler changed: same name, inputs and outputs, no attributes.
    std::vector<GsNodeInfo> was, now;
    std::unordered_set<std::string> inits0, inputs0, inits1, inputs1;
    vesk::gsReadGraph(vesk::gsGraphOf(GsSlice(original)), was, inits0, inputs0);
    vesk::gsReadGraph(vesk::gsGraphOf(GsSlice(model)), now, inits1, inputs1);
    ASSERT_EQ(now.size(), was.size());
    EXPECT_EQ(inits1, inits0);
    EXPECT_EQ(inputs1, inputs0);
    size_t rewritten = 0;
    for (size_t i = 0; i < was.size(); ++i) {
      if (was[i].opType != "GridSample") {
        EXPECT_EQ(rawOf(now[i].raw), rawOf(was[i].raw)) << i;
        continue;
      }
      ++rewritten;
      EXPECT_EQ(now[i].opType, "GridSampleFast");
      EXPECT_EQ(now[i].inputs, was[i].inputs);
      EXPECT_EQ(now[i].outputs, was[i].outputs);
      const GsSlice node = vesk::hcPayload(now[i].raw);
      EXPECT_EQ(vesk::gsFirstStr(node, 3), "/warp/grid_sample");
      EXPECT_EQ(vesk::gsFirstStr(node, 7), "com.zentrova");
      for (const GsField& f : fieldsOf(node)) EXPECT_NE(f.number, 5u) << "an attribute survived";
    }
    EXPECT_EQ(rewritten, 1u);

    // A second pass finds nothing to take and leaves the bytes alone.
    const Bytes once = model;
    EXPECT_EQ(vesk::rewriteGridSampleToFast(model), 0u);
    EXPECT_EQ(model, once);
  }
}

TEST(GridSampleRewrite, LeavesModelsWithoutARewritableSamplerByteForByte) {
  const std::string dir = bundleDir("gsvariants");
  for (const char* key : {"b1_gszeros", "b1_gsnomode", "b1_gsalign", "b1_gsbaked"}) {
    const Bytes original = vesk::test::modelBytes(dir, key);
    Bytes model = original;
    EXPECT_EQ(vesk::rewriteGridSampleToFast(model), 0u) << key;
    EXPECT_EQ(model, original) << key;
  }
  // The generator's variants differ from the plain director in the sampler alone.
  Bytes plain = vesk::test::modelBytes(dir, "b1");
  EXPECT_EQ(vesk::rewriteGridSampleToFast(plain), 1u);
  EXPECT_EQ(opsetDomains(vesk::test::modelBytes(dir, "b1_gsbaked")), opsetDomains(plain));
}

TEST(GridSampleRewrite, AModelThatImportsTheDomainGetsNoSecondImport) {
  Bytes model = vesk::test::modelBytes(bundleDir("small"), "b1");
  Bytes opset;
  vesk::gsPutBytes(opset, 1, std::string("com.zentrova"));
  vesk::gsPutVarintField(opset, 2, 1);
  vesk::gsPutBytes(model, 8, opset.data(), opset.size());
  const size_t size = model.size();
  ASSERT_EQ(vesk::rewriteGridSampleToFast(model), 1u);
  EXPECT_EQ(opsetDomains(model), (std::vector<std::string>{"", "com.zentrova"}));
  // The node lost its three attributes and gained a domain: shorter, and no import added.
  EXPECT_LT(model.size(), size);
}

TEST(GridSampleRewrite, MalformedBytesThrowAndTheModelStaysAsItWas) {
  // The graph reads well but the field after it is cut short: the rewrite has counted its node and
  // is writing the new model when the reader gives up.
  Bytes model = vesk::test::modelBytes(bundleDir("small"), "b1");
  model.pop_back();
  const Bytes cut = model;
  EXPECT_EQ(errorOf([&] { vesk::rewriteGridSampleToFast(model); }), "onnx: truncated");
  EXPECT_EQ(model, cut);
  Bytes junk = {0x3a, 0x05, 0x0a};  // a graph whose length runs past the end
  EXPECT_EQ(errorOf([&] { vesk::rewriteGridSampleToFast(junk); }), "onnx: truncated");
  Bytes empty;
  EXPECT_EQ(vesk::rewriteGridSampleToFast(empty), 0u);
}
