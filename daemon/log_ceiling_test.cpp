// The log's ceiling: rotation past 1 MiB, link-safe; and a month of the daemon
// on every firmware under a user who flips the settings on every pass, whose
// log files never reach 3 MiB together.
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/control_loop.h"
#include "reliability/reliability.h"
#include "store/charge_config.h"
#include "store/log.h"
#include "test_support.h"

namespace {

constexpr off_t kMiB = 1024 * 1024;

off_t sizeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
}

// `leastWrittenPerDay`: the log grows at least this fast, so the ceiling matters.
struct Month { const char* name; simmac::Firmware firmware; std::vector<std::string> rejected; bool smc; off_t leastWrittenPerDay; };

class LogCeilingMonthTest : public DaemonTest, public ::testing::WithParamInterface<Month> {
 protected:
  simmac::MachineSpec machine() const override {
    simmac::MachineSpec spec = machineWith(GetParam().firmware);
    spec.rejectedKeys = GetParam().rejected, spec.smcService = GetParam().smc;
    return spec;
  }
};

// CI runs four simulated days per firmware (the log rotates at least twice),
// scripts/reliability.sh a month.
TEST_P(LogCeilingMonthTest, FlippedSettingsEveryPassNeverTakeTheLogsToThreeMiB) {
  simmac::setRecordSmcExchanges(false);
  const std::string settings[] = {settingsJson({true, 60, false, 30, 0, true}), settingsJson({false, 60})};
  const int64_t days = runSize<int64_t>(4, 31);
  int64_t passes = 0;
  off_t most = 0, written = 0, lastSize = 0;
  const int status = runPasses(dir.path(), days * 8640, [&](int64_t pass, double) {
    passes = pass;
    writeWholeFile(dir.file("config.json"), settings[pass % 2]);
    const off_t size = sizeOf(logPath);
    written += size >= lastSize ? size - lastSize : size;  // a rotation starts a fresh file
    lastSize = size;
    most = std::max(most, size + sizeOf(logPath + ".1"));
  });
  std::printf("log ceiling: %s, %lld days, %lld passes: %lld bytes logged, at most %lld on disk\n", GetParam().name, static_cast<long long>(days),
              static_cast<long long>(passes), static_cast<long long>(written), static_cast<long long>(most));
  EXPECT_EQ(status, GetParam().leastWrittenPerDay > 0 ? 0 : -1);  // without the SMC: no pass at all
  EXPECT_LT(most, 3 * kMiB);
  EXPECT_GE(written, GetParam().leastWrittenPerDay * days);
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, LogCeilingMonthTest,
    ::testing::Values(Month{"Tahoe", simmac::Firmware::tahoe, {}, true, kMiB}, Month{"PreTahoe", simmac::Firmware::preTahoe, {}, true, kMiB},
                      Month{"September2026", simmac::Firmware::tahoe202609, {}, true, kMiB / 2},
                      Month{"RefusingEveryKey", simmac::Firmware::tahoe, {"CHTE", "CHIE", "ACLC"}, true, kMiB / 2},
                      Month{"NoSmc", simmac::Firmware::tahoe, {}, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// What another user may have put where the rotation moves the log, or at the
// log itself; or bytes appended through a descriptor of theirs.
enum class Trap { none, linkAtRotated, directoryAtRotated, secondNameForTheLog, directoryAtLog, grownByAnother };

class LogRotationTest : public DaemonTest, public ::testing::WithParamInterface<Trap> {};

TEST_P(LogRotationTest, PastOneMiBTheLogMovesAsideLinkSafely) {
  TempDir elsewhere;
  writeWholeFile(elsewhere.file("victim"), "root's");
  const std::string rotated = logPath + ".1";
  const Trap trap = GetParam();
  ASSERT_TRUE(trap != Trap::linkAtRotated || symlink(elsewhere.file("victim").c_str(), rotated.c_str()) == 0);
  ASSERT_TRUE(trap != Trap::directoryAtRotated || mkdir(rotated.c_str(), 0777) == 0);
  ASSERT_TRUE(trap != Trap::directoryAtLog || mkdir(logPath.c_str(), 0777) == 0);
  logInit();
  if (trap == Trap::directoryAtLog)  // no log: tried again on a line a minute later, not before
    rmdir(logPath.c_str()), log("to standard error"), simmac::advance(59), log("too soon"), simmac::advance(1);
  if (trap == Trap::grownByAnother) appendToFile(logPath, std::string(2 * kMiB, 'a'));
  ASSERT_TRUE(trap != Trap::secondNameForTheLog || link(logPath.c_str(), dir.file("kept").c_str()) == 0);
  const std::string message(99, 'm');  // with its stamp, lines of 122 bytes
  int64_t lines = 0;
  do log(message), ++lines;
  while (sizeOf(logPath) > 0 && lines < 100000);
  EXPECT_EQ(lines, trap == Trap::grownByAnother ? 1 : kMiB / 122 + 1);  // the line that took it past 1 MiB was the last
  log("first line after it");
  EXPECT_EQ(logMessages(), std::vector<std::string>{"first line after it"});
  EXPECT_TRUE(fileMode(logPath) == 0644u && readWholeFile(elsewhere.file("victim")) == "root's");
  EXPECT_TRUE(trap == Trap::directoryAtRotated ? std::filesystem::is_directory(rotated) : sizeOf(rotated) == lines * 122 + (trap == Trap::grownByAnother) * 2 * kMiB && fileMode(rotated) == 0644u);
  for (int i = 0; i < 2 * (kMiB / 122 + 1); ++i) log(message);  // the next rotation empties the one before
  EXPECT_EQ(sizeOf(dir.file("kept")), 0);
  EXPECT_LT(sizeOf(logPath) + sizeOf(rotated), 2 * kMiB + 2 * 122);
}

INSTANTIATE_TEST_SUITE_P(Traps, LogRotationTest,
                         ::testing::Values(Trap::none, Trap::linkAtRotated, Trap::directoryAtRotated,
                                           Trap::secondNameForTheLog, Trap::directoryAtLog, Trap::grownByAnother));

}  // namespace
