// The settings and status records: reading rules, exact encoding, config.json and status.json.
#include "store/charge_config.h"

#include <chrono>
#include <cmath>
#include <thread>

#include "daemon/globals.h"
#include "tests/test_support.h"

const ChargeConfig defaults{false, 80, false, 30, 0.0};
const ChargeConfig sample{true, 75, true, 14, 1764876810.5};

// The sample's written form with one member's value text replaced ("" leaves it out).
static std::string sampleWith(const std::string& name, const std::string& value) {
  const std::pair<std::string, std::string> members[] = {
      {"chargeLimitEnabled", "true"}, {"chargeLimitPercent", "75"}, {"calibrationEnabled", "true"},
      {"calibrationIntervalDays", "14"}, {"lastCalibrationTimestamp", "1764876810.5"}};
  std::string out;
  for (const auto& [n, v] : members)
    if (n != name || !value.empty()) out += (out.empty() ? "{\"" : ",\"") + n + "\":" + (n == name ? value : v);
  return out + "}";
}

// What a text reads as, shown in the written form (exact: -0.0 differs from
// 0, and every double has a text that reads back as itself).
static std::string readsAs(const std::string& json) {
  const auto config = decodeChargeConfig(json);
  return config ? encodeChargeConfig(*config).value_or("unencodable") : "refused";
}

// A member's value text and what it reads as (nullptr: the file is refused).
TEST(ChargeConfigJson, EveryMemberIsRequiredWithItsExactType) {
  struct Row { const char* name; const char* text; const char* readsAs; };
  const char *enabled = "chargeLimitEnabled", *percent = "chargeLimitPercent", *days = "calibrationIntervalDays", *last = "lastCalibrationTimestamp";
  std::vector<Row> rows = {
      {enabled, "1", nullptr}, {enabled, "tru", nullptr}, {enabled, "false", "false"}, {"calibrationEnabled", "false", "false"},
      {percent, "true", nullptr}, {percent, "80.5", nullptr}, {percent, "80.0", "80"}, {percent, "1e2", "100"}, {percent, "15000e-3", "15"},
      {percent, "1e-1", nullptr}, {percent, "-80", "-80"}, {percent, "-0", "0"}, {percent, "007", nullptr}, {percent, "-", nullptr},
      {percent, "9223372036854775807", "9223372036854775807"}, {percent, "9223372036854775808", nullptr},
      {percent, "92233720368547758070e-1", "9223372036854775807"}, {percent, "92233720368547758080e-1", nullptr},
      {percent, "1e19", nullptr}, {percent, "0e999999999999999999999", "0"}, {percent, "1e-99999999999999999", nullptr},
      {days, "-9223372036854775808", "-9223372036854775808"}, {days, "-9223372036854775809", nullptr},
      {days, "-9223372036854775808.0", "-9223372036854775808"}, {last, "true", nullptr}, {last, "0", "0"}, {last, "-0", "0"},
      {last, "-0.0", "-0.0"}, {last, "-0e3", "-0.0"}, {last, "-12.75", "-12.75"}, {last, "1E+2", "100"}, {last, "5e-324", "5e-324"},
      {last, "1e20", "1e+20"}, {last, "0.1", "0.1"}, {last, "9007199254740993", "9007199254740992"},
      {last, "1796417610.123456789", "1796417610.1234567"}, {last, "-1e-7", "-1e-07"},
      {last, "1.7976931348623157e308", "1.7976931348623157e+308"}, {last, "1e309", nullptr}, {last, "-1e309", nullptr},
      {last, "01", nullptr}, {last, "1.", nullptr}, {last, ".5", nullptr}, {last, "1e", nullptr}, {last, "+1", nullptr}};
  for (const char* name : {enabled, percent, "calibrationEnabled", days, last})
    for (const char* text : {"", "null", "\"1\"", "{}", "[1]"}) rows.push_back({name, text, nullptr});
  for (const auto& row : rows) {
    const std::string text = sampleWith(row.name, row.text), expected = row.readsAs ? sampleWith(row.name, row.readsAs) : "refused";
    EXPECT_EQ(readsAs(text), expected) << text;
  }
}

