// The lip-contour bind: where it finds the compose tail, what it adds, what the bound graph
// computes, and the graphs it refuses with their reasons.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_ort.h"
#include "core/vesk_simd.h"
#include "generated_bundles.h"
#include "render_test_util.h"
#include "render/vesk_onnx.h"
#include "render/vesk_rewrite.h"

using vesk::GsNodeInfo;
using vesk::GsSlice;
using vesk::test::bundleDir;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readModel(const std::string& bundle, const std::string& key) {
  return vesk::test::modelBytes(bundleDir(bundle), key);
}

std::string nameOf(const GsNodeInfo& n) { return vesk::gsFirstStr(vesk::hcPayload(n.raw), 3); }

struct Graph {
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  explicit Graph(const Bytes& model) { vesk::gsReadGraph(vesk::gsGraphOf(GsSlice(model)), nodes, inits, inputs); }
  const GsNodeInfo* named(const std::string& name) const {
    for (const GsNodeInfo& n : nodes)
      if (nameOf(n) == name) return &n;
    return nullptr;
  }
  size_t indexOf(const std::string& name) const {
    for (size_t i = 0; i < nodes.size(); ++i)
      if (nameOf(nodes[i]) == name) return i;
    return nodes.size();
  }
  size_t readers(const std::string& value) const {
    return static_cast<size_t>(std::count_if(nodes.begin(), nodes.end(), [&](const GsNodeInfo& n) {
      return std::find(n.inputs.begin(), n.inputs.end(), value) != n.inputs.end();
    }));
  }
};

// The model with its graph's node fields reordered: the node named `first` moved to the front.
Bytes withNodeFirst(const Bytes& model, const std::string& first) {
  const GsSlice graph = vesk::gsGraphOf(GsSlice(model));
  Bytes g, moved;
  vesk::GsReader r(graph);
  vesk::GsField f;
  while (r.next(f)) {
    if (f.number == 1 && f.wire == 2 && vesk::gsFirstStr(f.payload, 3) == first)
      vesk::gsPutRaw(moved, f.raw);
    else
      vesk::gsPutRaw(g, f.raw);
  }
  moved.insert(moved.end(), g.begin(), g.end());
  Bytes out;
  vesk::GsReader m{GsSlice(model)};
  while (m.next(f)) {
    if (f.number == 7 && f.wire == 2)
      vesk::gsPutBytes(out, 7, moved.data(), moved.size());
    else
      vesk::gsPutRaw(out, f.raw);
  }
  return out;
}

// A bare compose tail rgb = a x gen + (1 - a) x base behind an Identity, with a its own graph input
// or the output of a Clip, and base a square initializer of side `side`.
Bytes tailModel(bool alphaFromClip, int64_t side) {
  Bytes g;
  const float one = 1.0f, lo = 0.0f, hi = 1.0f;
  vesk::hcInit(g, "one", {1}, vesk::onnx_field::kFloat, &one, sizeof one);
  vesk::hcInit(g, "lo", {}, vesk::onnx_field::kFloat, &lo, sizeof lo);
  vesk::hcInit(g, "hi", {}, vesk::onnx_field::kFloat, &hi, sizeof hi);
  const std::vector<float> base(static_cast<size_t>(3 * side * side), 0.25f);
  vesk::hcInit(g, "base", {1, 3, side, side}, vesk::onnx_field::kFloat, base.data(), base.size() * sizeof(float));
  const std::string a = alphaFromClip ? "a" : "a_in";
  if (alphaFromClip) vesk::hcNode(g, "Clip", {"a_in", "lo", "hi"}, "a", "/clip", {});
  vesk::hcNode(g, "Sub", {"one", a}, "inv", "/inv", {});
  vesk::hcNode(g, "Mul", {a, "gen"}, "m1", "/m1", {});
  vesk::hcNode(g, "Mul", {"inv", "base"}, "m2", "/m2", {});
  vesk::hcNode(g, "Add", {"m1", "m2"}, "sum", "/add", {});
  vesk::hcNode(g, "Identity", {"sum"}, "rgb", "/out", {});
  vesk::gsPutBytes(g, 2, std::string("tail"));
  const int64_t ad[4] = {1, 1, side, side}, gd[4] = {1, 3, side, side};
  vesk::gsPutTensorValueInfo(g, vesk::onnx_field::kGraphInput, "a_in", ad, 4);
  vesk::gsPutTensorValueInfo(g, vesk::onnx_field::kGraphInput, "gen", gd, 4);
  vesk::gsPutTensorValueInfo(g, vesk::onnx_field::kGraphOutput, "rgb", gd, 4);
  Bytes model;
  vesk::gsPutVarintField(model, 1, 8);
  Bytes opset;
  vesk::gsPutVarintField(opset, 2, 17);
  vesk::gsPutBytes(model, 8, opset.data(), opset.size());
  vesk::gsPutBytes(model, 7, g.data(), g.size());
  return model;
}

