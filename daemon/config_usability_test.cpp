// The log's word on settings that cannot be used: once when they become
// unusable, with the reason, once when they are usable again, nothing between.
#include <filesystem>
#include <functional>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/control_loop.h"
#include "daemon/globals.h"
#include "test_support.h"

namespace {

const std::string kValid = limitConfig(80);
const std::string kUsableAgain = "Settings: config.json is usable again";

std::string invalid(const std::string& reason) {
  return "Settings: config.json is not valid (" + reason + ") — limit off until it is fixed";
}

// kValid with `from` replaced by `to`.
std::string edited(const std::string& from, const std::string& to) {
  std::string text = kValid;
  return text.replace(text.find(from), from.size(), to);
}

struct Plant {
  const char* name;
  std::function<void(const std::string& path)> place;
  std::string reason;
};

void write(const std::string& path, const std::string& bytes) { writeWholeFile(path, bytes); }

const Plant kPlants[] = {
    {"Truncated", [](auto& p) { write(p, kValid.substr(0, 40)); }, "not JSON"},
    {"Empty", [](auto& p) { write(p, ""); }, "not JSON"},
    {"Array", [](auto& p) { write(p, "[" + kValid + "]"); }, "not a JSON object"},
    {"Deep", [](auto& p) { write(p, "{\"x\":" + std::string(70, '[') + std::string(70, ']') + "}"); },
     "nested deeper than 64 levels"},
    {"Large", [](auto& p) { write(p, kValid + std::string(70000, ' ')); }, "larger than 64 KiB"},
    {"Directory", [](auto& p) { std::filesystem::create_directory(p); }, "not a regular file"},
    {"Symlink", [](auto& p) { write(p + ".real", kValid); std::filesystem::create_symlink(p + ".real", p); },
     "not a regular file"},
    {"NumberForBoolean", [](auto& p) { write(p, edited("true", "1")); }, "\"chargeLimitEnabled\" is not true or false"},
    {"StringPercent", [](auto& p) { write(p, edited(":80", ":\"80\"")); }, "\"chargeLimitPercent\" is not a whole number"},
    {"NullTime", [](auto& p) { write(p, edited(":0}", ":null}")); }, "\"lastCalibrationTimestamp\" is not a number"},
    {"MissingDays", [](auto& p) { write(p, edited("\"calibrationIntervalDays\":30,", "")); },
     "\"calibrationIntervalDays\" missing"},
    {"Twice", [](auto& p) { write(p, edited("{", "{\"calibrationEnabled\":true,")); }, "\"calibrationEnabled\" given twice"},
};

class ConfigUsabilityTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    bringUp();
    loopCount = 1;  // no state lines
  }
  // The "Settings:" lines logged by `passes` passes.
  std::vector<std::string> settingsLines(int passes) {
    markLog();
    for (int i = 0; i < passes; ++i) runControlLoopPass();
    std::vector<std::string> lines;
    for (const auto& m : newLogMessages())
      if (m.rfind("Settings: ", 0) == 0) lines.push_back(m);
    return lines;
  }
  void remove() { std::filesystem::remove_all(configPath); }
};

class ConfigPlantTest : public ConfigUsabilityTest, public ::testing::WithParamInterface<Plant> {};

TEST_P(ConfigPlantTest, SaysSoOnceWithTheReasonAndOnceWhenFixed) {
  write(configPath, kValid);
  EXPECT_EQ(settingsLines(2), std::vector<std::string>{});
  remove();
  GetParam().place(configPath);
  EXPECT_EQ(settingsLines(3), std::vector<std::string>{invalid(GetParam().reason)});
  EXPECT_FALSE(currentlyInhibited || adapterDisabled);  // the defaults: limit off
  remove();
  write(configPath, kValid);
  EXPECT_EQ(settingsLines(3), std::vector<std::string>{kUsableAgain});
  EXPECT_TRUE(currentlyInhibited);  // the simulated battery is at 80%: held there again
}

INSTANTIATE_TEST_SUITE_P(Plants, ConfigPlantTest, ::testing::ValuesIn(kPlants),
                         [](const auto& info) { return std::string(info.param.name); });

// No file is no fault; an unusable file that is removed gives way to the defaults.
TEST_F(ConfigUsabilityTest, NoFileIsNoFaultAndARemovedBadFileIsSaidToBeGone) {
  EXPECT_EQ(settingsLines(2), std::vector<std::string>{});
  write(configPath, "{");
  EXPECT_EQ(settingsLines(2), std::vector<std::string>{invalid("not JSON")});
  write(configPath, "[]");  // another fault is still the same state
  EXPECT_EQ(settingsLines(2), std::vector<std::string>{});
  remove();
  EXPECT_EQ(settingsLines(2),
            std::vector<std::string>{"Settings: config.json removed — running with the defaults (limit off)"});
}

}  // namespace
