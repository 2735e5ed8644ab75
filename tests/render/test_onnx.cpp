// The protobuf codec over ONNX model bytes: its refusals of malformed wire bytes, the exact bytes of
// its writers, and the generated directors read, copied and cut by it and then run by ONNX Runtime.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/vesk_ort.h"
#include "generated_bundles.h"
#include "render/vesk_onnx.h"
#include "model_session.h"

using vesk::GsField;
using vesk::GsGraphEdit;
using vesk::GsNodeInfo;
using vesk::GsReader;
using vesk::GsSlice;
using vesk::test::bundleDir;
using vesk::test::errorOf;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::initializer_list<int> b) {
  Bytes out;
  for (int v : b) out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes readModel(const std::string& path) {
  const std::string s = vesk::test::readFile(path);
  if (s.empty()) throw std::runtime_error("cannot read " + path);
  return Bytes(s.begin(), s.end());
}

// Every field of the range, in order; the first malformed one throws.
std::vector<GsField> fieldsOf(const Bytes& b) {
  std::vector<GsField> out;
  GsReader r{GsSlice(b)};
  GsField f;
  while (r.next(f)) out.push_back(f);
  return out;
}

std::string smallModel(const std::string& key) { return bundleDir("small") + "/model_" + key + ".onnx"; }

// --- The reader's refusals.

TEST(OnnxReader, VarintsUpToTenBytesAndNoLonger) {
  // Field 1, varint: the largest value takes exactly ten bytes.
  const Bytes ten = bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01});
  const std::vector<GsField> f = fieldsOf(ten);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].number, 1u);
  EXPECT_EQ(f[0].wire, 0u);
  EXPECT_EQ(f[0].value, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(f[0].raw.p, ten.data());
  EXPECT_EQ(f[0].raw.n, ten.size());

  // An eleventh byte, in the value and in the tag.
  EXPECT_EQ(errorOf([] {
              fieldsOf(bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x81, 0x01}));
            }),
            "onnx: bad varint");
  EXPECT_EQ(errorOf([] {
              fieldsOf(bytes({0x88, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}));
            }),
            "onnx: bad varint");
  // Cut off by the end of the range: a tag, a value, a length.
  EXPECT_EQ(errorOf([] { fieldsOf(bytes({0x80})); }), "onnx: bad varint");
  EXPECT_EQ(errorOf([] { fieldsOf(bytes({0x08})); }), "onnx: bad varint");
  EXPECT_EQ(errorOf([] { fieldsOf(bytes({0x08, 0x96})); }), "onnx: bad varint");
  EXPECT_EQ(errorOf([] { fieldsOf(bytes({0x0a, 0x80})); }), "onnx: bad varint");
  // A well-formed field before the bad one is still read first.
  const Bytes tail = bytes({0x08, 0x01, 0x10});
  GsReader r{GsSlice(tail)};
  GsField g;
  ASSERT_TRUE(r.next(g));
  EXPECT_EQ(g.value, 1u);
  EXPECT_EQ(errorOf([&] { r.next(g); }), "onnx: bad varint");
}

TEST(OnnxReader, LengthsAndFixedValuesPastTheEnd) {
  // Length-delimited: 3 bytes promised, 2 there; a length near 2^64 must not wrap the bound.
  EXPECT_EQ(errorOf([] { fieldsOf(bytes({0x0a, 0x03, 0x61, 0x62})); }), "onnx: truncated");
  EXPECT_EQ(errorOf([] {
              fieldsOf(bytes({0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 0x61}));
            }),
            "onnx: truncated");
  // Fixed 64 with 7 bytes left, fixed 32 with 3.
  EXPECT_EQ(errorOf([] { fieldsOf(bytes({0x09, 1, 2, 3, 4, 5, 6, 7})); }), "onnx: truncated");
  EXPECT_EQ(errorOf([] { fieldsOf(bytes({0x0d, 1, 2, 3})); }), "onnx: truncated");

  // Exactly enough is fine, and the fixed values read little-endian.
  const Bytes ok =
      bytes({0x09, 1, 2, 3, 4, 5, 6, 7, 8, 0x15, 0x00, 0x00, 0x80, 0x3f, 0x1a, 0x02, 0x68, 0x69, 0x22, 0x00});
  const std::vector<GsField> f = fieldsOf(ok);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].wire, 1u);
  EXPECT_EQ(f[0].value, 0x0807060504030201ull);
  EXPECT_EQ(f[0].raw.n, 9u);
  EXPECT_EQ(f[1].number, 2u);
  EXPECT_EQ(f[1].wire, 5u);
  EXPECT_EQ(f[1].value, 0x3f800000u);
  EXPECT_EQ(f[2].number, 3u);
  EXPECT_EQ(f[2].payload.str(), "hi");
  EXPECT_EQ(f[2].payload.p, ok.data() + 16);
  EXPECT_EQ(f[2].raw.p, ok.data() + 14);
  EXPECT_EQ(f[2].raw.n, 4u);
  EXPECT_EQ(f[3].number, 4u);
  EXPECT_TRUE(f[3].payload.empty());
  EXPECT_TRUE(fieldsOf(Bytes{}).empty());
}

