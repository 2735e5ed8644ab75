#include "bundle/vesk_bundle.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>

#include "bundle/vesk_imx.h"
#include "core/vesk_file.h"
#include "core/vesk_env.h"

namespace vesk {

namespace manifest_key {

std::vector<KeyHit> keyHits(std::string_view text, std::string_view key) {
  std::vector<KeyHit> hits;
  const size_t n = text.size();
  int32_t depth = 0;
  size_t i = 0;
  while (i < n) {
    const char ch = text[i];
    if (ch == '{' || ch == '[') {
      ++depth;
      ++i;
      continue;
    }
    if (ch == '}' || ch == ']') {
      --depth;
      ++i;
      continue;
    }
    if (ch != '"') {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < n && text[j] != '"') j += (text[j] == '\\') ? 2 : 1;
    if (j >= n - 1) break;  // unterminated, or the closing quote is the last byte
    const std::string_view name = text.substr(i + 1, j - i - 1);
    size_t k = j + 1;
    while (k < n && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
    if (k < n && text[k] == ':' && name == key) {
      size_t v = k + 1;
      while (v < n && std::isspace(static_cast<unsigned char>(text[v]))) ++v;
      KeyHit h;
      h.pos = v;
      h.depth = depth;
      h.scalar = v < n && text[v] != '[' && text[v] != '{';
      hits.push_back(h);
    }
    i = j + 1;
  }
  return hits;
}

namespace {

[[noreturn]] void throwAmbiguous(std::string_view key, const std::vector<KeyHit>& listed) {
  std::string m = "manifest: key \"";
  m.append(key);
  m += "\" is AMBIGUOUS \xE2\x80\x94 ";
  m += std::to_string(listed.size());
  m += " scalar occurrences (";
  for (size_t i = 0; i < listed.size(); ++i) {
    if (i > 0) m += ", ";
    m += "byte " + std::to_string(listed[i].pos);
  }
  m += "). A loader that picks one silently installs a number nobody checks. Rename the colliding key "
       "(a nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, "
       "amount, sigma, ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the "
       "bundle with the legacy manifest layout.";
  throw std::runtime_error(m);
}

}  // namespace

size_t scalarValuePos(std::string_view text, std::string_view key) {
  std::vector<KeyHit> scalars, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    scalars.push_back(h);
    if (h.depth == 1) top.push_back(h);
  }
  if (top.size() == 1) return top[0].pos;
  if (top.size() > 1) throwAmbiguous(key, top);
  if (scalars.size() == 1) return scalars[0].pos;
  if (scalars.size() > 1) throwAmbiguous(key, scalars);
  return kAbsent;
}

}  // namespace manifest_key

namespace {

// The number at the value of `key`, or none when the key is absent or reads as the absence mark.
// A value that is not a number at all is refused rather than read as 0.
std::optional<double> numberAt(const std::string& text, const std::string& key) {
  const size_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == manifest_key::kAbsent) return std::nullopt;
  const char* start = text.c_str() + pos;
  char* end = nullptr;
  const double v = std::strtod(start, &end);
  if (end == start) throw std::runtime_error("manifest: bad number " + key);
  if (v == manifest_key::kAbsentNumber) return std::nullopt;
  return v;
}

double numField(const std::string& text, const std::string& key) {
  const std::optional<double> v = numberAt(text, key);
  if (!v) throw std::runtime_error("manifest: missing key " + key);
  return *v;
}

// Truncation toward zero; a value no 32-bit integer holds is refused instead of wrapping.
int32_t toInt(double v, const std::string& key) {
  if (!std::isfinite(v) || v <= -2147483649.0 || v >= 2147483648.0)
    throw std::runtime_error("manifest: bad number " + key);
  return static_cast<int32_t>(v);
}

float toFloat(double v, const std::string& key) {
  if (std::isnan(v) || std::fabs(v) > std::numeric_limits<float>::max())
    throw std::runtime_error("manifest: bad number " + key);
  return static_cast<float>(v);
}

}  // namespace

const char* findKey(const std::string& text, const std::string& key) {
  const size_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == manifest_key::kAbsent) throw std::runtime_error("manifest: missing key " + key);
  return text.c_str() + pos;
}

std::string strField(const std::string& text, const std::string& key) {
  const size_t pos = static_cast<size_t>(findKey(text, key) - text.c_str());
  const size_t open = text.find('"', pos);
  if (open == std::string::npos) throw std::runtime_error("manifest: bad string " + key);
  const size_t close = text.find('"', open + 1);
  if (close == std::string::npos) throw std::runtime_error("manifest: bad string " + key);
  return text.substr(open + 1, close - open - 1);
}

