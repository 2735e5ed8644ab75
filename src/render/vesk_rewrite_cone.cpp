// Cutting the director at its source cone's boundary. The prep graph computes the boundary from
// P_rgb; the per-frame graph takes the boundary as an input instead of computing it.
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "render/vesk_rewrite.h"

namespace vesk {

namespace {

constexpr const char* kPrgb = "P_rgb";

struct ConeGraph {
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  std::vector<uint8_t> cone;  // one flag per node
};

// Marks the cone's nodes from the boundary back to P_rgb, the initializers and Constant nodes, then
// checks that nothing outside it reads P_rgb or any cone value but the boundary: only then does the
// cut leave both halves computing what the whole did.
bool gsSourceCone(ConeGraph& g, const std::string& boundary, std::string& reason) {
  std::unordered_map<std::string, size_t> producer;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    for (const std::string& out : g.nodes[i].outputs)
      if (!out.empty()) producer.emplace(out, i);
  g.cone.assign(g.nodes.size(), 0);
  std::vector<std::string> todo{boundary};
  std::unordered_set<std::string> seen;
  while (!todo.empty()) {
    const std::string v = std::move(todo.back());
    todo.pop_back();
    if (v.empty() || v == kPrgb || g.inits.count(v) != 0 || !seen.insert(v).second) continue;
    const auto p = producer.find(v);
    if (p == producer.end()) {
      reason = g.inputs.count(v) != 0 ? "cone reads graph input '" + v + "'" : "cone leaf '" + v + "' has no producer";
      return false;
    }
    if (g.cone[p->second]) continue;
    g.cone[p->second] = 1;
    const GsNodeInfo& n = g.nodes[p->second];
    if (n.opType != "Constant") todo.insert(todo.end(), n.inputs.begin(), n.inputs.end());
  }
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    if (g.cone[i]) continue;
    for (const std::string& in : g.nodes[i].inputs) {
      if (in == kPrgb) {
        reason = std::string(kPrgb) + " is also read outside the cone by " + g.nodes[i].opType;
        return false;
      }
      const auto p = producer.find(in);
      if (in != boundary && p != producer.end() && g.cone[p->second]) {
        reason = "cone value '" + in + "' escapes to " + g.nodes[i].opType;
        return false;
      }
    }
  }
  return true;
}

// Reads the graph and traces its cone; false with a reason when there is no graph, no P_rgb input
// or no clean cone.
bool readCone(const std::vector<uint8_t>& model, const std::string& boundary, ConeGraph& g, std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  gsReadGraph(graph, g.nodes, g.inits, g.inputs);
  if (g.inputs.count(kPrgb) == 0) {
    reason = "no P_rgb input";
    return false;
  }
  return gsSourceCone(g, boundary, reason);
}

// The initializers no kept node reads: the runtime would drop them itself, with a warning for each.
void dropUnread(const ConeGraph& g, GsGraphEdit& edit) {
  std::unordered_set<std::string> read;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (i >= edit.dropNode.size() || edit.dropNode[i] == 0)
      for (const std::string& in : g.nodes[i].inputs) read.insert(in);
  for (const std::string& name : g.inits)
    if (read.count(name) == 0) edit.dropInitializers.insert(name);
}

}  // namespace

size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& name) {
  name.clear();
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  gsReadGraph(gsGraphOf(model), nodes, inits, inputs);
  size_t count = 0;
  std::string found;
  for (const GsNodeInfo& n : nodes) {
    if (n.opType != "Concat" || n.outputs.empty() || n.outputs[0].empty()) continue;
    bool readsPrgb = false;
    for (const std::string& in : n.inputs) readsPrgb = readsPrgb || in == kPrgb;
    if (readsPrgb) ++count, found = n.outputs[0];
  }
  if (count == 1) name = found;
  return count;
}

bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary, std::vector<uint8_t>& prep,
                         std::string& reason) {
  ConeGraph g;
  if (!readCone(model, boundary, g, reason)) return false;
  GsGraphEdit edit;
  edit.dropNode.resize(g.nodes.size());
  size_t kept = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    const bool keep = g.cone[i] || g.nodes[i].opType == "Constant";
    edit.dropNode[i] = keep ? 0 : 1;
    kept += keep ? 1 : 0;
  }
  if (kept == 0) {
    reason = "empty cone";
    return false;
  }
  dropUnread(g, edit);
  edit.onlyPrgb = true;
  edit.dropOutputs = true;
  edit.newName = boundary;
  edit.newDims = {-1, -1, -1, -1};  // symbolic: the runtime infers the static shape from P_rgb's
  edit.newField = onnx_field::kGraphOutput;
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  prep.swap(out);
  return true;
}

bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary, const int64_t* dims,
                             size_t n, std::vector<uint8_t>& perFrame, std::string& reason) {
  ConeGraph g;
  if (!readCone(model, boundary, g, reason)) return false;
  GsGraphEdit edit;
  edit.dropNode = g.cone;
  dropUnread(g, edit);
  edit.dropPrgb = true;
  edit.newName = boundary;
  edit.newDims.assign(dims, dims + n);
  edit.newField = onnx_field::kGraphInput;
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  perFrame.swap(out);
  return true;
}

}  // namespace vesk
