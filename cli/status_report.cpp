// Judging and presenting the daemon's published state.
#include "cli/status_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "battery/wear_estimate.h"
#include "state/calibration_phase.h"
#include "cli/config_edit.h"
#include "cli/data_files.h"
#include "cli/printable.h"
#include "store/safe_file.h"

static const char* nameState(DaemonState state) {
  switch (state) {
    case DaemonState::running: return "running";
    case DaemonState::stopped: return "stopped";
    case DaemonState::stale: return "stale";
    case DaemonState::missing: return "missing";
    case DaemonState::unreadable: return "unreadable";
    case DaemonState::forged: return "forged";
  }
  return "unreadable";
}

static const char* nameSource(SettingsSource source) {
  switch (source) {
    case SettingsSource::file: return "file";
    case SettingsSource::defaults: return "defaults";
    case SettingsSource::unusable: return "unusable";
  }
  return "unusable";
}

// "42 s", "5 min", "3 h", "12 days": whole units, rounded down.
static std::string formatAge(double seconds) {
  if (!(seconds > 0)) return "0 s";
  if (seconds < 120) return std::to_string(static_cast<long long>(seconds)) + " s";
  if (seconds < 7200) return std::to_string(static_cast<long long>(seconds / 60)) + " min";
  if (seconds < 172800) return std::to_string(static_cast<long long>(seconds / 3600)) + " h";
  if (seconds > 1e12) return "ages";
  return std::to_string(static_cast<long long>(seconds / 86400)) + " days";
}

static std::string formatLocalTime(double timestamp) {
  if (!std::isfinite(timestamp) || std::fabs(timestamp) > 1e12) return "an unreadable time";
  auto t = static_cast<time_t>(timestamp);
  struct tm local {};
  if (!localtime_r(&t, &local)) return "an unreadable time";
  char text[32];
  if (strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) return "an unreadable time";
  return text;
}

static std::string formatLine(const std::string& label, const std::string& value) {
  std::string text = label + ":";
  if (text.size() < 14) text.resize(14, ' ');
  else text += ' ';
  return text + value + "\n";
}

// " ago)", or "; its clock is 6 min ahead of this one)".
static std::string closeAge(const StatusReport& report) {
  if (report.clockAheadSeconds <= 0) return " ago)";
  return " ago; its clock is " + formatAge(report.clockAheadSeconds) + " ahead of this one)";
}

static std::string describeDaemon(const StatusReport& report) {
  switch (report.daemon) {
    case DaemonState::running:
      return "running (last update " + formatAge(report.ageSeconds) + closeAge(report);
    case DaemonState::stopped:
      return "NOT RUNNING (stopped " + formatAge(report.ageSeconds) + closeAge(report) + "; the charge is not limited";
    case DaemonState::stale:
      return "NOT RUNNING (no update for " + formatAge(report.ageSeconds) +
             "; it may have crashed); the charge is not limited";
    case DaemonState::missing:
      return "NOT RUNNING (it has never published its status; is it installed?)";
    case DaemonState::unreadable:
      return "UNKNOWN (status.json cannot be read or is malformed)";
    case DaemonState::forged:
      return "UNKNOWN (status.json is FORGED: hestled did not write it, as another user owns it or can write it)";
  }
  return "UNKNOWN";
}

// What the daemon does with the charge. The status says only whether charging
// is inhibited; the calibration phase and the charge against the limit say why.
static std::string describeCharging(const ChargeStatus& s, const ChargeConfig& c) {
  if (s.clamshellMode && c.chargeLimitEnabled && s.batteryPercent > c.chargeLimitPercent)
    return "held off: the lid is closed on an external display, so the adapter stays on";
  if (s.calibrationActive) {
    const std::string phase = s.calibrationPhase.value_or("");
    if (phase == rawValue(CalibrationPhase::discharging)) return "held off: calibration draining to 15%";
    if (phase == rawValue(CalibrationPhase::charging)) return "allowed: calibration charging to 100%";
    if (phase == rawValue(CalibrationPhase::holding)) return "allowed: calibration holding at 100%";
    if (phase == rawValue(CalibrationPhase::drainingBack)) return "held off: calibration draining to the limit";
  } else if (s.heldByMacOSAt) {
    return "held by macOS's Charge Limit at " + std::to_string(*s.heldByMacOSAt) + "%";
  } else if (s.limitNotHeld) {
    return "allowed: nothing holds the limit";
  } else if (c.chargeLimitEnabled && s.batteryPercent > c.chargeLimitPercent) {
    return "held off: running on battery above the limit";
  }
  return s.chargingInhibited ? "held off at the limit" : "allowed";
}

// A Mac idling at a desk on the adapter-only hold: about 7 % an hour from its
// battery, the adapter off some 86 % of the day, swinging 4 points below the
// limit and back.
constexpr double kDeskCyclesPerDay = 1.5;