// The director on one source frame with its own keypoints, lip_delivery (when bound) filled with
// `lip`; the outputs named, in order.
std::vector<std::vector<float>> runDirector(const Bytes& model, const std::vector<std::string>& outputs, bool bound,
                                            float lip) {
  static const vesk::Manifest man = vesk::loadManifest(bundleDir("small"));
  static const vesk::Identity id(man);
  static const vesk::Drive drive = vesk::loadDrive(man);
  const int64_t crop = man.crop;
  const int si = drive.si[2];
  std::vector<float> pooled(65536), P(static_cast<size_t>(3 * crop * crop)),
      lipCanvas(static_cast<size_t>(crop * crop), lip);
  vesk::halfToFloat(id.pooled64(si), pooled.data(), pooled.size());
  vesk::halfToFloat(id.P(si), P.data(), P.size());
  std::vector<float> kd(drive.xs.begin() + 2 * 63, drive.xs.begin() + 3 * 63), ks = kd;
  kd[12 * 3 + 1] += 0.04f;  // an open mouth: the alpha is not all zero
  kd[14 * 3 + 1] += 0.04f;

  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  Ort::Session s(vesk::ort::env(), model.data(), model.size(), so);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t pd[4] = {1, 64, 32, 32}, rd[4] = {1, 3, crop, crop}, kdims[3] = {1, 21, 3}, ld[4] = {1, 1, crop, crop};
  std::vector<Ort::Value> in;
  in.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pd, 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, P.data(), P.size(), rd, 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), kdims, 3));
  in.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), kdims, 3));
  std::vector<const char*> names = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  if (bound) {
    in.push_back(Ort::Value::CreateTensor<float>(mem, lipCanvas.data(), lipCanvas.size(), ld, 4));
    names.push_back("lip_delivery");
  }
  std::vector<const char*> outNames;
  for (const std::string& o : outputs) outNames.push_back(o.c_str());
  std::vector<Ort::Value> out =
      s.Run(Ort::RunOptions{nullptr}, names.data(), in.data(), in.size(), outNames.data(), outNames.size());
  std::vector<std::vector<float>> res;
  for (Ort::Value& v : out) {
    const float* p = v.GetTensorData<float>();
    res.emplace_back(p, p + v.GetTensorTypeAndShapeInfo().GetElementCount());
  }
  return res;
}

}  // namespace

TEST(LipContourBind, TheDirectorsTailReadsMinOfItsAlphaAndTheNewInput) {
  const Bytes before = readModel("small", "b1_probe");
  Bytes model = before;
  std::string reason;
  int canvas = -1;
  ASSERT_TRUE(vesk::rewriteBindLipContour(model, reason, &canvas)) << reason;
  EXPECT_EQ(canvas, 128);  // the crop: read off P_rgb, as no square initializer feeds the tail
  const Graph g(model), old(before);
  ASSERT_EQ(g.nodes.size(), old.nodes.size() + 1);
  EXPECT_EQ(g.inputs.count("lip_delivery"), 1u);
  int64_t dims[4];
  size_t rank = 0;
  ASSERT_TRUE(vesk::ldInputDims(vesk::gsGraphOf(GsSlice(model)), "lip_delivery", dims, 4, rank));
  ASSERT_EQ(rank, 4u);
  EXPECT_EQ(std::vector<int64_t>(dims, dims + 4), (std::vector<int64_t>{1, 1, 128, 128}));
  const GsNodeInfo* min = g.named("tessera_lipdel_min");
  ASSERT_NE(min, nullptr);
  EXPECT_EQ(min->opType, "Min");
  EXPECT_EQ(min->inputs, (std::vector<std::string>{"compose_alpha", "lip_delivery"}));
  EXPECT_EQ(min->outputs, (std::vector<std::string>{"tessera_lipdel_alpha"}));
  EXPECT_EQ(g.indexOf("tessera_lipdel_min"), g.indexOf("/compose/alpha_clip") + 1);
  EXPECT_EQ(g.named("/compose/one_minus_a")->inputs[1], "tessera_lipdel_alpha");
  EXPECT_EQ(g.named("/compose/mul_gen")->inputs[0], "tessera_lipdel_alpha");
  EXPECT_EQ(g.readers("compose_alpha"), 1u);  // the Min alone
  EXPECT_EQ(g.readers("tessera_lipdel_alpha"), 2u);

  // A lip canvas of ones leaves the picture as it was; one of zeros composites nothing, so the
  // picture is the warped source.
  const std::vector<float> plain = runDirector(before, {"rgb"}, false, 0)[0];
  const std::vector<std::vector<float>> ones = runDirector(model, {"rgb", "warped_source"}, true, 1.0f);
  const std::vector<std::vector<float>> zeros = runDirector(model, {"rgb", "warped_source"}, true, 0.0f);
  EXPECT_EQ(ones[0], plain);
  EXPECT_EQ(zeros[0], zeros[1]);
  EXPECT_NE(zeros[0], plain) << "the alpha was zero everywhere: the comparison proves little";

  // Bound twice: refused, and the bound graph stays as it is.
  const Bytes bound = model;
  canvas = -1;
  EXPECT_FALSE(vesk::rewriteBindLipContour(model, reason, &canvas));
  EXPECT_EQ(reason, "the graph already carries an input named lip_delivery");
  EXPECT_EQ(model, bound);
}

