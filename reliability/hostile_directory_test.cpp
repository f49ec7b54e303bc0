// A data directory every local user can write: links, hard links, FIFOs,
// sockets, devices, directories and other users' files planted at the
// daemon's names and at names a temporary of theirs could have, or swapped in
// while real processes start and run, never make the daemon create, write,
// truncate or re-mode anything outside, stall its loop, or stop it regulating
// and shutting down cleanly.
#include <atomic>
#include <filesystem>
#include <thread>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "reliability/reliability.h"

namespace {

namespace fs = std::filesystem;
const std::vector<std::string> kNames = {"daemon.log", "config.json", "status.json", "calibration.json", ".status.json.tmp-XXXXXX",
    ".config.json.tmp-XXXXXX", ".daemon.log.tmp-XXXXXX", ".calibration.json.tmp-XXXXXX", "status.json.tmp", "config.json.tmp", "status.json~", "config.json~"};
// What a plain file planted at a name holds: settings, or at "calibration.json"
// a cycle charging to 100 % that must not be resumed.
std::string plainFileFor(const char* at) {
  return std::string(at).ends_with("/calibration.json") ? R"({"phase":"Charging to 100%","holdRemainingSeconds":0})" : limitConfig(80);
}

// data/ is the data directory (mode 0777) with valid settings; outside/ holds
// what a plant may lead to (root's file, a directory, the target of a dangling
// link), which the daemon must never touch or create.
struct Site {
  TempDir root;
  const std::string data = root.file("data"), outside = root.file("outside"), secret = outside + "/secret";
  Site() {
    mkdir(data.c_str(), 0777);
    chmod(data.c_str(), 0777);  // whatever the umask
    mkdir(outside.c_str(), 0755);
    mkdir((outside + "/dir").c_str(), 0700);
    writeWholeFile(secret, "root's secret\n");
    chmod(secret.c_str(), 0600);
    writeWholeFile(data + "/config.json", limitConfig(80));
  }
  // Name, type, mode, owner, size, time, link target and content of everything outside.
  std::string fingerprint() const {
    std::string out;
    for (const auto& entry : fs::recursive_directory_iterator(outside)) {
      struct stat st {};
      lstat(entry.path().c_str(), &st);
      out += entry.path().string() + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
             std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec) +
             " " + (entry.is_symlink() ? fs::read_symlink(entry).string() : readWholeFile(entry.path())) + "\n";
    }
    return out;
  }
};

// What a local user can place at a name; false when the system refused.
struct Plant { const char* name; bool (*make)(const Site&, const char* at); };
const Plant kPlants[] = {
    {"SymlinkToFile", [](const Site& s, const char* at) { return symlink(s.secret.c_str(), at) == 0; }},
    {"SymlinkDangling", [](const Site& s, const char* at) { return symlink((s.outside + "/new").c_str(), at) == 0; }},
    {"SymlinkToDirectory", [](const Site& s, const char* at) { return symlink((s.outside + "/dir").c_str(), at) == 0; }},
    {"HardLinkToRootFile", [](const Site& s, const char* at) { return link(s.secret.c_str(), at) == 0; }},
    {"Directory", [](const Site&, const char* at) { return mkdir(at, 0777) == 0; }},
    {"Fifo", [](const Site&, const char* at) { return mkfifo(at, 0666) == 0; }},
    {"Socket", [](const Site&, const char* at) { return mknod(at, S_IFSOCK | 0666, 0) == 0; }},
    {"Device", [](const Site&, const char* at) { return mknod(at, S_IFCHR | 0666, makedev(1, 5)) == 0; }},
    {"ForeignFile", [](const Site&, const char* at) {  // another user's, with valid content
       return writeWholeFile(at, plainFileFor(at)), chown(at, 65534, 65534) == 0 && chmod(at, 0666) == 0; }},
    {"RootFileOfMode0666", [](const Site&, const char* at) {  // which a user may hold open for writing
       return writeWholeFile(at, plainFileFor(at)), chmod(at, 0666) == 0; }}};

class HostileDirectoryTest : public ::testing::TestWithParam<size_t> {};

