// Builds tessera_head.v1.pt archives the way torch.save lays them out (a stored ZIP with a protocol 2
// pickle and one float32 storage per tensor), with every part open to being made wrong on purpose.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vesk::test {

inline void putU16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>((v >> 8) & 0xff);
}
inline void putU32(std::string& s, uint32_t v) {
  putU16(s, v & 0xffff);
  putU16(s, v >> 16);
}

// A ZIP of the entries in order; names in `deflated` are marked DEFLATE (their bytes left as they are).
inline std::string storedZip(const std::vector<std::pair<std::string, std::string>>& entries,
                             const std::set<std::string>& deflated = {}) {
  std::string z, cd;
  for (const auto& [name, data] : entries) {
    const uint32_t local = static_cast<uint32_t>(z.size());
    const uint32_t method = deflated.count(name) ? 8 : 0;
    putU32(z, 0x04034b50);
    putU16(z, 20), putU16(z, 0), putU16(z, method), putU32(z, 0), putU32(z, 0);
    putU32(z, static_cast<uint32_t>(data.size())), putU32(z, static_cast<uint32_t>(data.size()));
    putU16(z, static_cast<uint32_t>(name.size())), putU16(z, 0);
    z += name + data;
    putU32(cd, 0x02014b50);
    putU16(cd, 20), putU16(cd, 20), putU16(cd, 0), putU16(cd, method), putU32(cd, 0), putU32(cd, 0);
    putU32(cd, static_cast<uint32_t>(data.size())), putU32(cd, static_cast<uint32_t>(data.size()));
    putU16(cd, static_cast<uint32_t>(name.size())), putU16(cd, 0), putU16(cd, 0), putU16(cd, 0), putU16(cd, 0);
    putU32(cd, 0), putU32(cd, local);
    cd += name;
  }
  const uint32_t cdAt = static_cast<uint32_t>(z.size());
  z += cd;
  putU32(z, 0x06054b50);
  putU16(z, 0), putU16(z, 0), putU16(z, static_cast<uint32_t>(entries.size()));
  putU16(z, static_cast<uint32_t>(entries.size())), putU32(z, static_cast<uint32_t>(cd.size())), putU32(z, cdAt);
  putU16(z, 0);
  return z;
}

struct PtTensor {
  std::string name;
  std::vector<int64_t> sizes;
  std::string key;  // storage key; tensors may share one
  int64_t offset = 0;
};

// The shapes of BlendHead(16), synthesis branch last.
inline std::vector<PtTensor> blendHeadTensors(bool synthesis = true) {
  std::vector<PtTensor> t = {{"cand.0.weight", {16, 7, 3, 3}, "0"},  {"cand.0.bias", {16}, "1"},
                             {"cand.2.weight", {16, 16, 3, 3}, "2"}, {"cand.2.bias", {16}, "3"},
                             {"cand.4.weight", {1, 16, 3, 3}, "4"},  {"cand.4.bias", {1}, "5"}};
  if (synthesis) {
    t.push_back({"syn.0.weight", {16, 3, 3, 3}, "6"});
    t.push_back({"syn.0.bias", {16}, "7"});
    t.push_back({"syn.2.weight", {1, 16, 3, 3}, "8"});
    t.push_back({"syn.2.bias", {1}, "9"});
  }
  return t;
}

struct PtBuilder {
  std::vector<PtTensor> tensors = blendHeadTensors();
  std::string storageType = "torch\nFloatStorage\n";
  std::string rebuild = "torch._utils\n_rebuild_tensor_v2\n";
  std::string prefix = "tessera_head.v1";
  std::set<std::string> deflated;
  // Storages written into the archive; by default each key holds exactly its tensors' elements,
  // element e of storage k holding k * 1000 + e.
  std::vector<std::pair<std::string, std::vector<float>>> storages;

  static std::string uni(const std::string& s) {
    std::string o = "X";
    putU32(o, static_cast<uint32_t>(s.size()));
    return o + s;
  }
  static std::string intOp(int64_t v) {
    std::string o;
    if (v >= 0 && v < 256) return o + 'K' + static_cast<char>(v);
    o += 'J';
    putU32(o, static_cast<uint32_t>(v));
    return o;
  }

  std::string pickle() const {
    std::string p = "\x80\x02";
    p += "ccollections\nOrderedDict\n)R(";
    for (const PtTensor& t : tensors) {
      int64_t numel = 1;
      for (const int64_t d : t.sizes) numel *= d;
      p += uni(t.name);
      p += "c" + rebuild + "((" + uni("storage") + "c" + storageType + uni(t.key) + uni("cpu") + intOp(numel) + "tQ" +
           intOp(t.offset) + "(";
      for (const int64_t d : t.sizes) p += intOp(d);
      p += "t(";
      for (size_t i = 0; i < t.sizes.size(); ++i) p += intOp(1);
      p += "t\x89"
           "ccollections\nOrderedDict\n)RtR";
    }
    p += "u}b.";
    return p;
  }

  std::vector<std::pair<std::string, std::vector<float>>> defaultStorages() const {
    std::vector<std::pair<std::string, std::vector<float>>> out;
    for (const PtTensor& t : tensors) {
      int64_t end = t.offset;
      int64_t numel = 1;
      for (const int64_t d : t.sizes) numel *= d;
      end += numel;
      auto it = out.begin();
      while (it != out.end() && it->first != t.key) ++it;
      if (it == out.end()) {
        out.push_back({t.key, {}});
        it = out.end() - 1;
      }
      const float base = static_cast<float>(std::stoi(t.key) * 1000);
      while (static_cast<int64_t>(it->second.size()) < end)
        it->second.push_back(base + static_cast<float>(it->second.size()));
    }
    return out;
  }

  std::string zip(const std::string& pkl) const {
    std::vector<std::pair<std::string, std::string>> entries = {{prefix + "/data.pkl", pkl}};
    for (const auto& [key, values] : storages.empty() ? defaultStorages() : storages) {
      std::string bytes(values.size() * 4, '\0');
      std::memcpy(bytes.data(), values.data(), bytes.size());
      entries.push_back({prefix + "/data/" + key, bytes});
    }
    entries.push_back({prefix + "/version", "3\n"});
    return storedZip(entries, deflated);
  }

  std::vector<uint8_t> bytes() const { return toBytes(zip(pickle())); }
  static std::vector<uint8_t> toBytes(const std::string& s) { return {s.begin(), s.end()}; }
};

}  // namespace vesk::test
