// What one control-loop pass costs, state by state, next to the floor: the
// system calls and IOKit exchanges that such a pass cannot do without, made
// back to back. Time and heap allocations per pass.
//
// The data directory is a fresh one under $HESTLE_BENCH_DIR (default
// /dev/shm, else /tmp), so the same binary measures tmpfs and a disk.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include "bench/counting_allocator.h"
#include "bench/settings_texts.h"
#include "daemon/control_loop.h"
#include "daemon/globals.h"
#include "platform/clock.h"
#include "sim/simulated_mac.h"
#include "smc/smc_client.h"
#include "smc/smc_protocol.h"
#include "store/log.h"

namespace {

// One typical state of a running daemon.
struct PassCase {
  const char* name;
  const char* config;      // content of config.json; nullptr: no file
  double percent;          // battery state of charge
  bool holding;            // a calibration cycle is in its hold at 100%
  int smcExchanges;        // per pass once the state is reached (2 per LED write)
  const char* statusText;  // what status.json holds (its length is what the floor writes)
};

const PassCase kCases[] = {
    {"R1_limitOff", kLimitOff, 80, false, 0,
     R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":false,"batteryPercent":80,"lastUpdate":1796417610})"},
    {"R1_noConfig", nullptr, 80, false, 0,
     R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":false,"batteryPercent":80,"lastUpdate":1796417610})"},
    {"R1_malformedConfig", kMalformed, 80, false, 0,
     R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":false,"batteryPercent":80,"lastUpdate":1796417610})"},
    {"R5_atLimit", kLimitOn, 80, false, 2,
     R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":false,"batteryPercent":80,"lastUpdate":1796417610})"},
    {"R4_aboveLimit", kLimitOn, 90, false, 2,
     R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":false,"batteryPercent":90,"lastUpdate":1796417610})"},
    {"CalibrationHolding", kCalibrating, 100, true, 2,
     R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":true,"calibrationPhase":"Holding at 100%","batteryPercent":100,"lastUpdate":1796417610})"},
};

// The state line goes out every thirtieth pass; both log and floor write it.
constexpr int kStateLineEvery = 30;
constexpr const char* kStateLine =
    "[2026-12-04 20:53:30] State: battery=80% plugged=true charging=false | limit: enabled=true target=80% | "
    "inhibited=true adapterOff=false | cal=Idle\n";

std::string benchParent() {
  if (const char* dir = std::getenv("HESTLE_BENCH_DIR"); dir && *dir) return dir;
  struct stat st {};
  return stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
}

// A private data directory, removed at the end of the benchmark.
struct DataDir {
  std::string path;
  DataDir() {
    std::string tmpl = benchParent() + "/hestle-bench-XXXXXX";
    if (mkdtemp(tmpl.data())) path = tmpl;
  }
  ~DataDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

// Standard error goes to /dev/null while passes log (every log line is
// copied there), and comes back for the benchmark's own report.
struct QuietStderr {
  int saved = dup(STDERR_FILENO);
  QuietStderr() {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, STDERR_FILENO);
      close(null);
    }
  }
  ~QuietStderr() {
    if (saved >= 0) {
      dup2(saved, STDERR_FILENO);
      close(saved);
    }
  }
};

void writeFile(const std::string& path, const char* text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fputs(text, f);
  std::fclose(f);
}

std::string readFile(const std::string& path) {
  std::string text;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

// Boots the machine and starts the daemon as hestled does, minus the loop.
bool startDaemon(const PassCase& c, const std::string& dir) {
  simmac::BatterySpec battery;
  battery.percent = c.percent;
  simmac::MachineSpec spec;
  spec.battery = battery;
  simmac::boot(spec);
  simmac::setRecordSmcExchanges(false);
  if (logFile >= 0) close(logFile);
  logFile = -1;
  initGlobals(dir);
  umask(0);  // as start-up sets it: files are created with their mode
  creationMaskCleared = true;
  loopCount = 0;
  logInit();
  if (!smcOpen()) return false;
  detectFirmware();
  if (c.config) writeFile(configPath, c.config);
  if (c.holding) {
    calPhase = CalibrationPhase::holding;
    // 61.5 minutes left: not a multiple of ten, so the hold logs nothing.
    calHoldEndTime = wallClockNow() + 61.5 * 60.0;
  }
  // The first passes make the state's transitions (inhibit, adapter off).
  for (int i = 0; i < 3; ++i) runControlLoopPass();
  return true;
}

// One more pass with the exchange record on: the state holds, and the pass
// makes exactly the exchanges the floor makes.
std::optional<std::string> checkSteadyState(const PassCase& c) {
  simmac::clearSmcExchanges();
  simmac::setRecordSmcExchanges(true);
  runControlLoopPass();
  simmac::setRecordSmcExchanges(false);
  const auto exchanges = static_cast<int>(simmac::smcExchanges().size());
  simmac::clearSmcExchanges();
  if (exchanges != c.smcExchanges)
    return "SMC exchanges per pass: " + std::to_string(exchanges) + ", expected " + std::to_string(c.smcExchanges);
  std::string status = readFile(statusPath);
  std::string expected = c.statusText;
  // lastUpdate is virtual time and does not move between passes.
  if (status != expected) return "status.json holds " + status;
  return std::nullopt;
}

void reportPerPass(benchmark::State& state, int64_t allocationsBefore) {
  const auto passes = static_cast<double>(state.iterations());
  state.counters["allocs/pass"] = static_cast<double>(heapAllocations() - allocationsBefore) / passes;
}

void passBenchmark(benchmark::State& state, const PassCase& c) {
  DataDir dir;
  if (dir.path.empty()) {
    state.SkipWithError("no data directory");
    return;
  }
  std::optional<std::string> error;
  {
    QuietStderr quiet;
    if (!startDaemon(c, dir.path)) {
      error = "smcOpen failed";
    } else {
      const int64_t before = heapAllocations();
      for (auto _ : state) runControlLoopPass();
      reportPerPass(state, before);
      error = checkSteadyState(c);
    }
    if (logFile >= 0) close(logFile);
    logFile = -1;
  }
  if (error) state.SkipWithError(error->c_str());
}

// ---- The floor ---------------------------------------------------------------

// The properties of "AppleSmartBattery", taken and released.
void readBatteryRegistry() {
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSmartBattery"));
  CFMutableDictionaryRef properties = nullptr;
  if (IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0) == kIOReturnSuccess &&
      properties)
    CFRelease(properties);
  IOObjectRelease(service);
}

