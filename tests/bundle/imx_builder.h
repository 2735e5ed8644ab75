// Builds IMX v2 container bytes for tests, including deliberately broken ones.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vesk::test {

struct ImxMember {
  std::string name;
  std::string data;
};

inline void le16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8));
}
inline void le64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Header and table of contents, then the payloads in table order.
inline std::string imxBytes(const std::vector<ImxMember>& members, uint16_t version = 2) {
  std::string out("IMX\0", 4);
  le16(out, version);
  le16(out, static_cast<uint16_t>(members.size()));
  uint64_t offset = 8;
  for (const auto& m : members) offset += 2 + m.name.size() + 16;
  for (const auto& m : members) {
    le16(out, static_cast<uint16_t>(m.name.size()));
    out += m.name;
    le64(out, offset);
    le64(out, m.data.size());
    offset += m.data.size();
  }
  for (const auto& m : members) out += m.data;
  return out;
}

}  // namespace vesk::test
