#include "render/vesk_onnx.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace vesk {

static_assert(std::endian::native == std::endian::little, "raw tensor data is read in place as little-endian");

namespace {

constexpr uint32_t kVarint = 0;
constexpr uint32_t kFixed64 = 1;
constexpr uint32_t kLen = 2;
constexpr uint32_t kFixed32 = 5;
constexpr int kMaxVarintBytes = 10;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

// A varint at pos, which moves past it. Bits beyond 64 in the tenth byte are dropped, as protobuf
// itself does.
uint64_t readVarint(const uint8_t*& pos, const uint8_t* end) {
  uint64_t v = 0;
  for (int i = 0; i < kMaxVarintBytes; ++i) {
    if (pos == end) fail("onnx: bad varint");
    const uint8_t b = *pos++;
    v |= static_cast<uint64_t>(b & 0x7f) << (7 * i);
    if ((b & 0x80) == 0) return v;
  }
  fail("onnx: bad varint");
}

uint64_t readFixed(const uint8_t*& pos, const uint8_t* end, size_t bytes) {
  if (static_cast<size_t>(end - pos) < bytes) fail("onnx: truncated");
  uint64_t v = 0;
  std::memcpy(&v, pos, bytes);
  pos += bytes;
  return v;
}

// Every varint of a packed repeated field.
void readPacked(GsSlice s, std::vector<int64_t>& out) {
  const uint8_t* pos = s.p;
  const uint8_t* end = s.p + s.n;
  while (pos != end) out.push_back(static_cast<int64_t>(readVarint(pos, end)));
}

// The first varint field `field` of the message.
std::optional<uint64_t> firstVarint(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wire == kVarint) return f.value;
  return std::nullopt;
}

void putTag(std::vector<uint8_t>& out, uint32_t field, uint32_t wire) {
  gsPutVarint(out, (static_cast<uint64_t>(field) << 3) | wire);
}

// The attribute's i (0 when it has none).
int64_t attrInt(GsSlice attr) { return static_cast<int64_t>(firstVarint(attr, 3).value_or(0)); }

std::vector<int64_t> attrInts(GsSlice attr) {
  std::vector<int64_t> v;
  GsReader r(attr);
  GsField f;
  while (r.next(f)) {
    if (f.number != 8) continue;
    if (f.wire == kVarint) v.push_back(static_cast<int64_t>(f.value));
    if (f.wire == kLen) readPacked(f.payload, v);
  }
  return v;
}

// Whether gsRebuild keeps graph field g as it is; node counts the node fields seen so far, and
// *replacement is set to a node's replacement (which is written instead of it).
bool keepGraphField(const GsField& g, const GsGraphEdit& edit, size_t& node,
                    const std::vector<uint8_t>** replacement) {
  *replacement = nullptr;
  if (g.wire != kLen) return true;
  switch (g.number) {
    case onnx_field::kGraphNode: {
      const size_t i = node++;
      if (i < edit.replaceNode.size() && !edit.replaceNode[i].empty()) {
        *replacement = &edit.replaceNode[i];
        return false;
      }
      return i >= edit.dropNode.size() || edit.dropNode[i] == 0;
    }
    case onnx_field::kGraphInput: {
      const bool isPrgb = gsFirstStr(g.payload, 1) == "P_rgb";
      return edit.dropPrgb ? !isPrgb : (!edit.onlyPrgb || isPrgb);
    }
    case onnx_field::kGraphOutput:
      return !edit.dropOutputs;
    case onnx_field::kGraphInitializer:
      return edit.dropInitializers.empty() || edit.dropInitializers.count(gsFirstStr(g.payload, 8)) == 0;
    case onnx_field::kGraphValueInfo:
      return edit.newName.empty() || gsFirstStr(g.payload, 1) != edit.newName;
    default:
      return true;
  }
}

}  // namespace

