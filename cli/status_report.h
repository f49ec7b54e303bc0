// What `hestle status` reports: the daemon's published state, judged for
// liveness, beside the settings it is working from.
#pragma once

#include <optional>
#include <string>

#include "store/charge_config.h"
#include "store/charge_status.h"

// A running daemon publishes every pass (about every ten seconds); a status
// older than this means it is gone.
inline constexpr double kStaleAfterSeconds = 30.0;
inline constexpr size_t kMaxStatusBytes = 64 * 1024;

enum class DaemonState {
  running,     // fresh status with daemonRunning true
  stopped,     // daemonRunning false: it shut down cleanly
  stale,       // daemonRunning true but older than kStaleAfterSeconds
  missing,     // no status.json
  unreadable,  // status.json exists but cannot be read or decoded
  forged,      // status.json is not the daemon's own file: another user may have written it
};

enum class SettingsSource {
  file,      // config.json as written
  defaults,  // no config.json: hestled runs with the defaults
  unusable,  // config.json malformed or unreadable: hestled uses the defaults
};

struct StatusReport {
  DaemonState daemon = DaemonState::missing;
  std::optional<ChargeStatus> status;  // as published, when it could be decoded
  // How long ago the status was written: now - lastUpdate; never negative.
  // When the daemon's clock runs ahead of this one (a simulated daemon sped
  // up, a clock set wrong), the file's modification time gives the age
  // instead and `clockAheadSeconds` how far ahead it ran.
  double ageSeconds = 0.0;
  double clockAheadSeconds = 0.0;
  ChargeConfig settings;               // what hestled works from
  SettingsSource settingsSource = SettingsSource::defaults;
  std::string settingsError;           // why config.json is unusable
};

// Running only with daemonRunning true and lastUpdate at most
// kStaleAfterSeconds before `now`. A lastUpdate after `now` (another clock, or
// the clock set back) is no sign of death and counts as fresh.
DaemonState judgeDaemon(const ChargeStatus& status, double now);

// The exit status of `hestle status` for each state, so that scripts can tell
// them apart: 0 running, 3 not running (stopped, or never published), 4 stale
// (it stopped publishing: crashed or hung), 1 status.json unusable or forged.
inline constexpr int kExitNotRunning = 3;
inline constexpr int kExitStale = 4;
int statusExitCode(DaemonState state);

// Reads status.json and config.json of `dataDir`. Never fails: what cannot be
// read is reported as such. Only a status file that the data directory's
// owner (the daemon's user: root on a Mac) alone can have written is believed:
// one owned by it, with a single link, writable by nobody else. A status from a clock ahead counts as stale when
// the file is older than kStaleAfterSeconds.
StatusReport gatherStatus(const std::string& dataDir, double now);

// The report for a person: one "Label: value" line each, plain warnings when
// the daemon is not running or the settings are unusable. Local time.
std::string formatStatusText(const StatusReport& report, double now);

// The report as one JSON object and a line feed. Published values are null
// unless the daemon is running.
std::string formatStatusJson(const StatusReport& report);
