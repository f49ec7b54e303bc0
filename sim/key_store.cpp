// Keeping the simulated SMC's key values in a file, so that a later hestled
// process on the same simulated machine finds what an earlier one wrote.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "sim/machine_state.h"
#include "util/posix_io.h"

namespace simmac {

namespace {

bool parseHex(const std::string& hex, std::vector<uint8_t>& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    unsigned v = 0;
    for (size_t k = i; k < i + 2; ++k) {
      const char c = hex[k];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    out.push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// As the daemon reads its own files: no link followed, a FIFO never waited
// on, only a regular file read.
void loadKeys(const std::string& path) {
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return;  // nothing saved yet
  struct stat st {};
  std::string text(1 << 16, '\0');
  const ssize_t got = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, text.data(), text.size()) : -1;
  if (fd >= 0) close(fd);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  const auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("keys") || !j.at("keys").is_object())
    throw std::runtime_error("simulated Mac: malformed key file " + path);
  for (const auto& item : j.at("keys").items()) {
    std::vector<uint8_t> bytes;
    if (!item.value().is_string() || !parseHex(item.value().get<std::string>(), bytes))
      throw std::runtime_error("simulated Mac: malformed value of " + item.key() + " in " + path);
    // Only keys this firmware has, at their own size: a file from another
    // machine cannot add keys.
    auto it = machine().keys.find(keyCode(item.key()));
    if (item.key().size() == 4 && it != machine().keys.end() && bytes.size() == it->second.size)
      it->second.value = bytes;
  }
}

}  // namespace

void saveKeys() {
  const std::string& path = machine().persistPath;
  if (path.empty()) return;
  nlohmann::json keys = nlohmann::json::object();
  for (const auto& [code, key] : machine().keys) keys[keyName(code)] = smcKeyHex(keyName(code));
  const std::string text = nlohmann::json{{"keys", keys}}.dump() + "\n";
  // A fresh file of an unpredictable name (mkstemp never follows a link or
  // opens what is there), mode 0644 whatever the umask, renamed into place.
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  bool ok = fd >= 0 && fchmod(fd, 0644) == 0 && writeAll(fd, text);
  ok = (fd < 0 || close(fd) == 0) && ok;
  if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
    if (fd >= 0) std::remove(temp.c_str());
    std::fprintf(stderr, "simulated Mac: cannot save the SMC keys to %s\n", path.c_str());
  }
}

void persistKeysTo(const std::string& path) {
  machine().persistPath = path;
  if (path.empty()) return;
  loadKeys(path);
  saveKeys();
}

}  // namespace simmac
