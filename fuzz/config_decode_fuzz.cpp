// libFuzzer target: the settings parser. Any input either gives the defaults
// (none) or a record that encodes and decodes back to itself, bit for bit.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "store/charge_config.h"

static bool sameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto config = decodeChargeConfig(text);
  if (!config) return 0;
  const auto encoded = encodeChargeConfig(*config);
  if (!encoded) abort();  // a decoded timestamp is finite, so it must encode
  const auto again = decodeChargeConfig(*encoded);
  if (!again || !(*again == *config) || !sameBits(again->lastCalibrationTimestamp, config->lastCalibrationTimestamp))
    abort();
  return 0;
}
