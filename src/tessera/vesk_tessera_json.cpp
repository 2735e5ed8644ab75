#include "tessera/vesk_tessera_json.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace vesk::tessera::json {

namespace {

bool isWs(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool startsWith(const char* p, const char* end, std::string_view word) {
  return static_cast<size_t>(end - p) >= word.size() && std::memcmp(p, word.data(), word.size()) == 0;
}

// Every character strtod could consume; the run of them is copied out so the conversion never
// reads past the range (which need not be terminated).
bool numberChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' || c == '-' ||
         c == '.' || c == '(' || c == ')' || c == '_';
}

}  // namespace

const JVal* JVal::find(std::string_view key) const {
  for (const auto& [k, v] : members) {
    if (k == key) return &v;
  }
  return nullptr;
}

const JVal& JVal::req(std::string_view key) const {
  const JVal* v = find(key);
  if (v == nullptr) throw std::runtime_error("teeth: member JSON lacks key '" + std::string(key) + "'");
  return *v;
}

void JParser::skipWs() {
  while (p_ < end_ && isWs(*p_)) ++p_;
}

JVal JParser::parseValue() { return value(0); }

JVal JParser::value(int depth) {
  skipWs();
  if (p_ >= end_) throw std::runtime_error("teeth: JSON truncated");
  if (depth >= kMaxDepth) throw std::runtime_error("teeth: JSON nested too deep");
  JVal v;
  const char c = *p_;
  if (c == '{') return object(depth + 1);
  if (c == '[') return array(depth + 1);
  if (c == '"') {
    v.kind = JKind::String;
    v.str = string();
  } else if (startsWith(p_, end_, "true")) {
    v.kind = JKind::Bool;
    v.b = true;
    p_ += 4;
  } else if (startsWith(p_, end_, "false")) {
    v.kind = JKind::Bool;
    p_ += 5;
  } else if (startsWith(p_, end_, "null")) {
    p_ += 4;
  } else {
    v = number();
  }
  return v;
}

std::string JParser::string() {
  std::string s;
  if (p_ < end_) ++p_;  // the opening quote, whatever character stands there
  while (p_ < end_) {
    const char c = *p_++;
    if (c == '"') return s;
    if (c != '\\') {
      s += c;
      continue;
    }
    if (p_ >= end_) break;
    const char e = *p_++;
    switch (e) {
      case 'b':
        s += '\b';
        break;
      case 'f':
        s += '\f';
        break;
      case 'n':
        s += '\n';
        break;
      case 'r':
        s += '\r';
        break;
      case 't':
        s += '\t';
        break;
      case 'u':
        // Members are ASCII; a code point is not decoded, only marked.
        p_ += std::min<std::ptrdiff_t>(4, end_ - p_);
        s += '?';
        break;
      default:
        s += e;
        break;
    }
  }
  return s;
}

JVal JParser::object(int depth) {
  JVal v;
  v.kind = JKind::Object;
  ++p_;
  skipWs();
  if (p_ < end_ && *p_ == '}') {
    ++p_;
    return v;
  }
  for (;;) {
    skipWs();
    std::string key = string();
    skipWs();
    if (p_ < end_ && *p_ == ':') ++p_;
    JVal member = value(depth);
    v.members.push_back(JMember{std::move(key), std::move(member)});
    skipWs();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return v;
    }
    throw std::runtime_error("teeth: malformed JSON object");
  }
}

JVal JParser::array(int depth) {
  JVal v;
  v.kind = JKind::Array;
  ++p_;
  skipWs();
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    return v;
  }
  for (;;) {
    v.items.push_back(value(depth));
    skipWs();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return v;
    }
    throw std::runtime_error("teeth: malformed JSON array");
  }
}

JVal JParser::number() {
  const char* q = p_;
  while (q < end_ && numberChar(*q)) ++q;
  const std::string run(p_, q);
  char* stop = nullptr;
  const double d = std::strtod(run.c_str(), &stop);
  if (stop == run.c_str()) throw std::runtime_error("teeth: bad JSON number");
  p_ += stop - run.c_str();
  JVal v;
  v.kind = JKind::Number;
  v.num = d;
  return v;
}

std::string optStr(const JVal& obj, std::string_view key, const std::string& fallback) {
  const JVal* v = obj.find(key);
  return v != nullptr && v->isString() ? v->str : fallback;
}

double reqNum(const JVal& obj, std::string_view key, const std::string& context) {
  const JVal* v = obj.find(key);
  if (v == nullptr || !v->isNumber()) {
    throw std::runtime_error("teeth: " + context + " lacks numeric '" + std::string(key) + "'");
  }
  return v->num;
}

int32_t truncInt(double d) {
  if (std::isnan(d)) return 0;
  if (d <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  if (d >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(d);
}

JVal parseJson(std::string_view text, const std::string& name) {
  try {
    JParser parser(text);
    return parser.parseValue();
  } catch (const std::exception& e) {
    throw std::runtime_error("teeth: " + name + " is not readable JSON: " + e.what());
  }
}

}  // namespace vesk::tessera::json
