// The director head's cubic x2 Resize as Pad + depthwise Conv + DepthToSpace, and the student
// blend's MatMul as Gemm: what they take, what they leave alone, and that the rewritten graphs
// compute what the originals did.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "generated_bundles.h"
#include "render_test_util.h"
#include "model_session.h"
#include "render/vesk_onnx.h"
#include "render/vesk_rewrite.h"

using vesk::GsNodeInfo;
using vesk::GsSlice;
using vesk::test::bundleDir;
using vesk::test::Feed;
using vesk::test::ModelSession;
using vesk::test::noise;

namespace {

using Bytes = std::vector<uint8_t>;

struct Graph {
  explicit Graph(const Bytes& model) { vesk::gsReadGraph(vesk::gsGraphOf(GsSlice(model)), nodes, inits, inputs); }
  const GsNodeInfo* named(const std::string& name) const {
    for (const GsNodeInfo& n : nodes)
      if (vesk::gsFirstStr(vesk::hcPayload(n.raw), 3) == name) return &n;
    return nullptr;
  }
  size_t count(const std::string& op) const {
    return static_cast<size_t>(
        std::count_if(nodes.begin(), nodes.end(), [&](const GsNodeInfo& n) { return n.opType == op; }));
  }
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
};

// The model with `value` added as a graph output, so a test can compare it directly.
Bytes exposing(const Bytes& model, const std::string& value) {
  vesk::GsGraphEdit edit;
  edit.newName = value;
  edit.newDims = {-1, -1, -1, -1};
  edit.newField = vesk::onnx_field::kGraphOutput;
  Bytes out;
  vesk::gsRebuild(model, edit, out);
  return out;
}

float maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
  EXPECT_EQ(a.size(), b.size());
  float m = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

// A small model: X [1, C, 6, 7] times a per-channel [C, 1, 1] gain, the cubic Resize (scales from a
// Constant), and a 1x1 Conv over the C channels. What `tweak` says changes one thing about it.
struct HeadSpec {
  int64_t channels = 3;
  int64_t gainChannels = 3;
  std::vector<float> scales = {1, 1, 2, 2};
  const char* domain = nullptr;
  bool twoResizes = false;
  bool secondReader = false;
  bool convConsumer = true;
  const char* mode = "cubic";
  float coeffA = -0.5f;
};

Bytes headModel(const HeadSpec& h) {
  std::vector<uint8_t> graph;
  auto resize = [&](const std::string& in, const std::string& out, const std::string& scales, const std::string& name) {
    std::vector<uint8_t> n;
    for (const std::string& x : {in, std::string(), scales}) vesk::gsPutBytes(n, 1, x);
    vesk::gsPutBytes(n, 2, out);
    vesk::gsPutBytes(n, 3, name);
    vesk::gsPutBytes(n, 4, std::string("Resize"));
    vesk::hcAttrS(n, "mode", h.mode);
    vesk::hcAttrS(n, "coordinate_transformation_mode", "half_pixel");
    std::vector<uint8_t> a;  // cubic_coeff_a, a FLOAT attribute
    vesk::gsPutBytes(a, 1, std::string("cubic_coeff_a"));
    a.push_back(0x15);  // field 2, fixed32
    uint32_t bits;
    std::memcpy(&bits, &h.coeffA, 4);
    for (int k = 0; k < 4; ++k) a.push_back(static_cast<uint8_t>(bits >> (8 * k)));
    vesk::gsPutVarintField(a, 20, 1);  // type FLOAT
    vesk::gsPutBytes(n, 5, a.data(), a.size());
    if (h.domain != nullptr) vesk::gsPutBytes(n, 7, std::string(h.domain));
    vesk::gsPutBytes(graph, 1, n.data(), n.size());
  };
  auto constant = [&](const std::string& out, const std::vector<float>& v) {
    std::vector<uint8_t> t;
    vesk::gsPutVarintField(t, 1, v.size());
    vesk::gsPutVarintField(t, 2, 1);
    vesk::gsPutBytes(t, 9, v.data(), v.size() * 4);
    std::vector<uint8_t> a;
    vesk::gsPutBytes(a, 1, std::string("value"));
    vesk::gsPutBytes(a, 5, t.data(), t.size());
    vesk::gsPutVarintField(a, 20, 4);  // type TENSOR
    std::vector<uint8_t> n;
    vesk::gsPutBytes(n, 2, out);
    vesk::gsPutBytes(n, 3, "/const/" + out);
    vesk::gsPutBytes(n, 4, std::string("Constant"));
    vesk::gsPutBytes(n, 5, a.data(), a.size());
    vesk::gsPutBytes(graph, 1, n.data(), n.size());
  };
  const int64_t c = h.channels;
  constant("scales", h.scales);
  vesk::hcNode(graph, "Mul", {"X", "gain"}, "g", "/gain", {});
  resize("g", "up", "scales", "/head/Resize");
  if (h.twoResizes) {
    constant("scales2", h.scales);
    resize("g", "up2", "scales2", "/head/Resize2");
    vesk::hcNode(graph, "Add", {"up", "up2"}, "upsum", "/sum", {});
  }
  const std::string convIn = h.twoResizes ? "upsum" : "up";
  if (h.convConsumer) {
    vesk::hcNode(graph, "Conv", {convIn, "mix"}, "Y", "/conv", {});
  } else {
    vesk::hcNode(graph, "Relu", {convIn}, "Y", "/relu", {});
  }
  if (h.secondReader) vesk::hcNode(graph, "Relu", {"up"}, "Z", "/relu2", {});
  const std::vector<float> gain = noise(static_cast<size_t>(h.gainChannels), 7, 0.5f, 1.5f);
  vesk::hcInit(graph, "gain", {h.gainChannels, 1, 1}, vesk::onnx_field::kFloat, gain.data(), gain.size() * 4);
  const std::vector<float> mix = noise(static_cast<size_t>(c * c), 8, -1.0f, 1.0f);
  vesk::hcInit(graph, "mix", {c, c, 1, 1}, vesk::onnx_field::kFloat, mix.data(), mix.size() * 4);
  const int64_t in[4] = {1, c, 6, 7};
  vesk::gsPutTensorValueInfo(graph, 11, "X", in, 4);
  const int64_t out[4] = {1, c, 12, 14};
  vesk::gsPutTensorValueInfo(graph, 12, "Y", out, 4);
  vesk::gsPutBytes(graph, 2, std::string("head"));
  Bytes model;
  vesk::gsPutVarintField(model, 1, 8);  // ir_version
  std::vector<uint8_t> opset;
  vesk::gsPutBytes(opset, 1, std::string());
  vesk::gsPutVarintField(opset, 2, 17);
  vesk::gsPutBytes(model, 8, opset.data(), opset.size());
  vesk::gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

}  // namespace

TEST(HeadCubicRewrite, TapsAreKeysCubicWeightsNormalised) {
  for (double a : {-0.5, -0.75}) {
    const auto w = vesk::hcTaps(0.75, a);
    // Keys' kernel, written out at the four distances 1.75, 0.75, 0.25 and 1.25.
    auto far = [a](double s) { return a * s * s * s - 5 * a * s * s + 8 * a * s - 4 * a; };
    auto near = [a](double s) { return (a + 2) * s * s * s - (a + 3) * s * s + 1; };
    const double raw[4] = {far(1.75), near(0.75), near(0.25), far(1.25)};
    const double sum = raw[0] + raw[1] + raw[2] + raw[3];
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(w[static_cast<size_t>(k)], raw[k] / sum, 1e-15) << a << " " << k;
    const auto odd = vesk::hcTaps(0.25, a);  // the mirror image
    for (size_t k = 0; k < 4; ++k) EXPECT_NEAR(odd[k], w[3 - k], 1e-15);
  }
  const auto exact = vesk::hcTaps(0.0, -0.75);
  EXPECT_EQ(exact[0], 0.0);
  EXPECT_EQ(exact[1], 1.0);
  EXPECT_EQ(exact[2], 0.0);
}

TEST(HeadCubicRewrite, TheDirectorsHeadBecomesPadDepthwiseConvAndDepthToSpace) {
  const Bytes original = vesk::test::modelBytes(bundleDir("small"), "b1");
  const Graph was(original);
  const GsNodeInfo* cubic = was.named("/head/Resize");
  ASSERT_NE(cubic, nullptr);
  const size_t at = static_cast<size_t>(cubic - was.nodes.data());
  const std::string rz = "rz" + std::to_string(at);

  Bytes model = original;
  ASSERT_EQ(vesk::rewriteHeadCubicResize(model), 1u);
  const Graph now(model);
  EXPECT_EQ(now.count("Resize"), was.count("Resize") - 1);
  const GsNodeInfo* pad = now.named("/head/Resize/pad");
  const GsNodeInfo* conv = now.named("/head/Resize/dwconv");
  const GsNodeInfo* d2s = now.named("/head/Resize/d2s");
  ASSERT_TRUE(pad && conv && d2s);
  EXPECT_EQ(pad->inputs, (std::vector<std::string>{was.nodes[at].inputs[0], rz + "_pads"}));
  EXPECT_EQ(pad->outputs, std::vector<std::string>{rz + "_padout"});
  EXPECT_EQ(conv->inputs, (std::vector<std::string>{rz + "_padout", rz + "_dw_w"}));
  EXPECT_EQ(conv->outputs, std::vector<std::string>{rz + "_convout"});
  EXPECT_EQ(d2s->outputs, was.nodes[at].outputs);
  EXPECT_EQ(vesk::gsAttrInt(*vesk::gsAttribute(vesk::hcPayload(conv->raw), "group")), 1);
  EXPECT_TRUE(now.inits.count(rz + "_pads") && now.inits.count(rz + "_dw_w"));
  // In graph order, the three stand where the Resize stood.
  EXPECT_EQ(pad + 1, conv);
  EXPECT_EQ(conv + 1, d2s);
  // Nothing reads the scales Constant any more, and it is gone with the Resize.
  EXPECT_EQ(now.count("Constant"), was.count("Constant") - 1);
  EXPECT_EQ(now.nodes.size(), was.nodes.size() + 1);
  // One candidate is taken once.
  const Bytes once = model;
  EXPECT_EQ(vesk::rewriteHeadCubicResize(model), 0u);
  EXPECT_EQ(model, once);
}

// The alpha the head produces and the crop it composes, over many keypoint sets: fp32 round-off.
TEST(HeadCubicRewrite, TheRewrittenDirectorComputesTheSameAlphaAndCrop) {
  const Bytes original = exposing(vesk::test::modelBytes(bundleDir("small"), "b1"), "compose_alpha");
  Bytes model = original;
  ASSERT_EQ(vesk::rewriteHeadCubicResize(model), 1u);
  ModelSession before(original), after(model);
  constexpr float kBound = 2e-6f;
  float worstAlpha = 0, worstRgb = 0;
  for (unsigned set = 0; set < 24; ++set) {
    Feed feed = vesk::test::directorFeed(128, 100 + 7 * set);
    worstAlpha = std::max(worstAlpha, maxAbsDiff(after(feed, "compose_alpha"), before(feed, "compose_alpha")));
    worstRgb = std::max(worstRgb, maxAbsDiff(after(feed, "rgb"), before(feed, "rgb")));
  }
  EXPECT_LE(worstAlpha, kBound);
  EXPECT_LE(worstRgb, kBound);
  std::printf("head rewrite over 24 keypoint sets: max |diff| alpha %.3g, crop %.3g (bound %.1g)\n",
              static_cast<double>(worstAlpha), static_cast<double>(worstRgb), static_cast<double>(kBound));
}

// Several channels: filter 4c + 2dy + dx must land on channel c's output phase (dy, dx).
TEST(HeadCubicRewrite, EveryChannelAndPhaseMatchesTheCubicResize) {
  for (float a : {-0.5f, -0.75f}) {
    HeadSpec spec;
    spec.coeffA = a;
    const Bytes original = exposing(headModel(spec), "up");
    Bytes model = original;
    ASSERT_EQ(vesk::rewriteHeadCubicResize(model), 1u) << a;
    ModelSession before(original), after(model);
    Feed feed;
    feed["X"] = {{1, 3, 6, 7}, noise(3 * 6 * 7, 11, -2.0f, 2.0f)};
    EXPECT_LE(maxAbsDiff(after(feed, "up"), before(feed, "up")), 2e-6f) << a;
    EXPECT_LE(maxAbsDiff(after(feed, "Y"), before(feed, "Y")), 1e-5f) << a;
  }
}

TEST(HeadCubicRewrite, LeavesEveryOtherConstructAlone) {
  struct Case {
    const char* what;
    HeadSpec spec;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, auto change) {
    HeadSpec s;
    change(s);
    cases.push_back({what, s});
  };
  add("two candidates", [](HeadSpec& s) { s.twoResizes = true; });
  add("scales 2.0001", [](HeadSpec& s) { s.scales = {1, 1, 2, 2.0001f}; });
  add("scales x3", [](HeadSpec& s) { s.scales = {1, 1, 3, 3}; });
  add("linear mode", [](HeadSpec& s) { s.mode = "linear"; });
  add("domain ai.onnx stated", [](HeadSpec& s) { s.domain = "ai.onnx"; });
  add("read by a second node", [](HeadSpec& s) { s.secondReader = true; });
  add("read by no Conv", [](HeadSpec& s) { s.convConsumer = false; });
  add("a per-channel gain of another width", [](HeadSpec& s) { s.gainChannels = 2; });
  for (const Case& c : cases) {
    const Bytes original = headModel(c.spec);
    Bytes model = original;
    EXPECT_EQ(vesk::rewriteHeadCubicResize(model), 0u) << c.what;
    EXPECT_EQ(model, original) << c.what;
  }
  // The plain model is taken, so each refusal above is its one change's doing.
  Bytes plain = headModel(HeadSpec{});
  EXPECT_EQ(vesk::rewriteHeadCubicResize(plain), 1u);
}

TEST(StudentBlend, TheTwoDimensionalBlendBecomesAGemmOfTheSameProduct) {
  const std::string dir = bundleDir("small");
  const Bytes original = vesk::test::modelBytes(dir, "b1_s2blend");
  Bytes model = original;
  ASSERT_EQ(vesk::normaliseStudentBlend(model), 1u);
  const Graph now(model);
  const GsNodeInfo* blend = now.named("/s2/blend");
  ASSERT_NE(blend, nullptr);
  EXPECT_EQ(blend->opType, "Gemm");
  EXPECT_EQ(now.nodes.size(), Graph(original).nodes.size());
  ModelSession before(original), after(model);
  float worst = 0;
  for (unsigned set = 0; set < 8; ++set) {
    Feed feed = vesk::test::directorFeed(128, 500 + 5 * set);
    worst = std::max(worst, maxAbsDiff(after(feed, "rgb"), before(feed, "rgb")));
  }
  EXPECT_LE(worst, 1e-5f);
  // The plain director's blend is 3-D and named otherwise; a second pass finds nothing.
  Bytes plain = vesk::test::modelBytes(dir, "b1");
  EXPECT_EQ(vesk::normaliseStudentBlend(plain), 0u);
  EXPECT_EQ(vesk::normaliseStudentBlend(model), 0u);
}

TEST(StudentBlend, OnlyAStandardTwoInputMatMulWithoutAttributesMatches) {
  auto node = [](const char* op, const char* name, const char* domain, int inputs, bool attr) {
    Bytes n;
    for (int i = 0; i < inputs; ++i) vesk::gsPutBytes(n, 1, "in" + std::to_string(i));
    vesk::gsPutBytes(n, 2, std::string("out"));
    vesk::gsPutBytes(n, 3, std::string(name));
    vesk::gsPutBytes(n, 4, std::string(op));
    if (attr) vesk::hcAttrI(n, "transA", 0);
    if (domain != nullptr) vesk::gsPutBytes(n, 7, std::string(domain));
    return n;
  };
  EXPECT_TRUE(vesk::gsIsStudentBlendMatMul(node("MatMul", "/s2/blend", nullptr, 2, false)));
  EXPECT_TRUE(vesk::gsIsStudentBlendMatMul(node("MatMul", "/s2/blend", "ai.onnx", 2, false)));
  EXPECT_FALSE(vesk::gsIsStudentBlendMatMul(node("MatMul", "/s2/blend", "com.microsoft", 2, false)));
  EXPECT_FALSE(vesk::gsIsStudentBlendMatMul(node("MatMul", "/grid/blend", nullptr, 2, false)));
  EXPECT_FALSE(vesk::gsIsStudentBlendMatMul(node("MatMul", "/s2/blend", nullptr, 3, false)));
  EXPECT_FALSE(vesk::gsIsStudentBlendMatMul(node("MatMul", "/s2/blend", nullptr, 2, true)));
  EXPECT_FALSE(vesk::gsIsStudentBlendMatMul(node("Gemm", "/s2/blend", nullptr, 2, false)));
}
