// The commands of hestle over the daemon's files.
#include "cli/commands.h"

#include <chrono>
#include <thread>

#include "cli/arguments.h"
#include "cli/config_edit.h"
#include "cli/data_files.h"
#include "cli/log_tail.h"
#include "cli/printable.h"
#include "cli/status_report.h"
#include "util/system_clock.h"

constexpr auto kFollowInterval = std::chrono::milliseconds(250);

static int fail(std::ostream& err, const std::string& message) {
  err << "hestle: " << message << "\n";
  return 1;
}

// Loads, changes and saves the settings; prints what changed and whether
// hestled is there to act on it.
template <typename Change>
static int changeSettings(const Invocation& inv, std::ostream& out, std::ostream& err, Change change) {
  std::string message;
  bool lockNote = false;
  std::string error = updateConfig(inv.dataDir, [&](ChargeConfig& config) { message = change(config); }, lockNote);
  if (lockNote) err << "hestle: note: another process holds the settings lock; changed without it.\n";
  if (!error.empty()) return fail(err, error);
  out << message;
  StatusReport report = gatherStatus(inv.dataDir, systemWallSeconds());
  if (report.daemon == DaemonState::running) {
    out << "hestled applies it within about ten seconds.\n";
  } else {
    err << "hestle: note: hestled is not running; the setting takes effect when it starts.\n";
  }
  return 0;
}

static std::string noteLimitOff(const ChargeConfig& config) {
  if (config.chargeLimitEnabled) return "";
  return "Note: a calibration cycle runs only while the charge limit is on (hestle limit PERCENT).\n";
}

static int runLimit(const Invocation& inv, std::ostream& out, std::ostream& err) {
  return changeSettings(inv, out, err, [&](ChargeConfig& config) {
    if (!inv.limitPercent) {
      config.chargeLimitEnabled = false;
      std::string text = "Charge limit off: the battery charges to 100%.\n";
      if (config.calibrationEnabled) text += "Note: no calibration cycle runs while the charge limit is off.\n";
      return text;
    }
    config.chargeLimitEnabled = true;
    config.chargeLimitPercent = *inv.limitPercent;
    std::string text = "Charge limit set to " + std::to_string(config.chargeLimitPercent) + "%.\n";
    if (inv.adapterCycling) config.adapterCycling = *inv.adapterCycling;
    if (inv.adapterCycling == true)
      text += "Adapter cycling on: where the firmware cannot pause charging, the Mac runs from its battery "
              "above the limit.\n";
    if (inv.adapterCycling == false)
      text += "Adapter cycling off: where the firmware cannot pause charging, the adapter stays on while the "
              "Mac is awake.\n";
    return text;
  });
}

// When a due cycle starts: the daemon starts it with the adapter connected,
// and above the limit it keeps the adapter off until the charge is back there.
static std::string whenCycleStarts(const std::string& dataDir, const ChargeConfig& config) {
  const StatusReport report = gatherStatus(dataDir, systemWallSeconds());
  const bool running = report.daemon == DaemonState::running && report.status;
  if (running && !report.status->calibrationActive && config.chargeLimitEnabled &&
      report.status->batteryPercent > config.chargeLimitPercent) {
    return "it starts once the battery is back at the limit (" + std::to_string(config.chargeLimitPercent) +
           "%), where hestled connects the adapter again";
  }
  return "it starts while the adapter is connected";
}

static int runCalibrate(const Invocation& inv, std::ostream& out, std::ostream& err) {
  return changeSettings(inv, out, err, [&](ChargeConfig& config) {
    switch (inv.calibrateAction) {
      case CalibrateAction::off:
        config.calibrationEnabled = false;
        return std::string("Calibration off.\n");
      case CalibrateAction::on: {
        config.calibrationEnabled = true;
        if (inv.intervalDays) config.calibrationIntervalDays = *inv.intervalDays;
        int64_t days = config.calibrationIntervalDays;
        return "Calibration on: a cycle every " + std::to_string(days) + (days == 1 ? " day" : " days") +
               ".\n" + noteLimitOff(config);
      }
      case CalibrateAction::now:
        config.calibrationEnabled = true;
        config.lastCalibrationTimestamp = 0.0;
        return "A calibration cycle is due now; " + whenCycleStarts(inv.dataDir, config) + ".\n" +
               noteLimitOff(config);
    }
    return std::string();
  });
}

static int runStatus(const Invocation& inv, std::ostream& out) {
  double now = systemWallSeconds();
  StatusReport report = gatherStatus(inv.dataDir, now);
  out << (inv.json ? formatStatusJson(report) : formatStatusText(report, now));
  return out ? statusExitCode(report.daemon) : 1;
}

static int runLog(const Invocation& inv, std::ostream& out, std::ostream& err) {
  const std::string path = logFilePath(inv.dataDir);
  std::string error;
  auto log = openLog(path, error);
  if (!log) return fail(err, error);
  out << printableText(lastLines(*log, inv.logLines)) << std::flush;
  std::string pending;  // the start of a character whose other bytes are still to come
  while (inv.follow && out) {
    std::this_thread::sleep_for(kFollowInterval);
    std::string more = pending + readAppended(*log, path);
    pending = more.substr(more.size() - incompleteUtf8Tail(more));
    more.resize(more.size() - pending.size());
    if (!more.empty()) out << printableText(more) << std::flush;
  }
  closeLog(*log);
  return out ? 0 : 1;
}


int runHestle(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ParsedArguments parsed = parseArguments(args);
  if (!parsed.invocation) {
    std::string help = parsed.helpTopic.empty() ? "hestle --help" : "hestle " + parsed.helpTopic + " --help";
    err << "hestle: " << parsed.error << "\n"
        << "Try '" << help << "'.\n";
    return 2;
  }
  const Invocation& inv = *parsed.invocation;
  switch (inv.command) {
    case Command::help:
      out << helpText(inv.helpTopic);
      return 0;
    case Command::version:
      out << "hestle " HESTLE_VERSION "\n";
      return 0;
    case Command::status:
      return runStatus(inv, out);
    case Command::limit:
      return runLimit(inv, out, err);
    case Command::calibrate:
      return runCalibrate(inv, out, err);
    case Command::log:
      return runLog(inv, out, err);
  }
  return 2;
}
