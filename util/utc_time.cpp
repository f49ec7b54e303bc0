// UTC instants as the simulation's files write them.
#include "util/utc_time.h"

#include <chrono>

static bool readDigits(std::string_view text, size_t pos, size_t count, int& out) {
  out = 0;
  for (size_t k = 0; k < count; ++k) {
    const char c = text[pos + k];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

std::optional<double> parseUtcTime(std::string_view text, std::string* why) {
  const auto refuse = [&](const char* reason) -> std::optional<double> {
    if (why) *why = reason;
    return std::nullopt;
  };
  // yyyy-mm-ddThh:mm:ss, then an optional .fraction, then Z
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text.back() != 'Z')
    return refuse("not of the form yyyy-mm-ddThh:mm:ssZ");
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) || !readDigits(text, 8, 2, day) ||
      !readDigits(text, 11, 2, hour) || !readDigits(text, 14, 2, minute) || !readDigits(text, 17, 2, second))
    return refuse("expected digits");
  double fraction = 0.0;
  const std::string_view rest = text.substr(19, text.size() - 20);  // between the seconds and the Z
  if (!rest.empty()) {
    if (rest.size() < 2 || rest[0] != '.') return refuse("not of the form yyyy-mm-ddThh:mm:ssZ");
    double scale = 0.1;
    for (const char c : rest.substr(1)) {
      if (c < '0' || c > '9') return refuse("expected digits");
      fraction += (c - '0') * scale;
      scale /= 10;
    }
  }
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  if (year < 1970 || !date.ok()) return refuse("no such date");
  if (hour > 23 || minute > 59 || second > 59) return refuse("no such time of day");
  const auto days = sys_days{date}.time_since_epoch().count();
  return static_cast<double>(days) * 86400.0 + hour * 3600.0 + minute * 60.0 + second + fraction;
}
