// placeholder
#include "store/charge_config.h"
std::optional<std::string> encodeChargeConfig(const ChargeConfig&) { return std::nullopt; }
std::optional<ChargeConfig> decodeChargeConfig(std::string_view) { return std::nullopt; }
ChargeConfig readConfig() { return {}; }
void writeConfig(const ChargeConfig&) {}
