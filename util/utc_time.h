// UTC instants as the simulation's files write them: "2026-12-04T20:53:30Z".
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Seconds since 1970 of "yyyy-mm-ddThh:mm:ssZ" or "yyyy-mm-ddThh:mm:ss.fffZ"
// (RFC 3339 in UTC): a real calendar date from 1970 on, hours 00 to 23,
// minutes and seconds 00 to 59 (no leap second: the clocks here have none),
// and an optional fraction of one or more digits. None for anything else,
// with what is wrong in `why` when it is given.
std::optional<double> parseUtcTime(std::string_view text, std::string* why = nullptr);
