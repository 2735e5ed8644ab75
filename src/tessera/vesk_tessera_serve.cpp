#include <cmath>
#include <stdexcept>

#include "tessera/vesk_tessera_head.h"
#include "tessera/vesk_tessera_json.h"

namespace vesk::tessera {

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  json::JParser parser(text);
  const json::JVal root = parser.parseValue();
  const json::JVal* retrieval = root.find("retrieval");
  const json::JVal* temporal = root.find("temporal");
  if (retrieval == nullptr || temporal == nullptr || !retrieval->isObject() || !temporal->isObject()) {
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
        "defaults (W3-01)");
  }
  ServeConfig c;
  c.kshort = json::truncInt(retrieval->req("kshort").num);
  c.aperture_tol = retrieval->req("aperture_tol").num;
  c.cut = json::truncInt(retrieval->req("cut").num);
  c.K = json::truncInt(retrieval->req("K").num);
  c.hysteresis = json::truncInt(temporal->req("hysteresis").num);
  c.lookahead = json::truncInt(temporal->req("lookahead").num);
  const json::JVal* decode = root.find("decode");
  if (decode != nullptr && decode->isObject()) {
    const json::JVal* envelope = decode->find("envelope_clamp_255");
    if (envelope != nullptr && !(std::fabs(envelope->num - 12.0) <= 1e-6)) {
      throw std::runtime_error(
          "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
    }
  }
  return c;
}

}  // namespace vesk::tessera
