// The director head's cubic x2 upsampling, and the older students' 2-D blend MatMul.
#include <cmath>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "render/vesk_rewrite.h"

namespace vesk {

namespace {

constexpr uint32_t kLen = 2;
constexpr uint32_t kNodeInput = 1;
constexpr uint32_t kNodeName = 3;
constexpr uint32_t kNodeOpType = 4;
constexpr uint32_t kNodeAttribute = 5;
constexpr uint32_t kNodeDomain = 7;
constexpr int64_t kMaxChannels = 1048576;
constexpr int kWindow = 5;  // the 5-tap window both phases of the x2 filter fit in

// Keys' cubic convolution kernel at distance s.
double keys(double s, double a) {
  s = std::fabs(s);
  if (s <= 1.0) return ((a + 2.0) * s - (a + 3.0)) * s * s + 1.0;
  if (s < 2.0) return ((a * s - 5.0 * a) * s + 8.0 * a) * s - 4.0 * a;
  return 0.0;
}

// The initializer TensorProto payloads of the graph by name (the first of each name).
std::unordered_map<std::string, GsSlice> initializersOf(GsSlice graph) {
  std::unordered_map<std::string, GsSlice> out;
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.number == onnx_field::kGraphInitializer && f.wire == kLen) out.emplace(gsFirstStr(f.payload, 8), f.payload);
  return out;
}

bool isCubicCandidate(const GsNodeInfo& n, const std::unordered_map<std::string, GsSlice>& constants) {
  if (n.opType != "Resize") return false;
  const GsSlice node = hcPayload(n.raw);
  if (!gsFirst(node, kNodeDomain).empty()) return false;
  const HcAttrs a = hcReadAttrs(node);
  if (a.mode != "cubic" || a.coordinateTransformationMode != "half_pixel") return false;
  if (a.antialias || a.excludeOutside || a.axes) return false;
  if (a.keepAspectRatioPolicy && *a.keepAspectRatioPolicy != "stretch") return false;
  if (n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.size() != 1) return false;
  const auto scales = constants.find(n.inputs[2]);
  if (scales == constants.end()) return false;
  std::vector<float> v;
  return hcTensorFloats(scales->second, v) && v == std::vector<float>{1.0f, 1.0f, 2.0f, 2.0f};
}

// The channel count the Resize carries, read off the one Conv that consumes it; 0 when the consumer
// is not such a Conv or the count is out of range.
int64_t channelsOfConsumer(const std::vector<GsNodeInfo>& nodes, const std::string& value,
                           const std::unordered_map<std::string, GsSlice>& inits) {
  const GsNodeInfo* consumer = nullptr;
  size_t readers = 0;
  for (const GsNodeInfo& n : nodes) {
    bool reads = false;
    for (const std::string& in : n.inputs) reads = reads || in == value;
    if (reads) ++readers, consumer = &n;
  }
  if (readers != 1 || consumer->opType != "Conv" || consumer->inputs.size() < 2) return 0;
  const auto w = inits.find(consumer->inputs[1]);
  if (w == inits.end()) return 0;
  std::vector<int64_t> dims;
  hcTensorDims(w->second, dims);
  if (dims.size() != 4) return 0;
  int64_t group = 1;
  if (const auto g = gsAttribute(hcPayload(consumer->raw), "group"); g && gsAttrInt(*g) > 0) group = gsAttrInt(*g);
  if (dims[1] < 1 || dims[1] > kMaxChannels || group > kMaxChannels / dims[1]) return 0;
  return group * dims[1];
}

// Whether the per-channel [D, 1, 1] initializer nearest above the Resize (within four producers),
// when there is one, agrees with the channel count the consumer implies.
bool channelsAgreeUpstream(const std::vector<GsNodeInfo>& nodes, std::string value, int64_t channels,
                           const std::unordered_map<std::string, GsSlice>& inits) {
  std::unordered_map<std::string, const GsNodeInfo*> producer;
  for (const GsNodeInfo& n : nodes)
    for (const std::string& out : n.outputs) producer.emplace(out, &n);
  std::vector<int64_t> dims;
  for (int step = 0; step < 4; ++step) {
    const auto p = producer.find(value);
    if (p == producer.end()) return true;
    for (const std::string& in : p->second->inputs) {
      const auto init = inits.find(in);
      if (init == inits.end()) continue;
      hcTensorDims(init->second, dims);
      if (dims.size() == 3 && dims[1] == 1 && dims[2] == 1) return dims[0] == channels;
    }
    if (p->second->inputs.empty()) return true;
    value = p->second->inputs[0];
  }
  return true;
}

// The 5-tap windows of the two output phases: phase 0 (even outputs) sits at positions 0..3, phase
// 1 (odd) at 1..4.
std::array<std::array<float, kWindow>, 2> phaseWindows(double a) {
  std::array<std::array<float, kWindow>, 2> w{};
  const std::array<double, 4> even = hcTaps(0.75, a), odd = hcTaps(0.25, a);
  for (int k = 0; k < 4; ++k) {
    w[0][k] = static_cast<float>(even[k]);
    w[1][k + 1] = static_cast<float>(odd[k]);
  }
  return w;
}

// The node with op_type and domain replaced by Gemm's, as a GraphProto node field.
void putGemmNode(std::vector<uint8_t>& out, GsSlice node) {
  std::vector<uint8_t> n;
  n.reserve(node.n + 8);
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.number != kNodeOpType && f.number != kNodeDomain) gsPutRaw(n, f.raw);
  gsPutBytes(n, kNodeOpType, std::string("Gemm"));
  gsPutBytes(out, onnx_field::kGraphNode, n.data(), n.size());
}

}  // namespace

