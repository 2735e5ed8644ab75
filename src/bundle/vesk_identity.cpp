#include "bundle/vesk_identity.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bundle/vesk_imx.h"

namespace vesk {

// ---------------------------------------------------------------------------------------------
// helpers

namespace {

// The member's size is checked before anything is allocated: a manifest that claims millions of
// frames against small tables is refused at the cost of a stat.
template <typename T>
std::vector<T> readRaw(const std::string& path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  struct stat st {};
  const uint64_t bytes = checkedProduct({count, sizeof(T)}, "the size of " + path);
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != bytes)
    throw std::runtime_error("size mismatch " + path);
  std::vector<T> out(count);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(bytes));
  if (static_cast<uint64_t>(in.gcount()) != bytes) throw std::runtime_error("size mismatch " + path);
  char extra;
  if (in.read(&extra, 1).gcount() != 0) throw std::runtime_error("size mismatch " + path);
  return out;
}

size_t frames(int32_t n) { return n > 0 ? static_cast<size_t>(n) : 0; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// ensureIdentityMembers

void ensureIdentityMembers(const Manifest& manifest) {
  const std::string& dir = manifest.dir;
  const std::string& prior_name = manifest.prior_raw;
  const bool have_p = fileExists(resolveMember(dir, "P.f16"));
  const bool have_fs = fileExists(resolveMember(dir, "fs_red.f16"));
  if (prior_name != "P.f16" && fileExists(resolveMember(dir, prior_name)) && !have_p && !have_fs)
    throw std::runtime_error("this bundle's manifest names its raw warp prior '" + prior_name +
                             "' (P_rgb) but vesk::Identity maps the welded name P.f16 and would find nothing — it "
                             "maps NOTHING silently and Identity::P(si) is then an offset from a null pointer. "
                             "REFUSING rather than rendering off a prior nothing will read.");
  if (have_p || have_fs) return;
  const std::string& hevc = manifest.prior_video;
  if (hevc.empty())
    throw std::runtime_error("this bundle carries neither " + prior_name +
                             " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the "
                             "renderer has no warp prior and vesk::Identity would hand it a null pointer. REFUSING "
                             "to create a session.");
  const std::string path = resolveMember(dir, hevc);
  if (!fileExists(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc + "' and the file is not there (" + path +
                             ") — the renderer has no warp prior. REFUSING to create a session.");
}

// ---------------------------------------------------------------------------------------------
// Identity

Identity::Identity(const Manifest& m) : NT(m.NT), crop(m.crop), manifest(m) {
  ensureIdentityMembers(m);
  const size_t nt = frames(NT);
  const size_t side = frames(crop);
  const std::string pooled_path = resolveMember(m.dir, "pooled64.f16");
  pooled = MappedFile(pooled_path, checkedProduct({nt, kPooledHalves, 2}, "the size of " + pooled_path));
  const std::string p_path = resolveMember(m.dir, "P.f16");
  const std::string fs_path = resolveMember(m.dir, "fs_red.f16");
  if (canOpenForReading(p_path)) {
    P_ = MappedFile(p_path, checkedProduct({nt, side, side, 6}, "the size of " + p_path));
  } else if (!canOpenForReading(fs_path)) {
    const std::string path = resolveMember(m.dir, m.priorVideoName());
    if (canOpenForReading(path)) prior_path = path;
  }
  if (canOpenForReading(fs_path))
    fs_red = MappedFile(fs_path, checkedProduct({nt, kFsRedHalves, 2}, "the size of " + fs_path));
  M_ = readRaw<float>(resolveMember(m.dir, "M.f32"), checkedProduct({nt, 6}, "the paste matrices of NT frames"));
  rescaleM(m);
}

Identity::~Identity() = default;

void Identity::checkSi(int si) const {
  if (si < 0 || si >= NT)
    throw std::runtime_error("vesk::Identity: si " + std::to_string(si) + " outside [0," + std::to_string(NT) + ")");
}

const uint16_t* Identity::pooled64(int si) const {
  checkSi(si);
  return reinterpret_cast<const uint16_t*>(pooled.data() + static_cast<size_t>(si) * kPooledHalves * 2);
}

const uint16_t* Identity::P(int si) const {
  checkSi(si);
  if (P_.empty()) throw std::runtime_error("vesk::Identity: this bundle maps no P.f16; its prior plays from video");
  return reinterpret_cast<const uint16_t*>(P_.data() + static_cast<size_t>(si) * frames(crop) * frames(crop) * 6);
}

const uint16_t* Identity::fsRed(int si) const {
  checkSi(si);
  if (fs_red.empty()) throw std::runtime_error("vesk::Identity: this bundle carries no fs_red.f16");
  return reinterpret_cast<const uint16_t*>(fs_red.data() + static_cast<size_t>(si) * kFsRedHalves * 2);
}

const float* Identity::M(int si) const {
  checkSi(si);
  return M_.data() + static_cast<size_t>(si) * 6;
}

void Identity::rescaleM(const Manifest& m) {
  if (m.M_src_w <= 0 || m.M_src_h <= 0)
    throw std::runtime_error("vesk::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to "
                             "paste M without knowing the space it was authored in");
  if (m.M_src_w == m.W && m.M_src_h == m.H) return;
  const double sx = static_cast<double>(m.W) / m.M_src_w;
  const double sy = static_cast<double>(m.H) / m.M_src_h;
  for (size_t i = 0; i + 6 <= M_.size(); i += 6) {
    for (size_t k = 0; k < 3; ++k) M_[i + k] = static_cast<float>(M_[i + k] * sx);
    for (size_t k = 3; k < 6; ++k) M_[i + k] = static_cast<float>(M_[i + k] * sy);
  }
}

// ---------------------------------------------------------------------------------------------
// Drive

Drive loadDrive(const Manifest& m) {
  Drive d;
  d.frames = m.frames;
  const size_t n = frames(m.frames);
  const size_t rows = checkedProduct({n, static_cast<uint64_t>(kKpWidth)}, "the drive tables of " + std::to_string(m.frames) + " frames");
  d.xs = readRaw<float>(resolveMember(m.dir, "drive/xs.f32"), rows);
  d.xd = readRaw<float>(resolveMember(m.dir, "drive/xd.f32"), rows);
  d.si = readRaw<int32_t>(resolveMember(m.dir, "drive/si.i32"), n);
  for (int32_t s : d.si)
    if (s < 0 || s >= m.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace vesk
