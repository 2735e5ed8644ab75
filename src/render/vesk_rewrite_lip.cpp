// The lip-contour bind: the compose tail a x gen + (1 - a) x base of the director gets its alpha
// narrowed to Min(a, lip_delivery), a new graph input the renderer fills with the rasterised lip
// contour, so only the intersection of the graph's own region and the contour is composited.
#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "render/vesk_rewrite.h"

namespace vesk {

namespace {

constexpr const char* kLipInput = "lip_delivery";
constexpr const char* kMinNode = "tessera_lipdel_min";
constexpr const char* kNewAlpha = "tessera_lipdel_alpha";
constexpr uint32_t kLen = 2;
constexpr uint32_t kNodeInput = 1;
constexpr uint32_t kNodeName = 3;
constexpr uint32_t kTensorName = 8;

struct LipGraph {
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  std::vector<std::string> outputs;
  std::unordered_map<std::string, GsSlice> initTensors;
  std::unordered_map<std::string, size_t> producer;
};

void readLipGraph(GsSlice graph, LipGraph& g) {
  gsReadGraph(graph, g.nodes, g.inits, g.inputs);
  for (size_t i = 0; i < g.nodes.size(); ++i)
    for (const std::string& o : g.nodes[i].outputs)
      if (!o.empty()) g.producer.emplace(o, i);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != kLen) continue;
    if (f.number == onnx_field::kGraphOutput) g.outputs.push_back(gsFirstStr(f.payload, 1));
    if (f.number == onnx_field::kGraphInitializer) g.initTensors.emplace(gsFirstStr(f.payload, kTensorName), f.payload);
  }
}

const GsNodeInfo* producerOf(const LipGraph& g, const std::string& v, size_t* index = nullptr) {
  const auto p = g.producer.find(v);
  if (p == g.producer.end()) return nullptr;
  if (index != nullptr) *index = p->second;
  return &g.nodes[p->second];
}

// A one-element float initializer or Constant equal to 1.0.
bool isOne(const LipGraph& g, const std::string& v) {
  GsSlice tensor;
  if (const auto t = g.initTensors.find(v); t != g.initTensors.end()) {
    tensor = t->second;
  } else if (const GsNodeInfo* p = producerOf(g, v); p != nullptr && p->opType == "Constant") {
    tensor = hcConstValue(hcPayload(p->raw));
  }
  std::vector<float> values;
  return !tensor.empty() && hcTensorFloats(tensor, values) && values.size() == 1 && values[0] == 1.0f;
}

// The compose tail: Add(Mul(a, x), Mul(Sub(1, a), y)) with the Muls in either order.
struct Tail {
  size_t add = 0, mulDirect = 0, mulInv = 0, sub = 0, clip = 0;
  std::string alpha;
};

bool twoInputs(const GsNodeInfo& n) { return n.inputs.size() == 2 && !n.inputs[0].empty() && !n.inputs[1].empty(); }

// Whether the Add at index add is the tail; reason is set when it is the tail but its alpha has no
// producer.
bool matchTail(const LipGraph& g, size_t add, Tail& t, std::string& reason) {
  const GsNodeInfo& a = g.nodes[add];
  if (a.opType != "Add" || !twoInputs(a)) return false;
  size_t m[2];
  for (int k = 0; k < 2; ++k) {
    const GsNodeInfo* p = producerOf(g, a.inputs[static_cast<size_t>(k)], &m[k]);
    if (p == nullptr || p->opType != "Mul" || !twoInputs(*p)) return false;
  }
  for (int order = 0; order < 2; ++order) {
    const size_t inv = m[order], direct = m[1 - order];
    for (const std::string& in : g.nodes[inv].inputs) {
      size_t sub = 0;
      const GsNodeInfo* s = producerOf(g, in, &sub);
      if (s == nullptr || s->opType != "Sub" || !twoInputs(*s) || !isOne(g, s->inputs[0])) continue;
      const std::string& alpha = s->inputs[1];
      const std::vector<std::string>& d = g.nodes[direct].inputs;
      if (std::find(d.begin(), d.end(), alpha) == d.end()) continue;
      size_t clip = 0;
      const GsNodeInfo* c = producerOf(g, alpha, &clip);
      if (c == nullptr) {
        reason = "the compose alpha '" + alpha + "' has no producer node";
        return false;
      }
      if (c->opType != "Clip") continue;
      t = Tail{add, direct, inv, sub, clip, alpha};
      return true;
    }
  }
  return false;
}

