// Scenario time strings: durations, the UTC start instant, and formatting.
#include "harness/time_string.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// What parsing gives: the whole seconds as text, or the message of the refusal.
template <class Parse>
std::string outcome(Parse parse, const std::string& text) {
  try {
    return std::to_string(static_cast<long long>(parse(text)));
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

}  // namespace

TEST(TimeStringTest, DurationsAreReadOrRefusedWithTheReason) {
  const std::pair<std::string, std::string> cases[] = {
      {"90s", "90"}, {"15m", "900"}, {"1h30m", "5400"}, {"1d1h1m1s", "90061"}, {"007s", "7"}, {"", "empty"},
      {"90", "the number 90 has no unit"}, {"1.5h", "unknown unit '.'"}, {"-5m", "expected a whole number at position 1"},
      {"30m1h", "units must come in the order d, h, m, s, each once"},
      {"1h1h", "units must come in the order d, h, m, s, each once"}, {"99999999999s", "number too large"}};
  for (const auto& [text, want] : cases) {
    const std::string refusal = "bad time \"" + text + "\": " + want + " (write e.g. \"90s\", \"15m\", \"1h30m\", \"2d\")";
    EXPECT_EQ(outcome(parseDuration, text), std::isdigit(want[0]) ? want : refusal);
  }
}

TEST(TimeStringTest, StartInstantsAreUtc) {
  EXPECT_EQ(outcome(parseUtcInstant, "2026-12-04T20:53:30Z"), "1796417610");
  EXPECT_EQ(outcome(parseUtcInstant, "2028-02-29T23:59:59Z"), "1835481599");
  EXPECT_EQ(parseUtcInstant("2026-12-04T20:53:30.25Z"), 1796417610.25);
  for (const std::string text : {"2026-12-04 20:53:30Z", "2026-12-04T20:53:30", "2026-13-04T20:53:30Z",
                                 "2027-02-29T10:00:00Z", "2026-12-04T24:00:00Z", "1969-12-31T23:59:59Z", "",
                                 "2026-12-04T20:53:30.Z", "2026-12-04T20:53:30.5xZ", "2026-12-04T20:53:60Z"})
    EXPECT_EQ(outcome(parseUtcInstant, text).rfind("bad start \"" + text + "\": ", 0), 0u) << text;
}

TEST(TimeStringTest, FormattingGivesTheShortestTextThatReadsBack) {
  const std::pair<double, const char*> cases[] = {{0, "0s"}, {5400, "1h30m"}, {90061, "1d1h1m1s"}, {59.6, "1m"}, {-3600, "-1h"}};
  for (const auto& [seconds, text] : cases) EXPECT_EQ(formatDuration(seconds), text) << seconds;
  for (double s : {61.0, 3599.0, 604800.0}) EXPECT_EQ(parseDuration(formatDuration(s)), s);
}
