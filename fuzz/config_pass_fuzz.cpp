// libFuzzer target: whole control-loop passes of the real daemon on the
// simulated Mac, driven by a fuzzed "config.json". Whatever the file holds,
// the pass completes, publishes a valid status, leaks no IOKit/CF object,
// keeps its flags equal to what the controller holds, and regulates exactly
// as the settings the parser accepts (or the defaults) say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "daemon/control_loop.h"
#include "daemon/globals.h"
#include "sim/simulated_mac.h"
#include "smc/smc_client.h"
#include "store/charge_config.h"
#include "store/charge_status.h"
#include "util/posix_io.h"

static std::string dataDir;

static void check(bool ok, const char* what) {
  if (ok) return;
  [[maybe_unused]] ssize_t n = write(2, what, strlen(what));
  n = write(2, "\n", 1);
  abort();
}

static void writeSettings(const uint8_t* data, size_t size) {
  const std::string path = dataDir + "/config.json";
  const int fd = openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  check(fd >= 0, "cannot write config.json");
  check(writeAll(fd, std::string_view(reinterpret_cast<const char*>(data), size)), "short write of config.json");
  close(fd);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A memory file system when there is one: on ext4 the status file's
  // rename waits for a flush, which would cut the executions tenfold.
  std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm/hestle-fuzz-XXXXXX" : "/tmp/hestle-fuzz-XXXXXX";
  check(mkdtemp(tmpl.data()) != nullptr, "mkdtemp failed");
  dataDir = tmpl;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(dataDir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A fresh machine per input; the battery's level and the family vary with
  // the input so that every row of the regulation table is reached.
  simmac::MachineSpec spec;
  spec.firmware = size % 2 ? simmac::Firmware::tahoe : simmac::Firmware::preTahoe;
  spec.battery->percent = static_cast<double>(size % 103);
  spec.battery->pluggedIn = size % 7 != 0;
  simmac::boot(spec);
  simmac::setRecordSmcExchanges(false);
  initGlobals(dataDir);  // no log file: lines go to standard error only
  check(smcOpen(), "smcOpen failed");
  detectFirmware();
  writeSettings(data, size);
  const auto parsed = decodeChargeConfig(std::string_view(reinterpret_cast<const char*>(data), size));
  const ChargeConfig settings = size <= 65536 && parsed ? *parsed : ChargeConfig{};

  for (int pass = 0; pass < 3; ++pass) {
    runControlLoopPass();
    check(currentlyInhibited == simmac::chargeInhibited(), "currentlyInhibited differs from the controller");
    check(adapterDisabled == simmac::adapterDisabled(), "adapterDisabled differs from the controller");
    check(simmac::objectCounts().cfLive == 0, "CF objects outstanding");
    const auto status = decodeChargeStatus([&] {
      std::string bytes;
      const int fd = open((dataDir + "/status.json").c_str(), O_RDONLY | O_CLOEXEC);
      char buffer[512];
      ssize_t n;
      while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
      if (fd >= 0) close(fd);
      return bytes;
    }());
    check(status.has_value() && status->daemonRunning, "status.json not valid after a pass");
    if (!settings.chargeLimitEnabled) {
      check(!simmac::chargeInhibited() && !simmac::adapterDisabled(), "limit off, yet something is held");
    } else if (!status->calibrationActive && spec.battery->pluggedIn) {
      const int64_t p = status->batteryPercent, limit = settings.chargeLimitPercent;
      if (p > limit) check(simmac::adapterDisabled(), "above the limit, adapter not disabled");
      if (p < limit && p >= limit - 2) check(!simmac::adapterDisabled(), "in the band, adapter disabled");
    }
    simmac::advance(10.0);
  }
  return 0;
}
