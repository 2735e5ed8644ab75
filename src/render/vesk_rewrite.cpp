#include "render/vesk_rewrite.h"

#include <optional>
#include <string>

namespace vesk {

namespace {

constexpr const char* kZentrova = "com.zentrova";
constexpr uint32_t kLen = 2;
// NodeProto and AttributeProto fields.
constexpr uint32_t kNodeOpType = 4;
constexpr uint32_t kNodeAttribute = 5;
constexpr uint32_t kNodeDomain = 7;
constexpr uint32_t kAttrName = 1;
constexpr uint32_t kAttrInt = 3;
constexpr uint32_t kAttrString = 4;

bool standardDomain(GsSlice node) {
  const std::string d = gsFirstStr(node, kNodeDomain);
  return d.empty() || d == "ai.onnx";
}

// The first attribute of that name (an AttributeProto payload); nothing when the node has none.
std::optional<GsSlice> attribute(GsSlice node, const char* name) {
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.number == kNodeAttribute && f.wire == kLen && gsFirstStr(f.payload, kAttrName) == name) return f.payload;
  return std::nullopt;
}

int64_t attrInt(GsSlice attr) {
  GsReader r(attr);
  GsField f;
  while (r.next(f))
    if (f.number == kAttrInt && f.wire == 0) return static_cast<int64_t>(f.value);
  return 0;
}

// The node with op_type, domain and every attribute dropped and the fast operator's op_type and
// domain appended, as a GraphProto node field.
void putFastNode(std::vector<uint8_t>& out, GsSlice node) {
  std::vector<uint8_t> n;
  n.reserve(node.n + 32);
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.number != kNodeOpType && f.number != kNodeDomain && f.number != kNodeAttribute) gsPutRaw(n, f.raw);
  gsPutBytes(n, kNodeOpType, std::string("GridSampleFast"));
  gsPutBytes(n, kNodeDomain, std::string(kZentrova));
  gsPutBytes(out, onnx_field::kGraphNode, n.data(), n.size());
}

bool importsZentrova(GsSlice model) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.number == onnx_field::kModelOpsetImport && f.wire == kLen && gsFirstStr(f.payload, 1) == kZentrova)
      return true;
  return false;
}

}  // namespace

bool gsIsRewritableGridSample(GsSlice node) {
  if (gsFirstStr(node, kNodeOpType) != "GridSample" || !standardDomain(node)) return false;
  // ONNX Runtime's default mode is bilinear too, but a graph that does not state it is not one we
  // have seen the exporter write, so it keeps the standard kernel.
  const std::optional<GsSlice> mode = attribute(node, "mode");
  if (!mode) return false;
  const std::string m = gsFirstStr(*mode, kAttrString);
  if (m != "bilinear" && m != "linear") return false;
  const std::optional<GsSlice> padding = attribute(node, "padding_mode");
  if (!padding || gsFirstStr(*padding, kAttrString) != "border") return false;
  const std::optional<GsSlice> align = attribute(node, "align_corners");
  return !align || attrInt(*align) == 0;
}

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model) {
  const GsSlice bytes(model);
  const GsSlice graph = gsGraphOf(bytes);

  // The rewritten nodes first, so the graph's new length is known before its bytes are copied once.
  std::vector<std::vector<uint8_t>> fast;
  size_t graphLen = 0;
  {
    GsReader r(graph);
    GsField f;
    while (r.next(f)) {
      if (f.number == onnx_field::kGraphNode && f.wire == kLen && gsIsRewritableGridSample(f.payload)) {
        putFastNode(fast.emplace_back(), f.payload);
        graphLen += fast.back().size();
      } else {
        graphLen += f.raw.n;
      }
    }
  }
  const size_t count = fast.size();
  if (count == 0) return 0;

  std::vector<uint8_t> out;
  out.reserve(model.size() + 64 * count + 64);
  bool rebuilt = false;
  GsReader r(bytes);
  GsField f;
  while (r.next(f)) {
    if (rebuilt || f.number != onnx_field::kModelGraph || f.wire != kLen) {
      gsPutRaw(out, f.raw);
      continue;
    }
    rebuilt = true;
    gsPutVarint(out, (static_cast<uint64_t>(onnx_field::kModelGraph) << 3) | kLen);
    gsPutVarint(out, graphLen);
    size_t k = 0;
    GsReader gr(graph);
    GsField g;
    while (gr.next(g)) {
      if (g.number == onnx_field::kGraphNode && g.wire == kLen && gsIsRewritableGridSample(g.payload))
        gsPutRaw(out, fast[k++]);
      else
        gsPutRaw(out, g.raw);
    }
  }
  if (!importsZentrova(bytes)) {
    std::vector<uint8_t> opset;
    gsPutBytes(opset, 1, std::string(kZentrova));
    gsPutVarintField(opset, 2, 1);
    gsPutBytes(out, onnx_field::kModelOpsetImport, opset.data(), opset.size());
  }
  model.swap(out);
  return count;
}

}  // namespace vesk