TEST(OnnxReader, WireTypesThreeFourSixSevenAreRefused) {
  for (int wire : {3, 4, 6, 7}) {
    SCOPED_TRACE(wire);
    EXPECT_EQ(errorOf([&] { fieldsOf(bytes({0x08 | wire, 0x00, 0x00})); }), "onnx: bad wire type");
    // Behind a good field too.
    EXPECT_EQ(errorOf([&] { fieldsOf(bytes({0x08, 0x01, 0x10 | wire})); }), "onnx: bad wire type");
  }
}

TEST(OnnxReader, LookupsSurfaceMalformedBytesAndNeverInventFields) {
  // A model whose graph field promises more than there is.
  const Bytes cut = bytes({0x08, 0x08, 0x3a, 0x10, 0x0a});
  EXPECT_EQ(errorOf([&] { vesk::gsGraphOf(cut); }), "onnx: truncated");
  // A graph whose one node holds a bad wire type inside.
  const Bytes badNode = bytes({0x0a, 0x02, 0x0b, 0x00});
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  EXPECT_EQ(errorOf([&] { vesk::gsReadGraph(badNode, nodes, inits, inputs); }), "onnx: bad wire type");
  // Absent fields: empty answers, not errors.
  const Bytes noGraph = bytes({0x08, 0x08, 0x38, 0x00});  // field 7 as a varint is not a graph
  EXPECT_TRUE(vesk::gsGraphOf(noGraph).empty());
  EXPECT_EQ(vesk::gsFirstStr(noGraph, 9), "");
  std::vector<std::string> all{"stale"};
  vesk::gsAllStr(noGraph, 9, all);
  EXPECT_TRUE(all.empty());
  // A field number past 32 bits does not alias a real one (2^32 + 7 would truncate to 7).
  const Bytes huge = bytes({0xba, 0x80, 0x80, 0x80, 0x80, 0x02, 0x01, 0x41});
  ASSERT_EQ(fieldsOf(huge).size(), 1u);
  EXPECT_EQ(fieldsOf(huge)[0].number, std::numeric_limits<uint32_t>::max());
  EXPECT_TRUE(vesk::gsGraphOf(huge).empty());
}

TEST(OnnxReader, PayloadOfExactlyOneLengthDelimitedField) {
  const Bytes one = bytes({0x0a, 0x02, 0x61, 0x62});
  EXPECT_EQ(vesk::hcPayload(one).str(), "ab");
  EXPECT_TRUE(vesk::hcPayload(bytes({0x08, 0x01})).empty());        // a varint
  EXPECT_TRUE(vesk::hcPayload(one + bytes({0x08, 0x01})).empty());  // two fields
  EXPECT_EQ(errorOf([] { vesk::hcPayload(bytes({0x0a, 0x05, 0x61})); }), "onnx: truncated");
}

// --- Tensors and attributes, read from bytes written by hand.