bool GsReader::next(GsField& f) {
  if (pos_ == end_) return false;
  const uint8_t* start = pos_;
  const uint64_t tag = readVarint(pos_, end_);
  const uint64_t number = tag >> 3;
  f.number = number > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                           : static_cast<uint32_t>(number);
  f.wire = static_cast<uint32_t>(tag & 7);
  f.value = 0;
  f.payload = {};
  switch (f.wire) {
    case kVarint:
      f.value = readVarint(pos_, end_);
      break;
    case kFixed64:
      f.value = readFixed(pos_, end_, 8);
      break;
    case kFixed32:
      f.value = readFixed(pos_, end_, 4);
      break;
    case kLen: {
      const uint64_t len = readVarint(pos_, end_);
      if (len > static_cast<uint64_t>(end_ - pos_)) fail("onnx: truncated");
      f.payload = {pos_, static_cast<size_t>(len)};
      pos_ += len;
      break;
    }
    default:
      fail("onnx: bad wire type");
  }
  f.raw = {start, static_cast<size_t>(pos_ - start)};
  return true;
}

GsSlice gsGraphOf(GsSlice model) { return gsFirst(model, onnx_field::kModelGraph); }

GsSlice gsFirst(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wire == kLen) return f.payload;
  return {};
}

std::string gsFirstStr(GsSlice msg, uint32_t field) { return gsFirst(msg, field).str(); }

void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out) {
  out.clear();
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wire == kLen) out.push_back(f.payload.str());
}

GsSlice hcPayload(GsSlice field) {
  GsReader r(field);
  GsField f;
  if (!r.next(f) || f.wire != kLen || f.raw.n != field.n) return {};
  return f.payload;
}

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::unordered_set<std::string>& inits,
                 std::unordered_set<std::string>& inputs) {
  nodes.clear();
  inits.clear();
  inputs.clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != kLen) continue;
    if (f.number == onnx_field::kGraphNode) {
      GsNodeInfo& n = nodes.emplace_back();
      n.raw = f.raw;
      GsReader nr(f.payload);
      GsField nf;
      bool haveOp = false;
      while (nr.next(nf)) {
        if (nf.wire != kLen) continue;
        if (nf.number == 1) n.inputs.push_back(nf.payload.str());
        if (nf.number == 2) n.outputs.push_back(nf.payload.str());
        if (nf.number == 4 && !haveOp) n.opType = nf.payload.str(), haveOp = true;
      }
    } else if (f.number == onnx_field::kGraphInitializer) {
      std::string name = gsFirstStr(f.payload, 8);
      if (!name.empty()) inits.insert(std::move(name));
    } else if (f.number == onnx_field::kGraphInput) {
      std::string name = gsFirstStr(f.payload, 1);
      if (!name.empty()) inputs.insert(std::move(name));
    }
  }
}

bool ldInputDims(GsSlice graph, const std::string& name, int64_t* dims, size_t cap, size_t& count) {
  count = 0;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.number != onnx_field::kGraphInput || f.wire != kLen || gsFirstStr(f.payload, 1) != name) continue;
    const GsSlice tensor = gsFirst(gsFirst(f.payload, 2), 1);  // ValueInfoProto.type, TypeProto.tensor_type
    if (tensor.empty()) return false;
    GsReader dr(gsFirst(tensor, 2));  // the shape's dims
    GsField d;
    while (dr.next(d)) {
      if (d.number != 1 || d.wire != kLen) continue;
      const std::optional<uint64_t> v = firstVarint(d.payload, 1);
      if (count < cap) dims[count] = v ? static_cast<int64_t>(*v) : -1;
      ++count;
    }
    return true;
  }
  return false;
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& dims) {
  dims.clear();
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number != 1) continue;
    if (f.wire == kVarint) dims.push_back(static_cast<int64_t>(f.value));
    if (f.wire == kLen) readPacked(f.payload, dims);
  }
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  out.clear();
  if (firstVarint(tensor, 2).value_or(0) != static_cast<uint64_t>(onnx_field::kFloat)) return false;
  bool haveRaw = false;
  GsSlice raw;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number == 9 && f.wire == kLen && !haveRaw) {
      raw = f.payload;
      haveRaw = true;
    } else if (f.number == 4 && f.wire == kLen) {
      if (f.payload.n % sizeof(float) != 0) fail("onnx: truncated");
      const size_t at = out.size();
      out.resize(at + f.payload.n / sizeof(float));
      if (f.payload.n != 0) std::memcpy(out.data() + at, f.payload.p, f.payload.n);
    } else if (f.number == 4 && f.wire == kFixed32) {
      out.push_back(std::bit_cast<float>(static_cast<uint32_t>(f.value)));
    }
  }
  if (haveRaw) {
    out.clear();
    if (raw.n % sizeof(float) != 0) return false;
    out.resize(raw.n / sizeof(float));
    if (raw.n != 0) std::memcpy(out.data(), raw.p, raw.n);
  }
  return !out.empty();
}

