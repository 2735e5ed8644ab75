// Hostile model bytes: every read of the codec either answers or throws one of its three texts, and
// a rebuilt model reads back and rebuilds to itself; the GridSample rewrite either leaves the bytes as
// they were or writes a model it finds nothing more to rewrite in. The seeds are tiny models written with the
// bundle generator's graph helper (tools/bundlegen/onnxgraph.py).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "render/vesk_onnx.h"
#include "render/vesk_rewrite.h"

namespace {

void expectOurText(const std::runtime_error& e) {
  const std::string w = e.what();
  if (w != "onnx: bad varint" && w != "onnx: truncated" && w != "onnx: bad wire type") std::abort();
}

// Every field, and every payload that reads as fields, down to a fixed depth.
void walk(vesk::GsSlice s, int depth) {
  vesk::GsReader r(s);
  vesk::GsField f;
  try {
    while (r.next(f)) {
      if (f.raw.p < s.p || f.raw.p + f.raw.n > s.p + s.n) std::abort();
      if (f.wire == 2 && depth < 8) walk(f.payload, depth + 1);
    }
  } catch (const std::runtime_error& e) {
    expectOurText(e);
  }
}

void lookups(vesk::GsSlice model) {
  const vesk::GsSlice graph = vesk::gsGraphOf(model);
  std::vector<vesk::GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  vesk::gsReadGraph(graph, nodes, inits, inputs);
  std::vector<float> floats;
  std::vector<int64_t> dims;
  for (const vesk::GsNodeInfo& n : nodes) {
    const vesk::GsSlice node = vesk::hcPayload(n.raw);
    (void)vesk::hcReadAttrs(node);
    const vesk::GsSlice value = vesk::hcConstValue(node);
    (void)vesk::hcTensorFloats(value, floats);
    vesk::hcTensorDims(value, dims);
  }
  vesk::GsReader r(graph);
  vesk::GsField f;
  while (r.next(f)) {
    if (f.number != 5 || f.wire != 2) continue;
    (void)vesk::hcTensorFloats(f.payload, floats);
    vesk::hcTensorDims(f.payload, dims);
  }
  int64_t d[4];
  size_t count = 0;
  for (const std::string& in : inputs) (void)vesk::ldInputDims(graph, in, d, 4, count);
}

void rebuildTwice(vesk::GsSlice model, const vesk::GsGraphEdit& edit) {
  std::vector<uint8_t> once, twice;
  vesk::gsRebuild(model, edit, once);
  vesk::gsRebuild(once, {}, twice);
  if (once != twice) std::abort();
}

void rewriteOnce(vesk::GsSlice model) {
  const std::vector<uint8_t> original(model.p, model.p + model.n);
  std::vector<uint8_t> bytes = original;
  size_t count = 0;
  try {
    count = vesk::rewriteGridSampleToFast(bytes);
  } catch (const std::runtime_error& e) {
    expectOurText(e);
    if (bytes != original) std::abort();  // no partial results
    return;
  }
  if (count == 0 && bytes != original) std::abort();
  if (count == 0) return;
  const std::vector<uint8_t> once = bytes;
  if (vesk::rewriteGridSampleToFast(bytes) != 0 || bytes != once) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vesk::GsSlice model(data, size);
  walk(model, 0);
  try {
    lookups(model);
  } catch (const std::runtime_error& e) {
    expectOurText(e);
  }
  try {
    rebuildTwice(model, {});
    // An edit drawn from the bytes themselves.
    vesk::GsGraphEdit edit;
    const uint8_t flags = size > 0 ? data[size - 1] : 0;
    edit.dropPrgb = (flags & 1) != 0;
    edit.onlyPrgb = (flags & 2) != 0;
    edit.dropOutputs = (flags & 4) != 0;
    for (size_t i = 0; i < size && i < 64; ++i) edit.dropNode.push_back(data[i] & 1);
    if ((flags & 8) != 0) {
      edit.newName = (flags & 16) != 0 ? "P_rgb" : "y";
      edit.newDims = {1, -1, 0, static_cast<int64_t>(flags)};
      edit.newField = (flags & 32) != 0 ? 11 : 12;
    }
    rebuildTwice(model, edit);
  } catch (const std::runtime_error& e) {
    expectOurText(e);
  }
  rewriteOnce(model);
  return 0;
}