TEST(OnnxTensors, DimsAndFloatsInEveryEncoding) {
  std::vector<int64_t> dims;
  // dims as single varints, then packed, then one more single; a negative dim is ten bytes.
  const Bytes t = bytes({0x08, 0x01, 0x0a, 0x03, 0x03, 0x80, 0x04}) +
                  bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01});
  vesk::hcTensorDims(t, dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{1, 3, 512, -1}));
  EXPECT_EQ(errorOf([&] { vesk::hcTensorDims(bytes({0x0a, 0x02, 0x03, 0x80}), dims); }), "onnx: bad varint");

  const Bytes floatType = bytes({0x10, 0x01});
  const Bytes one = bytes({0x00, 0x00, 0x80, 0x3f}), two = bytes({0x00, 0x00, 0x00, 0x40});
  std::vector<float> v;
  // raw_data.
  EXPECT_TRUE(vesk::hcTensorFloats(floatType + bytes({0x4a, 0x08}) + one + two, v));
  EXPECT_EQ(v, (std::vector<float>{1.0f, 2.0f}));
  // float_data packed, and one fixed-32 field per value.
  EXPECT_TRUE(vesk::hcTensorFloats(floatType + bytes({0x22, 0x08}) + one + two, v));
  EXPECT_EQ(v, (std::vector<float>{1.0f, 2.0f}));
  EXPECT_TRUE(vesk::hcTensorFloats(floatType + bytes({0x25}) + two + bytes({0x25}) + one, v));
  EXPECT_EQ(v, (std::vector<float>{2.0f, 1.0f}));
  // raw_data wins over float_data.
  EXPECT_TRUE(vesk::hcTensorFloats(floatType + bytes({0x25}) + one + bytes({0x4a, 0x04}) + two, v));
  EXPECT_EQ(v, (std::vector<float>{2.0f}));
  // Another type, no type, no values, half a float.
  EXPECT_FALSE(vesk::hcTensorFloats(bytes({0x10, 0x07, 0x4a, 0x08}) + one + two, v));
  EXPECT_TRUE(v.empty());
  EXPECT_FALSE(vesk::hcTensorFloats(bytes({0x4a, 0x04}) + one, v));
  EXPECT_FALSE(vesk::hcTensorFloats(floatType, v));
  EXPECT_FALSE(vesk::hcTensorFloats(floatType + bytes({0x4a, 0x00}), v));
  EXPECT_FALSE(vesk::hcTensorFloats(floatType + bytes({0x4a, 0x03, 0x00, 0x00, 0x80}), v));
  EXPECT_EQ(errorOf([&] {
              vesk::hcTensorFloats(floatType + bytes({0x22, 0x03, 0x00, 0x00, 0x80}), v);
            }),
            "onnx: truncated");
}

TEST(OnnxTensors, ResizeAttributesAndConstantValues) {
  Bytes attrs;
  vesk::hcAttrS(attrs, "mode", "cubic");
  vesk::hcAttrS(attrs, "coordinate_transformation_mode", "half_pixel");
  const int64_t axes[] = {2, 3};
  vesk::hcAttrIs(attrs, "axes", axes, 2);
  vesk::hcAttrI(attrs, "exclude_outside", 0);
  // cubic_coeff_a = -0.5 as an AttributeProto f (field 2, fixed 32).
  const Bytes coeff = bytes({0x0a, 0x0d}) + text("cubic_coeff_a") + bytes({0x15, 0x00, 0x00, 0x00, 0xbf});
  attrs = attrs + bytes({0x2a, static_cast<int>(coeff.size())}) + coeff;
  Bytes node;
  vesk::hcNode(node, "Resize", {"x", "", "s"}, "y", "r", attrs);
  const GsSlice payload = vesk::hcPayload(node);
  const vesk::HcAttrs a = vesk::hcReadAttrs(payload);
  EXPECT_EQ(a.mode, "cubic");
  EXPECT_EQ(a.coordinateTransformationMode, "half_pixel");
  EXPECT_EQ(a.cubicCoeffA, -0.5f);
  ASSERT_TRUE(a.axes.has_value());
  EXPECT_EQ(*a.axes, (std::vector<int64_t>{2, 3}));
  ASSERT_TRUE(a.excludeOutside.has_value());  // set, even to 0
  EXPECT_EQ(*a.excludeOutside, 0);
  EXPECT_FALSE(a.antialias.has_value());
  EXPECT_FALSE(a.keepAspectRatioPolicy.has_value());
  const vesk::HcAttrs none = vesk::hcReadAttrs(GsSlice());
  EXPECT_EQ(none.cubicCoeffA, -0.75f);
  EXPECT_EQ(none.mode, "");
  EXPECT_FALSE(none.axes.has_value());
  // Not a Constant: no value.
  EXPECT_TRUE(vesk::hcConstValue(payload).empty());
}

// --- The writers' exact bytes.