std::array<double, 4> hcTaps(double t, double a) {
  std::array<double, 4> w{keys(t + 1.0, a), keys(t, a), keys(1.0 - t, a), keys(2.0 - t, a)};
  const double sum = w[0] + w[1] + w[2] + w[3];
  for (double& x : w) x /= sum;
  return w;
}

bool gsIsStudentBlendMatMul(GsSlice node) {
  if (gsFirstStr(node, kNodeOpType) != "MatMul" || gsFirstStr(node, kNodeName) != "/s2/blend") return false;
  if (!gsStandardDomain(node)) return false;
  size_t inputs = 0;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number == kNodeAttribute) return false;
    if (f.number == kNodeInput && f.wire == kLen) ++inputs;
  }
  return inputs == 2;
}

size_t normaliseStudentBlend(std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(model);
  GsGraphEdit edit;
  size_t count = 0;
  GsReader r(graph);
  GsField f;
  for (size_t node = 0; r.next(f);) {
    if (f.number != onnx_field::kGraphNode || f.wire != kLen) continue;
    const size_t i = node++;
    if (!gsIsStudentBlendMatMul(f.payload)) continue;
    edit.replaceNode.resize(i + 1);
    putGemmNode(edit.replaceNode[i], f.payload);
    ++count;
  }
  if (count == 0) return 0;
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  model.swap(out);
  return count;
}

size_t rewriteHeadCubicResize(std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(model);
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> initNames, inputs;
  gsReadGraph(graph, nodes, initNames, inputs);

  std::unordered_map<std::string, GsSlice> constants;
  for (const GsNodeInfo& n : nodes)
    if (n.opType == "Constant" && n.outputs.size() == 1)
      constants.emplace(n.outputs[0], hcConstValue(hcPayload(n.raw)));
  size_t at = nodes.size(), candidates = 0;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (isCubicCandidate(nodes[i], constants)) ++candidates, at = i;
  // Two would leave the choice to us; the head has one.
  if (candidates != 1) return 0;
  const GsNodeInfo& resize = nodes[at];

  const std::unordered_map<std::string, GsSlice> inits = initializersOf(graph);
  const int64_t channels = channelsOfConsumer(nodes, resize.outputs[0], inits);
  if (channels < 1) return 0;
  if (!channelsAgreeUpstream(nodes, resize.inputs[0], channels, inits)) return 0;

  const double a = hcReadAttrs(hcPayload(resize.raw)).cubicCoeffA;
  const auto window = phaseWindows(a);
  const size_t c = static_cast<size_t>(channels);
  std::vector<float> weights(c * 4 * kWindow * kWindow);
  for (size_t ch = 0; ch < c; ++ch)
    for (int dy = 0; dy < 2; ++dy)
      for (int dx = 0; dx < 2; ++dx) {
        float* f = weights.data() + (ch * 4 + static_cast<size_t>(2 * dy + dx)) * kWindow * kWindow;
        for (int y = 0; y < kWindow; ++y)
          for (int x = 0; x < kWindow; ++x) f[y * kWindow + x] = window[dy][y] * window[dx][x];
      }

  std::string base = gsFirstStr(hcPayload(resize.raw), kNodeName);
  if (base.empty()) base = "/Resize";
  const std::string rz = "rz" + std::to_string(at);
  const std::string pads = rz + "_pads", dw = rz + "_dw_w", padOut = rz + "_padout", convOut = rz + "_convout";

  GsGraphEdit edit;
  // The scales Constant goes with the Resize when nothing else reads it.
  size_t scaleReaders = 0, scaleNode = nodes.size();
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (const std::string& in : nodes[i].inputs) scaleReaders += in == resize.inputs[2] ? 1 : 0;
    if (nodes[i].opType == "Constant" && nodes[i].outputs.size() == 1 && nodes[i].outputs[0] == resize.inputs[2])
      scaleNode = i;
  }
  if (scaleReaders == 1 && scaleNode < nodes.size()) {
    edit.dropNode.assign(nodes.size(), 0);
    edit.dropNode[scaleNode] = 1;
  }
  edit.replaceNode.resize(at + 1);
  std::vector<uint8_t>& repl = edit.replaceNode[at];
  std::vector<uint8_t> attrs;
  hcAttrS(attrs, "mode", "edge");
  hcNode(repl, "Pad", {resize.inputs[0], pads}, padOut, base + "/pad", attrs);
  attrs.clear();
  const int64_t ones[2] = {1, 1}, kernel[2] = {kWindow, kWindow}, zeros[4] = {0, 0, 0, 0};
  hcAttrIs(attrs, "dilations", ones, 2);
  hcAttrI(attrs, "group", channels);
  hcAttrIs(attrs, "kernel_shape", kernel, 2);
  hcAttrIs(attrs, "pads", zeros, 4);
  hcAttrIs(attrs, "strides", ones, 2);
  hcNode(repl, "Conv", {padOut, dw}, convOut, base + "/dwconv", attrs);
  attrs.clear();
  hcAttrI(attrs, "blocksize", 2);
  hcAttrS(attrs, "mode", "CRD");
  hcNode(repl, "DepthToSpace", {convOut}, resize.outputs[0], base + "/d2s", attrs);

  const int64_t padValues[8] = {0, 0, 2, 2, 0, 0, 2, 2};
  hcInit(edit.appendGraph, pads, {8}, onnx_field::kInt64, padValues, sizeof padValues);
  hcInit(edit.appendGraph, dw, {channels * 4, 1, kWindow, kWindow}, onnx_field::kFloat, weights.data(),
         weights.size() * sizeof(float));

  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  model.swap(out);
  return 1;
}

}  // namespace vesk
