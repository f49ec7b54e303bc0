// hestle against what any local user can put in the data directory, and under
// concurrent use: bounded log reads, escaped output, kept members, no lost change.
#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/config_edit.h"
#include "cli/log_tail.h"
#include "cli/printable.h"
#include "store/charge_config.h"
#include "test_support.h"
#include "util/system_clock.h"

constexpr off_t kWindow = 2 * 1024 * 1024;
const std::string kConfig = encodeChargeConfig({false, 80, false, 30, 0.0}).value();

static int hestle(const std::string& dir, std::vector<std::string> args, std::string* out = nullptr,
           std::string* err = nullptr) {
  args.insert(args.begin(), {"--data-dir", dir});
  std::ostringstream o, e;
  const int status = runHestle(args, o, e);
  if (out) *out = o.str();
  if (err) *err = e.str();
  return status;
}

TEST(HestleHostileInput, LogReadsABoundedWindowWhateverTheFileHolds) {
  TempDir dir;
  const std::string path = dir.file("daemon.log");
  for (const std::string& last : {std::string(), std::string("\n[t] last\n")}) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);  // 1 GiB without a line feed, sparse
    ASSERT_EQ(pwrite(fd, last.data(), last.size(), off_t{1} << 30), static_cast<ssize_t>(last.size()));
    close(fd);
    std::string out;
    EXPECT_EQ(hestle(dir.path(), {"log", "-n", "1000000"}, &out), 0);
    // The window's NUL bytes, each as "\x00", or the one line there is.
    EXPECT_EQ(last.empty() ? std::to_string(out.size()) : out, last.empty() ? std::to_string(4 * kWindow) : last.substr(1));
  }
  // Following: what was appended since, at most its last 2 MiB.
  std::string error;
  auto log = openLog(path, error);
  ASSERT_TRUE(log);
  lastLines(*log, 1);
  writeWholeFile(path + ".more", std::string(3 * kWindow / 2, 'a') + std::string(kWindow, 'b'));
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(write(fd, readWholeFile(path + ".more").data(), 5 * kWindow / 2), 5 * kWindow / 2);
  close(fd);
  EXPECT_EQ(readAppended(*log, path), std::string(kWindow, 'b'));
  closeLog(*log);
}

