// A data directory every local user can write: links, hard links, FIFOs,
// sockets, devices, directories and other users' files planted at the
// daemon's names and at names a temporary of theirs could have, or swapped in
// while it starts and runs, never make it create, write, truncate or re-mode
// anything outside, never stall its loop, and never stop it regulating or
// shutting down cleanly.
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "reliability/reliability.h"
#include "store/charge_status.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
constexpr int kLimit = 80;
const std::vector<std::string> kDaemonNames = {"daemon.log", "config.json", "status.json"};
const std::vector<std::string> kTemporaryNames = {".status.json.tmp-XXXXXX", ".config.json.tmp-XXXXXX",
    ".daemon.log.tmp-XXXXXX", "status.json.tmp", "config.json.tmp", "status.json~", "config.json~"};

// data/ is the data directory (mode 0777); outside/ holds files of root's
// that nothing planted in data/ may lead the daemon to touch.
struct Site {
  TempDir root;
  const std::string data = root.file("data"), secret = root.file("outside/secret");
  Site() {
    for (const auto& [dir, mode] : {std::pair{data, 0777}, {root.file("outside"), 0755}, {root.file("outside/dir"), 0700}}) {
      fs::create_directory(dir);
      chmod(dir.c_str(), mode);
    }
    writeWholeFile(secret, "root's secret\n");
    chmod(secret.c_str(), 0600);
    writeWholeFile(root.file("outside/dir/inner"), "inner\n");
    writeWholeFile(data + "/config.json", limitConfig(kLimit));
  }
  // Type, mode, owner, size, time, link target and content of every entry but data/.
  std::string fingerprint() const {
    std::string out;
    for (auto it = fs::recursive_directory_iterator(root.path()); it != fs::recursive_directory_iterator(); ++it) {
      if (it->path() == data) it.disable_recursion_pending();
      struct stat st {};
      if (it->path() == data || lstat(it->path().c_str(), &st) != 0) continue;
      out += it->path().string() + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
             std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
             std::to_string(st.st_mtim.tv_nsec) + " " +
             (S_ISLNK(st.st_mode) ? fs::read_symlink(it->path()).string() : readWholeFile(it->path())) + "\n";
    }
    return out;
  }
};

bool makeSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);  // the socket's name stays in the directory
  return bound && path.size() < sizeof address.sun_path;
}

// What a local user can place at a name; false when the system refused.
struct Plant {
  const char* name;
  bool (*make)(const Site&, const char* at);
};
const Plant kPlants[] = {
    {"SymlinkToFile", [](const Site& s, const char* at) { return symlink(s.secret.c_str(), at) == 0; }},
    {"SymlinkDangling", [](const Site& s, const char* at) { return symlink(s.root.file("outside/new").c_str(), at) == 0; }},
    {"SymlinkToDirectory", [](const Site& s, const char* at) { return symlink(s.root.file("outside/dir").c_str(), at) == 0; }},
    {"HardLinkToRootFile", [](const Site& s, const char* at) { return link(s.secret.c_str(), at) == 0; }},
    {"Directory", [](const Site&, const char* at) { return mkdir(at, 0777) == 0; }},
    {"Fifo", [](const Site&, const char* at) { return mkfifo(at, 0666) == 0; }},
    {"Socket", [](const Site&, const char* at) { return makeSocket(at); }},
    {"Device", [](const Site&, const char* at) { return mknod(at, S_IFCHR | 0666, makedev(1, 5)) == 0; }},
    {"ForeignFile", [](const Site&, const char* at) {  // another user's, readable settings
       writeWholeFile(at, limitConfig(kLimit));
       return chown(at, 65534, 65534) == 0 && chmod(at, 0666) == 0;
     }},
};
void plant(const Site& site, const Plant& p, const std::string& name) {
  unlink((site.data + "/" + name).c_str());
  ASSERT_TRUE(p.make(site, (site.data + "/" + name).c_str())) << strerror(errno);
}

// A real hestled on the site, stopped by SIGTERM once two state lines show
// its first and thirty-first passes ran; it exits 0 with every key handed back.
std::map<std::string, std::string> runProcess(const Site& site, const std::string& speed) {
  TempDir work;
  writeWholeFile(work.file("machine.json"), R"({"firmware":"tahoe","battery":{"percent":90,"pluggedIn":true}})");
  const HestledRun run{site.data, work.file("machine.json"), work.file("state.json"), work.file("output"), speed};
  const pid_t pid = spawnHestled(run);
  for (int i = 0; i < 10000 && countLines(logLines(readWholeFile(run.outputFile)), "State: ") < 2; ++i) usleep(1000);
  const auto keysWhileRunning = savedKeys(run.stateFile);
  kill(pid, SIGTERM);
  const ProcessEnd end = waitForEnd(pid, std::chrono::seconds(20));
  EXPECT_TRUE(end.finished && !end.signalled && end.code == 0) << readWholeFile(run.outputFile);
  const auto lines = logLines(readWholeFile(run.outputFile));
  EXPECT_TRUE(countLines(lines, "State: ") >= 2 && countLines(lines, "Clean shutdown: restoring all keys") == 1);
  for (const auto& [name, value] : savedKeys(run.stateFile)) EXPECT_TRUE(allZeroHex(value)) << name << "=" << value;
  return keysWhileRunning;
}

