// The warp-block rewrite: the director's source cone, its GridSample and the recombination of the
// sampled channels become one com.zentrova::WarpDirector node.
//
// Which nodes go. WarpDirector(P_rgb, grid) computes, from P_rgb alone, the value the recombination
// leaves the block with, so the rewrite removes exactly what that value needed and nothing anything
// else still reads:
//   - the GridSample itself;
//   - the recombination: every node downstream of the GridSample whose inputs are sampled values
//     (the sampled tensor only through a Slice), values computed from the grid alone, or constants,
//     up to the first node that has merged every Slice (the exit's producer);
//   - the nodes that compute from the grid alone (the fractional sample positions of the
//     second-difference weights) when nothing but removed nodes reads them;
//   - the source cone behind the boundary, and constants, when nothing but removed nodes reads them,
//     and the initializers that only removed nodes read.
// A cone value that something outside the block also reads keeps its producers in the graph, so the
// rewrite never changes what the rest of the graph computes.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "render/vesk_rewrite.h"

namespace vesk {

namespace {

constexpr const char* kZentrova = "com.zentrova";
constexpr const char* kPrgb = "P_rgb";
constexpr uint32_t kLen = 2;
constexpr uint32_t kNodeName = 3;
constexpr uint32_t kNodeDomain = 7;
constexpr uint32_t kValueInfoName = 1;
constexpr uint32_t kTensorName = 8;

// The graph's nodes with the maps the block analysis walks.
struct WdGraph {
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> domains;
  std::unordered_set<std::string> inits;
  std::unordered_set<std::string> inputs;
  std::unordered_set<std::string> outputs;  // graph outputs
  std::unordered_map<std::string, size_t> producer;
  std::unordered_map<std::string, std::vector<size_t>> consumers;
};

void wdReadNodes(GsSlice graph, WdGraph& g) {
  gsReadGraph(graph, g.nodes, g.inits, g.inputs);
  g.domains.clear();
  g.outputs.clear();
  g.producer.clear();
  g.consumers.clear();
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    const GsNodeInfo& n = g.nodes[i];
    g.domains.push_back(gsFirstStr(hcPayload(n.raw), kNodeDomain));
    for (const std::string& o : n.outputs)
      if (!o.empty()) g.producer.emplace(o, i);
    for (const std::string& in : n.inputs)
      if (!in.empty()) {
        std::vector<size_t>& c = g.consumers[in];
        if (c.empty() || c.back() != i) c.push_back(i);
      }
  }
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.number == onnx_field::kGraphOutput && f.wire == kLen) g.outputs.insert(gsFirstStr(f.payload, kValueInfoName));
}

bool isSampler(const GsNodeInfo& n) { return n.opType == "GridSample" || n.opType == "GridSampleFast"; }

// What the recombination analysis finds behind one GridSample.
struct Recombination {
  std::vector<char> inBlock;   // per node: part of the recombination
  std::vector<char> gridSide;  // per node: computes from the grid and constants alone
  std::vector<char> constant;  // per node: computes from constants alone (Constant nodes included)
  std::vector<std::string> exits;
  bool sampledEscapes = false;  // the sampled tensor is read by something other than a Slice
};

