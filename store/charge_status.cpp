// placeholder
#include "store/charge_status.h"
std::optional<std::string> encodeChargeStatus(const ChargeStatus&) { return std::nullopt; }
std::optional<ChargeStatus> decodeChargeStatus(std::string_view) { return std::nullopt; }
void writeStatus(const ChargeStatus&) {}
