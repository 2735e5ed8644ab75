// Hostile head archives: the ZIP and pickle reader either returns weights of one of the two
// architectures or throws one of its own "teeth: " texts. The seeds are the generator's torch.save
// output (tools/bundlegen/teeth_head.py), both heads.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/vesk_tessera_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    const vesk::tessera::HeadWeights w = vesk::tessera::loadHeadPt(bytes);
    if (w.params() != vesk::tessera::HeadWeights::kParamsBlendHead &&
        w.params() != vesk::tessera::HeadWeights::kParamsBlendHead8) {
      std::abort();
    }
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()).rfind("teeth: ", 0) != 0) std::abort();
  }
  return 0;
}