TEST(OnnxWriter, VarintsAndFields) {
  Bytes out;
  vesk::gsPutVarint(out, 0);
  vesk::gsPutVarint(out, 300);
  vesk::gsPutVarint(out, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(out, bytes({0x00, 0xac, 0x02, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}));
  out.clear();
  vesk::gsPutBytes(out, 7, "abc", 3);
  vesk::gsPutBytes(out, 20, nullptr, 0);
  vesk::gsPutRaw(out, bytes({0x01, 0x02}));
  EXPECT_EQ(out, bytes({0x3a, 0x03, 0x61, 0x62, 0x63, 0xa2, 0x01, 0x00, 0x01, 0x02}));
}

TEST(OnnxWriter, AttributesNodesAndInitializers) {
  Bytes out;
  vesk::hcAttrI(out, "a", 5);
  EXPECT_EQ(out, bytes({0x2a, 0x08, 0x0a, 0x01, 0x61, 0x18, 0x05, 0xa0, 0x01, 0x02}));
  out.clear();
  vesk::hcAttrI(out, "a", -1);
  EXPECT_EQ(out, bytes({0x2a, 0x11, 0x0a, 0x01, 0x61, 0x18, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01,
                        0xa0, 0x01, 0x02}));
  out.clear();
  const int64_t p[] = {1, 2};
  vesk::hcAttrIs(out, "p", p, 2);
  EXPECT_EQ(out, bytes({0x2a, 0x0a, 0x0a, 0x01, 0x70, 0x40, 0x01, 0x40, 0x02, 0xa0, 0x01, 0x07}));
  Bytes attr;
  vesk::hcAttrS(attr, "mode", "edge");
  const Bytes attrBytes =
      bytes({0x2a, 0x0f, 0x0a, 0x04}) + text("mode") + bytes({0x22, 0x04}) + text("edge") + bytes({0xa0, 0x01, 0x03});
  EXPECT_EQ(attr, attrBytes);

  out.clear();
  vesk::hcNode(out, "Pad", {"x", "", "p"}, "y", "n", attr);
  const Bytes node = bytes({0x0a, 0x01, 0x78, 0x0a, 0x00, 0x0a, 0x01, 0x70, 0x12, 0x01, 0x79, 0x1a, 0x01, 0x6e, 0x22,
                            0x03, 0x50, 0x61, 0x64}) +
                     attrBytes;
  EXPECT_EQ(out, bytes({0x0a, static_cast<int>(node.size())}) + node);
  // Read back as a graph: the empty input stays in place.
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  vesk::gsReadGraph(out, nodes, inits, inputs);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].opType, "Pad");
  EXPECT_EQ(nodes[0].inputs, (std::vector<std::string>{"x", "", "p"}));
  EXPECT_EQ(nodes[0].outputs, (std::vector<std::string>{"y"}));
  EXPECT_EQ(nodes[0].raw.p, out.data());
  EXPECT_EQ(nodes[0].raw.n, out.size());
  EXPECT_EQ(vesk::hcReadAttrs(vesk::hcPayload(nodes[0].raw)).mode, "edge");

  out.clear();
  const int64_t pads[] = {0, 0, 2, 2, 0, 0, 2, 2};
  vesk::hcInit(out, "w", {8}, vesk::onnx_field::kInt64, pads, sizeof pads);
  const Bytes head = bytes({0x2a, 0x49, 0x08, 0x08, 0x10, 0x07, 0x42, 0x01, 0x77, 0x4a, 0x40});
  ASSERT_EQ(out.size(), head.size() + sizeof pads);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<ptrdiff_t>(head.size())), head);
  EXPECT_EQ(std::memcmp(out.data() + head.size(), pads, sizeof pads), 0);
  vesk::gsReadGraph(out, nodes, inits, inputs);
  EXPECT_TRUE(nodes.empty());
  EXPECT_EQ(inits, (std::unordered_set<std::string>{"w"}));
}

