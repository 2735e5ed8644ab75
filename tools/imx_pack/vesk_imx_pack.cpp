// vesk-imx-pack: packs a bundle directory into one IMX v2 container, the form in which bundles travel.
//
//   vesk-imx-pack BUNDLE_DIR OUT.imx
//
// Members are stored uncompressed under their paths relative to BUNDLE_DIR ("drive/xs.f32"), in
// sorted order, the table of contents first and the payloads after it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Member {
  std::string name;
  fs::path path;
  uint64_t size = 0;
};

void put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xff));
  out.push_back(static_cast<char>(v >> 8));
}
void put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::vector<Member> collect(const fs::path& root) {
  std::vector<Member> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    const std::string name = fs::relative(e.path(), root).generic_string();
    if (name.size() > 0xffff) throw std::runtime_error("member name too long: " + name);
    out.push_back({name, e.path(), static_cast<uint64_t>(e.file_size())});
  }
  std::sort(out.begin(), out.end(), [](const Member& a, const Member& b) { return a.name < b.name; });
  if (out.size() > 0xffff) throw std::runtime_error("too many members for one container");
  return out;
}

void pack(const fs::path& dir, const fs::path& outPath) {
  if (!fs::is_directory(dir)) throw std::runtime_error("not a directory: " + dir.string());
  const std::vector<Member> members = collect(dir);
  uint64_t tocSize = 0;
  for (const Member& m : members) tocSize += 2 + m.name.size() + 16;
  std::string head("IMX\0", 4);
  put16(head, 2);
  put16(head, static_cast<uint16_t>(members.size()));
  uint64_t offset = 8 + tocSize;
  for (const Member& m : members) {
    put16(head, static_cast<uint16_t>(m.name.size()));
    head += m.name;
    put64(head, offset);
    put64(head, m.size);
    offset += m.size;
  }
  const fs::path tmp = outPath.string() + ".part";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + tmp.string());
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    std::vector<char> buf(1 << 20);
    for (const Member& m : members) {
      std::ifstream in(m.path, std::ios::binary);
      if (!in) throw std::runtime_error("cannot read " + m.path.string());
      uint64_t left = m.size;
      while (left > 0) {
        const auto want = static_cast<std::streamsize>(std::min<uint64_t>(left, buf.size()));
        in.read(buf.data(), want);
        if (in.gcount() != want) throw std::runtime_error("short read " + m.path.string());
        out.write(buf.data(), want);
        left -= static_cast<uint64_t>(want);
      }
    }
    out.flush();
    if (!out) throw std::runtime_error("short write " + tmp.string());
  }
  fs::rename(tmp, outPath);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: vesk-imx-pack BUNDLE_DIR OUT.imx\n";
    return 2;
  }
  try {
    pack(argv[1], argv[2]);
  } catch (const std::exception& e) {
    std::cerr << "vesk-imx-pack: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
