// Months of running cost nothing extra: the real daemon in virtual time with
// regulation, a calibration every week and a daily unplugged spell. Memory,
// descriptors and IOKit/CoreFoundation objects stay flat, the log grows by a
// small, steady amount per simulated day, and a plugged-in idle Mac stays at
// the limit. CI runs two days, the long run a million passes.
#include <random>

#include <gtest/gtest.h>

#include "reliability/reliability.h"
#include "store/charge_config.h"
#include "test_support.h"

namespace {

constexpr double kDay = 86400.0;

// Unplugs for one to five hours at a random moment of every day.
void scheduleDayOfPlugEvents(double dayStart, std::mt19937& random) {
  const double unplugAt = dayStart + std::uniform_real_distribution<double>(0, 0.7 * kDay)(random);
  simmac::schedule(unplugAt, [] { simmac::setPluggedIn(false); });
  simmac::schedule(unplugAt + std::uniform_real_distribution<double>(1, 5)(random) * 3600, [] { simmac::setPluggedIn(true); });
  simmac::schedule(dayStart + kDay, [dayStart, &random] { scheduleDayOfPlugEvents(dayStart + kDay, random); });
}

TEST(SoakTest, MonthsOfPassesCostNothingExtra) {
  const int64_t passes = runSize<int64_t>(17280, 1000000), warmUp = std::min<int64_t>(passes / 10, 8640);
  simmac::MachineSpec spec;
  spec.battery->percent = 60;
  simmac::boot(spec);
  simmac::setRecordSmcExchanges(false);
  const double start = simmac::now();
  TempDir dir;
  writeWholeFile(dir.file("config.json"), limitConfig(80, true, 7, 0.0));  // the first calibration due at once
  std::mt19937 random(4);
  scheduleDayOfPlugEvents(start, random);
  ProcessStats atWarmUp, atEnd;
  int64_t logAtWarmUp = 0, logAtEnd = 0, outOfBand = 0, pluggedIdle = 0;
  double warmUpTime = 0;
  ASSERT_EQ(runPasses(dir.path(), passes, [&](int64_t pass, double now) {
    if (pass > warmUp && simmac::pluggedIn() && calPhase == CalibrationPhase::idle) {
      ++pluggedIdle;  // after a plug event the charge may still be on its way to the limit
      const double p = simmac::batteryPercent();
      outOfBand += p > 81.0 || (p < 77.0 && !simmac::batteryCharging());
    }
    if (pass == warmUp || pass == passes) {
      (pass == warmUp ? atWarmUp : atEnd) = currentProcessStats();
      (pass == warmUp ? logAtWarmUp : logAtEnd) = static_cast<int64_t>(std::filesystem::file_size(logPath));
      if (pass == warmUp) warmUpTime = now;
    }
  }), 0);
  const double logPerDay = static_cast<double>(logAtEnd - logAtWarmUp) / ((simmac::now() - warmUpTime) / kDay);
  const size_t calibrations = countLines(logLines(readWholeFile(logPath)), "Calibration: COMPLETE");
  std::printf("soak: %lld passes (%.1f days); RSS %lld KiB after warm-up, %lld KiB at the end; peak RSS %lld KiB -> "
              "%lld KiB; fds %d -> %d; log %.0f bytes per simulated day; %zu calibration cycles; %lld of %lld plugged "
              "idle passes outside 77-81%%\n",
              static_cast<long long>(passes), (simmac::now() - start) / kDay, static_cast<long long>(atWarmUp.rssKiB),
              static_cast<long long>(atEnd.rssKiB), static_cast<long long>(atWarmUp.peakRssKiB),
              static_cast<long long>(atEnd.peakRssKiB), atWarmUp.openFds, atEnd.openFds, logPerDay, calibrations,
              static_cast<long long>(outOfBand), static_cast<long long>(pluggedIdle));
  // Nothing outstanding but the SMC connection, which lives with the process.
  const auto counts = simmac::objectCounts();
  EXPECT_TRUE(counts.cfLive == 0 && counts.ioLive == 1 && counts.badReleases == 0);
  EXPECT_EQ(atEnd.openFds, atWarmUp.openFds);
  if (!kUnderSanitizer) {  // flat: what a leak of even a few bytes per pass would exceed
    EXPECT_LE(atEnd.rssKiB - atWarmUp.rssKiB, 512);
    EXPECT_LE(atEnd.peakRssKiB - atWarmUp.peakRssKiB, 512);
  }
  EXPECT_LT(logPerDay, 64 * 1024);  // the state line every thirtieth pass and the actions, not a line per pass
  EXPECT_GE(calibrations, static_cast<size_t>((simmac::now() - start) / (8 * kDay)) + 1);
  EXPECT_GT(decodeChargeConfig(readWholeFile(configPath)).value().lastCalibrationTimestamp, start);
  EXPECT_LT(outOfBand * 50, pluggedIdle);
}

}  // namespace
