// The system's log on a Mac: syslog(3), which macOS routes to the unified log.
#include "platform/system_log.h"

#include <syslog.h>

// LOG_NOTICE: the unified log keeps it (info and debug it drops by default).
void systemLog(std::string_view message) {
  syslog(LOG_NOTICE, "%.*s", static_cast<int>(message.size()), message.data());
}
