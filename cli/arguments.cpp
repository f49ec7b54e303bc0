// Parsing and checking hestle's command line; the help texts.
#include "cli/arguments.h"

#include <algorithm>
#include <array>
#include <charconv>

// The help texts, by command.
namespace {
struct Topic {
  const char* name;
  const char* text;
};

const std::array<Topic, 5> kTopics{{
    {"",
     "Usage: hestle [--data-dir DIR] COMMAND [ARGUMENTS]\n"
     "\n"
     "Sets hestled's charge limit and calibration, and shows what it is doing.\n"
     "\n"
     "Commands:\n"
     "  status [--json]                 what the daemon and the battery are doing\n"
     "  limit PERCENT [--cycle] | off   hold the battery at PERCENT (20 to 100), or stop\n"
     "  calibrate on [--every DAYS]     run a calibration cycle every DAYS days\n"
     "  calibrate off | now             stop calibrating, or make a cycle due now\n"
     "  log [-n N] [-f]                 the last N lines of the daemon's log\n"
     "  help [COMMAND]                  this text, or a command's\n"
     "\n"
     "Options:\n"
     "  --data-dir DIR   the daemon's data directory\n"
     "                   (default: /Library/Application Support/Hestle)\n"
     "  --help           help; also after any command\n"
     "  --version        hestle's version\n"
     "  --               ends the options: what follows is an argument (limit -- 80)\n"
     "\n"
     "Exit status: 0 success, 1 failure, 2 unusable command line;\n"
     "hestle status also 3 when hestled is not running, 4 when its status is stale.\n"},
    {"status",
     "Usage: hestle status [--json]\n"
     "\n"
     "Shows whether hestled is running, the battery's charge, whether charging\n"
     "is held off, the calibration cycle's phase, and the settings. The daemon\n"
     "counts as running when its status.json is at most 30 seconds old and it\n"
     "has not announced its shutdown.\n"
     "\n"
     "  --json   one JSON object instead of text\n"
     "\n"
     "Exit status: 0 hestled is running, 3 it is not running (it shut down, or\n"
     "never started), 4 its status is stale (it stopped publishing: crashed or\n"
     "hung), 1 status.json cannot be read, 2 unusable command line.\n"},
    {"limit",
     "Usage: hestle limit PERCENT [--cycle | --no-cycle]\n"
     "       hestle limit off\n"
     "\n"
     "Holds the battery at PERCENT (a whole number from 20 to 100): hestled stops\n"
     "charging there and resumes once the charge is more than 2 points below it;\n"
     "above it, the Mac runs from its battery down to PERCENT. \"off\" lets the\n"
     "battery charge to full and keeps the percent for later.\n"
     "\n"
     "On firmware that cannot pause charging, hestled can hold the limit only by\n"
     "switching the adapter off: the Mac then runs from its battery most of the\n"
     "day, about 1.5 full cycles a day at a desk, which by the best-sourced\n"
     "ageing model wears the battery faster than sitting at 100%. So there it\n"
     "leaves the adapter on while the Mac is awake unless asked (macOS's own\n"
     "Charge Limit, set at PERCENT or the next step above, can hold it instead;\n"
     "hestle status shows the estimates).\n"
     "\n"
     "  --cycle      hold the limit there with the adapter all the same\n"
     "  --no-cycle   leave the adapter on while awake (the default)\n"
     "\n"
     "hestled applies a change within about ten seconds.\n"},
    {"calibrate",
     "Usage: hestle calibrate on [--every DAYS]\n"
     "       hestle calibrate off\n"
     "       hestle calibrate now\n"
     "\n"
     "A calibration cycle drains the battery to 15% with the adapter off,\n"
     "charges it to 100%, holds it there for two hours and drains it back to\n"
     "the limit. It runs only while the charge limit is on and the adapter is\n"
     "connected; above the limit hestled keeps the adapter off, so a due cycle\n"
     "starts once the battery is back at the limit.\n"
     "\n"
     "  on      run a cycle every DAYS days (1 to 3650; kept if not given)\n"
     "  off     run no cycles; a cycle in progress is cancelled\n"
     "  now     make a cycle due now (turns calibration on if needed)\n"},
    {"log",
     "Usage: hestle log [-n N] [-f]\n"
     "\n"
     "Prints the last lines of the daemon's log, daemon.log.\n"
     "\n"
     "  -n, --lines N   how many lines (default 20)\n"
     "  -f, --follow    keep printing lines as they are written (Ctrl-C ends)\n"},
}};
}  // namespace

