// Tests of scenario time strings: durations, the start instant, formatting.
#include "harness/time_string.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

TEST(TimeStringTest, DurationsInEveryUnitAndCombination) {
  const struct {
    const char* text;
    double seconds;
  } cases[] = {
      {"90s", 90},        {"15m", 900},         {"1h30m", 5400},       {"2d", 172800},
      {"0s", 0},          {"1d12h", 129600},    {"1h0m5s", 3605},      {"1d1h1m1s", 90061},
      {"120m", 7200},     {"007s", 7},
  };
  for (const auto& c : cases) EXPECT_EQ(parseDuration(c.text), c.seconds) << c.text;
}

TEST(TimeStringTest, BadDurationsAreRefusedWithTheReason) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"", "empty"},
      {"90", "the number 90 has no unit"},
      {"1x", "unknown unit 'x'"},
      {"h", "expected a whole number at position 1"},
      {"1.5h", "unknown unit '.'"},
      {"30m1h", "units must come in the order d, h, m, s, each once"},
      {"1h1h", "units must come in the order d, h, m, s, each once"},
      {"-5m", "expected a whole number at position 1"},
      {" 5m", "expected a whole number at position 1"},
      {"5m ", "expected a whole number at position 3"},
      {"99999999999s", "number too large"},
  };
  for (const auto& c : cases) {
    try {
      parseDuration(c.text);
      ADD_FAILURE() << "accepted \"" << c.text << "\"";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), std::string("bad time \"") + c.text + "\": " + c.reason +
                                           " (write e.g. \"90s\", \"15m\", \"1h30m\", \"2d\")");
    }
  }
}

TEST(TimeStringTest, StartInstantIsUtc) {
  EXPECT_EQ(parseUtcInstant("2026-12-04T20:53:30Z"), 1796417610.0);
  EXPECT_EQ(parseUtcInstant("1970-01-01T00:00:00Z"), 0.0);
  EXPECT_EQ(parseUtcInstant("2028-02-29T23:59:59Z"), 1835481599.0);
  EXPECT_EQ(parseUtcInstant("2026-12-04T20:53:30.25Z"), 1796417610.25);
}

TEST(TimeStringTest, BadStartInstantsAreRefused) {
  for (const char* text : {"2026-12-04 20:53:30Z", "2026-12-04T20:53:30", "2026-12-04T20:53:30+01:00",
                           "2026-13-04T20:53:30Z", "2027-02-29T10:00:00Z", "2026-12-04T24:00:00Z",
                           "2026-12-04T20:60:00Z", "1969-12-31T23:59:59Z", "2026-1a-04T20:53:30Z", "",
                           "2026-12-04T20:53:30.Z", "2026-12-04T20:53:30.5xZ", "2026-12-04T20:53:60Z"}) {
    try {
      parseUtcInstant(text);
      ADD_FAILURE() << "accepted \"" << text << "\"";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()).rfind(std::string("bad start \"") + text + "\": ", 0), 0u) << e.what();
    }
  }
}

TEST(TimeStringTest, FormattingIsTheShortestTextAndReadsBack) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {{0, "0s"}, {5400, "1h30m"}, {90061, "1d1h1m1s"}, {86400, "1d"}, {59.6, "1m"}, {-3600, "-1h"}};
  for (const auto& c : cases) EXPECT_EQ(formatDuration(c.seconds), c.text) << c.seconds;
  for (double s : {1.0, 61.0, 3599.0, 7200.0, 604800.0}) EXPECT_EQ(parseDuration(formatDuration(s)), s);
}
