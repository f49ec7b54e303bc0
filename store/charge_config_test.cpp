// Tests of the settings record: reading rules, exact encoding, config.json.
#include "store/charge_config.h"

#include <cmath>
#include <cstring>
#include <dirent.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "tests/test_support.h"

namespace {

const ChargeConfig defaults{false, 80, false, 30, 0.0};
const ChargeConfig sample{true, 75, true, 14, 1764876810.5};

// A whole file whose members are given as text, in this order.
std::string objectOf(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out = "{";
  for (const auto& [name, value] : members) {
    if (out.size() > 1) out += ',';
    out += "\"" + name + "\":" + value;
  }
  return out + "}";
}

// The sample's members as text, with one replaced or (value "") left out.
std::string sampleWith(const std::string& name, const std::string& value) {
  std::vector<std::pair<std::string, std::string>> members = {
      {"chargeLimitEnabled", "true"},      {"chargeLimitPercent", "75"},
      {"calibrationEnabled", "true"},      {"calibrationIntervalDays", "14"},
      {"lastCalibrationTimestamp", "1764876810.5"}};
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& m : members) {
    if (m.first != name) out.push_back(m);
    else if (!value.empty()) out.emplace_back(name, value);
  }
  return objectOf(out);
}

TEST(ChargeConfigJson, EveryMemberIsRequiredWithItsExactType) {
  const std::vector<std::string> names = {"chargeLimitEnabled", "chargeLimitPercent",
                                          "calibrationEnabled", "calibrationIntervalDays",
                                          "lastCalibrationTimestamp"};
  for (const auto& name : names) {
    EXPECT_EQ(decodeChargeConfig(sampleWith(name, "")), std::nullopt) << name << " missing";
    EXPECT_EQ(decodeChargeConfig(sampleWith(name, "null")), std::nullopt) << name << " null";
    EXPECT_EQ(decodeChargeConfig(sampleWith(name, "\"1\"")), std::nullopt) << name << " string";
    EXPECT_EQ(decodeChargeConfig(sampleWith(name, "{}")), std::nullopt) << name << " object";
    EXPECT_EQ(decodeChargeConfig(sampleWith(name, "[1]")), std::nullopt) << name << " array";
  }
  struct Case {
    std::string name;
    std::string value;
    std::optional<ChargeConfig> result;
  };
  auto with = [](auto change) {
    ChargeConfig c = sample;
    change(c);
    return c;
  };
  const std::vector<Case> cases = {
      {"chargeLimitEnabled", "1", std::nullopt},
      {"chargeLimitEnabled", "0", std::nullopt},
      {"chargeLimitEnabled", "false", with([](auto& c) { c.chargeLimitEnabled = false; })},
      {"calibrationEnabled", "1", std::nullopt},
      {"chargeLimitPercent", "true", std::nullopt},
      {"chargeLimitPercent", "80.5", std::nullopt},
      {"chargeLimitPercent", "\"80\"", std::nullopt},
      {"chargeLimitPercent", "80.0", with([](auto& c) { c.chargeLimitPercent = 80; })},
      {"chargeLimitPercent", "1e2", with([](auto& c) { c.chargeLimitPercent = 100; })},
      {"chargeLimitPercent", "150", with([](auto& c) { c.chargeLimitPercent = 150; })},
      {"chargeLimitPercent", "-1", with([](auto& c) { c.chargeLimitPercent = -1; })},
      {"chargeLimitPercent", "9223372036854775807",
       with([](auto& c) { c.chargeLimitPercent = std::numeric_limits<int64_t>::max(); })},
      {"chargeLimitPercent", "9223372036854775808", std::nullopt},
      {"calibrationIntervalDays", "-9223372036854775808",
       with([](auto& c) { c.calibrationIntervalDays = std::numeric_limits<int64_t>::min(); })},
      {"calibrationIntervalDays", "-9223372036854775809", std::nullopt},
      {"calibrationIntervalDays", "30.25", std::nullopt},
      {"lastCalibrationTimestamp", "true", std::nullopt},
      {"lastCalibrationTimestamp", "1e400", std::nullopt},
      {"lastCalibrationTimestamp", "0", with([](auto& c) { c.lastCalibrationTimestamp = 0.0; })},
      {"lastCalibrationTimestamp", "-12.75", with([](auto& c) { c.lastCalibrationTimestamp = -12.75; })},
      {"lastCalibrationTimestamp", "18446744073709551616",
       with([](auto& c) { c.lastCalibrationTimestamp = 18446744073709551616.0; })},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeChargeConfig(sampleWith(c.name, c.value)), c.result) << c.name << " = " << c.value;
  }
}

