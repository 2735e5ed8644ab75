// The warp-block rewrite: which blocks it takes and which it refuses (with what words), what it leaves
// of the graph, and that the one WarpDirector node renders what the block rendered.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "core/vesk_ort.h"
#include "generated_bundles.h"
#include "render_test_util.h"
#include "render/vesk_gridsample_fast.h"
#include "render/vesk_onnx.h"
#include "render/vesk_renderer.h"
#include "render/vesk_rewrite.h"
#include "warp_block_model.h"

using vesk::GsNodeInfo;
using vesk::GsSlice;
using vesk::test::bundleDir;
using vesk::test::ScopedEnv;

using vesk::test::Opened;
using vesk::test::veskLines;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readModel(const std::string& bundle, const std::string& key) {
  return vesk::test::modelBytes(bundleDir(bundle), key);
}

struct Graph {
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  explicit Graph(const Bytes& model) { vesk::gsReadGraph(vesk::gsGraphOf(GsSlice(model)), nodes, inits, inputs); }
  size_t count(const std::string& op) const {
    return static_cast<size_t>(
        std::count_if(nodes.begin(), nodes.end(), [&](const GsNodeInfo& n) { return n.opType == op; }));
  }
  const GsNodeInfo* named(const std::string& name) const {
    for (const GsNodeInfo& n : nodes)
      if (vesk::gsFirstStr(vesk::hcPayload(n.raw), 3) == name) return &n;
    return nullptr;
  }
};

size_t zentrovaImports(const Bytes& model) {
  size_t n = 0;
  vesk::GsReader r{GsSlice(model)};
  vesk::GsField f;
  while (r.next(f))
    if (f.number == 8 && f.wire == 2 && vesk::gsFirstStr(f.payload, 1) == "com.zentrova") ++n;
  return n;
}

struct Refusal {
  std::string what;
  Bytes model;
  std::string reason;
};

// One thread, the custom domain registered: the block as a session of its own.
std::vector<float> runBlock(const Bytes& model, const std::vector<float>& P, const std::vector<float>& grid, int64_t H,
                            int64_t W) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  so.SetInterOpNumThreads(1);
  vesk::registerGridSampleFast(so);
  Ort::Session s(vesk::ort::env(), model.data(), model.size(), so);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t ps[4] = {1, 3, H, W}, gs[4] = {1, H, W, 2};
  Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem, const_cast<float*>(P.data()), P.size(), ps, 4),
                      Ort::Value::CreateTensor<float>(mem, const_cast<float*>(grid.data()), grid.size(), gs, 4)};
  std::vector<float> out(P.size());
  Ort::Value y = Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), ps, 4);
  const char* inNames[] = {"P_rgb", "grid_in"};
  const char* outNames[] = {"warped"};
  s.Run(Ort::RunOptions{nullptr}, inNames, in, 2, outNames, &y, 1);
  return out;
}

float maxAbsDiff(const float* a, const float* b, size_t n) {
  float m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

}  // namespace

// --- What the rewrite finds and refuses.

