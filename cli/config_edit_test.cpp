// Tests of loading and saving config.json for the front end, on real files.
#include "cli/config_edit.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

std::vector<std::string> directoryEntries(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(HestleConfigEdit, MissingFileStartsFromTheDefaultsAndCreatesNothing) {
  TempDir dir;
  LoadedConfig loaded = loadConfig(dir.path());
  ASSERT_TRUE(loaded.config.has_value()) << loaded.error;
  EXPECT_EQ(*loaded.config, ChargeConfig{});
  EXPECT_FALSE(loaded.fromFile);
  EXPECT_TRUE(directoryEntries(dir.path()).empty());
}

TEST(HestleConfigEdit, SaveWritesTheDaemonsFormAtomicallyWithMode0666) {
  TempDir dir;
  writeWholeFile(dir.file("config.json"), "old");
  chmod(dir.file("config.json").c_str(), 0600);
  mode_t oldMask = umask(077);  // an ordinary user's strict umask must not matter
  ChargeConfig config{true, 75, true, 14, 1764876810.25};
  std::string error = saveConfig(dir.path(), config);
  umask(oldMask);
  ASSERT_EQ(error, "");
  EXPECT_EQ(readWholeFile(dir.file("config.json")),
            "{\"chargeLimitEnabled\":true,\"chargeLimitPercent\":75,\"calibrationEnabled\":true,"
            "\"calibrationIntervalDays\":14,\"lastCalibrationTimestamp\":1764876810.25}");
  EXPECT_EQ(fileMode(dir.file("config.json")), 0666u);
  EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"config.json"});  // no temporary left

  LoadedConfig loaded = loadConfig(dir.path());
  ASSERT_TRUE(loaded.config.has_value()) << loaded.error;
  EXPECT_TRUE(loaded.fromFile);
  EXPECT_EQ(*loaded.config, config);
}

TEST(HestleConfigEdit, UnusableFilesAreReportedNotReplaced) {
  const std::vector<std::string> malformed = {
      "",
      "not json",
      "[]",
      "{\"chargeLimitEnabled\":true,\"chargeLimitPercent\":80,\"calibrationEnabled\":false,"
      "\"calibrationIntervalDays\":30}",
      "{\"chargeLimitEnabled\":1,\"chargeLimitPercent\":80,\"calibrationEnabled\":false,"
      "\"calibrationIntervalDays\":30,\"lastCalibrationTimestamp\":0}",
      "{\"chargeLimitEnabled\":true,\"chargeLimitPercent\":80.5,\"calibrationEnabled\":false,"
      "\"calibrationIntervalDays\":30,\"lastCalibrationTimestamp\":0}",
  };
  for (const auto& bytes : malformed) {
    TempDir dir;
    writeWholeFile(dir.file("config.json"), bytes);
    LoadedConfig loaded = loadConfig(dir.path());
    EXPECT_FALSE(loaded.config.has_value()) << bytes;
    EXPECT_NE(loaded.error.find("config.json is malformed"), std::string::npos) << loaded.error;
    EXPECT_EQ(readWholeFile(dir.file("config.json")), bytes);
  }
}

TEST(HestleConfigEdit, LinksAndDirectoriesAreNotFollowed) {
  TempDir dir;
  TempDir elsewhere;
  writeWholeFile(elsewhere.file("target"),
                 "{\"chargeLimitEnabled\":true,\"chargeLimitPercent\":80,\"calibrationEnabled\":false,"
                 "\"calibrationIntervalDays\":30,\"lastCalibrationTimestamp\":0}");
  ASSERT_EQ(symlink(elsewhere.file("target").c_str(), dir.file("config.json").c_str()), 0);
  LoadedConfig loaded = loadConfig(dir.path());
  EXPECT_FALSE(loaded.config.has_value());
  EXPECT_NE(loaded.error.find("is not a regular file"), std::string::npos) << loaded.error;

  TempDir other;
  ASSERT_EQ(mkdir(other.file("config.json").c_str(), 0755), 0);
  loaded = loadConfig(other.path());
  EXPECT_FALSE(loaded.config.has_value());
  EXPECT_NE(loaded.error.find("is not a regular file"), std::string::npos) << loaded.error;
}

TEST(HestleConfigEdit, SaveNeedsTheDataDirectory) {
  TempDir dir;
  std::string error = saveConfig(dir.file("absent"), ChargeConfig{});
  EXPECT_NE(error.find("there is no data directory"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.file("absent")));
}

}  // namespace
