// What the tests share.
#include "test_support.h"

#include <filesystem>
#include <unistd.h>

#include "daemon/shutdown.h"
#include "smc/smc_client.h"
#include "store/log.h"

static std::string freshDirectory() {
  const char* base = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
  std::string path = std::string(base && *base ? base : "/tmp") + "/hestle-test-XXXXXX";
  if (!mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed");
  return path;
}

TempDir::TempDir() : path_(freshDirectory()) {}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const bool stamped = line.size() >= 22 && line[0] == '[' && line[20] == ']' && line[21] == ' ';
    out.push_back(stamped ? line.substr(22) : line);
  }
  return out;
}

std::string settingsJson(const Settings& s) {
  std::ostringstream out;
  out.precision(17);
  out << std::boolalpha << R"({"chargeLimitEnabled":)" << s.limitEnabled << R"(,"chargeLimitPercent":)" << s.limit
      << R"(,"calibrationEnabled":)" << s.calibration << R"(,"calibrationIntervalDays":)" << s.intervalDays
      << R"(,"lastCalibrationTimestamp":)" << s.lastCalibration << "}";
  return out.str();
}

simmac::MachineSpec machineWith(simmac::Firmware firmware, double percent, bool pluggedIn) {
  simmac::MachineSpec spec;
  spec.firmware = firmware;
  spec.battery->percent = percent;
  spec.battery->pluggedIn = pluggedIn;
  return spec;
}

void DaemonTest::boot(const simmac::MachineSpec& spec) {
  simmac::boot(spec);
  initGlobals(dir.path());
}

void DaemonTest::TearDown() {
  for (int* fd : {&logFile, &previousLogFile})
    if (*fd >= 0) close(std::exchange(*fd, -1));
  clearStopRequest();
  creationMaskCleared = false;  // start-up cleared the umask for its own files only; a later test may set another
  simmac::clearSchedule();
  simmac::setWaitHook(nullptr);
  simmac::setSmcCallFailure(std::nullopt);
}

void DaemonTest::bringUp() {
  if (logFile >= 0) close(logFile);
  logInit();
  openSmc();
  detectFirmware();
  simmac::clearSmcExchanges();
  markLog();
}

void DaemonTest::openSmc() {
  ASSERT_TRUE(smcOpen());
  simmac::clearSmcExchanges();
}

ChargeStatus DaemonTest::publishedStatus() const {
  auto decoded = decodeChargeStatus(readWholeFile(statusPath));
  EXPECT_TRUE(decoded.has_value()) << readWholeFile(statusPath);
  return decoded.value_or(ChargeStatus{});
}
