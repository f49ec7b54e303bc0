// What the current process holds: resident memory, its peak, open descriptors.
#pragma once

#include <cstdint>

struct ProcessStats {
  int64_t rssKiB = 0;      // resident now (VmRSS)
  int64_t peakRssKiB = 0;  // getrusage ru_maxrss
  int openFds = 0;         // entries of /proc/self/fd
};

ProcessStats currentProcessStats();

// Memory figures mean little under AddressSanitizer (quarantine, shadow).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif
#else
inline constexpr bool kUnderSanitizer = false;
#endif
