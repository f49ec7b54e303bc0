// Benchmarks of the battery reading: time and heap allocations per call, and
// how much of that the simulated registry's own objects account for.
#include <benchmark/benchmark.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include "battery/battery_reading.h"
#include "bench/counting_allocator.h"
#include "sim/simulated_mac.h"

static void reportAllocations(benchmark::State& state, int64_t before) {
  state.counters["allocs/call"] = benchmark::Counter(
      static_cast<double>(heapAllocations() - before) / static_cast<double>(state.iterations()));
}

// The whole reading: lookup, conversion, computation, releases.
static void BM_GetBatteryPercent(benchmark::State& state) {
  simmac::boot({});
  int64_t before = heapAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(getBatteryPercent());
  reportAllocations(state, before);
  auto counts = simmac::objectCounts();
  if (counts.cfLive != 0 || counts.ioLive != 0) state.SkipWithError("objects leaked");
}
BENCHMARK(BM_GetBatteryPercent);

// The simulated registry alone: what it allocates to hand out the dictionary.
static void BM_RegistryOnly(benchmark::State& state) {
  simmac::boot({});
  int64_t before = heapAllocations();
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
  int64_t before = heapAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(batteryReadingFromProperties(properties));
  reportAllocations(state, before);
}
BENCHMARK(BM_ReadingFromProperties);

BENCHMARK_MAIN();