TEST(LipContourBind, FindsTheTailBehindIdentityAndReadsASquareInitializer) {
  Bytes model = tailModel(true, 12);
  std::string reason;
  int canvas = 0;
  ASSERT_TRUE(vesk::rewriteBindLipContour(model, reason, &canvas)) << reason;
  EXPECT_EQ(canvas, 12);
  int64_t dims[4];
  size_t rank = 0;
  ASSERT_TRUE(vesk::ldInputDims(vesk::gsGraphOf(GsSlice(model)), "lip_delivery", dims, 4, rank));
  EXPECT_EQ(dims[2], 12);
  EXPECT_EQ(dims[3], 12);
  // Without a P_rgb input the batch is left symbolic.
  EXPECT_EQ(dims[0], -1);
  Ort::SessionOptions so;
  EXPECT_NO_THROW(Ort::Session(vesk::ort::env(), model.data(), model.size(), so));
}

TEST(LipContourBind, RefusalsLeaveTheBytesAlone) {
  Bytes noGraph;
  vesk::gsPutVarintField(noGraph, 1, 8);
  const Bytes reordered = withNodeFirst(readModel("small", "b1"), "/compose/one_minus_a");
  const std::string minAt = std::to_string(Graph(reordered).indexOf("/compose/alpha_clip") + 1);
  const struct {
    const char* what;
    Bytes model;
    std::string reason;
  } cases[] = {
      {"no graph", noGraph, "no graph"},
      {"FeatSynth: a tail, no canvas", readModel("small", "b1_featsynth"),
       "cannot read the compose canvas off the graph"},
      {"alpha without producer", tailModel(false, 12), "the compose alpha 'a_in' has no producer node"},
      {"out of order", reordered,
       "self-check: node /compose/one_minus_a reads 'tessera_lipdel_alpha' produced at " + minAt +
           " \xE2\x80\x94 the rewritten graph is not topologically ordered"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes model = c.model;
    std::string reason;
    EXPECT_FALSE(vesk::rewriteBindLipContour(model, reason, nullptr));
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(model, c.model);
  }

  // A graph without the compose tail at all: the sampler of the warp block alone.
  Bytes lone;
  {
    Bytes g;
    vesk::hcNode(g, "Relu", {"x"}, "y", "/relu", {});
    vesk::gsPutBytes(g, 2, std::string("lone"));
    const int64_t d[4] = {1, 3, 8, 8};
    vesk::gsPutTensorValueInfo(g, vesk::onnx_field::kGraphInput, "x", d, 4);
    vesk::gsPutTensorValueInfo(g, vesk::onnx_field::kGraphOutput, "y", d, 4);
    vesk::gsPutBytes(lone, 7, g.data(), g.size());
  }
  Bytes model = lone;
  std::string reason;
  EXPECT_FALSE(vesk::rewriteBindLipContour(model, reason, nullptr));
  EXPECT_EQ(reason, "the graph does not carry the unified compose tail");
  EXPECT_EQ(model, lone);
}
