// Durations and UTC instants of scenario files.
#include "harness/time_string.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <stdexcept>

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

static bool readDigits(std::string_view text, size_t pos, size_t count, int& out) {
  out = 0;
  for (size_t k = 0; k < count; ++k) {
    const char c = text[pos + k];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

double parseUtcInstant(std::string_view text) {
  const auto bad = [&](const std::string& why) {
    return std::invalid_argument("bad start \"" + std::string(text) + "\": " + why +
                                 " (write a UTC time such as \"2026-12-04T20:53:30Z\")");
  };
  // yyyy-mm-ddThh:mm:ssZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    throw bad("not of the form yyyy-mm-ddThh:mm:ssZ");
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) || !readDigits(text, 8, 2, day) ||
      !readDigits(text, 11, 2, hour) || !readDigits(text, 14, 2, minute) || !readDigits(text, 17, 2, second))
    throw bad("expected digits");
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  if (year < 1970 || !date.ok()) throw bad("no such date");
  if (hour > 23 || minute > 59 || second > 59) throw bad("no such time of day");
  const auto days = sys_days{date}.time_since_epoch().count();
  return static_cast<double>(days) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
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
