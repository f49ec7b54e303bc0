// Runs hestled's loop in one state on the simulated Mac, in virtual time,
// for scripts/instructions.sh to count under callgrind:
//
//   pass_instructions STATE N
//
// starts the daemon as hestled does, lets the state settle, then runs N
// iterations of the loop (a pass and the wait after it) inside
// measuredPasses(), the one function that callgrind collects; for
// "sleepWake" every iteration closes the lid for an hour first, so it is a
// sleep, a wake and the pass after it. The battery neither charges nor
// drains, so the state holds for any N. Exits 1 for an unknown state.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "bench/settings_texts.h"
#include "daemon/control_loop.h"
#include "daemon/pass_wait.h"
#include "daemon/shutdown.h"
#include "daemon/startup.h"
#include "sim/simulated_mac.h"
#include "state/globals.h"

namespace {

struct State {
  std::string_view name;
  const char* config;  // content of config.json; nullptr: no file
  double percent;
  simmac::Firmware firmware;
  bool sleepWake;
};

constexpr State kStates[] = {
    {"limitOff", kLimitOff, 80, simmac::Firmware::tahoe, false},
    {"noConfig", nullptr, 80, simmac::Firmware::tahoe, false},
    {"malformedConfig", kMalformed, 80, simmac::Firmware::tahoe, false},
    {"atLimit", kLimitOn, 80, simmac::Firmware::tahoe, false},
    {"aboveLimit", kLimitOn, 90, simmac::Firmware::tahoe, false},
    // Calibration due at once: it reaches 100% on the first pass and holds
    // for two hours, 720 passes.
    {"calibrationHold", kCalibrating, 100, simmac::Firmware::tahoe, false},
    {"adapterOnlyAtLimit", kLimitOn, 80, simmac::Firmware::tahoe202609, false},
    {"sleepWake", kLimitOn, 80, simmac::Firmware::tahoe, true},
};

constexpr double kPassInterval = 10.0;

}  // namespace

// Not static and never inlined: callgrind collects this function alone.
__attribute__((noinline)) void measuredPasses(long count, bool sleepWake) {
  for (long i = 0; i < count; ++i) {
    if (sleepWake) simmac::closeLid(3600.0);
    runControlLoopPass();
    waitForNextPass(kPassInterval);
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pass_instructions STATE N\n");
    return 2;
  }
  const std::string_view name = argv[1];
  const long count = std::strtol(argv[2], nullptr, 10);
  for (const State& s : kStates) {
    if (s.name != name) continue;
    std::string dir = (std::filesystem::temp_directory_path() / "hestle-instructions-XXXXXX").string();
    if (!mkdtemp(dir.data())) return 1;
    simmac::BatterySpec battery;
    battery.percent = s.percent;
    battery.chargePerHour = battery.drainPerHour = battery.sleepDrainPerHour = 0.0;
    simmac::MachineSpec spec;
    spec.firmware = s.firmware;
    spec.battery = battery;
    simmac::boot(spec);
    simmac::setRecordSmcExchanges(false);
    if (s.config) {
      if (std::FILE* f = std::fopen((dir + "/config.json").c_str(), "wb")) {
        std::fputs(s.config, f);
        std::fclose(f);
      }
    }
    int status = 1;
    if (startUp(dir)) {
      for (int i = 0; i < 3; ++i) {  // the state's transitions happen here
        runControlLoopPass();
        waitForNextPass(kPassInterval);
      }
      measuredPasses(count, s.sleepWake);
      cleanShutdown();
      status = 0;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
  }
  std::fprintf(stderr, "pass_instructions: no state %s\n", argv[1]);
  return 1;
}