// Why nothing holds the limit and what the owner can do, with what adapter
// cycling would cost at a desk by both ageing models.
static std::string explainLimitNotHeld(int64_t limit) {
  std::vector<WearSample> day;
  const int halfCycles = static_cast<int>(kDeskCyclesPerDay * 100.0 / 4.0 * 2.0);
  for (int i = 0; i <= halfCycles; ++i)
    day.push_back({i * 86400.0 / halfCycles, static_cast<double>(limit) + (i % 2 ? 1.0 : -3.0), 30.0, true});
  const std::string percent = std::to_string(limit) + "%";
  const std::string indent(14, ' ');
  char cycles[16];
  std::snprintf(cycles, sizeof cycles, "%.1f", estimateWear(WearModel::schmalstieg2014, day, 1.0).fullCycles);
  return formatLine("Why", "this Mac's firmware cannot pause charging, and adapter cycling is off") +
         formatLine("You can", "set macOS's Charge Limit at " + std::to_string(macOSChargeLimitFor(limit)) + "% or more (System Settings, Battery),") +
         indent + "which hestled leaves in charge;\n" +
         formatLine("Or", "hestle limit " + std::to_string(limit) + " --cycle, to run the Mac from its battery above " +
                              percent + ":") +
         indent + "about " + cycles + " full cycles a day at a desk, an estimated capacity loss of\n" + indent +
         lossRange(day, 365.0) + " a year,\n" + indent + "against " + lossRange(withoutLimit(day), 365.0) +
         " at 100%\n";
}

// A cycle is due when calibration and the limit are on and the interval has
// passed; the daemon starts it with the adapter connected, which above the
// limit it is not.
static std::string describeIdleCycle(const ChargeStatus& s, const ChargeConfig& c, double now) {
  const double last = c.lastCalibrationTimestamp;
  const bool due = c.calibrationEnabled && c.chargeLimitEnabled &&
                   (last == 0.0 || now - last >= static_cast<double>(c.calibrationIntervalDays) * 86400.0);
  if (!due) return "none in progress";
  if (s.clamshellMode) return "due; waits for the lid to open (closed on an external display)";
  if (s.batteryPercent > c.chargeLimitPercent)
    return "due; starts once the battery is back at the limit (" + std::to_string(c.chargeLimitPercent) + "%)";
  return "due; starts while the adapter is connected";
}

static std::string describeCalibration(const ChargeConfig& settings, double now) {
  if (!settings.calibrationEnabled) return "off";
  std::string text = "every " + std::to_string(settings.calibrationIntervalDays) +
                     (settings.calibrationIntervalDays == 1 ? " day" : " days") + ", last ";
  if (settings.lastCalibrationTimestamp == 0.0) {
    text += "never";
  } else {
    text += formatLocalTime(settings.lastCalibrationTimestamp);
    double age = now - settings.lastCalibrationTimestamp;
    if (age >= 0) text += " (" + formatAge(age) + " ago)";
  }
  if (!settings.chargeLimitEnabled) text += "; no cycle runs while the charge limit is off";
  return text;
}


DaemonState judgeDaemon(const ChargeStatus& status, double now) {
  if (!status.daemonRunning) return DaemonState::stopped;
  if (!std::isfinite(status.lastUpdate)) return DaemonState::stale;
  if (now - status.lastUpdate > kStaleAfterSeconds) return DaemonState::stale;
  return DaemonState::running;
}

int statusExitCode(DaemonState state) {
  switch (state) {
    case DaemonState::running: return 0;
    case DaemonState::stopped:
    case DaemonState::missing: return kExitNotRunning;
    case DaemonState::stale: return kExitStale;
    case DaemonState::unreadable:
    case DaemonState::forged: return 1;
  }
  return 1;
}

StatusReport gatherStatus(const std::string& dataDir, double now) {
  StatusReport report;
  const std::string statusPath = statusFilePath(dataDir);
  struct stat st {};
  const bool statted = lstat(statusPath.c_str(), &st) == 0;
  if (!statted && errno == ENOENT) {
    report.daemon = DaemonState::missing;
  } else {
    std::optional<ChargeStatus> status;
    struct stat directory {};
    FileRefusal refusal = FileRefusal::none;
    const uid_t owner = stat(dataDir.c_str(), &directory) == 0 ? directory.st_uid : 0;
    if (auto bytes = readOwnedFile(statusPath, kMaxStatusBytes, owner, &refusal)) status = decodeChargeStatus(*bytes);
    if (refusal == FileRefusal::untrusted) {
      report.daemon = DaemonState::forged;
    } else if (status) {
      report.status = status;
      report.daemon = judgeDaemon(*status, now);
      report.ageSeconds = now - status->lastUpdate;
      if (report.ageSeconds < -1.0) {  // written by a clock ahead of this one
        report.ageSeconds = statted ? std::max(0.0, now - static_cast<double>(st.st_mtime)) : 0.0;
        report.clockAheadSeconds = status->lastUpdate - (now - report.ageSeconds);
        if (report.daemon == DaemonState::running && report.ageSeconds > kStaleAfterSeconds)
          report.daemon = DaemonState::stale;
      }
      report.ageSeconds = std::max(0.0, report.ageSeconds);
    } else {
      report.daemon = DaemonState::unreadable;
    }
  }

  LoadedConfig loaded = loadConfig(dataDir);
  if (loaded.config) {
    report.settings = *loaded.config;
    report.settingsSource = loaded.fromFile ? SettingsSource::file : SettingsSource::defaults;
  } else {
    report.settings = ChargeConfig{};
    report.settingsSource = SettingsSource::unusable;
    report.settingsError = loaded.error;
  }
  return report;
}

