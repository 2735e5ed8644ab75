// A small protobuf codec over ONNX model bytes, for the load-time graph work that must not drag in a
// protobuf or ONNX library. Nothing is decoded into objects: readers hand out borrowed slices of the
// bytes they were given (valid as long as those bytes are), and writers append encoded fields to a
// byte vector, so a rewrite copies every field it does not touch verbatim.
//
// Failures: malformed wire bytes throw std::runtime_error with "onnx: bad varint" (a varint longer
// than 10 bytes or cut off by the end of its range), "onnx: truncated" (a length or a fixed-size
// value running past the end of its range) or "onnx: bad wire type" (3, 4, 6 or 7). A field that is
// simply absent is never an error: lookups give an empty result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace vesk {

// A borrowed byte range inside the model bytes.
struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;

  GsSlice() = default;
  GsSlice(const uint8_t* data, size_t len) : p(data), n(len) {}
  GsSlice(const std::vector<uint8_t>& bytes) : p(bytes.data()), n(bytes.size()) {}  // NOLINT: a view of it
  bool empty() const { return n == 0; }
  std::string str() const { return n == 0 ? std::string() : std::string(reinterpret_cast<const char*>(p), n); }
};

// One field as read.
struct GsField {
  uint32_t number = 0;  // field numbers past 32 bits read as UINT32_MAX, so they alias no real field
  uint32_t wire = 0;
  uint64_t value = 0;  // wire type 0: the varint; 1 and 5: the little-endian fixed value
  GsSlice payload;     // wire type 2: the bytes after the length
  GsSlice raw;         // the whole field from its first tag byte, to copy it verbatim
};

// A forward-only cursor over one message's fields. Reading never copies.
class GsReader {
 public:
  explicit GsReader(GsSlice s) : pos_(s.p), end_(s.p + s.n) {}
  // The next field into f; false at the end of the range. Throws on malformed bytes.
  bool next(GsField& f);

 private:
  const uint8_t* pos_;
  const uint8_t* end_;
};

// One graph node as gsReadGraph sees it. Empty input names (omitted optional inputs) stay in place.
struct GsNodeInfo {
  GsSlice raw;  // the whole GraphProto node field, tag included
  std::string opType;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

// What gsRebuild changes in the graph.
struct GsGraphEdit {
  std::vector<uint8_t> dropNode;  // one byte per node field in node order; non-zero drops it, missing keeps
  bool dropPrgb = false;          // leave out the P_rgb graph input
  bool onlyPrgb = false;          // keep P_rgb as the only graph input (ignored when dropPrgb is set)
  bool dropOutputs = false;       // leave out every graph output
  // A value info to append (gsPutTensorValueInfo) when newName is non-empty and newField non-zero; a
  // value_info of the same name already in the graph is left out.
  std::string newName;
  std::vector<int64_t> newDims;
  uint32_t newField = 0;  // 11: graph input, 12: graph output
  // Per node index: when non-empty, these already encoded graph fields (any number of nodes) stand
  // where the node stood, so a replacement keeps the graph's topological order.
  std::vector<std::vector<uint8_t>> replaceNode;
  std::unordered_set<std::string> dropInitializers;  // initializers (by name) left out
  std::vector<uint8_t> appendGraph;  // encoded graph fields after all the others (new initializers)
  std::vector<uint8_t> appendModel;  // encoded model fields after all the others (an opset import)
};

// The Resize attributes the head rewrite looks at; absent ones stay unset.
struct HcAttrs {
  std::string mode;
  std::optional<int64_t> antialias;
  float cubicCoeffA = -0.75f;
  std::optional<int64_t> excludeOutside;
  std::optional<std::vector<int64_t>> axes;
  std::optional<std::string> keepAspectRatioPolicy;
  std::string coordinateTransformationMode;
};

// ONNX numbers the rewrites write and compare against.
namespace onnx_field {
inline constexpr uint32_t kModelGraph = 7;
inline constexpr uint32_t kModelOpsetImport = 8;
inline constexpr uint32_t kGraphNode = 1;
inline constexpr uint32_t kGraphInitializer = 5;
inline constexpr uint32_t kGraphInput = 11;
inline constexpr uint32_t kGraphOutput = 12;
inline constexpr uint32_t kGraphValueInfo = 13;
inline constexpr int32_t kFloat = 1;  // TensorProto data types
inline constexpr int32_t kInt64 = 7;
}  // namespace onnx_field

// --- Reading. Every slice argument is a message's own bytes (a payload), unless it says otherwise.

// The payload of the model's first field 7 (the graph); empty when there is none.
GsSlice gsGraphOf(GsSlice model);
// The payload of the first length-delimited field `field` of the message; empty when absent.
GsSlice gsFirst(GsSlice msg, uint32_t field);
// The same as a string.
std::string gsFirstStr(GsSlice msg, uint32_t field);
// Every length-delimited field `field` of the message, in order, replacing out's contents.
void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out);
// The payload of the one field that `field` (a raw extent) holds; empty unless it is exactly one
// length-delimited field.
GsSlice hcPayload(GsSlice field);
// The graph's nodes in order, its initializer names and its graph input names (empty names left
// out); the three containers are cleared first.
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::unordered_set<std::string>& inits,
                 std::unordered_set<std::string>& inputs);
