// The BlendHead's weights, read from the bundle's torch.save archive without any Python, and the
// head's serving configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk::tessera {

// Row-major tensor contents of one BlendHead(16) or BlendHead8(16) (the latter without the
// synthesis branch, whose four arrays stay empty).
struct HeadWeights {
  static constexpr size_t kParamsBlendHead = 4082;
  static constexpr size_t kParamsBlendHead8 = 3489;

  std::vector<float> cand0_w;  // cand.0.weight [16, 7, 3, 3]
  std::vector<float> cand0_b;  // cand.0.bias [16]
  std::vector<float> cand2_w;  // cand.2.weight [16, 16, 3, 3]
  std::vector<float> cand2_b;  // cand.2.bias [16]
  std::vector<float> cand4_w;  // cand.4.weight [1, 16, 3, 3]
  std::vector<float> cand4_b;  // cand.4.bias [1]
  std::vector<float> syn0_w;   // syn.0.weight [16, 3, 3, 3]
  std::vector<float> syn0_b;   // syn.0.bias [16]
  std::vector<float> syn2_w;   // syn.2.weight [1, 16, 3, 3]
  std::vector<float> syn2_b;   // syn.2.bias [1]
  // The envelope of record; fixed, never read from the file.
  float envelope = 12.0f / 255.0f;

  size_t params() const;
  bool hasSynthesis() const { return !syn0_w.empty(); }
};

// Reads tessera_head.v1.pt: a stored (uncompressed) ZIP holding data.pkl and one float32 storage
// per tensor. Only the pickle opcodes and the two callables such a state dict uses are executed;
// anything else is refused.
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

// The head's serving configuration (tessera_head.v1.json).
struct ServeConfig {
  int kshort = 512;
  double aperture_tol = 0.3;
  int cut = 96;
  int K = 64;
  int hysteresis = 8;
  int lookahead = 8;
  double teeth_luma_min = 100.0;
  double teeth_rg_max = 25.0;
  int teeth_min_pixels = 32;
  double weight_carry = 0.6;
  int use_lookahead = 1;

  static ServeConfig fromHeadMemberJson(const std::string& text);
};

}  // namespace vesk::tessera
