// Settings files built to exhaust the daemon: a sparse file of 1 GiB, and a
// million levels of nesting. Each is refused (the defaults are used) in a
// process of its own whose peak memory stays under 16 MiB.
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

#include "reliability/process_stats.h"
#include "test_support.h"

namespace {

struct ProbeResult {
  std::string result;
  long peakKiB = -1;
};

ProbeResult probe(const std::string& mode, const std::string& path) {
  const std::string command = std::string(HESTLE_CONFIG_PROBE_PATH) + " " + mode + " '" + path + "'";
  ProbeResult r;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char result[32] = "";
  if (fscanf(pipe, "result=%31s peak_rss_kib=%ld", result, &r.peakKiB) == 2) r.result = result;
  pclose(pipe);
  return r;
}

void writeNested(const std::string& path, size_t depth, const std::string& inner) {
  std::string text(depth, '[');
  text += inner;
  text.append(depth, ']');
  writeWholeFile(path, text);
}

constexpr long kPeakLimitKiB = 16 * 1024;

class OversizedConfigTest : public ::testing::Test {
 protected:
  void expectRefused(const std::string& mode, const std::string& path, const std::string& what) {
    const ProbeResult r = probe(mode, path);
    EXPECT_EQ(r.result, "defaults") << what;
    ASSERT_GT(r.peakKiB, 0);
    std::printf("%s, %s: refused, peak RSS %ld KiB\n", mode == "read" ? "readConfig" : "decodeChargeConfig",
                what.c_str(), r.peakKiB);
    if (!kUnderSanitizer) {
      EXPECT_LT(r.peakKiB, kPeakLimitKiB);
    }
  }
  TempDir dir;
};

TEST_F(OversizedConfigTest, ValidSettingsAreReadByTheProbe) {
  writeWholeFile(dir.file("config.json"),
                 R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,)"
                 R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})");
  EXPECT_EQ(probe("read", dir.path()).result, "settings");
  EXPECT_EQ(probe("decode", dir.file("config.json")).result, "settings");
}

TEST_F(OversizedConfigTest, SparseGibibyteIsRefused) {
  // Valid settings at the start, then a hole up to 1 GiB.
  const std::string path = dir.file("config.json");
  writeWholeFile(path, R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,)"
                       R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0}    )");
  ASSERT_EQ(truncate(path.c_str(), off_t{1} << 30), 0);
  expectRefused("read", dir.path(), "sparse 1 GiB file");
}

TEST_F(OversizedConfigTest, MillionLevelsOfNestingAreRefused) {
  writeNested(dir.file("config.json"), 1000000, "");
  expectRefused("read", dir.path(), "10^6 nested arrays");
  expectRefused("decode", dir.file("config.json"), "10^6 nested arrays");
  // Objects nest as deep, with the settings' members at the bottom.
  std::string text;
  for (int i = 0; i < 1000000; ++i) text += R"({"a":)";
  text += "0";
  text.append(1000000, '}');
  writeWholeFile(dir.file("objects.json"), text);
  expectRefused("decode", dir.file("objects.json"), "10^6 nested objects");
}

TEST_F(OversizedConfigTest, NestingThatFitsTheSizeCapIsRefused) {
  // Small enough to be read in full: the depth alone must stop it.
  writeNested(dir.file("config.json"), 30000, "");
  expectRefused("read", dir.path(), "30,000 nested arrays");
  writeNested(dir.file("config.json"), 30000, R"({"chargeLimitEnabled":true})");
  expectRefused("read", dir.path(), "30,000 nested arrays around an object");
}

}  // namespace