GsSlice hcConstValue(GsSlice node) {
  if (gsFirstStr(node, 4) != "Constant") return {};
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.number == 5 && f.wire == kLen && gsFirstStr(f.payload, 1) == "value") return gsFirst(f.payload, 5);
  return {};
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs a;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != 5 || f.wire != kLen) continue;
    const GsSlice attr = f.payload;
    const std::string name = gsFirstStr(attr, 1);
    if (name == "mode") {
      a.mode = gsFirstStr(attr, 4);
    } else if (name == "antialias") {
      a.antialias = attrInt(attr);
    } else if (name == "cubic_coeff_a") {
      GsReader ar(attr);
      GsField af;
      while (ar.next(af))
        if (af.number == 2 && af.wire == kFixed32) {
          a.cubicCoeffA = std::bit_cast<float>(static_cast<uint32_t>(af.value));
          break;
        }
    } else if (name == "exclude_outside") {
      a.excludeOutside = attrInt(attr);
    } else if (name == "axes") {
      a.axes = attrInts(attr);
    } else if (name == "keep_aspect_ratio_policy") {
      a.keepAspectRatioPolicy = gsFirstStr(attr, 4);
    } else if (name == "coordinate_transformation_mode") {
      a.coordinateTransformationMode = gsFirstStr(attr, 4);
    }
  }
  return a;
}

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

void gsPutVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t v) {
  putTag(out, field, kVarint);
  gsPutVarint(out, v);
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* data, size_t len) {
  putTag(out, field, kLen);
  gsPutVarint(out, len);
  const auto* b = static_cast<const uint8_t*>(data);
  if (len != 0) out.insert(out.end(), b, b + len);
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const std::string& s) {
  gsPutBytes(out, field, s.data(), s.size());
}

void gsPutRaw(std::vector<uint8_t>& out, GsSlice s) {
  if (s.n != 0) out.insert(out.end(), s.p, s.p + s.n);
}

void hcAttrI(std::vector<uint8_t>& out, const std::string& name, int64_t v) {
  std::vector<uint8_t> a;
  gsPutBytes(a, 1, name);
  gsPutVarintField(a, 3, static_cast<uint64_t>(v));
  gsPutVarintField(a, 20, 2);  // INT
  gsPutBytes(out, 5, a.data(), a.size());
}

void hcAttrIs(std::vector<uint8_t>& out, const std::string& name, const int64_t* values, size_t n) {
  std::vector<uint8_t> a;
  gsPutBytes(a, 1, name);
  for (size_t i = 0; i < n; ++i) gsPutVarintField(a, 8, static_cast<uint64_t>(values[i]));
  gsPutVarintField(a, 20, 7);  // INTS
  gsPutBytes(out, 5, a.data(), a.size());
}

void hcAttrS(std::vector<uint8_t>& out, const std::string& name, const std::string& text) {
  std::vector<uint8_t> a;
  gsPutBytes(a, 1, name);
  gsPutBytes(a, 4, text);
  gsPutVarintField(a, 20, 3);  // STRING
  gsPutBytes(out, 5, a.data(), a.size());
}

void hcNode(std::vector<uint8_t>& out, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const std::vector<uint8_t>& attrs) {
  std::vector<uint8_t> n;
  for (const std::string& in : inputs) gsPutBytes(n, 1, in);
  gsPutBytes(n, 2, output);
  gsPutBytes(n, 3, name);
  gsPutBytes(n, 4, opType);
  gsPutRaw(n, attrs);
  gsPutBytes(out, onnx_field::kGraphNode, n.data(), n.size());
}

void hcInit(std::vector<uint8_t>& out, const std::string& name, const std::vector<int64_t>& dims, int32_t dataType,
            const void* bytes, size_t len) {
  std::vector<uint8_t> t;
  t.reserve(len + name.size() + 16 * dims.size() + 32);
  for (int64_t d : dims) gsPutVarintField(t, 1, static_cast<uint64_t>(d));
  gsPutVarintField(t, 2, static_cast<uint64_t>(static_cast<int64_t>(dataType)));
  gsPutBytes(t, 8, name);
  gsPutBytes(t, 9, bytes, len);
  gsPutBytes(out, onnx_field::kGraphInitializer, t.data(), t.size());
}

