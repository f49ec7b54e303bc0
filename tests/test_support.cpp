// Shared fixtures for the tests.
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/globals.h"
#include "smc/smc_client.h"

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/hestle-test-XXXXXX";
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
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

unsigned fileMode(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

void DaemonTest::SetUp() {
  simmac::boot(machine());
  initGlobals(dir.path());
  logMark_ = 0;
}

void DaemonTest::TearDown() {
  for (int* fd : {&logFile, &previousLogFile}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void DaemonTest::openSmc() {
  ASSERT_TRUE(smcOpen());
  simmac::clearSmcExchanges();
}

std::vector<std::string> DaemonTest::logMessages() const {
  std::vector<std::string> out;
  std::istringstream in(readWholeFile(logPath));
  std::string line;
  while (std::getline(in, line)) {
    // "[yyyy-MM-dd HH:mm:ss] " is 22 bytes.
    if (line.size() >= 22 && line[0] == '[' && line[20] == ']') out.push_back(line.substr(22));
    else out.push_back(line);
  }
  return out;
}

std::vector<std::string> DaemonTest::newLogMessages() const {
  auto all = logMessages();
  if (logMark_ >= all.size()) return {};
  return {all.begin() + static_cast<std::ptrdiff_t>(logMark_), all.end()};
}

void DaemonTest::markLog() { logMark_ = logMessages().size(); }
