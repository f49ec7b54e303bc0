// Start-up removes the temporaries a killed run left behind: its own regular
// files of its naming pattern, and nothing else a user may have put there.
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/startup.h"
#include "test_support.h"

namespace {

enum class Entry { ownFile, link, directory, fifo, othersFile, hardLink };

struct Row {
  const char* name;
  Entry entry;
  bool removed;
};

TEST_F(DaemonTest, StartUpRemovesOnlyItsOwnLeftoverTemporaries) {
  const std::vector<Row> rows = {
      {".status.json.tmp-AbC123", Entry::ownFile, true},   {".config.json.tmp-x1Y2z3", Entry::ownFile, true},
      {".daemon.log.tmp-000000", Entry::ownFile, true},    {".status.json.tmp-AbC12", Entry::ownFile, false},
      {".status.json.tmp-AbC1234", Entry::ownFile, false}, {"status.json.tmp-AbC123", Entry::ownFile, false},
      {".other.json.tmp-AbC123", Entry::ownFile, false},   {".status.json.tmp-AbC-23", Entry::ownFile, false},
      {".status.json.tmp-LnK123", Entry::link, false},     {".config.json.tmp-DiR123", Entry::directory, false},
      {".status.json.tmp-FiF123", Entry::fifo, false},     {".status.json.tmp-UsR123", Entry::othersFile, false},
      {".status.json.tmp-HrD123", Entry::hardLink, false},
  };
  TempDir elsewhere;
  writeWholeFile(elsewhere.file("victim"), "root's");
  writeWholeFile(dir.file("kept"), "a file of root's with a second name");
  for (const auto& row : rows) {
    const std::string path = dir.file(row.name);
    switch (row.entry) {
      case Entry::ownFile: writeWholeFile(path, "{\"daemonRunning\":tr"); break;
      case Entry::link: ASSERT_EQ(symlink(elsewhere.file("victim").c_str(), path.c_str()), 0); break;
      case Entry::directory: ASSERT_EQ(mkdir(path.c_str(), 0777), 0); break;
      case Entry::fifo: ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); break;
      case Entry::othersFile:
        writeWholeFile(path, "theirs");
        if (chown(path.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "needs root to give a file away";
        break;
      case Entry::hardLink: ASSERT_EQ(link(dir.file("kept").c_str(), path.c_str()), 0); break;
    }
  }
  ASSERT_TRUE(startUp(dir.path()));
  for (const auto& row : rows) {
    struct stat st {};
    EXPECT_EQ(lstat(dir.file(row.name).c_str(), &st) != 0, row.removed) << row.name;
  }
  EXPECT_EQ(readWholeFile(elsewhere.file("victim")), "root's");
}

}  // namespace
