// What the tests share: a private directory, file helpers, the messages of a
// log, settings files, and one fixture for "a simulated Mac with this
// firmware, this battery and these settings" with the daemon's globals
// pointed at a private data directory. Real processes: processes.h.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "processes.h"
#include "sim/simulated_mac.h"
#include "store/charge_status.h"

// A fresh directory, removed with everything in it by the destructor. On a
// memory file system when there is one ("/dev/shm"), else under $TMPDIR or
// /tmp: the daemon replaces "status.json" by rename every pass, and on ext4 a
// rename over an existing file waits for the new file's data to be flushed.
class TempDir {
  const std::string path_;

 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;  // one owner removes it
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
};

// The bytes of the file; "" when it cannot be read (a directory included).
inline std::string readWholeFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}
inline void writeWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
inline void appendToFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}
// The permission bits of the path itself (lstat), e.g. 0644; 0 when there is nothing.
inline unsigned fileMode(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}
inline bool exists(const std::string& path) {  // lstat succeeds
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The messages of a log text: each line with its "[yyyy-MM-dd HH:mm:ss] "
// prefix removed (a line without one is kept whole).
std::vector<std::string> logLines(const std::string& text);
inline size_t countLines(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

// A settings file ("config.json") in the daemon's form.
struct Settings {
  bool limitEnabled = true;
  long limit = 80;
  bool calibration = false;
  long intervalDays = 30;
  double lastCalibration = 0;
};
std::string settingsJson(const Settings& settings);
// Same, the limit on at `limit` percent.
inline std::string limitConfig(int limit, bool calibration = false, int intervalDays = 30, double lastCalibration = 0) {
  return settingsJson({true, limit, calibration, intervalDays, lastCalibration});
}

// A machine with this firmware and this battery.
simmac::MachineSpec machineWith(simmac::Firmware firmware, double percent = 80, bool pluggedIn = true);

// Boots machine() and calls initGlobals() on the private data directory `dir`.
// Nothing is opened: bringUp() opens the log and the SMC and probes the
// firmware as start-up does. TearDown closes the log and forgets stop requests,
// scheduled events, the wait hook and injected SMC failures.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { boot(machine()); }
  void TearDown() override;
  virtual simmac::MachineSpec machine() const { return {}; }

  // Boots `spec` instead (a test that tries several machines) and calls
  // initGlobals() again; an open log stays open.
  void boot(const simmac::MachineSpec& spec);
  // logInit(), openSmc(), detectFirmware(); the exchange record cleared, the log marked.
  void bringUp();
  // smcOpen() must succeed; the exchange record is cleared afterwards.
  void openSmc();
  void writeSettings(const Settings& settings) const { writeWholeFile(configPath, settingsJson(settings)); }
  // The decoded "status.json"; a failed expectation when there is none.
  ChargeStatus publishedStatus() const;

  // The messages of daemon.log (logLines); since markLog() for newLogMessages().
  std::vector<std::string> logMessages() const { return logLines(readWholeFile(logPath)); }
  std::vector<std::string> newLogMessages() const {
    const auto all = logMessages();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(logMark_, all.size())), all.end()};
  }
  void markLog() { logMark_ = logMessages().size(); }

  TempDir dir;

 private:
  size_t logMark_ = 0;
};
