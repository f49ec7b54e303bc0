// Tests of the strict JSON member reader and the exact number writer.
#include "store/json_members.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

TEST(JsonNumberText, IntegerOnlyWhenExactAndInRange) {
  struct Case {
    const char* text;
    std::optional<int64_t> integer;
  };
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  const std::vector<Case> cases = {
      {"80", 80},
      {"-1", -1},
      {"0", 0},
      {"-0", 0},
      {"0.0", 0},
      {"-0.0e7", 0},
      {"80.0", 80},
      {"80.000", 80},
      {"1e2", 100},
      {"1E+2", 100},
      {"1.5e1", 15},
      {"15000e-3", 15},
      {"80.5", std::nullopt},
      {"1e-1", std::nullopt},
      {"1.25e1", std::nullopt},
      {"9223372036854775807", max},
      {"9223372036854775807.0", max},
      {"9223372036854775808", std::nullopt},
      {"92233720368547758070e-1", max},
      {"92233720368547758080e-1", std::nullopt},
      {"-9223372036854775808", min},
      {"-9223372036854775808.0", min},
      {"-9223372036854775809", std::nullopt},
      {"9.223372036854775807e18", max},
      {"1e19", std::nullopt},
      {"1e18", 1000000000000000000},
      {"1e999999999999999999999", std::nullopt},
      {"1e-999999999999999999999", std::nullopt},
      {"0e999999999999999999999", 0},
      {"00", 0},  // not JSON, but the parser never hands it over; harmless
      {"", std::nullopt},
      {"-", std::nullopt},
      {"1.", std::nullopt},
      {"1e", std::nullopt},
      {"1x", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(integerFromJsonNumber(c.text), c.integer) << c.text;
  }
}

TEST(JsonNumberText, FormatsForExactRoundTrip) {
  struct Case {
    double value;
    const char* text;
  };
  const std::vector<Case> cases = {
      {0.0, "0"},
      {-0.0, "-0.0"},
      {1.0, "1"},
      {-2.0, "-2"},
      {1764876810.0, "1764876810"},
      {1764876810.5, "1764876810.5"},
      {0.1, "0.1"},
      {-0.5, "-0.5"},
      {9007199254740991.0, "9007199254740991"},
      {1e300, "1e+300"},
      {5e-324, "5e-324"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatJsonNumber(c.value), c.text) << c.value;
  }
  // Every text reads back, through the JSON parser, as the very same bits.
  const std::vector<double> values = {0.0, -0.0, 0.1, 1.0 / 3.0, 1764876810.5, 1796417610.123456,
                                      9007199254740992.0, 1e20, -1e-7, 5e-324,
                                      std::numeric_limits<double>::max(),
                                      std::numeric_limits<double>::lowest()};
  for (const double v : values) {
    const std::string text = formatJsonNumber(v);
    const auto members = readJsonMembers("{\"t\":" + text + "}", {"t"});
    ASSERT_TRUE(members) << text;
    const auto back = jsonNumber(*members, "t");
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(std::memcmp(&v, &*back, sizeof v), 0) << text;
  }
}

TEST(JsonMembers, ReadsOnlyOneWellFormedObject) {
  struct Case {
    std::string json;
    bool ok;
  };
  const std::string deep = std::string(64, '[') + std::string(64, ']');
  const std::vector<Case> cases = {
      {"{}", true},
      {" \n\t{ \"a\" : 1 }\r\n ", true},
      {"{\"x\":" + std::string(63, '[') + std::string(63, ']') + "}", true},  // 64 levels
      {"{\"x\":" + deep + "}", false},                                          // 65 levels
      {"{\"x\":" + std::string(100000, '[') + "}", false},
      {"", false},
      {"   ", false},
      {"[]", false},
      {"1", false},
      {"null", false},
      {"\"a\"", false},
      {"{\"a\":1}{}", false},
      {"{\"a\":1} x", false},
      {"{\"a\":1,}", false},
      {"{\"a\":1 /* c */}", false},
      {"{a:1}", false},
      {"{\"a\":\"\xff\"}", false},  // not UTF-8
      {"{\"a\":1e400}", false},     // too large for a double
  };
  for (const auto& c : cases) {
    EXPECT_EQ(readJsonMembers(c.json, {"a"}).has_value(), c.ok) << c.json.substr(0, 80);
  }
}

TEST(JsonMembers, KeepsWantedMembersWithTheirKinds) {
  const auto members = readJsonMembers(
      R"({"b":true,"n":null,"i":80,"f":80.5,"s":"x\u00e9","o":{"b":false},"a":[1],"other":7,"\u0062b":false})",
      {"b", "n", "i", "f", "s", "o", "a", "bb", "missing"});
  ASSERT_TRUE(members);
  EXPECT_EQ(members->size(), 8u);  // "other" is not wanted, "missing" is missing
  EXPECT_EQ(jsonBoolean(*members, "b"), true);
  EXPECT_EQ(jsonBoolean(*members, "bb"), false);  // escaped name, same member
  EXPECT_EQ(members->at("n").kind, JsonMember::Kind::null);
  EXPECT_EQ(jsonInteger(*members, "i"), 80);
  EXPECT_EQ(jsonInteger(*members, "f"), std::nullopt);
  EXPECT_EQ(jsonNumber(*members, "f"), 80.5);
  EXPECT_EQ(members->at("s").string, "x\xC3\xA9");
  EXPECT_EQ(members->at("o").kind, JsonMember::Kind::composite);
  EXPECT_EQ(members->at("a").kind, JsonMember::Kind::composite);
  // Members of nested objects never stand in for top-level ones.
  EXPECT_EQ(jsonBoolean(*members, "missing"), std::nullopt);
  // Look-ups refuse other kinds.
  EXPECT_EQ(jsonBoolean(*members, "i"), std::nullopt);
  EXPECT_EQ(jsonInteger(*members, "b"), std::nullopt);
  EXPECT_EQ(jsonNumber(*members, "s"), std::nullopt);
  EXPECT_EQ(jsonNumber(*members, "n"), std::nullopt);
}

TEST(JsonMembers, DuplicateWantedMemberRefusesTheText) {
  EXPECT_FALSE(readJsonMembers(R"({"a":1,"a":1})", {"a"}));
  EXPECT_FALSE(readJsonMembers(R"({"a":1,"\u0061":2})", {"a"}));
  // Duplicates among members nobody asked for, or in nested objects, are fine.
  EXPECT_TRUE(readJsonMembers(R"({"z":1,"z":2,"a":1,"o":{"a":1,"a":2}})", {"a"}));
}

}  // namespace
