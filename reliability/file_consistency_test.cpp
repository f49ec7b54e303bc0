// A front end polling "status.json" and "config.json" while the daemon
// rewrites each thousands of times never sees a partial or invalid file, nor
// a moment when one of them is missing.
#include <atomic>
#include <set>
#include <thread>

#include "daemon/control_loop.h"
#include "reliability/reliability.h"
#include "store/charge_config.h"

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
  std::thread reader([&, status = statusPath, settingsFile = configPath] {  // each file read whole, as a front end does
    for (; !stop; reads += 2) {
      const std::string s = readWholeFile(status), c = readWholeFile(settingsFile);
      if (const auto record = decodeChargeStatus(s)) statuses.insert(record->lastUpdate);
      else bad.push_back(status + " read as " + s);
      if (const auto read = decodeChargeConfig(c)) settings.insert(read->lastCalibrationTimestamp);
      else bad.push_back(settingsFile + " read as " + c);
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
