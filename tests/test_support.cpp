// What the tests share.
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/globals.h"
#include "daemon/shutdown.h"
#include "smc/smc_client.h"
#include "store/log.h"

static std::string tempBase() {
  if (access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

TempDir::TempDir() {
  std::string tmpl = tempBase() + "/hestle-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void appendToFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

unsigned fileMode(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const bool stamped = line.size() >= 22 && line[0] == '[' && line[20] == ']' && line[21] == ' ';
    out.push_back(stamped ? line.substr(22) : line);
  }
  return out;
}

size_t countLines(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const auto& line : lines) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

std::string settingsJson(const Settings& s) {
  std::ostringstream out;
  out.precision(17);
  out << R"({"chargeLimitEnabled":)" << (s.limitEnabled ? "true" : "false") << R"(,"chargeLimitPercent":)" << s.limit
      << R"(,"calibrationEnabled":)" << (s.calibration ? "true" : "false") << R"(,"calibrationIntervalDays":)"
      << s.intervalDays << R"(,"lastCalibrationTimestamp":)" << s.lastCalibration << "}";
  return out.str();
}

std::string limitConfig(int limit, bool calibration, int intervalDays, double lastCalibration) {
  return settingsJson({true, limit, calibration, intervalDays, lastCalibration});
}

simmac::MachineSpec machineWith(simmac::Firmware firmware, double percent, bool pluggedIn) {
  simmac::MachineSpec spec;
  spec.firmware = firmware;
  spec.battery->percent = percent;
  spec.battery->pluggedIn = pluggedIn;
  return spec;
}

void DaemonTest::SetUp() { boot(machine()); }

void DaemonTest::boot(const simmac::MachineSpec& spec) {
  simmac::boot(spec);
  initGlobals(dir.path());
}

void DaemonTest::TearDown() {
  for (int* fd : {&logFile, &previousLogFile}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
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

void DaemonTest::writeSettings(const Settings& settings) const { writeWholeFile(configPath, settingsJson(settings)); }

ChargeStatus DaemonTest::publishedStatus() const {
  auto decoded = decodeChargeStatus(readWholeFile(statusPath));
  EXPECT_TRUE(decoded.has_value()) << readWholeFile(statusPath);
  return decoded.value_or(ChargeStatus{});
}

std::vector<std::string> DaemonTest::logMessages() const { return logLines(readWholeFile(logPath)); }

std::vector<std::string> DaemonTest::newLogMessages() const {
  auto all = logMessages();
  if (logMark_ >= all.size()) return {};
  return {all.begin() + static_cast<std::ptrdiff_t>(logMark_), all.end()};
}

void DaemonTest::markLog() { logMark_ = logMessages().size(); }
