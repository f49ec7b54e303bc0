// Link-proof, non-blocking file access for the world-writable data directory.
#include "store/safe_file.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/posix_io.h"

// The directory part of `path` ("." when there is none).
static std::string_view directoryOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

static std::string_view baseNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Opens a fresh file exclusively in the directory of `path` (never through
// a link), with `flags` added (O_CLOEXEC always); the name goes to `tmpPath`.
static int createTemporaryBeside(const std::string& path, int flags, std::string& tmpPath) {
  static constexpr std::string_view suffix = ".tmp-XXXXXX";
  const std::string_view directory = directoryOf(path);
  const std::string_view base = baseNameOf(path);
  tmpPath.reserve(directory.size() + base.size() + 2 + suffix.size());  // one allocation
  tmpPath.assign(directory).append("/.").append(base).append(suffix);
  return retryOnInterrupt([&] { return mkostemp(tmpPath.data(), O_CLOEXEC | flags); });
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

std::optional<std::string> readRegularFile(const std::string& path, size_t maxBytes, FileRefusal* why) {
  FileRefusal ignored;
  FileRefusal& refusal = why ? *why : ignored;
  refusal = FileRefusal::none;
  // Only the descriptor is examined, so the path is looked up once: O_NOFOLLOW
  // refuses a link, O_NONBLOCK keeps a FIFO from blocking the open, and fstat
  // refuses anything that is not a regular file before a byte is read. (A
  // device node cannot appear here: making one needs root, and a hard link to
  // one in /dev would cross file systems.)
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    refusal = errno == ENOENT ? FileRefusal::missing
              : errno == ELOOP ? FileRefusal::notRegularFile  // a symbolic link
                               : FileRefusal::unreadable;
    return std::nullopt;
  }
  struct stat st {};
  const bool statted = fstat(fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<unsigned long long>(st.st_size) > maxBytes) {
    refusal = !statted || st.st_size < 0 ? FileRefusal::unreadable
              : !S_ISREG(st.st_mode)     ? FileRefusal::notRegularFile
                                         : FileRefusal::tooLarge;
    close(fd);
    return std::nullopt;
  }
  // Ask for one byte more than the file holds: a short read is its end, so a
  // file read whole costs one read(). A file that grew since fstat is read on,
  // but never beyond one byte more than allowed, and then refused.
  std::string bytes(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t got = 0;
  for (;;) {
    const ssize_t n = retryOnInterrupt([&] { return ::read(fd, bytes.data() + got, bytes.size() - got); });
    if (n < 0) {
      close(fd);
      refusal = FileRefusal::unreadable;
      return std::nullopt;
    }
    got += static_cast<size_t>(n);
    if (n == 0 || got < bytes.size() || got > maxBytes) break;
    bytes.resize(std::min(maxBytes + 1, 2 * bytes.size()));
  }
  close(fd);
  if (got > maxBytes) {
    refusal = FileRefusal::tooLarge;
    return std::nullopt;
  }
  bytes.resize(got);
  return bytes;
}

bool setRegularFileMode(const std::string& path, mode_t mode) {
  struct stat before {};
  if (lstat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode) || before.st_nlink != 1)
    return false;
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                  fchmod(fd, mode) == 0;
  close(fd);
  return ok;
}