TEST(OnnxWriter, TensorValueInfoWithSymbolicDims) {
  Bytes out;
  const int64_t dims[] = {1, -1, 512, 512};
  vesk::gsPutTensorValueInfo(out, 12, "b", dims, 4);
  const Bytes shape = bytes({0x0a, 0x02, 0x08, 0x01}) + bytes({0x0a, 0x0f, 0x12, 0x0d}) + text("vesk_hoist_d1") +
                      bytes({0x0a, 0x03, 0x08, 0x80, 0x04}) + bytes({0x0a, 0x03, 0x08, 0x80, 0x04});
  const Bytes tensor = bytes({0x08, 0x01, 0x12, static_cast<int>(shape.size())}) + shape;
  const Bytes type = bytes({0x0a, static_cast<int>(tensor.size())}) + tensor;
  const Bytes vi = bytes({0x0a, 0x01, 0x62, 0x12, static_cast<int>(type.size())}) + type;
  EXPECT_EQ(out, bytes({0x62, static_cast<int>(vi.size())}) + vi);

  // As a graph input, its dims read back with -1 for the symbolic one; zero counts as symbolic.
  out.clear();
  const int64_t more[] = {0, 2, 3};
  vesk::gsPutTensorValueInfo(out, 11, "x", dims, 4);
  vesk::gsPutTensorValueInfo(out, 11, "y", more, 3);
  int64_t got[3] = {7, 7, 7};
  size_t n = 0;
  ASSERT_TRUE(vesk::ldInputDims(out, "x", got, 3, n));
  EXPECT_EQ(n, 4u);  // more than fit
  EXPECT_EQ(got[0], 1);
  EXPECT_EQ(got[1], -1);
  EXPECT_EQ(got[2], 512);
  ASSERT_TRUE(vesk::ldInputDims(out, "y", got, 3, n));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(got[0], -1);
  EXPECT_FALSE(vesk::ldInputDims(out, "z", got, 3, n));
  EXPECT_EQ(n, 0u);
}

// --- gsRebuild on a model written by hand.

// A model: ir_version, a graph of three nodes, two inputs, one output and a value_info, then an
// opset import; returns it and, through graph, the graph's own fields in order.
Bytes handModel(std::vector<Bytes>* graph = nullptr) {
  std::vector<Bytes> g(8);
  vesk::hcNode(g[0], "Relu", {"P_rgb"}, "a", "n0", {});
  const int64_t d[] = {1, 3};
  vesk::gsPutTensorValueInfo(g[1], 11, "P_rgb", d, 2);
  vesk::hcNode(g[2], "Relu", {"a"}, "b", "n1", {});
  vesk::gsPutBytes(g[3], 2, std::string("graph"));
  vesk::gsPutTensorValueInfo(g[4], 11, "k", d, 2);
  vesk::hcNode(g[5], "Add", {"b", "k"}, "c", "n2", {});
  vesk::gsPutTensorValueInfo(g[6], 12, "c", d, 2);
  vesk::gsPutTensorValueInfo(g[7], 13, "b", d, 2);
  Bytes body;
  for (const Bytes& f : g) body = body + f;
  Bytes model = bytes({0x08, 0x08});
  vesk::gsPutBytes(model, 7, body.data(), body.size());
  vesk::gsPutBytes(model, 8, bytes({0x10, 0x11}).data(), 2);
  if (graph != nullptr) *graph = g;
  return model;
}

Bytes rebuilt(const Bytes& model, const GsGraphEdit& edit) {
  Bytes out{0xee};  // cleared first
  vesk::gsRebuild(model, edit, out);
  return out;
}

Bytes modelOf(const std::vector<Bytes>& g, std::initializer_list<size_t> keep, const Bytes& tail = {}) {
  Bytes body;
  for (size_t i : keep) body = body + g[i];
  body = body + tail;
  Bytes model = bytes({0x08, 0x08});
  vesk::gsPutBytes(model, 7, body.data(), body.size());
  vesk::gsPutBytes(model, 8, bytes({0x10, 0x11}).data(), 2);
  return model;
}