TEST(WarpBlock, FindsTheDirectorsBlockAndNamesItsTensors) {
  const struct {
    const char* bundle;
    const char* key;
  } cases[] = {{"small", "b1"}, {"small", "b24_fp32"}, {"gsvariants", "b1_gsbaked"}, {"rwvariants", "b1_coneesc"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    vesk::WarpBlock block;
    std::string reason;
    ASSERT_TRUE(vesk::findWarpBlock(readModel(c.bundle, c.key), &block, reason)) << reason;
    EXPECT_EQ(block.boundary, "source_cone");
    EXPECT_EQ(block.sampled, "warp_grid_sample_out");
    EXPECT_EQ(block.grid, "grid");
    EXPECT_EQ(block.exit, "warped_source");
  }
  vesk::WarpBlock block;
  std::string reason;
  ASSERT_TRUE(vesk::findWarpBlock(vesk::test::warpBlockModel(8, 8), &block, reason)) << reason;
  EXPECT_EQ(block.exit, "warped");
}

TEST(WarpBlock, RefusalsNameWhatIsMissingAndLeaveTheBytesAlone) {
  using vesk::test::warpBlockModel;
  using vesk::test::WarpBlockOptions;
  Bytes noGraph;
  vesk::gsPutVarintField(noGraph, 1, 8);
  auto opts = [](auto set) {
    WarpBlockOptions o;
    set(o);
    return o;
  };
  const std::vector<Refusal> cases = {
      {"no graph", noGraph, "no graph"},
      {"FeatSynth", readModel("small", "b1_featsynth"), "not one Concat consuming P_rgb"},
      {"two Concats", readModel("rwvariants", "b1_cone2cat"), "not one Concat consuming P_rgb"},
      {"sampler off the cone", warpBlockModel(8, 8, opts([](WarpBlockOptions& o) { o.samplerReadsPrgb = true; })),
       "no GridSample consuming 'source_cone'"},
      {"two samplers", warpBlockModel(8, 8, opts([](WarpBlockOptions& o) { o.twoSamplers = true; })),
       "two GridSamples on the cone's tip"},
      {"zeros padding", readModel("gsvariants", "b1_gszeros"),
       "the fused GridSample is not bilinear/border/align_corners=0"},
      {"no mode", readModel("gsvariants", "b1_gsnomode"),
       "the fused GridSample is not bilinear/border/align_corners=0"},
      {"aligned corners", readModel("gsvariants", "b1_gsalign"),
       "the fused GridSample is not bilinear/border/align_corners=0"},
      {"no output", warpBlockModel(8, 8, opts([](WarpBlockOptions& o) { o.samplerNoOutput = true; })),
       "the fused GridSample has no output"},
      {"grid input", warpBlockModel(8, 8, opts([](WarpBlockOptions& o) { o.gridFromInput = true; })),
       "the grid has no producer"},
      {"two exits", readModel("rwvariants", "b1_warp2exit"), "the recombination has 2 exits, not 1"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    vesk::WarpBlock block;
    std::string reason;
    EXPECT_FALSE(vesk::findWarpBlock(c.model, &block, reason));
    EXPECT_EQ(reason, c.reason);
    Bytes model = c.model;
    reason.clear();
    EXPECT_EQ(vesk::rewriteWarpBlockToCustomOp(model, reason), 0u);
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(model, c.model);
  }
  std::string reason;
  EXPECT_FALSE(vesk::findWarpBlock(readModel("small", "b1"), nullptr, reason));
  EXPECT_EQ(reason, "no out param");

  // A cone that reads another graph input is no function of P_rgb alone: found, but not taken.
  const Bytes coneInput = warpBlockModel(8, 8, opts([](WarpBlockOptions& o) { o.coneReadsInput = true; }));
  vesk::WarpBlock block;
  EXPECT_TRUE(vesk::findWarpBlock(coneInput, &block, reason));
  Bytes model = coneInput;
  EXPECT_EQ(vesk::rewriteWarpBlockToCustomOp(model, reason), 0u);
  EXPECT_EQ(reason, "cone reads graph input 'cone_w_in'");
  EXPECT_EQ(model, coneInput);
}

// --- What it writes.

TEST(WarpBlockRewrite, OneWarpDirectorNodeTakesTheBlocksPlace) {
  const Bytes before = readModel("small", "b1");
  Bytes model = before;
  std::string reason;
  // The cone (3), the GridSample, 4 Slices, 7 products and sums, and 11 nodes per axis that compute
  // the second-difference weights from the grid.
  ASSERT_EQ(vesk::rewriteWarpBlockToCustomOp(model, reason), 37u) << reason;
  const Graph g(model), old(before);
  EXPECT_EQ(g.nodes.size(), old.nodes.size() - 37 + 1);
  EXPECT_EQ(g.count("GridSample"), 0u);
  EXPECT_EQ(g.count("Concat"), 0u);
  EXPECT_EQ(g.count("Floor"), 0u);
  ASSERT_EQ(g.count("WarpDirector"), 1u);
  const GsNodeInfo* w = g.named("vesk_warp_director");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->opType, "WarpDirector");
  EXPECT_EQ(vesk::gsFirstStr(vesk::hcPayload(w->raw), 7), "com.zentrova");
  EXPECT_EQ(w->inputs, (std::vector<std::string>{"P_rgb", "grid"}));
  EXPECT_EQ(w->outputs, (std::vector<std::string>{"warped_source"}));
  EXPECT_EQ(zentrovaImports(model), 1u);
  // The block's initializers go with it; the rest stay.
  EXPECT_EQ(g.inits.count("cone_diff_w"), 0u);
  EXPECT_EQ(g.inits.count("warp_Ixx_s"), 0u);
  EXPECT_EQ(g.inits.count("warp_x_half"), 0u);
  EXPECT_EQ(g.inits.count("gen_conv_w"), 1u);
  EXPECT_EQ(g.inits.size() + 37, old.inits.size());  // every cone_* and warp_* initializer
  // Everything that reads the exit or the grid is still there and still reads them.
  for (const char* name : {"/gen/conv", "/compose/mul_base", "/grid/grid"}) EXPECT_NE(g.named(name), nullptr) << name;

  // A cone value read outside the block keeps its producers.
  model = readModel("rwvariants", "b1_coneesc");
  ASSERT_EQ(vesk::rewriteWarpBlockToCustomOp(model, reason), 35u) << reason;
  EXPECT_NE(Graph(model).named("/cone/diffs"), nullptr);
  EXPECT_NE(Graph(model).named("/cone/pad"), nullptr);
  EXPECT_EQ(Graph(model).named("/cone/concat"), nullptr);
  EXPECT_EQ(Graph(model).inits.count("cone_diff_w"), 1u);

  // A model that already imports the domain gets no second import.
  model = readModel("gsvariants", "b1_gsbaked");
  ASSERT_EQ(zentrovaImports(model), 1u);
  ASSERT_EQ(vesk::rewriteWarpBlockToCustomOp(model, reason), 37u) << reason;
  EXPECT_EQ(zentrovaImports(model), 1u);
}

// The block alone, on a non-square image and a grid that reaches past every edge: the WarpDirector
// node against ONNX Runtime's Pad, Conv, GridSample and arithmetic.
TEST(WarpBlockRewrite, TheNodeComputesWhatTheBlockComputed) {
  constexpr int64_t H = 40, W = 56;
  const Bytes block = vesk::test::warpBlockModel(H, W);
  Bytes node = block;
  std::string reason;
  ASSERT_EQ(vesk::rewriteWarpBlockToCustomOp(node, reason), 37u) << reason;
  const Graph g(node);
  ASSERT_EQ(g.nodes.size(), 2u);  // the grid's Identity and the WarpDirector
  std::vector<float> P(static_cast<size_t>(3 * H * W)), grid(static_cast<size_t>(2 * H * W));
  for (int64_t c = 0; c < 3; ++c)
    for (int64_t i = 0; i < H; ++i)
      for (int64_t j = 0; j < W; ++j)
        P[static_cast<size_t>((c * H + i) * W + j)] =
            0.5f + 0.4f * std::sin(0.21f * static_cast<float>(i) + 0.37f * static_cast<float>(j * (c + 1))) *
                       std::cos(0.13f * static_cast<float>(i * j % 17));
  constexpr float kBound = 2e-6f;
  float worst = 0;
  for (int set = 0; set < 8; ++set) {
    const float amp = 0.05f * static_cast<float>(set);  // the last sets push samples past the edges
    for (int64_t i = 0; i < H; ++i)
      for (int64_t j = 0; j < W; ++j) {
        const float u = (2.0f * static_cast<float>(j) + 1) / W - 1, v = (2.0f * static_cast<float>(i) + 1) / H - 1;
        grid[static_cast<size_t>(2 * (i * W + j))] = u * (1 + amp) + amp * std::sin(3 * v + static_cast<float>(set));
        grid[static_cast<size_t>(2 * (i * W + j) + 1)] =
            v * (1 + amp) + amp * std::cos(4 * u - static_cast<float>(set));
      }
    const std::vector<float> want = runBlock(block, P, grid, H, W);
    const std::vector<float> got = runBlock(node, P, grid, H, W);
    const float d = maxAbsDiff(got.data(), want.data(), want.size());
    worst = std::max(worst, d);
    EXPECT_LE(d, kBound) << "grid set " << set;
  }
  std::printf("WarpDirector node against the block as ORT runs it: max |diff| %.3g (bound %.1g)\n",
              static_cast<double>(worst), static_cast<double>(kBound));
}

// --- In the renderer.

namespace {

const char* kCpuLine = "[vesk] director ep=cpu (ORT CPU EP)\n";

std::unique_ptr<vesk::Renderer> renderer(const Opened& b, const std::string& key, std::string& lines) {
  testing::internal::CaptureStderr();
  std::unique_ptr<vesk::Renderer> r;
  try {
    r = std::make_unique<vesk::Renderer>(b.manifest, b.identity, key, 1, "");
  } catch (...) {
    lines = veskLines(testing::internal::GetCapturedStderr());
    throw;
  }
  const std::string err = testing::internal::GetCapturedStderr();
  // Nothing of the removed block is left behind for the runtime to complain about.
  EXPECT_EQ(err.find("Removing initializer"), std::string::npos) << err;
  lines = veskLines(err);
  return r;
}

std::string warpLine(size_t nodes) {
  return "[vesk] director warp -> com.zentrova::WarpDirector (" + std::to_string(nodes) +
         " nodes removed, the source cone with them)\n";
}

std::string warpRefusedLine(const std::string& reason) {
  return "[vesk] director warp NOT moved to one node (" + reason +
         ") \xE2\x80\x94 the graph loads exactly as it did before\n";
}

std::string gsLine(const std::string& key) {
  return "[vesk] std GridSample -> com.zentrova::GridSampleFast load-time rewrite: 1 node(s) (" + key + ")\n";
}

std::string hoistSkippedLine(const std::string& key) {
  return "[vesk] source-cone hoist SKIPPED (" + key +
         "): the warp node subsumes the cone \xE2\x80\x94 there is nothing left to hoist\n";
}

bool has(const std::string& lines, const std::string& line) { return lines.find(line) != std::string::npos; }

// The warp line comes first, the cone is not hoisted, and the ep line ends the load.
void expectWarpApplied(const std::string& lines, const std::string& key, size_t removed) {
  EXPECT_EQ(lines.rfind(warpLine(removed), 0), 0u) << lines;
  EXPECT_TRUE(has(lines, hoistSkippedLine(key) + kCpuLine)) << lines;
  EXPECT_FALSE(has(lines, "GridSampleFast load-time rewrite")) << lines;
}

}  // namespace

// The rewritten director renders what the plain graph (ORT's own GridSample) renders, to fp32
// round-off, over every frame of the drive table and jittered keypoint sets, batched too.
TEST(RendererWarpNode, RewrittenCropsEqualThePlainGraphsOverFramesAndKeypoints) {
  const struct {
    const char* bundle;
    const char* key;
    size_t removed;
  } cases[] = {{"small", "b1", 37},
               {"small", "b24_fp32", 37},
               {"rwvariants", "b1_coneesc", 35},
               {"rwvariants", "b1_hc2cand", 37},
               {"gsvariants", "b1_gsbaked", 37}};
  // Colours in [0, 1]: ORT's Conv and GridSample and the node's planes and gather round in other
  // places, and the compose carries that on; a few units in the last place of 1.0.
  constexpr float kBound = 2e-6f;
  float worst = 0;
  size_t crops = 0;
  uint32_t seed = 777;
  auto jitter = [&] {
    seed = seed * 1664525u + 1013904223u;
    return (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.1f;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    Opened b(bundleDir(c.bundle));
    std::string lines;
    std::unique_ptr<vesk::Renderer> warp, plain;
    {
      ScopedEnv on("VESK_WARP_NODE", "1");
      warp = renderer(b, c.key, lines);
      expectWarpApplied(lines, c.key, c.removed);
    }
    {
      ScopedEnv off("VESK_GS_REWRITE", "0");
      plain = renderer(b, c.key, lines);
    }
    const int batch = warp->batch();
    ASSERT_EQ(plain->batch(), batch);
    const size_t n = static_cast<size_t>(batch) * 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
    for (int f = 0; f + batch <= std::max(b.drive.frames, batch); f += batch) {
      for (int set = 0; set < 4; ++set) {
        std::vector<int> si(static_cast<size_t>(batch));
        std::vector<float> xs(static_cast<size_t>(batch) * 63), xd;
        for (int j = 0; j < batch; ++j) {
          const int frame = (f + j) % b.drive.frames;
          si[static_cast<size_t>(j)] = b.drive.si[static_cast<size_t>(frame)];
          std::copy(b.xs(frame), b.xs(frame) + 63, xs.begin() + j * 63);
        }
        xd = xs;
        if (set > 0)
          for (size_t k = 0; k < xd.size(); ++k)
            if (k % 3 != 2) xd[k] += jitter();
        const float* ref = plain->render(si.data(), xs.data(), xd.data(), batch);
        const std::vector<float> want(ref, ref + n);
        const float d = maxAbsDiff(warp->render(si.data(), xs.data(), xd.data(), batch), want.data(), n);
        worst = std::max(worst, d);
        crops += static_cast<size_t>(batch);
        EXPECT_LE(d, kBound) << "frame " << f << ", keypoint set " << set;
      }
    }
  }
  std::printf("WarpDirector director against the plain graph over %zu crops: max |diff| %.3g (bound %.1g)\n", crops,
              static_cast<double>(worst), static_cast<double>(kBound));
}

TEST(RendererWarpNode, SwitchReportsAndRefusals) {
  Opened b(bundleDir("small"));
  struct Case {
    const char* value;
    bool on;
  };
  for (const Case& c : {Case{nullptr, false}, Case{"", false}, Case{"0", false}, Case{"0ff", false}, Case{"1", true},
                        Case{"yes", true}}) {
    SCOPED_TRACE(std::string("VESK_WARP_NODE=") + (c.value ? c.value : "(unset)"));
    ScopedEnv warp("VESK_WARP_NODE", c.value);
    std::string lines;
    auto r = renderer(b, "b1", lines);
    if (c.on)
      expectWarpApplied(lines, "b1", 37);
    else
      EXPECT_TRUE(has(lines, gsLine("b1"))) << lines;
    EXPECT_FALSE(!c.on && has(lines, "director warp")) << lines;
    const int si = b.drive.si[0];
    EXPECT_NE(r->render(&si, b.xs(0), b.xs(0), 1), nullptr);
  }
  ScopedEnv warp("VESK_WARP_NODE", "1");
  std::string lines;
  // Refused: the graph loads as before, and the GridSample rewrite still takes its sampler.
  renderer(b, "b1_featsynth", lines);
  EXPECT_EQ(lines.rfind(warpRefusedLine("not one Concat consuming P_rgb"), 0), 0u) << lines;
  EXPECT_TRUE(has(lines, gsLine("b1_featsynth"))) << lines;
  Opened rw(bundleDir("rwvariants"));
  auto twoExits = renderer(rw, "b1_warp2exit", lines);
  EXPECT_EQ(lines.rfind(warpRefusedLine("the recombination has 2 exits, not 1"), 0), 0u) << lines;
  EXPECT_TRUE(has(lines, gsLine("b1_warp2exit"))) << lines;
  const int si = rw.drive.si[0];
  EXPECT_NE(twoExits->render(&si, rw.xs(0), rw.xs(0), 1), nullptr);
  // Without the GridSampleFast registration the node still finds its kernel.
  {
    ScopedEnv fast("VESK_GS_FAST", "0");
    auto r = renderer(b, "b1", lines);
    expectWarpApplied(lines, "b1", 37);
    const int s0 = b.drive.si[0];
    EXPECT_NE(r->render(&s0, b.xs(0), b.xs(0), 1), nullptr);
  }
}

// The generator's rewrite variants are valid directors: the ones that only add a zero-weighted reader
// render b1's picture bit for bit, the head variants a picture close to it.
TEST(RewriteVariants, LoadAndRenderTheirPicture) {
  Opened b(bundleDir("rwvariants"));
  std::string lines;
  auto plain = renderer(b, "b1", lines);
  const size_t n = 3 * static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  std::vector<float> xd(b.xs(1), b.xs(1) + 63);
  xd[12 * 3 + 1] += 0.04f;
  const int si = b.drive.si[1];
  const float* ref = plain->render(&si, b.xs(1), xd.data(), 1);
  const std::vector<float> want(ref, ref + n);
  for (const char* key : {"b1_cone2cat", "b1_coneesc", "b1_warp2exit", "b1_hc2cand", "b1_hcscale"}) {
    SCOPED_TRACE(key);
    auto r = renderer(b, key, lines);
    EXPECT_TRUE(has(lines, gsLine(key))) << lines;
    const float d = maxAbsDiff(r->render(&si, b.xs(1), xd.data(), 1), want.data(), n);
    if (std::string(key).rfind("b1_hc", 0) == 0)
      EXPECT_LT(d, 0.05f);
    else
      EXPECT_EQ(d, 0.0f);
  }
}
