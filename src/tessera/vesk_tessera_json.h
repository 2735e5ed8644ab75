// The small JSON reader of the teeth members: bank sidecar, head configuration, manifest blocks.
//
// It is deliberately lenient where the members never go (true/false/null match as prefixes, \u
// escapes read as "?", an unterminated string ends at the end of input, text after the value is
// ignored) and keeps duplicate keys; every lookup takes the first member with the key, so a file
// that names a key twice reads the same in every teeth reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::tessera::json {

enum class JKind : int { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct JMember;

struct JVal {
  JKind kind = JKind::Null;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JVal> items;       // array entries
  std::vector<JMember> members;  // object members in file order, duplicates kept

  bool isObject() const { return kind == JKind::Object; }
  bool isArray() const { return kind == JKind::Array; }
  bool isNumber() const { return kind == JKind::Number; }
  bool isString() const { return kind == JKind::String; }

  // The first member named `key`, or null (also for a value that is not an object).
  const JVal* find(std::string_view key) const;
  // The first member named `key`; throws "teeth: member JSON lacks key '<key>'".
  const JVal& req(std::string_view key) const;
};

// One object member, read like the pair it stands for. A named struct rather than std::pair, whose
// instantiation with the still incomplete JVal some compilers reject.
struct JMember {
  std::string first;
  JVal second;
};

// Reads JSON values from [begin, end); the range is not copied and must outlive the parser.
class JParser {
 public:
  // Nesting beyond this depth is refused, so a hostile member cannot exhaust the stack.
  static constexpr int kMaxDepth = 256;

  JParser(const char* begin, const char* end) : p_(begin), end_(end) {}
  explicit JParser(std::string_view text) : JParser(text.data(), text.data() + text.size()) {}

  // One value after optional white space; the parser stops right after it.
  JVal parseValue();
  void skipWs();
  bool atEnd() const { return p_ >= end_; }

 private:
  JVal value(int depth);
  std::string string();
  JVal object(int depth);
  JVal array(int depth);
  JVal number();

  const char* p_;
  const char* end_;
};

// The first member's string when it is a string, else `fallback`.
std::string optStr(const JVal& obj, std::string_view key, const std::string& fallback);
// The first member's number; throws "teeth: <context> lacks numeric '<key>'".
double reqNum(const JVal& obj, std::string_view key, const std::string& context);
// A member number truncated toward zero as the readers take it; saturated at the int32 range, and
// NaN read as 0, so a hostile number cannot make the conversion undefined.
int32_t truncInt(double d);
// One value from `text`; throws "teeth: <name> is not readable JSON: <parser message>".
JVal parseJson(std::string_view text, const std::string& name);

}  // namespace vesk::tessera::json
