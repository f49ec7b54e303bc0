// Link-proof, non-blocking file access for the world-writable data directory.
#include "store/safe_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The directory part of `path` ("." when there is none).
static std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

static std::string baseNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

static bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Opens a fresh file exclusively in the directory of `path` (never through
// a link), with `flags` added (O_CLOEXEC always); the name goes to `tmpPath`.
static int createTemporaryBeside(const std::string& path, int flags, std::string& tmpPath) {
  tmpPath = directoryOf(path) + "/." + baseNameOf(path) + ".tmp-XXXXXX";
  int fd;
  do {
    fd = mkostemp(tmpPath.data(), O_CLOEXEC | flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int createFileReplacing(const std::string& path, mode_t mode, int flags) {
  std::string tmp;
  const int fd = createTemporaryBeside(path, flags, tmp);
  if (fd < 0) return -1;
  if (fchmod(fd, mode) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

bool replaceFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
  std::string tmp;
  const int fd = createTemporaryBeside(path, 0, tmp);
  if (fd < 0) return false;
  // The mode is set on the descriptor, so the umask has no say and no link
  // planted at `path` is ever followed. No fsync: this runs every ten
  // seconds for months, and a record lost in a power cut is rewritten on
  // the next pass; rename still keeps readers from seeing a partial file.
  bool ok = writeAll(fd, bytes) && fchmod(fd, mode) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

std::optional<std::string> readRegularFile(const std::string& path, size_t maxBytes) {
  // Look before opening, so that nothing but a regular file is ever opened
  // (a FIFO or a device can block or act on open); then check again on the
  // descriptor, in case the entry was swapped in between.
  struct stat before {};
  if (lstat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) return std::nullopt;
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<unsigned long long>(st.st_size) > maxBytes) {
    close(fd);
    return std::nullopt;
  }
  // Read at most one byte more than allowed: a file that grew since fstat
  // is refused instead of read without bound.
  std::string bytes(maxBytes + 1, '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got > maxBytes) return std::nullopt;
  bytes.resize(got);
  return bytes;
}

bool setRegularFileMode(const std::string& path, mode_t mode) {
  struct stat before {};
  if (lstat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode) || before.st_nlink != 1)
    return false;
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                  fchmod(fd, mode) == 0;
  close(fd);
  return ok;
}
