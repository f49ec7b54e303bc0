// Scratch directories under /dev/shm, or $TMPDIR (or /tmp) without it.
#include "reliability/scratch_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

static std::string scratchBase() {
  if (access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

ScratchDir::ScratchDir() {
  std::string tmpl = scratchBase() + "/hestle-reliability-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}
