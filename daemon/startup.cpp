// placeholder
#include "daemon/startup.h"
bool startUp(const std::string&) { return false; }
int runDaemon(const std::string&) { return 1; }
