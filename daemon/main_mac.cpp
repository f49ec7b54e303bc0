// hestled on a Mac: no arguments, no environment, the fixed data directory.
#include "daemon/startup.h"

int main() {
  openUpDataDirectory(kDataDirectory);
  return runDaemon(kDataDirectory);
}