double numFieldEither(const std::string& text, const std::string& key, const std::string& alternative) {
  if (const std::optional<double> v = numberAt(text, key)) return *v;
  if (const std::optional<double> v = numberAt(text, alternative)) return *v;
  throw std::runtime_error("manifest: missing key " + key + "/" + alternative);
}

std::string manifestStringOr(const std::string& text, const std::string& key, const std::string& fallback) {
  const size_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == manifest_key::kAbsent || pos >= text.size() || text[pos] != '"') return fallback;
  const size_t end = text.find('"', pos + 1);
  if (end == std::string::npos || end == pos + 1) return fallback;
  return text.substr(pos + 1, end - pos - 1);
}

std::string Manifest::modelPath(const std::string& key) const { return resolveMember(dir, "model_" + key + ".onnx"); }

Manifest loadManifest(const std::string& path) {
  Manifest m;
  m.dir = resolveBundlePath(path);
  const std::string text = readWholeFile(m.dir + "/manifest.json");
  if (strField(text, "format") != "vesk-bundle-v0") throw std::runtime_error("not an vesk-bundle-v0: " + m.dir);

  m.agent = strField(text, "agent");
  m.NT = toInt(numFieldEither(text, "NT", "frame_count"), "NT");
  m.H = toInt(numField(text, "H"), "H");
  m.W = toInt(numField(text, "W"), "W");
  m.crop = toInt(numFieldEither(text, "crop", "crop_size"), "crop");
  m.unsharp.amount = toFloat(numField(text, "amount"), "amount");
  m.unsharp.sigma = toFloat(numField(text, "sigma"), "sigma");
  m.unsharp.ksize = toInt(numField(text, "ksize"), "ksize");
  m.frames = toInt(numField(text, "frames"), "frames");
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");
  if (m.W > kMaxCanvasSide || m.H > kMaxCanvasSide)
    throw std::runtime_error("manifest: the canvas is " + std::to_string(m.W) + "x" + std::to_string(m.H) +
                             ", beyond the " + std::to_string(kMaxCanvasSide) +
                             " pixels a side this library sizes its frame buffers for \xE2\x80\x94 a broken or "
                             "hostile manifest, refusing to serve");
  if (m.crop > kMaxCrop)
    throw std::runtime_error("manifest: the face crop is " + std::to_string(m.crop) + " pixels, beyond the " +
                             std::to_string(kMaxCrop) +
                             " a director renders \xE2\x80\x94 a broken or hostile manifest, refusing to serve");

  std::optional<double> sw = numberAt(text, "M_src_w");
  if (!sw) sw = numberAt(text, "paste_source_width");
  std::optional<double> sh = numberAt(text, "M_src_h");
  if (!sh) sh = numberAt(text, "paste_source_height");
  if (sw && sh) {
    m.M_src_w = toInt(*sw, "M_src_w");
    m.M_src_h = toInt(*sh, "M_src_h");
  } else {
    if (env::flag("CALVORA2_MSRC_MISSING_OK")) {
      std::fprintf(stderr,
                   "[vesk] WARNING CALVORA2_MSRC_MISSING_OK=1: %s/manifest.json carries no paste-space stamp; "
                   "ASSUMING M was authored on this %dx%d canvas. If it was not, the face pastes off-target"
                   " and nothing will say so.\n",
                   m.dir.c_str(), m.W, m.H);
      m.M_src_w = m.W;
      m.M_src_h = m.H;
    } else {
      throw std::runtime_error(
          m.dir +
          "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
          "\xE2\x80\x94 the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. Re-stamp the bundle "
          "(models/calvora-2/inference/backfill_msrc.py), or set CALVORA2_MSRC_MISSING_OK=1 to restore the legacy "
          "assumption.");
    }
  }
  if (m.M_src_w < 1 || m.M_src_h < 1)
    throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");

  m.prior_raw = manifestStringOr(text, "P_rgb", m.prior_raw);
  m.prior_video = manifestStringOr(text, "P_hevc", "");
  m.driver_frames = manifestStringOr(text, "target_frames", m.driver_frames);
  m.driver_video = manifestStringOr(text, "target_frames_mp4", m.driver_video);

  const std::string lip = resolveMember(m.dir, "lip_template.v1.json");
  if (canOpenForReading(lip)) {
    try {
      m.lip_template = readWholeFile(lip);
    } catch (const std::exception&) {
      m.lip_template.clear();  // an unreadable template is the same as none
    }
  }
  return m;
}

}  // namespace vesk