std::string formatStatusText(const StatusReport& report, double now) {
  std::string text = formatLine("hestled", describeDaemon(report));
  const bool running = report.daemon == DaemonState::running && report.status;
  if (running) {
    const ChargeStatus& s = *report.status;
    text += formatLine("Battery", std::to_string(s.batteryPercent) + "%");
    text += formatLine("Charging", describeCharging(s, report.settings));
    if (s.calibrationActive) {
      text += formatLine("Cycle", printableText(s.calibrationPhase.value_or("in progress"), false) +
                                      (s.clamshellMode && s.calibrationPhase != rawValue(CalibrationPhase::charging)
                                           ? " (waits for the lid to open)" : ""));
    } else {
      text += formatLine("Cycle", describeIdleCycle(s, report.settings, now));
    }
    if (s.limitNotHeld && !s.calibrationActive) text += explainLimitNotHeld(report.settings.chargeLimitPercent);
  } else {
    text += formatLine("Battery", "unknown (hestled is not running)");
    if (report.daemon == DaemonState::stale && report.status && report.status->chargingInhibited) {
      text += formatLine("Warning",
                   "hestled stopped without its clean shutdown while holding charging off; "
                   "charging may still be inhibited");
    }
  }

  const ChargeConfig& c = report.settings;
  if (report.settingsSource == SettingsSource::unusable) {
    text += formatLine("Warning", printableText(report.settingsError, false));
  }
  text += formatLine("Charge limit", c.chargeLimitEnabled ? std::to_string(c.chargeLimitPercent) + "%"
                                                    : std::string("off (charges to 100%)"));
  text += formatLine("Calibration", describeCalibration(c, now));
  return text;
}

std::string formatStatusJson(const StatusReport& report) {
  using nlohmann::ordered_json;
  const bool running = report.daemon == DaemonState::running && report.status;
  ordered_json j;
  j["daemon"] = nameState(report.daemon);
  j["daemonAlive"] = running;
  j["statusAgeSeconds"] = report.status ? ordered_json(report.ageSeconds) : ordered_json(nullptr);
  j["daemonClockAheadSeconds"] = report.status ? ordered_json(report.clockAheadSeconds) : ordered_json(nullptr);
  if (running) {
    const ChargeStatus& s = *report.status;
    j["batteryPercent"] = s.batteryPercent;
    j["chargingInhibited"] = s.chargingInhibited;
    j["calibrationActive"] = s.calibrationActive;
    j["calibrationPhase"] = s.calibrationActive && s.calibrationPhase ? ordered_json(*s.calibrationPhase)
                                                                      : ordered_json(nullptr);
  } else {
    j["batteryPercent"] = nullptr;
    j["chargingInhibited"] = nullptr;
    j["calibrationActive"] = nullptr;
    j["calibrationPhase"] = nullptr;
  }
  const ChargeConfig& c = report.settings;
  j["chargeLimitEnabled"] = c.chargeLimitEnabled;
  j["chargeLimitPercent"] = c.chargeLimitPercent;
  j["calibrationEnabled"] = c.calibrationEnabled;
  j["calibrationIntervalDays"] = c.calibrationIntervalDays;
  j["lastCalibrationTimestamp"] = c.lastCalibrationTimestamp;
  j["settings"] = nameSource(report.settingsSource);
  j["settingsError"] = report.settingsError.empty() ? ordered_json(nullptr) : ordered_json(report.settingsError);
  j["adapterCycling"] = c.adapterCycling;
  j["heldByMacOSAt"] = running && report.status->heldByMacOSAt ? ordered_json(*report.status->heldByMacOSAt)
                                                                 : ordered_json(nullptr);
  j["limitNotHeld"] = running ? ordered_json(report.status->limitNotHeld) : ordered_json(nullptr);
  // ASCII only: every character beyond it, C1 controls included, as \uXXXX;
  // DEL, which the serialiser leaves raw, too (it occurs only inside strings).
  std::string text = j.dump(-1, ' ', true, ordered_json::error_handler_t::replace);
  for (size_t at = text.find('\x7f'); at != std::string::npos; at = text.find('\x7f', at))
    text.replace(at, 1, "\\u007f");
  return text + "\n";
}
