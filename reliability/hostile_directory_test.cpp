// A data directory every local user can write: links, hard links, FIFOs,
// sockets, devices, directories and other users' files planted at the
// daemon's file names (and at temporary names) never make it create, write,
// truncate or re-mode anything outside, never stall its loop, and never stop
// it regulating or shutting down cleanly.
#include <csignal>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "daemon/shutdown.h"
#include "daemon/startup.h"
#include "reliability/plants.h"
#include "store/charge_status.h"
#include "test_support.h"

namespace {

const PlantKind kAllKinds[] = {PlantKind::symlinkToFile, PlantKind::symlinkDangling, PlantKind::symlinkToDirectory,
                               PlantKind::hardLinkToRootFile, PlantKind::directory, PlantKind::fifo,
                               PlantKind::socket, PlantKind::device, PlantKind::foreignFile};

// The daemon's files, and names a temporary of theirs could plausibly have.
const char* const kDaemonNames[] = {"daemon.log", "config.json", "status.json"};
const char* const kTemporaryNames[] = {".status.json.tmp-XXXXXX", ".config.json.tmp-XXXXXX",
                                       ".daemon.log.tmp-XXXXXX", "status.json.tmp", "config.json.tmp",
                                       "status.json~", "config.json~"};

constexpr int kLimit = 80;
constexpr int kPasses = 400;  // from 90% down to the limit and a while there

struct Plant {
  PlantKind kind;
  std::string name;
};

std::string testName(const ::testing::TestParamInfo<Plant>& info) {
  std::string name = std::string(plantKindName(info.param.kind)) + "At_";
  for (char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

std::vector<Plant> plantsAt(const std::vector<std::string>& names) {
  std::vector<Plant> plants;
  for (const auto& name : names)
    for (PlantKind kind : kAllKinds) plants.push_back({kind, name});
  return plants;
}

// Whether the settings still reach the daemon with this plant in place: only
// a plain file of another user's at "config.json" is still read.
bool settingsUsable(const Plant& p) { return p.name != "config.json" || p.kind == PlantKind::foreignFile; }

class HostileDirectoryTest : public DaemonTest, public ::testing::WithParamInterface<Plant> {
 protected:
  simmac::MachineSpec machine() const override {
    simmac::MachineSpec spec;
    spec.battery->percent = 90;
    spec.battery->pluggedIn = true;
    return spec;
  }

  void SetUp() override {
    DaemonTest::SetUp();
    clearStopRequest();
    site.root = scratch.path();
    prepareSite(site);
    if (GetParam().name != "config.json") writeWholeFile(site.data() + "/config.json", limitConfig(kLimit));
    ASSERT_TRUE(plant(site, GetParam().kind, GetParam().name, limitConfig(kLimit))) << strerror(errno);
    before = fingerprintTree(site.root, site.data());
  }

  void TearDown() override {
    simmac::setWaitHook(nullptr);
    simmac::clearSchedule();
    clearStopRequest();
    DaemonTest::TearDown();
  }

  TempDir scratch;
  PlantSite site;
  std::map<std::string, std::string> before;
};

// Runs the daemon in-process in virtual time, checking after every pass that
// the status was rewritten at that very moment (or, with a directory in its
// way, that the pass still ran), then stops it with a real SIGTERM.
TEST_P(HostileDirectoryTest, NothingOutsideIsTouchedAndTheDaemonKeepsWorking) {
  const Plant p = GetParam();
  const bool statusBlocked = p.name == "status.json" && p.kind == PlantKind::directory;
  const bool usable = settingsUsable(p);
  int passes = 0;
  std::string firstProblem;
  const auto problem = [&](const std::string& what) {
    if (firstProblem.empty()) firstProblem = "pass " + std::to_string(passes) + ": " + what;
  };
  simmac::setWaitHook([&](double now) {
    ++passes;
    if (!statusBlocked) {
      const auto status = decodeChargeStatus(readWholeFile(site.data() + "/status.json"));
      if (!status) problem("status.json unreadable");
      else if (!status->daemonRunning || status->lastUpdate != now) problem("status.json not rewritten this pass");
    }
    // Above the limit the first pass disables the adapter; without settings
    // the limit is off and nothing is held.
    if (passes == 1 && simmac::adapterDisabled() != usable) problem("adapter not as the settings say");
    if (passes == kPasses) {
      ASSERT_TRUE(stopWakeFd() >= 0);
      raise(SIGTERM);
    }
  });
  EXPECT_EQ(runDaemon(site.data()), 0);
  EXPECT_EQ(passes, kPasses);
  EXPECT_EQ(firstProblem, "");

  EXPECT_EQ(describeChanges(before, fingerprintTree(site.root, site.data())), "");
  // Clean shutdown: everything handed back, the final record published.
  EXPECT_FALSE(simmac::chargeInhibited());
  EXPECT_FALSE(simmac::adapterDisabled());
  EXPECT_EQ(simmac::ledValue(), 0);
  if (!statusBlocked) {
    const auto status = decodeChargeStatus(readWholeFile(site.data() + "/status.json"));
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->daemonRunning);
  } else {
    EXPECT_TRUE(std::filesystem::is_directory(site.data() + "/status.json"));
  }
  // Regulation: held at the limit, or (limit off) charged freely.
  if (usable) {
    EXPECT_GE(simmac::batteryPercent(), kLimit - 3);
    EXPECT_LE(simmac::batteryPercent(), kLimit + 1);
  } else {
    EXPECT_GT(simmac::batteryPercent(), 90);
  }
  // The log is the daemon's own plain file, unless a directory holds its name.
  struct stat st {};
  ASSERT_EQ(lstat(logPath.c_str(), &st), 0);
  if (p.name == "daemon.log" && p.kind == PlantKind::directory) {
    EXPECT_TRUE(S_ISDIR(st.st_mode));
  } else {
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_NE(readWholeFile(logPath).find("Clean shutdown: restoring all keys"), std::string::npos);
  }
  // No temporary left behind.
  for (const auto& entry : std::filesystem::directory_iterator(site.data())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "daemon.log" || name == "config.json" || name == "status.json" || name == p.name) << name;
  }
}

std::vector<std::string> allNames() {
  std::vector<std::string> names(std::begin(kDaemonNames), std::end(kDaemonNames));
  names.insert(names.end(), std::begin(kTemporaryNames), std::end(kTemporaryNames));
  return names;
}

INSTANTIATE_TEST_SUITE_P(Plants, HostileDirectoryTest, ::testing::ValuesIn(plantsAt(allNames())), testName);

// The same plants under a real hestled process: start-up, passes in real
// time (sped up), and a real SIGTERM that must end it with status 0.
class HostileDirectoryProcessTest : public ::testing::TestWithParam<Plant> {};

TEST_P(HostileDirectoryProcessTest, RealProcessRegulatesAndExitsCleanly) {
  const Plant p = GetParam();
  TempDir tmp, work;  // the site; the process's own files, kept apart
  PlantSite site{tmp.path()};
  prepareSite(site);
  if (p.name != "config.json") writeWholeFile(site.data() + "/config.json", limitConfig(kLimit));
  ASSERT_TRUE(plant(site, p.kind, p.name, limitConfig(kLimit))) << strerror(errno);
  writeWholeFile(work.file("machine.json"), R"({"firmware":"tahoe","battery":{"percent":90,"pluggedIn":true}})");
  const auto before = fingerprintTree(site.root, site.data());

  HestledRun run{site.data(), work.file("machine.json"), work.file("state.json"), work.file("output")};
  run.speed = "3000";
  const pid_t pid = spawnHestled(run);
  // Two state lines: the first pass and the thirty-first have run.
  for (int i = 0; i < 10000 && countLines(logLines(readWholeFile(run.outputFile)), "State: ") < 2; ++i) usleep(1000);
  const auto keysWhileRunning = savedKeys(run.stateFile);
  kill(pid, SIGTERM);
  const ProcessEnd end = waitForEnd(pid, std::chrono::seconds(20));
  ASSERT_TRUE(end.finished);
  EXPECT_FALSE(end.signalled);
  EXPECT_EQ(end.code, 0) << readWholeFile(run.outputFile);

  EXPECT_EQ(describeChanges(before, fingerprintTree(site.root, site.data())), "");
  const auto lines = logLines(readWholeFile(run.outputFile));
  EXPECT_GE(countLines(lines, "State: "), 2u);
  EXPECT_EQ(countLines(lines, "Clean shutdown: restoring all keys"), 1u);
  if (settingsUsable(p)) {
    EXPECT_EQ(keysWhileRunning.count("CHIE") ? keysWhileRunning.at("CHIE") : "", "08");
  }
  for (const auto& [name, value] : savedKeys(run.stateFile)) EXPECT_TRUE(allZeroHex(value)) << name << "=" << value;
  if (!(p.name == "status.json" && p.kind == PlantKind::directory)) {
    const auto status = decodeChargeStatus(readWholeFile(site.data() + "/status.json"));
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->daemonRunning);
    EXPECT_EQ(status->batteryPercent, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Plants, HostileDirectoryProcessTest,
                         ::testing::ValuesIn(plantsAt({std::begin(kDaemonNames), std::end(kDaemonNames)})), testName);

}  // namespace

namespace {

void ignore(int) {}

// Another local user racing the daemon: while hestled starts and runs, every
// temporary that appears in the directory is swapped for a link to root's
// file, and the daemon's three names keep changing between links to it, hard
// links to it, dangling links and plain files. Start-up (the log, the mode of
// the settings file) and every pass's writes race against it. Runs until
// killed.
[[noreturn]] void runAttacker(const PlantSite& site) {
  const std::string names[] = {"daemon.log", "config.json", "status.json"};
  unsigned round = 0;
  for (;;) {
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(site.data(), ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      const std::string path = it->path().string();
      if (it->path().filename().string()[0] == '.' && unlink(path.c_str()) == 0) {
        ignore(symlink(site.rootFile().c_str(), path.c_str()));
      }
    }
    const std::string at = site.data() + "/" + names[round % 3];
    const std::string swap = site.data() + "/swap";
    const unsigned how = (round / 3) % 4;
    if (how == 0) ignore(symlink(site.rootFile().c_str(), swap.c_str()));
    if (how == 1) ignore(link(site.rootFile().c_str(), swap.c_str()));
    if (how == 2) ignore(symlink(site.missingTarget().c_str(), swap.c_str()));
    if (how == 3) writeWholeFile(swap, limitConfig(kLimit));
    rename(swap.c_str(), at.c_str());
    ++round;
  }
}

TEST(RacingAttackerTest, SwapsDuringStartUpAndWritesNeverReachOutside) {
  TempDir tmp, work;
  PlantSite site{tmp.path()};
  prepareSite(site);
  writeWholeFile(work.file("machine.json"), R"({"firmware":"tahoe","battery":{"percent":90,"pluggedIn":true}})");
  const auto before = fingerprintTree(site.root, site.data());
  const pid_t attacker = fork();
  ASSERT_GE(attacker, 0);
  if (attacker == 0) runAttacker(site);
  // Whatever happens below, the attacker does not outlive the test.
  const std::unique_ptr<const pid_t, void (*)(const pid_t*)> reaper(&attacker, [](const pid_t* pid) {
    kill(*pid, SIGKILL);
    waitpid(*pid, nullptr, 0);
  });

  int clean = 0;
  for (int run = 0; run < 20; ++run) {
    HestledRun r{site.data(), work.file("machine.json"), work.file("state.json"),
                 work.file("output" + std::to_string(run)), "100000"};
    const pid_t pid = spawnHestled(r);
    // Stop it once its first pass has run, so that its handler is in place.
    for (int i = 0; i < 10000 && countLines(logLines(readWholeFile(r.outputFile)), "State: ") == 0; ++i) usleep(1000);
    kill(pid, SIGTERM);
    const ProcessEnd end = waitForEnd(pid, std::chrono::seconds(20));
    ASSERT_TRUE(end.finished);
    EXPECT_FALSE(end.signalled) << readWholeFile(r.outputFile);
    clean += !end.signalled && end.code == 0;
    for (const auto& [name, value] : savedKeys(r.stateFile)) EXPECT_TRUE(allZeroHex(value)) << name << "=" << value;
  }
  EXPECT_EQ(clean, 20);
  EXPECT_EQ(describeChanges(before, fingerprintTree(site.root, site.data())), "");
}

}  // namespace
