// Bad settings: every input kept in fuzz/corpus (the seeds) and
// fuzz/regressions (inputs the fuzzers once found troublesome) is replayed in
// every build; files built to exhaust the daemon are refused within memory.
#include <bit>
#include <filesystem>

#include "daemon/control_loop.h"
#include "reliability/reliability.h"
#include "store/charge_config.h"

class FuzzCorpusTest : public DaemonTest {};

// The parser's round trip, bit for bit, and a pass driven by the input as "config.json".
TEST_F(FuzzCorpusTest, EveryInputRoundTripsAndDrivesAPass) {
  openSmc();
  std::vector<std::filesystem::path> files;
  for (const char* folder : {"/corpus", "/regressions"}) {
    std::error_code missing;  // a folder with nothing kept yet may not be there
    for (const auto& entry : std::filesystem::directory_iterator(HESTLE_FUZZ_DIR + std::string(folder), missing))
      files.push_back(entry);
  }
  std::sort(files.begin(), files.end());
  int accepted = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string bytes = readWholeFile(file.string());
    const auto config = decodeChargeConfig(bytes);
    const auto again = config ? decodeChargeConfig(encodeChargeConfig(*config).value()) : std::nullopt;
    EXPECT_TRUE(!config || (again == config && std::bit_cast<uint64_t>(again->lastCalibrationTimestamp) ==
                                                    std::bit_cast<uint64_t>(config->lastCalibrationTimestamp)));
    accepted += config.has_value();
    writeWholeFile(configPath, bytes);
    runControlLoopPass();
    EXPECT_TRUE(currentlyInhibited == simmac::chargeInhibited() && adapterDisabled == simmac::adapterDisabled());
    EXPECT_TRUE(simmac::objectCounts().cfLive == 0 && publishedStatus().daemonRunning);
    // The limit is on exactly when the settings were accepted and ask for it.
    EXPECT_FALSE((!config || !config->chargeLimitEnabled) && (simmac::adapterDisabled() || simmac::chargeInhibited()));
    simmac::advance(10.0);
  }
  EXPECT_GT(accepted, 0);
}

// A sparse file of 1 GiB, a million levels of nesting, and nesting small
// enough to be read in full are refused, the defaults used, by a process of
// their own (hestle-config-probe) whose peak memory stays under 16 MiB.
TEST(OversizedConfigTest, RefusedWithinMemory) {
  TempDir dir;
  const auto nested = [](const std::string& open, const std::string& inner, char close) {
    std::string text;
    for (int i = 0; i < 1000000; ++i) text += open;
    return text + inner + std::string(1000000, close);
  };
  // "read": readConfig() on the directory; "decode": the parser on the bytes.
  const std::tuple<const char*, std::string, std::string, const char*> cases[] = {
      {"valid settings", limitConfig(80), "read", "settings"},
      {"valid settings", limitConfig(80), "decode", "settings"},
      {"sparse 1 GiB file", limitConfig(80) + "    ", "read", "defaults"},  // then a hole up to 1 GiB
      {"10^6 nested arrays", nested("[", "", ']'), "read", "defaults"},
      {"10^6 nested arrays", nested("[", "", ']'), "decode", "defaults"},
      {"10^6 nested objects", nested(R"({"a":)", "0", '}'), "decode", "defaults"}};
  for (const auto& [what, text, mode, want] : cases) {
    writeWholeFile(dir.file("config.json"), text);
    ASSERT_TRUE(what[0] != 's' || truncate(dir.file("config.json").c_str(), off_t{1} << 30) == 0);
    // Through a shell, whose small memory is all that the probe's peak inherits from its parents.
    const Ran probe = runProgram("/bin/sh", {"-c", HESTLE_CONFIG_PROBE_PATH " \"$0\" \"$1\"", mode,
                                             mode == "read" ? dir.path() : dir.file("config.json")});
    char result[32] = "";
    long peakKiB = -1;
    ASSERT_EQ(sscanf(probe.out.c_str(), "result=%31s peak_rss_kib=%ld", result, &peakKiB), 2) << what << probe.err;
    std::printf("%s, %s: %s, peak RSS %ld KiB\n", mode.c_str(), what, result, peakKiB);
    EXPECT_STREQ(result, want) << what;
    EXPECT_TRUE(kUnderSanitizer || peakKiB < 16 * 1024) << what << ": " << peakKiB << " KiB";
  }
}
