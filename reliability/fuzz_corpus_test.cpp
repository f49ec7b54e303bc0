// Every input in fuzz/corpus (the seeds) and fuzz/regressions (inputs the
// fuzzers once found troublesome) is replayed in every build: the parser's
// round trip, bit for bit, and a pass of the daemon driven by it as "config.json".
#include <bit>
#include <filesystem>

#include <gtest/gtest.h>

#include "daemon/control_loop.h"
#include "daemon/globals.h"
#include "store/charge_config.h"
#include "test_support.h"

class FuzzCorpusTest : public DaemonTest {};

TEST_F(FuzzCorpusTest, EveryInputRoundTripsAndDrivesAPass) {
  openSmc();
  std::vector<std::filesystem::path> files;
  for (const char* folder : {"/corpus", "/regressions"}) {
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(HESTLE_FUZZ_DIR + std::string(folder), missing))
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  int accepted = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string bytes = readWholeFile(file.string());
    const auto config = decodeChargeConfig(bytes);
    if (config) {
      const auto again = decodeChargeConfig(encodeChargeConfig(*config).value());
      ASSERT_TRUE(again.has_value());
      EXPECT_TRUE(*again == *config && std::bit_cast<uint64_t>(again->lastCalibrationTimestamp) ==
                                           std::bit_cast<uint64_t>(config->lastCalibrationTimestamp));
    }
    accepted += config.has_value();
    writeWholeFile(configPath, bytes);
    runControlLoopPass();
    EXPECT_TRUE(currentlyInhibited == simmac::chargeInhibited() && adapterDisabled == simmac::adapterDisabled());
    EXPECT_EQ(simmac::objectCounts().cfLive, 0);
    EXPECT_TRUE(publishedStatus().daemonRunning);
    // The limit is on exactly when the settings were accepted and ask for it.
    EXPECT_FALSE((!config || !config->chargeLimitEnabled) && (simmac::adapterDisabled() || simmac::chargeInhibited()));
    simmac::advance(10.0);
  }
  EXPECT_GT(accepted, 0);
}
