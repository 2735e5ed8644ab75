// The director's warp block alone, written with the library's own codec: P_rgb [1, 3, H, W] and a
// grid [1, H, W, 2] in, the warped source "warped" [1, 3, H, W] out. The block is the one the
// synthetic m4b director carries: the source cone (edge Pad, a grouped 3x3 Conv of second
// differences, the Concat with P_rgb), one GridSample on it (bilinear, border, align_corners 0), and
// the Slices and arithmetic that recombine the sampled channels into I - hx Ixx - hy Iyy +
// hx hy Ixxyy. Options break it the ways the warp rewrite must notice.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "render/vesk_onnx.h"

namespace vesk::test {

struct WarpBlockOptions {
  bool gridFromInput = false;     // the grid is a graph input, not a node's output
  bool samplerReadsPrgb = false;  // the GridSample samples P_rgb instead of the cone
  bool twoSamplers = false;       // a second GridSample on the cone
  bool samplerNoOutput = false;   // the GridSample writes nothing
  bool coneReadsInput = false;    // the cone's Conv weight is a graph input
};

// The block as a model. Node count: 38 (37 of them the block's, plus the grid's Identity).
inline std::vector<uint8_t> warpBlockModel(int64_t H, int64_t W, const WarpBlockOptions& o = {}) {
  std::vector<uint8_t> g;
  auto f1 = [&](const std::string& name, float v) {
    const std::vector<int64_t> dims{1};
    hcInit(g, name, dims, onnx_field::kFloat, &v, sizeof v);
    return name;
  };
  auto i64 = [&](const std::string& name, std::vector<int64_t> v) {
    hcInit(g, name, {static_cast<int64_t>(v.size())}, onnx_field::kInt64, v.data(), v.size() * sizeof(int64_t));
    return name;
  };
  auto node = [&](const std::string& op, std::vector<std::string> in, const std::string& out,
                  const std::vector<uint8_t>& attrs = {}) {
    hcNode(g, op, in, out, "/" + out, attrs);
    return out;
  };
  const std::string grid = o.gridFromInput ? "grid" : node("Identity", {"grid_in"}, "grid");

  std::vector<uint8_t> a;
  hcAttrS(a, "mode", "edge");
  node("Pad", {"P_rgb", i64("cone_pads", {0, 0, 1, 1, 0, 0, 1, 1})}, "cone_padded", a);
  std::vector<float> w(9 * 9, 0.0f);  // [9, 1, 3, 3]: channel 3 c + j is difference j of colour c
  const float d[3] = {1, -2, 1}, id[3] = {0, 1, 0};
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 3; ++k) {
        w[static_cast<size_t>((3 * c + 0) * 9 + r * 3 + k)] = id[r] * d[k];
        w[static_cast<size_t>((3 * c + 1) * 9 + r * 3 + k)] = d[r] * id[k];
        w[static_cast<size_t>((3 * c + 2) * 9 + r * 3 + k)] = d[r] * d[k];
      }
  if (!o.coneReadsInput) hcInit(g, "cone_w", {9, 1, 3, 3}, onnx_field::kFloat, w.data(), w.size() * sizeof(float));
  a.clear();
  hcAttrI(a, "group", 3);
  const int64_t ks[2] = {3, 3};
  hcAttrIs(a, "kernel_shape", ks, 2);
  node("Conv", {"cone_padded", o.coneReadsInput ? "cone_w_in" : "cone_w"}, "cone_diffs", a);
  a.clear();
  hcAttrI(a, "axis", 1);
  node("Concat", {"P_rgb", "cone_diffs"}, "source_cone", a);
  a.clear();
  hcAttrS(a, "mode", "bilinear");
  hcAttrS(a, "padding_mode", "border");
  hcAttrI(a, "align_corners", 0);
  const std::string sampled = o.samplerNoOutput ? "" : "sampled";
  hcNode(g, "GridSample", {o.samplerReadsPrgb ? "P_rgb" : "source_cone", grid}, sampled, "/sampled", a);
  if (o.twoSamplers) hcNode(g, "GridSample", {"source_cone", grid}, "sampled2", "/sampled2", a);

  auto chans = [&](int64_t start, int64_t step, const std::string& tag) {
    return node("Slice",
                {"sampled", i64(tag + "_s", {start}), i64(tag + "_e", {start + 2 * step + 1}), i64(tag + "_a", {1}),
                 i64(tag + "_st", {step})},
                tag);
  };
  const std::string I = chans(0, 1, "I"), Ixx = chans(3, 3, "Ixx"), Iyy = chans(4, 3, "Iyy"),
                    Ixxyy = chans(5, 3, "Ixxyy");
  const std::string plane = i64("plane_shape", {1, 1, H, W});
  auto h = [&](int64_t axis, const std::string& t, int64_t n) {
    std::string v =
        node("Slice", {grid, i64("g" + t + "_s", {axis}), i64("g" + t + "_e", {axis + 1}), i64("g" + t + "_a", {3})},
             "g" + t);
    v = node("Reshape", {v, plane}, "g" + t + "_plane");
    v = node("Add", {v, f1(t + "_one", 1.0f)}, t + "_p1");
    v = node("Mul", {v, f1(t + "_n", static_cast<float>(n))}, t + "_scaled");
    v = node("Sub", {v, f1(t + "_one2", 1.0f)}, t + "_m1");
    const std::string pos = node("Mul", {v, f1(t + "_half", 0.5f)}, t + "_pix");
    const std::string frac = node("Sub", {pos, node("Floor", {pos}, t + "_floor")}, "f" + t);
    const std::string omf = node("Sub", {f1(t + "_one3", 1.0f), frac}, t + "_1mf");
    return node("Mul", {node("Mul", {frac, omf}, t + "_ff"), f1(t + "_half2", 0.5f)}, "h" + t);
  };
  const std::string hx = h(0, "x", W), hy = h(1, "y", H);
  std::string acc = node("Sub", {I, node("Mul", {hx, Ixx}, "hx_ixx")}, "acc1");
  acc = node("Sub", {acc, node("Mul", {hy, Iyy}, "hy_iyy")}, "acc2");
  const std::string hxy = node("Mul", {hx, hy}, "hxhy");
  node("Add", {acc, node("Mul", {hxy, Ixxyy}, "hxhy_ixxyy")}, "warped");

  gsPutBytes(g, 2, std::string("warp_block"));
  const std::array<int64_t, 4> p{1, 3, H, W}, gd{1, H, W, 2}, wd{9, 1, 3, 3};
  gsPutTensorValueInfo(g, onnx_field::kGraphInput, "P_rgb", p.data(), p.size());
  gsPutTensorValueInfo(g, onnx_field::kGraphInput, o.gridFromInput ? "grid" : "grid_in", gd.data(), gd.size());
  if (o.coneReadsInput) gsPutTensorValueInfo(g, onnx_field::kGraphInput, "cone_w_in", wd.data(), wd.size());
  gsPutTensorValueInfo(g, onnx_field::kGraphOutput, "warped", p.data(), p.size());

  std::vector<uint8_t> model;
  gsPutVarintField(model, 1, 8);  // ir_version
  std::vector<uint8_t> opset;
  gsPutVarintField(opset, 2, 17);
  gsPutBytes(model, onnx_field::kModelOpsetImport, opset.data(), opset.size());
  gsPutBytes(model, onnx_field::kModelGraph, g.data(), g.size());
  return model;
}

}  // namespace vesk::test
