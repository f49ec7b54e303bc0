// SIGTERM and SIGINT at random moments (start-up, a pass, a key or status
// write, the sleep, the clean-up itself) to real hestled processes, four at a
// time, at speeds from real time to a million times faster. Every process
// that got past installing its handler exits 0 with the keys handed back, the
// clean-up line once and the termination record; one stopped before that has
// written no key and no status.
#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "reliability/reliability.h"

// What a process that got `end` left in its data directory and state file.
static void checkAftermath(const HestledRun& run, const ProcessEnd& end) {
  // daemon.log takes every line; standard error only what it could not.
  const std::string log = readWholeFile(run.dataDir + "/daemon.log") + readWholeFile(run.outputFile);
  SCOPED_TRACE("speed " + run.speed + ", " + readWholeFile(run.machineFile) + "\n" + log);
  ASSERT_TRUE(end.finished) << "hung";
  const auto lines = logLines(log);
  EXPECT_EQ(heldKeys(run.stateFile), "");
  const auto status = decodeChargeStatus(readWholeFile(run.dataDir + "/status.json"));
  if (end.signalled) {  // by the default disposition: before the handler was installed, so no pass and no key
    EXPECT_TRUE(end.code == SIGTERM || end.code == SIGINT) << end.code;
    EXPECT_TRUE(!status && countLines(lines, "setAdapter: ") + countLines(lines, "setCharging: ") == 0);
    return;
  }
  EXPECT_EQ(end.code, 0);
  ASSERT_EQ(countLines(lines, "Clean shutdown: restoring all keys"), 1u);
  // Nothing but the restores' own lines after the clean-up line.
  for (auto it = std::find(lines.begin(), lines.end(), "Clean shutdown: restoring all keys") + 1; it != lines.end(); ++it)
    EXPECT_TRUE(it->rfind("setAdapter: ", 0) == 0 || it->rfind("setCharging: ", 0) == 0) << *it;
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, (ChargeStatus{false, false, false, std::nullopt, 0, status->lastUpdate}));
}

TEST(SignalStormTest, EveryStopIsCleanWhereverItLands) {
  const int wanted = runSize(120, 1000);
  const std::pair<std::string, int> machines[] = {{"tahoe", 95}, {"preTahoe", 95}, {"tahoe-2026-09", 95}, {"tahoe", 10}};
  const char* const speeds[] = {"1", "1000", "100000", "1000000"};  // at 1e6 a signal mostly lands in a pass
  std::atomic<int> delivered = 0, processes = 0, clean = 0;
  std::vector<std::thread> workers;
  for (unsigned worker = 0; worker < 4; ++worker) {
    workers.emplace_back([&, worker] {
      std::mt19937 random(20261206 + worker);
      const auto pick = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
      while (delivered < wanted) {
        const TempDir dir;
        std::filesystem::create_directory(dir.file("data"));
        writeWholeFile(dir.file("data/config.json"), settingsJson({true, 80, pick(0, 3) == 0, 0, 0.0, true}));
        const auto& [firmware, percent] = machines[pick(0, 3)];
        writeWholeFile(dir.file("machine.json"), R"({"firmware":")" + firmware + R"(","battery":{"percent":)" +
                                                     std::to_string(percent) + "}}");
        const HestledRun run{dir.file("data"), dir.file("machine.json"), dir.file("state.json"), dir.file("output"),
                             speeds[pick(0, 3)]};
        const pid_t pid = spawnHestled(run);
        // The first signal from before exec to well into the loop, then a
        // burst that may land in the clean-up itself.
        // Every other process is first seen running its loop, so that however
        // slow the machine, some stops land after the handler is in place.
        if (pick(0, 1) == 0) eventually([&] { return exists(dir.file("data/status.json")); });
        auto at = std::chrono::steady_clock::now() + std::chrono::microseconds(pick(0, 600000));
        for (int i = pick(1, 4); i > 0; --i, at += std::chrono::microseconds(pick(0, 3000))) {
          std::this_thread::sleep_until(at);
          delivered += kill(pid, pick(0, 1) ? SIGTERM : SIGINT) == 0;
        }
        const ProcessEnd end = waitForEnd(pid, std::chrono::seconds(20));
        checkAftermath(run, end);
        ++processes;
        clean += end.finished && !end.signalled;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  std::printf("signal storm: %d deliveries to %d processes; %d clean exits, %d stopped before the handler\n",
              delivered.load(), processes.load(), clean.load(), processes - clean);
  EXPECT_GT(clean, processes / 4);  // however loaded the machine
}
