// Reading daemon.log from its end and following it, on real files.
#include "cli/log_tail.h"

#include <cstdio>
#include <unistd.h>

#include "test_support.h"

TEST(HestleLogTail, LastLines) {
  std::string big;  // larger than one read from the end
  for (int i = 0; i < 30000; ++i) big += "[2026-12-04 20:53:30] line " + std::to_string(i) + "\n";
  const std::tuple<std::string, int64_t, std::string> rows[] = {
      {"", 5, ""},           {"a\nb\nc\n", 0, ""},         {"a\nb\nc\n", 1, "c\n"},
      {"a\nb\nc\n", 2, "b\nc\n"}, {"a\nb\nc\n", 10, "a\nb\nc\n"}, {"a\nb\nc", 2, "b\nc"},  // a line being written counts
      {"\n\n\n", 2, "\n\n"}, {big, 20000, big.substr(big.find("] line 10000\n") - 20)}, {big, 30000, big},
  };
  TempDir dir;
  for (const auto& [content, count, expected] : rows) {
    writeWholeFile(dir.file("daemon.log"), content);
    std::string error;
    auto log = openLog(dir.file("daemon.log"), error);
    ASSERT_TRUE(log.has_value()) << error;
    EXPECT_EQ(lastLines(*log, count), expected) << count;
    EXPECT_EQ(log->offset, static_cast<off_t>(content.size()));
    closeLog(*log);
  }
}

TEST(HestleLogTail, FollowsAppendsTruncationReplacementAndRemoval) {
  TempDir dir;
  const std::string path = dir.file("daemon.log");
  writeWholeFile(path, "old 1\nold 2\n");
  std::string error;
  auto log = openLog(path, error);
  ASSERT_TRUE(log.has_value()) << error;
  EXPECT_EQ(lastLines(*log, 1), "old 2\n");
  const std::pair<std::function<void()>, std::string> steps[] = {
      {[] {}, ""},
      {[&] { appendToFile(path, "new 1\npart"); }, "new 1\npart"},
      {[&] { appendToFile(path, "ial\n"); }, "ial\n"},
      {[&] { writeWholeFile(path, "[t] start\n"); }, "[t] start\n"},  // emptied, then written: from the start
      {[&] {
         appendToFile(path, "last\n");
         std::rename(path.c_str(), (path + ".1").c_str());
         writeWholeFile(path, "fresh\n");
       },
       "last\nfresh\n"},  // replaced: the old file's last words, then the new one
      {[&] { appendToFile(path, "more\n"); }, "more\n"},
      {[&] { unlink(path.c_str()); }, ""},
  };
  for (const auto& [change, expected] : steps) {
    change();
    EXPECT_EQ(readAppended(*log, path), expected);
  }
  closeLog(*log);
}
