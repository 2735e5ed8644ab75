// The teeth member calls. Unlike the other families they report into a caller's buffer, so a host
// can open members on any thread without disturbing a session's last error.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/vesk_bundle_tessera.h"
#include "tessera/vesk_tessera.h"
#include "tessera/vesk_tessera_head.h"
#include "vesk/vesk_tessera.h"

struct vesk_tessera_carriage {
  vesk::TesseraCarriage carriage;
  std::string pathOut;  // what the last vesk_tessera_carriage_path returned
};

struct vesk_tessera_members {
  vesk::TesseraAttachInputs in;
  std::array<int32_t, vesk::GeometryStamp::kCount> stamp{};
};

namespace {

void fillErr(char* err, int errLen, const std::string& msg) {
  if (err == nullptr || errLen < 1) return;
  const size_t cap = static_cast<size_t>(errLen) - 1;
  const size_t n = std::min(cap, msg.size());
  std::memcpy(err, msg.data(), n);
  std::memset(err + n, 0, cap - n);
  err[cap] = '\0';
}

// A shift of this dy asks the pass to derive the frame's shift from its mask.
constexpr int32_t kDeriveShift = -10000;

int runFrames(const uint8_t* bank, int n, const double* cent, const double* c_canon, const double* aperture,
              const int32_t* stamp, const uint8_t* head_pt, int head_pt_len, const char* head_json,
              const uint8_t* frames, const uint8_t* masks, const int32_t* shifts, int count, uint8_t* windows_out,
              int32_t* skipped_out) {
  if (stamp == nullptr) throw std::runtime_error("teeth: null stamp");
  vesk::tessera::BankData b;
  for (int i = 0; i < vesk::GeometryStamp::kCount; ++i) b.stamp.*vesk::GeometryStamp::kFields[i] = stamp[i];
  b.stamp.validate();
  if (bank == nullptr || cent == nullptr || c_canon == nullptr || aperture == nullptr || head_pt == nullptr ||
      head_json == nullptr || head_pt_len < 0) {
    throw std::runtime_error("teeth: a bank, sidecar or head argument is null");
  }
  if (count > 0 && (frames == nullptr || masks == nullptr || windows_out == nullptr || skipped_out == nullptr)) {
    throw std::runtime_error("teeth: null frame or output buffer for " + std::to_string(count) + " frames");
  }
  b.n_donors = n;
  if (n > 0) {
    b.pixels.assign(bank, bank + static_cast<size_t>(n) * static_cast<size_t>(b.stamp.bandH()) *
                                     static_cast<size_t>(b.stamp.bandW()) * 3);
    b.cent.assign(cent, cent + 2 * static_cast<size_t>(n));
    b.aperture.assign(aperture, aperture + static_cast<size_t>(n));
  }
  b.c_canon = {c_canon[0], c_canon[1]};
  const vesk::tessera::HeadWeights head =
      vesk::tessera::loadHeadPt(std::vector<uint8_t>(head_pt, head_pt + head_pt_len));
  const vesk::tessera::ServeConfig config = vesk::tessera::ServeConfig::fromHeadMemberJson(head_json);
  vesk::tessera::TeethPass pass(b, head, config);

  const size_t canvas = static_cast<size_t>(b.stamp.canvas_w) * static_cast<size_t>(b.stamp.canvas_h);
  const size_t window = static_cast<size_t>(b.stamp.window_w) * static_cast<size_t>(b.stamp.window_h) * 3;
  vesk::tessera::FrameResult result;
  int k = 0;
  auto land = [&]() {
    skipped_out[k] = result.skipped ? 1 : 0;
    if (!result.skipped) std::memcpy(windows_out + static_cast<size_t>(k) * window, result.pixels.data(), window);
    ++k;
  };
  for (int i = 0; i < count; ++i) {
    const int32_t* shift = shifts != nullptr && shifts[2 * i] != kDeriveShift ? shifts + 2 * i : nullptr;
    if (pass.push(i, frames + static_cast<size_t>(i) * canvas * 3, masks + static_cast<size_t>(i) * canvas, shift,
                  &result)) {
      land();
    }
  }
  if (pass.flush(&result)) land();
  if (k != count) {
    throw std::runtime_error("teeth: emitted " + std::to_string(k) + " of " + std::to_string(count) + " frames");
  }
  return 0;
}

const char* cstr(const vesk_tessera_members* m, std::string vesk::TesseraAttachInputs::*field) {
  return m != nullptr ? (m->in.*field).c_str() : "";
}

}  // namespace

