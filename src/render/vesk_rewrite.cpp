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
constexpr uint32_t kAttrString = 4;

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

}  // namespace

bool gsIsRewritableGridSample(GsSlice node) {
  if (gsFirstStr(node, kNodeOpType) != "GridSample" || !gsStandardDomain(node)) return false;
  // ONNX Runtime's default mode is bilinear too, but a graph that does not state it is not one we
  // have seen the exporter write, so it keeps the standard kernel.
  const std::optional<GsSlice> mode = gsAttribute(node, "mode");
  if (!mode) return false;
  const std::string m = gsFirstStr(*mode, kAttrString);
  if (m != "bilinear" && m != "linear") return false;
  const std::optional<GsSlice> padding = gsAttribute(node, "padding_mode");
  if (!padding || gsFirstStr(*padding, kAttrString) != "border") return false;
  const std::optional<GsSlice> align = gsAttribute(node, "align_corners");
  return !align || gsAttrInt(*align) == 0;
}

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model) {
  GsGraphEdit edit;
  size_t count = 0;
  GsReader r(gsGraphOf(model));
  GsField f;
  for (size_t node = 0; r.next(f);) {
    if (f.number != onnx_field::kGraphNode || f.wire != kLen) continue;
    const size_t i = node++;
    if (!gsIsRewritableGridSample(f.payload)) continue;
    edit.replaceNode.resize(i + 1);
    putFastNode(edit.replaceNode[i], f.payload);
    ++count;
  }
  if (count == 0) return 0;
  if (!gsImportsDomain(model, kZentrova)) gsPutOpsetImport(edit.appendModel, kZentrova, 1);
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  model.swap(out);
  return count;
}

}  // namespace vesk
