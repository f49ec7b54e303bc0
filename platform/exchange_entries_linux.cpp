// renameat2(2) with RENAME_EXCHANGE, as Linux has it.
#include "platform/exchange_entries.h"

#include <cstdio>
#include <fcntl.h>

int exchangeEntries(const char* from, const char* to) {
  return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE);
}
