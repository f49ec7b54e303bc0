// The simulated SMC: a key table per firmware, the 80-byte parameter block
// parsed by byte offsets, the record of every exchange, and what the keys mean.
#include <algorithm>
#include <cstring>

#include "sim/machine_state.h"
#include "util/text.h"

namespace simmac {

namespace {

// Offsets of the fields of the parameter block.
constexpr size_t kKeyOffset = 0;
constexpr size_t kSizeOffset = 28;
constexpr size_t kTypeOffset = 32;
constexpr size_t kResultOffset = 40;
constexpr size_t kCommandOffset = 42;
constexpr size_t kDataOffset = 48;
constexpr size_t kDataSize = 32;

constexpr uint8_t kReadKeyInfo = 9;
constexpr uint8_t kReadBytes = 5;
constexpr uint8_t kWriteBytes = 6;

uint32_t loadU32(const uint8_t* p) {
  uint32_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void storeU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

SmcKeyState makeKey(uint32_t size, const char* type) {
  SmcKeyState k;
  k.size = size;
  k.type = keyCode(type);
  k.value.assign(size, 0);
  return k;
}

bool nonZero(const std::string& name) {
  const auto& keys = machine().keys;
  auto it = keys.find(keyCode(name));
  if (it == keys.end()) return false;
  return std::any_of(it->second.value.begin(), it->second.value.end(), [](uint8_t b) { return b != 0; });
}

}  // namespace

uint32_t keyCode(const std::string& name) {
  uint32_t code = 0;
  for (size_t i = 0; i < 4 && i < name.size(); ++i) code = (code << 8) | static_cast<uint8_t>(name[i]);
  return code;
}

std::string keyName(uint32_t code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
  return s;
}

void resetSmcKeys() {
  Machine& m = machine();
  m.keys.clear();
  switch (m.spec.firmware) {
    case Firmware::tahoe:
      m.keys[keyCode("CHTE")] = makeKey(4, "ui32");
      m.keys[keyCode("CHIE")] = makeKey(1, "hex_");
      m.keys[keyCode("ACLC")] = makeKey(1, "ui8 ");
      break;
    case Firmware::preTahoe:
      m.keys[keyCode("CH0B")] = makeKey(1, "hex_");
      m.keys[keyCode("CH0C")] = makeKey(1, "hex_");
      m.keys[keyCode("CH0I")] = makeKey(1, "ui8 ");
      m.keys[keyCode("CH0J")] = makeKey(1, "ui8 ");
      m.keys[keyCode("ACLC")] = makeKey(1, "ui8 ");
      break;
    case Firmware::tahoe202609:
      for (const char* stub : {"CHTE", "CH0B", "CH0C"}) {
        SmcKeyState k = makeKey(0, stub[2] == 'T' ? "ui32" : "hex_");
        k.rejectReads = k.rejectWrites = true;
        m.keys[keyCode(stub)] = k;
      }
      m.keys[keyCode("CHIE")] = makeKey(1, "hex_");
      m.keys[keyCode("ACLC")] = makeKey(1, "ui8 ");
      break;
  }
  for (const auto& name : m.spec.missingKeys) m.keys.erase(keyCode(name));
  for (const auto& name : m.spec.rejectedKeys) {
    auto it = m.keys.find(keyCode(name));
    if (it != m.keys.end()) it->second.rejectReads = it->second.rejectWrites = true;
  }
}

std::array<uint8_t, 80> serveSmcCommand(const uint8_t* request) {
  Machine& m = machine();
  std::array<uint8_t, 80> reply{};
  const uint32_t code = loadU32(request + kKeyOffset);
  const uint32_t size = loadU32(request + kSizeOffset);
  const uint8_t command = request[kCommandOffset];
  auto it = m.keys.find(code);

  if (command != kReadKeyInfo && command != kReadBytes && command != kWriteBytes) {
    reply[kResultOffset] = kSmcBadCommand;
    return reply;
  }
  if (it == m.keys.end()) {
    reply[kResultOffset] = kSmcKeyNotFound;
    return reply;
  }
  SmcKeyState& key = it->second;
  if (command == kReadKeyInfo) {
    storeU32(reply.data() + kSizeOffset, key.size);
    storeU32(reply.data() + kTypeOffset, key.type);
    reply[kResultOffset] = kSmcSuccess;
    return reply;
  }
  if (size != key.size) {
    reply[kResultOffset] = kSmcKeySizeMismatch;
    return reply;
  }
  if (command == kReadBytes) {
    if (key.rejectReads || key.size == 0) {
      reply[kResultOffset] = kSmcKeyNotReadable;
      return reply;
    }
    std::copy_n(key.value.begin(), std::min<size_t>(key.size, kDataSize), reply.begin() + kDataOffset);
    reply[kResultOffset] = kSmcSuccess;
    return reply;
  }
  // A controller busy for a moment (at boot, say) refuses a few writes.
  auto busy = m.refusedWrites.find(code);
  const bool refusedOnce = busy != m.refusedWrites.end() && busy->second > 0;
  if (refusedOnce) --busy->second;
  if (refusedOnce || key.rejectWrites || key.size == 0 || key.size > kDataSize) {
    reply[kResultOffset] = kSmcKeyNotWritable;
    return reply;
  }
  std::copy_n(request + kDataOffset, key.size, key.value.begin());
  reply[kResultOffset] = kSmcSuccess;
  saveKeys();
  checkClamshellPower(true);
  return reply;
}

std::optional<SmcKeyState> smcKey(const std::string& name) {
  const auto& keys = machine().keys;
  auto it = keys.find(keyCode(name));
  if (it == keys.end()) return std::nullopt;
  return it->second;
}

std::string smcKeyHex(const std::string& name) {
  auto key = smcKey(name);
  if (!key) return "";
  std::string hex;
  for (uint8_t b : key->value) hex += hexByte(b);
  return hex;
}

void setSmcKeyValue(const std::string& name, const std::vector<uint8_t>& bytes) {
  auto& keys = machine().keys;
  auto it = keys.find(keyCode(name));
  if (it == keys.end()) {
    SmcKeyState k = makeKey(static_cast<uint32_t>(bytes.size()), "hex_");
    k.value = bytes;
    keys[keyCode(name)] = k;
  } else {
    it->second.value = bytes;
    it->second.value.resize(it->second.size, 0);
  }
  saveKeys();
}

void removeSmcKey(const std::string& name) { machine().keys.erase(keyCode(name)); }

void rejectSmcKey(const std::string& name, bool reads, bool writes) {
  auto& keys = machine().keys;
  auto it = keys.find(keyCode(name));
  if (it == keys.end()) return;
  it->second.rejectReads = reads;
  it->second.rejectWrites = writes;
}

const std::vector<SmcExchange>& smcExchanges() { return machine().exchanges; }
void clearSmcExchanges() {
  machine().exchanges.clear();
  machine().exchanges.shrink_to_fit();
}
void setRecordSmcExchanges(bool on) { machine().recordExchanges = on; }
void setSmcCallFailure(std::optional<kern_return_t> status) { machine().callFailure = status; }

bool chargeInhibited() {
  if (machine().spec.firmware == Firmware::preTahoe) return nonZero("CH0B") || nonZero("CH0C");
  return nonZero("CHTE");
}

bool adapterDisabled() {
  if (machine().spec.firmware == Firmware::preTahoe) return nonZero("CH0I") || nonZero("CH0J");
  auto chie = smcKey("CHIE");
  return chie && !chie->value.empty() && chie->value[0] == 0x08;
}

uint8_t ledValue() {
  auto aclc = smcKey("ACLC");
  return aclc && !aclc->value.empty() ? aclc->value[0] : 0;
}

}  // namespace simmac