void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, const std::string& name, const int64_t* dims,
                          size_t n) {
  std::vector<uint8_t> shape;
  for (size_t i = 0; i < n; ++i) {
    std::vector<uint8_t> dim;
    if (dims[i] > 0) {
      gsPutVarintField(dim, 1, static_cast<uint64_t>(dims[i]));
    } else {
      char param[32];
      std::snprintf(param, sizeof param, "vesk_hoist_d%u", static_cast<unsigned>(i));
      gsPutBytes(dim, 2, std::string(param));
    }
    gsPutBytes(shape, 1, dim.data(), dim.size());
  }
  std::vector<uint8_t> tensor;
  gsPutVarintField(tensor, 1, static_cast<uint64_t>(onnx_field::kFloat));
  gsPutBytes(tensor, 2, shape.data(), shape.size());
  std::vector<uint8_t> type;
  gsPutBytes(type, 1, tensor.data(), tensor.size());
  std::vector<uint8_t> vi;
  gsPutBytes(vi, 1, name);
  gsPutBytes(vi, 2, type.data(), type.size());
  gsPutBytes(out, field, vi.data(), vi.size());
}

void gsReplaceGraph(GsSlice model, const std::vector<uint8_t>& graph, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(model.n + graph.size() + 64);
  bool replaced = false;
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (replaced || f.number != onnx_field::kModelGraph || f.wire != kLen) {
      gsPutRaw(out, f.raw);
      continue;
    }
    replaced = true;
    gsPutBytes(out, onnx_field::kModelGraph, graph.data(), graph.size());
  }
}

void gsRebuild(GsSlice model, const GsGraphEdit& edit, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(model.n + 256);
  std::vector<uint8_t> added;
  if (!edit.newName.empty() && edit.newField != 0)
    gsPutTensorValueInfo(added, edit.newField, edit.newName, edit.newDims.data(), edit.newDims.size());
  bool rebuilt = false;
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (rebuilt || f.number != onnx_field::kModelGraph || f.wire != kLen) {
      gsPutRaw(out, f.raw);
      continue;
    }
    rebuilt = true;
    // Two walks over the graph's field headers, the first only to learn the new length, so the
    // kept bytes are copied once, straight into place.
    size_t len = added.size() + edit.appendGraph.size();
    size_t node = 0;
    GsField g;
    const std::vector<uint8_t>* replacement = nullptr;
    for (GsReader gr(f.payload); gr.next(g);) {
      if (keepGraphField(g, edit, node, &replacement))
        len += g.raw.n;
      else if (replacement != nullptr)
        len += replacement->size();
    }
    putTag(out, onnx_field::kModelGraph, kLen);
    gsPutVarint(out, len);
    node = 0;
    for (GsReader gr(f.payload); gr.next(g);) {
      if (keepGraphField(g, edit, node, &replacement))
        gsPutRaw(out, g.raw);
      else if (replacement != nullptr)
        gsPutRaw(out, *replacement);
    }
    gsPutRaw(out, added);
    gsPutRaw(out, edit.appendGraph);
  }
  gsPutRaw(out, edit.appendModel);
}

std::optional<GsSlice> gsAttribute(GsSlice node, const char* name) {
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.number == 5 && f.wire == kLen && gsFirstStr(f.payload, 1) == name) return f.payload;
  return std::nullopt;
}

int64_t gsAttrInt(GsSlice attr) { return attrInt(attr); }

bool gsStandardDomain(GsSlice node) {
  const std::string d = gsFirstStr(node, 7);
  return d.empty() || d == "ai.onnx";
}

bool gsImportsDomain(GsSlice model, const std::string& domain) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.number == onnx_field::kModelOpsetImport && f.wire == kLen && gsFirstStr(f.payload, 1) == domain) return true;
  return false;
}

void gsPutOpsetImport(std::vector<uint8_t>& out, const std::string& domain, int64_t version) {
  std::vector<uint8_t> opset;
  gsPutBytes(opset, 1, domain);
  gsPutVarintField(opset, 2, static_cast<uint64_t>(version));
  gsPutBytes(out, onnx_field::kModelOpsetImport, opset.data(), opset.size());
}

}  // namespace vesk
