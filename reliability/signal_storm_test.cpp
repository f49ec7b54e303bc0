// SIGTERM and SIGINT at random moments (start-up, a pass, a key or status
// write, the sleep, the clean-up itself) to real hestled processes, four at a
// time, at speeds from real time to a million times faster. Every process
// that got past installing its handler exits 0 with the keys handed back, the
// clean-up line once and the termination record; one stopped before that has
// written no key and no status.
#include <atomic>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "reliability/reliability.h"
#include "processes.h"
#include "test_support.h"

namespace {

struct Target {
  TempDir dir;
  HestledRun run;
  ProcessEnd end;
};

void checkAftermath(const Target& t) {
  // daemon.log takes every line; standard error only what it could not.
  const std::string log = readWholeFile(t.run.dataDir + "/daemon.log") + readWholeFile(t.run.outputFile);
  SCOPED_TRACE("speed " + t.run.speed + ", " + readWholeFile(t.run.machineFile) + "\n" + log);
  ASSERT_TRUE(t.end.finished) << "hung";
  const auto lines = logLines(log);
  for (const auto& [name, value] : savedKeys(t.run.stateFile)) EXPECT_TRUE(allZeroHex(value)) << name << "=" << value;
  const auto status = decodeChargeStatus(readWholeFile(t.run.dataDir + "/status.json"));
  if (t.end.signalled) {  // by the default disposition: before the handler was installed
    EXPECT_TRUE(t.end.code == SIGTERM || t.end.code == SIGINT) << t.end.code;
    EXPECT_FALSE(status) << "a pass ran before the handler was installed";
    EXPECT_EQ(countLines(lines, "setAdapter: ") + countLines(lines, "setCharging: "), 0u);
    return;
  }
  EXPECT_EQ(t.end.code, 0);
  ASSERT_EQ(countLines(lines, "Clean shutdown: restoring all keys"), 1u);
  // Nothing but the restores' own lines after the clean-up line.
  for (auto it = std::find(lines.begin(), lines.end(), "Clean shutdown: restoring all keys") + 1; it != lines.end(); ++it)
    EXPECT_TRUE(it->rfind("setAdapter: ", 0) == 0 || it->rfind("setCharging: ", 0) == 0) << *it;
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, (ChargeStatus{false, false, false, std::nullopt, 0, status->lastUpdate}));
}

TEST(SignalStormTest, EveryStopIsCleanWhereverItLands) {
  const int wanted = runSize(120, 1000);
  const char* const machines[] = {R"({"firmware":"tahoe","battery":{"percent":95}})",
                                  R"({"firmware":"preTahoe","battery":{"percent":95}})",
                                  R"({"firmware":"tahoe-2026-09","battery":{"percent":95}})",
                                  R"({"firmware":"tahoe","battery":{"percent":10}})"};
  const char* const speeds[] = {"1", "1000", "100000", "1000000"};  // at 1e6 a signal mostly lands in a pass
  std::atomic<int> delivered = 0;
  std::mutex doneLock;
  std::vector<std::unique_ptr<Target>> done;
  std::vector<std::thread> workers;
  for (unsigned worker = 0; worker < 4; ++worker) {
    workers.emplace_back([&, worker] {
      std::mt19937 random(20261206 + worker);
      const auto pick = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
      while (delivered < wanted) {
        auto t = std::make_unique<Target>();
        std::filesystem::create_directory(t->dir.file("data"));
        writeWholeFile(t->dir.file("data/config.json"), limitConfig(80, pick(0, 3) == 0, 0, 0.0));
        writeWholeFile(t->dir.file("machine.json"), machines[pick(0, 3)]);
        t->run = {t->dir.file("data"), t->dir.file("machine.json"), t->dir.file("state.json"), t->dir.file("output"),
                  speeds[pick(0, 3)]};
        const pid_t pid = spawnHestled(t->run);
        // The first signal from before exec to well into the loop, then a
        // burst that may land in the clean-up itself.
        // Every other process is first seen running its loop, so that however
        // slow the machine, some stops land after the handler is in place.
        if (pick(0, 1) == 0) eventually([&] { return exists(t->dir.file("data/status.json")); });
        auto at = std::chrono::steady_clock::now() + std::chrono::microseconds(pick(0, 600000));
        for (int i = pick(1, 4); i > 0; --i, at += std::chrono::microseconds(pick(0, 3000))) {
          std::this_thread::sleep_until(at);
          delivered += kill(pid, pick(0, 1) ? SIGTERM : SIGINT) == 0;
        }
        t->end = waitForEnd(pid, std::chrono::seconds(20));
        const std::lock_guard lock(doneLock);
        done.push_back(std::move(t));
      }
    });
  }
  for (auto& worker : workers) worker.join();
  int clean = 0;
  for (const auto& t : done) {
    checkAftermath(*t);
    clean += !t->end.signalled;
  }
  std::printf("signal storm: %d deliveries to %zu processes; %d clean exits, %zu stopped before the handler\n",
              delivered.load(), done.size(), clean, done.size() - clean);
  EXPECT_GT(clean, static_cast<int>(done.size()) / 4);  // however loaded the machine
}

}  // namespace
