// Benchmarks of the battery reading: time and heap allocations per call, and
// how much of that the simulated registry's own objects account for.
#include <atomic>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include "battery/battery_reading.h"
#include "sim/simulated_mac.h"

static std::atomic<long> allocations{0};

// g++ 12 takes the replaced pair below for a mismatch once it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

static void reportAllocations(benchmark::State& state, long before) {
  state.counters["allocs/call"] = benchmark::Counter(
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
}

// The whole reading: lookup, conversion, computation, releases.
static void BM_GetBatteryPercent(benchmark::State& state) {
  simmac::boot({});
  long before = allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(getBatteryPercent());
  reportAllocations(state, before);
  auto counts = simmac::objectCounts();
  if (counts.cfLive != 0 || counts.ioLive != 0) state.SkipWithError("objects leaked");
}
BENCHMARK(BM_GetBatteryPercent);

// The simulated registry alone: what it allocates to hand out the dictionary.
static void BM_RegistryOnly(benchmark::State& state) {
  simmac::boot({});
  long before = allocations.load();
  for (auto _ : state) {
    io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSmartBattery"));
    CFMutableDictionaryRef properties = nullptr;
    if (IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0) == kIOReturnSuccess &&
        properties)
      CFRelease(properties);
    IOObjectRelease(service);
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_RegistryOnly);

// The computation on a ready map.
static void BM_ReadingFromProperties(benchmark::State& state) {
  BatteryProperties properties{{"AppleRawCurrentCapacity", int64_t{4000}}, {"CurrentCapacity", int64_t{80}},
                               {"AppleRawMaxCapacity", int64_t{5000}},     {"MaxCapacity", int64_t{100}},
                               {"ExternalConnected", true},                {"IsCharging", false}};
  long before = allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(batteryReadingFromProperties(properties));
  reportAllocations(state, before);
}
BENCHMARK(BM_ReadingFromProperties);

BENCHMARK_MAIN();
