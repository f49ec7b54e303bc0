// The command line of hestle: what the user asked for, checked before anything
// is read or written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Where hestled keeps its files on a Mac; `--data-dir DIR` overrides it.
inline constexpr const char* kDefaultDataDir = "/Library/Application Support/Hestle";

// Values refused because they would hurt the Mac or make no sense to hestled.
inline constexpr int64_t kMinLimitPercent = 20;
inline constexpr int64_t kMaxLimitPercent = 100;
inline constexpr int64_t kMinIntervalDays = 1;
inline constexpr int64_t kMaxIntervalDays = 3650;
inline constexpr int64_t kDefaultLogLines = 20;
inline constexpr int64_t kMaxLogLines = 1000000;

enum class Command { help, version, status, limit, calibrate, log };
enum class CalibrateAction { on, off, now };

struct Invocation {
  Command command = Command::help;
  std::string dataDir = kDefaultDataDir;
  // help: the command whose help is wanted ("" for the overview).
  std::string helpTopic;
  // status
  bool json = false;
  // limit: the percent, or none for "limit off"; --cycle true, --no-cycle false
  std::optional<int64_t> limitPercent;
  std::optional<bool> adapterCycling;
  // calibrate
  CalibrateAction calibrateAction = CalibrateAction::on;
  std::optional<int64_t> intervalDays;
  // log
  int64_t logLines = kDefaultLogLines;
  bool follow = false;
};

// Either an invocation or the reason the command line is unusable (a usage
// error: exit status 2). `--help` anywhere in a command's arguments yields
// Command::help with that command as the topic.
struct ParsedArguments {
  std::optional<Invocation> invocation;
  std::string error;
  std::string helpTopic;  // with an error: the help that explains the command
};

// `args` excludes the program name.
ParsedArguments parseArguments(const std::vector<std::string>& args);

// The help text of a command ("" for the overview), ending in a line feed;
// empty for an unknown topic.
std::string helpText(const std::string& topic);
