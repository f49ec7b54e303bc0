// Durations and UTC instants of scenario files.
#include "harness/time_string.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "util/utc_time.h"

static std::invalid_argument badDuration(std::string_view text, const std::string& why) {
  return std::invalid_argument("bad time \"" + std::string(text) + "\": " + why +
                               " (write e.g. \"90s\", \"15m\", \"1h30m\", \"2d\")");
}

static int unitRank(char unit) {
  switch (unit) {
    case 'd': return 0;
    case 'h': return 1;
    case 'm': return 2;
    case 's': return 3;
    default: return -1;
  }
}

static double unitSeconds(char unit) {
  switch (unit) {
    case 'd': return 86400.0;
    case 'h': return 3600.0;
    case 'm': return 60.0;
    default: return 1.0;
  }
}

double parseDuration(std::string_view text) {
  if (text.empty()) throw badDuration(text, "empty");
  double total = 0.0;
  int lastRank = -1;
  size_t i = 0;
  while (i < text.size()) {
    const size_t digitsStart = i;
    uint64_t number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (number > 1'000'000'000ULL) throw badDuration(text, "number too large");
      number = number * 10 + static_cast<uint64_t>(text[i] - '0');
      ++i;
    }
    if (i == digitsStart) throw badDuration(text, "expected a whole number at position " + std::to_string(i + 1));
    if (i == text.size()) throw badDuration(text, "the number " + std::string(text.substr(digitsStart)) + " has no unit");
    const char unit = text[i];
    const int rank = unitRank(unit);
    if (rank < 0) throw badDuration(text, std::string("unknown unit '") + unit + "'");
    if (rank <= lastRank) throw badDuration(text, "units must come in the order d, h, m, s, each once");
    lastRank = rank;
    total += static_cast<double>(number) * unitSeconds(unit);
    ++i;
  }
  return total;
}

double parseUtcInstant(std::string_view text) {
  std::string why;
  if (const auto seconds = parseUtcTime(text, &why)) return *seconds;
  throw std::invalid_argument("bad start \"" + std::string(text) + "\": " + why +
                              " (write a UTC time such as \"2026-12-04T20:53:30Z\")");
}

std::string formatDuration(double seconds) {
  if (!std::isfinite(seconds)) return "?";
  std::string out;
  if (seconds < 0) {
    out = "-";
    seconds = -seconds;
  }
  auto rest = static_cast<int64_t>(std::llround(seconds));
  if (rest == 0) return out + "0s";
  const struct {
    int64_t size;
    char unit;
  } units[] = {{86400, 'd'}, {3600, 'h'}, {60, 'm'}, {1, 's'}};
  for (const auto& u : units) {
    if (rest >= u.size) {
      out += std::to_string(rest / u.size);
      out += u.unit;
      rest %= u.size;
    }
  }
  return out;
}