// One LED write: key info, then the write, as two bare exchanges.
void writeLedExchanges(io_connect_t conn) {
  SMCParamStruct input{};
  SMCParamStruct output{};
  input.key = KEY_ACLC;
  input.command = kSMCCommandReadKeyInfo;
  smc_call(conn, &input, &output);
  const uint32_t size = output.valueSize;
  std::memset(&input, 0, sizeof input);
  std::memset(&output, 0, sizeof output);
  input.key = KEY_ACLC;
  input.valueSize = size;
  input.command = kSMCCommandWriteBytes;
  input.data[0] = LED_GREEN;
  smc_call(conn, &input, &output);
}

// The settings are read only when they changed: one fstatat a pass.
void readSettings(const std::string& path) {
  struct stat st {};
  benchmark::DoNotOptimize(fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW));
}

// A fresh file of the status's size and mode, renamed over the status.
void writeStatusFile(const std::string& tmp, const std::string& path, const char* text, size_t length) {
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  benchmark::DoNotOptimize(write(fd, text, length));
  close(fd);
  rename(tmp.c_str(), path.c_str());
}

void floorBenchmark(benchmark::State& state, const PassCase& c) {
  DataDir dir;
  if (dir.path.empty()) {
    state.SkipWithError("no data directory");
    return;
  }
  QuietStderr quiet;
  simmac::boot({});
  simmac::setRecordSmcExchanges(false);
  initGlobals(dir.path);
  umask(0);
  io_connect_t conn = 0;
  if (smc_open(&conn) != KERN_SUCCESS) {
    state.SkipWithError("smc_open failed");
    return;
  }
  if (c.config) writeFile(configPath, c.config);
  const std::string tmp = statusPath + ".tmp";
  const size_t statusLength = std::strlen(c.statusText);
  const size_t lineLength = std::strlen(kStateLine);
  const int log = open((dir.path + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int64_t pass = 0;
  const int64_t before = heapAllocations();
  for (auto _ : state) {
    readSettings(configPath);
    readBatteryRegistry();
    if (pass++ % kStateLineEvery == 0) {
      benchmark::DoNotOptimize(write(STDERR_FILENO, kStateLine, lineLength));
      benchmark::DoNotOptimize(write(log, kStateLine, lineLength));
    }
    for (int i = 0; i < c.smcExchanges / 2; ++i) writeLedExchanges(conn);
    benchmark::DoNotOptimize(wallClockNow());
    writeStatusFile(tmp, statusPath, c.statusText, statusLength);
  }
  reportPerPass(state, before);
  if (log >= 0) close(log);
  IOServiceClose(conn);
}

// VmHWM of this process in KiB (0 where /proc is missing).
long peakResidentKiB() {
  long kib = 0;
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "VmHWM: %ld", &kib) == 1) break;
    std::fclose(f);
  }
  return kib;
}

// `--state=NAME --passes=N`: starts the daemon in that state and runs N
// passes, nothing else, so that a tracer sees only them (N = 0 gives the
// start-up alone, to subtract); prints the peak RSS in KiB.
int runPassesOnly(const std::string& name, long passes) {
  for (const PassCase& c : kCases) {
    if (name != c.name) continue;
    DataDir dir;
    QuietStderr quiet;
    if (dir.path.empty() || !startDaemon(c, dir.path)) return 1;
    for (long i = 0; i < passes; ++i) runControlLoopPass();
    if (checkSteadyState(c)) return 1;
    std::printf("%ld\n", peakResidentKiB());
    return 0;
  }
  std::fprintf(stderr, "no state %s\n", name.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strncmp(argv[1], "--state=", 8) == 0 && std::strncmp(argv[2], "--passes=", 9) == 0)
    return runPassesOnly(argv[1] + 8, std::strtol(argv[2] + 9, nullptr, 10));
  for (const PassCase& c : kCases) {
    benchmark::RegisterBenchmark((std::string("Pass/") + c.name).c_str(), passBenchmark, c);
    benchmark::RegisterBenchmark((std::string("Floor/") + c.name).c_str(), floorBenchmark, c);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
