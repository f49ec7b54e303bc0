// Temporaries' names: SipHash-1-3 of a counter, keyed once from getentropy.
#include "store/temporary_name.h"

#include <cstdint>
#include <initializer_list>
#include <sys/random.h>
#include <unistd.h>

namespace {

uint64_t key[2];
uint64_t counter = 0;
enum class Seed { none, seeded, failed } seed = Seed::none;

[[gnu::always_inline]] inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

[[gnu::always_inline]] inline void sipRound(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
  v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
  v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
  v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
}

// SipHash-1-3 of the eight-byte message `m` (the variant kept for hash
// tables: enough to keep names from being guessed, at half the rounds).
uint64_t sipHash(uint64_t m) {
  uint64_t v0 = key[0] ^ 0x736f6d6570736575ULL, v1 = key[1] ^ 0x646f72616e646f6dULL;
  uint64_t v2 = key[0] ^ 0x6c7967656e657261ULL, v3 = key[1] ^ 0x7465646279746573ULL;
  const uint64_t last = uint64_t{8} << 56;  // the length byte, no bytes left over
  for (const uint64_t word : {m, last}) {
    v3 ^= word;
    sipRound(v0, v1, v2, v3);
    v0 ^= word;
  }
  v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) sipRound(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

bool nextTemporaryName(char* out) {
  if (seed == Seed::none) seed = getentropy(key, sizeof key) == 0 ? Seed::seeded : Seed::failed;
  if (seed != Seed::seeded) return false;
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  uint64_t bits = sipHash(counter++);
  for (int i = 0; i < 6; ++i, bits /= 62) out[i] = alphabet[bits % 62];
  return true;
}
