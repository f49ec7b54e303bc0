// Strict reading of a flat JSON object's members and exact writing of numbers,
// shared by the settings and the status records.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One top-level member's value as the record decoders need it.
struct JsonMember {
  enum class Kind { null, boolean, number, string, composite };
  Kind kind = Kind::null;
  bool boolean = false;
  // For a number: its value as a double (always finite), and the integer it
  // denotes when its text is an integral number inside the signed 64-bit
  // range (80, 1e2, 80.0; not 80.5 or 9223372036854775808).
  double number = 0.0;
  std::optional<int64_t> integer;
  std::string string;
};

// Why readJsonMembers refused a text; `member` is the wanted name given twice.
struct JsonRefusal {
  enum class Kind { malformed, notObject, tooDeep, duplicate };
  Kind kind = Kind::malformed;
  std::string_view member;  // an element of `wanted`
};

// The members named in `wanted` of the JSON object `json`. None when the text
// is not one well-formed JSON object, nests deeper than 64 levels, or holds
// one of the wanted members twice (a duplicate is ambiguous, so the whole
// text is refused); then `why` (when given) says which. Other members are
// checked for syntax and ignored.
std::optional<std::map<std::string, JsonMember>> readJsonMembers(
    std::string_view json, const std::vector<std::string_view>& wanted, JsonRefusal* why = nullptr);

// The signed 64-bit integer that a JSON number's text denotes exactly, or none
// when it has a fraction or lies outside the range.
std::optional<int64_t> integerFromJsonNumber(std::string_view text);

// A finite double as JSON text that reads back bit-for-bit: integral values
// as plain integers ("0", "1764876810"), -0.0 as "-0.0" so the sign survives,
// the rest in the shortest round-trip form ("1764876810.5", "0.1", "1e+300").
std::string formatJsonNumber(double value);
// The same text appended to `out`, without a string of its own.
void appendJsonNumber(std::string& out, double value);

// Typed look-ups: none when the member is missing or of another type.
std::optional<bool> jsonBoolean(const std::map<std::string, JsonMember>& members, const std::string& name);
std::optional<int64_t> jsonInteger(const std::map<std::string, JsonMember>& members, const std::string& name);
std::optional<double> jsonNumber(const std::map<std::string, JsonMember>& members, const std::string& name);