Recombination analyse(const WdGraph& g, size_t gs) {
  const size_t n = g.nodes.size();
  const std::string& sampled = g.nodes[gs].outputs[0];
  const std::string& grid = g.nodes[gs].inputs[1];
  Recombination rc;
  rc.inBlock.assign(n, 0);
  rc.gridSide.assign(n, 0);
  rc.constant.assign(n, 0);

  std::unordered_set<std::string> constVals(g.inits.begin(), g.inits.end());
  std::unordered_set<std::string> gridVals{grid};
  std::unordered_map<std::string, std::vector<char>> block;  // a block value and the Slices it has merged

  std::vector<size_t> slices;
  for (size_t c : g.consumers.count(sampled) ? g.consumers.at(sampled) : std::vector<size_t>{}) {
    const GsNodeInfo& s = g.nodes[c];
    if (s.opType == "Slice" && s.inputs[0] == sampled && std::count(s.inputs.begin(), s.inputs.end(), sampled) == 1)
      slices.push_back(c);
    else
      rc.sampledEscapes = true;
  }
  if (g.outputs.count(sampled)) rc.sampledEscapes = true;

  bool merged = false;
  for (size_t i = 0; i < n; ++i) {
    if (i == gs) continue;
    const GsNodeInfo& node = g.nodes[i];
    bool allConst = true, allGridOrConst = true, anyGrid = false, anyBlock = false, valid = true;
    std::vector<char> cover(slices.size(), 0);
    for (const std::string& in : node.inputs) {
      if (in.empty()) continue;
      const bool isConst = constVals.count(in) > 0;
      const bool isGrid = gridVals.count(in) > 0;
      allConst = allConst && isConst;
      allGridOrConst = allGridOrConst && (isConst || isGrid);
      anyGrid = anyGrid || isGrid;
      if (in == sampled) {
        const auto at = std::find(slices.begin(), slices.end(), i);
        if (at == slices.end()) {
          valid = false;
        } else {
          anyBlock = true;
          cover[static_cast<size_t>(at - slices.begin())] = 1;
        }
      } else if (const auto b = block.find(in); b != block.end()) {
        anyBlock = true;
        for (size_t k = 0; k < cover.size(); ++k) cover[k] = cover[k] || b->second[k];
      } else if (!isConst && !isGrid) {
        valid = false;
      }
    }
    if (node.opType == "Constant" || (allConst && !node.inputs.empty() && !anyBlock)) {
      rc.constant[i] = 1;
      for (const std::string& o : node.outputs) constVals.insert(o);
      continue;
    }
    if (allGridOrConst && anyGrid) {
      rc.gridSide[i] = 1;
      for (const std::string& o : node.outputs) gridVals.insert(o);
      continue;
    }
    if (!anyBlock || !valid) continue;
    rc.inBlock[i] = 1;
    const bool all = !slices.empty() && std::all_of(cover.begin(), cover.end(), [](char c) { return c != 0; });
    // Past the first node that has merged every Slice lies the rest of the director, not the
    // recombination: its output is the exit and is not followed further.
    if (all && !merged && node.outputs.size() == 1) {
      merged = true;
      continue;
    }
    for (const std::string& o : node.outputs) block.emplace(o, cover);
  }

  for (size_t i = 0; i < n; ++i) {
    if (!rc.inBlock[i]) continue;
    for (const std::string& o : g.nodes[i].outputs) {
      if (o.empty()) continue;
      bool leaves = g.outputs.count(o) > 0;
      if (const auto c = g.consumers.find(o); c != g.consumers.end())
        for (size_t k : c->second) leaves = leaves || !rc.inBlock[k];
      if (leaves) rc.exits.push_back(o);
    }
  }
  return rc;
}

// The cone behind the boundary, traced back to P_rgb, initializers and Constant nodes; false with
// a reason when it reads anything else.
bool traceCone(const WdGraph& g, const std::string& boundary, std::vector<char>& cone, std::string& reason) {
  cone.assign(g.nodes.size(), 0);
  std::vector<std::string> todo{boundary};
  std::unordered_set<std::string> seen;
  while (!todo.empty()) {
    const std::string v = todo.back();
    todo.pop_back();
    if (v.empty() || v == kPrgb || g.inits.count(v) || !seen.insert(v).second) continue;
    const auto p = g.producer.find(v);
    if (p == g.producer.end()) {
      reason = g.inputs.count(v) ? "cone reads graph input '" + v + "'" : "cone leaf '" + v + "' has no producer";
      return false;
    }
    if (cone[p->second]) continue;
    cone[p->second] = 1;
    const GsNodeInfo& node = g.nodes[p->second];
    if (node.opType == "Constant") continue;
    for (const std::string& in : node.inputs) todo.push_back(in);
  }
  return true;
}

bool checkBlock(const WdGraph& g, WarpBlock* out, std::string& reason) {
  if (out == nullptr) {
    reason = "no out param";
    return false;
  }
  size_t concats = 0, concat = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    const GsNodeInfo& n = g.nodes[i];
    if (n.opType == "Concat" && !n.outputs.empty() && !n.outputs[0].empty() &&
        std::find(n.inputs.begin(), n.inputs.end(), kPrgb) != n.inputs.end()) {
      ++concats;
      concat = i;
    }
  }
  if (concats != 1) {
    reason = std::string("not one Concat consuming ") + kPrgb;
    return false;
  }
  const std::string& boundary = g.nodes[concat].outputs[0];
  size_t samplers = 0, gs = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (isSampler(g.nodes[i]) && !g.nodes[i].inputs.empty() && g.nodes[i].inputs[0] == boundary) {
      ++samplers;
      gs = i;
    }
  if (samplers == 0) {
    reason = "no GridSample consuming '" + boundary + "'";
    return false;
  }
  if (samplers > 1) {
    reason = "two GridSamples on the cone's tip";
    return false;
  }
  const GsNodeInfo& node = g.nodes[gs];
  const bool fast = node.opType == "GridSampleFast" && g.domains[gs] == kZentrova;
  if (!fast && !gsIsRewritableGridSample(hcPayload(node.raw))) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return false;
  }
  if (node.outputs.empty() || node.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return false;
  }
  const std::string grid = node.inputs.size() > 1 ? node.inputs[1] : std::string();
  if (grid.empty() || !g.producer.count(grid)) {
    reason = "the grid has no producer";
    return false;
  }
  const Recombination rc = analyse(g, gs);
  if (rc.exits.size() != 1 || rc.sampledEscapes) {
    // The sampled tensor read whole by something else is a second way out of the block.
    const size_t n = rc.exits.empty() ? 0 : rc.exits.size() + (rc.sampledEscapes ? 1 : 0);
    reason = "the recombination has " + std::to_string(n) + " exits, not 1";
    return false;
  }
  out->boundary = boundary;
  out->sampled = node.outputs[0];
  out->grid = grid;
  out->exit = rc.exits[0];
  out->gridSampleNode = gs;
  return true;
}