static bool isHelpOption(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// A whole decimal number, optionally signed; a trailing "%" when `percent`.
static std::optional<int64_t> parseWholeNumber(std::string text, bool percent) {
  if (percent && !text.empty() && text.back() == '%') text.pop_back();
  if (text.empty() || text.size() > 18) return std::nullopt;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (*first == '+') ++first;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last) return std::nullopt;
  return value;
}

static std::string quote(const std::string& text) { return "\"" + text + "\""; }

// `rest` holds a command's arguments; those from `operandsFrom` on came after
// "--" and are never options.
static bool isOption(const std::vector<std::string>& rest, size_t i, size_t operandsFrom) {
  return i < operandsFrom && !rest[i].empty() && rest[i][0] == '-';
}

static std::string parseStatus(const std::vector<std::string>& rest, size_t operandsFrom, Invocation& inv) {
  for (size_t i = 0; i < rest.size(); ++i) {
    const std::string& arg = rest[i];
    if (!isOption(rest, i, operandsFrom)) return "status: unexpected argument " + quote(arg);
    if (arg != "--json") return "status: unknown option " + quote(arg);
    inv.json = true;
  }
  return "";
}

static std::string parseLimit(std::vector<std::string> rest, size_t operandsFrom, Invocation& inv) {
  for (size_t i = 0; i < rest.size();) {
    if (!isOption(rest, i, operandsFrom) || (rest[i] != "--cycle" && rest[i] != "--no-cycle")) {
      ++i;
      continue;
    }
    inv.adapterCycling = rest[i] == "--cycle";
    rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
    if (i < operandsFrom) --operandsFrom;
  }
  if (rest.empty()) return "limit: expected a percent from 20 to 100, or \"off\"";
  if (rest.size() > 1) return "limit: unexpected argument " + quote(rest[1]);
  if (rest[0] == "off") {
    if (inv.adapterCycling) return "limit: --cycle and --no-cycle go with a percent, not with \"off\"";
    inv.limitPercent = std::nullopt;
    return "";
  }
  auto percent = parseWholeNumber(rest[0], true);
  if (!percent) {
    return "limit: " + quote(rest[0]) + " is not a percent; expected a whole number from 20 to 100, or \"off\"";
  }
  if (*percent < kMinLimitPercent) {
    return "limit: refusing a charge limit of " + std::to_string(*percent) +
           "%: below 20% the battery would be kept nearly empty; choose 20 to 100";
  }
  if (*percent > kMaxLimitPercent) {
    return "limit: refusing a charge limit of " + std::to_string(*percent) +
           "%: a battery cannot charge beyond 100%; choose 20 to 100";
  }
  inv.limitPercent = percent;
  return "";
}

static std::string parseCalibrate(const std::vector<std::string>& rest, size_t operandsFrom, Invocation& inv) {
  if (rest.empty()) return "calibrate: expected \"on\", \"off\" or \"now\"";
  const std::string& action = rest[0];
  if (action == "on") inv.calibrateAction = CalibrateAction::on;
  else if (action == "off") inv.calibrateAction = CalibrateAction::off;
  else if (action == "now") inv.calibrateAction = CalibrateAction::now;
  else return "calibrate: " + quote(action) + " is not \"on\", \"off\" or \"now\"";
  for (size_t i = 1; i < rest.size(); ++i) {
    const std::string& arg = rest[i];
    if (!isOption(rest, i, operandsFrom)) return "calibrate: unexpected argument " + quote(arg);
    if (arg != "--every") return "calibrate: unknown option " + quote(arg);
    if (inv.calibrateAction != CalibrateAction::on) {
      return "calibrate: --every goes with \"calibrate on\"";
    }
    if (i + 1 >= rest.size()) return "calibrate: --every needs a number of days";
    const std::string& value = rest[++i];
    auto days = parseWholeNumber(value, false);
    if (!days) return "calibrate: " + quote(value) + " is not a whole number of days";
    if (*days < kMinIntervalDays || *days > kMaxIntervalDays) {
      return "calibrate: refusing a calibration interval of " + std::to_string(*days) +
             " days: choose 1 to 3650 days (a cycle drains and fully charges the battery)";
    }
    inv.intervalDays = days;
  }
  return "";
}

