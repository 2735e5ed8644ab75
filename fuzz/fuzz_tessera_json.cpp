// Hostile member JSON: the teeth reader either returns a value or throws one of its own "teeth: "
// texts, never reads outside the bytes it was handed (the input is not terminated), and the serving
// configuration built on it does the same.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/vesk_tessera_head.h"
#include "tessera/vesk_tessera_json.h"

namespace {

void expectOurText(const std::runtime_error& e) {
  if (std::string(e.what()).rfind("teeth: ", 0) != 0) std::abort();
}

// Walks every value the way the member readers do.
void walk(const vesk::tessera::json::JVal& v) {
  (void)vesk::tessera::json::optStr(v, "format", "");
  (void)vesk::tessera::json::truncInt(v.num);
  for (const auto& item : v.items) walk(item);
  for (const auto& [key, member] : v.members) {
    if (v.find(key) == nullptr) std::abort();
    walk(member);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so a read past the end is a heap overflow the fuzzer sees.
  std::vector<char> bytes(data, data + size);
  try {
    vesk::tessera::json::JParser parser(bytes.data(), bytes.data() + bytes.size());
    walk(parser.parseValue());
  } catch (const std::runtime_error& e) {
    expectOurText(e);
  }
  try {
    (void)vesk::tessera::ServeConfig::fromHeadMemberJson(std::string(bytes.begin(), bytes.end()));
  } catch (const std::runtime_error& e) {
    expectOurText(e);
  }
  return 0;
}
