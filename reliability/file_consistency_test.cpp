// A front end polling "status.json" and "config.json" while the daemon
// rewrites each thousands of times never sees a partial or invalid file, nor
// a moment when one of them is missing.
#include <atomic>
#include <fcntl.h>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "daemon/control_loop.h"
#include "reliability/reliability.h"
#include "store/charge_config.h"
#include "test_support.h"

namespace {

class FileConsistencyTest : public DaemonTest {};

TEST_F(FileConsistencyTest, AReaderNeverSeesAPartialFile) {
  const int writes = runSize(1000, 5000);
  openSmc();
  ChargeConfig config{true, 80, false, 30, 0.0};
  writeConfig(config);
  runControlLoopPass();  // both files exist before the reader starts
  std::atomic<bool> stop = false;
  long reads = 0;
  std::set<double> statuses, settings;
  std::vector<std::string> bad;
  std::thread reader([&] {  // each file read whole, as a front end reads it
    for (const std::string status = statusPath, settingsFile = configPath; !stop; reads += 2) {
      for (const std::string& path : {status, settingsFile}) {
        std::string bytes(4096, '\0');
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        bytes.resize(static_cast<size_t>(std::max<ssize_t>(fd < 0 ? -1 : read(fd, bytes.data(), bytes.size()), 0)));
        if (fd >= 0) close(fd);
        const auto s = decodeChargeStatus(bytes);
        const auto c = decodeChargeConfig(bytes);
        if (path == status && s) statuses.insert(s->lastUpdate);
        else if (path == settingsFile && c) settings.insert(c->lastCalibrationTimestamp);
        else bad.push_back(path + (fd < 0 ? " missing" : " read as " + bytes));
      }
    }
  });
  for (int i = 0; i < writes; ++i) {
    runControlLoopPass();
    simmac::advance(10.0);
    // As a completed calibration writes the settings back: a record that changes every time, some of them long.
    config.lastCalibrationTimestamp = simmac::now() + i * 0.001;
    config.chargeLimitPercent = i % 2 ? 80 : -1234567890123456789;
    writeConfig(config);
  }
  stop = true;
  reader.join();
  std::printf("file consistency: %d writes of each file; %ld reads, %zu bad; %zu statuses and %zu settings seen\n",
              writes, reads, bad.size(), statuses.size(), settings.size());
  EXPECT_EQ(bad.size(), 0u) << bad.front();
  EXPECT_GT(std::min(statuses.size(), settings.size()), static_cast<size_t>(writes / 100)) << "the reader did not race";
}

}  // namespace
