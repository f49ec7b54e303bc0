// POSIX file calls that a signal cannot cut short.
#include "util/posix_io.h"

#include <fcntl.h>
#include <unistd.h>

int openRetrying(const char* path, int flags, mode_t mode) {
  return retryOnInterrupt([&] { return ::open(path, flags, mode); });
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}
