// The battery of the simulated Mac (first cut: links, does little).
#include "sim/simulated_mac.h"

namespace simmac {
double batteryPercent() { return 0; }
void setBatteryPercent(double) {}
void setPluggedIn(bool) {}
bool pluggedIn() { return false; }
bool batteryCharging() { return false; }
void setBatteryService(bool) {}
void setPropertiesFailure(std::optional<kern_return_t>) {}
void setPropertiesNull(bool) {}
void setPropertiesNotDictionary(bool) {}
void setPropertiesNonStringKey(bool) {}
void setPropertyOverride(const std::string&, std::optional<PropertyValue>) {}
std::map<std::string, PropertyValue> batteryProperties() { return {}; }
}  // namespace simmac
