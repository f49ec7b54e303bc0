// Times in a scenario file: durations such as "90s" or "1h30m" and the UTC start instant.
#pragma once

#include <string>
#include <string_view>

// A duration made of one or more number-unit pairs, units d, h, m, s in that
// order and each at most once: "90s", "15m", "1h30m", "2d", "1d12h". Numbers
// are whole. Returns seconds; throws std::invalid_argument with a message that
// quotes the text and shows the accepted form.
double parseDuration(std::string_view text);

// "2026-12-04T20:53:30Z" or "2026-12-04T20:53:30.25Z": a UTC instant, read as
// util/utc_time.h reads it. Returns seconds since 1970; throws
// std::invalid_argument on any other form or an impossible date.
double parseUtcInstant(std::string_view text);

// Seconds as the shortest duration text, rounded to the second: 5400 -> "1h30m",
// 0 -> "0s", 90061 -> "1d1h1m1s"; a negative value gets a leading "-".
std::string formatDuration(double seconds);
