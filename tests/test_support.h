// What the tests share: a private directory, file helpers, the messages of a
// log, settings files, and one fixture for "a simulated Mac with this
// firmware, this battery and these settings" with the daemon's globals
// pointed at a private data directory. Real processes: processes.h.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "processes.h"
#include "sim/simulated_mac.h"
#include "store/charge_status.h"

// A fresh directory, removed with everything in it by the destructor. On a
// memory file system when there is one ("/dev/shm"), else under $TMPDIR or
// /tmp: the daemon replaces "status.json" by rename every pass, and on ext4 a
// rename over an existing file waits for the new file's data to be flushed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readWholeFile(const std::string& path);  // "" when it cannot be read
void writeWholeFile(const std::string& path, const std::string& bytes);
void appendToFile(const std::string& path, const std::string& bytes);
unsigned fileMode(const std::string& path);  // permission bits of the path itself (lstat), e.g. 0644
bool exists(const std::string& path);        // lstat succeeds

// The messages of a log text: each line with its "[yyyy-MM-dd HH:mm:ss] "
// prefix removed (a line without one is kept whole).
std::vector<std::string> logLines(const std::string& text);
size_t countLines(const std::vector<std::string>& lines, const std::string& prefix);

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
std::string limitConfig(int limit, bool calibration = false, int intervalDays = 30, double lastCalibration = 0.0);

// A machine with this firmware and this battery.
simmac::MachineSpec machineWith(simmac::Firmware firmware, double percent = 80, bool pluggedIn = true);

// Boots machine() and calls initGlobals() on the private data directory `dir`.
// Nothing is opened: bringUp() opens the log and the SMC and probes the
// firmware as start-up does. TearDown closes the log and forgets stop requests,
// scheduled events, the wait hook and injected SMC failures.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual simmac::MachineSpec machine() const { return {}; }

  // Boots `spec` instead (a test that tries several machines) and calls
  // initGlobals() again; an open log stays open.
  void boot(const simmac::MachineSpec& spec);
  // logInit(), openSmc(), detectFirmware(); the exchange record cleared, the log marked.
  void bringUp();
  // smcOpen() must succeed; the exchange record is cleared afterwards.
  void openSmc();
  void writeSettings(const Settings& settings) const;  // into "config.json"
  // The decoded "status.json"; a failed expectation when there is none.
  ChargeStatus publishedStatus() const;

  // The messages of daemon.log (logLines); since markLog() for newLogMessages().
  std::vector<std::string> logMessages() const;
  std::vector<std::string> newLogMessages() const;
  void markLog();

  TempDir dir;

 private:
  size_t logMark_ = 0;
};
