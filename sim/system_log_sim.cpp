// The simulated Mac's unified log: the lines the daemon handed it, in order,
// kept until the tests take them or the machine boots again.
#include "platform/system_log.h"
#include "sim/machine_state.h"

static constexpr size_t kKeptBytes = 1024 * 1024;  // past this, the older half goes

void systemLog(std::string_view message) {
  std::string& kept = simmac::machine().unifiedLog;
  if (kept.size() > kKeptBytes) kept.erase(0, kept.size() / 2);
  kept.append(message) += '\n';
}

namespace simmac {

std::string takeUnifiedLog() { return std::exchange(machine().unifiedLog, {}); }

}  // namespace simmac