TEST(ChargeConfigJson, LayoutIsFree) {
  struct Case {
    std::string json;
    std::optional<ChargeConfig> result;
  };
  const std::vector<Case> cases = {
      {"", std::nullopt},
      {" \n", std::nullopt},
      {"{}", std::nullopt},
      {"[]", std::nullopt},
      {"null", std::nullopt},
      {sampleWith("", "") + "x", std::nullopt},
      {sampleWith("", ""), sample},
      {"\n{ \"lastCalibrationTimestamp\" :\t1764876810.5 ,\r\n \"calibrationIntervalDays\": 14,"
       " \"calibrationEnabled\": true, \"chargeLimitPercent\": 75,\n\"chargeLimitEnabled\": true }\n",
       sample},
      {R"({"extra":{"chargeLimitPercent":"no"},"chargeLimitEnabled":true,"chargeLimitPercent":75,)"
       R"("list":[1,2,null],"calibrationEnabled":true,"calibrationIntervalDays":14,)"
       R"("lastCalibrationTimestamp":1764876810.5,"more":null})",
       sample},
      // Duplicate members are refused: the text could mean two things.
      {R"({"chargeLimitEnabled":false,"chargeLimitEnabled":true,"chargeLimitPercent":75,)"
       R"("calibrationEnabled":true,"calibrationIntervalDays":14,"lastCalibrationTimestamp":1764876810.5})",
       std::nullopt},
      {"{\"chargeLimitEnabled\":true," + std::string(5000, '[') + std::string(5000, ']') + "}",
       std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeChargeConfig(c.json), c.result) << c.json.substr(0, 120);
  }
}

TEST(ChargeConfigJson, EncodesCompactlyInDeclarationOrder) {
  EXPECT_EQ(encodeChargeConfig(defaults),
            R"({"chargeLimitEnabled":false,"chargeLimitPercent":80,"calibrationEnabled":false,)"
            R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})");
  EXPECT_EQ(encodeChargeConfig({true, 80, false, 30, 0.0}),
            R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,)"
            R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})");
  EXPECT_EQ(encodeChargeConfig({true, -5, true, std::numeric_limits<int64_t>::min(), -0.0}),
            R"({"chargeLimitEnabled":true,"chargeLimitPercent":-5,"calibrationEnabled":true,)"
            R"("calibrationIntervalDays":-9223372036854775808,"lastCalibrationTimestamp":-0.0})");
  EXPECT_EQ(encodeChargeConfig(sample),
            R"({"chargeLimitEnabled":true,"chargeLimitPercent":75,"calibrationEnabled":true,)"
            R"("calibrationIntervalDays":14,"lastCalibrationTimestamp":1764876810.5})");
  for (const double bad : {std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(), std::nan("")}) {
    EXPECT_EQ(encodeChargeConfig({true, 80, false, 30, bad}), std::nullopt) << bad;
  }
}

TEST(ChargeConfigJson, RoundTripsBitForBit) {
  const std::vector<ChargeConfig> configs = {
      defaults, sample, {true, 0, false, 0, 0.1},
      {false, std::numeric_limits<int64_t>::max(), true, std::numeric_limits<int64_t>::min(), -0.0},
      {true, 80, true, 30, 1796417610.123456789}, {true, 80, true, 30, 5e-324},
      {true, 80, true, 30, std::numeric_limits<double>::max()}};
  for (const auto& config : configs) {
    const auto json = encodeChargeConfig(config);
    ASSERT_TRUE(json);
    const auto back = decodeChargeConfig(*json);
    ASSERT_TRUE(back) << *json;
    EXPECT_EQ(*back, config) << *json;
    EXPECT_EQ(std::signbit(back->lastCalibrationTimestamp), std::signbit(config.lastCalibrationTimestamp))
        << *json;
  }
}