TEST(OnnxRebuild, EachEditOnAHandWrittenModel) {
  std::vector<Bytes> g;
  const Bytes model = handModel(&g);
  EXPECT_EQ(rebuilt(model, {}), model);

  GsGraphEdit drop;
  drop.dropNode = {0, 1};  // the third node has no entry: kept
  EXPECT_EQ(rebuilt(model, drop), modelOf(g, {0, 1, 3, 4, 5, 6, 7}));
  drop.dropNode = {1, 0, 1, 1};  // an entry past the last node changes nothing
  EXPECT_EQ(rebuilt(model, drop), modelOf(g, {1, 2, 3, 4, 6, 7}));

  GsGraphEdit prgb;
  prgb.dropPrgb = true;
  EXPECT_EQ(rebuilt(model, prgb), modelOf(g, {0, 2, 3, 4, 5, 6, 7}));
  prgb.onlyPrgb = true;  // drop wins
  EXPECT_EQ(rebuilt(model, prgb), modelOf(g, {0, 2, 3, 4, 5, 6, 7}));
  prgb.dropPrgb = false;
  EXPECT_EQ(rebuilt(model, prgb), modelOf(g, {0, 1, 2, 3, 5, 6, 7}));

  GsGraphEdit outs;
  outs.dropOutputs = true;
  outs.newName = "b";
  outs.newDims = {1, -1};
  outs.newField = 12;
  Bytes vi;
  const int64_t d[] = {1, -1};
  vesk::gsPutTensorValueInfo(vi, 12, "b", d, 2);
  // The output goes, the value_info named "b" goes, the new output comes last.
  EXPECT_EQ(rebuilt(model, outs), modelOf(g, {0, 1, 2, 3, 4, 5}, vi));
  // Without a field number nothing is added, but the same-named value_info still goes.
  outs.newField = 0;
  EXPECT_EQ(rebuilt(model, outs), modelOf(g, {0, 1, 2, 3, 4, 5}));

  // Fields of the model around the graph keep their places; only the first graph field is rebuilt.
  Bytes framed = bytes({0x12, 0x01, 0x41}) + model + model;
  GsGraphEdit one;
  one.dropNode = {1};
  const Bytes want = bytes({0x12, 0x01, 0x41}) + modelOf(g, {1, 2, 3, 4, 5, 6, 7}) + model;
  EXPECT_EQ(rebuilt(framed, one), want);
  // A model without a graph is copied as it stands; malformed bytes throw.
  EXPECT_EQ(rebuilt(bytes({0x08, 0x08}), one), bytes({0x08, 0x08}));
  EXPECT_EQ(errorOf([&] { rebuilt(bytes({0x08, 0x08, 0x3b}), one); }), "onnx: bad wire type");
  Bytes badGraph = bytes({0x3a, 0x02, 0x0a, 0x05});
  EXPECT_EQ(errorOf([&] { rebuilt(badGraph, {}); }), "onnx: truncated");
}

// --- The generated directors.

struct Graph {
  explicit Graph(const std::string& path) : bytes(readModel(path)) {
    vesk::gsReadGraph(vesk::gsGraphOf(bytes), nodes, inits, inputs);
  }
  const GsNodeInfo& only(const std::function<bool(const GsNodeInfo&)>& pred) const {
    const GsNodeInfo* found = nullptr;
    for (const GsNodeInfo& n : nodes) {
      if (!pred(n)) continue;
      if (found != nullptr) throw std::runtime_error("more than one node matches");
      found = &n;
    }
    if (found == nullptr) throw std::runtime_error("no node matches");
    return *found;
  }
  const GsNodeInfo& producer(const std::string& value) const {
    return only(
        [&](const GsNodeInfo& n) { return std::find(n.outputs.begin(), n.outputs.end(), value) != n.outputs.end(); });
  }
  GsSlice initializer(const std::string& name) const {
    GsReader r{vesk::gsGraphOf(bytes)};
    GsField f;
    while (r.next(f))
      if (f.number == 5 && f.wire == 2 && vesk::gsFirstStr(f.payload, 8) == name) return f.payload;
    return {};
  }
  Bytes bytes;
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
};

TEST(OnnxGenerated, EveryModelOfTheTestBundleIsRebuiltByteForByte) {
  size_t models = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(bundleDir("small"))) {
    if (e.path().extension() != ".onnx") continue;
    SCOPED_TRACE(e.path().string());
    const Bytes model = readModel(e.path().string());
    EXPECT_EQ(rebuilt(model, {}), model);
    std::vector<GsNodeInfo> nodes;
    std::unordered_set<std::string> inits, inputs;
    vesk::gsReadGraph(vesk::gsGraphOf(model), nodes, inits, inputs);
    EXPECT_FALSE(nodes.empty());
    EXPECT_FALSE(inputs.empty());
    // Every node is one raw extent inside the model, in order and without overlap.
    for (size_t i = 0; i < nodes.size(); ++i) {
      ASSERT_GE(nodes[i].raw.p, model.data());
      ASSERT_LE(nodes[i].raw.p + nodes[i].raw.n, model.data() + model.size());
      if (i > 0) {
        EXPECT_GE(nodes[i].raw.p, nodes[i - 1].raw.p + nodes[i - 1].raw.n);
      }
      EXPECT_FALSE(nodes[i].opType.empty());
    }
    ++models;
  }
  EXPECT_GE(models, 15u);
}