// The node with every input named from renamed to to, as a GraphProto node field.
void putRenamedInputs(std::vector<uint8_t>& out, GsSlice node, const std::string& from, const std::string& to) {
  std::vector<uint8_t> n;
  n.reserve(node.n + to.size() * 2);
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number == kNodeInput && f.wire == kLen && f.payload.str() == from)
      gsPutBytes(n, kNodeInput, to);
    else
      gsPutRaw(n, f.raw);
  }
  gsPutBytes(out, onnx_field::kGraphNode, n.data(), n.size());
}

// A FLOAT ValueInfoProto [batch, 1, canvas, canvas] as a graph input; a batch below 1 is symbolic.
void putLipInput(std::vector<uint8_t>& out, int64_t batch, int64_t canvas) {
  std::vector<uint8_t> shape;
  auto dim = [&](int64_t v) {
    std::vector<uint8_t> d;
    if (v > 0)
      gsPutVarintField(d, 1, static_cast<uint64_t>(v));
    else
      gsPutBytes(d, 2, std::string("batch"));
    gsPutBytes(shape, 1, d.data(), d.size());
  };
  dim(batch);
  dim(1);
  dim(canvas);
  dim(canvas);
  std::vector<uint8_t> tensor;
  gsPutVarintField(tensor, 1, static_cast<uint64_t>(onnx_field::kFloat));
  gsPutBytes(tensor, 2, shape.data(), shape.size());
  std::vector<uint8_t> type;
  gsPutBytes(type, 1, tensor.data(), tensor.size());
  std::vector<uint8_t> vi;
  gsPutBytes(vi, 1, std::string(kLipInput));
  gsPutBytes(vi, 2, type.data(), type.size());
  gsPutBytes(out, onnx_field::kGraphInput, vi.data(), vi.size());
}

// The checks on the rebuilt bytes; an empty result passes.
std::string selfCheck(GsSlice model, const Tail& t, const std::string& alpha) {
  LipGraph g;
  readLipGraph(gsGraphOf(model), g);
  for (size_t i = 0; i < g.nodes.size(); ++i)
    for (const std::string& in : g.nodes[i].inputs) {
      const auto p = g.producer.find(in);
      if (in.empty() || p == g.producer.end() || p->second < i) continue;
      std::string name = gsFirstStr(hcPayload(g.nodes[i].raw), kNodeName);
      if (name.empty()) name = "#" + std::to_string(i);
      return "self-check: node " + name + " reads '" + in + "' produced at " + std::to_string(p->second) +
             " \xE2\x80\x94 the rewritten graph is not topologically ordered";
    }
  const bool minFound = std::any_of(g.nodes.begin(), g.nodes.end(), [](const GsNodeInfo& n) {
    return n.opType == "Min" && gsFirstStr(hcPayload(n.raw), kNodeName) == kMinNode && n.outputs.size() == 1 &&
           n.outputs[0] == kNewAlpha;
  });
  if (!minFound) return "self-check: the Min node did not survive the rebuild";
  // The tail's consumers of the alpha sit one place later when they stood after the Clip.
  size_t rewired = 0;
  for (size_t old : {t.sub, t.mulDirect}) {
    const size_t at = old > t.clip ? old + 1 : old;
    if (at >= g.nodes.size()) continue;
    const std::vector<std::string>& in = g.nodes[at].inputs;
    if (std::find(in.begin(), in.end(), kNewAlpha) != in.end() && std::find(in.begin(), in.end(), alpha) == in.end())
      ++rewired;
  }
  if (rewired != 2)
    return "self-check: rewire did not take: " + std::to_string(rewired) + " consumers of " + alpha +
           " \xE2\x80\x94 refusing a graph that would serve the ellipse with the input attached and ignored";
  if (!g.inputs.count(kLipInput)) return "self-check: the input did not survive the rebuild";
  return {};
}

}  // namespace

bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int* canvas) {
  const GsSlice bytes(model);
  const GsSlice graph = gsGraphOf(bytes);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  LipGraph g;
  readLipGraph(graph, g);
  if (g.inputs.count(kLipInput)) {
    reason = std::string("the graph already carries an input named ") + kLipInput;
    return false;
  }

  // From the first output, through a few Identity or Cast nodes, then upstream to the nearest tail.
  std::optional<Tail> tail;
  if (!g.outputs.empty()) {
    std::string v = g.outputs[0];
    for (int step = 0; step < 4; ++step) {
      const GsNodeInfo* p = producerOf(g, v);
      if (p == nullptr || (p->opType != "Identity" && p->opType != "Cast") || p->inputs.empty()) break;
      v = p->inputs[0];
    }
    std::deque<std::string> todo{v};
    std::unordered_set<size_t> seen;
    while (!todo.empty() && !tail) {
      size_t at = 0;
      const GsNodeInfo* p = producerOf(g, todo.front(), &at);
      todo.pop_front();
      if (p == nullptr || !seen.insert(at).second) continue;
      Tail t;
      std::string why;
      if (matchTail(g, at, t, why)) {
        tail = t;
      } else if (!why.empty()) {
        reason = why;
        return false;
      }
      for (const std::string& in : p->inputs)
        if (!in.empty()) todo.push_back(in);
    }
  }
  if (!tail) {
    reason = "the graph does not carry the unified compose tail";
    return false;
  }
  const std::string alpha = tail->alpha;

  // The canvas: a square initializer the tail reads, else the side of P_rgb.
  int64_t side = 0;
  for (size_t node : {tail->add, tail->mulDirect, tail->mulInv, tail->sub}) {
    for (const std::string& in : g.nodes[node].inputs) {
      const auto t = g.initTensors.find(in);
      if (t == g.initTensors.end() || side > 0) continue;
      std::vector<int64_t> dims;
      hcTensorDims(t->second, dims);
      if (dims.size() >= 2 && dims[dims.size() - 1] == dims[dims.size() - 2] && dims.back() > 0) side = dims.back();
    }
  }
  int64_t prgb[4] = {0, 0, 0, 0};
  size_t rank = 0;
  const bool havePrgb = ldInputDims(graph, "P_rgb", prgb, 4, rank) && rank == 4;
  if (side <= 0 && havePrgb) side = prgb[3];
  if (side <= 0 || side > 1 << 20) {
    reason = "cannot read the compose canvas off the graph";
    return false;
  }
  if (canvas != nullptr) *canvas = static_cast<int>(side);

  std::vector<uint8_t> newGraph;
  newGraph.reserve(graph.n + 256);
  {
    size_t k = 0;
    GsReader r(graph);
    GsField f;
    while (r.next(f)) {
      if (f.number != onnx_field::kGraphNode || f.wire != kLen) {
        gsPutRaw(newGraph, f.raw);
        continue;
      }
      const size_t at = k++;
      if (at == tail->sub || at == tail->mulDirect) {
        putRenamedInputs(newGraph, f.payload, alpha, kNewAlpha);
      } else {
        gsPutRaw(newGraph, f.raw);
      }
      if (at == tail->clip) hcNode(newGraph, "Min", {alpha, kLipInput}, kNewAlpha, kMinNode, {});
    }
  }
  putLipInput(newGraph, havePrgb ? prgb[0] : 0, side);

  std::vector<uint8_t> out;
  gsReplaceGraph(bytes, newGraph, out);
  const std::string failed = selfCheck(GsSlice(out), *tail, alpha);
  if (!failed.empty()) {
    reason = failed;
    return false;
  }
  model.swap(out);
  return true;
}

}  // namespace vesk
