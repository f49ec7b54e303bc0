// A storm of SIGTERM and SIGINT deliveries at random moments (start-up, a busy
// pass, a status or key write, the sleep, the clean-up itself) to real hestled
// processes. Every process that got past installing its handler exits 0 with
// the keys handed back and the termination record published; one stopped
// before that has written no key and no status.
// HESTLE_STORM_DELIVERIES sets the number of deliveries (default 240).
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store/charge_status.h"
#include "test_support.h"

namespace {

struct Target {
  std::unique_ptr<TempDir> dir;
  HestledRun run;
  pid_t pid = -1;
  std::vector<std::pair<std::chrono::steady_clock::time_point, int>> signals;  // when, which
  size_t nextSignal = 0;
  int delivered = 0;
  ProcessEnd end;
  bool ended = false;
};

int deliveriesWanted() {
  const char* text = std::getenv("HESTLE_STORM_DELIVERIES");
  const int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : 240;
}

const char* const kMachines[] = {
    R"({"firmware":"tahoe","battery":{"percent":95,"pluggedIn":true}})",
    R"({"firmware":"preTahoe","battery":{"percent":95,"pluggedIn":true}})",
    R"({"firmware":"tahoe-2026-09","battery":{"percent":95,"pluggedIn":true}})",
    R"({"firmware":"tahoe","battery":{"percent":10,"pluggedIn":true}})",
};
// From all-sleep to all-work: at 1e6 a ten-second wait is 10 µs, so a signal
// mostly lands inside a pass (a key write, the status write, the log).
const char* const kSpeeds[] = {"1", "1000", "100000", "1000000"};

std::unique_ptr<Target> makeTarget(std::mt19937& random) {
  auto t = std::make_unique<Target>();
  t->dir = std::make_unique<TempDir>();
  const TempDir& d = *t->dir;
  std::filesystem::create_directories(d.file("data"));
  const bool calibrating = std::uniform_int_distribution<int>(0, 3)(random) == 0;
  writeWholeFile(d.file("data/config.json"), limitConfig(80, calibrating, 0, 0.0));
  writeWholeFile(d.file("machine.json"), kMachines[std::uniform_int_distribution<size_t>(0, 3)(random)]);
  t->run = {d.file("data"), d.file("machine.json"), d.file("state.json"), d.file("output"),
            kSpeeds[std::uniform_int_distribution<size_t>(0, 3)(random)]};
  // The first signal anywhere from before exec to well into the loop; then a
  // burst that may land in the clean-up itself.
  const auto now = std::chrono::steady_clock::now();
  auto at = now + std::chrono::microseconds(std::uniform_int_distribution<int>(0, 600000)(random));
  const int count = std::uniform_int_distribution<int>(1, 4)(random);
  for (int i = 0; i < count; ++i) {
    t->signals.push_back({at, std::uniform_int_distribution<int>(0, 1)(random) ? SIGTERM : SIGINT});
    at += std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random));
  }
  return t;
}

// What a process must have left behind, by how it ended.
void checkAftermath(const Target& t) {
  SCOPED_TRACE("speed " + t.run.speed + ", " + readWholeFile(t.run.machineFile));
  ASSERT_TRUE(t.end.finished) << "hung: " << readWholeFile(t.run.outputFile);
  const auto keys = savedKeys(t.run.stateFile);
  const auto lines = logLines(readWholeFile(t.run.outputFile));
  const std::string statusPath = t.run.dataDir + "/status.json";
  if (t.end.signalled) {
    // Killed by the default disposition: before the handler was installed.
    EXPECT_TRUE(t.end.code == SIGTERM || t.end.code == SIGINT) << t.end.code;
    for (const auto& [name, value] : keys) EXPECT_TRUE(allZeroHex(value)) << name << "=" << value;
    EXPECT_FALSE(std::filesystem::exists(statusPath)) << "a pass ran before the handler was installed";
    EXPECT_EQ(countLines(lines, "setAdapter: "), 0u);
    EXPECT_EQ(countLines(lines, "setCharging: "), 0u);
    return;
  }
  EXPECT_EQ(t.end.code, 0) << readWholeFile(t.run.outputFile);
  EXPECT_EQ(countLines(lines, "Starting main loop"), 1u);
  ASSERT_EQ(countLines(lines, "Clean shutdown: restoring all keys"), 1u) << readWholeFile(t.run.outputFile);
  // Nothing but the restores' own lines after the clean-up line.
  const auto shutdown = std::find(lines.begin(), lines.end(), "Clean shutdown: restoring all keys");
  for (auto it = shutdown + 1; it != lines.end(); ++it)
    EXPECT_TRUE(it->rfind("setAdapter: ", 0) == 0 || it->rfind("setCharging: ", 0) == 0) << *it;
  for (const auto& [name, value] : keys) EXPECT_TRUE(allZeroHex(value)) << name << "=" << value;
  const auto status = decodeChargeStatus(readWholeFile(statusPath));
  ASSERT_TRUE(status.has_value()) << readWholeFile(statusPath);
  EXPECT_FALSE(status->daemonRunning);
  EXPECT_FALSE(status->chargingInhibited);
  EXPECT_FALSE(status->calibrationActive);
  EXPECT_FALSE(status->calibrationPhase.has_value());
  EXPECT_EQ(status->batteryPercent, 0);
}

TEST(SignalStormTest, EveryStopIsCleanWhereverItLands) {
  const int wanted = deliveriesWanted();
  std::mt19937 random(20261206);
  constexpr size_t kConcurrent = 4;
  std::vector<std::unique_ptr<Target>> running, done;
  int delivered = 0, started = 0;
  while (delivered < wanted || !running.empty()) {
    while (delivered + 4 * static_cast<int>(running.size()) < wanted && running.size() < kConcurrent) {
      auto t = makeTarget(random);
      const auto shift = std::chrono::steady_clock::now();
      t->pid = spawnHestled(t->run);
      ASSERT_GT(t->pid, 0);
      for (auto& s : t->signals) s.first += std::chrono::steady_clock::now() - shift;
      ++started;
      running.push_back(std::move(t));
    }
    const auto now = std::chrono::steady_clock::now();
    for (auto& t : running) {
      while (!t->ended && t->nextSignal < t->signals.size() && t->signals[t->nextSignal].first <= now) {
        if (kill(t->pid, t->signals[t->nextSignal].second) == 0) {
          ++t->delivered;
          ++delivered;
        }
        ++t->nextSignal;
      }
      if (!t->ended && pollEnd(t->pid, t->end)) t->ended = true;
      // A process that has had all its signals gets a deadline.
      if (!t->ended && t->nextSignal == t->signals.size() &&
          now - t->signals.back().first > std::chrono::seconds(20)) {
        t->end = waitForEnd(t->pid, std::chrono::milliseconds(0));
        t->ended = true;
      }
    }
    for (auto it = running.begin(); it != running.end();) {
      if ((*it)->ended) {
        done.push_back(std::move(*it));
        it = running.erase(it);
      } else {
        ++it;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  int clean = 0, early = 0;
  for (const auto& t : done) {
    checkAftermath(*t);
    (t->end.signalled ? early : clean) += 1;
  }
  std::printf("signal storm: %d deliveries to %d processes; %d clean exits, %d stopped before the handler\n",
              delivered, started, clean, early);
  EXPECT_GE(delivered, wanted);
  // However loaded the machine, a good share of the stops land after start-up.
  EXPECT_GT(clean, started / 4);
}

}  // namespace
