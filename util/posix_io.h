// POSIX file calls that a signal cannot cut short.
#pragma once

#include <cerrno>
#include <string_view>
#include <sys/types.h>

// Runs `call` again for as long as it fails with EINTR; returns its last result.
template <typename Call>
auto retryOnInterrupt(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

// open(2), retried while a signal interrupts it: a descriptor, or -1 with errno.
int openRetrying(const char* path, int flags, mode_t mode = 0);

// Writes all of `bytes` to `fd`, going on after interrupted and partial
// writes. False when a write fails or writes nothing.
bool writeAll(int fd, std::string_view bytes);