void putWarpNode(std::vector<uint8_t>& out, const std::string& grid, const std::string& exit) {
  std::vector<uint8_t> n;
  gsPutBytes(n, 1, std::string(kPrgb));
  gsPutBytes(n, 1, grid);
  gsPutBytes(n, 2, exit);
  gsPutBytes(n, kNodeName, std::string("vesk_warp_director"));
  gsPutBytes(n, 4, std::string("WarpDirector"));
  gsPutBytes(n, kNodeDomain, std::string(kZentrova));
  gsPutBytes(out, onnx_field::kGraphNode, n.data(), n.size());
}

}  // namespace

bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* out, std::string& reason) {
  const GsSlice graph = gsGraphOf(GsSlice(model));
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  WdGraph g;
  wdReadNodes(graph, g);
  return checkBlock(g, out, reason);
}

size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason) {
  WarpBlock block;
  if (!findWarpBlock(model, &block, reason)) return 0;

  const GsSlice bytes(model);
  const GsSlice graph = gsGraphOf(bytes);
  WdGraph g;
  wdReadNodes(graph, g);
  const size_t gs = block.gridSampleNode;
  if (gs >= g.nodes.size() || !isSampler(g.nodes[gs]) || g.nodes[gs].outputs.empty() ||
      g.nodes[gs].outputs[0] != block.sampled) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  std::vector<char> cone;
  if (!traceCone(g, block.boundary, cone, reason)) return 0;
  const Recombination rc = analyse(g, gs);

  std::vector<char> drop(rc.inBlock);
  drop[gs] = 1;
  // Upstream of what goes, from the back: a grid-only, cone or constant node goes when nothing but
  // removed nodes reads any of its outputs.
  for (size_t i = g.nodes.size(); i-- > 0;) {
    if (drop[i] || !(rc.gridSide[i] || cone[i] || rc.constant[i])) continue;
    bool read = false, unread = true;
    for (const std::string& o : g.nodes[i].outputs) {
      if (o.empty()) continue;
      if (g.outputs.count(o) || o == block.grid) unread = false;
      if (const auto c = g.consumers.find(o); c != g.consumers.end())
        for (size_t k : c->second) {
          read = true;
          unread = unread && drop[k];
        }
    }
    // A node that fed nothing before the rewrite is none of its business.
    unread = unread && read;
    if (unread) drop[i] = 1;
  }
  const size_t removed = static_cast<size_t>(std::count(drop.begin(), drop.end(), 1));
  // Initializers only removed nodes read go with them; the runtime would otherwise name each one on
  // standard error as it drops it.
  std::unordered_set<std::string> stillRead{kPrgb, block.grid}, orphaned;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    for (const std::string& in : g.nodes[i].inputs) (drop[i] ? orphaned : stillRead).insert(in);
  for (const std::string& o : g.outputs) stillRead.insert(o);

  std::vector<uint8_t> newGraph;
  newGraph.reserve(graph.n + 128);
  {
    size_t k = 0;
    GsReader r(graph);
    GsField f;
    while (r.next(f)) {
      if (f.number == onnx_field::kGraphInitializer && f.wire == kLen) {
        const std::string name = gsFirstStr(f.payload, kTensorName);
        if (!orphaned.count(name) || stillRead.count(name)) gsPutRaw(newGraph, f.raw);
        continue;
      }
      if (f.number != onnx_field::kGraphNode || f.wire != kLen) {
        gsPutRaw(newGraph, f.raw);
        continue;
      }
      const size_t at = k++;
      if (at == gs)
        putWarpNode(newGraph, block.grid, block.exit);
      else if (!drop[at])
        gsPutRaw(newGraph, f.raw);
    }
  }

  std::vector<uint8_t> out;
  gsReplaceGraph(bytes, newGraph, out);
  if (!gsImportsDomain(bytes, kZentrova)) gsPutOpsetImport(out, kZentrova, 1);
  model.swap(out);
  return removed;
}

}  // namespace vesk
