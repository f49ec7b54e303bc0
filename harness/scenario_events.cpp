// Scenario events applied to the simulated Mac and to the data directory.
#include "harness/scenario_events.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/time_string.h"
#include "util/posix_io.h"


void placeScenarioConfig(const std::string& dataDir, const std::optional<std::string>& bytes) {
  const std::string path = dataDir + "/config.json";
  if (!bytes) {
    unlink(path.c_str());
    return;
  }
  // A fresh file each time, as a front end that replaces the whole file does.
  const std::string temporary = path + ".scenario";
  const int fd = openRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return;
  const bool written = writeAll(fd, *bytes);
  fchmod(fd, 0666);
  close(fd);
  if (written) rename(temporary.c_str(), path.c_str());
  else unlink(temporary.c_str());
}

void applyScenarioEvent(const ScenarioEvent& event, const std::string& dataDir) {
  if (event.batteryService) simmac::setBatteryService(*event.batteryService);
  if (event.plug) simmac::setPluggedIn(*event.plug);
  if (event.percent) simmac::setBatteryPercent(*event.percent);
  if (event.setsConfig) placeScenarioConfig(dataDir, event.config);
  if (event.clock) simmac::jumpWallClock(*event.clock);
  if (event.sleep) simmac::closeLid(*event.sleep, event.darkWakeEvery);
  if (event.clamshell) simmac::setClamshell(*event.clamshell);
  for (const auto& key : event.refuse) simmac::rejectSmcKey(key, false, true);
  for (const auto& key : event.accept) simmac::rejectSmcKey(key, false, false);
  if (event.signal) raise(*event.signal);
}

static std::string percentText(double percent) {
  char buf[32];
  std::snprintf(buf, sizeof buf, percent == std::floor(percent) ? "%.0f%%" : "%.1f%%", percent);
  return buf;
}

std::string describeScenarioEvent(const ScenarioEvent& event) {
  std::string out;
  const auto add = [&](const std::string& words) { out += (out.empty() ? "" : ", ") + words; };
  if (event.batteryService) add(*event.batteryService ? "battery back" : "battery gone");
  if (event.plug) add(*event.plug ? "plug" : "unplug");
  if (event.percent) add(percentText(*event.percent));
  if (event.setsConfig) add(event.config ? "config" : "no config");
  if (event.clock) add(std::string("clock ") + (*event.clock < 0 ? "-" : "+") + formatDuration(std::fabs(*event.clock)));
  if (event.sleep) add("sleep " + formatDuration(*event.sleep));
  if (event.clamshell) add(*event.clamshell ? "clamshell" : "lid open");
  if (!event.refuse.empty()) add("refuse " + event.refuse.front());
  if (!event.accept.empty()) add("accept " + event.accept.front());
  if (event.restart) add("restart");
  if (event.signal) add(*event.signal == SIGINT ? "SIGINT" : "SIGTERM");
  return out;
}
