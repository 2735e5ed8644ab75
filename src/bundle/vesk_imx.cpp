#include "bundle/vesk_imx.h"
#include "core/vesk_env.h"
#include "core/vesk_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace vesk {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept {
    if (f != nullptr) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr const char* kModelPfx = "model_b";
constexpr const char* kOnnx = ".onnx";
constexpr const char* kDrive = "drive/";
constexpr size_t kCopyBuffer = 8u << 20;
constexpr uint64_t kManifestPeekMax = 4u << 20;

struct Alias {
  const char* legacy;
  const char* unified;
};
constexpr Alias kExact[] = {
    {"P.f16", "source_frames.f16"},
    {"P_hevc.mov", "source_frames.hevc"},
    {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
    {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
    {"M.f32", "paste_transform.f32"},
    {"mask_512.u8", "paste_mask.u8"},
    {"pooled64.f16", "pooled_features.f16"},
    {"fs_red.f16", "feature_synth.f16"},
    {"xs_target.bin", "target_keypoints.bin"},
};

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool endsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

uint16_t le16(const unsigned char* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }
uint64_t le64(const unsigned char* b) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

bool pathExists(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

// Reads the marker whole, or nothing when it cannot be read.
std::optional<std::string> readSmallFile(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return std::nullopt;
  std::string out;
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    out.append(buf, got);
    if (out.size() > (1u << 20)) return std::nullopt;  // no stamp is this long
  }
  if (std::ferror(f.get())) return std::nullopt;
  return out;
}

std::string trimBlanks(const std::string& s) {
  const char* blanks = " \t\r\n";
  const size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

// A zero byte would end the message early; it is shown as the two characters backslash and zero.
std::string printableName(const std::string& name) {
  std::string out;
  for (const char ch : name) {
    if (ch == '\0') out += "\\0";
    else out += ch;
  }
  return out;
}

// Reads the 8-byte header and returns the member count; throws unless it is a version 2 container.
uint16_t readHeader(std::FILE* f, const std::string& c) {
  unsigned char hdr[8];
  if (std::fread(hdr, 1, 8, f) != 8 || std::memcmp(hdr, imx::kMagic, 4) != 0)
    throw std::runtime_error(c + ": not an IMX\\0 container");
  const uint16_t version = le16(hdr + 4);
  if (version != imx::kVersion)
    throw std::runtime_error(c + ": unsupported IMX container version " + std::to_string(version));
  return le16(hdr + 6);
}

// A regular file whose first 4 bytes are the container magic, whatever version follows.
bool carriesImxMagic(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  unsigned char magic[4];
  return std::fread(magic, 1, 4, f.get()) == 4 && std::memcmp(magic, imx::kMagic, 4) == 0;
}

// A container of a version this reader does not know is refused with its version before the cache
// directory is touched; a version 2 one is unwrapped.
std::string unwrapContainer(const std::string& c) {
  if (!isImxV2File(c)) {
    File f(std::fopen(c.c_str(), "rb"));
    if (!f) throw std::runtime_error("cannot open container " + c);
    (void)readHeader(f.get(), c);
  }
  return imx::unwrapOnce(c);
}

std::vector<imx::Entry> readToc(std::FILE* f, const std::string& c) {
  const uint16_t n = readHeader(f, c);
  std::vector<imx::Entry> toc;
  toc.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    unsigned char lb[2];
    if (std::fread(lb, 1, 2, f) != 2) throw std::runtime_error(c + ": truncated TOC at member " + std::to_string(i));
    imx::Entry e;
    e.name.resize(le16(lb));
    if (!e.name.empty() && std::fread(e.name.data(), 1, e.name.size(), f) != e.name.size())
      throw std::runtime_error(c + ": truncated member name at " + std::to_string(i));
    unsigned char ob[16];
    if (std::fread(ob, 1, 16, f) != 16) throw std::runtime_error(c + ": truncated TOC offsets at member " + printableName(e.name));
    e.offset = le64(ob);
    e.size = le64(ob + 8);
    toc.push_back(std::move(e));
  }
  return toc;
}

bool seekTo(std::FILE* f, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// A container's own placeholder manifest is not a member of the bundle.
bool isSyntheticManifest(std::FILE* f, const imx::Entry& e) {
  if (e.name != "manifest.json" || e.size < 1 || e.size > kManifestPeekMax) return false;
  if (!seekTo(f, e.offset)) return false;
  std::string text(e.size, '\0');
  if (std::fread(text.data(), 1, text.size(), f) != text.size()) return false;
  return text.find("_imx_synthetic_manifest") != std::string::npos;
}

void materialise(std::FILE* f, const std::string& c, const std::string& u, const imx::Entry& e,
                 std::vector<char>& buf) {
  const std::string d = u + "/" + e.name;
  const std::string parent = dirName(d);
  if (!mkdirs(parent)) throw std::runtime_error("cannot create " + parent);
  if (!seekTo(f, e.offset)) throw std::runtime_error(c + ": cannot seek to member " + e.name);
  const std::string part = d + ".part";
  File out(std::fopen(part.c_str(), "wb"));
  if (!out) throw std::runtime_error("cannot write " + part);
  // A member is either placed whole or not at all: no half-copied ".part" outlives a failure.
  auto fail = [&](const std::string& why) {
    out.reset();
    ::unlink(part.c_str());
    throw std::runtime_error(why);
  };
  uint64_t left = e.size;
  while (left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
    const size_t got = std::fread(buf.data(), 1, want, f);
    if (got == 0) fail(c + ": truncated payload for member " + e.name);
    if (std::fwrite(buf.data(), 1, got, out.get()) != got) fail("short write materialising " + d);
    left -= got;
  }
  if (std::fflush(out.get()) != 0) fail("flush failed materialising " + d);
  std::FILE* raw = out.release();
  if (std::fclose(raw) != 0) {
    ::unlink(part.c_str());
    throw std::runtime_error("flush failed materialising " + d);
  }
  if (std::rename(part.c_str(), d.c_str()) != 0) {
    ::unlink(part.c_str());
    throw std::runtime_error("cannot place member " + d);
  }
}

void writeMarker(const std::string& marker, const std::string& stamp) {
  File m(std::fopen(marker.c_str(), "wb"));
  if (!m) throw std::runtime_error("cannot write unwrap marker " + marker);
  if (std::fwrite(stamp.data(), 1, stamp.size(), m.get()) != stamp.size() || std::fflush(m.get()) != 0) {
    m.reset();
    ::unlink(marker.c_str());
    throw std::runtime_error("short write on unwrap marker " + marker);
  }
  if (std::fclose(m.release()) != 0) {
    ::unlink(marker.c_str());
    throw std::runtime_error("short write on unwrap marker " + marker);
  }
}

}  // namespace

bool isImxV2File(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  unsigned char hdr[8];
  if (std::fread(hdr, 1, 8, f.get()) != 8) return false;
  return std::memcmp(hdr, imx::kMagic, 4) == 0 && le16(hdr + 4) == imx::kVersion;
}

std::optional<std::string> canonicalMember(const std::string& name) {
  for (const Alias& a : kExact)
    if (name == a.legacy) return std::string(a.unified);
  const std::string_view pfx = kModelPfx, onnx = kOnnx, drive = kDrive;
  if (startsWith(name, pfx) && endsWith(name, onnx) && name.size() > pfx.size() + onnx.size()) {
    const std::string x = name.substr(pfx.size(), name.size() - pfx.size() - onnx.size());
    const size_t us = x.find('_');
    const std::string head = x.substr(0, us);
    const std::string tail = us == std::string::npos ? std::string() : x.substr(us + 1);
    return "render_model.batch" + head + (tail.empty() ? "" : "." + tail) + ".onnx";
  }
  if (startsWith(name, drive)) {
    const std::string rest = name.substr(drive.size());
    const size_t dot = rest.find('.');
    std::string s = rest.substr(0, dot);
    const std::string e = dot == std::string::npos ? std::string() : rest.substr(dot);
    if (s == "xs") s = "source_keypoints";
    else if (s == "xd") s = "driven_keypoints";
    else if (s == "si") s = "source_index";
    return "idle_loop/" + s + e;
  }
  return std::nullopt;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::optional<std::string> unified = canonicalMember(name);
  const std::string legacy = dir + "/" + name;
  if (!unified) return legacy;
  if (canOpenForReading(legacy)) return legacy;
  const std::string alias = dir + "/" + *unified;
  if (canOpenForReading(alias)) return alias;
  return legacy;
}

std::string resolveBundlePath(const std::string& path) {
  if (path.empty()) return path;
  if (isDirectory(path) && !pathExists(rstripSlash(path) + imx::kMarkerSuffix)) return path;
  // A file that carries the container magic is a container whatever its version: handing it on as
  // a directory would only surface later as a baffling manifest error.
  if (endsWith(path, ".imx") && carriesImxMagic(path)) return unwrapContainer(path);
  const std::string c = rstripSlash(path) + ".imx";
  if (carriesImxMagic(c)) return unwrapContainer(c);
  if (carriesImxMagic(path)) return unwrapContainer(path);
  return path;
}

namespace imx {

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

bool isUnsafeMemberName(const std::string& name) {
  return name.empty() || name[0] == '/' || name[0] == '\\' || name.find("..") != std::string::npos ||
         name.find('\0') != std::string::npos;
}

CachePaths cachePathsFor(const std::string& container) {
  std::string stem = baseName(container);
  if (endsWith(stem, ".imx")) stem.resize(stem.size() - 4);
  if (!endsWith(stem, ".veskbundle")) stem += ".veskbundle";
  const std::string root = env::text("VESK_IMX_UNWRAP_ROOT").value_or(dirName(container));
  CachePaths p;
  p.dir = rstripSlash(root) + "/" + stem;
  p.marker = p.dir + kMarkerSuffix;
  return p;
}

std::string stampOf(const std::string& container) {
  struct stat st {};
  if (::lstat(container.c_str(), &st) != 0) throw std::runtime_error("cannot stat container " + container);
  const long long mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return std::string(kStampTag) + " " + baseName(container) + " " + std::to_string(st.st_size) + " " +
         std::to_string(mtimeNs) + " " + std::to_string(st.st_ino);
}

std::string unwrapOnce(const std::string& c) {
  const CachePaths cp = cachePathsFor(c);
  const std::lock_guard<std::mutex> lock(unwrapMutex());
  const std::string stamp = stampOf(c);
  if (isDirectory(cp.dir)) {
    const std::optional<std::string> have = readSmallFile(cp.marker);
    if (have && trimBlanks(*have) == stamp) return cp.dir;
  }
  ::unlink(cp.marker.c_str());
  rmTree(cp.dir);
  if (!mkdirs(cp.dir)) throw std::runtime_error("cannot create unwrap dir " + cp.dir);

  File f(std::fopen(c.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open container " + c);
  const std::vector<Entry> toc = readToc(f.get(), c);
  // Every name is checked before anything is written, so a hostile table places no file at all.
  for (const Entry& e : toc)
    if (isUnsafeMemberName(e.name))
      throw std::runtime_error(c + ": refusing unsafe member name '" + printableName(e.name) + "'");
  std::vector<char> buf(kCopyBuffer);
  for (const Entry& e : toc) {
    if (isSyntheticManifest(f.get(), e)) continue;
    materialise(f.get(), c, cp.dir, e, buf);
  }
  f.reset();
  writeMarker(cp.marker, stamp);
  std::fprintf(stderr, "[vesk] unwrapped %s -> %s\n", c.c_str(), cp.dir.c_str());
  return cp.dir;
}

}  // namespace imx
}  // namespace vesk
