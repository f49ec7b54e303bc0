// Shared fixtures: a private data directory, a freshly booted simulated Mac
// and the daemon's globals pointed at both.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/simulated_mac.h"

// A fresh directory under $TMPDIR (or /tmp), removed by the destructor.
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

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& bytes);
unsigned fileMode(const std::string& path);  // permission bits, e.g. 0644

// Boots machine() and calls initGlobals() on a private data directory. The log
// is not opened (a test that wants it calls logInit()); the SMC is not opened
// (call openSmc()). Closes a log opened by the test in TearDown.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual simmac::MachineSpec machine() const { return {}; }

  // smcOpen() must succeed; the exchange record is cleared afterwards.
  void openSmc();
  // The messages of daemon.log, timestamps stripped ("[...] " removed).
  std::vector<std::string> logMessages() const;
  // Same, only the lines logged since the last call of markLog().
  std::vector<std::string> newLogMessages() const;
  void markLog();

  TempDir dir;

 private:
  size_t logMark_ = 0;
};