TEST(ChargeConfigJson, LayoutIsFreeButTheTextMustBeOneObject) {
  const std::string json = sampleWith("", ""), members = json.substr(1, json.size() - 2);
  const std::pair<std::string, bool> rows[] = {
      {"", false}, {" \n", false}, {"{}", false}, {"[]", false}, {"null", false}, {json + "x", false},
      {json + "{}", false}, {"{" + members + ",}", false}, {"{" + members + " /* c */}", false},
      {"\n{ \"lastCalibrationTimestamp\" :\t1764876810.5 ,\r\n \"calibrationIntervalDays\": 14, \"calibrationEnabled\""
       ": true, \"chargeLimitPercent\": 75,\n\"chargeLimitEnabled\": true }\n", true},
      {R"({"extra":{"chargeLimitPercent":"no","a":1,"a":2},"list":[1,null],"s":"\u00e9",)" + members + "}", true},
      {R"({"\u0063hargeLimitEnabled":false,)" + json.substr(1), false},
      {"{\"s\":\"\xff\"," + members + "}", false},  // not UTF-8
      {"{\"x\":" + std::string(63, '[') + std::string(63, ']') + "," + members + "}", true},  // 64 levels deep
      {"{\"x\":" + std::string(64, '[') + std::string(64, ']') + "," + members + "}", false},
      {"{" + members + ",\"adapterCycling\":false}", true}, {"{" + members + ",\"adapterCycling\":1}", false}};
  for (const auto& [text, ok] : rows)
    EXPECT_EQ(decodeChargeConfig(text), ok ? std::optional(sample) : std::nullopt) << text.substr(0, 120);
  EXPECT_EQ(readsAs("{" + members + ",\"adapterCycling\":true}"), "{" + members + ",\"adapterCycling\":true}");
}

using RecordFileTest = DaemonTest;

TEST_F(RecordFileTest, ConfigIsReadOrTheDefaultsAndNeverCreated) {
  EXPECT_EQ(readConfig(), defaults);
  EXPECT_FALSE(exists(configPath));
  writeConfig(sample);
  EXPECT_EQ(readWholeFile(configPath), sampleWith("", ""));
  writeConfig({true, 80, false, 30, INFINITY});  // not encodable: the file stays
  EXPECT_EQ(readConfig(), sample);
  // Any fault gives the whole defaults, not one member; white space pads a valid file up to the 64 KiB cap.
  const std::string body = sampleWith("", "");
  const std::pair<std::string, ChargeConfig> rows[] = {{sampleWith("chargeLimitPercent", "80.5"), defaults}, {"", defaults},
      {body + std::string(64 * 1024 - body.size(), ' '), sample}, {body + std::string(64 * 1024 - body.size() + 1, ' '), defaults}};
  for (const auto& [text, config] : rows) {
    writeWholeFile(configPath, text);
    EXPECT_EQ(readConfig(), config) << text.size();
  }
  // Read again only when the file changed: renamed over, or rewritten in place
  // within the same second at the same size (once the file system's clock ticks).
  for (const bool inPlace : {false, true})
    for (const ChargeConfig& config : {ChargeConfig{true, 76, true, 14, 1764876810.5}, sample}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      inPlace ? writeWholeFile(configPath, *encodeChargeConfig(config)) : writeConfig(config);
      EXPECT_EQ(readConfig(), config) << inPlace;
    }
}

// Each write replaces the whole file with the compact form; an absent phase is
// left out; a record that cannot be encoded leaves the last one in place.
TEST_F(RecordFileTest, StatusIsWrittenInTheCompactFormWithoutAnAbsentPhase) {
  // Pairs, not a struct table: g++ 12 warns falsely about the optional string in one.
  const std::pair<ChargeStatus, std::string> rows[] = {
      {{true, true, false, std::nullopt, 80, 1764876810.5},
       R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":false,"batteryPercent":80,"lastUpdate":1764876810.5})"},
      {{false, false, true, "Charging to 100%", -1, 1796417610.0},
       R"({"daemonRunning":false,"chargingInhibited":false,"calibrationActive":true,"calibrationPhase":"Charging to 100%","batteryPercent":-1,"lastUpdate":1796417610})"},
      {{true, true, true, "say \"hi\"", 1, 0.5},  // a quote alone must be escaped too
       R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":true,"calibrationPhase":"say \"hi\"","batteryPercent":1,"lastUpdate":0.5})"},
      {{true, false, true, std::string("q\"b\\s\n\x01 \xE2\x80\x94"), 0, -0.0},
       R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":true,"calibrationPhase":"q\"b\\s\n\u0001 )"
       "\xE2\x80\x94" R"(","batteryPercent":0,"lastUpdate":-0.0})"}};
  for (const auto& [status, json] : rows) {
    writeStatus(status);
    EXPECT_EQ(readWholeFile(statusPath), json);
  }
  writeStatus({true, false, false, std::nullopt, 80, NAN});
  EXPECT_EQ(readWholeFile(statusPath), rows[3].second);
}
