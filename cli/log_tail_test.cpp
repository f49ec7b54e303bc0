// Tests of reading daemon.log from its end and following it, on real files.
#include "cli/log_tail.h"

#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

void appendTo(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << bytes;
}

OpenLog mustOpen(const std::string& path) {
  std::string error;
  auto log = openLog(path, error);
  EXPECT_TRUE(log.has_value()) << error;
  return log.value_or(OpenLog{});
}

TEST(HestleLogTail, LastLines) {
  struct Case {
    std::string content;
    int64_t count;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", 5, ""},
      {"a\nb\nc\n", 0, ""},
      {"a\nb\nc\n", 1, "c\n"},
      {"a\nb\nc\n", 2, "b\nc\n"},
      {"a\nb\nc\n", 3, "a\nb\nc\n"},
      {"a\nb\nc\n", 10, "a\nb\nc\n"},
      {"a\nb\nc", 1, "c"},  // a last line still being written counts
      {"a\nb\nc", 2, "b\nc"},
      {"\n\n\n", 2, "\n\n"},
      {"only\n", 1, "only\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    writeWholeFile(dir.file("daemon.log"), c.content);
    OpenLog log = mustOpen(dir.file("daemon.log"));
    EXPECT_EQ(lastLines(log, c.count), c.expected) << c.count;
    EXPECT_EQ(log.offset, static_cast<off_t>(c.content.size()));
    closeLog(log);
  }
}

TEST(HestleLogTail, LastLinesOfALogLargerThanOneRead) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 30000; ++i) content += "[2026-12-04 20:53:30] line " + std::to_string(i) + "\n";
  ASSERT_GT(content.size(), 4u * 64 * 1024);
  writeWholeFile(dir.file("daemon.log"), content);
  OpenLog log = mustOpen(dir.file("daemon.log"));
  std::string tail = lastLines(log, 20000);
  EXPECT_EQ(tail, content.substr(content.find("] line 10000\n") - 20));
  EXPECT_EQ(lastLines(log, 30000), content);
  closeLog(log);
}

TEST(HestleLogTail, FollowsAppendsTruncationAndReplacement) {
  TempDir dir;
  const std::string path = dir.file("daemon.log");
  writeWholeFile(path, "old 1\nold 2\n");
  OpenLog log = mustOpen(path);
  EXPECT_EQ(lastLines(log, 1), "old 2\n");
  EXPECT_EQ(readAppended(log, path), "");

  appendTo(path, "new 1\npart");
  EXPECT_EQ(readAppended(log, path), "new 1\npart");
  appendTo(path, "ial\n");
  EXPECT_EQ(readAppended(log, path), "ial\n");

  // The daemon empties an oversized log at start: read on from the start.
  appendTo(path, std::string(200, 'x') + "\n");
  EXPECT_EQ(readAppended(log, path).size(), 201u);
  writeWholeFile(path, "[t] === hestle_warden starting ===\n");
  EXPECT_EQ(readAppended(log, path), "[t] === hestle_warden starting ===\n");

  // Replaced by another file: its last words, then the new file from its start.
  appendTo(path, "last\n");
  ASSERT_EQ(std::rename(path.c_str(), dir.file("daemon.log.1").c_str()), 0);
  writeWholeFile(path, "fresh\n");
  EXPECT_EQ(readAppended(log, path), "last\nfresh\n");
  appendTo(path, "more\n");
  EXPECT_EQ(readAppended(log, path), "more\n");

  // Removed: nothing more to read, and no failure.
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(readAppended(log, path), "");
  closeLog(log);
}

TEST(HestleLogTail, OpensOnlyRegularFilesWithoutBlocking) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(openLog(dir.file("absent"), error).has_value());
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;

  writeWholeFile(dir.file("real.log"), "secret\n");
  ASSERT_EQ(symlink(dir.file("real.log").c_str(), dir.file("link.log").c_str()), 0);
  EXPECT_FALSE(openLog(dir.file("link.log"), error).has_value());

  ASSERT_EQ(mkfifo(dir.file("fifo.log").c_str(), 0644), 0);
  EXPECT_FALSE(openLog(dir.file("fifo.log"), error).has_value());  // returns at once
  EXPECT_EQ(error, dir.file("fifo.log") + " is not a regular file");
}

}  // namespace
