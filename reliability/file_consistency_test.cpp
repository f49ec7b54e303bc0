// A front end polling "status.json" and "config.json" while the daemon
// rewrites each thousands of times never sees a partial or invalid file, nor
// a moment when one of them is missing.
#include <fcntl.h>
#include <set>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "daemon/control_loop.h"
#include "reliability/reliability.h"
#include "store/charge_config.h"
#include "store/charge_status.h"
#include "test_support.h"

namespace {

struct ReaderReport {
  long reads = 0, bad = 0, statuses = 0, configs = 0;
  char firstBad[256] = "";
};

// Polls both files, each read whole as a front end reads it, until `stop` appears.
[[noreturn]] void runReader(const std::string& stop, const std::string& reportPath) {
  ReaderReport report;
  std::set<double> statuses, configs;
  while (access(stop.c_str(), F_OK) != 0) {
    for (const std::string& path : {statusPath, configPath}) {
      std::string bytes;
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      char buffer[4096];
      for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<size_t>(n));
      const auto status = path == statusPath ? decodeChargeStatus(bytes) : std::nullopt;
      const auto config = path == configPath ? decodeChargeConfig(bytes) : std::nullopt;
      if (status) statuses.insert(status->lastUpdate);
      if (config) configs.insert(config->lastCalibrationTimestamp);
      if (!status && !config && report.bad++ == 0)
        snprintf(report.firstBad, sizeof report.firstBad, "%s: %s", path.c_str(), fd < 0 ? "missing" : bytes.c_str());
      if (fd >= 0) close(fd);
      ++report.reads;
    }
  }
  report.statuses = static_cast<long>(statuses.size());
  report.configs = static_cast<long>(configs.size());
  writeWholeFile(reportPath, std::string(reinterpret_cast<const char*>(&report), sizeof report));
  _exit(0);
}

class FileConsistencyTest : public DaemonTest {};

TEST_F(FileConsistencyTest, AReaderNeverSeesAPartialFile) {
  const int writes = runSize(1000, 5000);
  openSmc();
  ChargeConfig config{true, 80, false, 30, 0.0};
  writeConfig(config);
  runControlLoopPass();  // both files exist before the reader starts
  const pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) runReader(dir.file("stop"), dir.file("report"));
  for (int i = 0; i < writes; ++i) {
    runControlLoopPass();
    simmac::advance(10.0);
    // As a completed calibration writes the settings back: a record that changes every time, some of them long.
    config.lastCalibrationTimestamp = simmac::now() + i * 0.001;
    config.chargeLimitPercent = i % 2 ? 80 : -1234567890123456789;
    writeConfig(config);
  }
  writeWholeFile(dir.file("stop"), "");
  ASSERT_EQ(waitpid(reader, nullptr, 0), reader);
  ReaderReport report;
  ASSERT_EQ(readWholeFile(dir.file("report")).size(), sizeof report);
  memcpy(&report, readWholeFile(dir.file("report")).data(), sizeof report);
  std::printf("file consistency: %d writes of each file; %ld reads, %ld bad; %ld statuses and %ld settings seen\n",
              writes, report.reads, report.bad, report.statuses, report.configs);
  EXPECT_EQ(report.bad, 0) << report.firstBad;
  EXPECT_GT(std::min(report.statuses, report.configs), writes / 100) << "the reader did not race the writer";
}

}  // namespace
