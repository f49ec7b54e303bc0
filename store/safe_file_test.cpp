// Tests of the store's files in a directory every user can write: links,
// FIFOs, huge files, modes and temporaries.
#include "store/safe_file.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "store/charge_config.h"
#include "store/charge_status.h"
#include "tests/test_support.h"

namespace {

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat lstatOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st;
}

const ChargeConfig sampleConfig{true, 75, true, 14, 1764876810.5};
const ChargeStatus sampleStatus{true, true, false, std::nullopt, 80, 1764876810.5};

// The two files the daemon writes, each with its writer and its mode.
struct Writer {
  const char* name;
  std::function<void()> write;
  std::function<std::string()> path;
  std::string bytes;
  unsigned mode;
};

std::vector<Writer> writers() {
  return {
      {"config.json", [] { writeConfig(sampleConfig); }, [] { return configPath; },
       *encodeChargeConfig(sampleConfig), 0666},
      {"status.json", [] { writeStatus(sampleStatus); }, [] { return statusPath; },
       *encodeChargeStatus(sampleStatus), 0644},
  };
}

class SafeFileTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    savedUmask_ = umask(022);
  }
  void TearDown() override {
    umask(savedUmask_);
    alarm(0);
    DaemonTest::TearDown();
  }

 private:
  mode_t savedUmask_ = 022;
};

TEST_F(SafeFileTest, WrittenFilesGetTheirModeWhateverTheUmaskOrOldMode) {
  for (const auto& w : writers()) {
    for (const mode_t mask : {mode_t{077}, mode_t{0}}) {
      for (const int before : {-1, 0600, 0777, 0000}) {
        SCOPED_TRACE(std::string(w.name) + " umask " + std::to_string(mask) + " before " +
                     std::to_string(before));
        unlink(w.path().c_str());
        if (before >= 0) {
          writeWholeFile(w.path(), "old");
          chmod(w.path().c_str(), static_cast<mode_t>(before));
        }
        umask(mask);
        w.write();
        EXPECT_EQ(fileMode(w.path()), w.mode);
        EXPECT_EQ(readWholeFile(w.path()), w.bytes);
        EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{w.name});
      }
    }
    unlink(w.path().c_str());
  }
}

TEST_F(SafeFileTest, PlantedLinksAreReplacedNotFollowed) {
  for (const auto& w : writers()) {
    for (const bool hard : {false, true}) {
      SCOPED_TRACE(std::string(w.name) + (hard ? " hard link" : " symbolic link"));
      const std::string victim = dir.file("victim");
      writeWholeFile(victim, "root's precious bytes");
      chmod(victim.c_str(), 0600);
      const int planted = hard ? link(victim.c_str(), w.path().c_str())
                               : symlink(victim.c_str(), w.path().c_str());
      ASSERT_EQ(planted, 0);
      w.write();
      EXPECT_EQ(readWholeFile(victim), "root's precious bytes");
      EXPECT_EQ(fileMode(victim), 0600u);
      EXPECT_EQ(lstatOf(victim).st_nlink, 1u);
      const struct stat st = lstatOf(w.path());
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_nlink, 1u);
      EXPECT_EQ(fileMode(w.path()), w.mode);
      EXPECT_EQ(readWholeFile(w.path()), w.bytes);
      unlink(victim.c_str());
      unlink(w.path().c_str());
    }
  }
}

TEST_F(SafeFileTest, FailedWriteLeavesNoTemporary) {
  for (const auto& w : writers()) {
    SCOPED_TRACE(w.name);
    // A directory where the file should be: rename fails even for root.
    ASSERT_EQ(mkdir(w.path().c_str(), 0755), 0);
    writeWholeFile(w.path() + "/inside", "kept");
    w.write();
    EXPECT_TRUE(S_ISDIR(lstatOf(w.path()).st_mode));
    EXPECT_EQ(readWholeFile(w.path() + "/inside"), "kept");
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{w.name});
    EXPECT_FALSE(replaceFileAtomically(w.path(), "x", 0644));
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{w.name});
    unlink((w.path() + "/inside").c_str());
    rmdir(w.path().c_str());
  }
  // A directory that does not exist: nothing to create the temporary in.
  EXPECT_FALSE(replaceFileAtomically(dir.file("missing/file.json"), "x", 0644));
  EXPECT_TRUE(entriesOf(dir.path()).empty());
}

