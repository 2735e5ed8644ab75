// The teeth members of a bundle: whether it carries them, the refusal when it does not, and the
// loading and cross-checking of the bank sidecar against the manifest.
//
// The four members are one switch: with all present the borrow is armed, with any missing the
// bundle is refused for teeth. There is no degraded mode, so nothing here substitutes a default.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "tessera/vesk_tessera_types.h"

namespace vesk {

// The slot keys in slot order: bank_track, bank_sidecar, head_weights, head_config.
const std::vector<std::string>& tesseraSlotKeys();
int tesseraSlotCount();

// One member file name per slot, in slot order.
struct TesseraSlots {
  std::string bank_track = "tessera_bank.v1.mp4";
  std::string bank_sidecar = "tessera_bank.v1.json";
  std::string head_weights = "tessera_head.v1.pt";
  std::string head_config = "tessera_head.v1.json";

  std::string& at(int slot);
  const std::string& at(int slot) const;
};

struct TesseraCarriage {
  TesseraSlots names;
  std::vector<std::string> paths = std::vector<std::string>(4);  // resolved, per slot; empty until resolved
  bool complete = false;                                         // all four open for reading
  std::vector<std::string> missing;                              // slot keys that do not, in slot order
  bool declared = false;                                         // the manifest carries a `tessera` object
  std::vector<std::string> planes;                               // stored, not interpreted

  // Throws "teeth: no such member slot '<key>'".
  const std::string& path(const std::string& slot_key) const;
};

// The refusal of a bundle that lacks teeth members; keeps which ones.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& message, std::vector<std::string> missing)
      : std::runtime_error(message), missing_(std::move(missing)) {}
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  std::vector<std::string> missing_;
};

// Never throws for a missing or malformed manifest or member (only for an unresolvable bundle path).
TesseraCarriage tesseraCarriage(const std::string& bundle_dir);
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Returns when the carriage is complete, else throws MissingTesseraMember.
void requireTesseraMembers(const TesseraCarriage& carriage);

TesseraAttachInputs loadTesseraMembers(const std::string& bundle_dir);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// Copies frame i of a decoded bank track (band_h * band_w * 3 bytes per frame, in track order) to
// donor slot track_order[i] of `out`.
void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* out);

}  // namespace vesk
