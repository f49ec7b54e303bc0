// Strict reading of a flat JSON object's members and exact writing of numbers.
#include "store/json_members.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace {

constexpr size_t maxDepth = 64;

// Collects the wanted top-level members while nlohmann's parser checks the
// syntax. The parser keeps its own nesting on the heap; the depth limit
// bounds that too. Returning false stops the parse, which then fails.
class MemberCollector : public nlohmann::json_sax<json> {
 public:
  explicit MemberCollector(const std::vector<std::string_view>& wanted) : wanted_(wanted) {}

  std::map<std::string, JsonMember> members;
  JsonRefusal refusal;  // why a callback stopped the parse; malformed when the parser did

  bool null() override { return scalar({}); }
  bool boolean(bool value) override {
    JsonMember m;
    m.kind = JsonMember::Kind::boolean;
    m.boolean = value;
    return scalar(std::move(m));
  }
  bool number_integer(number_integer_t value) override {
    JsonMember m;
    m.kind = JsonMember::Kind::number;
    m.number = static_cast<double>(value);
    m.integer = value;
    return scalar(std::move(m));
  }
  bool number_unsigned(number_unsigned_t value) override {
    JsonMember m;
    m.kind = JsonMember::Kind::number;
    m.number = static_cast<double>(value);
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      m.integer = static_cast<int64_t>(value);
    return scalar(std::move(m));
  }
  bool number_float(number_float_t value, const string_t& text) override {
    // The parser has already refused numbers too large for a double.
    JsonMember m;
    m.kind = JsonMember::Kind::number;
    m.number = value;
    m.integer = integerFromJsonNumber(text);
    return scalar(std::move(m));
  }
  bool string(string_t& value) override {
    JsonMember m;
    m.kind = JsonMember::Kind::string;
    m.string = std::move(value);
    return scalar(std::move(m));
  }
  bool binary(binary_t&) override { return false; }  // not produced by JSON text
  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& name) override {
    if (depth_ == 1) key_ = std::move(name);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  // A value at the top level is a member's value; deeper ones only count.
  bool scalar(JsonMember member) {
    if (depth_ == 0) return refuse(JsonRefusal::Kind::notObject);  // the text must be an object
    if (depth_ == 1) return record(std::move(member));
    return true;
  }
  bool open(bool isObject) {
    if (depth_ == 0 && !isObject) return refuse(JsonRefusal::Kind::notObject);
    if (depth_ == 1) {
      JsonMember m;
      m.kind = JsonMember::Kind::composite;
      if (!record(std::move(m))) return false;
    }
    return ++depth_ <= maxDepth || refuse(JsonRefusal::Kind::tooDeep);
  }
  bool close() {
    --depth_;
    return true;
  }
  bool record(JsonMember member) {
    const auto name = std::find(wanted_.begin(), wanted_.end(), key_);
    if (name == wanted_.end()) return true;
    if (members.emplace(key_, std::move(member)).second) return true;
    refusal.member = *name;  // a duplicate refuses all
    return refuse(JsonRefusal::Kind::duplicate);
  }
  bool refuse(JsonRefusal::Kind kind) {
    refusal.kind = kind;
    return false;
  }

  const std::vector<std::string_view>& wanted_;
  size_t depth_ = 0;
  std::string key_;
};

}  // namespace

std::optional<std::map<std::string, JsonMember>> readJsonMembers(
    std::string_view text, const std::vector<std::string_view>& wanted, JsonRefusal* why) {
  MemberCollector collector(wanted);
  bool parsed = false;
  try {
    parsed = json::sax_parse(text.begin(), text.end(), &collector);
  } catch (...) {
    collector.refusal = {};  // nothing is thrown across the store's interface
  }
  if (parsed) return std::move(collector.members);
  if (why) *why = collector.refusal;
  return std::nullopt;
}

std::optional<int64_t> integerFromJsonNumber(std::string_view text) {
  // JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  size_t i = 0;
  const bool negative = i < text.size() && text[i] == '-';
  if (negative) ++i;
  std::string digits;  // integer and fraction digits, without the point
  int64_t exponent = 0;  // power of ten that scales `digits`
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const size_t intStart = i;
  while (i < text.size() && isDigit(text[i])) digits += text[i++];
  if (i == intStart) return std::nullopt;
  if (i < text.size() && text[i] == '.') {
    const size_t fracStart = ++i;
    while (i < text.size() && isDigit(text[i])) {
      digits += text[i++];
      --exponent;
    }
    if (i == fracStart) return std::nullopt;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    const size_t expStart = i;
    int64_t e = 0;
    while (i < text.size() && isDigit(text[i])) {
      // Saturate: any exponent this large decides the answer by its sign.
      if (e < 1000000000) e = e * 10 + (text[i] - '0');
      ++i;
    }
    if (i == expStart) return std::nullopt;
    exponent += expNegative ? -e : e;
  }
  if (i != text.size()) return std::nullopt;

  // Normalise: no leading zeros, trailing zeros moved into the exponent.
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;  // any form of zero, "-0" too
  digits.erase(0, first);
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  if (exponent < 0) return std::nullopt;  // a fraction is left
  // INT64_MAX has 19 digits: anything longer is out of range.
  if (exponent > 19 || digits.size() + static_cast<size_t>(exponent) > 19) return std::nullopt;
  digits.append(static_cast<size_t>(exponent), '0');
  uint64_t magnitude = 0;
  for (const char c : digits) magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
  if (magnitude > limit) return std::nullopt;
  if (!negative) return static_cast<int64_t>(magnitude);
  if (magnitude == limit) return std::numeric_limits<int64_t>::min();
  return -static_cast<int64_t>(magnitude);
}

void appendJsonNumber(std::string& out, double value) {
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0";
    return;
  }
  char text[64];
  // Below 2^53 every integral double is an exact int64 and prints as one.
  const auto result = std::trunc(value) == value && std::fabs(value) < 9007199254740992.0
                          ? std::to_chars(text, text + sizeof text, static_cast<int64_t>(value))
                          : std::to_chars(text, text + sizeof text, value);  // shortest round trip
  out.append(text, result.ptr);
}

std::string formatJsonNumber(double value) {
  std::string text;
  appendJsonNumber(text, value);
  return text;
}

std::optional<bool> jsonBoolean(const std::map<std::string, JsonMember>& members, const std::string& name) {
  const auto it = members.find(name);
  if (it == members.end() || it->second.kind != JsonMember::Kind::boolean) return std::nullopt;
  return it->second.boolean;
}

std::optional<int64_t> jsonInteger(const std::map<std::string, JsonMember>& members, const std::string& name) {
  const auto it = members.find(name);
  if (it == members.end() || it->second.kind != JsonMember::Kind::number) return std::nullopt;
  return it->second.integer;
}

std::optional<double> jsonNumber(const std::map<std::string, JsonMember>& members, const std::string& name) {
  const auto it = members.find(name);
  if (it == members.end() || it->second.kind != JsonMember::Kind::number) return std::nullopt;
  return it->second.number;
}