TEST(OnnxGenerated, TheDirectorAsTheRewritesWillReadIt) {
  const Graph g(smallModel("b1"));
  EXPECT_EQ(g.inputs, (std::unordered_set<std::string>{"pooled64", "P_rgb", "kp_driving", "kp_source"}));
  int64_t dims[4];
  size_t n = 0;
  ASSERT_TRUE(vesk::ldInputDims(vesk::gsGraphOf(g.bytes), "P_rgb", dims, 4, n));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::vector<int64_t>(dims, dims + 4), (std::vector<int64_t>{1, 3, 128, 128}));
  ASSERT_TRUE(vesk::ldInputDims(vesk::gsGraphOf(g.bytes), "pooled64", dims, 4, n));
  EXPECT_EQ(std::vector<int64_t>(dims, dims + 4), (std::vector<int64_t>{1, 64, 32, 32}));
  EXPECT_FALSE(vesk::ldInputDims(vesk::gsGraphOf(g.bytes), "rgb", dims, 4, n));  // an output

  // The source cone's boundary and the one GridSample on it.
  const GsNodeInfo& concat = g.only([](const GsNodeInfo& x) {
    return x.opType == "Concat" && std::find(x.inputs.begin(), x.inputs.end(), "P_rgb") != x.inputs.end();
  });
  const GsNodeInfo& gs = g.only([&](const GsNodeInfo& x) { return x.opType == "GridSample"; });
  EXPECT_EQ(gs.inputs[0], concat.outputs[0]);

  // The head's cubic Resize: attributes, the Constant scales and the omitted roi.
  const GsNodeInfo& rz = g.only([](const GsNodeInfo& x) {
    return x.opType == "Resize" && vesk::hcReadAttrs(vesk::hcPayload(x.raw)).mode == "cubic";
  });
  EXPECT_EQ(vesk::gsFirstStr(vesk::hcPayload(rz.raw), 3), "/head/Resize");
  const vesk::HcAttrs a = vesk::hcReadAttrs(vesk::hcPayload(rz.raw));
  EXPECT_EQ(a.coordinateTransformationMode, "half_pixel");
  EXPECT_EQ(a.cubicCoeffA, -0.75f);
  EXPECT_FALSE(a.antialias || a.excludeOutside || a.axes || a.keepAspectRatioPolicy);
  ASSERT_EQ(rz.inputs.size(), 3u);
  EXPECT_EQ(rz.inputs[1], "");
  const GsNodeInfo& scales = g.producer(rz.inputs[2]);
  EXPECT_EQ(scales.opType, "Constant");
  const GsSlice value = vesk::hcConstValue(vesk::hcPayload(scales.raw));
  std::vector<float> f;
  std::vector<int64_t> d;
  ASSERT_TRUE(vesk::hcTensorFloats(value, f));
  EXPECT_EQ(f, (std::vector<float>{1, 1, 2, 2}));
  vesk::hcTensorDims(value, d);
  EXPECT_EQ(d, (std::vector<int64_t>{4}));
  // The head's other Resize is linear, with initializer scales.
  const GsNodeInfo& tail = g.only([](const GsNodeInfo& x) {
    return x.opType == "Resize" && vesk::gsFirstStr(vesk::hcPayload(x.raw), 3) == "/head/upsample";
  });
  EXPECT_EQ(vesk::hcReadAttrs(vesk::hcPayload(tail.raw)).mode, "linear");
  EXPECT_TRUE(g.inits.count(tail.inputs[2]));
  ASSERT_TRUE(vesk::hcTensorFloats(g.initializer(tail.inputs[2]), f));
  EXPECT_EQ(f, (std::vector<float>{1, 1, 2, 2}));
  // An INT64 initializer is no float tensor; its dims still read.
  ASSERT_TRUE(g.inits.count("cone_pads"));
  EXPECT_FALSE(vesk::hcTensorFloats(g.initializer("cone_pads"), f));
  vesk::hcTensorDims(g.initializer("cone_pads"), d);
  EXPECT_EQ(d, (std::vector<int64_t>{8}));
}