extern "C" {

int vesk_tessera_slot_count(void) { return vesk::tesseraSlotCount(); }

const char* vesk_tessera_slot_key(int index) {
  if (index < 0 || index >= vesk::tesseraSlotCount()) return nullptr;
  return vesk::tesseraSlotKeys()[static_cast<size_t>(index)].c_str();
}

vesk_tessera_carriage* vesk_tessera_carriage_open(const char* bundle_dir) {
  if (bundle_dir == nullptr) return nullptr;
  auto* c = new (std::nothrow) vesk_tessera_carriage;
  if (c == nullptr) return nullptr;
  try {
    c->carriage = vesk::tesseraCarriage(std::string(bundle_dir));
  } catch (...) {
    // An unusable bundle still answers: nothing carried, nothing declared.
    c->carriage = vesk::TesseraCarriage{};
  }
  return c;
}

void vesk_tessera_carriage_close(vesk_tessera_carriage* c) { delete c; }

int vesk_tessera_carriage_complete(const vesk_tessera_carriage* c) {
  return c != nullptr && c->carriage.complete ? 1 : 0;
}

int vesk_tessera_carriage_declared(const vesk_tessera_carriage* c) {
  return c != nullptr && c->carriage.declared ? 1 : 0;
}

const char* vesk_tessera_carriage_path(vesk_tessera_carriage* c, const char* slot_key) {
  if (c == nullptr || slot_key == nullptr) return "";
  try {
    c->pathOut = c->carriage.path(slot_key);
  } catch (...) {
    return "";
  }
  return c->pathOut.c_str();
}

int vesk_tessera_carriage_missing_count(const vesk_tessera_carriage* c) {
  return c != nullptr ? static_cast<int>(c->carriage.missing.size()) : 0;
}

const char* vesk_tessera_carriage_missing(const vesk_tessera_carriage* c, int i) {
  if (c == nullptr || i < 0 || static_cast<size_t>(i) >= c->carriage.missing.size()) return nullptr;
  return c->carriage.missing[static_cast<size_t>(i)].c_str();
}

vesk_tessera_members* vesk_tessera_members_open(const char* bundle_dir, char* err, int err_len) {
  fillErr(err, err_len, "");
  if (bundle_dir == nullptr) {
    fillErr(err, err_len, "vesk_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  auto* m = new (std::nothrow) vesk_tessera_members;
  if (m == nullptr) {
    fillErr(err, err_len, "vesk_tessera_members_open: out of memory");
    return nullptr;
  }
  try {
    m->in = vesk::loadTesseraMembers(std::string(bundle_dir));
    m->stamp = m->in.stamp.values();
    return m;
  } catch (const std::exception& e) {
    fillErr(err, err_len, e.what());
  } catch (...) {
    fillErr(err, err_len, "vesk_tessera_members_open: unknown failure");
  }
  delete m;
  return nullptr;
}

void vesk_tessera_members_close(vesk_tessera_members* m) { delete m; }

int vesk_tessera_members_n_donors(const vesk_tessera_members* m) { return m != nullptr ? m->in.n_donors : 0; }

const double* vesk_tessera_members_cent(const vesk_tessera_members* m) {
  return m != nullptr && !m->in.cent.empty() ? m->in.cent.data() : nullptr;
}

const double* vesk_tessera_members_c_canon(const vesk_tessera_members* m) {
  return m != nullptr ? m->in.c_canon.data() : nullptr;
}

const double* vesk_tessera_members_aperture(const vesk_tessera_members* m) {
  return m != nullptr && !m->in.aperture.empty() ? m->in.aperture.data() : nullptr;
}

const int32_t* vesk_tessera_members_stamp(const vesk_tessera_members* m) {
  return m != nullptr ? m->stamp.data() : nullptr;
}

const uint8_t* vesk_tessera_members_head_pt(const vesk_tessera_members* m) {
  return m != nullptr && !m->in.head_pt.empty() ? m->in.head_pt.data() : nullptr;
}

int vesk_tessera_members_head_pt_len(const vesk_tessera_members* m) {
  return m != nullptr ? static_cast<int>(m->in.head_pt.size()) : 0;
}

const char* vesk_tessera_members_head_json(const vesk_tessera_members* m) {
  return cstr(m, &vesk::TesseraAttachInputs::head_json);
}
const char* vesk_tessera_members_manifest_json(const vesk_tessera_members* m) {
  return cstr(m, &vesk::TesseraAttachInputs::manifest_json);
}
const char* vesk_tessera_members_bank_track_path(const vesk_tessera_members* m) {
  return cstr(m, &vesk::TesseraAttachInputs::bank_track_path);
}
const char* vesk_tessera_members_bank_container(const vesk_tessera_members* m) {
  return cstr(m, &vesk::TesseraAttachInputs::bank_container);
}
const char* vesk_tessera_members_bank_codec(const vesk_tessera_members* m) {
  return cstr(m, &vesk::TesseraAttachInputs::bank_codec);
}
const char* vesk_tessera_members_bank_pix_fmt(const vesk_tessera_members* m) {
  return cstr(m, &vesk::TesseraAttachInputs::bank_pix_fmt);
}
const char* vesk_tessera_members_bank_packing(const vesk_tessera_members* m) {
  return cstr(m, &vesk::TesseraAttachInputs::bank_packing);
}

int vesk_tessera_members_band_w(const vesk_tessera_members* m) { return m != nullptr ? m->in.band_w : 0; }
int vesk_tessera_members_band_h(const vesk_tessera_members* m) { return m != nullptr ? m->in.band_h : 0; }

int64_t vesk_tessera_members_band_bytes(const vesk_tessera_members* m) {
  if (m == nullptr) return 0;
  return int64_t{m->in.n_donors} * m->in.band_h * m->in.band_w * 3;
}

int vesk_tessera_members_reorder(const vesk_tessera_members* m, const uint8_t* track, uint8_t* band, char* err,
                                 int err_len) {
  fillErr(err, err_len, "");
  if (m == nullptr || track == nullptr || band == nullptr) {
    fillErr(err, err_len, "vesk_tessera_members_reorder: null argument");
    return 1;
  }
  try {
    vesk::reorderTrackToDonor(m->in, track, band);
    return 0;
  } catch (const std::exception& e) {
    fillErr(err, err_len, e.what());
  } catch (...) {
    fillErr(err, err_len, "vesk_tessera_members_reorder: unknown failure");
  }
  return 1;
}

int vesk_tessera_run_shift(const uint8_t* bank, int n, const double* cent, const double* c_canon,
                           const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                           const char* head_json, const uint8_t* frames, const uint8_t* masks, const int32_t* shifts,
                           int count, uint8_t* windows_out, int32_t* skipped_out, char* err, int err_len) {
  fillErr(err, err_len, "");
  try {
    return runFrames(bank, n, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, frames, masks, shifts,
                     count, windows_out, skipped_out);
  } catch (const std::exception& e) {
    fillErr(err, err_len, e.what());
  } catch (...) {
    fillErr(err, err_len, "teeth: unknown failure");
  }
  return 1;
}

int vesk_tessera_run(const uint8_t* bank, int n, const double* cent, const double* c_canon, const double* aperture,
                     const int32_t* stamp, const uint8_t* head_pt, int head_pt_len, const char* head_json,
                     const uint8_t* frames, const uint8_t* masks, int count, uint8_t* windows_out, int32_t* skipped_out,
                     char* err, int err_len) {
  return vesk_tessera_run_shift(bank, n, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, frames, masks,
                                nullptr, count, windows_out, skipped_out, err, err_len);
}

}  // extern "C"
