#include "tessera/vesk_bundle_tessera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>

#include "bundle/vesk_imx.h"
#include "core/vesk_file.h"
#include "tessera/vesk_tessera_json.h"

namespace vesk {

namespace {

using tessera::json::JParser;
using tessera::json::JVal;
using tessera::json::optStr;
using tessera::json::parseJson;
using tessera::json::reqNum;
using tessera::json::truncInt;

constexpr int32_t kMaxDonors = 1024;

bool readFile(const std::string& path, std::string& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// The whole file, with the teeth pass's own refusal texts.
std::string readMember(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) throw std::runtime_error("teeth: cannot open " + path);
  std::string out;
  if (std::fseek(f.get(), 0, SEEK_END) != 0) throw std::runtime_error("teeth: short read " + path);
  const long len = std::ftell(f.get());
  if (len < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) throw std::runtime_error("teeth: short read " + path);
  out.resize(static_cast<size_t>(len));
  if (len > 0 && std::fread(out.data(), 1, out.size(), f.get()) != out.size()) {
    throw std::runtime_error("teeth: short read " + path);
  }
  return out;
}

// The manifest of a resolved bundle directory: manifest.json, else meta.json; empty when neither opens.
std::string manifestPathIn(const std::string& dir) {
  for (const char* name : {"manifest.json", "meta.json"}) {
    const std::string p = dir + "/" + name;
    if (canOpenForReading(p)) return p;
  }
  return {};
}

TesseraCarriage carriageOf(const std::string& dir) {
  TesseraCarriage c;
  const std::string manifestPath = manifestPathIn(dir);
  std::string text;
  if (!manifestPath.empty() && !readFile(manifestPath, text)) text.clear();
  if (!text.empty()) {
    try {
      JParser parser(text);
      const JVal root = parser.parseValue();
      const JVal* block = root.find("tessera");
      if (block != nullptr && block->isObject()) {
        c.declared = true;
        const JVal* members = block->find("members");
        if (members != nullptr && members->isObject()) {
          for (int s = 0; s < tesseraSlotCount(); ++s) {
            const JVal* v = members->find(tesseraSlotKeys()[s]);
            if (v != nullptr && v->isString() && !v->str.empty()) c.names.at(s) = v->str;
          }
        }
        const JVal* planes = block->find("planes");
        if (planes != nullptr && planes->isArray()) {
          for (const JVal& p : planes->items) {
            if (p.isString()) c.planes.push_back(p.str);
          }
        }
      }
    } catch (const std::runtime_error&) {
      // An unreadable manifest means no block: the default names stand and the members decide.
      c = TesseraCarriage{};
    }
  }
  for (int s = 0; s < tesseraSlotCount(); ++s) {
    c.paths[s] = resolveMember(dir, c.names.at(s));
    if (!canOpenForReading(c.paths[s])) c.missing.push_back(tesseraSlotKeys()[s]);
  }
  c.complete = c.missing.empty();
  return c;
}

std::string stampText(const GeometryStamp& s) {
  std::string t = "{";
  const auto v = s.values();
  for (int i = 0; i < GeometryStamp::kCount; ++i) {
    if (i > 0) t += ", ";
    t += std::string(GeometryStamp::kKeys[i]) + "=" + std::to_string(v[i]);
  }
  return t + "}";
}

GeometryStamp readStamp(const JVal& geometry, const std::string& context) {
  GeometryStamp s;
  for (int i = 0; i < GeometryStamp::kCount; ++i) {
    s.*GeometryStamp::kFields[i] = truncInt(reqNum(geometry, GeometryStamp::kKeys[i], context));
  }
  return s;
}

const JVal* objectMember(const JVal& v, const char* key) {
  const JVal* m = v.find(key);
  return m != nullptr && m->isObject() ? m : nullptr;
}

const JVal* arrayMember(const JVal& v, const char* key) {
  const JVal* m = v.find(key);
  return m != nullptr && m->isArray() ? m : nullptr;
}

TesseraAttachInputs loadFrom(const std::string& dir) {
  const TesseraCarriage carriage = carriageOf(dir);
  requireTesseraMembers(carriage);
  const std::string manifestPath = manifestPathIn(dir);
  if (manifestPath.empty()) {
    throw std::runtime_error(dir +
                             " carries no manifest.json or meta.json — the compose descriptor (unified.pi) "
                             "the pass places its window by lives there, and placing a borrow window "
                             "without it is guessing.");
  }
  TesseraAttachInputs in;
  in.manifest_json = readMember(manifestPath);
  in.head_json = readMember(carriage.path("head_config"));
  const std::string pt = readMember(carriage.path("head_weights"));
  in.head_pt.assign(pt.begin(), pt.end());
  in.bank_track_path = carriage.path("bank_track");
  const std::string sidecarText = readMember(carriage.path("bank_sidecar"));

  const std::string& S = carriage.names.bank_sidecar;
  const JVal sidecar = parseJson(sidecarText, S);
  const JVal manifest = parseJson(in.manifest_json, manifestPath);

  const std::string format = optStr(sidecar, "format", "");
  if (format != "tessera_bank.v1") {
    throw std::runtime_error(S + " declares format '" + format +
                             "', not 'tessera_bank.v1' — this reader does not know that generation and will not "
                             "guess at its keys.");
  }
  const JVal* geometry = objectMember(sidecar, "geometry");
  if (geometry == nullptr) throw std::runtime_error(S + " carries no `geometry` stamp");
  in.stamp = readStamp(*geometry, S + ".geometry");

  const JVal* block = objectMember(manifest, "tessera");
  if (block != nullptr) {
    if (const JVal* mg = objectMember(*block, "geometry")) {
      const GeometryStamp declared = readStamp(*mg, "manifest.tessera.geometry");
      if (declared != in.stamp) {
        throw std::runtime_error("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
                                 stampText(declared) + " vs " + S + " " + stampText(in.stamp) +
                                 "; refusing to place a window on a rectangle the two halves of the bundle do not "
                                 "agree on.");
      }
    }
  }

  const int64_t bw = in.stamp.bandW(), bh = in.stamp.bandH();
  if (bw <= 0 || bh <= 0) {
    throw std::runtime_error("teeth stamp yields a non-positive stored patch (" + std::to_string(bw) + "x" +
                             std::to_string(bh) + ")");
  }
  // A stamp of int32 fields could still describe a patch no frame buffer can hold; such a band is
  // refused rather than wrapped when n_donors * band_h * band_w * 3 is sized from it.
  if (bw > std::numeric_limits<int32_t>::max() || bh > std::numeric_limits<int32_t>::max() ||
      bw * bh > std::numeric_limits<int32_t>::max() / 3) {
    throw std::runtime_error("teeth stamp yields a stored patch too large to hold (" + std::to_string(bw) + "x" +
                             std::to_string(bh) + ")");
  }
  in.band_w = static_cast<int32_t>(bw);
  in.band_h = static_cast<int32_t>(bh);

  const int32_t n = truncInt(reqNum(sidecar, "n_donors", S));
  if (n < 1) throw std::runtime_error(S + " says n_donors=" + std::to_string(n));
  if (n > kMaxDonors) {
    throw std::runtime_error(S + " carries n_donors=" + std::to_string(n) + ", over the owner's cap of " +
                             std::to_string(kMaxDonors) +
                             " (ruling 2026-08-28). This reader REFUSES rather than capping: the selector is the "
                             "bank's BUILD-time cap selector, and a second one here would change which donors reach "
                             "the mouth while every count-based check stayed green. Rebuild the bank.");
  }
  in.n_donors = n;

  const JVal* order = arrayMember(sidecar, "track_order");
  const JVal* cent = arrayMember(sidecar, "cent");
  const JVal* aperture = arrayMember(sidecar, "aperture");
  const JVal* canon = arrayMember(sidecar, "c_canon");
  if (order == nullptr || cent == nullptr || aperture == nullptr || canon == nullptr) {
    throw std::runtime_error(S + " lacks one of track_order/cent/aperture/c_canon as an array");
  }
  const size_t un = static_cast<size_t>(n);
  if (order->items.size() != un || cent->items.size() != un || aperture->items.size() != un) {
    throw std::runtime_error(
        S + " says n_donors=" + std::to_string(n) + " but carries track_order=" + std::to_string(order->items.size()) +
        ", cent=" + std::to_string(cent->items.size()) + ", aperture=" + std::to_string(aperture->items.size()) +
        " — a count mismatch silently mis-orders the donors.");
  }
  if (canon->items.size() != 2) throw std::runtime_error(S + " c_canon is not a pair");

  std::vector<bool> seen(un, false);
  in.track_order.resize(un);
  for (size_t i = 0; i < un; ++i) {
    const int32_t v = truncInt(order->items[i].num);
    if (v < 0 || v >= n) {
      throw std::runtime_error(S + " track_order[" + std::to_string(i) + "]=" + std::to_string(v) + " is outside [0," +
                               std::to_string(n) + ")");
    }
    if (seen[static_cast<size_t>(v)]) {
      throw std::runtime_error(S + " track_order is not a permutation (reference " + std::to_string(v) +
                               " appears twice) — the inverse permutation would leave a reference slot never "
                               "written and the pass would blend uninitialised memory into a real mouth.");
    }
    seen[static_cast<size_t>(v)] = true;
    in.track_order[i] = v;
  }
  in.cent.resize(2 * un);
  for (size_t i = 0; i < un; ++i) {
    const JVal& c = cent->items[i];
    if (!c.isArray() || c.items.size() != 2) {
      throw std::runtime_error(S + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    }
    in.cent[2 * i] = c.items[0].num;
    in.cent[2 * i + 1] = c.items[1].num;
  }
  in.aperture.resize(un);
  for (size_t i = 0; i < un; ++i) in.aperture[i] = aperture->items[i].num;
  in.c_canon = {canon->items[0].num, canon->items[1].num};

  std::string sideCodec, sidePixFmt;
  if (const JVal* codec = objectMember(sidecar, "codec")) {
    sideCodec = optStr(*codec, "codec", "");
    sidePixFmt = optStr(*codec, "pix_fmt", "");
  }
  in.bank_codec = sideCodec;
  in.bank_pix_fmt = sidePixFmt;
  if (block != nullptr) {
    in.bank_container = optStr(*block, "bank_container", in.bank_container);
    in.bank_packing = optStr(*block, "bank_packing", in.bank_packing);
    in.bank_codec = optStr(*block, "bank_codec", sideCodec);
    in.bank_pix_fmt = optStr(*block, "bank_pix_fmt", sidePixFmt);
  }
  if (in.bank_pix_fmt.empty()) {
    throw std::runtime_error(dir + ": neither manifest.tessera.bank_pix_fmt nor " + S +
                             ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
                             "negotiates one, and the one it settles on is 4:2:0 — lossy chroma on reference pixels "
                             "IS the borrow degrading. Refusing rather than letting it guess.");
  }
  return in;
}

}  // namespace

const std::vector<std::string>& tesseraSlotKeys() {
  static const std::vector<std::string> keys = {"bank_track", "bank_sidecar", "head_weights", "head_config"};
  return keys;
}

int tesseraSlotCount() { return 4; }

std::string& TesseraSlots::at(int slot) {
  return const_cast<std::string&>(static_cast<const TesseraSlots&>(*this).at(slot));
}

const std::string& TesseraSlots::at(int slot) const {
  switch (slot) {
    case 0:
      return bank_track;
    case 1:
      return bank_sidecar;
    case 2:
      return head_weights;
    case 3:
      return head_config;
    default:
      throw std::runtime_error("teeth: no such member slot " + std::to_string(slot));
  }
}

const std::string& TesseraCarriage::path(const std::string& slot_key) const {
  for (int s = 0; s < tesseraSlotCount(); ++s) {
    if (tesseraSlotKeys()[s] == slot_key) return paths.at(s);
  }
  throw std::runtime_error("teeth: no such member slot '" + slot_key + "'");
}

TesseraCarriage tesseraCarriage(const std::string& bundle_dir) { return carriageOf(resolveBundlePath(bundle_dir)); }

TesseraCarriage tesseraCarriage(const Manifest& manifest) { return tesseraCarriage(manifest.dir); }

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string msg = "missing teeth member(s): ";
  for (size_t i = 0; i < c.missing.size(); ++i) {
    if (i > 0) msg += ", ";
    int slot = 0;
    while (slot < tesseraSlotCount() && tesseraSlotKeys()[slot] != c.missing[i]) ++slot;
    msg += c.missing[i] + " (" + (slot < tesseraSlotCount() ? c.names.at(slot) : std::string()) + ")";
  }
  msg += " — carries " + std::to_string(tesseraSlotCount() - static_cast<int>(c.missing.size())) + " of 4";
  if (c.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; any missing = "
      "REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no rendering mode that proceeds "
      "without them (calvora-2 IS borrowed teeth). Re-stage the bundle with the bank builder.";
  throw MissingTesseraMember(msg, c.missing);
}

TesseraAttachInputs loadTesseraMembers(const std::string& bundle_dir) {
  return loadFrom(resolveBundlePath(bundle_dir));
}

TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) { return loadTesseraMembers(manifest.dir); }

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* out) {
  if (track == nullptr || out == nullptr) throw std::runtime_error("teeth: null band buffer");
  if (in.track_order.size() != static_cast<size_t>(std::max(in.n_donors, 0))) {
    throw std::runtime_error("teeth: track_order does not match n_donors");
  }
  const int64_t frame = int64_t{in.band_h} * in.band_w * 3;
  if (frame == 0) throw std::runtime_error("teeth: zero reference stride");
  // A record filled by hand rather than loaded could name a slot outside the output.
  for (const int32_t d : in.track_order) {
    if (d < 0 || d >= in.n_donors || frame < 0) throw std::runtime_error("teeth: track_order names no donor slot");
  }
  const size_t bytes = static_cast<size_t>(frame);
  for (size_t i = 0; i < in.track_order.size(); ++i) {
    std::memcpy(out + static_cast<size_t>(in.track_order[i]) * bytes, track + i * bytes, bytes);
  }
}

}  // namespace vesk