// A session over model bytes in memory, run on fixed pseudo-random inputs.
// Cutting the director in two at its source cone's boundary with nothing but gsRebuild edits: the
// two graphs load in ONNX Runtime and together compute what the whole graph computes.
TEST(OnnxGenerated, DirectorCutAtTheConeBoundaryComputesTheSame) {
  const Graph g(smallModel("b1"));
  const GsNodeInfo& concat = g.only([](const GsNodeInfo& x) {
    return x.opType == "Concat" && std::find(x.inputs.begin(), x.inputs.end(), "P_rgb") != x.inputs.end();
  });
  const std::string boundary = concat.outputs[0];
  // The cone: producers traced back from the boundary to P_rgb and the initializers.
  std::vector<uint8_t> cone(g.nodes.size(), 0);
  std::vector<std::string> todo{boundary};
  while (!todo.empty()) {
    const std::string v = todo.back();
    todo.pop_back();
    if (v.empty() || v == "P_rgb" || g.inits.count(v)) continue;
    const GsNodeInfo& p = g.producer(v);
    const size_t i = static_cast<size_t>(&p - g.nodes.data());
    if (cone[i]) continue;
    cone[i] = 1;
    todo.insert(todo.end(), p.inputs.begin(), p.inputs.end());
  }
  const size_t coneNodes = static_cast<size_t>(std::count(cone.begin(), cone.end(), 1));
  ASSERT_GE(coneNodes, 3u);  // Pad, Conv, Concat

  GsGraphEdit prepEdit;
  for (uint8_t c : cone) prepEdit.dropNode.push_back(c ? 0 : 1);
  prepEdit.onlyPrgb = true;
  prepEdit.dropOutputs = true;
  prepEdit.newName = boundary;
  prepEdit.newDims = {-1, -1, -1, -1};
  prepEdit.newField = 12;
  Bytes prep;
  vesk::gsRebuild(g.bytes, prepEdit, prep);
  std::vector<GsNodeInfo> prepNodes;
  std::unordered_set<std::string> prepInits, prepInputs;
  vesk::gsReadGraph(vesk::gsGraphOf(prep), prepNodes, prepInits, prepInputs);
  EXPECT_EQ(prepNodes.size(), coneNodes);
  EXPECT_EQ(prepInputs, (std::unordered_set<std::string>{"P_rgb"}));
  EXPECT_EQ(prepInits, g.inits);  // initializers are copied whether used or not

  GsGraphEdit frameEdit;
  frameEdit.dropNode = cone;
  frameEdit.dropPrgb = true;
  frameEdit.newName = boundary;
  frameEdit.newDims = {1, 12, 128, 128};
  frameEdit.newField = 11;
  Bytes perFrame;
  vesk::gsRebuild(g.bytes, frameEdit, perFrame);

  vesk::test::ModelSession whole(g.bytes), prepRun(prep), frameRun(perFrame);
  EXPECT_EQ(prepRun.inputs, (std::vector<std::string>{"P_rgb"}));
  EXPECT_EQ(prepRun.outputs, (std::vector<std::string>{boundary}));
  EXPECT_EQ(frameRun.inputs, (std::vector<std::string>{"pooled64", "kp_driving", "kp_source", boundary}));
  EXPECT_EQ(frameRun.outputs, (std::vector<std::string>{"rgb"}));

  using vesk::test::noise;
  std::map<std::string, std::pair<std::vector<int64_t>, std::vector<float>>> feed;
  feed["pooled64"] = {{1, 64, 32, 32}, noise(65536, 1, -1.0f, 1.0f)};
  feed["P_rgb"] = {{1, 3, 128, 128}, noise(3 * 128 * 128, 2, 0.0f, 1.0f)};
  // Keypoints near the centre, the driving ones a little off the source ones.
  feed["kp_source"] = {{1, 21, 3}, noise(63, 3, -0.3f, 0.3f)};
  std::vector<float> kd = feed["kp_source"].second;
  const std::vector<float> jitter = noise(63, 4, -0.02f, 0.02f);
  for (size_t i = 0; i < kd.size(); ++i) kd[i] += jitter[i];
  feed["kp_driving"] = {{1, 21, 3}, kd};

  std::vector<int64_t> shape;
  std::vector<float> b = prepRun(feed, boundary, &shape);
  EXPECT_EQ(shape, (std::vector<int64_t>{1, 12, 128, 128}));
  // The boundary starts with P_rgb itself.
  EXPECT_TRUE(std::equal(feed["P_rgb"].second.begin(), feed["P_rgb"].second.end(), b.begin()));
  feed[boundary] = {shape, b};
  const std::vector<float> want = whole(feed, "rgb");
  const std::vector<float> got = frameRun(feed, "rgb");
  ASSERT_EQ(got.size(), want.size());
  float worst = 0.0f;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - want[i]));
  EXPECT_LE(worst, 1e-5f);
}

}  // namespace
