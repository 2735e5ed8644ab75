// The synthetic bundles of the vesk_bundles ctest fixture, and copies of them that a test may break.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace vesk::test {

inline std::string bundleDir(const std::string& name) {
  const char* root = std::getenv("VESK_TEST_BUNDLES");
  return std::string(root != nullptr ? root : VESK_TEST_BUNDLES_DIR) + "/" + name;
}

// A private copy of a generated bundle under tmp, to break on purpose.
inline std::string copyBundle(const std::string& name, const TempDir& tmp) {
  const std::string to = tmp / name;
  std::filesystem::copy(bundleDir(name), to, std::filesystem::copy_options::recursive);
  return to;
}

inline void truncateBy(const std::string& path, uintmax_t bytes) {
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - bytes);
}

template <class T>
std::vector<T> readArray(const std::string& path) {
  const std::string bytes = readFile(path);
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

inline size_t countOf(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

}  // namespace vesk::test
