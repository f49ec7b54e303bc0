// hestle-config-probe: reads one settings file the way the daemon does, in a
// process of its own, and prints "result=defaults|settings peak_rss_kib=N".
//   hestle-config-probe read DATA_DIR     readConfig() on DATA_DIR/config.json
//   hestle-config-probe decode FILE       decodeChargeConfig() on FILE's bytes
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sys/resource.h>

#include "daemon/globals.h"
#include "store/charge_config.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::optional<ChargeConfig> config;  // none: the defaults
  if (std::string(argv[1]) == "read") {
    initGlobals(argv[2]);
    if (const ChargeConfig read = readConfig(); !(read == ChargeConfig{})) config = read;
  } else {
    std::ifstream in(argv[2], std::ios::binary);
    config = decodeChargeConfig(std::string(std::istreambuf_iterator<char>(in), {}));
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("result=%s peak_rss_kib=%ld\n", config ? "settings" : "defaults", usage.ru_maxrss);
}
