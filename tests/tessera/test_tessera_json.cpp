#include <gtest/gtest.h>

#include <string>

#include "tessera/vesk_tessera_json.h"
#include "test_util.h"

using vesk::test::errorOf;
using namespace vesk::tessera::json;

namespace {

JVal parse(const std::string& text) { return parseJson(text, "t.json"); }

std::string parseError(const std::string& text) {
  return errorOf([&] { parse(text); });
}

}  // namespace

TEST(TesseraJson, ReadsEveryKindInOrder) {
  const JVal v = parse(" {\"a\": [1, -2.5e1, true, false, null, \"s\"], \"o\": {}, \"e\": [], \"n\": 3}");
  ASSERT_TRUE(v.isObject());
  ASSERT_EQ(v.members.size(), 4u);
  EXPECT_EQ(v.members[0].first, "a");
  EXPECT_EQ(v.members[3].first, "n");
  const JVal& a = v.req("a");
  ASSERT_EQ(a.items.size(), 6u);
  EXPECT_EQ(a.items[0].kind, JKind::Number);
  EXPECT_DOUBLE_EQ(a.items[1].num, -25.0);
  EXPECT_EQ(a.items[2].kind, JKind::Bool);
  EXPECT_TRUE(a.items[2].b);
  EXPECT_EQ(a.items[3].kind, JKind::Bool);
  EXPECT_FALSE(a.items[3].b);
  EXPECT_EQ(a.items[4].kind, JKind::Null);
  EXPECT_EQ(a.items[5].str, "s");
  EXPECT_TRUE(v.req("o").isObject());
  EXPECT_TRUE(v.req("o").members.empty());
  EXPECT_TRUE(v.req("e").isArray());
  EXPECT_TRUE(v.req("e").items.empty());
  EXPECT_EQ(static_cast<int>(JKind::Object), 5);
}

TEST(TesseraJson, DuplicateKeysKeptAndFirstWins) {
  const JVal v = parse(R"({"k": "first", "k": "second", "x": 1, "x": 2})");
  EXPECT_EQ(v.members.size(), 4u);
  EXPECT_EQ(optStr(v, "k", "d"), "first");
  EXPECT_EQ(reqNum(v, "x", "ctx"), 1.0);
}

TEST(TesseraJson, LenientQuirks) {
  // true/false/null match as prefixes; the rest of the word is then a malformed continuation.
  EXPECT_EQ(parseError("[truex]"), "teeth: t.json is not readable JSON: teeth: malformed JSON array");
  EXPECT_TRUE(parse("nullify").kind == JKind::Null);
  EXPECT_TRUE(parse("falsehood").kind == JKind::Bool);
  // \u yields one "?" and skips four characters; other escapes stand for themselves.
  EXPECT_EQ(parse(R"("caf\u00e9!")").str, "caf?!");
  EXPECT_EQ(parse(R"("a\"b\\c\/d\q")").str, "a\"b\\c/dq");
  EXPECT_EQ(parse(R"("\b\f\n\r\t")").str, "\b\f\n\r\t");
  // An unterminated string ends at the end of input; a \u near the end does not read past it.
  EXPECT_EQ(parse("\"abc").str, "abc");
  EXPECT_EQ(parse("\"ab\\u00").str, "ab?");
  EXPECT_EQ(parse("\"ab\\").str, "ab");
  // Text after the value is ignored.
  EXPECT_EQ(parse("{\"a\": 1} trailing garbage {").members.size(), 1u);
  // The key's first character is taken as its quote, and the colon may be missing.
  const JVal k = parse("{'ab\": 7}");
  EXPECT_EQ(k.members.at(0).first, "ab");
  EXPECT_EQ(parse("{ \"a\" 7 }").members.at(0).second.num, 7.0);
  // Numbers take whatever strtod takes.
  EXPECT_EQ(parse("0x10").num, 16.0);
  EXPECT_EQ(parse("12abc").num, 12.0);
}

TEST(TesseraJson, RefusalsCarryTheName) {
  const std::string pre = "teeth: t.json is not readable JSON: ";
  EXPECT_EQ(parseError(""), pre + "teeth: JSON truncated");
  EXPECT_EQ(parseError("  \t\r\n"), pre + "teeth: JSON truncated");
  EXPECT_EQ(parseError("[1,"), pre + "teeth: JSON truncated");
  EXPECT_EQ(parseError("{\"a\":"), pre + "teeth: JSON truncated");
  EXPECT_EQ(parseError("@"), pre + "teeth: bad JSON number");
  EXPECT_EQ(parseError("[1 2]"), pre + "teeth: malformed JSON array");
  EXPECT_EQ(parseError("[1"), pre + "teeth: malformed JSON array");
  EXPECT_EQ(parseError("{\"a\": 1 \"b\": 2}"), pre + "teeth: malformed JSON object");
  EXPECT_EQ(parseError("{\"a\": 1"), pre + "teeth: malformed JSON object");
  EXPECT_EQ(parseError(std::string(100000, '[')), pre + "teeth: JSON nested too deep");
  EXPECT_NO_THROW(parse(std::string(200, '[') + std::string(200, ']')));
}

TEST(TesseraJson, ParsesARangeThatIsNotTerminated) {
  // A number that runs to the end of the range stops there, not at whatever byte follows it.
  const std::string text = "12345";
  JParser p(text.data(), text.data() + 2);
  EXPECT_EQ(p.parseValue().num, 12.0);
  EXPECT_TRUE(p.atEnd());
}

TEST(TesseraJson, Lookups) {
  const JVal v = parse(R"({"s": "x", "n": 4.5, "sn": "4", "z": null})");
  EXPECT_EQ(optStr(v, "s", "d"), "x");
  EXPECT_EQ(optStr(v, "n", "d"), "d");
  EXPECT_EQ(optStr(v, "none", "d"), "d");
  EXPECT_EQ(reqNum(v, "n", "ctx"), 4.5);
  EXPECT_EQ(errorOf([&] { reqNum(v, "sn", "side.json.geometry"); }), "teeth: side.json.geometry lacks numeric 'sn'");
  EXPECT_EQ(errorOf([&] { reqNum(v, "q", "ctx"); }), "teeth: ctx lacks numeric 'q'");
  EXPECT_EQ(errorOf([&] { v.req("q"); }), "teeth: member JSON lacks key 'q'");
  EXPECT_EQ(&v.req("z"), v.find("z"));
  // Lookups on something that is not an object find nothing.
  EXPECT_EQ(parse("[1]").find("a"), nullptr);
  EXPECT_EQ(optStr(parse("3"), "a", "d"), "d");
}