TEST(HestleHostileInput, EveryControlCharacterAndBrokenUtf8IsEscaped) {
  const std::pair<std::string, std::string> rows[] = {
      {"\x1b[31mred", "\\x1B[31mred"},         {"csi \x9b" "2J", "csi \\x9B2J"},
      {"csi \xc2\x9b" "2J", "csi \\u009B2J"}, {"c1 \xc2\x80 \xc2\x9f", "c1 \\u0080 \\u009F"},
      {"del \x7f tab\t", "del \\x7F tab\\x09"}, {"caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x94\x8b", "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x94\x8b"},
      {"overlong \xc0\xaf \xe0\x80\xaf", "overlong \\xC0\\xAF \\xE0\\x80\\xAF"},
      {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80"}, {"beyond \xf4\x90\x80\x80", "beyond \\xF4\\x90\\x80\\x80"},
      {"cut \xe2\x80", "cut \\xE2\\x80"},      {std::string("nul\0", 4), "nul\\x00"},
      {"two\nlines\r\n", "two\nlines\\x0D\n"},
      {"rlo \xe2\x80\xae lri \xe2\x81\xa6 alm \xd8\x9c", "rlo \\u202E lri \\u2066 alm \\u061C"},
      {"zw \xe2\x80\x8b\xe2\x81\xa0\xef\xbb\xbf ls \xe2\x80\xa8 ps \xe2\x80\xa9 tag \xf3\xa0\x80\x81",
       "zw \\u200B\\u2060\\uFEFF ls \\u2028 ps \\u2029 tag \\U000E0001"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(printableText(in), out) << in;
  EXPECT_EQ(printableText("one\ntwo", false), "one\\x0Atwo");
  for (const auto& [text, tail] : std::vector<std::pair<std::string, size_t>>{
           {"ab\xe2\x80", 2}, {"ab\xe2\x80\x94", 0}, {"\xf0\x9f\x94", 3}, {"a\xc2", 1}, {"a", 0}, {"\x80", 0}})
    EXPECT_EQ(incompleteUtf8Tail(text), tail) << text;

  // End to end: a status file others could have written is reported forged,
  // never believed (this record from the future would say "running" for as
  // long as its file looks fresh); nothing of a planted phase reaches the terminal raw, in JSON either.
  TempDir dir;
  const std::string path = dir.file("status.json"), kept = dir.file("kept");
  for (const auto& [owner, mode, secondName, exit] : std::vector<std::tuple<uid_t, mode_t, bool, int>>{
           {65534, 0644, false, 1}, {0, 0666, false, 1}, {0, 0644, true, 1}, {0, 0644, false, 0}}) {
    unlink(path.c_str()), unlink(kept.c_str());
    writeWholeFile(path, encodeChargeStatus({true, false, true, "A\xc2\x9b" "2J\x7f", 80, systemWallSeconds() + 3600}).value());
    ASSERT_TRUE(chown(path.c_str(), owner, owner) == 0 && chmod(path.c_str(), mode) == 0 && (!secondName || link(path.c_str(), kept.c_str()) == 0));
    std::string out, json;
    EXPECT_TRUE(hestle(dir.path(), {"status"}, &out) == exit && hestle(dir.path(), {"status", "--json"}, &json) == exit) << out;
    EXPECT_EQ(out.find("status.json is FORGED") != std::string::npos, exit == 1) << out;
    EXPECT_TRUE(std::all_of(json.begin(), json.end(), [](char c) { return (c >= 0x20 && c < 0x7f) || c == '\n'; })) << json;
  }
}

// A change keeps the members hestle does not know, and a writer between its
// read and its write is not overwritten: the change is made again on top.
TEST(HestleHostileInput, ChangesKeepOtherMembersAndOtherWriters) {
  TempDir dir;
  const std::string extra = R"(,"future":{"a":[1,2.5,"\u00e9"]},"note":"kept")";
  writeWholeFile(dir.file("config.json"), kConfig.substr(0, kConfig.size() - 1) + extra + "}");
  ASSERT_EQ(hestle(dir.path(), {"limit", "70"}), 0);
  const auto j = nlohmann::json::parse(readWholeFile(dir.file("config.json")));
  EXPECT_TRUE(j["future"] == nlohmann::json::parse(R"({"a":[1,2.5,"é"]})") && j["note"] == "kept") << j;
  int calls = 0;
  bool lockNote = true;
  const std::string error = updateConfig(dir.path(), [&](ChargeConfig& c) {
    if (++calls == 1) writeWholeFile(dir.file("config.json"), encodeChargeConfig({false, 80, true, 9, 0.0}).value());
    c.chargeLimitEnabled = true;
  }, lockNote);
  EXPECT_TRUE(error == "" && !lockNote && calls == 2) << error;
  EXPECT_EQ(decodeChargeConfig(readWholeFile(dir.file("config.json"))), (ChargeConfig{true, 80, true, 9, 0.0}));
}

// Concurrent hestle processes changing different settings lose none, while
// nobody holds the lock of every directory: each change waits for the lock's
// time limit, no longer, and goes on without it.
TEST(HestleHostileInput, ConcurrentChangesUnderAHeldLockAreAllKept) {
  std::vector<std::unique_ptr<TempDir>> dirs(std::getenv("HESTLE_LONG_RUNS") ? 200 : 30);
  for (auto& dir : dirs) dir = std::make_unique<TempDir>(), writeWholeFile(dir->file("config.json"), kConfig);
  int held[2], go[2];
  ASSERT_EQ(pipe(held), 0);
  ProcessGuard holder{fork()};
  if (holder.pid == 0) {  // nobody, holding the locks until killed
    std::vector<int> fds;
    for (auto& dir : dirs) fds.push_back(open(dir->path().c_str(), O_RDONLY | O_DIRECTORY));
    bool locked = setgid(65534) == 0 && setuid(65534) == 0;
    for (int fd : fds) locked = locked && flock(fd, LOCK_EX) == 0;
    _exit(locked && write(held[1], "l", 1) == 1 ? pause() : 1);
  }
  char byte;
  ASSERT_TRUE(read(held[0], &byte, 1) == 1 && pipe(go) == 0);
  std::vector<pid_t> children;
  for (auto& dir : dirs)
    for (const auto& args : std::vector<std::vector<std::string>>{{"limit", "70"}, {"calibrate", "on", "--every", "7"}})
      if (std::string err; children.emplace_back(fork()) == 0 && close(go[1]) == 0)
        _exit(read(go[0], &byte, 1) == 0 && hestle(dir->path(), args, nullptr, &err) == 0 &&
              err.find("another process holds the settings lock") != std::string::npos ? 0 : 9);
  const auto start = std::chrono::steady_clock::now();
  close(go[0]), close(go[1]);  // all start at once
  for (int status = -1; const pid_t pid : children) EXPECT_TRUE(waitpid(pid, &status, 0) == pid && status == 0);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(waited >= kConfigLockWaitSeconds && waited < kConfigLockWaitSeconds + 20) << waited;
  const auto lost = std::count_if(dirs.begin(), dirs.end(), [](auto& dir) { return decodeChargeConfig(readWholeFile(dir->file("config.json"))) != ChargeConfig{true, 70, true, 7, 0.0}; });
  EXPECT_EQ(lost, 0) << dirs.size() << " pairs of changes under a held lock, " << waited << " s";
}
