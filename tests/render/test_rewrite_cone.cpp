// Cutting the director at its source cone: the boundary, the prep and per-frame graphs, what they
// compute together, and the graphs that cannot be cut, each with its reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

namespace {

using Bytes = std::vector<uint8_t>;

struct Graph {
  explicit Graph(const Bytes& model) { vesk::gsReadGraph(vesk::gsGraphOf(GsSlice(model)), nodes, inits, inputs); }
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
};

// The model with one more node appended to its graph.
Bytes withNode(const Bytes& model, const std::string& op, const std::vector<std::string>& inputs) {
  vesk::GsGraphEdit edit;
  vesk::hcNode(edit.appendGraph, op, inputs, "extra_out", "/extra", {});
  Bytes out;
  vesk::gsRebuild(model, edit, out);
  return out;
}

// The first output of the director's node with that name.
std::string outputOf(const Bytes& model, const std::string& node) {
  for (const GsNodeInfo& n : Graph(model).nodes)
    if (vesk::gsFirstStr(vesk::hcPayload(n.raw), 3) == node) return n.outputs.at(0);
  throw std::runtime_error("no node " + node);
}

}  // namespace

TEST(SourceCone, TheBoundaryIsTheOneConcatReadingPrgb) {
  const std::string dir = bundleDir("small");
  std::string name = "stale";
  EXPECT_EQ(vesk::findSourceConeBoundary(vesk::test::modelBytes(dir, "b1"), name), 1u);
  EXPECT_EQ(name, "source_cone");
  // FeatSynth directors have no P_rgb at all.
  EXPECT_EQ(vesk::findSourceConeBoundary(vesk::test::modelBytes(dir, "b1_featsynth"), name), 0u);
  EXPECT_EQ(name, "");
  // A second Concat reading P_rgb leaves the choice open: none is named.
  const Bytes two = withNode(vesk::test::modelBytes(dir, "b1"), "Concat", {"P_rgb", "P_rgb"});
  EXPECT_EQ(vesk::findSourceConeBoundary(two, name), 2u);
  EXPECT_EQ(name, "");
}

// The prep graph computes the boundary from P_rgb, the per-frame graph the crop from the boundary:
// together what the whole director computes, for every input.
TEST(SourceCone, PrepAndPerFrameGraphsTogetherComputeTheDirector) {
  for (const char* key : {"b1", "b1_s2blend"}) {
    SCOPED_TRACE(key);
    const Bytes model = vesk::test::modelBytes(bundleDir("small"), key);
    Bytes prep, perFrame;
    std::string reason;
    ASSERT_TRUE(vesk::buildSourceConePrep(model, "source_cone", prep, reason)) << reason;
    ModelSession prepRun(prep);
    EXPECT_EQ(prepRun.inputs, std::vector<std::string>{"P_rgb"});
    EXPECT_EQ(prepRun.outputs, std::vector<std::string>{"source_cone"});
    // Declared symbolic, inferred static when the session is made.
    EXPECT_EQ(prepRun.session.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape(),
              (std::vector<int64_t>{1, 12, 128, 128}));
    const int64_t dims[4] = {1, 12, 128, 128};
    ASSERT_TRUE(vesk::buildSourceConePerFrame(model, "source_cone", dims, 4, perFrame, reason)) << reason;
    ModelSession whole(model), frameRun(perFrame);
    EXPECT_EQ(frameRun.inputs, (std::vector<std::string>{"pooled64", "kp_driving", "kp_source", "source_cone"}));
    // Each half carries only the initializers it reads.
    const Graph p(prep), f(perFrame);
    EXPECT_EQ(p.inits, (std::unordered_set<std::string>{"cone_pads", "cone_diff_w"}));
    EXPECT_EQ(f.inits.count("cone_diff_w"), 0u);
    // The prep graph keeps every Constant node, the ones the cone does not read included.
    const Graph w(model);
    const auto constants =
        std::count_if(w.nodes.begin(), w.nodes.end(), [](const GsNodeInfo& n) { return n.opType == "Constant"; });
    EXPECT_EQ(p.nodes.size() + f.nodes.size(), w.nodes.size() + static_cast<size_t>(constants));

    float worst = 0;
    for (unsigned set = 0; set < 6; ++set) {
      Feed feed = vesk::test::directorFeed(128, 40 + 9 * set);
      std::vector<int64_t> shape;
      std::vector<float> boundary = prepRun(feed, "source_cone", &shape);
      EXPECT_EQ(shape, (std::vector<int64_t>{1, 12, 128, 128}));
      feed["source_cone"] = {shape, boundary};
      const std::vector<float> want = whole(feed, "rgb"), got = frameRun(feed, "rgb");
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
    }
    EXPECT_EQ(worst, 0.0f);  // the same kernels on the same values
  }
}

TEST(SourceCone, GraphsThatCannotBeCutSayWhy) {
  const Bytes model = vesk::test::modelBytes(bundleDir("small"), "b1");
  const int64_t dims[4] = {1, 12, 128, 128};
  auto reasonOf = [&](const Bytes& m, const std::string& boundary) {
    Bytes prep = {1, 2, 3}, perFrame = {4, 5};
    std::string a, b;
    EXPECT_FALSE(vesk::buildSourceConePrep(m, boundary, prep, a));
    EXPECT_FALSE(vesk::buildSourceConePerFrame(m, boundary, dims, 4, perFrame, b));
    EXPECT_EQ(a, b);
    // Nothing is written on a refusal.
    EXPECT_EQ(prep, (Bytes{1, 2, 3}));
    EXPECT_EQ(perFrame, (Bytes{4, 5}));
    return a;
  };
  EXPECT_EQ(reasonOf({}, "source_cone"), "no graph");
  EXPECT_EQ(reasonOf(vesk::test::modelBytes(bundleDir("small"), "b1_featsynth"), "source_cone"), "no P_rgb input");
  EXPECT_EQ(reasonOf(model, "nowhere"), "cone leaf 'nowhere' has no producer");
  // Cut at the appearance features' mean, the "cone" would reach back to another graph input.
  EXPECT_EQ(reasonOf(model, outputOf(model, "/alpha/pooled_mean")), "cone reads graph input 'pooled64'");
  EXPECT_EQ(reasonOf(withNode(model, "Identity", {"P_rgb"}), "source_cone"),
            "P_rgb is also read outside the cone by Identity");
  const std::string diffs = outputOf(model, "/cone/diffs");
  EXPECT_EQ(reasonOf(withNode(model, "Relu", {diffs}), "source_cone"), "cone value '" + diffs + "' escapes to Relu");
}