static std::string parseLog(const std::vector<std::string>& rest, size_t operandsFrom, Invocation& inv) {
  for (size_t i = 0; i < rest.size(); ++i) {
    const std::string& arg = rest[i];
    if (!isOption(rest, i, operandsFrom)) {
      return "log: unexpected argument " + quote(arg);
    } else if (arg == "-f" || arg == "--follow") {
      inv.follow = true;
    } else if (arg == "-n" || arg == "--lines") {
      if (i + 1 >= rest.size()) return "log: " + arg + " needs a number of lines";
      const std::string& value = rest[++i];
      auto lines = parseWholeNumber(value, false);
      if (!lines || *lines < 0 || *lines > kMaxLogLines) {
        return "log: " + quote(value) + " is not a number of lines from 0 to 1000000";
      }
      inv.logLines = *lines;
    } else {
      return "log: unknown option " + quote(arg);
    }
  }
  return "";
}

static ParsedArguments refuseUsage(std::string message) { return {std::nullopt, std::move(message), ""}; }


ParsedArguments parseArguments(const std::vector<std::string>& args) {
  Invocation inv;
  std::vector<std::string> rest;
  size_t operandsFrom = args.size();  // in `rest`: where the arguments after "--" begin
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (operandsFrom < args.size()) {
      rest.push_back(arg);
      continue;
    }
    if (arg == "--") {
      operandsFrom = rest.size();
    } else if (arg == "--data-dir") {
      if (i + 1 >= args.size()) return refuseUsage("--data-dir needs a directory");
      inv.dataDir = args[++i];
    } else if (arg.rfind("--data-dir=", 0) == 0) {
      inv.dataDir = arg.substr(11);
    } else {
      rest.push_back(arg);
      continue;
    }
    if (inv.dataDir.empty()) return refuseUsage("--data-dir needs a directory");
  }
  if (args.empty()) return {inv, "", ""};  // a bare "hestle": the overview
  if (rest.empty()) return refuseUsage("no command given");

  const std::string name = rest[0];
  rest.erase(rest.begin());
  const bool nameIsOperand = operandsFrom == 0;  // "hestle -- NAME ..."
  if (!nameIsOperand) --operandsFrom;
  if (name == "help" || (!nameIsOperand && isHelpOption(name))) {
    inv.command = Command::help;
    // "help --help" and "help status --help" are help too.
    for (size_t i = 0; i < std::min(rest.size(), operandsFrom); ++i) {
      if (isHelpOption(rest[i])) {
        rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
        --operandsFrom;
        break;
      }
    }
    if (!rest.empty()) {
      if (rest.size() > 1) return refuseUsage("help: unexpected argument " + quote(rest[1]));
      if (helpText(rest[0]).empty() || rest[0].empty()) {
        return refuseUsage("help: no command " + quote(rest[0]));
      }
      inv.helpTopic = rest[0];
    }
    return {inv, "", ""};
  }
  if (name == "--version" && !nameIsOperand) {
    if (!rest.empty()) return refuseUsage("--version: unexpected argument " + quote(rest[0]));
    inv.command = Command::version;
    return {inv, "", ""};
  }
  if (helpText(name).empty() || name.empty()) return refuseUsage("unknown command " + quote(name));
  for (size_t i = 0; i < std::min(rest.size(), operandsFrom); ++i) {
    if (isHelpOption(rest[i])) {
      inv.command = Command::help;
      inv.helpTopic = name;
      return {inv, "", ""};
    }
  }

  std::string error;
  if (name == "status") {
    inv.command = Command::status;
    error = parseStatus(rest, operandsFrom, inv);
  } else if (name == "limit") {
    inv.command = Command::limit;
    error = parseLimit(rest, operandsFrom, inv);
  } else if (name == "calibrate") {
    inv.command = Command::calibrate;
    error = parseCalibrate(rest, operandsFrom, inv);
  } else {
    inv.command = Command::log;
    error = parseLog(rest, operandsFrom, inv);
  }
  if (!error.empty()) return {std::nullopt, error, name};
  return {inv, "", ""};
}

std::string helpText(const std::string& topic) {
  for (const auto& t : kTopics) {
    if (topic == t.name) return t.text;
  }
  return "";
}
