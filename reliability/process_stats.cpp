// Resident memory, peak memory and open descriptors of the current process.
#include "reliability/process_stats.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>

ProcessStats currentProcessStats() {
  ProcessStats stats;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) stats.rssKiB = std::stoll(line.substr(6));
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  stats.peakRssKiB = usage.ru_maxrss;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++stats.openFds;
  return stats;
}