// In this process, in virtual time: after every pass the status was rewritten
// at that moment (or, with a directory in its way, the pass still ran); then
// a real SIGTERM. The settings ask for 80 % and the battery starts at 82 %.
TEST_P(HostileDirectoryTest, NothingOutsideIsTouchedAndTheDaemonKeepsWorking) {
  const Plant& plant = kPlants[GetParam()];
  for (const std::string& name : kNames) {
    SCOPED_TRACE(name);
    simmac::boot(machineWith(simmac::Firmware::tahoe, 82));
    const Site site;
    const std::string at = site.data + "/" + name;
    unlink(at.c_str());
    ASSERT_TRUE(plant.make(site, at.c_str())) << strerror(errno);
    struct stat planted {}, st {};
    lstat(at.c_str(), &planted);
    const std::string before = site.fingerprint();
    const bool statusBlocked = name == "status.json" && plant.make == kPlants[4].make;
    const bool usable = name != "config.json" || GetParam() >= 8;  // only a plain file is still read
    Problems problems;
    EXPECT_EQ(runPasses(site.data, runSize(80, 400), [&](int64_t pass, double now) {
      const auto status = decodeChargeStatus(readWholeFile(statusPath));
      problems.check(statusBlocked || (status && status->daemonRunning && status->lastUpdate == now), pass, "stale status");
      problems.check(pass > 1 || simmac::adapterDisabled() == usable, pass, "the adapter not as the settings say");
    }), 0);
    EXPECT_EQ(problems.text, "");
    EXPECT_EQ(site.fingerprint(), before);
    // Handed back, the final record, regulated (or, without settings, charged freely).
    EXPECT_FALSE(simmac::chargeInhibited() || simmac::adapterDisabled() || simmac::ledValue() != 0);
    EXPECT_TRUE(statusBlocked || !decodeChargeStatus(readWholeFile(statusPath)).value().daemonRunning);
    const double p = simmac::batteryPercent();
    EXPECT_TRUE(usable ? p >= 77 && p <= 81 : p > 82) << p;
    // The log is a fresh plain file of the daemon's, unless a directory holds its name; no temporary is left.
    ASSERT_EQ(lstat(logPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode) ? name == "daemon.log"
                                    : S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() &&
                                          fileMode(logPath) == 0644 && st.st_ino != planted.st_ino);
    EXPECT_EQ(readWholeFile(logPath).find("Calibration: resuming"), std::string::npos);  // no record but its own
    // A root file at a temporary's name is swept; one at "daemon.log" is kept as daemon.log.1.
    EXPECT_TRUE(GetParam() != 9 || (name[0] == '.' ? !exists(at) : name != "daemon.log" || readWholeFile(at + ".1") == plainFileFor(at.c_str())));
    for (const auto& entry : fs::directory_iterator(site.data))
      EXPECT_TRUE(entry.path().filename() == name || entry.path().filename() == "daemon.log.1" ||
                  std::count(kNames.begin(), kNames.begin() + 3, entry.path().filename())) << entry.path();
  }
}

INSTANTIATE_TEST_SUITE_P(Plants, HostileDirectoryTest, ::testing::Range(size_t{0}, std::size(kPlants)),
                         [](const auto& info) { return std::string(kPlants[info.param].name); });

