// The end of daemon.log, and its growth.
#include "cli/log_tail.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/posix_io.h"

constexpr off_t kChunk = 64 * 1024;

// Reads [from, to) of `fd`; fewer bytes when the file is shorter.
static std::string readRange(int fd, off_t from, off_t to) {
  std::string bytes;
  bytes.resize(static_cast<size_t>(std::max<off_t>(0, to - from)));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = retryOnInterrupt(
        [&] { return pread(fd, bytes.data() + done, bytes.size() - done, from + static_cast<off_t>(done)); });
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

// Everything from `log.offset` to the current end.
static std::string readToEnd(OpenLog& log) {
  std::string out;
  char buffer[kChunk];
  for (;;) {
    const ssize_t n = retryOnInterrupt([&] { return pread(log.fd, buffer, sizeof buffer, log.offset); });
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
    log.offset += n;
  }
  return out;
}


std::optional<OpenLog> openLog(const std::string& path, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    error = path + " is not a regular file";
    return std::nullopt;
  }
  return OpenLog{fd, st.st_dev, st.st_ino, 0};
}

void closeLog(OpenLog& log) {
  if (log.fd >= 0) close(log.fd);
  log.fd = -1;
}

std::string lastLines(OpenLog& log, int64_t count) {
  struct stat st {};
  off_t size = fstat(log.fd, &st) == 0 ? st.st_size : 0;
  log.offset = size;
  if (count <= 0 || size == 0) return "";
  // Widen the window from the end until it holds `count` whole lines or the
  // whole file.
  off_t window = std::min(size, kChunk);
  for (;;) {
    std::string tail = readRange(log.fd, size - window, size);
    size_t end = tail.size();
    if (end > 0 && tail[end - 1] == '\n') --end;  // the final line feed ends the last line
    int64_t found = 0;
    size_t pos = end;
    while (pos > 0) {
      size_t nl = tail.rfind('\n', pos - 1);
      if (nl == std::string::npos) break;
      if (++found == count) return tail.substr(nl + 1);
      pos = nl;
    }
    if (window == size) return tail;
    window = std::min(size, window * 2);
  }
}

std::string readAppended(OpenLog& log, const std::string& path) {
  struct stat named {};
  if (stat(path.c_str(), &named) == 0 && (named.st_dev != log.device || named.st_ino != log.inode)) {
    // The old file may have had a last word before it was replaced.
    std::string out = readToEnd(log);
    std::string error;
    if (auto fresh = openLog(path, error)) {
      closeLog(log);
      log = *fresh;
      out += readToEnd(log);
    }
    return out;
  }
  struct stat st {};
  if (fstat(log.fd, &st) == 0 && st.st_size < log.offset) log.offset = 0;
  return readToEnd(log);
}
