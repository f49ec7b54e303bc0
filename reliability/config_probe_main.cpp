// hestle-config-probe: reads one settings file the way the daemon does, in a
// process of its own, and reports the result and the process's peak memory.
//   hestle-config-probe read DATA_DIR     readConfig() on DATA_DIR/config.json
//   hestle-config-probe decode FILE       decodeChargeConfig() on FILE's bytes
// Prints "result=defaults|settings peak_rss_kib=N".
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>

#include "daemon/globals.h"
#include "store/charge_config.h"

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "read") != 0 && std::strcmp(argv[1], "decode") != 0)) {
    std::fprintf(stderr, "usage: hestle-config-probe read DATA_DIR | decode FILE\n");
    return 2;
  }
  std::optional<ChargeConfig> config;
  if (std::strcmp(argv[1], "read") == 0) {
    initGlobals(argv[2]);
    const ChargeConfig read = readConfig();
    if (!(read == ChargeConfig{})) config = read;
  } else {
    std::ifstream in(argv[2], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    config = decodeChargeConfig(bytes);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("result=%s peak_rss_kib=%ld\n", config ? "settings" : "defaults", usage.ru_maxrss);
  return 0;
}