// Another local user racing real hestled processes: while each starts and
// runs, every temporary that appears is swapped for a link to root's file,
// and the daemon's three names keep changing between links, hard links and
// plain files. Each process is stopped once its first pass has run. And the
// Linux build, which people run as root to try things: a data directory that
// is a link or another user's is refused, a FIFO at --state blocks nothing.
TEST(RacingAttackerTest, SwapsDuringStartUpAndRunningNeverReachOutside) {
  const Site site;
  const std::string before = site.fingerprint(), link = site.root.file("link"), theirs = site.root.file("theirs");
  ASSERT_TRUE(symlink((site.outside + "/dir").c_str(), link.c_str()) == 0 && mkdir(theirs.c_str(), 0755) == 0 && chmod(theirs.c_str(), 0755) == 0 &&
              chown(theirs.c_str(), 65534, 65534) == 0 && mkfifo(site.root.file("fifo").c_str(), 0666) == 0);
  ProcessGuard attacker{fork()};
  ASSERT_GE(attacker.pid, 0);
  for (unsigned round = 0; attacker.pid == 0; ++round) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(site.data, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      if (it->path().filename().string()[0] == '.' && unlink(it->path().c_str()) == 0)
        kPlants[0].make(site, it->path().c_str());
    const size_t how[] = {0, 3, 1, 8};  // a link, a hard link, a dangling link, a plain file
    kPlants[how[round / 3 % 4]].make(site, (site.data + "/swap").c_str());
    rename((site.data + "/swap").c_str(), (site.data + "/" + kNames[round % 3]).c_str());
  }
  TempDir work;
  for (int run = runSize(3, 20); run > 0; --run) {
    const HestledRun r{site.data, "", work.file("state.json"), work.file("output"), "100000"};
    const pid_t pid = spawnHestled(r);
    // Its lines go to daemon.log (a fresh one for each run), or to
    // standard error while that cannot be written; a log the attacker renamed
    // away shows none, so the wait is bounded: by then the first pass has run.
    eventually([&] {
      const std::string seen = readWholeFile(r.outputFile) + readWholeFile(site.data + "/daemon.log");
      const size_t own = seen.find("PID: " + std::to_string(pid) + ",");
      return own != std::string::npos && seen.find("State: ", own) != std::string::npos;
    }, std::chrono::seconds(3));
    EXPECT_EQ(stopProcess(pid, SIGTERM).status(), 0) << readWholeFile(r.outputFile);
    EXPECT_EQ(heldKeys(r.stateFile), "");
  }
  for (const auto& [args, status] : std::vector<std::pair<std::vector<std::string>, int>>{{{"--data-dir", link}, 1},
           {{"--data-dir", link + "//"}, 1}, {{"--data-dir", theirs}, 1}, {{"--data-dir", site.data, "--state", site.root.file("fifo")}, 2}}) {
    const Ran ran = runProgram(HESTLED_PATH, args);
    EXPECT_TRUE(ran.end.status() == status && ran.err.find(status == 1 ? "it cannot be the data directory" : "malformed key file") != std::string::npos) << ran.err;
  }
  kill(attacker.pid, SIGKILL);
  openUpDataDirectory(link), openUpDataDirectory(theirs);  // the Mac's: never through a link, never another user's
  EXPECT_EQ(site.fingerprint(), before);
  EXPECT_TRUE(fs::is_empty(theirs) && fileMode(theirs) == 0755u && fileMode(work.file("state.json")) == 0644u);
}

// Another user taking the daemon's status temporaries away as they appear
// (here a thread), to names beside them and into a directory of theirs: a
// pass whose temporary was taken writes it again under a new name, what was
// taken holds nothing, and none is left beside the status.
TEST(RacingAttackerTest, StolenStatusTemporariesAreEmptiedAndWrittenAgain) {
  simmac::boot(machineWith(simmac::Firmware::tahoe, 82));
  const Site site;
  mkdir((site.data + "/theirs").c_str(), 0777);
  std::atomic<int> stolen = 0, stale = 0, done = 0;
  std::thread thief([&] {
    for (std::error_code ec; !done;)
      for (auto it = fs::directory_iterator(site.data, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (it->path().filename().string().starts_with(".status.json.tmp-"))
          stolen += rename(it->path().c_str(), (site.data + (stolen % 2 ? "/theirs" : "") + "/stolen-" + std::to_string(stolen)).c_str()) == 0;
  });
  EXPECT_EQ(runPasses(site.data, runSize(3000, 30000), [&](int64_t, double now) {
    stale += decodeChargeStatus(readWholeFile(statusPath)).value_or(ChargeStatus{}).lastUpdate != now; }), 0);
  done = 1, thief.join();
  for (const auto& entry : fs::recursive_directory_iterator(site.data))
    EXPECT_TRUE(!entry.path().filename().string().starts_with("stolen-") || (entry.path().parent_path().filename() == "theirs" && fs::file_size(entry.path()) == 0)) << entry.path();
  // A pass goes without a fresh status only when both its temporaries were taken.
  EXPECT_LT(stale * 2, stolen + 2) << stolen << " temporaries stolen, " << stale << " passes without a fresh status";
}

}  // namespace
