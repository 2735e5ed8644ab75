// Bundle paths: IMX v2 containers, their unwrap cache, and member names of both bundle layouts.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

// The bundle directory to use for whatever path a host hands over: a directory as it is, a
// container unwrapped (once) into its cache directory.
std::string resolveBundlePath(const std::string& path);

// The path of member `name` in `dir`: the legacy name when that file can be opened, else its
// unified-layout alias when that one can, else the legacy path (so the caller's open names it).
std::string resolveMember(const std::string& dir, const std::string& name);

// A regular file whose first 8 bytes are "IMX\0" and version 2.
bool isImxV2File(const std::string& path);

// The unified-layout name of a legacy member name, or none.
std::optional<std::string> canonicalMember(const std::string& name);

namespace imx {

inline constexpr char kMagic[4] = {'I', 'M', 'X', '\0'};
inline constexpr uint16_t kVersion = 2;
inline constexpr const char* kStampTag = "imx-unwrapped.v2";
inline constexpr const char* kMarkerSuffix = ".imx_unwrapped";

struct Entry {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Where a container's members go, and the marker that records a finished unwrap.
struct CachePaths {
  std::string dir;     // U
  std::string marker;  // U + ".imx_unwrapped"
};
CachePaths cachePathsFor(const std::string& container);

// Unwraps container C into its cache directory unless the marker there matches C's stamp.
std::string unwrapOnce(const std::string& container);

// Serialises every unwrap and cache check of the process.
std::mutex& unwrapMutex();

// The stamp of C as the marker records it; throws "cannot stat container C".
std::string stampOf(const std::string& container);

// Empty, absolute ("/" or "\" first), containing ".." or a zero byte.
bool isUnsafeMemberName(const std::string& name);

}  // namespace imx


}  // namespace vesk
