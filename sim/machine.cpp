// Booting the simulated Mac (first cut: links, does little).
#include <nlohmann/json.hpp>

#include "sim/simulated_mac.h"

namespace simmac {
MachineSpec machineSpecFromJson(const nlohmann::json&) { return {}; }
void boot(const MachineSpec&) {}
void reboot() {}
ObjectCounts objectCounts() { return {}; }
void persistKeysTo(const std::string&) {}
}  // namespace simmac
