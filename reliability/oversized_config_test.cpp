// Settings files built to exhaust the daemon (a sparse file of 1 GiB, a
// million levels of nesting, nesting small enough to be read in full) are
// refused and the defaults used, in a process of its own whose peak memory
// stays under 16 MiB.
#include <cstdio>
#include <unistd.h>

#include <gtest/gtest.h>

#include "reliability/reliability.h"
#include "test_support.h"

namespace {

std::string nested(size_t depth, const std::string& open, const std::string& inner, char close) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += open;
  return text + inner + std::string(depth, close);
}

TEST(OversizedConfigTest, RefusedWithinMemory) {
  TempDir dir;
  // "read": readConfig() on the directory; "decode": the parser on the bytes.
  const std::tuple<const char*, std::string, std::string, const char*> cases[] = {
      {"valid settings", limitConfig(80), "read", "settings"},
      {"valid settings", limitConfig(80), "decode", "settings"},
      {"sparse 1 GiB file", limitConfig(80) + "    ", "read", "defaults"},  // then a hole up to 1 GiB
      {"10^6 nested arrays", nested(1000000, "[", "", ']'), "read", "defaults"},
      {"10^6 nested arrays", nested(1000000, "[", "", ']'), "decode", "defaults"},
      {"10^6 nested objects", nested(1000000, R"({"a":)", "0", '}'), "decode", "defaults"},
      {"30,000 nested arrays", nested(30000, "[", "", ']'), "read", "defaults"},
      {"30,000 nested arrays around an object", nested(30000, "[", R"({"chargeLimitEnabled":true})", ']'), "read",
       "defaults"}};
  for (const auto& [what, text, mode, want] : cases) {
    writeWholeFile(dir.file("config.json"), text);
    ASSERT_TRUE(what[0] != 's' || truncate(dir.file("config.json").c_str(), off_t{1} << 30) == 0);
    // popen spawns without copying this process's memory, which the probe's peak would count.
    const std::string arg = mode == "read" ? dir.path() : dir.file("config.json");
    FILE* probe = popen((HESTLE_CONFIG_PROBE_PATH " " + mode + " '" + arg + "'").c_str(), "r");
    char result[32] = "";
    long peakKiB = -1;
    ASSERT_EQ(fscanf(probe, "result=%31s peak_rss_kib=%ld", result, &peakKiB), 2) << what;
    pclose(probe);
    std::printf("%s, %s: %s, peak RSS %ld KiB\n", mode.c_str(), what, result, peakKiB);
    EXPECT_STREQ(result, want) << what;
    EXPECT_TRUE(kUnderSanitizer || peakKiB < 16 * 1024) << what << ": " << peakKiB << " KiB";
  }
}

}  // namespace