// The written form (members in declaration order, no white space) has a
// scanner of its own; a leading space sends the same text to the general
// reader. Both must agree on every text, down to the sign of a zero.
TEST(ChargeConfigJson, WrittenFormReadsAsTheGeneralReaderReadsIt) {
  const std::vector<std::pair<std::string, std::string>> variants = {
      {"chargeLimitEnabled", "false"},
      {"chargeLimitEnabled", "1"},
      {"chargeLimitEnabled", "tru"},
      {"chargeLimitPercent", "0"},
      {"chargeLimitPercent", "-0"},
      {"chargeLimitPercent", "-80"},
      {"chargeLimitPercent", "007"},
      {"chargeLimitPercent", "999999999999999999"},
      {"chargeLimitPercent", "9223372036854775807"},
      {"chargeLimitPercent", "-9223372036854775808"},
      {"chargeLimitPercent", "9223372036854775808"},
      {"chargeLimitPercent", "80.0"},
      {"chargeLimitPercent", "1e2"},
      {"chargeLimitPercent", "80.5"},
      {"chargeLimitPercent", "-"},
      {"calibrationEnabled", "false"},
      {"calibrationIntervalDays", "-1"},
      {"calibrationIntervalDays", "null"},
      {"lastCalibrationTimestamp", "0"},
      {"lastCalibrationTimestamp", "-0"},
      {"lastCalibrationTimestamp", "-0.0"},
      {"lastCalibrationTimestamp", "-0e3"},
      {"lastCalibrationTimestamp", "-5"},
      {"lastCalibrationTimestamp", "1796417610.123456789"},
      {"lastCalibrationTimestamp", "1e308"},
      {"lastCalibrationTimestamp", "1e309"},
      {"lastCalibrationTimestamp", "-1e309"},
      {"lastCalibrationTimestamp", "5e-324"},
      {"lastCalibrationTimestamp", "1e-400"},
      {"lastCalibrationTimestamp", "9007199254740993"},
      {"lastCalibrationTimestamp", "18446744073709551617"},
      {"lastCalibrationTimestamp", "1E+2"},
      {"lastCalibrationTimestamp", "01"},
      {"lastCalibrationTimestamp", "1."},
      {"lastCalibrationTimestamp", ".5"},
      {"lastCalibrationTimestamp", "1e"},
      {"lastCalibrationTimestamp", "+1"},
      {"lastCalibrationTimestamp", "NaN"},
      {"lastCalibrationTimestamp", "inf"},
      {"lastCalibrationTimestamp", "0x10"},
  };
  for (const auto& [name, value] : variants) {
    for (const std::string& text : {sampleWith(name, value), sampleWith(name, value) + "\n"}) {
      const auto written = decodeChargeConfig(text);
      const auto general = decodeChargeConfig(" " + text);
      EXPECT_EQ(written, general) << text;
      if (written && general) {
        EXPECT_EQ(std::signbit(written->lastCalibrationTimestamp), std::signbit(general->lastCalibrationTimestamp))
            << text;
      }
    }
  }
  // And what they agree on, so that both cannot be wrong together.
  const auto at = [](const std::string& name, const std::string& value) {
    return decodeChargeConfig(sampleWith(name, value));
  };
  EXPECT_EQ(at("chargeLimitPercent", "-80").value().chargeLimitPercent, -80);
  EXPECT_EQ(at("chargeLimitPercent", "9223372036854775807").value().chargeLimitPercent,
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(at("chargeLimitPercent", "007"), std::nullopt);
  EXPECT_FALSE(std::signbit(at("lastCalibrationTimestamp", "-0").value().lastCalibrationTimestamp));
  EXPECT_TRUE(std::signbit(at("lastCalibrationTimestamp", "-0.0").value().lastCalibrationTimestamp));
  EXPECT_EQ(at("lastCalibrationTimestamp", "9007199254740993").value().lastCalibrationTimestamp, 9007199254740992.0);
  EXPECT_EQ(at("lastCalibrationTimestamp", "1e309"), std::nullopt);
}

class ConfigFileTest : public DaemonTest {};

TEST_F(ConfigFileTest, MissingFileGivesDefaultsAndCreatesNothing) {
  EXPECT_EQ(readConfig(), defaults);
  struct stat st {};
  EXPECT_NE(lstat(configPath.c_str(), &st), 0);
  DIR* d = opendir(dir.path().c_str());
  ASSERT_TRUE(d);
  int entries = 0;
  while (dirent* e = readdir(d)) entries += e->d_name[0] != '.';
  closedir(d);
  EXPECT_EQ(entries, 0);
}

TEST_F(ConfigFileTest, ReadsWhatWasWritten) {
  writeConfig(sample);
  EXPECT_EQ(readWholeFile(configPath),
            R"({"chargeLimitEnabled":true,"chargeLimitPercent":75,"calibrationEnabled":true,)"
            R"("calibrationIntervalDays":14,"lastCalibrationTimestamp":1764876810.5})");
  EXPECT_EQ(readConfig(), sample);
  writeWholeFile(configPath, sampleWith("chargeLimitPercent", "80.5"));
  EXPECT_EQ(readConfig(), defaults);  // the whole record, not one member
  writeWholeFile(configPath, "");
  EXPECT_EQ(readConfig(), defaults);
}

TEST_F(ConfigFileTest, NonFiniteTimestampWritesNothing) {
  writeConfig(sample);
  const std::string before = readWholeFile(configPath);
  writeConfig({true, 80, false, 30, std::numeric_limits<double>::infinity()});
  EXPECT_EQ(readWholeFile(configPath), before);
  EXPECT_EQ(readConfig(), sample);
}

TEST_F(ConfigFileTest, SizeCapIs64KiB) {
  // White space is allowed, so padding keeps the file valid at any size.
  const std::string body = sampleWith("", "");
  writeWholeFile(configPath, body + std::string(64 * 1024 - body.size(), ' '));
  EXPECT_EQ(readConfig(), sample);
  writeWholeFile(configPath, body + std::string(64 * 1024 - body.size() + 1, ' '));
  EXPECT_EQ(readConfig(), defaults);
}

}  // namespace
