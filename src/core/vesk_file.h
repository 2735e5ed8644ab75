// Files and paths: whole-file reads, read-only mappings and the path helpers every area shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace vesk {

// The product of the factors as a 64-bit size (at most INT64_MAX); throws when it does not fit, so a
// size computed from a hostile number never wraps to a small one.
uint64_t checkedProduct(std::initializer_list<uint64_t> factors, const std::string& what);

// The whole file; throws "cannot open <path>" or "short read <path>".
std::string readWholeFile(const std::string& path);

// Path helpers.
std::string rstripSlash(std::string s);
std::string baseName(const std::string& path);
std::string dirName(const std::string& path);
bool mkdirs(const std::string& path);
void rmTree(const std::string& path);
bool isDirectory(const std::string& path);
// The path can be stat'ed (links followed).
bool fileExists(const std::string& path);
bool canOpenForReading(const std::string& path);

// A read-only private mapping of a whole member, unmapped on destruction.
class MappedFile {
 public:
  MappedFile() = default;
  // Maps `path`, which must be exactly `expected` bytes long.
  MappedFile(const std::string& path, size_t expected);
  ~MappedFile();
  MappedFile(MappedFile&& o) noexcept;
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return len_; }
  bool empty() const { return data_ == nullptr; }

 private:
  void release();
  const uint8_t* data_ = nullptr;
  void* base_ = nullptr;
  size_t len_ = 0;
};

}  // namespace vesk