// The dims of graph input `name` into dims[0..cap) (-1 for a symbolic or unknown dim) and their count
// in count, which may exceed cap; false when the graph has no such input or it is not a tensor.
bool ldInputDims(GsSlice graph, const std::string& name, int64_t* dims, size_t cap, size_t& count);
// A TensorProto's dims, from varint fields and packed fields alike, replacing out's contents.
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& dims);
// The values of a FLOAT TensorProto: raw_data when present, else float_data. False, with out empty,
// for another data type, an unset one, no values, or raw_data that is not whole floats.
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);
// The TensorProto of a Constant node's "value" attribute (node: a NodeProto payload); empty when the
// node is no Constant or has none.
GsSlice hcConstValue(GsSlice node);
// A Resize node's attributes (node: a NodeProto payload).
HcAttrs hcReadAttrs(GsSlice node);
// A node's first attribute of that name (an AttributeProto payload); nothing when it has none.
std::optional<GsSlice> gsAttribute(GsSlice node, const char* name);
// An AttributeProto's INT value (0 when it holds none).
int64_t gsAttrInt(GsSlice attr);
// Whether a node's domain is the standard one: absent, empty or "ai.onnx".
bool gsStandardDomain(GsSlice node);
// Whether the model imports an opset of that domain.
bool gsImportsDomain(GsSlice model, const std::string& domain);
// A ModelProto opset import field (domain, version).
void gsPutOpsetImport(std::vector<uint8_t>& out, const std::string& domain, int64_t version);

// --- Writing: each appends to out.

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v);
// Tag (field << 3 | 0) and v.
void gsPutVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t v);
// Tag (field << 3 | 2), the length and the bytes.
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* data, size_t len);
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const std::string& s);
void gsPutRaw(std::vector<uint8_t>& out, GsSlice s);
// NodeProto attribute fields (field 5): an INT, an INTS (one ints field per value), a STRING.
void hcAttrI(std::vector<uint8_t>& out, const std::string& name, int64_t v);
void hcAttrIs(std::vector<uint8_t>& out, const std::string& name, const int64_t* values, size_t n);
void hcAttrS(std::vector<uint8_t>& out, const std::string& name, const std::string& text);
// A GraphProto node field in the standard domain; attrs are already encoded attribute fields.
void hcNode(std::vector<uint8_t>& out, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const std::vector<uint8_t>& attrs);
// A GraphProto initializer field holding bytes as raw_data.
void hcInit(std::vector<uint8_t>& out, const std::string& name, const std::vector<int64_t>& dims, int32_t dataType,
            const void* bytes, size_t len);
// A FLOAT tensor ValueInfoProto as field `field`: positive dims as dim_value, the others as the
// symbolic dim "vesk_hoist_d<index>".
void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, const std::string& name, const int64_t* dims,
                          size_t n);

// The model copied into out with its first graph field's payload replaced by `graph`; every other
// field is copied byte for byte.
void gsReplaceGraph(GsSlice model, const std::vector<uint8_t>& graph, std::vector<uint8_t>& out);

// The model copied into out with its first graph field rebuilt as `edit` says, in place; every
// other field, in the model and in the graph, is copied byte for byte in the order it stands.
void gsRebuild(GsSlice model, const GsGraphEdit& edit, std::vector<uint8_t>& out);

}  // namespace vesk