TEST_F(SafeFileTest, ReplaceWritesExactBytes) {
  const std::string path = dir.file("data");
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  for (const std::string& bytes : {std::string(), std::string("short"), big}) {
    ASSERT_TRUE(replaceFileAtomically(path, bytes, 0640));
    EXPECT_EQ(readWholeFile(path), bytes);
    EXPECT_EQ(fileMode(path), 0640u);
    EXPECT_EQ(readRegularFile(path, bytes.size()), bytes);
    EXPECT_EQ(readRegularFile(path, bytes.size() + 1), bytes);
    if (!bytes.empty()) {
      EXPECT_EQ(readRegularFile(path, bytes.size() - 1), std::nullopt);
    }
  }
}

// Anything but a plain file at config.json gives the defaults for the pass,
// promptly, without blocking on a FIFO or reading a huge file.
TEST_F(SafeFileTest, ReadingRefusesEverythingButASmallRegularFile) {
  const std::string good = *encodeChargeConfig(sampleConfig);
  struct Trap {
    const char* what;
    std::function<bool()> plant;
  };
  const std::vector<Trap> traps = {
      {"fifo", [] { return mkfifo(configPath.c_str(), 0666) == 0; }},
      {"sparse 1 GiB file",
       [] {
         const int fd = open(configPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
         const bool ok = fd >= 0 && ftruncate(fd, off_t{1} << 30) == 0;
         if (fd >= 0) close(fd);
         return ok;
       }},
      {"symbolic link to a good file",
       [&] {
         writeWholeFile(dir.file("good"), good);
         return symlink(dir.file("good").c_str(), configPath.c_str()) == 0;
       }},
      {"dangling symbolic link", [] { return symlink("/nonexistent", configPath.c_str()) == 0; }},
      {"directory", [] { return mkdir(configPath.c_str(), 0777) == 0; }},
  };
  for (const auto& trap : traps) {
    SCOPED_TRACE(trap.what);
    ASSERT_TRUE(trap.plant());
    alarm(20);  // a hang ends the run instead of blocking it forever
    EXPECT_EQ(readRegularFile(configPath, 64 * 1024), std::nullopt);
    EXPECT_EQ(readConfig(), ChargeConfig{});
    alarm(0);
    std::filesystem::remove_all(configPath);
    unlink(dir.file("good").c_str());
  }
  // A device node (root may create one where the container allows it).
  if (mknod(configPath.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    EXPECT_EQ(readConfig(), ChargeConfig{});
    unlink(configPath.c_str());
  }
  // A hard link is only read: a settings file may have any owner.
  writeWholeFile(dir.file("good"), good);
  ASSERT_EQ(link(dir.file("good").c_str(), configPath.c_str()), 0);
  EXPECT_EQ(readConfig(), sampleConfig);
}

TEST_F(SafeFileTest, SetModeOnlyOnAPlainFile) {
  const std::string path = dir.file("config.json");
  const std::string victim = dir.file("victim");
  writeWholeFile(path, "{}");
  chmod(path.c_str(), 0600);
  EXPECT_TRUE(setRegularFileMode(path, 0666));
  EXPECT_EQ(fileMode(path), 0666u);
  unlink(path.c_str());

  struct Trap {
    const char* what;
    std::function<bool()> plant;
  };
  const std::vector<Trap> traps = {
      {"symbolic link", [&] { return symlink(victim.c_str(), path.c_str()) == 0; }},
      {"hard link", [&] { return link(victim.c_str(), path.c_str()) == 0; }},
      {"fifo", [&] { return mkfifo(path.c_str(), 0600) == 0; }},
      {"directory", [&] { return mkdir(path.c_str(), 0700) == 0; }},
      {"nothing", [] { return true; }},
  };
  for (const auto& trap : traps) {
    SCOPED_TRACE(trap.what);
    writeWholeFile(victim, "secret");
    chmod(victim.c_str(), 0600);
    ASSERT_TRUE(trap.plant());
    alarm(20);
    EXPECT_FALSE(setRegularFileMode(path, 0666));
    alarm(0);
    EXPECT_EQ(fileMode(victim), 0600u);
    if (std::string(trap.what) == "fifo" || std::string(trap.what) == "directory") {
      EXPECT_NE(fileMode(path), 0666u);
    }
    std::filesystem::remove_all(path);
  }
}

}  // namespace
