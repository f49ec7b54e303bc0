// Months of running cost nothing extra: the real daemon in virtual time with
// regulation, a calibration every week and a daily unplugged spell. Resident
// memory, descriptors and IOKit/CoreFoundation objects stay flat, the log
// grows by a small, steady amount per simulated day, and a plugged-in idle Mac
// stays at the limit. CI runs two days, the long run a million passes.
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

#include "reliability/reliability.h"
#include "store/charge_config.h"

constexpr double kDay = 86400.0;

// Resident memory now and at its peak (KiB), and open descriptors but the one
// the log rotation keeps on daemon.log.1 once there is one.
static std::array<long long, 3> holdings() {
  const std::string status = readWholeFile("/proc/self/status");
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {std::atoll(status.c_str() + status.find("VmRSS:") + 6), usage.ru_maxrss,
          std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}) - (previousLogFile >= 0)};
}

TEST(SoakTest, MonthsOfPassesCostNothingExtra) {
  const long long passes = runSize(17280LL, 1000000LL), warmUp = std::min(passes / 10, 8640LL);
  simmac::boot(machineWith(simmac::Firmware::tahoe, 60));
  simmac::setRecordSmcExchanges(false);
  const double start = simmac::now();
  TempDir dir;
  writeWholeFile(dir.file("config.json"), limitConfig(80, true, 7, 0.0));  // the first calibration due at once
  std::mt19937 random(4);
  for (double day = start; day < start + 10.0 * passes; day += kDay) {  // unplugged for one to five hours a day
    const double unplugAt = day + std::uniform_real_distribution<double>(0, 0.7 * kDay)(random);
    simmac::schedule(unplugAt, [] { simmac::setPluggedIn(false); });
    simmac::schedule(unplugAt + std::uniform_real_distribution<double>(1, 5)(random) * 3600, [] { simmac::setPluggedIn(true); });
  }
  std::array<long long, 3> a{}, b{};  // after the warm-up, at the end
  long long outOfBand = 0, pluggedIdle = 0, logged = 0, seen = 0, logAtWarm = 0, logAtEnd = 0;
  size_t calibrations = 0;  // finished: the draining back ended in idle (the settings never change here)
  CalibrationPhase phase = calPhase;
  double warm = 0;
  ASSERT_EQ(runPasses(dir.path(), passes, [&](int64_t pass, double now) {
    // Bytes logged, counted across rotations: a smaller log is a fresh one, and
    // the file moved aside holds the rest of what the count had not yet seen.
    struct stat current {}, rotated {};
    fstat(logFile, &current);
    if (current.st_size < seen && fstat(previousLogFile, &rotated) == 0) logged += rotated.st_size - seen, seen = 0;
    logged += current.st_size - seen;
    seen = current.st_size;
    calibrations += phase == CalibrationPhase::drainingBack && calPhase == CalibrationPhase::idle;
    phase = calPhase;
    if (pass > warmUp && simmac::pluggedIn() && calPhase == CalibrationPhase::idle) {
      const double p = simmac::batteryPercent();  // right after a plug event it may still be on its way
      outOfBand += p > 81.0 || (p < 77.0 && !simmac::batteryCharging());
      ++pluggedIdle;
    }
    if (pass == warmUp) std::tie(a, warm, logAtWarm) = std::tuple(holdings(), now, logged);
    if (pass == passes) std::tie(b, logAtEnd) = std::pair(holdings(), logged);
  }), 0);
  const double logPerDay = static_cast<double>(logAtEnd - logAtWarm) / ((simmac::now() - warm) / kDay);
  const size_t inLogs = countLines(logLines(readWholeFile(logPath) + readWholeFile(logPath + ".1")), "Calibration: COMPLETE");
  std::printf("soak: %lld passes (%.1f days); RSS %lld -> %lld KiB, peak %lld -> %lld KiB, %lld -> %lld descriptors "
              "from the warm-up on; log %.0f bytes per simulated day; %zu calibrations; %lld of %lld plugged idle "
              "passes outside 77-81%%\n", passes, (simmac::now() - start) / kDay, a[0], b[0], a[1], b[1], a[2], b[2],
              logPerDay, calibrations, outOfBand, pluggedIdle);
  // Nothing outstanding but the SMC connection, which lives with the process.
  const auto counts = simmac::objectCounts();
  EXPECT_TRUE(counts.cfLive == 0 && counts.ioLive == 1 && counts.badReleases == 0);
  EXPECT_EQ(b[2], a[2]);
  // Flat: what a leak of even a few bytes per pass would exceed.
  EXPECT_TRUE(kUnderSanitizer || (b[0] - a[0] <= 512 && b[1] - a[1] <= 512)) << b[0] - a[0] << " " << b[1] - a[1];
  EXPECT_LT(logPerDay, 64 * 1024);  // the state line every thirtieth pass and the actions, not a line per pass
  EXPECT_GE(calibrations, static_cast<size_t>((simmac::now() - start) / (8 * kDay)) + 1);
  EXPECT_TRUE(inLogs >= 1 && inLogs <= calibrations) << inLogs;  // the logs still kept show some of them
  EXPECT_GT(decodeChargeConfig(readWholeFile(configPath)).value().lastCalibrationTimestamp, start);
  EXPECT_LT(outOfBand * 50, pluggedIdle);
}
