// A front end polling "status.json" and "config.json" while the daemon
// rewrites them thousands of times never sees a partial or invalid file, nor
// a moment where one of them is missing.
#include <fcntl.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/control_loop.h"
#include "daemon/globals.h"
#include "store/charge_config.h"
#include "store/charge_status.h"
#include "test_support.h"

namespace {

constexpr int kWrites = 5000;

// The whole file in one go, as a front end reads it; none when it is missing.
std::optional<std::string> readFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  close(fd);
  return bytes;
}

struct ReaderReport {
  long reads = 0;
  long bad = 0;
  long distinctStatuses = 0;
  long distinctConfigs = 0;
  char firstBad[256] = "";
};

// Polls both files until `stopFile` appears; reports through `reportPath`.
[[noreturn]] void runReader(const std::string& statusFile, const std::string& configFile,
                            const std::string& stopFile, const std::string& reportPath) {
  ReaderReport report;
  std::set<double> statuses, configs;
  const auto bad = [&](const std::string& what) {
    if (report.bad++ == 0) snprintf(report.firstBad, sizeof report.firstBad, "%s", what.c_str());
  };
  while (access(stopFile.c_str(), F_OK) != 0) {
    const auto status = readFile(statusFile);
    const auto config = readFile(configFile);
    report.reads += 2;
    if (!status) bad("status.json missing");
    else if (auto s = decodeChargeStatus(*status)) statuses.insert(s->lastUpdate);
    else bad("status.json invalid: " + *status);
    if (!config) bad("config.json missing");
    else if (auto c = decodeChargeConfig(*config)) configs.insert(c->lastCalibrationTimestamp);
    else bad("config.json invalid: " + *config);
  }
  report.distinctStatuses = static_cast<long>(statuses.size());
  report.distinctConfigs = static_cast<long>(configs.size());
  const int fd = open(reportPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t n = write(fd, &report, sizeof report);
    close(fd);
  }
  _exit(0);
}

class FileConsistencyTest : public DaemonTest {
 protected:
  simmac::MachineSpec machine() const override {
    simmac::MachineSpec spec;
    spec.battery->percent = 85;
    return spec;
  }
};

TEST_F(FileConsistencyTest, AReaderNeverSeesAPartialFile) {
  TempDir scratch;
  initGlobals(scratch.path());
  openSmc();
  ChargeConfig config{true, 80, false, 30, 0.0};
  writeConfig(config);
  runControlLoopPass();  // both files exist before the reader starts
  const std::string stopFile = scratch.file("stop"), reportPath = scratch.file("report");
  const pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) runReader(statusPath, configPath, stopFile, reportPath);

  for (int i = 0; i < kWrites; ++i) {
    runControlLoopPass();
    simmac::advance(10.0);
    // A calibration completing writes the settings back: the same path, with
    // a record that changes every time, some of them long.
    config.lastCalibrationTimestamp = simmac::now() + i * 0.001;
    config.chargeLimitPercent = i % 2 ? 80 : -1234567890123456789;
    writeConfig(config);
  }
  writeWholeFile(stopFile, "");
  int status = 0;
  ASSERT_EQ(waitpid(reader, &status, 0), reader);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ReaderReport report;
  const std::string bytes = readWholeFile(reportPath);
  ASSERT_EQ(bytes.size(), sizeof report);
  memcpy(&report, bytes.data(), sizeof report);
  std::printf("file consistency: %d writes of each file; %ld reads, %ld bad; %ld statuses and %ld settings seen\n",
              kWrites, report.reads, report.bad, report.distinctStatuses, report.distinctConfigs);
  EXPECT_EQ(report.bad, 0) << report.firstBad;
  // The reader really raced the writer.
  EXPECT_GT(report.distinctStatuses, 50);
  EXPECT_GT(report.distinctConfigs, 50);
}

}  // namespace