class HostileDirectoryTest : public ::testing::TestWithParam<size_t> {};

// In this process, in virtual time, at every name: after every pass the
// status was rewritten at that moment (or, with a directory in its way, the
// pass still ran); then a real SIGTERM. Then real processes at the daemon's names.
TEST_P(HostileDirectoryTest, NothingOutsideIsTouchedAndTheDaemonKeepsWorking) {
  const Plant& kind = kPlants[GetParam()];
  const bool foreign = kind.name == std::string("ForeignFile");
  std::vector<std::string> names = kDaemonNames;
  names.insert(names.end(), kTemporaryNames.begin(), kTemporaryNames.end());
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    simmac::MachineSpec spec;
    spec.battery->percent = 82;
    simmac::boot(spec);
    const Site site;
    plant(site, kind, name);
    const std::string before = site.fingerprint();
    const bool statusBlocked = name == "status.json" && kind.make == kPlants[4].make;
    const bool usable = name != "config.json" || foreign;
    std::string problem;
    EXPECT_EQ(runPasses(site.data, runSize(80, 400), [&](int64_t pass, double now) {
      const auto status = decodeChargeStatus(readWholeFile(statusPath));
      if (!statusBlocked && !(status && status->daemonRunning && status->lastUpdate == now)) problem += "stale status; ";
      if (pass == 1 && simmac::adapterDisabled() != usable) problem += "adapter not as the settings say; ";
    }), 0);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(site.fingerprint(), before);
    // Handed back, the final record published, regulated (or, limit off, charged freely).
    EXPECT_FALSE(simmac::chargeInhibited() || simmac::adapterDisabled() || simmac::ledValue() != 0);
    EXPECT_TRUE(statusBlocked || !decodeChargeStatus(readWholeFile(statusPath)).value().daemonRunning);
    EXPECT_TRUE(usable ? simmac::batteryPercent() >= kLimit - 3 && simmac::batteryPercent() <= kLimit + 1
                       : simmac::batteryPercent() > 82);
    // The log is the daemon's own plain file, unless a directory holds its name.
    struct stat st {};
    ASSERT_EQ(lstat(logPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode) ? name == "daemon.log"
                                    : S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() &&
                                          (st.st_mode & 07777) == 0644);
    for (const auto& entry : fs::directory_iterator(site.data)) {  // no temporary left behind
      const std::string left = entry.path().filename().string();
      EXPECT_TRUE(left == name || std::find(kDaemonNames.begin(), kDaemonNames.end(), left) != kDaemonNames.end()) << left;
    }
  }
  for (size_t i = 0; i < kDaemonNames.size(); ++i) {
    const std::string& name = kDaemonNames[(i + GetParam()) % kDaemonNames.size()];
    SCOPED_TRACE("a real process with it at " + name);
    const Site site;
    plant(site, kind, name);
    const std::string before = site.fingerprint();
    const auto keys = runProcess(site, "3000");
    EXPECT_TRUE(keys.at("CHIE") == "08" || (name == "config.json" && !foreign)) << "held nothing with usable settings";
    EXPECT_EQ(site.fingerprint(), before);
    if (!longRuns()) break;  // CI: each plant at one of the names
  }
}

INSTANTIATE_TEST_SUITE_P(Plants, HostileDirectoryTest, ::testing::Range(size_t{0}, std::size(kPlants)),
                         [](const auto& info) { return std::string(kPlants[info.param].name); });

[[noreturn]] void runAttacker(const Site& site) {
  for (unsigned round = 0;; ++round) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(site.data, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      if (it->path().filename().string()[0] == '.' && unlink(it->path().c_str()) == 0)
        kPlants[0].make(site, it->path().c_str());
    const std::string swap = site.data + "/swap";
    kPlants[(round / 3) % 2 ? 3 + 5 * (round / 6 % 2) : round / 6 % 2].make(site, swap.c_str());
    rename(swap.c_str(), (site.data + "/" + kDaemonNames[round % 3]).c_str());
  }
}

// Another local user racing the daemon: while hestled processes start and
// run, every temporary that appears is swapped for a link to root's file, and
// the daemon's three names keep changing between links, hard links and plain files.
TEST(RacingAttackerTest, SwapsDuringStartUpAndRunningNeverReachOutside) {
  const Site site;
  const std::string before = site.fingerprint();
  const pid_t attacker = fork();
  ASSERT_GE(attacker, 0);
  if (attacker == 0) runAttacker(site);
  for (int run = runSize(5, 20); run > 0; --run) runProcess(site, "100000");
  kill(attacker, SIGKILL);
  waitpid(attacker, nullptr, 0);
  EXPECT_EQ(site.fingerprint(), before);
}

}  // namespace
