// Benchmarks of the simulated Mac: the cost of one daemon-like pass (SMC
// exchanges, a battery properties dictionary, a ten-second wait) and the
// memory a million such passes leave behind.
#include <array>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include "platform/clock.h"
#include "sim/simulated_mac.h"

static long residentKiB() {
  long pages = 0, resident = 0;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static void exchange(io_connect_t conn, const char* key, uint8_t command, uint32_t size, uint8_t value) {
  std::array<uint8_t, 80> in{}, out{};
  uint32_t code = 0;
  for (int i = 0; i < 4; ++i) code = (code << 8) | static_cast<uint8_t>(key[i]);
  std::memcpy(&in[0], &code, 4);
  std::memcpy(&in[28], &size, 4);
  in[42] = command;
  in[48] = value;
  size_t outSize = out.size();
  IOConnectCallStructMethod(conn, 2, in.data(), in.size(), out.data(), &outSize);
}

// What a pass of the daemon asks of the platform, roughly.
static void runPass(io_connect_t conn, int wakeFd) {
  exchange(conn, "CHTE", 9, 0, 0);
  exchange(conn, "CHTE", 6, 4, 1);
  exchange(conn, "ACLC", 9, 0, 0);
  exchange(conn, "ACLC", 6, 1, 3);
  io_service_t battery = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSmartBattery"));
  CFMutableDictionaryRef props = nullptr;
  if (IORegistryEntryCreateCFProperties(battery, &props, kCFAllocatorDefault, 0) == kIOReturnSuccess && props) {
    const CFIndex n = CFDictionaryGetCount(props);
    std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
    CFDictionaryGetKeysAndValues(props, keys.data(), values.data());
    benchmark::DoNotOptimize(values.data());
    CFRelease(props);
  }
  IOObjectRelease(battery);
  waitForWake(wakeFd, 10.0);
}

static io_connect_t openSmc() {
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
  io_connect_t conn = 0;
  IOServiceOpen(service, mach_task_self(), 0, &conn);
  IOObjectRelease(service);
  return conn;
}

static void BM_DaemonPass(benchmark::State& state) {
  simmac::boot({});
  simmac::setRecordSmcExchanges(state.range(0) != 0);
  int fds[2];
  if (pipe(fds) != 0) state.SkipWithError("pipe");
  const io_connect_t conn = openSmc();
  for (auto _ : state) runPass(conn, fds[0]);
  IOServiceClose(conn);
  close(fds[0]);
  close(fds[1]);
}
BENCHMARK(BM_DaemonPass)->Arg(0)->Arg(1);

// A million passes with the record off: resident memory after the first
// hundred thousand and after the million (should not grow), live objects left.
static void BM_MillionPassesMemory(benchmark::State& state) {
  for (auto _ : state) {
    simmac::boot({});
    simmac::setRecordSmcExchanges(false);
    int fds[2];
    if (pipe(fds) != 0) state.SkipWithError("pipe");
    const io_connect_t conn = openSmc();
    long warm = 0;
    for (int pass = 0; pass < 1000000; ++pass) {
      runPass(conn, fds[0]);
      if (pass == 100000) warm = residentKiB();
    }
    state.counters["rssKiB_100k"] = static_cast<double>(warm);
    state.counters["rssKiB_1M"] = static_cast<double>(residentKiB());
    IOServiceClose(conn);
    const auto counts = simmac::objectCounts();
    state.counters["cfLive"] = static_cast<double>(counts.cfLive);
    state.counters["ioLive"] = static_cast<double>(counts.ioLive);
    close(fds[0]);
    close(fds[1]);
  }
}
BENCHMARK(BM_MillionPassesMemory)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
