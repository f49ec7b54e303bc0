// The SMC of the simulated Mac (first cut: links, does little).
#include "sim/simulated_mac.h"

namespace simmac {
static std::vector<SmcExchange> exchanges;
std::optional<SmcKeyState> smcKey(const std::string&) { return std::nullopt; }
std::string smcKeyHex(const std::string&) { return ""; }
void setSmcKeyValue(const std::string&, const std::vector<uint8_t>&) {}
void removeSmcKey(const std::string&) {}
void rejectSmcKey(const std::string&, bool, bool) {}
const std::vector<SmcExchange>& smcExchanges() { return exchanges; }
void clearSmcExchanges() { exchanges.clear(); }
void setRecordSmcExchanges(bool) {}
void setSmcCallFailure(std::optional<kern_return_t>) {}
bool chargeInhibited() { return false; }
bool adapterDisabled() { return false; }
uint8_t ledValue() { return 0; }
}  // namespace simmac
