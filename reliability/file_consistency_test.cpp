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
#include "test_support.h"

namespace {

// Reads both files whole, as a front end does, until `stop` appears; reports
// "READS BAD STATUSES SETTINGS FIRST-BAD" in `report`.
[[noreturn]] void runReader(const std::string& stop, const std::string& report) {
  long reads = 0, bad = 0;
  std::set<double> statuses, settings;
  std::string firstBad;
  while (access(stop.c_str(), F_OK) != 0) {
    for (const std::string& path : {statusPath, configPath}) {
      std::string bytes(4096, '\0');
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      bytes.resize(static_cast<size_t>(std::max<ssize_t>(fd < 0 ? -1 : read(fd, bytes.data(), bytes.size()), 0)));
      if (fd >= 0) close(fd);
      const auto status = decodeChargeStatus(bytes);
      const auto config = decodeChargeConfig(bytes);
      if (path == statusPath && status) statuses.insert(status->lastUpdate);
      else if (path == configPath && config) settings.insert(config->lastCalibrationTimestamp);
      else if (bad++ == 0) firstBad = path + (fd < 0 ? " missing" : " read as " + bytes);
      ++reads;
    }
  }
  writeWholeFile(report, std::to_string(reads) + " " + std::to_string(bad) + " " + std::to_string(statuses.size()) +
                             " " + std::to_string(settings.size()) + " " + firstBad);
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
  long reads = 0, bad = -1, statuses = 0, settings = 0;
  std::istringstream(readWholeFile(dir.file("report"))) >> reads >> bad >> statuses >> settings;
  std::printf("file consistency: %d writes of each file; %ld reads, %ld bad; %ld statuses and %ld settings seen\n",
              writes, reads, bad, statuses, settings);
  EXPECT_EQ(bad, 0) << readWholeFile(dir.file("report"));
  EXPECT_GT(std::min(statuses, settings), writes / 100) << "the reader did not race the writer";
}

}  // namespace
